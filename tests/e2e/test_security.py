"""Who may do what, and bad input: privileges, sessions, other sites' requests, floods and values
that cannot work, against the started program."""

import http.client
import json
import os
import select
import socket
import sqlite3
import time
import urllib.parse

import pytest

from korvalen import Client, Program, multipart, resident_bytes, sanitized, slow_connections

SUCCESS = '{"success":true}'
PRIVILEGE = '{"error":true,"message":"User doesn\'t have required privilege"}'
NOT_LOGGED_IN = '{"error":true,"message":"User not logged in"}'
OTHER_SITE = "http://evil.example"

# Users besides Admin (1): viewer (2, privilege 1), operator (3, privilege 2), peer (4, privilege 2).
USERS = [("viewer", "v", 1), ("operator", "o", 2), ("peer", "p", 2)]
CALLERS = {1: ("viewer", "v"), 2: ("operator", "o"), 255: ("Admin", "")}


def dump(program):
    con = sqlite3.connect(program.db_path, timeout=10)
    try:
        return list(con.iterdump())
    finally:
        con.close()


def enable_sessions(program):
    assert program.api("cfg_saveSetting", modbusPollInterval="5000", modbusIterDelay="10",
                       sessionEnabled="1") == SUCCESS


def logged_in(program, name="Admin", password=""):
    client = Client(program)
    assert client.login(name, password)[2] == b'{"success":true}'
    return client


def add_users(program):
    for name, password, permissions in USERS:
        assert program.api("cfg_addNewUser", username=name, permissions=str(permissions)) == SUCCESS
    for uid, (name, password, _) in enumerate(USERS, start=2):
        assert program.api("cfg_setUserPass", id=str(uid), password=password) == SUCCESS


def request_from(program, source, method, path, fields=None, headers=None):
    """(status, headers, body) of one request sent from the local address `source`."""
    conn = http.client.HTTPConnection("127.0.0.1", program.port, timeout=30, source_address=(source, 0))
    try:
        body = urllib.parse.urlencode(fields) if fields is not None else None
        all_headers = dict(headers or {})
        if body is not None:
            all_headers["Content-Type"] = "application/x-www-form-urlencoded"
        conn.request(method, "/" + path, body, all_headers)
        response = conn.getresponse()
        return response.status, response.headers, response.read()
    finally:
        conn.close()


def raw_exchange(program, head, body_pieces=(), timeout=10):
    """Sends a request head and body pieces on one connection and returns what comes back
    (until the server closes); the server may refuse before the body is all sent."""
    with socket.create_connection(("127.0.0.1", program.port), timeout=timeout) as s:
        s.sendall(head)
        try:
            for piece in body_pieces:
                s.sendall(piece)
        except (BrokenPipeError, ConnectionResetError):
            pass
        received = b""
        try:
            while chunk := s.recv(65536):
                received += chunk
        except ConnectionResetError:
            pass
        return received


# --- privileges ---------------------------------------------------------------------------------

def privilege_rows():
    table = [
        ("cfg_addNewUser", {"username": "new", "permissions": "2"}, {1: False, 2: True, 255: True}),
        ("cfg_addNewUser", {"username": "new", "permissions": "255"}, {1: False, 2: False, 255: True}),
        ("cfg_addNewUser", {"username": "new", "permissions": "3"}, {2: False}),
        # raising a peer, raising oneself, acting on a user above
        ("cfg_editUser", {"id": "4", "username": "peer", "permissions": "255"}, {1: False, 2: False, 255: True}),
        ("cfg_editUser", {"id": "3", "username": "operator", "permissions": "3"}, {2: False}),
        ("cfg_editUser", {"id": "1", "username": "Admin", "permissions": "2"}, {1: False, 2: False, 255: True}),
        ("cfg_editUser", {"id": "4", "username": "peer", "permissions": "1"}, {2: True}),
        ("cfg_setUserPass", {"id": "1", "password": "mine"}, {1: False, 2: False, 255: True}),
        ("cfg_setUserPass", {"id": "4", "password": "mine"}, {2: True}),
        ("cfg_removeUser", {"id": "1"}, {1: False, 2: False, 255: True}),
        ("cfg_removeUser", {"id": "4"}, {2: True}),
        # turning logins off would give every anonymous caller full rights
        ("cfg_saveSetting", {"modbusPollInterval": "5000", "modbusIterDelay": "10", "sessionEnabled": "0"},
         {1: False, 2: False, 255: True}),
        ("cfg_saveSetting", {"modbusPollInterval": "1000", "modbusIterDelay": "10", "sessionEnabled": "1"},
         {1: False, 2: True}),
        ("cfg_clearDatabase", {}, {1: False, 2: False, 255: True}),
    ]
    for func, params, callers in table:
        for caller, allowed in callers.items():
            detail = ",".join(f"{k}={v}" for k, v in params.items())
            yield pytest.param(caller, func, params, allowed, id=f"{caller}-{func}-{detail}")


