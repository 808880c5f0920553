"""Configuration of devices: list, add and remove over the web API."""

import json
import sqlite3
import time

import pytest

from korvalen import Program

SUCCESS = '{"success":true}'
QUERY_ERROR = '{"error":true,"message":"Query error"}'
INVALID_PARAMETERS = '{"error":true,"message":"Invalid parameters value"}'


# Every device needs a connection that exists.
ON_TCP = {"connectionType": "tcp", "idOfConnection": "1"}


@pytest.fixture
def program(program):
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1") == SUCCESS
    return program


def counts(program):
    return tuple(program.query(f"SELECT COUNT(*) FROM {t}")[0][0]
                 for t in ("Devices", "ReadIterations", "ConfiguredParameters"))


def test_empty_configuration(program):
    assert program.api("cfg_getDevCfg") == '{"devices":[],"parameters":[]}'


def test_add_with_defaults(program):
    before = int(time.time() * 1000)
    assert program.api("cfg_addNewDevice", readIterations="[]", parameters="[]", **ON_TCP) == SUCCESS
    device = json.loads(program.api("cfg_getDevCfg"))["devices"][0]
    stamp = int(device.pop("paramModTimestamp"))
    assert before <= stamp <= int(time.time() * 1000)
    assert device == {"idDevices": "1", "name": "new", "type": "", "ModbusId": "1", "ModbusReadFunction": "3",
                      "connectionType": "tcp", "idOfConnection": "1", "decimal": "0", "isActive": "0"}
    assert counts(program) == (1, 0, 0)


def test_a_device_added_with_no_keys_waits_for_its_line(program):
    assert program.api("cfg_addNewDevice", readIterations="[]", parameters="[]") == SUCCESS
    device = json.loads(program.api("cfg_getDevCfg"))["devices"][0]
    del device["paramModTimestamp"]
    assert device == {"idDevices": "1", "name": "new", "type": "", "ModbusId": "1", "ModbusReadFunction": "3",
                      "connectionType": "", "idOfConnection": "0", "decimal": "0", "isActive": "0"}
    assert counts(program) == (1, 0, 0)


@pytest.mark.parametrize("func", ["cfg_addNewDevice", "cfg_editDevice"])
@pytest.mark.parametrize("connection, details", [
    ({"connectionType": "rtu", "idOfConnection": "1"}, "connectionType: rtu is not serial, tcp or empty"),
    ({"connectionType": "", "idOfConnection": "1"}, "idOfConnection: 1 is not 0, though connectionType is empty"),
    ({"idOfConnection": "-3"}, "idOfConnection: -3 is not 0, though connectionType is empty"),
    ({"connectionType": "tcp"}, "idOfConnection: 0 is no tcp connection"),
    ({"connectionType": "tcp", "idOfConnection": "2"}, "idOfConnection: 2 is no tcp connection"),
    ({"connectionType": "serial", "idOfConnection": "1"}, "idOfConnection: 1 is no serial connection"),
])
def test_a_connection_that_cannot_work_is_refused(program, func, connection, details):
    assert program.api("cfg_addNewDevice", readIterations="[]", parameters="[]", **ON_TCP) == SUCCESS
    before = program.query("SELECT * FROM Devices")
    reply = json.loads(program.api(func, id="1", ModbusId="5", readIterations="[]", parameters="[]", **connection))
    assert reply == {"error": True, "message": "Query error", "details": details}
    assert program.query("SELECT * FROM Devices") == before


TCP_IDS = "a unit id a TCP line can address (0 to 247, or 255)"
SERIAL_IDS = "a slave address a serial line can read (1 to 247; 0 is the broadcast address, which no slave answers)"


@pytest.fixture(scope="module")
def lines(tmp_path_factory):
    """A program with one line of each kind and one device to edit."""
    program = Program(tmp_path_factory.mktemp("unit-ids") / "app").start().started()
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1") == SUCCESS
    assert program.api("cfg_addNewSerialConnection", serialPort="ttyS9") == SUCCESS
    assert program.api("cfg_addNewDevice", readIterations="[]", parameters="[]") == SUCCESS
    yield program
    program.kill()


