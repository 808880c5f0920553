"""Editing a device: the read plan replaced, the parameters merged by register address."""

import json
import sqlite3
import time

import pytest

SUCCESS = '{"success":true}'
INVALID_ITERATIONS = '{"error":true,"message":"Invalid read iterations"}'


@pytest.fixture
def program(program):
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1") == SUCCESS
    return program


def add_device(program, parameters):
    assert program.api("cfg_addNewDevice", name="meter", ModbusId="3", connectionType="tcp", idOfConnection="1",
                       isActive="1", readIterations='[{"regAddr":1,"valuesCnt":3,"regType":4}]',
                       parameters=json.dumps(parameters)) == SUCCESS


def archive(program, rows):
    con = sqlite3.connect(program.db_path)
    con.executemany("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (?, ?, 0, ?)", rows)
    con.commit()
    con.close()


def state(program):
    return (program.query("SELECT * FROM Devices"),
            program.query("SELECT regAddr, valuesCnt, regType, regSize, valSize, idDevice, ModbusReadFunction "
                          "FROM ReadIterations ORDER BY idReadIterations"),
            program.query("SELECT * FROM ConfiguredParameters ORDER BY idParameters"),
            program.query("SELECT * FROM ArchiveData ORDER BY idArchiveData"))


def parameters(program):
    return program.query("SELECT idParameters, regAddr, userDescription, unit FROM ConfiguredParameters "
                         "ORDER BY idParameters")


def edit(program, **params):
    base = {"id": "1", "name": "meter", "ModbusId": "3", "connectionType": "tcp", "idOfConnection": "1",
            "isActive": "1", "readIterations": "[]"}
    base.update(params)
    return program.api("cfg_editDevice", **base)


def test_without_changed_parameters_only_the_plan_is_replaced(program):
    add_device(program, [{"regAddr": 1, "unit": "V"}])
    stamp = program.query("SELECT paramModTimestamp FROM Devices")
    assert edit(program, name="renamed", readIterations='[{"regAddr":9,"valuesCnt":2.5,"ModbusReadFunction":4}]') \
        == SUCCESS
    assert program.query("SELECT name, paramModTimestamp FROM Devices") == [("renamed", stamp[0][0])]
    assert program.query("SELECT regAddr, valuesCnt, ModbusReadFunction FROM ReadIterations") == [(9, 2, 4)]
    assert parameters(program) == [(1, 1, "", "V")]


def test_an_empty_plan_removes_the_plan_and_a_missing_one_changes_nothing(program):
    add_device(program, [{"regAddr": 1}])
    before = state(program)
    params = {"id": "1", "name": "other", "connectionType": "tcp", "idOfConnection": "1"}
    assert program.api("cfg_editDevice", **params) == INVALID_ITERATIONS
    assert state(program) == before
    assert edit(program) == SUCCESS
    assert program.query("SELECT COUNT(*) FROM ReadIterations") == [(0,)]


def test_keep_move_and_drop(program):
    add_device(program, [{"regAddr": 1, "unit": "V"}, {"regAddr": 2, "unit": "A"}, {"regAddr": 3, "unit": "W"}])
    archive(program, [(1, 230.0, "2024-01-01 00:00:00"), (2, 5.0, "2024-01-01 00:00:00"),
                      (3, 1150.0, "2024-01-01 00:00:00"), (1, 231.0, "2024-01-01 00:01:00")])
    before = int(time.time() * 1000)
    assert edit(program, parametersChanged="1",
                parameters=json.dumps([{"regAddr": 1, "unit": "kV", "userDescription": "kept"},
                                       {"regAddr": 20, "unit": "A"}])) == SUCCESS
    assert parameters(program) == [(1, 1, "kept", "kV"), (4, 20, "", "A")]
    assert program.query("SELECT idParameter, value FROM ArchiveData ORDER BY idArchiveData") == \
        [(1, 230.0), (1, 231.0)]
    assert program.query("SELECT paramModTimestamp FROM Devices")[0][0] >= before


def test_an_empty_list_drops_every_parameter_with_its_archive(program):
    add_device(program, [{"regAddr": 1}, {"regAddr": 2}])
    archive(program, [(1, 1.0, "x"), (2, 2.0, "x")])
    assert edit(program, parametersChanged="1", parameters="[]") == SUCCESS
    assert parameters(program) == []
    assert program.query("SELECT COUNT(*) FROM ArchiveData") == [(0,)]


def test_duplicate_addresses(program):
    add_device(program, [{"regAddr": 1, "unit": "V"}])
    assert edit(program, parametersChanged="1", parameters=json.dumps([
        {"regAddr": 1, "unit": "first"}, {"regAddr": 1, "unit": "second"},
        {"regAddr": 7, "unit": "new a"}, {"regAddr": 7, "unit": "new b"}])) == SUCCESS
    assert parameters(program) == [(1, 1, "", "second"), (2, 7, "", "new a"), (3, 7, "", "new b")]


def test_of_two_stored_parameters_with_one_address_only_the_later_is_matched(program):
    add_device(program, [{"regAddr": 5, "unit": "a"}, {"regAddr": 5, "unit": "b"}])
    assert edit(program, parametersChanged="1", parameters='[{"regAddr":5,"unit":"c"}]') == SUCCESS
    assert parameters(program) == [(2, 5, "", "c")]


