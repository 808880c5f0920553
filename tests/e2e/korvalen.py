"""Starts the built program in a directory of its own and talks to it over HTTP."""

import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import threading
import time
import http.cookiejar
import urllib.error
import urllib.parse
import urllib.request

BIN = os.environ.get("KORVALEN_BIN", "")
WWW = os.environ.get("KORVALEN_WWW", "")

DEFAULT_CONFIG = {
    "listener": {"port": "0", "minThreads": "4", "maxThreads": "50", "readTimeout": "10000"},
    "sessions": {"expirationTime": "3600000", "cookieName": "sessionid"},
    "docroot": {"path": "www", "encoding": "UTF-8", "maxAge": "60000"},
    "updates": {"updateServer": "", "responseMaxWaitTime": "10000"},
    "other": {"prefLang": "en"},
}


def free_port():
    """A port on 127.0.0.1 where nothing listens (bound once, then closed)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def slow_connections(program, count):
    """`count` connections whose request header never ends: each holds a connection thread of the
    program until its header time-out. The caller closes them."""
    slow = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", program.port), timeout=30)
        s.sendall(b"GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        slow.append(s)
    return slow


def resident_bytes(pid, field="VmRSS"):
    """Resident memory of the process in bytes; "VmHWM" gives its peak so far."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no " + field)


def sanitized(pid):
    """Whether the process runs under a sanitizer, which keeps freed memory in quarantine."""
    with open(f"/proc/{pid}/maps") as f:
        return any("libasan" in line or "libtsan" in line for line in f)


def write_config(directory, overrides=None):
    config = {group: dict(keys) for group, keys in DEFAULT_CONFIG.items()}
    for group, keys in (overrides or {}).items():
        config.setdefault(group, {}).update(keys)
    with open(os.path.join(directory, "config.ini"), "w") as f:
        for group, keys in config.items():
            f.write(f"[{group}]\n")
            for key, value in keys.items():
                f.write(f"{key}={value}\n")


def log_text(text):
    """A message as the event log stores it (escaped for JSON)."""
    return text.replace("\\", "\\\\").replace("/", "\\/").replace('"', '\\"')


