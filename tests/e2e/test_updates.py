"""The web-UI updater against an update service started by the test."""

import http.client
import http.server
import json
import os
import re
import threading
import time
import urllib.parse

import pytest

from korvalen import wait_until

PARAMETER_ERROR = '{"error":"Parameter error!"}'
CONNECT_ERROR = '{"error":"Unable to connect with server!"}'
REPLY_ERROR = '{"error":"Reply error!"}'
DISK_ERROR = '{"error":"Unable to write to disk!"}'
COMPLETED = '{"ok":"Completed correctly."}'
IN_PROGRESS = '{"ok":"In progress"}'
STARTED = '{"ok":"Update started"}'
MIB = 1 << 20


class UpdateService:
    """An HTTP update service: the check at /svc/, file lists at /svc/fileList, files anywhere."""

    def __init__(self):
        self.check_reply = (200, b'{"newVersion":"0.1.20"}')
        self.check_delay = 0
        self.lists = {}   # module name -> JSON-able list, raw bytes, or an HTTP status
        self.files = {}   # path -> bytes or an HTTP status
        self.other_files = 404  # the answer for any other path
        self.gates = {}   # path -> threading.Event that holds its reply back
        self.trickled = {}  # path -> bytes sent one a second
        self.posts = []   # (content type, body) of each check
        self.gets = []    # paths asked for, in order
        self.released = threading.Event()
        service = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def reply(self, status, body=b""):
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                try:
                    self.wfile.write(body)
                except ConnectionError:  # the program refused the rest
                    pass

            def trickle(self, body):
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                for byte in body:
                    if service.released.wait(1):
                        return
                    try:
                        self.wfile.write(bytes([byte]))
                        self.wfile.flush()
                    except OSError:  # the program gave up on it
                        return

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                service.posts.append((self.headers.get("Content-Type"), body))
                if service.check_delay:
                    service.released.wait(service.check_delay)
                self.reply(*service.check_reply)

            def do_GET(self):
                service.gets.append(self.path)
                gate = service.gates.get(self.path)
                if gate:
                    gate.wait(30)
                url = urllib.parse.urlsplit(self.path)
                if url.path == "/svc/fileList":
                    module = urllib.parse.parse_qs(url.query)["moduleName"][0]
                    answer = service.lists.get(module, 404)
                    if isinstance(answer, list):
                        answer = json.dumps(answer).encode()
                elif self.path in service.trickled:
                    return self.trickle(service.trickled[self.path])
                else:
                    answer = service.files.get(self.path, service.other_files)
                if isinstance(answer, int):
                    self.reply(answer)
                else:
                    self.reply(200, answer)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        self.released.set()
        for gate in self.gates.values():
            gate.set()
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def service():
    s = UpdateService()
    yield s
    s.stop()


@pytest.fixture
def updater(program_factory, service):
    return program_factory(config={"updates": {"updateServer": service.url("/svc")}}).start()


def tree(directory):
    """Every file below the directory with its content."""
    found = {}
    for root, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, directory)] = f.read()
    return found


def snapshot(directory):
    """Every directory and file below the directory, files with their content."""
    found = tree(directory)
    for root, dirs, _ in os.walk(directory):
        for name in dirs:
            found[os.path.relpath(os.path.join(root, name), directory) + "/"] = None
    return found


def disk_bytes(directory):
    return sum(len(content) for content in tree(directory).values())


def run_update(program, modules, timeout=30):
    """Starts a run and waits for its end; the final status."""
    assert program.api("startUpdating", modulesList=json.dumps(modules)) == STARTED
    return wait_until(lambda: (s := program.api("getUpdateStatus")) != IN_PROGRESS and s, timeout)


def web_root(program):
    return os.path.join(program.directory, "www")


def download_area(program):
    return os.path.join(program.directory, "tmp")


@pytest.mark.parametrize("json_text", ['{"ver":"0.1.19","modules":["core"]}', "a b&c=d+e%41", ""])
def test_the_check_posts_the_text_and_passes_the_reply_on(updater, service, json_text):
    assert updater.api("check4Updates", json=json_text) == '{"newVersion":"0.1.20"}'
    # The text as the browser meant it, not encoded again.
    assert service.posts == [("application/x-www-form-urlencoded", b"json=" + json_text.encode())]


