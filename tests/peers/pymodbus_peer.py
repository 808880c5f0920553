#!/usr/bin/python3
"""A pymodbus server for the tests.

    pymodbus_peer.py tcp [PORT] [--units=LIST] [--words=SET]   listens on 127.0.0.1 on PORT (default:
                                                 a free one), prints "READY <port>"
    pymodbus_peer.py rtu DEVICE [--units=LIST] [--words=SET]   serves Modbus RTU on DEVICE (a pty
                                                 end), prints "READY"

LIST is the comma-separated unit ids served (default: 1). SET puts registers of every unit,
holding and input alike: comma-separated ADDRESS:HEX, HEX being the words from that address on,
four hex digits each (1100:4247CCCD holds 0x4247 at 1100 and 0xCCCD at 1101).

Unit 1 holds 2000 holding registers, register a = a, and 2000 input registers,
register a = 10000 + a, except the fixtures at 1000 (holding and input alike):
    1000-1001  230.5 as a single, first word high (0x4366 0x8000)
    1002-1003  230.5 as a single, first word low  (0x8000 0x4366)
    1004-1005  -10 as a signed 32-bit number, first word high
    1006-1007  the not-available marker 1e20 (0x60AD 0x78EC)
Report Slave ID answers the bytes 17 'K' 'O' and the run status 0xFF.
Any other unit u served holds the same with 20000 + 100 u added to every register outside the
fixtures, so that a reply shows which unit answered. Units not served get no answer at all.
The process serves until it is terminated.
"""
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer, ModbusSocketFramer

SIZE = 2000
FIXTURES = [0x4366, 0x8000, 0x8000, 0x4366, 0xFFFF, 0xFFF6, 0x60AD, 0x78EC]


def words_set(text):
    """{address: word} of a --words value."""
    words = {}
    for entry in filter(None, text.split(",")):
        address, hex_words = entry.split(":")
        for i in range(0, len(hex_words), 4):
            words[int(address) + i // 4] = int(hex_words[i:i + 4], 16)
    return words


def registers(base, words):
    values = [(base + a) & 0xFFFF for a in range(SIZE)]
    values[1000:1000 + len(FIXTURES)] = FIXTURES
    for address, word in words.items():
        values[address] = word
    return values


def unit_context(unit_id, words):
    offset = 0 if unit_id == 1 else 20000 + 100 * unit_id
    unit = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, registers(offset, words)),
                              ir=ModbusSequentialDataBlock(0, registers(10000 + offset, words)),
                              zero_mode=True)
    unit.reportSlaveIdData = b"\x11KO"
    return unit


def context(units, words):
    return ModbusServerContext(slaves={u: unit_context(u, words) for u in units}, single=False)


async def serve_tcp(port, units, words):
    # Reusing the address: a peer started again on its port finds the connections the first
    # one had in TIME_WAIT.
    server = ModbusTcpServer(context(units, words), framer=ModbusSocketFramer, address=("127.0.0.1", port),
                             allow_reuse_address=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print(f"READY {server.server.sockets[0].getsockname()[1]}", flush=True)
    await task


async def serve_rtu(device, units, words):
    server = ModbusSerialServer(context(units, words), framer=ModbusRtuFramer, port=device, baudrate=9600,
                                bytesize=8, parity="N", stopbits=1)
    await server.start()
    if server.transport is None:
        sys.exit(f"cannot open {device}")
    print("READY", flush=True)
    await server.serve_forever()


def main():
    logging.basicConfig(level=logging.CRITICAL)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    args = [a for a in sys.argv[1:] if not a.startswith(("--units=", "--words="))]
    units = [1]
    words = {}
    for a in sys.argv[1:]:
        if a.startswith("--units="):
            units = [int(u) for u in a[len("--units="):].split(",")]
        elif a.startswith("--words="):
            words = words_set(a[len("--words="):])
    if len(args) in (1, 2) and args[0] == "tcp":
        asyncio.run(serve_tcp(int(args[1]) if len(args) == 2 else 0, units, words))
    elif len(args) == 2 and args[0] == "rtu":
        asyncio.run(serve_rtu(args[1], units, words))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