@pytest.mark.parametrize("caller, func, params, allowed", privilege_rows())
def test_privileges_cannot_be_raised(program, caller, func, params, allowed):
    add_users(program)
    enable_sessions(program)
    client = logged_in(program, *CALLERS[caller])

    before = dump(program)
    reply = client.api(func, **params)
    after = dump(program)
    if allowed:
        assert reply == SUCCESS
        assert after != before
    else:
        assert reply == PRIVILEGE
        assert after == before


# --- sessions and logins ------------------------------------------------------------------------

def test_login_renews_the_session_id(program):
    enable_sessions(program)
    client = Client(program)
    client.request("style.css")
    planted = client.cookie("sessionid")
    assert planted
    assert client.login("Admin")[2] == b'{"success":true}'
    renewed = client.cookie("sessionid")
    assert renewed and renewed != planted
    assert json.loads(client.api("getGeneralInfo"))["userPriv"] == 255
    # Whoever planted the old id is not logged in by it.
    status, _, body = program.request("ajax.html?func=getGeneralInfo", headers={"Cookie": f"sessionid={planted}"})
    assert (status, body.decode()) == (200, NOT_LOGGED_IN)


def test_failed_logins_are_throttled_per_address(program):
    enable_sessions(program)
    for _ in range(6):
        assert request_from(program, "127.0.0.1", "POST", "login.html",
                            {"username": "Admin", "password": "wrong"})[2] == b'{"success":false}'
    assert request_from(program, "127.0.0.1", "POST", "login.html",
                        {"username": "Admin", "password": ""})[2] == b'{"success":false}'
    assert request_from(program, "127.0.0.2", "POST", "login.html",
                        {"username": "Admin", "password": ""})[2] == b'{"success":true}'
    assert program.query("SELECT type, message FROM Logs WHERE message LIKE 'Logins from %'") == [
        ("warn", "Logins from 127.0.0.1 refused for 15 minutes after 5 failed logins")]


def test_logins_through_a_trusted_proxy_are_throttled_per_client(program_factory):
    program = program_factory(config={"listener": {"trustedProxies": "::1, 127.0.0.1"}}).start().started()
    enable_sessions(program)

    def login(password, forwarded_for=None, source="127.0.0.1"):
        headers = {"X-Forwarded-For": forwarded_for} if forwarded_for else {}
        return request_from(program, source, "POST", "login.html",
                            {"username": "Admin", "password": password}, headers)[2].decode()

    for _ in range(6):
        assert login("wrong", "10.0.0.1") == '{"success":false}'
    assert login("", "10.0.0.1") == '{"success":false}'
    # What the client itself sent lies left of the proxy's entry.
    assert login("", "10.0.0.2, 10.0.0.1") == '{"success":false}'
    assert login("", "10.0.0.2") == SUCCESS
    assert login("") == SUCCESS  # the proxy's own address
    # A caller that is no listed proxy cannot pick its address: it is throttled on its own.
    for i in range(6):
        assert login("wrong", f"10.1.0.{i}", source="127.0.0.2") == '{"success":false}'
    assert login("", "10.1.0.9", source="127.0.0.2") == '{"success":false}'
    assert login("", "10.1.0.9") == SUCCESS
    assert program.query("SELECT message FROM Logs WHERE message LIKE 'Logins from %' ORDER BY idLogs") == [
        ("Logins from 10.0.0.1 refused for 15 minutes after 5 failed logins",),
        ("Logins from 127.0.0.2 refused for 15 minutes after 5 failed logins",)]