@pytest.mark.parametrize("reply", [(500, b"{}"), (404, b""), (302, b"")])
def test_the_check_refuses_replies_outside_2xx(updater, service, reply):
    service.check_reply = reply
    assert updater.api("check4Updates", json="{}") == CONNECT_ERROR


@pytest.mark.parametrize("size, passes", [(MIB, True), (MIB + 1, False), (19_600_000, False)])
def test_the_check_reply_is_bounded_exactly(updater, service, size, passes):
    service.check_reply = (200, b"x" * size)
    reply = updater.api("check4Updates", json="{}")
    assert (reply == "x" * size) if passes else (reply == CONNECT_ERROR)


def test_the_check_needs_json_and_a_reachable_service(program_factory, service):
    p = program_factory(config={"updates": {"updateServer": "http://127.0.0.1:1/svc"}}).start()
    assert p.api("check4Updates") == PARAMETER_ERROR
    assert p.api("check4Updates", json="{}") == CONNECT_ERROR


def test_the_check_gives_up_after_10000_ms(updater, service):
    service.check_delay = 60
    began = time.monotonic()
    assert updater.api("check4Updates", json="{}") == CONNECT_ERROR
    assert 9.5 <= time.monotonic() - began < 14
    # The connection thread is free again.
    service.check_delay = 0
    assert updater.api("check4Updates", json="{}") == '{"newVersion":"0.1.20"}'


@pytest.mark.parametrize("server_path", ["/svc", "/svc/"])
def test_a_two_module_run_lands_in_the_web_root_byte_for_byte(program_factory, service, server_path):
    p = program_factory(config={"updates": {"updateServer": service.url(server_path)}}).start()
    app_js = bytes(range(256)) * 40
    home = "<html>nowa strona główna</html>\n".encode()
    chart = b"\x00chart\r\n\x00"
    service.lists["core"] = [service.url("/dist/root/js/app.js"), service.url("/dist/root/home.html")]
    service.lists["charts"] = [service.url("/x/modules/charts/chart.js")]
    service.files.update({"/dist/root/js/app.js": app_js, "/dist/root/home.html": home,
                          "/x/modules/charts/chart.js": chart})
    before = tree(web_root(p))
    # A file already in the web root is replaced by a new file: a link to it elsewhere keeps the
    # old content, which a rewrite in place would not.
    keep = os.path.join(p.directory, "home-link.html")
    os.link(os.path.join(web_root(p), "root", "home.html"), keep)

    assert p.api("getUpdateStatus") == "{}"
    assert run_update(p, ["core", "charts"]) == COMPLETED

    after = tree(web_root(p))
    assert after == {**before, "root/js/app.js": app_js, "root/home.html": home,
                     "modules/charts/chart.js": chart}
    with open(keep, "rb") as f:
        assert f.read() == before["root/home.html"]
    assert service.gets[0] == "/svc/fileList?moduleName=core"
    assert service.gets[3] == "/svc/fileList?moduleName=charts"
    assert not os.path.exists(download_area(p))
    assert p.api("getUpdateStatus") == COMPLETED


def test_the_status_through_a_run(updater, service):
    assert updater.api("getUpdateStatus") == "{}"
    for bad in [None, "[]", "core", "{\"a\":1}"]:
        params = {} if bad is None else {"modulesList": bad}
        assert updater.api("startUpdating", **params) == PARAMETER_ERROR
    assert updater.api("getUpdateStatus") == "{}"

    service.lists["core"] = [service.url("/root/a.js")]
    service.files["/root/a.js"] = b"a"
    service.gates["/root/a.js"] = threading.Event()
    # Percent-encoded as some pages send it.
    assert updater.api("startUpdating", modulesList=urllib.parse.quote('["core"]')) == STARTED
    wait_until(lambda: "/root/a.js" in service.gets)
    assert updater.api("getUpdateStatus") == IN_PROGRESS
    service.gates["/root/a.js"].set()
    wait_until(lambda: updater.api("getUpdateStatus") == COMPLETED)