@pytest.mark.parametrize("func", ["cfg_addNewDevice", "cfg_editDevice"])
@pytest.mark.parametrize("kind, unit, refusal", [
    ("tcp", "-1", f"ModbusId: -1 is not {TCP_IDS}"),
    ("tcp", "0", None),
    ("tcp", "247", None),
    ("tcp", "248", f"ModbusId: 248 is not {TCP_IDS}"),
    ("tcp", "254", f"ModbusId: 254 is not {TCP_IDS}"),
    ("tcp", "255", None),
    ("tcp", "256", f"ModbusId: 256 is not {TCP_IDS}"),
    ("tcp", "65536", f"ModbusId: 65536 is not {TCP_IDS}"),  # 0 once cut to 16 bits
    ("serial", "0", f"ModbusId: 0 is not {SERIAL_IDS}"),
    ("serial", "1", None),
    ("serial", "247", None),
    ("serial", "248", f"ModbusId: 248 is not {SERIAL_IDS}"),
    ("serial", "255", f"ModbusId: 255 is not {SERIAL_IDS}"),
    ("", "-1", "ModbusId: -1 is not within 0 to 255"),
    ("", "0", None),
    ("", "255", None),
    ("", "256", "ModbusId: 256 is not within 0 to 255"),
    ("tcp", "", "ModbusId:  is not a number"),  # not read as unit 0
    ("tcp", "x1", "ModbusId: x1 is not a number"),
    # Beyond 32 and 64 bits: still what the line can address, not the width of an int.
    ("tcp", "99999999999", f"ModbusId: 99999999999 is not {TCP_IDS}"),
    ("serial", "-99999999999", f"ModbusId: -99999999999 is not {SERIAL_IDS}"),
    ("", "99999999999999999999999", "ModbusId: 99999999999999999999999 is not within 0 to 255"),
])
def test_only_unit_ids_the_line_can_address_are_taken(lines, func, kind, unit, refusal):
    connection = {"tcp": "1", "serial": "1", "": "0"}[kind]
    devices = lines.query("SELECT * FROM Devices ORDER BY idDevices")
    reply = lines.api(func, id="1", ModbusId=unit, connectionType=kind, idOfConnection=connection,
                      readIterations="[]", parameters="[]")
    if refusal:
        assert json.loads(reply) == {"error": True, "message": "Query error", "details": refusal}
        assert lines.query("SELECT * FROM Devices ORDER BY idDevices") == devices
    else:
        assert reply == SUCCESS
        changed = "MAX(idDevices)" if func == "cfg_addNewDevice" else "1"
        assert lines.query(f"SELECT ModbusId, connectionType, idOfConnection FROM Devices "
                           f"WHERE idDevices = (SELECT {changed} FROM Devices)") == [(int(unit), kind, int(connection))]


@pytest.mark.parametrize("params, reply", [
    ({"parameters": "[]"}, QUERY_ERROR),
    ({"readIterations": "", "parameters": "[]"}, QUERY_ERROR),
    ({"readIterations": "{}", "parameters": "[]"}, QUERY_ERROR),
    ({"readIterations": "[1,", "parameters": "[]"}, QUERY_ERROR),
    ({"readIterations": "(function(){while(true){}})()", "parameters": "[]"}, QUERY_ERROR),
    ({"readIterations": "[{'regAddr':1}]", "parameters": "[]"}, QUERY_ERROR),
    ({"readIterations": "[]"}, INVALID_PARAMETERS),
    ({"readIterations": "[]", "parameters": "null"}, INVALID_PARAMETERS),
    ({"readIterations": '[{"regAddr":1}]', "parameters": "while(1);"}, INVALID_PARAMETERS),
])
def test_unusable_arrays_store_nothing(program, params, reply):
    start = time.monotonic()
    assert program.api("cfg_addNewDevice", **params, **ON_TCP) == reply
    assert time.monotonic() - start < 5
    assert counts(program) == (0, 0, 0)


@pytest.mark.parametrize("element, stored", [
    ('{"regAddr":4000,"valuesCnt":2.9}', (4000, 2, 0, 0, 0, 0)),
    ('{"regAddr":-0.9,"valuesCnt":"12","regType":true,"regSize":null,"valSize":"x","ModbusReadFunction":4}',
     (0, 12, 1, 0, 0, 4)),
    ('{"regAddr":"x","valuesCnt":[7],"regType":"0x10","regSize":" 16 ","valSize":4294967328,"decimal":3}',
     (0, 7, 16, 16, 32, 0)),
])
def test_read_request_numbers_use_script_conversions(program, element, stored):
    assert program.api("cfg_addNewDevice", readIterations=f"[{element}]", parameters="[]", **ON_TCP) == SUCCESS
    assert program.query("SELECT regAddr, valuesCnt, regType, regSize, valSize, ModbusReadFunction, idDevice "
                         "FROM ReadIterations") == [stored + (1,)]