def test_a_line_assigned_later_and_taken_away_again(program):
    assert program.api("cfg_addNewDevice", name="meter", ModbusId="200", readIterations="[]",
                       parameters='[{"regAddr":1}]') == SUCCESS
    line = "SELECT connectionType, idOfConnection, ModbusId FROM Devices"
    assert program.query(line) == [("", 0, 200)]
    assert edit(program, ModbusId="0") == SUCCESS
    assert program.query(line) == [("tcp", 1, 0)]
    # absent keys: on no line again, with its parameter kept
    assert program.api("cfg_editDevice", id="1", ModbusId="255", readIterations="[]") == SUCCESS
    assert program.query(line) == [("", 0, 255)]
    assert parameters(program) == [(1, 1, "", "")]


def test_a_stored_device_on_unit_0_can_be_saved_again(program):
    con = sqlite3.connect(program.db_path)
    con.execute("INSERT INTO Devices (name, ModbusId, ModbusReadFunction, connectionType, idOfConnection, isActive) "
                "VALUES ('gateway', 0, 3, 'tcp', 1, 1)")
    con.commit()
    con.close()
    assert edit(program, name="gateway", ModbusId="0", readIterations='[{"regAddr":1,"valuesCnt":1}]') == SUCCESS
    assert program.query("SELECT name, ModbusId FROM Devices") == [("gateway", 0)]
    assert program.query("SELECT regAddr FROM ReadIterations") == [(1,)]


def test_an_unknown_id(program):
    assert edit(program, id="42") == SUCCESS
    assert program.query("SELECT COUNT(*) FROM Devices") == [(0,)]


@pytest.mark.parametrize("trigger, params, reply", [
    ("BEFORE UPDATE ON Devices", {}, '{"error":true,"message":"Query error","details":"refused'),
    ("BEFORE INSERT ON ReadIterations", {"readIterations": '[{"regAddr":1},{"regAddr":2}]'},
     '{"error":true,"message":"Query error","details":"refused'),
    ("BEFORE INSERT ON ConfiguredParameters",
     {"parametersChanged": "1", "parameters": '[{"regAddr":1},{"regAddr":30}]'}, INVALID_ITERATIONS),
    ("BEFORE UPDATE ON ConfiguredParameters",
     {"parametersChanged": "1", "parameters": '[{"regAddr":1,"unit":"x"}]'}, INVALID_ITERATIONS),
    (None, {"parametersChanged": "1", "parameters": "not json"}, '{"error":true,"message":"Query error"}'),
    (None, {"parametersChanged": "1"}, '{"error":true,"message":"Query error"}'),
    (None, {"readIterations": "{}"}, INVALID_ITERATIONS),
])
def test_failures_in_the_first_transaction_change_nothing(program, trigger, params, reply):
    add_device(program, [{"regAddr": 1}, {"regAddr": 2}])
    archive(program, [(2, 2.0, "x")])
    if trigger:
        con = sqlite3.connect(program.db_path)
        con.execute(f"CREATE TRIGGER refuse {trigger} BEGIN SELECT RAISE(ABORT, 'refused'); END")
        con.commit()
        con.close()
    before = state(program)
    assert edit(program, name="changed", readIterations=params.pop("readIterations", "[]"), **params) \
        .startswith(reply)
    assert state(program) == before


def test_a_failed_deletion_keeps_the_first_transaction(program):
    add_device(program, [{"regAddr": 1}, {"regAddr": 2}, {"regAddr": 3}])
    con = sqlite3.connect(program.db_path)
    con.execute("CREATE TRIGGER refuse BEFORE DELETE ON ConfiguredParameters WHEN OLD.regAddr = 3 "
                "BEGIN SELECT RAISE(ABORT, 'refused'); END")
    con.commit()
    con.close()
    reply = edit(program, name="changed", readIterations='[{"regAddr":7}]', parametersChanged="1",
                 parameters='[{"regAddr":1,"unit":"V"},{"regAddr":9}]')
    assert reply.startswith('{"error":true,"message":"Query error","details":"refused')
    assert program.query("SELECT name FROM Devices") == [("changed",)]
    assert program.query("SELECT regAddr FROM ReadIterations") == [(7,)]
    # updates and inserts committed, no parameter deleted
    assert [(r[1], r[3]) for r in parameters(program)] == [(1, "V"), (2, ""), (3, ""), (9, "")]


@pytest.mark.parametrize("text", ["it's", 'a "b"', "c:\\d", "%1%2", "żółw"])
def test_texts_round_trip_through_an_edit(program, text):
    add_device(program, [{"regAddr": 1}])
    assert edit(program, name=text, type=text, parametersChanged="1",
                parameters=json.dumps([{"regAddr": 1, "unit": text, "nameId": text, "userDescription": text}])) \
        == SUCCESS
    assert program.query("SELECT name, type FROM Devices") == [(text, text)]
    assert program.query("SELECT unit, nameId, userDescription FROM ConfiguredParameters") == [(text, text, text)]