@pytest.mark.parametrize("lists, files, status", [
    pytest.param({"core": b'{"files":[]}'}, {}, REPLY_ERROR, id="list not an array"),
    pytest.param({"core": b'["/root/a.js"].concat(["/root/b.js"])'}, {}, REPLY_ERROR,
                 id="list as script"),
    pytest.param({"core": 404}, {}, '{"error":"Reply error!","errorNo":203}', id="list not found"),
    pytest.param({"core": 500}, {}, '{"error":"Reply error!","errorNo":401}', id="list server error"),
    pytest.param({"core": b"[" + b" " * MIB + b"]"}, {}, REPLY_ERROR, id="list beyond its bound"),
    pytest.param({"core": ["/root/a.js"], "charts": ["/root/missing.js"]}, {"/root/a.js": b"new"},
                 REPLY_ERROR, id="failed file in the second module"),
    pytest.param({"core": [], "charts": []}, {}, DISK_ERROR, id="no file at all"),
])
def test_a_failed_run_leaves_the_web_root_as_it_was(updater, service, lists, files, status):
    service.lists.update({m: [service.url(f) for f in v] if isinstance(v, list) else v
                          for m, v in lists.items()})
    service.files.update(files)
    before = tree(web_root(updater))
    assert run_update(updater, list(lists)) == status
    assert tree(web_root(updater)) == before
    # The end stays the answer until the next run.
    assert updater.api("getUpdateStatus") == status


def test_a_module_without_files_is_passed_over(updater, service):
    service.lists.update({"empty": [], "core": [service.url("/root/a.js")]})
    service.files["/root/a.js"] = b"a"
    assert run_update(updater, ["empty", "core"]) == COMPLETED
    assert tree(web_root(updater))["root/a.js"] == b"a"


@pytest.mark.parametrize("address", [
    "/root/../../evil.txt",
    "/root/%2e%2e/%2E%2E/evil.txt",
    "/root/..%2f..%2fevil.txt",
    "/root/%5c..%5c..%5cevil.txt",
    "/root/a\\..\\..\\evil.txt",
    "/root/evil%00.txt",
    "/root/./evil.txt",
    "/elsewhere/evil.txt",
    "/root?x=/../../evil.txt",
    "file:///root/evil.txt",
])
def test_hostile_addresses_end_the_run_and_write_nothing(updater, service, address):
    full = address if address.startswith("file:") else service.url(address)
    service.lists["core"] = [service.url("/root/fine.js"), full]
    service.files["/root/fine.js"] = b"fine"
    service.other_files = b"evil"  # whatever path the request reaches the service with
    before_root = tree(web_root(updater))
    before_all = set(tree(updater.directory))

    assert run_update(updater, ["core"]) == REPLY_ERROR
    assert tree(web_root(updater)) == before_root
    written = set(tree(updater.directory)) - before_all
    assert all(path.startswith("tmp/") for path in written), written
    assert not any("evil" in path for path in written)
    assert not os.path.exists(os.path.join(os.path.dirname(updater.directory), "evil.txt"))


def test_a_download_area_that_is_not_the_updaters_own_is_left_alone(updater, service):
    foreign = os.path.join(download_area(updater), "keep.txt")
    os.makedirs(os.path.dirname(foreign))
    with open(foreign, "w") as f:
        f.write("not the updater's")
    assert updater.api("startUpdating", modulesList='["core"]') == DISK_ERROR
    with open(foreign) as f:
        assert f.read() == "not the updater's"
    assert updater.api("getUpdateStatus") == "{}"


def test_a_web_root_that_is_the_program_directory(program_factory, service):
    p = program_factory(config={"docroot": {"path": "."},
                                "updates": {"updateServer": service.url("/svc")}}).start()
    service.lists["core"] = [service.url("/root/a.js")]
    service.files["/root/a.js"] = b"a"
    assert run_update(p, ["core"]) == COMPLETED
    with open(os.path.join(p.directory, "root", "a.js"), "rb") as f:
        assert f.read() == b"a"
    # Nothing beside the program's own directory.
    assert sorted(os.listdir(os.path.dirname(p.directory))) == ["app"]


