"""The device ping over TCP and RTU."""

import json

import pytest

from korvalen import free_port, wait_until
from peers import PtyPair, rtu_peer

CANNOT_CONNECT = '{"error":true,"message":"Unable to connect to host."}'
NO_SERIAL = '{"error":true,"message":"Unable to connect with serial port."}'
SILENT = '{"error":true,"message":"Device didn\'t respond in allowed time."}'


@pytest.mark.parametrize("params, reply", [
    ({"ModbusId": "1"}, '{"success":true,"message":"17"}'),  # the first byte of the answer, not the id asked
    ({"ModbusId": "1", "type": "tcp"}, '{"success":true,"message":"17"}'),
    ({"ModbusId": "7"}, SILENT),
])
def test_tcp_ping(program, tcp, params, reply):
    assert program.api("pingDevice", ip="127.0.0.1", portTCP=str(tcp.port), timeout="500", **params) == reply


def test_tcp_ping_refused_host(program):
    assert program.api("pingDevice", ip="127.0.0.1", portTCP=str(free_port()), timeout="500",
                       ModbusId="1") == CANNOT_CONNECT


@pytest.mark.parametrize("unit, reply, requests", [
    (17, '{"success":true,"message":"17"}', 1),
    (40, '{"error":true,"message":"Invalid response.","details":"1"}', 2),  # asked again once
    (41, '{"success":true,"message":"41"}', 2),  # empty only the first time
    (44, SILENT, 1),
])
def test_tcp_ping_odd_answers(program, faults, unit, reply, requests):
    assert program.api("pingDevice", ip="127.0.0.1", portTCP=str(faults.port), timeout="500",
                       ModbusId=str(unit)) == reply
    asked = [l for l in faults.log.read_text().splitlines() if l.startswith(f"REQ unit={unit} fn=17")]
    assert len(asked) == requests


def test_serial_ping(program, tmp_path, request):
    pair = PtyPair(tmp_path)
    request.addfinalizer(pair.stop)
    peer = rtu_peer(pair)
    request.addfinalizer(peer.stop)
    common = {"type": "serial", "serialPort": pair.line_device, "baudRate": "9600", "parity": "N", "timeout": "500"}
    assert program.api("pingDevice", ModbusId="1", stopBits="1", **common) == '{"success":true,"message":"17"}'
    assert program.api("pingDevice", ModbusId="5", stopBits="2", **common) == SILENT
    assert program.api("pingDevice", type="serial", serialPort=str(tmp_path / "missing"), ModbusId="1",
                       timeout="200") == NO_SERIAL
    assert program.api("pingDevice", type="serial", serialPort="LPT1", ModbusId="1", timeout="200") == NO_SERIAL


def test_ping_beside_a_running_poll(program, tcp):
    assert program.api("cfg_saveSetting", modbusPollInterval="1000", modbusIterDelay="0") == '{"success":true}'
    program.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(tcp.port), timeout="500")
    program.api("cfg_addNewDevice", ModbusId="1", connectionType="tcp", idOfConnection="1", isActive="1",
                readIterations='[{"regAddr":10,"valuesCnt":1,"regType":4,"regSize":16,"valSize":16,'
                               '"ModbusReadFunction":3}]', parameters='[{"regAddr":10}]')
    program.api("startPolling")
    wait_until(lambda: program.api("getAppState") == '{"state":"running"}', timeout=10)
    for _ in range(5):
        assert program.api("pingDevice", ip="127.0.0.1", portTCP=str(tcp.port), timeout="500",
                           ModbusId="1") == '{"success":true,"message":"17"}'
    wait_until(lambda: json.loads(program.api("getAllValues"))["1"]["flag"] == 0, timeout=10)
    program.api("stopPolling")
