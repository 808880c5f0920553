#!/usr/bin/python3
"""A pymodbus server for the tests.

    pymodbus_peer.py tcp [PORT] [--units=LIST]   listens on 127.0.0.1 on PORT (default: a free one),
                                                 prints "READY <port>"
    pymodbus_peer.py rtu DEVICE [--units=LIST]   serves Modbus RTU on DEVICE (a pty end), prints "READY"

LIST is the comma-separated unit ids served (default: 1).

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


def registers(base):
    values = [(base + a) & 0xFFFF for a in range(SIZE)]
    values[1000:1000 + len(FIXTURES)] = FIXTURES
    return values


def unit_context(unit_id):
    offset = 0 if unit_id == 1 else 20000 + 100 * unit_id
    unit = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, registers(offset)),
                              ir=ModbusSequentialDataBlock(0, registers(10000 + offset)),
                              zero_mode=True)
    unit.reportSlaveIdData = b"\x11KO"
    return unit


def context(units):
    return ModbusServerContext(slaves={u: unit_context(u) for u in units}, single=False)


async def serve_tcp(port, units):
    # Reusing the address: a peer started again on its port finds the connections the first
    # one had in TIME_WAIT.
    server = ModbusTcpServer(context(units), framer=ModbusSocketFramer, address=("127.0.0.1", port),
                             allow_reuse_address=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print(f"READY {server.server.sockets[0].getsockname()[1]}", flush=True)
    await task


async def serve_rtu(device, units):
    server = ModbusSerialServer(context(units), framer=ModbusRtuFramer, port=device, baudrate=9600,
                                bytesize=8, parity="N", stopbits=1)
    await server.start()
    if server.transport is None:
        sys.exit(f"cannot open {device}")
    print("READY", flush=True)
    await server.serve_forever()


def main():
    logging.basicConfig(level=logging.CRITICAL)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    args = [a for a in sys.argv[1:] if not a.startswith("--units=")]
    units = [1]
    for a in sys.argv[1:]:
        if a.startswith("--units="):
            units = [int(u) for u in a[len("--units="):].split(",")]
    if len(args) in (1, 2) and args[0] == "tcp":
        asyncio.run(serve_tcp(int(args[1]) if len(args) == 2 else 0, units))
    elif len(args) == 2 and args[0] == "rtu":
        asyncio.run(serve_rtu(args[1], units))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