def test_sessions_of_callers_who_never_logged_in_are_bounded(program):
    if sanitized(program.proc.pid):
        pytest.skip("a sanitizer holds freed memory back: resident memory tells nothing here")
    enable_sessions(program)
    request = b"GET /ajax.html?func=getAppState HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    marker = NOT_LOGGED_IN.encode()

    def flood(count, batch=500):
        with socket.create_connection(("127.0.0.1", program.port), timeout=30) as s:
            sent = 0
            while sent < count:
                n = min(batch, count - sent)
                s.sendall(request * n)
                seen, data = 0, b""
                while seen < n:
                    chunk = s.recv(1 << 20)
                    assert chunk, "connection closed"
                    data += chunk
                    seen = data.count(marker)
                sent += n

    flood(5000)  # threads, caches and the first sessions in place
    before = resident_bytes(program.proc.pid)
    flood(100000)
    growth = resident_bytes(program.proc.pid) - before
    # 100 000 sessions kept would take some 28 MB.
    assert growth < 8 * 1024 * 1024, growth


def privilege_of(client):
    reply = client.api("getGeneralInfo")
    return reply if reply == NOT_LOGGED_IN else json.loads(reply)["userPriv"]


# A session keeps the rights of its login: a user removed, demoted, renamed or given a new password
# must not go on acting through a session opened before.
@pytest.mark.parametrize("func, params", [
    ("cfg_removeUser", {"id": "3"}),
    ("cfg_editUser", {"id": "3", "username": "operator", "permissions": "1"}),
    ("cfg_editUser", {"id": "3", "username": "renamed", "permissions": "2"}),
    ("cfg_setUserPass", {"id": "3", "password": "new"}),
], ids=["removed", "demoted", "renamed", "new password"])
def test_a_changed_user_is_logged_out(program, func, params):
    add_users(program)
    enable_sessions(program)
    admin = logged_in(program)
    operator = [logged_in(program, "operator", "o") for _ in range(2)]
    viewer = logged_in(program, "viewer", "v")
    assert [privilege_of(c) for c in operator] == [2, 2]

    assert admin.api(func, **params) == SUCCESS
    assert [privilege_of(c) for c in operator] == [NOT_LOGGED_IN] * 2
    assert (privilege_of(admin), privilege_of(viewer)) == (255, 1)


# Sessions hold the name and the level of their login; an edit that changes neither for the
# worse leaves them, the caller's own included. A raised level waits for the next login.
@pytest.mark.parametrize("operator_edit", [
    {"id": "3", "username": "operator", "permissions": "2"},
    {"id": "3", "username": "operator", "permissions": "255"},
], ids=["saved unchanged", "raised"])
def test_an_edit_that_takes_nothing_away_ends_no_session(program, operator_edit):
    add_users(program)
    enable_sessions(program)
    admin = logged_in(program)
    operator = logged_in(program, "operator", "o")

    assert operator.api("cfg_editUser", id="3", username="operator", permissions="2") == SUCCESS
    assert admin.api("cfg_editUser", id="1", username="Admin", permissions="255") == SUCCESS
    assert admin.api("cfg_editUser", **operator_edit) == SUCCESS
    assert (privilege_of(admin), privilege_of(operator)) == (255, 2)


def test_own_password_keeps_the_callers_session_only(program):
    add_users(program)
    enable_sessions(program)
    admin = logged_in(program)
    operator, elsewhere = logged_in(program, "operator", "o"), logged_in(program, "operator", "o")

    assert operator.api("cfg_setUserPass", id="3", password="new") == SUCCESS
    assert (privilege_of(operator), privilege_of(elsewhere)) == (2, NOT_LOGGED_IN)
    # A refused change ends nobody's session.
    assert operator.api("cfg_removeUser", id="1") == PRIVILEGE
    assert privilege_of(admin) == 255
    # Renaming oneself ends one's own session too: it holds the old name.
    assert operator.api("cfg_editUser", id="3", username="op", permissions="2") == SUCCESS
    assert privilege_of(operator) == NOT_LOGGED_IN
    assert logged_in(program, "op", "new")


