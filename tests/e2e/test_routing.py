"""Routing, sessions, login and privileges over HTTP."""

import json
import os
import stat

import pytest

from korvalen import Client, wait_until

NOT_LOGGED_IN = '{"error":true,"message":"User not logged in"}'
PRIVILEGE = '{"error":true,"message":"User doesn\'t have required privilege"}'
VISUAL = '{"error":true,"message":"App is in visual mode"}'


def enable_sessions(program):
    assert program.api("cfg_saveSetting", modbusPollInterval="5000", modbusIterDelay="10",
                       sessionEnabled="1") == '{"success":true}'


def add_user(program, client, name, password, permissions):
    assert client.api("cfg_addNewUser", username=name, permissions=str(permissions)) == '{"success":true}'
    users = json.loads(client.api("cfg_getUsersCfg"))
    uid = next(u["idUsers"] for u in users if u["username"] == name)
    assert client.api("cfg_setUserPass", id=uid, password=password) == '{"success":true}'


def logged_in(program, name="Admin", password=""):
    client = Client(program)
    status, _, body = client.login(name, password)
    assert (status, body) == (200, b'{"success":true}')
    return client


@pytest.mark.parametrize("path, status, location", [
    ("login.html", 303, "root/home.html"),
    ("login.html?logout=1", 303, "root/home.html"),
    ("index.html", 200, None),
    ("root/home.html", 200, None),
    ("style.css", 200, None),
])
def test_sessions_off(program, path, status, location):
    got, headers, _ = program.request(path)
    assert got == status
    assert headers.get("Location") == location
    assert json.loads(program.api("getGeneralInfo"))["userPriv"] == 255


@pytest.mark.parametrize("path, status, location, body", [
    ("index.html", 303, "login.html", None),
    ("x/index.html.bak", 303, "login.html", None),
    ("root/home.html", 303, "/login.html", None),
    ("anything.html", 303, "/login.html", None),
    ("ajax.html?func=getGeneralInfo", 200, None, NOT_LOGGED_IN),
    ("ajax.html", 200, None, NOT_LOGGED_IN),
    ("style.css", 200, None, None),
    ("login.html", 200, None, None),
    ("missing.png", 404, None, None),
    # An endpoint's name behind "login.html" is still no way around the login.
    ("login.html/exportConfig.html?withArchive=1", 404, None, None),
    ("login.html/exportConfig.html?withArchive=0", 404, None, None),
    ("login.html/saveFile.html?filename=a.txt&fileContent=x", 404, None, None),
    ("login.html/downloadCSV.html", 404, None, None),
])
def test_sessions_on_not_logged_in(program, path, status, location, body):
    enable_sessions(program)
    got, headers, content = Client(program).request(path)
    assert got == status
    assert headers.get("Location") == location
    if body is not None:
        assert content.decode() == body
        assert headers["Content-Type"] == "text/html"
    # every caller gets a session, logged in or not
    assert "sessionid=" in headers.get("Set-Cookie", "")


@pytest.mark.parametrize("name, password, accepted", [
    ("Admin", "", True),
    ("Admin", "x", False),
    ("admin", "", False),
    ("nobody", "", False),
    ("' OR '1'='1", "' OR '1'='1", False),
])
def test_login(program, name, password, accepted):
    enable_sessions(program)
    client = Client(program)
    status, headers, body = client.login(name, password)
    assert status == 200
    assert headers["Content-Type"] == "text/html"
    assert body == (b'{"success":true}' if accepted else b'{"success":false}')
    assert (client.cookie("user") == "Admin") == accepted
    session = client.cookie("sessionid")
    assert session and len(session) >= 32
    reply = client.api("getGeneralInfo")
    if accepted:
        assert json.loads(reply)["userPriv"] == 255
    else:
        assert reply == NOT_LOGGED_IN


def test_session_cookie_is_http_only_and_lax(program):
    enable_sessions(program)
    _, headers, _ = Client(program).request("style.css")
    cookie = headers["Set-Cookie"]
    assert "HttpOnly" in cookie and "SameSite=Lax" in cookie


def test_logged_in_routes_and_logout(program):
    enable_sessions(program)
    client = logged_in(program)
    assert client.request("login.html")[:1] == (303,)
    assert client.request("login.html")[1]["Location"] == "root/home.html"
    assert client.request("root/home.html")[0] == 200

    status, headers, _ = client.request("login.html?logout=1")
    assert (status, headers["Location"]) == (303, "login.html")
    assert client.api("getGeneralInfo") == NOT_LOGGED_IN
    assert client.request("root/home.html")[1]["Location"] == "/login.html"


# With logins on, a page the browser kept would be shown again after a logout without asking the
# program: pages go out uncached; scripts, styles and images keep their max-age.
@pytest.mark.parametrize("sessions, login, path, cache", [
    (False, False, "root/home.html", "max-age=60"),
    (False, False, "index.html", "max-age=60"),
    (True, True, "root/home.html", "no-store"),
    (True, True, "index.html", "no-store"),
    (True, True, "style.css", "max-age=60"),
    (True, True, "logo.png", "max-age=60"),
    (True, True, "app.js", "max-age=60"),
    (True, False, "login.html", "no-store"),
    (True, False, "style.css", "max-age=60"),
])
def test_pages_behind_a_login_are_not_cached(program, sessions, login, path, cache):
    for name in ("logo.png", "app.js"):
        with open(os.path.join(program.directory, "www", name), "wb") as f:
            f.write(b"\x89PNG\r\n" if name.endswith(".png") else b"var x = 1;\n")
    if sessions:
        enable_sessions(program)
    client = logged_in(program) if login else Client(program)
    status, headers, _ = client.request(path)
    assert status == 200
    assert headers["Cache-Control"] == cache