def wait_until(condition, timeout=30, interval=0.05):
    """Polls `condition` until it returns a true value, which is returned; fails after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout} s")
        time.sleep(interval)


class Program:
    """One instance of the program in `directory`, with its own runtime directory for the
    single-instance lock unless `runtime_dir` is given."""

    def __init__(self, directory, config=None, write_cfg=True, runtime_dir=None, args=(), env=None,
                 preexec=None):
        self.directory = str(directory)
        os.makedirs(self.directory, exist_ok=True)
        self.binary = os.path.join(self.directory, "Korvalen")
        if not os.path.exists(self.binary):
            shutil.copy2(BIN, self.binary)
            # The interface translations lie beside the program.
            for name in os.listdir(os.path.dirname(BIN)):
                if name.startswith("korv_") and name.endswith(".qm"):
                    shutil.copy2(os.path.join(os.path.dirname(BIN), name), self.directory)
        if WWW and not os.path.exists(os.path.join(self.directory, "www")):
            shutil.copytree(WWW, os.path.join(self.directory, "www"))
        if write_cfg:
            write_config(self.directory, config)
        self.runtime_dir = runtime_dir or os.path.join(self.directory, "run")
        os.makedirs(self.runtime_dir, mode=0o700, exist_ok=True)
        self.args = list(args)
        self.env = dict(env or {})
        self.preexec = preexec  # run in the child before the program starts
        self.proc = None
        self.lines = []
        self._cond = threading.Condition()
        self._eof = False
        self.port = None

    @property
    def db_path(self):
        return os.path.join(self.directory, "db.sqlite")

    def start(self, wait_for=r"HttpListener: listening on port (\d+)", timeout=30):
        self._starts_before = self._starts()
        env = dict(os.environ)
        env["XDG_RUNTIME_DIR"] = self.runtime_dir
        env["QT_QPA_PLATFORM"] = "offscreen"
        env.pop("DISPLAY", None)
        env.update(self.env)
        self._eof = False
        self.proc = subprocess.Popen([self.binary] + self.args, cwd=self.directory, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     preexec_fn=self.preexec)
        threading.Thread(target=self._read, daemon=True).start()
        if wait_for:
            match = self.wait_for_line(wait_for, timeout)
            if match and match.groups():
                self.port = int(match.group(1))
        return self

    def _read(self):
        for raw in self.proc.stderr:
            with self._cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def wait_for_line(self, pattern, timeout=30):
        """The first output line matching `pattern`; fails when the program ends or time runs out."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        seen = 0
        with self._cond:
            while True:
                for line in self.lines[seen:]:
                    m = regex.search(line)
                    if m:
                        return m
                seen = len(self.lines)
                left = deadline - time.monotonic()
                # Ends when the output does: lines the program wrote before it ended still count.
                if left <= 0 or (self._eof and seen == len(self.lines)):
                    raise AssertionError(f"no line matching {pattern!r}; output:\n" + "\n".join(self.lines))
                self._cond.wait(min(left, 0.2))

    def output(self):
        with self._cond:
            return "\n".join(self.lines)

    def final_output(self, timeout=30):
        """All the output of a program that has ended, once the last line has been read."""
        with self._cond:
            if not self._cond.wait_for(lambda: self._eof, timeout):
                raise AssertionError("the output did not end")
            return "\n".join(self.lines)

    def url(self, path):
        return f"http://127.0.0.1:{self.port}/{path.lstrip('/')}"

    def request(self, path, data=None, headers=None, method=None, timeout=30):
        """(status, headers, body) of one request without cookies; a dict as data is sent urlencoded."""
        return Client(self).request(path, data, headers, method, timeout)

    def api(self, func, **params):
        """The body of one web API call as text."""
        return Client(self).api(func, **params)

    def upload(self, path, filename, content, fields=None, client=None):
        """(status, headers, body) of an upload in the field "uploadedfile"."""
        body, content_type = multipart(fields or {}, {"uploadedfile": (filename, content)})
        return (client or Client(self)).request(path, data=body, headers={"Content-Type": content_type})

    def stop(self, sig=signal.SIGTERM, timeout=30):
        """Ends the program by its id and returns its exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(timeout)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def started(self, timeout=30):
        """Waits until this start has written its "Program started" line, the last step of the start."""
        wait_until(lambda: self._starts() > self._starts_before, timeout)
        return self

    def _starts(self):
        """The "Program started" lines in the event log: 0 while there is none yet (a start's
        first lines come before its database), which this look never creates."""
        if not os.path.exists(self.db_path):
            return 0
        try:
            return self.query("SELECT COUNT(*) FROM Logs WHERE message = 'Program started'")[0][0]
        except sqlite3.OperationalError:  # the file is there, its tables not yet
            return 0

    def query(self, sql, params=()):
        """The rows of one statement; a statement that changes rows is committed."""
        con = sqlite3.connect(self.db_path, timeout=10)
        try:
            rows = con.execute(sql, params).fetchall()
            con.commit()
            return rows
        finally:
            con.close()


class Client:
    """A browser-like caller of one program: keeps its cookies, follows no redirects."""

    def __init__(self, program):
        self.program = program
        self.cookies = http.cookiejar.CookieJar()
        self.opener = urllib.request.build_opener(NoRedirect, urllib.request.HTTPCookieProcessor(self.cookies))

    def cookie(self, name):
        for c in self.cookies:
            if c.name == name:
                return c.value
        return None

    def drop_cookie(self, name):
        for c in list(self.cookies):
            if c.name == name:
                self.cookies.clear(c.domain, c.path, c.name)

    def request(self, path, data=None, headers=None, method=None, timeout=30):
        if isinstance(data, dict):
            data = urllib.parse.urlencode(data).encode()
        req = urllib.request.Request(self.program.url(path), data=data, headers=headers or {}, method=method)
        try:
            with self.opener.open(req, timeout=timeout) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def api(self, func, **params):
        params["func"] = func
        status, _, body = self.request("ajax.html", data=params)
        assert status == 200, (status, body)
        return body.decode("utf-8")

    def login(self, username, password=""):
        return self.request("login.html", data={"username": username, "password": password})


def multipart(fields, files):
    """(body, content type) of a multipart/form-data request; files: name -> (file name, bytes)."""
    boundary = "----korvalen-test-boundary-7f3a"
    parts = []
    for name, value in fields.items():
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n'.encode()
                     + (value if isinstance(value, bytes) else str(value).encode()) + b"\r\n")
    for name, (filename, content) in files.items():
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"; filename="{filename}"\r\n'
                     f"Content-Type: application/octet-stream\r\n\r\n".encode() + content + b"\r\n")
    body = b"".join(parts) + f"--{boundary}--\r\n".encode()
    return body, f"multipart/form-data; boundary={boundary}"


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        return None