def test_a_new_run_replaces_a_waiting_one(updater, service):
    service.lists.update({"old": [service.url("/root/old.js")], "new": [service.url("/root/new.js")]})
    service.files.update({"/root/old.js": b"old", "/root/new.js": b"new"})
    service.gates["/root/old.js"] = threading.Event()
    assert updater.api("startUpdating", modulesList='["old"]') == STARTED
    wait_until(lambda: "/root/old.js" in service.gets)

    assert run_update(updater, ["new"]) == COMPLETED
    service.gates["/root/old.js"].set()
    files = tree(web_root(updater))
    assert files["root/new.js"] == b"new"
    assert "root/old.js" not in files
    assert updater.api("getUpdateStatus") == COMPLETED


def test_an_install_that_fails_leaves_the_web_root_as_it_was(updater, service):
    root = web_root(updater)
    # Sorted before the obstacle and in the same directory as it: written first by a copy.
    files = {"/u/modules/fresh/x.js": b"x", "/u/root/home.html": b"new home",
             "/u/root/js/app.js": b"app"}
    service.lists["core"] = [service.url(f) for f in files]
    service.files.update(files)
    obstacle = os.path.join(root, "root", "js", "app.js")
    os.makedirs(obstacle)
    with open(os.path.join(obstacle, "inside.txt"), "wb") as f:
        f.write(b"inside")
    before = snapshot(root)

    assert run_update(updater, ["core"]) == DISK_ERROR
    assert snapshot(root) == before

    # The same run once the obstacle is gone.
    os.remove(os.path.join(obstacle, "inside.txt"))
    os.rmdir(obstacle)
    assert run_update(updater, ["core"]) == COMPLETED
    after = tree(root)
    assert {path: after[path] for path in ["modules/fresh/x.js", "root/home.html",
                                          "root/js/app.js"]} == {
        "modules/fresh/x.js": b"x", "root/home.html": b"new home", "root/js/app.js": b"app"}
    # Nothing staged or kept aside is left behind.
    assert set(snapshot(root)) == set(before) - {"root/js/app.js/", "root/js/app.js/inside.txt"} | {
        "modules/", "modules/fresh/", "modules/fresh/x.js", "root/js/app.js"}


def test_a_file_that_trickles_in_ends_the_run(updater, service):
    service.lists["core"] = [service.url("/root/a.js"), service.url("/root/slow.js")]
    service.files["/root/a.js"] = b"a"
    service.trickled["/root/slow.js"] = b"s" * 1000
    before = snapshot(web_root(updater))
    began = time.monotonic()
    assert run_update(updater, ["core"], timeout=100) == REPLY_ERROR
    assert time.monotonic() - began < 100
    assert snapshot(web_root(updater)) == before


@pytest.mark.parametrize("sizes, status, area_bound", [
    pytest.param([32 * MIB], COMPLETED, 0, id="a file at its bound"),
    pytest.param([1, 32 * MIB + 1], REPLY_ERROR, 33 * MIB, id="a file one byte beyond it"),
    pytest.param([40 * MIB], REPLY_ERROR, 33 * MIB, id="a 40 MiB file"),
    pytest.param([30 * MIB] * 5, REPLY_ERROR, 128 * MIB, id="a run beyond 128 MiB"),
])
def test_transfers_are_bounded_in_size(updater, service, sizes, status, area_bound):
    names = [f"/root/big{i}.bin" for i in range(len(sizes))]
    service.lists["core"] = [service.url(n) for n in names]
    contents = {size: b"b" * size for size in set(sizes)}
    service.files.update({n: contents[size] for n, size in zip(names, sizes)})
    before = snapshot(web_root(updater))

    assert run_update(updater, ["core"], timeout=60) == status
    if status == COMPLETED:
        assert len(tree(web_root(updater))["root/big0.bin"]) == sizes[0]
    else:
        assert snapshot(web_root(updater)) == before
        assert disk_bytes(download_area(updater)) <= area_bound