def test_user_cookie_is_restored_from_the_session(program):
    enable_sessions(program)
    client = logged_in(program)
    _, headers, _ = client.request("style.css")
    assert "user=" not in (headers.get("Set-Cookie") or "")
    client.drop_cookie("user")
    _, headers, _ = client.request("style.css")
    assert any(c.startswith("user=Admin") for c in headers.get_all("Set-Cookie"))
    assert client.cookie("user") == "Admin"


def user_cookies(headers):
    """The "user" cookies of a reply as the bytes that were sent."""
    return [c.encode("latin-1") for c in headers.get_all("Set-Cookie") or [] if c.startswith("user=")]


# The cookie carries the name itself, which the browser shows; only a name that a cookie cannot
# carry is encoded, all of it, so that it decodes back.
@pytest.mark.parametrize("name, sent", [
    ("Jan KowalskiŁ", "user=Jan KowalskiŁ; Path=/".encode()),
    ("Zoë, 100%", "user=Zoë, 100%; Path=/".encode()),
    ('say "hi"; x=1', b"user=say%20%22hi%22%3B%20x=1; Path=/"),
    ("back\\slash", b"user=back%5Cslash; Path=/"),
], ids=["UTF-8", "comma and percent", "quote and semicolon", "backslash"])
def test_user_cookie_carries_the_name(program, name, sent):
    add_user(program, Client(program), name, "pw", 255)
    enable_sessions(program)
    client = Client(program)
    _, headers, body = client.login(name, "pw")
    assert body == b'{"success":true}'
    assert user_cookies(headers) == [sent]
    client.drop_cookie("user")
    _, headers, _ = client.request("style.css")
    assert user_cookies(headers) == [sent]


def test_privileges(program):
    admin = Client(program)
    add_user(program, admin, "viewer", "v", 1)
    add_user(program, admin, "operator", "o", 2)
    add_user(program, admin, "locked", "l", 0)
    enable_sessions(program)
    viewer = logged_in(program, "viewer", "v")
    operator = logged_in(program, "operator", "o")
    admin = logged_in(program)
    assert Client(program).login("locked", "l")[2] == b'{"success":false}'

    assert json.loads(viewer.api("getGeneralInfo"))["userPriv"] == 1
    assert json.loads(operator.api("getGeneralInfo"))["userPriv"] == 2

    # read-only: reading functions only; cfg_viewNameExists lacks "_get"
    assert viewer.api("cfg_getDevCfg") == '{"devices":[],"parameters":[]}'
    for func in ["cfg_addNewDevice", "cfg_viewNameExists", "cfg_saveSetting", "cfg_unknownThing"]:
        assert viewer.api(func) == PRIVILEGE, func
    assert viewer.api("deleteLogsEnries", eventsType="10") == PRIVILEGE
    assert viewer.api("getLogsGridData", eventsType="10").startswith("[")

    # privilege 2 configures but does not delete the logs
    assert operator.api("cfg_addNewTcpConnection", ip="127.0.0.1") == '{"success":true}'
    assert operator.api("cfg_addNewDevice", connectionType="tcp", idOfConnection="1", readIterations="[]",
                        parameters="[]") == '{"success":true}'
    assert operator.api("deleteLogsEnries", eventsType="10") == PRIVILEGE
    for path in ["importConfig.html", "loadFile.html"]:
        assert program.upload(path, "x.sql", b"", client=operator)[2].decode() == PRIVILEGE

    assert admin.api("deleteLogsEnries", eventsType="10") == '{"success":true}'


@pytest.mark.parametrize("params", [
    {"func": ""},
    {},
    {"func": "noSuchFunction"},
    {"func": "getgeneralinfo"},
    {"func": "cfg_noSuchFunction"},
    {"func": "getPortSettings"},
    {"func": "runAsAdministrator "},
])
def test_empty_replies(program, params):
    status, headers, body = program.request("ajax.html", data=params or None)
    assert (status, body) == (200, b"")
    assert headers["Content-Type"] == "text/html"


def test_run_as_administrator_starts_the_launcher_and_exits_with_12(program):
    marker = os.path.join(program.directory, "launcher.txt")
    launcher = os.path.join(program.directory, "Vexo_admin.exe")
    with open(launcher, "w") as f:
        f.write(f'#!/bin/sh\necho "$PWD $@" > "{marker}"\n')
    os.chmod(launcher, os.stat(launcher).st_mode | stat.S_IEXEC)

    assert program.api("runAsAdministrator") == ""
    assert program.proc.wait(30) == 12
    wait_until(lambda: os.path.exists(marker) and open(marker).read().strip())
    assert open(marker).read().strip() == f"{program.directory} -r"


def test_run_as_administrator_without_a_launcher_still_exits_with_12(program):
    assert program.api("runAsAdministrator") == ""
    assert program.proc.wait(30) == 12