def test_parameters_are_stored(program):
    params = json.dumps([
        {"userDescription": "Voltage L1", "nameId": "U1", "regAddr": 1, "unit": "V", "archInterval": 60,
         "regType": 4, "regSize": 16, "valSize": 16},
        {"regAddr": 2},
        {"userDescription": 5, "nameId": None, "unit": ["k", "W"], "regAddr": "3"},
    ])
    assert program.api("cfg_addNewDevice", name="meter", ModbusId="7", readIterations="[]",
                       parameters=params, **ON_TCP) == SUCCESS
    assert program.query("SELECT idDevice, userDescription, nameId, regAddr, unit, archInterval, regType, regSize, "
                         "valSize FROM ConfiguredParameters ORDER BY idParameters") == [
        (1, "Voltage L1", "U1", 1, "V", 60, 4, 16, 16),
        (1, "", "", 2, "", 0, 0, 0, 0),
        (1, "5", "null", 3, "k,W", 0, 0, 0, 0),
    ]
    assert program.query("SELECT name, ModbusId FROM Devices") == [("meter", 7)]


@pytest.mark.parametrize("table, bad", [("ReadIterations", 3), ("ConfiguredParameters", 2)])
def test_a_failed_insert_rolls_back_everything(program, table, bad):
    con = sqlite3.connect(program.db_path)
    con.execute(f"CREATE TRIGGER refuse BEFORE INSERT ON {table} WHEN NEW.regAddr = 666 "
                "BEGIN SELECT RAISE(ABORT, 'refused'); END")
    con.commit()
    con.close()
    elements = [{"regAddr": 666 if i == bad else i, "valuesCnt": 1} for i in range(1, 5)]
    iterations = json.dumps(elements if table == "ReadIterations" else [])
    parameters = json.dumps(elements if table == "ConfiguredParameters" else [])
    reply = program.api("cfg_addNewDevice", readIterations=iterations, parameters=parameters, **ON_TCP)
    assert reply.startswith('{"error":true,"message":"Query error","details":"refused')
    assert counts(program) == (0, 0, 0)
    # the next add is not disturbed by the failed one
    assert program.api("cfg_addNewDevice", readIterations="[]", parameters="[]", **ON_TCP) == SUCCESS
    assert counts(program) == (1, 0, 0)


@pytest.mark.parametrize("text", ["it's", 'say "hi"', "back\\slash", "%1 %9", "zażółć", "x'); DELETE FROM Devices; --"])
def test_texts_round_trip(program, text):
    params = json.dumps([{"userDescription": text, "nameId": text, "unit": text, "regAddr": 1}])
    assert program.api("cfg_addNewDevice", name=text, type=text, readIterations="[]",
                       parameters=params, **ON_TCP) == SUCCESS
    reply = json.loads(program.api("cfg_getDevCfg"))
    device, parameter = reply["devices"][0], reply["parameters"][0]
    assert (device["name"], device["type"]) == (text, text)
    assert (parameter["userDescription"], parameter["nameId"], parameter["unit"]) == (text, text, text)


def test_remove_takes_plan_parameters_and_archive(program):
    for name in ["a", "b"]:
        assert program.api("cfg_addNewDevice", name=name, readIterations='[{"regAddr":1,"valuesCnt":1}]', **ON_TCP,
                           parameters='[{"regAddr":1},{"regAddr":2}]') == SUCCESS
    con = sqlite3.connect(program.db_path)
    con.executemany("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (?, 1, 0, 'x')",
                    [(p,) for p in (1, 2, 3, 4)])
    con.commit()
    con.close()
    assert program.api("cfg_removeDevice", id="1") == SUCCESS
    assert counts(program) == (1, 1, 2)
    assert program.query("SELECT idParameter FROM ArchiveData ORDER BY 1") == [(3,), (4,)]
    assert program.api("cfg_removeDevice", id="1") == SUCCESS
    assert program.api("cfg_removeDevice", id="2 OR 1=1") == SUCCESS  # reads as 0: nothing removed
    assert counts(program) == (1, 1, 2)


def test_a_file_without_devices_table_gets_the_older_one(program_factory):
    p = program_factory()
    p.start().started()
    assert p.api("cfg_addNewTcpConnection", ip="127.0.0.1") == SUCCESS
    assert p.stop() == 0
    con = sqlite3.connect(p.db_path)
    for table in ["ArchiveData", "ConfiguredParameters", "ReadIterations", "Devices"]:
        con.execute(f"DROP TABLE {table}")
    con.commit()
    con.close()
    again = program_factory(write_cfg=False).start().started()
    columns = [r[1] for r in again.query("PRAGMA table_info(Devices)")]
    assert columns == ["id", "name", "type", "connectionId", "modbusId", "monitorParamsIdx", "archiveParamsIdx",
                       "pollingInterv"]
    assert again.api("cfg_addNewDevice", readIterations="[]", parameters="[]", **ON_TCP).startswith(
        '{"error":true,"message":"Query error","details":"table Devices has no column')
