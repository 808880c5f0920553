"""What the program tells on standard error while it runs: a device that stops answering and
answers again, the polling run's start and stop, and a flood of connections it refuses."""

import json
import os
import re
import socket
import time

import pytest

from korvalen import slow_connections, wait_until
from peers import PtyPair, rtu_peer, tcp_peer
from test_polling import add_device, add_serial, add_tcp, configure, holding, start, stop

TIMEOUT_MS = 500


def cycles(program, at_least):
    """Waits until the device was asked `at_least` times."""
    wait_until(lambda: any(s["poolsCnt"] >= at_least for s in json.loads(program.api("getModbusStats"))),
               timeout=60)


class RefusedPort:
    """A TCP port where nothing listens, held bound so that no other process is given it, until
    a pymodbus peer takes it."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.peer = None

    def mend(self):
        self.sock.close()
        self.peer = tcp_peer(extra=(str(self.port),))

    def stop(self):
        self.sock.close()
        if self.peer:
            self.peer.stop()


class WrongUnit:
    """A peer that serves unit 1 while the device asks for unit 7, until it serves both."""

    def __init__(self):
        self.peer = tcp_peer()
        self.port = self.peer.port

    def mend(self):
        self.peer.stop()
        self.peer = tcp_peer(extra=(str(self.port), "--units=1,7"))

    def stop(self):
        self.peer.stop()


class MissingSerialPort:
    """A serial port that is not there until a pty pair with a pymodbus RTU peer makes it."""

    def __init__(self, directory):
        self.directory = directory
        self.port = os.path.join(str(directory), "ttyLine")
        self.pair = self.peer = None

    def mend(self):
        self.pair = PtyPair(self.directory)
        assert self.pair.b == self.port
        self.peer = rtu_peer(self.pair)

    def stop(self):
        if self.peer:
            self.peer.stop()
        if self.pair:
            self.pair.stop()


@pytest.mark.parametrize("fault, unit, reason", [
    ("a refused TCP port", 1,
     "not connected (the connection is refused, or the address cannot be reached)"),
    ("a wrong unit id", 7, f"time-out (no answer within {TIMEOUT_MS} ms)"),
    ("a missing serial port", 1, "port not opened (the serial port is missing, in use or not permitted)"),
])
def test_a_device_that_stops_answering_is_told_once_and_again_when_it_answers(program, tmp_path, request,
                                                                            fault, unit, reason):
    if fault == "a missing serial port":
        line = MissingSerialPort(tmp_path / "later")
        os.makedirs(line.directory)
        connection, channel = add_serial(program, line.port, timeout=TIMEOUT_MS), line.port
        kind = "serial"
    else:
        line = RefusedPort() if fault == "a refused TCP port" else WrongUnit()
        connection, channel = add_tcp(program, line.port, timeout=TIMEOUT_MS), f"127.0.0.1:{line.port}"
        kind = "tcp"
    request.addfinalizer(line.stop)
    configure(program)
    add_device(program, kind, connection, [holding(10, 2)], [{"regAddr": 10}, {"regAddr": 11}],
               modbus_id=unit, name="meter")
    device = f'Device "meter" (unit {unit}) on {channel}'

    start(program)
    program.wait_for_line(re.escape("Polling started: 1 channel, poll interval 1000 ms."))
    program.wait_for_line(re.escape(f"{device} is not answering: {reason}."))
    # More failed reads give no more lines.
    cycles(program, 4)
    line.mend()
    program.wait_for_line(re.escape(f"{device} answers again."), timeout=60)
    wait_until(lambda: all(v["flag"] == 0 for v in json.loads(program.api("getAllValues")).values()))
    stop(program)
    program.wait_for_line(re.escape("Polling stopped: 1 channel."))
    assert program.stop() == 0

    out = program.final_output()
    assert out.count(f"{device} is not answering: ") == 1, out
    assert out.count(f"{device} answers again.") == 1, out
    assert out.index("Polling started") < out.index("is not answering") < out.index("answers again") \
        < out.index("Polling stopped")
    # The event log keeps what it had.
    assert program.query("SELECT message FROM Logs") == [("Program started",)]


def test_a_flood_of_refused_connections_writes_a_bounded_number_of_lines(program_factory):
    # Six slow connections of one address take its share of ten threads; every further one of
    # that address is answered 503.
    program = program_factory(config={"listener": {"maxThreads": "10", "headerTimeout": "120000"}}).start().started()
    slow = slow_connections(program, 6)
    began = time.monotonic()
    try:
        refused = 0
        while refused < 1000:
            batch = [socket.create_connection(("127.0.0.1", program.port), timeout=30)
                     for _ in range(min(100, 1000 - refused))]
            for s in batch:
                reply = s.recv(4096)
                s.close()
                if reply.startswith(b"HTTP/1.1 503"):
                    refused += 1
                else:
                    raise AssertionError(reply)
    finally:
        for s in slow:
            s.close()
    assert program.stop() == 0
    lasted = time.monotonic() - began
    lines = [line for line in program.final_output().splitlines() if "answer" in line and "503" in line]
    # Told once, then counted: one line at most per minute the flood lasted, and one at the end.
    assert lines[0] == ("HttpListener: all connections of this address busy, answering 503 to 127.0.0.1; "
                        "further refusals are counted and told at most once every 60 s"), lines
    counted = [re.match(r"HttpListener: (\d+) more connections answered 503 in the last \d+ s "
                        r"\(all connections of this address busy: \1\); most from 127\.0\.0\.1 \(\1\)$", line)
               for line in lines[1:]]
    assert all(counted) and 1 + sum(int(m.group(1)) for m in counted) == 1000, lines
    assert len(lines) <= 2 + lasted // 60, (lasted, lines)
