"""Configuration of devices: list, add and remove over the web API."""

import json
import sqlite3
import time

import pytest

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
