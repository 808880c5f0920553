#!/usr/bin/python3
"""A Modbus server that misbehaves on request, for the tests.

    fault_peer.py tcp LOG          listens on 127.0.0.1 on a free port, prints "READY <port>"
    fault_peer.py rtu DEVICE LOG   serves Modbus RTU on DEVICE (a pty end), prints "READY"

Every accepted TCP connection is logged to LOG as "CONN", every request as
"REQ unit=U fn=F addr=A count=N", before it is answered; LOG.times gets each request line again
after the peer's monotonic clock in ms, for tests that look at the pauses between requests.
Over TCP a request that arrives while the answer to another is still being sent (late or slow,
and its asker still connected) is logged as "OVERLAP" before its "REQ" line.

Functions 3 and 4: the request's start address decides the answer.
    1000         exception 2 (illegal data address)
    2000         one register fewer than asked
    3000         a reply cut short: the rest never comes
    4000         no answer
    5000-5999    the normal answer, (address - 5000) ms late
    7000-7999    the normal answer, sent one byte every (address - 7000) ms
    6000         the normal answer from unit id + 1
    8000-8999    every register holds the number of requests at that address so far, this one
                 included (16-bit): each read shows a value of its own, none 0
    otherwise    register a holds a (16-bit)
After SIGUSR1 the device has failed: every read of functions 3 and 4 is answered with exception 4
(slave device failure), and the log gets "FAILING" once.
Unit 32 is a device with 32-bit registers for function 3: register a holds the single a + 0.5.
Report Slave ID (17): unit 17 answers 17 0xFF 0x42; unit 40 answers no bytes; unit 41 answers
no bytes to its first request only; unit 44 does not answer; other units answer their id and 0xFF.
"""
import asyncio
import os
import select
import signal
import struct
import sys
import termios
import time
import tty

WIDE_UNIT = 32


class Peer:
    def __init__(self, log_path):
        self.log = open(log_path, "a", buffering=1)
        self.times = open(log_path + ".times", "a", buffering=1)
        self.asked = {}
        self.reads = {}  # requests per start address, for the counting registers
        self.answering = 0  # TCP answers being sent
        self.failing = False
        signal.signal(signal.SIGUSR1, lambda *_: self.fail())

    def fail(self):
        if not self.failing:
            self.failing = True
            self.note("FAILING")

    def note(self, text):
        self.log.write(text + "\n")
        self.log.flush()
        if text.startswith("REQ"):
            self.times.write(f"{time.monotonic() * 1000:.1f} {text}\n")
            self.times.flush()

    def answer(self, unit, pdu):
        """(delay in s, reply unit, reply pdu or None for silence, cut short, s between bytes)"""
        function = pdu[0]
        if function == 0x11:
            self.note(f"REQ unit={unit} fn=17 addr=0 count=0")
            first = unit not in self.asked
            self.asked[unit] = True
            if unit == 44:
                return 0, unit, None, False, 0
            if unit == 17:
                data = bytes([17, 0xFF, 0x42])
            elif unit == 40 or (unit == 41 and first):
                data = b""
            else:
                data = bytes([unit, 0xFF])
            return 0, unit, bytes([0x11, len(data)]) + data, False, 0
        if function not in (3, 4) or len(pdu) != 5:
            return 0, unit, bytes([function | 0x80, 1]), False, 0
        addr, count = struct.unpack(">HH", pdu[1:5])
        self.note(f"REQ unit={unit} fn={function} addr={addr} count={count}")
        if self.failing:
            return 0, unit, bytes([function | 0x80, 4]), False, 0
        if addr == 1000:
            return 0, unit, bytes([function | 0x80, 2]), False, 0
        if addr == 4000:
            return 0, unit, None, False, 0
        delay = (addr - 5000) / 1000 if 5000 <= addr < 6000 else 0
        if addr == 2000:
            count -= 1
        if unit == WIDE_UNIT and function == 3:
            data = b"".join(struct.pack(">f", a + 0.5) for a in range(addr, addr + count))
        elif 8000 <= addr < 9000:
            reads = self.reads.get(addr, 0) + 1
            self.reads[addr] = reads
            data = struct.pack(">H", reads & 0xFFFF) * count
        else:
            data = b"".join(struct.pack(">H", a & 0xFFFF) for a in range(addr, addr + count))
        reply_unit = (unit + 1) & 0xFF if addr == 6000 else unit
        pause = (addr - 7000) / 1000 if 7000 <= addr < 8000 else 0
        return delay, reply_unit, bytes([function, len(data)]) + data, addr == 3000, pause


def crc16(frame):
    crc = 0xFFFF
    for byte in frame:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


async def send(reader, writer, frame, pause):
    """The frame at once, or one byte every `pause` s until it is sent or its asker is gone."""
    if not pause:
        writer.write(frame)
        await writer.drain()
        return
    for i in range(len(frame)):
        if reader.at_eof():
            return
        if i:
            await asyncio.sleep(pause)
        writer.write(frame[i:i + 1])
        await writer.drain()


async def serve_tcp(peer):
    async def client(reader, writer):
        peer.note("CONN")
        try:
            while True:
                header = await reader.readexactly(7)
                transaction, _, length, unit = struct.unpack(">HHHB", header)
                pdu = await reader.readexactly(length - 1)
                if peer.answering:
                    peer.note("OVERLAP")
                delay, reply_unit, reply, short, pause = peer.answer(unit, pdu)
                if reply is None:
                    continue
                frame = struct.pack(">HHHB", transaction, 0, len(reply) + 1, reply_unit) + reply
                peer.answering += 1
                try:
                    if delay:
                        await asyncio.sleep(delay)
                    await send(reader, writer, frame[:-2] if short else frame, pause)
                finally:
                    peer.answering -= 1
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    server = await asyncio.start_server(client, "127.0.0.1", 0)
    print(f"READY {server.sockets[0].getsockname()[1]}", flush=True)
    await server.serve_forever()


def request_length(buffer):
    """Length of the RTU request at the start of buffer, None while unknown."""
    if len(buffer) < 2:
        return None
    return 4 if buffer[1] == 0x11 else 8


def serve_rtu(peer, device):
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd, termios.TCSANOW)
    print("READY", flush=True)
    buffer = b""
    while True:
        select.select([fd], [], [])
        buffer += os.read(fd, 512)
        while True:
            length = request_length(buffer)
            if length is None or len(buffer) < length:
                break
            frame, buffer = buffer[:length], buffer[length:]
            if crc16(frame[:-2]) != frame[-2:]:
                buffer = b""  # out of step: start again with the next request
                break
            delay, reply_unit, reply, short, pause = peer.answer(frame[0], frame[1:-2])
            if reply is None:
                continue
            if delay:
                time.sleep(delay)
            out = bytes([reply_unit]) + reply
            out += crc16(out)
            out = out[:-3] if short else out
            if pause:
                for i in range(len(out)):
                    if i:
                        time.sleep(pause)
                    os.write(fd, out[i:i + 1])
            else:
                os.write(fd, out)


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "tcp":
        asyncio.run(serve_tcp(Peer(sys.argv[2])))
    elif len(sys.argv) == 4 and sys.argv[1] == "rtu":
        serve_rtu(Peer(sys.argv[3]), sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
