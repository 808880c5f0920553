#!/usr/bin/python3
"""A pymodbus server for the tests.

    pymodbus_peer.py tcp [PORT]   listens on 127.0.0.1 on PORT (default: a free one), prints "READY <port>"
    pymodbus_peer.py rtu DEVICE   serves Modbus RTU on DEVICE (a pty end), prints "READY"

Unit 1 holds 2000 holding registers, register a = a, and 2000 input registers,
register a = 10000 + a, except the fixtures at 1000 (holding and input alike):
    1000-1001  230.5 as a single, first word high (0x4366 0x8000)
    1002-1003  230.5 as a single, first word low  (0x8000 0x4366)
    1004-1005  -10 as a signed 32-bit number, first word high
    1006-1007  the not-available marker 1e20 (0x60AD 0x78EC)
Report Slave ID answers the bytes 17 'K' 'O' and the run status 0xFF.
Other units get no answer at all. The process serves until it is terminated.
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


def context():
    unit = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, registers(0)),
                              ir=ModbusSequentialDataBlock(0, registers(10000)),
                              zero_mode=True)
    unit.reportSlaveIdData = b"\x11KO"
    return ModbusServerContext(slaves={1: unit}, single=False)


async def serve_tcp(port):
    server = ModbusTcpServer(context(), framer=ModbusSocketFramer, address=("127.0.0.1", port))
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print(f"READY {server.server.sockets[0].getsockname()[1]}", flush=True)
    await task


async def serve_rtu(device):
    server = ModbusSerialServer(context(), framer=ModbusRtuFramer, port=device, baudrate=9600,
                                bytesize=8, parity="N", stopbits=1)
    await server.start()
    if server.transport is None:
        sys.exit(f"cannot open {device}")
    print("READY", flush=True)
    await server.serve_forever()


def main():
    logging.basicConfig(level=logging.CRITICAL)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL)
    if len(sys.argv) in (2, 3) and sys.argv[1] == "tcp":
        asyncio.run(serve_tcp(int(sys.argv[2]) if len(sys.argv) == 3 else 0))
    elif len(sys.argv) == 3 and sys.argv[1] == "rtu":
        asyncio.run(serve_rtu(sys.argv[2]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