# --- request sizes ------------------------------------------------------------------------------

def test_a_flood_of_parameters_is_refused_before_it_is_decoded(program):
    if sanitized(program.proc.pid):
        pytest.skip("a sanitizer holds freed memory back: resident memory tells nothing here")
    body = b"a&" * (8 * 1024 * 1024)  # 16 MiB: within maxRequestSize
    head = (b"POST /ajax.html HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: application/x-www-form-urlencoded\r\n"
            b"Content-Length: %d\r\n\r\n" % len(body))
    program.api("getAppState")
    before = resident_bytes(program.proc.pid)
    reply = raw_exchange(program, head, [body], timeout=60)
    assert reply.startswith(b"HTTP/1.1 413"), reply[:200]
    # Decoded into a map, these 8 million pairs took some 780 MB.
    assert resident_bytes(program.proc.pid, "VmHWM") - before < 64 * 1024 * 1024
    assert program.api("getAppState") == '{"state":"idle"}'


ANONYMOUS_BODY_LIMIT = 64 * 1024
FORM = "application/x-www-form-urlencoded"


def head(path, content_type, framing):
    return (f"POST /{path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {content_type}\r\n"
            f"{framing}\r\n\r\n").encode()


# With logins on, a caller who is not logged in may send a login form, not megabytes to hold in memory:
# a declared length is refused at the header (the body is never sent here), a chunked body as soon
# as it passes the bound.
@pytest.mark.parametrize("path, content_type", [
    ("ajax.html", FORM), ("login.html", FORM), ("style.css", "application/json"),
    ("saveFile.html", "multipart/form-data; boundary=----korvalen-test-boundary-7f3a"),
])
@pytest.mark.parametrize("framing", ["length", "chunked"])
def test_bodies_of_callers_not_logged_in_are_bounded(program, path, content_type, framing):
    enable_sessions(program)
    if framing == "length":
        reply = raw_exchange(program, head(path, content_type, f"Content-Length: {ANONYMOUS_BODY_LIMIT + 1}"))
    else:
        field = b"a" * (2 * ANONYMOUS_BODY_LIMIT)
        if content_type.startswith("multipart"):
            body = multipart({"fileContent": field}, {})[0]
        else:
            body = b"x=" + field
        # The last chunk never comes: the answer must not wait for it.
        reply = raw_exchange(program, head(path, content_type, "Transfer-Encoding: chunked"), chunks(body, 8192))
    assert reply.startswith(b"HTTP/1.1 413"), reply[:200]


def test_bodies_within_the_bound_or_logged_in_are_read(program):
    padding = "p" * (ANONYMOUS_BODY_LIMIT * 16)
    # Logins off: everyone may send large bodies, as before.
    assert Client(program).api("getAppState", padding=padding) == '{"state":"idle"}'
    enable_sessions(program)
    anonymous = Client(program)
    assert anonymous.api("getAppState", padding="p" * (ANONYMOUS_BODY_LIMIT - 100)) == NOT_LOGGED_IN
    assert anonymous.login("Admin")[2] == b'{"success":true}'
    assert anonymous.api("getAppState", padding=padding) == '{"state":"idle"}'
    status, _, body = anonymous.request("saveFile.html", data={"filename": "a.csv", "fileContent": padding})
    assert (status, len(body)) == (200, len(padding))


# --- other sites' requests ----------------------------------------------------------------------

