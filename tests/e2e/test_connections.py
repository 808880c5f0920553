"""Configuration of serial and TCP connections over the web API."""

import json
import sqlite3

import pytest

SUCCESS = '{"success":true}'
PORT_EXISTS = '{"error":true,"message":"Connection to this port already exists."}'
IP_EXISTS = '{"error":true,"message":"Connection to this ip and port already exists."}'
IN_USE = '{"error":true,"message":"Foreign key error"}'

# Texts that must come back letter for letter.
AWKWARD = ["it's", 'say "hi"', "back\\slash", "%1 %2 %3", "zażółć gęślą", "tab\tnew\nline", "'; DROP TABLE Devices; --"]


def listing(program):
    return json.loads(program.api("cfg_getConfiguredConnection"))


def test_empty_configuration(program):
    assert program.api("cfg_getConfiguredConnection") == '{"serial":[],"tcp":[]}'


def test_serial_defaults_and_duplicate_port(program):
    assert program.api("cfg_addNewSerialConnection") == SUCCESS
    assert program.api("cfg_getConfiguredConnection") == (
        '{"serial":[{"idSerialConnections":"1","name":"connection","serialPort":"COM1","baudRate":"9600",'
        '"parity":"N","stopBits":"2","timeout":"1000"}],"tcp":[]}')
    assert program.api("cfg_addNewSerialConnection") == PORT_EXISTS
    assert program.api("cfg_addNewSerialConnection", serialPort="com1") == SUCCESS  # case matters
    assert len(listing(program)["serial"]) == 2


def test_present_empty_values_stay_empty(program):
    assert program.api("cfg_addNewSerialConnection", name="", serialPort="", parity="", baudRate="",
                       stopBits="x", timeout="250") == SUCCESS
    assert program.query("SELECT name, serialPort, baudRate, parity, stopBits, timeout FROM SerialConnections") == \
        [("", "", 0, "", 0, 250)]


def test_serial_edit(program):
    program.api("cfg_addNewSerialConnection", serialPort="ttyS0")
    program.api("cfg_addNewSerialConnection", serialPort="ttyS1")
    assert program.api("cfg_editSerialConnection", id="1", serialPort="ttyS0", baudRate="19200") == SUCCESS
    assert program.api("cfg_editSerialConnection", id="1", serialPort="ttyS1") == PORT_EXISTS
    assert program.api("cfg_editSerialConnection", id="99", serialPort="ttyS9") == SUCCESS
    assert program.query("SELECT idSerialConnections, serialPort, baudRate FROM SerialConnections") == \
        [(1, "ttyS0", 19200), (2, "ttyS1", 9600)]


def test_tcp_defaults_and_duplicates(program):
    assert program.api("cfg_addNewTcpConnection") == SUCCESS
    assert program.query("SELECT name, ip, portTCP, timeout FROM TCPConnections") == [("connection", "", 502, 1000)]
    assert program.api("cfg_addNewTcpConnection", ip="10.0.0.1") == SUCCESS
    assert program.api("cfg_addNewTcpConnection", ip="10.0.0.1", portTCP="503") == SUCCESS
    assert program.api("cfg_addNewTcpConnection", ip="10.0.0.1") == IP_EXISTS
    assert program.api("cfg_editTcpConnection", id="2", ip="10.0.0.1", portTCP="503") == IP_EXISTS
    assert program.api("cfg_editTcpConnection", id="2", ip="10.0.0.1", portTCP="502", timeout="250") == SUCCESS
    assert program.api("cfg_editTcpConnection", id="77", ip="10.9.9.9") == SUCCESS
    assert program.query("SELECT idTCPConnections, ip, portTCP, timeout FROM TCPConnections") == \
        [(1, "", 502, 1000), (2, "10.0.0.1", 502, 250), (3, "10.0.0.1", 503, 1000)]


