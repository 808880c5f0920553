"""Alarm definitions: the list and its replacement."""

import json

import pytest

SUCCESS = '{"success":true}'

ALARM = {"name": "Overload", "desc": "L1 over 250 V", "priority": 2, "exp_on": "p[12] > 250",
         "exp_off": "p[12] < 245", "sedMailCond": 3, "mailRecipients": "a@x.pl,b@x.pl", "mailSubject": "Alarm!"}


def alarms(program):
    return json.loads(program.api("cfg_getAlarmsCfg"))


def save(program, cfg):
    return program.api("cfg_saveAlarmsCfg", cfg=cfg if isinstance(cfg, str) else json.dumps(cfg))


def test_empty_list(program):
    assert program.api("cfg_getAlarmsCfg") == "[]"
    assert save(program, []) == SUCCESS


def test_save_and_list(program):
    assert save(program, [ALARM, dict(ALARM, name="Second")]) == SUCCESS
    listed = alarms(program)
    assert listed[0] == {"idAlarms": "1", "name": "Overload", "desc": "L1 over 250 V", "priority": "2",
                         "exp_on": "p[12] > 250", "exp_off": "p[12] < 245", "sedMailCond": "3",
                         "mailRecipients": "a@x.pl,b@x.pl", "mailSubject": "Alarm!"}
    assert [a["idAlarms"] for a in listed] == ["1", "2"]


def test_the_listed_alarms_saved_back_are_the_same_with_new_ids(program):
    save(program, [ALARM, dict(ALARM, name="B", exp_on="a %1 b %5 {x} 'q' \"d\"", priority=-3)])
    program.api("cfg_saveAlarmsCfg", cfg="[]")
    save(program, [ALARM, dict(ALARM, name="B", exp_on="a %1 b %5 {x} 'q' \"d\"", priority=-3)])
    first = alarms(program)
    assert save(program, first) == SUCCESS
    again = alarms(program)
    assert again == first
    assert [a["idAlarms"] for a in again] == ["1", "2"]
    assert again[1]["exp_on"] == "a %1 b %5 {x} 'q' \"d\""


@pytest.mark.parametrize("member, value, column, stored", [
    ("desc", None, "desc", "undefined"),
    ("exp_off", None, "exp_off", "undefined"),
    ("mailSubject", None, "mailSubject", "undefined"),
    ("name", "null", "name", "null"),
    ("priority", 2.9, "priority", 2),
    ("priority", -2.9, "priority", -2),
    ("priority", "x", "priority", 0),
    ("priority", "2", "priority", 2),
    ("priority", None, "priority", 0),
    ("sedMailCond", True, "sedMailCond", 1),
    ("mailRecipients", " \ta@x.pl ,\n b@x.pl\t ", "mailRecipients", "a@x.pl,b@x.pl"),
    ("name", 17, "name", "17"),
    ("exp_on", "%1 > %5", "exp_on", "%1 > %5"),
])
def test_members_use_script_conversions(program, member, value, column, stored):
    alarm = dict(ALARM)
    if value is None:
        del alarm[member]
    elif value == "null":
        alarm[member] = None
    else:
        alarm[member] = value
    assert save(program, [alarm]) == SUCCESS
    assert program.query(f"SELECT {column} FROM Alarms") == [(stored,)]


def test_an_empty_expression_stops_the_save(program):
    reply = save(program, [ALARM, dict(ALARM, name="bad", exp_on=""), dict(ALARM, name="after")])
    assert reply == '{"error":true,"message":"exp_on emppty"}'
    assert [a["name"] for a in alarms(program)] == ["Overload"]


@pytest.mark.parametrize("cfg", [None, "", "{}", "[1,", "(function(){while(true){}})()", "[{name:'x'}]"])
def test_a_cfg_that_is_no_array_empties_the_table(program, cfg):
    save(program, [ALARM])
    params = {} if cfg is None else {"cfg": cfg}
    assert program.api("cfg_saveAlarmsCfg", **params) == '{"error":true,"message":"Query error"}'
    assert alarms(program) == []


def test_a_failed_insert_does_not_stop_the_others(program):
    import sqlite3
    con = sqlite3.connect(program.db_path)
    con.execute("CREATE TRIGGER refuse BEFORE INSERT ON Alarms WHEN NEW.name = 'bad' "
                "BEGIN SELECT RAISE(ABORT, 'refused'); END")
    con.commit()
    con.close()
    assert save(program, [ALARM, dict(ALARM, name="bad"), dict(ALARM, name="last")]) == SUCCESS
    assert [a["name"] for a in alarms(program)] == ["Overload", "last"]
    assert save(program, [ALARM, dict(ALARM, name="bad")]).startswith(
        '{"error":true,"message":"Query error","details":"refused')
    assert [a["name"] for a in alarms(program)] == ["Overload"]