@pytest.mark.parametrize("sessions", [True, False])
def test_requests_of_other_sites_change_nothing(program, sessions):
    if sessions:
        enable_sessions(program)
        client = logged_in(program)
    else:
        client = Client(program)
    add_user = "ajax.html?func=cfg_addNewUser&username=intruder&permissions=255"
    before = dump(program)
    for headers in [{"Origin": OTHER_SITE}, {"Referer": OTHER_SITE + "/page.html"}, {"Origin": "null"},
                    {"Origin": f"http://127.0.0.1:{program.port + 1}"}, {"Sec-Fetch-Site": "cross-site"}]:
        assert client.request(add_user, headers=headers)[::2] == (403, b""), headers
        assert client.request("ajax.html", data={"func": "cfg_addNewUser", "username": "intruder",
                                                 "permissions": "255"}, headers=headers)[::2] == (403, b"")
        assert client.request("exportConfig.html", headers=headers)[::2] == (403, b"")
        assert client.request("login.html", data={"username": "Admin", "password": ""},
                              headers=headers)[::2] == (403, b"")
    assert dump(program) == before

    # The program's own pages, and scripts without either header, are served as before.
    own = {"Origin": f"http://127.0.0.1:{program.port}", "Referer": f"http://127.0.0.1:{program.port}/home.html",
           "Sec-Fetch-Site": "same-origin"}
    assert client.request(add_user, headers=own)[2] == SUCCESS.encode()
    assert client.api("cfg_addNewUser", username="script", permissions="1") == SUCCESS
    assert client.request("style.css", headers={"Origin": OTHER_SITE})[0] == 200
    assert [r[0] for r in program.query("SELECT username FROM Users ORDER BY idUsers")] == \
        ["Admin", "intruder", "script"]


# --- the name the browser used -------------------------------------------------------------------

def request_as(program, host, path="ajax.html?func=getAppState", same_origin=True):
    """(status, body) of a request whose Host header is `host` (None: an HTTP/1.0 request without
    one); with same_origin the browser headers of a page of that host come along, as a page on a
    rebound name would send them."""
    if host is None:
        reply = raw_exchange(program, f"GET /{path} HTTP/1.0\r\n\r\n".encode())
        head, _, body = reply.partition(b"\r\n\r\n")
        return int(head.split()[1]), body
    headers = {"Host": host}
    if same_origin:
        headers.update({"Origin": f"http://{host}", "Sec-Fetch-Site": "same-origin"})
    conn = http.client.HTTPConnection("127.0.0.1", program.port, timeout=30)
    try:
        conn.request("GET", "/" + path, headers=headers)
        response = conn.getresponse()
        return response.status, response.read()
    finally:
        conn.close()


IDLE = b'{"state":"idle"}'


def refused_name(name):
    """The body of the 403 for a request by a name that is not the program's."""
    return (f'403 Host name "{name}" refused: add it to allowedHosts in the group [listener] of '
            f'config.ini, then start the program again\n').encode()


# A page of attacker.example whose name the attacker points at 127.0.0.1 is, for the browser, of
# the same origin as the program: only the Host header tells it apart.
@pytest.mark.parametrize("host, expected", [
    ("attacker.example:{port}", (403, refused_name("attacker.example"))),
    ("Attacker.Example.", (403, refused_name("attacker.example"))),
    ("127.0.0.1.attacker.example:{port}", (403, refused_name("127.0.0.1.attacker.example"))),
    ("127.0.0.1:{port}", (200, IDLE)),
    ("127.0.0.1", (200, IDLE)),
    ("[::1]:{port}", (200, IDLE)),
    ("localhost:{port}", (200, IDLE)),
    ("LocalHost:{port}", (200, IDLE)),
    ("{hostname}:{port}", (200, IDLE)),
    (None, (200, IDLE)),
])
def test_requests_by_another_name_are_refused(program, host, expected):
    if host is not None:
        host = host.format(port=program.port, hostname=socket.gethostname())
    assert request_as(program, host) == expected


