"""Modbus peers for the end-to-end tests: pymodbus servers over TCP and over a pty pair."""

import os
import select
import subprocess
import time

PYTHON = "/usr/bin/python3"
PEERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers")


def _wait_ready(proc, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise AssertionError(f"peer ended with {proc.returncode}")
        ready, _, _ = select.select([proc.stdout], [], [], 0.2)
        if ready:
            line = proc.stdout.readline().strip()
            if line.startswith("READY"):
                return line.split()[1:]
    raise AssertionError("peer not ready")


class Peer:
    """A started peer process, ended by its id."""

    def __init__(self, args, cwd=None):
        self.proc = subprocess.Popen([PYTHON] + args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True, cwd=cwd)
        self.ready = _wait_ready(self.proc)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)


def tcp_peer(script="pymodbus_peer.py", extra=()):
    peer = Peer([os.path.join(PEERS, script), "tcp", *extra])
    peer.port = int(peer.ready[0])
    return peer


class PtyPair:
    """socat joining two pseudo-terminals: the peer serves on one end, the program's line uses the
    other (by its /dev/pts path, as the serial-port list shows it)."""

    def __init__(self, directory):
        self.a = os.path.join(str(directory), "ttyPeer")
        self.b = os.path.join(str(directory), "ttyLine")
        self.proc = subprocess.Popen(["socat", "-d", "-d", f"pty,raw,echo=0,link={self.a}",
                                      f"pty,raw,echo=0,link={self.b}"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not (os.path.exists(self.a) and os.path.exists(self.b)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("socat did not make the pty pair")
            time.sleep(0.02)
        self.line_device = os.path.realpath(self.b)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


def rtu_peer(pair, script="pymodbus_peer.py", extra=()):
    return Peer([os.path.join(PEERS, script), "rtu", pair.a, *extra])


def write_register(peer, address, value):
    """Sets a holding register of unit 1 of a TCP peer, as a meter's value would change."""
    from pymodbus.client import ModbusTcpClient
    client = ModbusTcpClient("127.0.0.1", port=peer.port)
    try:
        assert client.connect()
        assert not client.write_register(address, value, slave=1).isError()
    finally:
        client.close()
