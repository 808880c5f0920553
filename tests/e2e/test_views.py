"""Views: list, add, edit, remove and the name test."""

import json

import pytest

SUCCESS = '{"success":true}'
NOT_UNIQUE = '{"error":true,"message":"View name not unique"}'
BAD_LAYOUT = '{"error":true,"message":"Query error","details":"The widget layout is not a JSON value"}'


def views(program):
    return json.loads(program.api("cfg_getViewsCfg"))


def test_empty_list(program):
    assert program.api("cfg_getViewsCfg") == "[]"


def test_add_and_list(program):
    assert program.api("cfg_addNewView", name="Main", width="800", height="600",
                       widgets='{"a":1}') == '{"success":true,"newViewId": 1}'
    assert program.api("cfg_addNewView", widgets="[]") == '{"success":true,"newViewId": 2}'
    assert program.api("cfg_getViewsCfg") == (
        '[{"id":1,"name":"Main","width":800,"height":600,"widgetsCfg":{"a":1}},'
        '{"id":2,"name":"new","width":0,"height":0,"widgetsCfg":[]}]')
    assert program.api("cfg_addNewView", widgets="[]") == NOT_UNIQUE
    assert len(views(program)) == 2


@pytest.mark.parametrize("layout", ["", "{", "abc", "[1,]", "{'a':1}", "[] []", "x' || '"])
def test_layouts_that_are_no_json_value_are_refused(program, layout):
    assert program.api("cfg_addNewView", name="v", widgets=layout) == BAD_LAYOUT
    assert program.api("cfg_getViewsCfg") == "[]"
    assert program.api("cfg_addNewView", name="v", widgets="{}").startswith('{"success":true')
    assert program.api("cfg_editView", id="1", name="v", widgets=layout) == BAD_LAYOUT
    assert views(program)[0]["widgetsCfg"] == {}


@pytest.mark.parametrize("layout, value", [
    ('{"w":[{"type":"gauge","param":"12"}]}', {"w": [{"type": "gauge", "param": "12"}]}),
    ("5", 5), ('"text"', "text"), ("null", None), (' [ 1 , 2 ] ', [1, 2]),
])
def test_any_json_value_comes_back_unquoted(program, layout, value):
    assert program.api("cfg_addNewView", name="v", widgets=layout).startswith('{"success":true')
    assert views(program)[0]["widgetsCfg"] == value
    assert program.query("SELECT widgetsCfg FROM Views") == [(layout,)]


def test_edit_remove_and_names(program):
    program.api("cfg_addNewView", name="A", widgets="[]")
    program.api("cfg_addNewView", name="B", widgets="[]")
    assert program.api("cfg_editView", id="2", name="A", width="10", height="20", widgets='{"x":1}') == SUCCESS
    assert [(v["id"], v["name"], v["width"], v["height"]) for v in views(program)] == [(1, "A", 0, 0), (2, "A", 10, 20)]
    assert program.api("cfg_editView", id="9", name="Z", widgets="[]") == SUCCESS
    assert program.api("cfg_viewNameExists", name="A") == '{"exists":true}'
    assert program.api("cfg_viewNameExists", name="a") == '{"exists":false}'
    assert program.api("cfg_removeView", id="7") == SUCCESS
    assert program.api("cfg_removeView", id="1") == SUCCESS
    assert [v["id"] for v in views(program)] == [2]


@pytest.mark.parametrize("func, params", [
    ("cfg_removeView", {}),
    ("cfg_removeView", {"id": "1 OR 1=1"}),
    ("cfg_editView", {"id": "", "name": "x", "widgets": "[]"}),
    ("cfg_editView", {"id": "1; DELETE FROM Views", "name": "x", "widgets": "[]"}),
])
def test_ids_that_are_no_numbers_are_refused(program, func, params):
    program.api("cfg_addNewView", name="keep", widgets="[]")
    assert program.api(func, **params).startswith('{"error":true,"message":"Query error"')
    assert [v["name"] for v in views(program)] == ["keep"]


@pytest.mark.parametrize("name", ["it's", 'say "hi"', "a\\b", "%1", "Ansicht für Zähler", "x'); DROP TABLE Views; --"])
def test_names_round_trip(program, name):
    assert program.api("cfg_addNewView", name=name, widgets="[]").startswith('{"success":true')
    assert program.api("cfg_viewNameExists", name=name) == '{"exists":true}'
    assert program.api("cfg_addNewView", name=name, widgets="[]") == NOT_UNIQUE
    assert views(program)[0]["name"] == name


def test_stored_layouts_that_are_no_json_keep_the_list_readable(program):
    import sqlite3
    con = sqlite3.connect(program.db_path)
    con.execute("INSERT INTO Views VALUES (1, 'old', 1, 1, '')")
    con.execute("INSERT INTO Views VALUES (2, 'good', 1, 1, '[1]')")
    con.commit()
    con.close()
    assert [v["widgetsCfg"] for v in views(program)] == ["", [1]]