def test_names_allowed_in_the_configuration(program_factory):
    program = program_factory(config={"listener": {"allowedHosts": "capture.example.org, Plant.Example"}}
                              ).start().started()
    for host, status in [("capture.example.org", 200), (f"plant.example:{program.port}", 200),
                         ("example.org", 403), ("other.capture.example.org", 403)]:
        assert request_as(program, host)[0] == status, host
    for path in ["exportConfig.html", "saveFile.html?filename=a.csv&fileContent=x"]:
        assert request_as(program, "attacker.example", path) == (403, refused_name("attacker.example")), path
    # Files of the web root act with nobody's rights: served whatever the name.
    assert request_as(program, "attacker.example", "style.css", same_origin=False)[0] == 200
    enable_sessions(program)
    assert request_as(program, "attacker.example", "login.html?username=Admin&password=")[0] == 403
    assert request_as(program, "127.0.0.1", "login.html?username=Admin&password=") == (200, SUCCESS.encode())


# The line is the same whether the header check refuses the request (the query names a function)
# or the handler does (a login whose fields are in the body, as the sample login page sends it).
@pytest.mark.parametrize("method, path, fields", [
    ("GET", "ajax.html?func=getAppState", None),
    ("POST", "ajax.html", {"func": "getAppState"}),
    ("POST", "login.html", {"username": "Admin", "password": ""}),
])
def test_a_refused_name_is_told_with_the_key_that_allows_it(program, method, path, fields):
    enable_sessions(program)
    status, headers, body = request_from(program, "127.0.0.1", method, path, fields,
                                         headers={"Host": "capture.example.org:8080"})
    assert (status, body) == (403, refused_name("capture.example.org"))
    assert headers["Content-Type"] == "text/plain; charset=UTF-8"


# The Host header is the caller's: what the refusal shows of it is one bounded line of text.
@pytest.mark.parametrize("host, shown", [
    pytest.param(b"evil\xe2\x80\xae<b>x</b>.example", 'Host header "evil<b>x</b>.example" refused: it names no host',
                 id="a format character"),
    pytest.param(b"a/b", 'Host header "a/b" refused: it names no host', id="no host name"),
    pytest.param(b"x" * 3000, 'Host header "' + "x" * 253 + '..." refused: it names no host', id="3000 characters"),
])
def test_what_a_refusal_shows_of_the_host_header(program, host, shown):
    reply = raw_exchange(program, b"GET /ajax.html?func=getAppState HTTP/1.1\r\nHost: " + host + b"\r\n\r\n")
    head, _, body = reply.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 403 ")
    assert body == b"403 " + shown.encode() + b"\n"


# --- floods -------------------------------------------------------------------------------------

def test_slow_connections_of_one_address_leave_others_served(program_factory):
    # maxThreads 50: without a share per address, 150 slow connections would take them all.
    program = program_factory(config={"listener": {"maxThreads": "50", "headerTimeout": "10000"}}).start().started()
    slow = slow_connections(program, 150)
    try:
        refused = set()
        deadline = time.monotonic() + 20
        while len(refused) < 125 and time.monotonic() < deadline:
            ready, _, _ = select.select([s for s in slow if s not in refused], [], [], 0.5)
            for s in ready:
                assert s.recv(4096).startswith(b"HTTP/1.1 503")
                refused.add(s)
        assert len(refused) == 125  # the other 25 hold half the threads

        start = time.monotonic()
        status, _, _ = request_from(program, "127.0.0.2", "GET", "style.css")
        assert status == 200
        assert time.monotonic() - start < 1
    finally:
        for s in slow:
            s.close()


def chunks(data, size):
    """`data` in chunked transfer coding, `size` bytes a chunk, without the last chunk."""
    return [b"%x\r\n" % len(data[i:i + size]) + data[i:i + size] + b"\r\n" for i in range(0, len(data), size)]


