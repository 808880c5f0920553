"""Serial lines configured by a link to the port, as people name USB adapters on Linux
(/dev/serial/by-id/...): polling and the ping over a pymodbus RTU peer on a pty pair."""

import json
import os

import pytest

from korvalen import wait_until

SUCCESS = '{"success":true}'
NO_SERIAL = '{"error":true,"message":"Unable to connect with serial port."}'


def link(tmp_path, rtu, kind):
    """A link of the test's own to the program's end of the pair."""
    by_id = tmp_path / "serial" / "by-id"
    by_id.mkdir(parents=True)
    path = by_id / "usb-Maker_RS485_Adapter_A1B2-if00-port0"
    if kind == "to the device":
        os.symlink(rtu.line_device, path)
    else:  # relative, and on to socat's own link: a chain of two
        os.symlink(os.path.relpath(rtu.b, by_id), path)
    return str(path)


@pytest.mark.parametrize("kind", ["to the device", "relative, to a link"])
def test_polling_and_ping_through_a_link(program, tmp_path, rtu, kind):
    port = link(tmp_path, rtu, kind)
    serial = {"serialPort": port, "baudRate": "9600", "parity": "N", "stopBits": "1", "timeout": "500"}

    assert program.api("pingDevice", type="serial", ModbusId="1", **serial) == '{"success":true,"message":"17"}'

    assert program.api("cfg_saveSetting", modbusPollInterval="1000", modbusIterDelay="0") == SUCCESS
    assert program.api("cfg_addNewSerialConnection", **serial) == SUCCESS
    conn = json.loads(program.api("cfg_getConfiguredConnection"))["serial"][-1]["idSerialConnections"]
    plan = [{"regAddr": 10, "valuesCnt": 2, "regType": 4, "regSize": 16, "valSize": 16, "ModbusReadFunction": 3}]
    assert program.api("cfg_addNewDevice", name="meter", ModbusId="1", connectionType="serial",
                       idOfConnection=str(conn), isActive="1", readIterations=json.dumps(plan),
                       parameters=json.dumps([{"regAddr": 10}, {"regAddr": 11}])) == SUCCESS
    assert program.api("startPolling") == SUCCESS
    try:
        wait_until(lambda: program.api("getAppState") == '{"state":"running"}', timeout=10)
        wait_until(lambda: sorted((v["valBase"], v["flag"]) for v in json.loads(program.api("getAllValues")).values())
                   == [(10.0, 0), (11.0, 0)], timeout=15)
    finally:
        assert program.api("stopPolling") == SUCCESS
        wait_until(lambda: program.api("getAppState") == '{"state":"idle"}', timeout=30)


def test_a_dangling_link_is_no_port(program, tmp_path):
    port = tmp_path / "unplugged-adapter"
    os.symlink(tmp_path / "gone", port)
    assert program.api("pingDevice", type="serial", serialPort=str(port), ModbusId="1", baudRate="9600",
                       parity="N", stopBits="1", timeout="200") == NO_SERIAL