STEP_DELAY = {"KORVALEN_TEST_INSTALL_STEP_MS": "5"}
REPLACED = 400
ADDED = 10


def content(path):
    """The file's bytes; empty while there is no file under the name."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def installer_files(directory):
    """Paths below the directory of the files the installer names as its own."""
    own = re.compile(r"\.korvalen-install|\..+\.korvalen-(new|old)\d*")
    return sorted(os.path.relpath(os.path.join(root, name), directory)
                  for root, _, files in os.walk(directory) for name in files if own.fullmatch(name))


@pytest.mark.parametrize("moment", ["staging", "first renames", "half renamed", "last renames",
                                    "releasing"])
def test_an_install_killed_half_way_is_settled_at_the_next_start(program_factory, service, moment):
    # The browser's connection may wait between requests while the files come in.
    p = program_factory(config={"updates": {"updateServer": service.url("/svc")},
                                "listener": {"headerTimeout": "600000"}}, env=STEP_DELAY).start()
    root = web_root(p)
    folder = os.path.join(root, "root", "f")
    os.makedirs(folder)
    names = [f"root/f/f{i:03}.js" for i in range(REPLACED)] + \
            [f"modules/fresh/n{i}.js" for i in range(ADDED)]
    for name in names[:REPLACED]:
        with open(os.path.join(root, name), "wb") as f:
            f.write(b"old " + name.encode())
    # A user's file that only looks like one of the installer's: never moved, never removed.
    with open(os.path.join(folder, ".f000.js.korvalen-old"), "wb") as f:
        f.write(b"the user's")
    service.lists["core"] = [service.url("/dist/" + name) for name in names]
    service.files.update({"/dist/" + name: b"new " + name.encode() for name in names})
    old = snapshot(root)
    new = {**old, "modules/": None, "modules/fresh/": None,
           **{name: b"new " + name.encode() for name in names}}

    def placed():
        return sum(content(os.path.join(root, name)).startswith(b"new") for name in names)

    def count(suffix):
        return sum(1 for name in os.listdir(folder) if name.endswith(suffix))

    reached = {
        "staging": lambda: count(".korvalen-new") >= 50,
        "first renames": lambda: placed() >= 1,
        "half renamed": lambda: placed() >= REPLACED // 2,
        "last renames": lambda: placed() >= len(names) - 30,
        "releasing": lambda: placed() == len(names) and count(".korvalen-old") < REPLACED,
    }[moment]
    # A connection in use before the run: the install holds the main thread, which accepts new
    # connections.
    browser = http.client.HTTPConnection("127.0.0.1", p.port, timeout=30)
    browser.request("GET", "/index.html")
    assert browser.getresponse().read()
    assert p.api("startUpdating", modulesList='["core"]') == STARTED
    wait_until(reached, timeout=120, interval=0.01)

    # While it works, none of the installer's files is served, the journal included.
    own = installer_files(root)
    assert len(own) > 1
    for path in own + [".korvalen-install"]:
        browser.request("GET", "/" + urllib.parse.quote(path))
        answer = browser.getresponse()
        answer.read()
        assert answer.status == 404, path
    browser.close()
    p.kill()

    # What the kill left decides what the next start must make of it: a file already in place
    # can only be completed, a file not yet staged only undone.
    at_kill = placed()
    staged = count(".korvalen-new")
    p = program_factory(write_cfg=False).start().started()
    settled = snapshot(root)
    assert settled in (old, new)
    if at_kill:
        assert settled == new
    elif staged < REPLACED:
        assert settled == old
    assert installer_files(root) == ["root/f/.f000.js.korvalen-old"]
    assert p.wait_for_line(r"interrupted has been (completed|undone)").group(1) == \
        ("completed" if settled == new else "undone")
    status, _, body = p.request("root/f/f123.js")
    assert (status, body) == (200, settled["root/f/f123.js"])