# With a length the body bound refuses the request at its header; a chunked body in small chunks
# reaches its file part first, which is refused before anything of it is stored.
@pytest.mark.parametrize("framing, status", [("length", b"413"), ("chunked", b"403")])
def test_anonymous_upload_is_not_stored(program_factory, tmp_path, framing, status):
    uploads = tmp_path / "uploads"
    uploads.mkdir()
    program = program_factory(config={"listener": {"uploadDir": str(uploads)}}).start().started()
    enable_sessions(program)

    size = 64 * 1024 * 1024
    body, content_type = multipart({}, {"uploadedfile": ("big.sql", b"\0" * size)})
    head = f"POST /loadFile.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: {content_type}\r\n"
    head += f"Content-Length: {len(body)}\r\n" if framing == "length" else "Transfer-Encoding: chunked\r\n"
    first = body[:1 << 20]
    with socket.create_connection(("127.0.0.1", program.port), timeout=30) as s:
        s.sendall(head.encode() + b"\r\n")
        try:
            s.sendall(first if framing == "length" else b"".join(chunks(first, 4096)))
        except (BrokenPipeError, ConnectionResetError):
            pass
        # Answered while the file has at most begun: nothing waits for the rest of the body.
        assert s.recv(4096).startswith(b"HTTP/1.1 " + status)
        assert os.listdir(uploads) == []
        try:
            s.sendall(memoryview(body)[1 << 20:] if framing == "length" else b"%x\r\n" % (size // 2))
        except (BrokenPipeError, ConnectionResetError):
            pass
    assert os.listdir(uploads) == []

    # Logged in, the same endpoint takes uploads.
    status, _, content = program.upload("loadFile.html", "a.txt", b"hello", client=logged_in(program))
    assert (status, content) == (200, b"hello")


# --- values that cannot work --------------------------------------------------------------------

@pytest.fixture(scope="module")
def configured(tmp_path_factory):
    program = Program(tmp_path_factory.mktemp("values") / "app").start().started()
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP="1502") == SUCCESS
    assert program.api("cfg_addNewSerialConnection", serialPort="ttyS9") == SUCCESS
    assert program.api("cfg_addNewDevice", connectionType="tcp", idOfConnection="1", ModbusId="5",
                       readIterations='[{"regAddr":1,"valuesCnt":1}]', parameters='[{"regAddr":1}]') == SUCCESS
    assert program.api("cfg_addNewUser", username="u", permissions="2") == SUCCESS
    yield program
    program.kill()


DEVICE = {"connectionType": "tcp", "idOfConnection": "1", "readIterations": "[]", "parameters": "[]"}
EDIT = dict(DEVICE, id="1", parametersChanged="1")
SETTINGS = {"modbusPollInterval": "5000", "modbusIterDelay": "10"}


def value_rows():
    q = "Query error"
    table = [
        ("cfg_saveSetting", dict(SETTINGS, modbusPollInterval="0"), "Settings save error", "modbusPollInterval"),
        ("cfg_saveSetting", dict(SETTINGS, modbusPollInterval="-1000"), "Settings save error", "modbusPollInterval"),
        ("cfg_saveSetting", dict(SETTINGS, modbusIterDelay="-1"), "Settings save error", "modbusIterDelay"),
        ("cfg_addNewTcpConnection", {"ip": "10.0.0.1", "portTCP": "70000"}, q, "portTCP: 70000"),
        ("cfg_addNewTcpConnection", {"ip": "10.0.0.1", "portTCP": "abc"}, q, "portTCP: abc"),
        ("cfg_addNewTcpConnection", {"ip": "10.0.0.1", "portTCP": "0"}, q, "portTCP: 0"),
        ("cfg_addNewTcpConnection", {"ip": "10.0.0.1", "portTCP": ""}, q, "portTCP: "),
        ("cfg_addNewTcpConnection", {"ip": "10.0.0.1", "timeout": "0"}, q, "timeout: 0"),
        ("cfg_editTcpConnection", {"id": "1", "ip": "127.0.0.1", "portTCP": "65536"}, q, "portTCP: 65536"),
        ("cfg_editTcpConnection", {"id": "65537", "ip": "127.0.0.1", "portTCP": "1502"}, q, "id: 65537"),
        ("cfg_removeTcpConnection", {"id": "65537"}, q, "id: 65537"),
        ("cfg_addNewSerialConnection", {"serialPort": "ttyS1", "timeout": "0"}, q, "timeout: 0"),
        ("cfg_addNewSerialConnection", {"serialPort": "ttyS1", "timeout": "-5"}, q, "timeout: -5"),
        ("cfg_editSerialConnection", {"id": "1", "serialPort": "ttyS9", "timeout": "0"}, q, "timeout: 0"),
        ("cfg_editSerialConnection", {"id": "65537", "serialPort": "ttyS2"}, q, "id: 65537"),
        ("cfg_removeSerialConnection", {"id": "65537"}, q, "id: 65537"),
        ("cfg_addNewDevice", dict(DEVICE, ModbusId="300"), q, "ModbusId: 300"),
        ("cfg_addNewDevice", dict(DEVICE, connectionType="serial", ModbusId="0"), q, "ModbusId: 0"),
        ("cfg_addNewDevice", dict(DEVICE, ModbusId="65537"), q, "ModbusId: 65537"),
        ("cfg_addNewDevice", dict(DEVICE, connectionType="modbus-tcp"), q, "connectionType: modbus-tcp"),
        ("cfg_addNewDevice", dict(DEVICE, connectionType=""), q, "idOfConnection: 1 is not 0"),
        ("cfg_addNewDevice", dict(DEVICE, idOfConnection="9"), q, "idOfConnection: 9"),
        ("cfg_addNewDevice", dict(DEVICE, connectionType="serial", idOfConnection="2"), q, "idOfConnection: 2"),
        ("cfg_addNewDevice", dict(DEVICE, readIterations='[{"regAddr":70000}]'), q,
         "readIterations[0].regAddr: 70000"),
        ("cfg_addNewDevice", dict(DEVICE, readIterations='[{"regAddr":1},{"regAddr":-1}]'), q,
         "readIterations[1].regAddr: -1"),
        ("cfg_addNewDevice", dict(DEVICE, readIterations='[{"regAddr":4294967297}]'), q,
         "readIterations[0].regAddr: 4294967297"),
        ("cfg_addNewDevice", dict(DEVICE, parameters='[{"regAddr":65536}]'), q, "parameters[0].regAddr: 65536"),
        ("cfg_addNewDevice", dict(DEVICE, readIterations='[{"regAddr":1,"valuesCnt":201}]'), q,
         "readIterations[0].valuesCnt: 201 is not within 0 to 200"),
        ("cfg_addNewDevice", dict(DEVICE, readIterations='[{"regAddr":1,"valuesCnt":1},{"regAddr":2,"valuesCnt":2000000000}]'), q,
         "readIterations[1].valuesCnt: 2000000000"),
        ("cfg_editDevice", dict(EDIT, readIterations='[{"regAddr":1,"valuesCnt":-5}]'), q,
         "readIterations[0].valuesCnt: -5"),
        ("cfg_editDevice", dict(EDIT, ModbusId="256"), q, "ModbusId: 256"),
        ("cfg_editDevice", dict(EDIT, idOfConnection="3"), q, "idOfConnection: 3"),
        ("cfg_editDevice", dict(EDIT, connectionType="rtu"), q, "connectionType: rtu"),
        ("cfg_editDevice", dict(EDIT, parameters='[{"regAddr":99999}]'), q, "parameters[0].regAddr: 99999"),
        ("cfg_editDevice", dict(EDIT, id="4294967297"), q, "id: 4294967297"),
        ("cfg_removeDevice", {"id": "4294967297"}, q, "id: 4294967297"),
        ("cfg_addNewUser", {"username": "x", "permissions": "256"}, "User save error", "permissions: 256"),
        ("cfg_addNewUser", {"username": "x", "permissions": "65791"}, "User save error", "permissions: 65791"),
        ("cfg_editUser", {"id": "2", "username": "u", "permissions": "65791"}, "Edit error", "permissions: 65791"),
    ]
    for func, params, message, details in table:
        yield pytest.param(func, params, message, details, id=f"{func}-{details}")


@pytest.mark.parametrize("func, params, message, details", value_rows())
def test_values_that_cannot_work_are_refused(configured, func, params, message, details):
    before = dump(configured)
    reply = json.loads(configured.api(func, **params))
    assert reply["error"] is True and reply["message"] == message
    assert reply["details"].startswith(details), reply["details"]
    assert dump(configured) == before