@pytest.mark.parametrize("kind, add, remove, other", [
    ("serial", "cfg_addNewSerialConnection", "cfg_removeSerialConnection", "tcp"),
    ("tcp", "cfg_addNewTcpConnection", "cfg_removeTcpConnection", "serial"),
])
def test_removal_of_a_connection_in_use(program, kind, add, remove, other):
    assert program.api("cfg_addNewSerialConnection") == SUCCESS
    assert program.api("cfg_addNewTcpConnection") == SUCCESS
    assert program.api("cfg_addNewDevice", connectionType=kind, idOfConnection="1", readIterations="[]",
                       parameters="[]") == SUCCESS
    assert program.api(remove, id="1") == IN_USE
    # a device of the other kind with the same key does not hold it
    assert program.api("cfg_removeDevice", id="1") == SUCCESS
    assert program.api("cfg_addNewDevice", connectionType=other, idOfConnection="1", readIterations="[]",
                       parameters="[]") == SUCCESS
    assert program.api(remove, id="1") == SUCCESS
    assert program.api(remove, id="1") == SUCCESS  # no such key any more
    assert listing(program)[kind] == []


@pytest.mark.parametrize("text", AWKWARD)
def test_texts_round_trip(program, text):
    assert program.api("cfg_addNewSerialConnection", name=text, serialPort=text, parity=text) == SUCCESS
    assert program.api("cfg_addNewTcpConnection", name=text, ip=text, portTCP="1") == SUCCESS
    assert program.api("cfg_addNewTcpConnection", name="again", ip=text, portTCP="1") == IP_EXISTS
    conn = listing(program)
    assert (conn["serial"][0]["name"], conn["serial"][0]["serialPort"], conn["serial"][0]["parity"]) == \
        (text, text, text)
    assert (conn["tcp"][0]["name"], conn["tcp"][0]["ip"]) == (text, text)
    assert program.api("cfg_editTcpConnection", id="1", name=text + "!", ip=text, portTCP="1") == SUCCESS
    assert listing(program)["tcp"][0]["name"] == text + "!"
    assert program.query("SELECT COUNT(*) FROM sqlite_master WHERE name = 'Devices'") == [(1,)]


@pytest.mark.parametrize("params, reply", [
    ({"id": "1 OR 1=1", "serialPort": "A"}, PORT_EXISTS),  # the id reads as 0, another key than A's
    ({"id": "1", "serialPort": "A", "stopBits": "1 OR 1=1"}, SUCCESS),
    ({"id": "1", "serialPort": "A", "baudRate": "9600, name='x'"}, SUCCESS),
])
def test_non_numbers_never_reach_the_statement(program, params, reply):
    program.api("cfg_addNewSerialConnection", serialPort="A")
    program.api("cfg_addNewSerialConnection", serialPort="B")
    assert program.api("cfg_editSerialConnection", **params) == reply
    assert program.api("cfg_removeSerialConnection", id="2 OR 1=1") == SUCCESS  # reads as 0
    assert [r[0] for r in program.query("SELECT serialPort FROM SerialConnections ORDER BY 1")] == ["A", "B"]


def test_missing_tables_are_created_at_start(program_factory):
    p = program_factory()
    p.start().started()
    assert p.stop() == 0
    con = sqlite3.connect(p.db_path)
    con.execute("DROP TABLE SerialConnections")
    con.execute("DROP TABLE TCPConnections")
    con.commit()
    con.close()
    again = program_factory(write_cfg=False).start().started()
    assert again.query("SELECT sql FROM sqlite_master WHERE name = 'SerialConnections'") == [(
        "CREATE TABLE SerialConnections (idSerialConnections integer primary key, name VARCHAR(50), "
        "serialPort CHAR(5), baudRate integer, parity CHAR(1), stopBits integer, timeout integer )",)]
    assert again.query("SELECT sql FROM sqlite_master WHERE name = 'TCPConnections'") == [(
        "CREATE TABLE TCPConnections (idTCPConnections integer primary key, name VARCHAR(50), ip VARCHAR(25), "
        "portTCP integer, timeout integer)",)]
    assert again.api("cfg_getConfiguredConnection") == '{"serial":[],"tcp":[]}'
