"""The file endpoints: downloads of posted content, configuration, database and CSV file, uploads."""

import base64
import fcntl
import json
import os
import re
import socket
import sqlite3
import struct
import subprocess
import threading
import time
import urllib.parse
import zlib
from contextlib import closing

import pytest

from archive_support import configure_run
from korvalen import Program, wait_until


SUCCESS = '{"success":true}'


def test_save_file_needs_both_parameters(program):
    for data in [{}, {"filename": "a.csv"}, {"fileContent": "x"}]:
        status, _, body = program.request("saveFile.html", data=data or None)
        assert (status, body) == (400, b"")


@pytest.mark.parametrize("filename, request_type, expected_type", [
    ("data.csv", None, "text/csv"),
    ("report.PDF", "application/x-www-form-urlencoded", "application/x-www-form-urlencoded"),
    ("notes.txt", None, "application/x-www-form-urlencoded"),
])
def test_save_file_returns_the_content(program, filename, request_type, expected_type):
    headers = {"Content-Type": request_type} if request_type else {}
    status, h, body = program.request("saveFile.html", data={"filename": filename, "fileContent": "a;b\r\n1,5"},
                                      headers=headers)
    assert status == 200
    assert h["Content-Disposition"] == f'attachment; filename="{filename}"'
    assert h["Content-type"] == expected_type
    assert body == b"a;b\r\n1,5"


def test_save_file_sets_the_form_token_cookie(program):
    _, headers, _ = program.request("saveFile.html",
                                    data={"filename": "a.csv", "fileContent": "x", "formToken": "tok123"})
    assert any(c.startswith("tok123=1") for c in headers.get_all("Set-Cookie"))


# A name that is no cookie token would set another cookie: "sessionid=X" sent "sessionid=X=1".
@pytest.mark.parametrize("token", ["sessionid=X", "a b", "a;b", "a,b", 'a"b', "", "tok\u00e9"])
def test_save_file_skips_a_form_token_that_is_no_cookie_name(program, token):
    status, headers, body = program.request("saveFile.html",
                                            data={"filename": "a.csv", "fileContent": "x", "formToken": token})
    assert (status, body) == (200, b"x")
    assert headers.get_all("Set-Cookie") is None


def png(width=13, height=7):
    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))
    rows = b"".join(b"\0" + b"\xff\x00\x00" * width for _ in range(height))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


# The HTML comes from the caller: the PDF may show what it carries, nothing of the server's disk.
@pytest.mark.parametrize("source, embedded", [
    ("data:image/png;base64,{data}", True),
    ("file://{path}", False),
    ("{path}", False),
    ("secret.png", False),
])
def test_pdf_takes_images_only_from_the_html(program, tmp_path, source, embedded):
    image = tmp_path / "secret.png"
    image.write_bytes(png())
    with open(os.path.join(program.directory, "secret.png"), "wb") as f:
        f.write(png())
    src = source.format(path=image, data=base64.b64encode(png()).decode())
    html = f'<p>before</p><img src="{src}" width="40" height="40"><link rel="stylesheet" href="file://{image}">'
    status, headers, body = program.request("saveFile.html", data={"filename": "r.pdf", "fileContent": html})
    assert status == 200 and body.startswith(b"%PDF")
    # Qt draws a placeholder of its own for an image it cannot load: look for this one's size.
    assert bool(re.search(rb"/Subtype\s*/Image\s*/Width 13\s*/Height 7", body)) == embedded


@pytest.mark.parametrize("html", ["", "<h1>Report</h1>" + "<p>line of text</p>" * 400])
def test_save_file_renders_pdf(program, html):
    status, headers, body = program.request("saveFile.html", data={"filename": "r.pdf", "fileContent": html})
    assert status == 200
    assert headers["Content-type"] == "application/pdf"
    assert body.startswith(b"%PDF")
    pages = len(re.findall(rb"/Type\s*/Page[^s]", body))
    assert pages == 1 if not html else pages >= 2


def test_export_of_the_configuration(program):
    program.api("cfg_addNewTcpConnection", name="it's \"x\"", ip="10.0.0.1")
    status, headers, body = program.request("exportConfig.html?withArchive=0")
    assert status == 200
    assert headers["Content-Disposition"] == "attachment; filename=Korvalen_cfg.sql"
    assert headers["Content-type"] == "application/octet-stream"
    lines = body.decode().split("\n")
    assert lines[0].startswith("/* Korvalen ver: 0.1.19, arch: 0.1.1, create time: ") and lines[0].endswith(" */")
    assert "INSERT INTO TCPConnections (idTCPConnections,name,ip,portTCP,timeout) "
    "VALUES('1','it''s \"x\"','10.0.0.1','502','1000');" in lines
    assert "INSERT INTO SMTP (idSMTP,serverName,port,security,username,password,sourceEmailAddress) " \
           "VALUES('1',NULL,'587','1',NULL,NULL,NULL);" in lines
    assert lines[-1] == ""
    assert not any(l.startswith("INSERT INTO Logs") for l in lines)


def test_database_download_is_a_valid_copy(program, tmp_path):
    status, headers, body = program.request("exportConfig.html?withArchive=1")
    assert status == 200
    assert headers["Content-Disposition"] == "attachment; filename=db_backup.sqlite"
    copy = tmp_path / "copy.sqlite"
    copy.write_bytes(body)
    con = sqlite3.connect(copy)
    assert con.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    assert con.execute("SELECT username FROM Users").fetchall() == [("Admin",)]
    con.close()
    assert not [n for n in os.listdir(program.directory) if n.startswith("db_backup") or n == SNAPSHOTS]


SNAPSHOTS = ".korvalen-snapshot"  # the program's own directory for the copies it sends


def listing(directory):
    """Every file and directory under `directory`, by its path relative to it."""
    found = set()
    for root, dirs, files in os.walk(directory):
        found.update(os.path.relpath(os.path.join(root, n), directory) for n in dirs + files)
    return found


def with_tmp(program_factory, tmp_path, name="app", **kwargs):
    """A program whose temporary directory (CSV files, uploads) is a directory of its own."""
    tmp = tmp_path / f"{name}-tmp"
    tmp.mkdir(exist_ok=True)
    return program_factory(name, env={"TMPDIR": str(tmp)}, **kwargs), str(tmp)


def csv_made_and_sent(program):
    assert program.api("generateCSVFile", paramListStr="[1]", colNamesStr="t") == SUCCESS
    assert program.request("downloadCSV.html")[0] == 200


# Users keep copies beside the database under names like the download's, and other files.
USER_FILES = ["db_backup.sqlite", "db_backup_2026-12-01.sqlite", "db_backup_before-upgrade.sqlite",
              "db_backup_monday.sqlite", "db_backup_AbCdEf.sqlite-journal", "db_temp.sqlite.bak", "notes.txt",
              os.path.join(SNAPSHOTS, "notes.txt")]
USER_TMP_FILES = ["Brimat Capture_csv.txt", "Brimat Capture_csv.AbCd3f", "Brimat Capture_csv.AbCdEf.bak"]


def test_files_the_program_did_not_make_survive_starts(program_factory, tmp_path):
    p, tmp = with_tmp(program_factory, tmp_path)
    files = {os.path.join(p.directory, n): os.urandom(100) for n in USER_FILES}
    files.update({os.path.join(tmp, n): os.urandom(100) for n in USER_TMP_FILES})
    for path, content in files.items():
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
    for start in range(2):
        p = with_tmp(program_factory, tmp_path, write_cfg=start == 0)[0].start().started()
        # the download and the CSV file make files of the program's own names meanwhile
        assert p.request("exportConfig.html?withArchive=1")[0] == 200
        csv_made_and_sent(p)
        assert p.stop() == 0
        for path, content in files.items():
            with open(path, "rb") as f:
                assert f.read() == content, path


# What a program killed at work leaves: a copy for a download with its journals, the scratch
# database of a clear or an import, a CSV file where the file system gives it a name.
LEFTOVERS = [os.path.join(SNAPSHOTS, "db_backup_AbCdEf.sqlite"), os.path.join(SNAPSHOTS, "db_backup_AbCdEf.sqlite-journal"),
             os.path.join(SNAPSHOTS, "db_backup_GhIjKl.sqlite-journal"), "db_temp.sqlite", "db_temp.sqlite-journal",
             "db_temp.sqlite-wal", "db_temp.sqlite-shm"]
LOCKED = [os.path.join(SNAPSHOTS, "db_backup_AbCdEf.sqlite"), "db_temp.sqlite"]


@pytest.mark.parametrize("in_use", [False, True], ids=["left behind", "in use by another program"])
def test_a_start_removes_what_the_program_left_behind(program_factory, tmp_path, in_use):
    p, tmp = with_tmp(program_factory, tmp_path)
    p.start().started()
    before, before_tmp = listing(p.directory), listing(tmp)
    assert p.stop() == 0
    p = with_tmp(program_factory, tmp_path, write_cfg=False)[0]
    for path in [os.path.join(p.directory, n) for n in LEFTOVERS] + [os.path.join(tmp, "Brimat Capture_csv.AbCdEf")]:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"x" * 4096)
    held = [open(os.path.join(p.directory, n), "rb") for n in LOCKED] + \
        [open(os.path.join(tmp, "Brimat Capture_csv.AbCdEf"), "rb")] if in_use else []
    try:
        for f in held:  # a program that uses them holds them locked
            fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
        p.start().started()
        if in_use:
            # what another program holds, it keeps with its journals; an orphan journal goes
            left = {n for n in LEFTOVERS if "GhIjKl" not in n}
            assert listing(p.directory) == before | left | {SNAPSHOTS}
            assert listing(tmp) == before_tmp | {"Brimat Capture_csv.AbCdEf"}
            # and a clear does not take its scratch file
            assert p.api("cfg_clearDatabase") == '{"error":true,"message":"Database error",' \
                                                 '"details":"Error creating temp database"}'
            with open(os.path.join(p.directory, "db_temp.sqlite"), "rb") as f:
                assert f.read() == b"x" * 4096
        else:
            assert listing(p.directory) == before
            assert listing(tmp) == before_tmp
    finally:
        for f in held:
            f.close()


@pytest.fixture(scope="module")
def big_database(tmp_path_factory):
    """A database of about 100 MB (event-log rows), made once: copying it takes the program a while."""
    p = Program(tmp_path_factory.mktemp("big") / "app")
    try:
        assert p.start().started().stop() == 0
    finally:
        p.kill()
    with closing(sqlite3.connect(p.db_path)) as c:
        c.execute("WITH RECURSIVE m(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM m WHERE i < 49999) "
                  "INSERT INTO Logs (type, message) SELECT 'info', hex(randomblob(1000)) FROM m")
        c.commit()
    with open(p.db_path, "rb") as f:
        return f.read()


SLOW_RATE = 16 << 10  # bytes per second that a slow reader takes


def slow_request(program, request, got, stop=None):
    """Sends a raw request and reads its reply at SLOW_RATE until the connection ends or `stop` is
    set; got[0] counts the bytes."""
    with socket.create_connection(("127.0.0.1", program.port)) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16 << 10)
        s.sendall(request)
        begin = time.monotonic()
        while not (stop and stop.is_set()) and (chunk := s.recv(4096)):
            got[0] += len(chunk)
            time.sleep(max(0.0, got[0] / SLOW_RATE - (time.monotonic() - begin)))  # the reader's pace


def snapshot_files(p):
    directory = os.path.join(p.directory, SNAPSHOTS)
    return os.listdir(directory) if os.path.isdir(directory) else []


def scratch_size(p):
    try:
        return os.stat(os.path.join(p.directory, "db_temp.sqlite")).st_size
    except FileNotFoundError:
        return -1


def big_sql():
    line = f"INSERT INTO Logs (type, message) VALUES ('info', '{'ab' * 1000}');\n"
    return "INSERT INTO Settings VALUES('1','0.1.1','5000','10','0','0');\n".encode() + line.encode() * 40000


# Each action, and the moment of it when the program is killed. Holding the database's write lock
# keeps a clear or an import waiting at the swap, with its scratch database built.
KILLED = [
    ("download", False, lambda p, got, big: any(n.endswith(".sqlite") for n in snapshot_files(p))),
    ("download", False, lambda p, got, big: any(n.endswith("-journal") for n in snapshot_files(p))),
    ("download", False, lambda p, got, big: got[0] > 0),
    ("clear", True, lambda p, got, big: scratch_size(p) > 0),
    ("import .sqlite", False, lambda p, got, big: scratch_size(p) >= 0),
    ("import .sqlite", True, lambda p, got, big: scratch_size(p) == len(big)),
    ("import .sql", False, lambda p, got, big: os.path.exists(os.path.join(p.directory, "db_temp.sqlite-journal"))),
    ("CSV file", False, lambda p, got, big: got[0] > 0),
]


@pytest.mark.parametrize("action, hold_database, moment", KILLED,
                         ids=["copy being made", "copy's journal", "copy being sent", "clear at the swap",
                              "database being copied", "database at the swap", "statements being run",
                              "CSV file waiting"])
def test_a_kill_at_work_leaves_nothing_after_the_next_start(program_factory, tmp_path, big_database,
                                                           action, hold_database, moment):
    p, tmp = with_tmp(program_factory, tmp_path)
    with open(p.db_path, "wb") as f:
        f.write(big_database)
    p.start().started()
    before, before_tmp = listing(p.directory), listing(tmp)
    got = [0]
    if action == "download":
        work = lambda: slow_request(p, b"GET /exportConfig.html?withArchive=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", got)
    elif action == "clear":
        work = lambda: p.api("cfg_clearDatabase")
    elif action == "import .sqlite":
        work = lambda: p.upload("importConfig.html", "db_backup.sqlite", big_database)
    elif action == "import .sql":
        work = lambda: p.upload("importConfig.html", "Korvalen_cfg.sql", big_sql())
    else:
        csv_made_and_sent(p)
        assert p.api("generateCSVFile", paramListStr="[1]", colNamesStr="t") == SUCCESS
        work = lambda: got.__setitem__(0, 1)

    def run():
        try:
            work()
        except OSError:
            pass  # the program was killed

    holder = sqlite3.connect(p.db_path, timeout=30, isolation_level=None)
    try:
        if hold_database:
            holder.execute("BEGIN IMMEDIATE")
        t = threading.Thread(target=run, daemon=True)
        t.start()
        wait_until(lambda: moment(p, got, big_database), timeout=60, interval=0.002)
        p.kill()
        t.join(60)
    finally:
        holder.close()
    p = with_tmp(program_factory, tmp_path, write_cfg=False)[0].start().started()
    assert listing(p.directory) == before
    assert listing(tmp) == before_tmp
    assert p.query("PRAGMA integrity_check") == [("ok",)]


def test_database_download_while_rows_are_written(program, tmp_path):
    con = sqlite3.connect(program.db_path, timeout=30)
    con.execute("INSERT INTO Devices (idDevices, name) VALUES (1, 'd')")
    con.execute("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr) VALUES (1, 1, 0)")
    con.executemany("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (1, ?, 0, '2024-01-01')",
                    [(i,) for i in range(100000)])
    con.commit()
    stop = threading.Event()
    written = []

    def writer():
        w = sqlite3.connect(program.db_path, timeout=30)
        while not stop.is_set():
            w.execute("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (1, 1, 0, 'x')")
            w.execute("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (1, 2, 0, 'x')")
            w.commit()
            written.append(1)
        w.close()

    t = threading.Thread(target=writer)
    t.start()
    try:
        downloads = [program.request("exportConfig.html?withArchive=1")[2] for _ in range(3)]
    finally:
        stop.set()
        t.join()
    assert written
    for i, body in enumerate(downloads):
        copy = tmp_path / f"copy{i}.sqlite"
        copy.write_bytes(body)
        c = sqlite3.connect(copy)
        assert c.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        ones, twos = c.execute("SELECT SUM(value = 1 AND dateTime = 'x'), SUM(value = 2 AND dateTime = 'x') "
                               "FROM ArchiveData").fetchone()
        assert ones == twos  # rows written in pairs are never split
        c.close()


def sqlite_shell(path, sql):
    """The output of sql run by the sqlite3 shell: another process that opens and closes the file."""
    return subprocess.run(["sqlite3", path, sql], capture_output=True, timeout=60,
                          check=True).stdout.decode().strip()


def downloaded(program, path):
    """The database download of the program, saved at path and checked whole."""
    status, _, body = program.request("exportConfig.html?withArchive=1")
    assert status == 200
    path.write_bytes(body)
    with closing(sqlite3.connect(f"file:{path}?mode=ro", uri=True)) as c:
        assert c.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    return path


def download_whole(program, tmp_path, names):
    with closing(sqlite3.connect(downloaded(program, tmp_path / "copy.sqlite"))) as c:
        assert [r[0] for r in c.execute("SELECT name FROM TCPConnections ORDER BY idTCPConnections")] == names
    return names


def import_download(program, tmp_path, names):
    backup = program.request("exportConfig.html?withArchive=1")[2]
    assert program.upload("importConfig.html", "db_backup.sqlite", backup)[2].decode() == SUCCESS
    return names


def import_export(program, tmp_path, names):
    export = program.request("exportConfig.html?withArchive=0")[2]
    assert program.upload("importConfig.html", "Korvalen_cfg.sql", export)[2].decode() == SUCCESS
    return names


def clear(program, tmp_path, names):
    assert program.api("cfg_clearDatabase") == SUCCESS
    return []


# The database is shared with other programs (a sqlite3 shell, a backup script): one that opens
# and closes it after the program has worked on the whole file must find the program still using
# it, and leave its journal alone.
@pytest.mark.parametrize("whole_file", [download_whole, import_download, import_export, clear])
def test_other_processes_find_the_database_in_use(program_factory, tmp_path, whole_file):
    p = program_factory().start().started()
    names = []
    for i in range(3):
        names.append(f"line{i}")
        assert p.api("cfg_addNewTcpConnection", name=names[-1], ip=f"10.0.0.{i}") == SUCCESS
        names = whole_file(p, tmp_path, names)
        assert sqlite_shell(p.db_path, "SELECT COUNT(*) FROM TCPConnections;") == str(len(names))
        assert os.path.exists(p.db_path + "-wal")  # the shell did not take itself for the last user
    names.append("last")
    assert p.api("cfg_addNewTcpConnection", name=names[-1], ip="10.0.0.9") == SUCCESS
    p.kill()
    p = program_factory(write_cfg=False).start().started()
    assert p.query("PRAGMA integrity_check") == [("ok",)]
    assert [r[0] for r in p.query("SELECT name FROM TCPConnections ORDER BY idTCPConnections")] == names


def test_database_download_while_the_archive_is_written(program_factory, tcp, tmp_path):
    p = program_factory().start().started()
    configure_run(p, tcp.port, 400, 1)
    assert p.api("startPolling") == SUCCESS
    rows = "SELECT idArchiveData, idParameter, value, flag, dateTime FROM ArchiveData"
    seen = 0
    for i in range(3):
        # each download while the writer goes on, with rows that the one before did not have
        seen = wait_until(lambda: (n := p.query("SELECT COUNT(*) FROM ArchiveData")[0][0]) > seen and n)
        committed = set(p.query(rows))
        with closing(sqlite3.connect(downloaded(p, tmp_path / f"copy{i}.sqlite"))) as c:
            copy = set(c.execute(rows))
        assert committed <= copy
    p.kill()
    p = program_factory(write_cfg=False).start().started()
    assert p.query("PRAGMA integrity_check") == [("ok",)]
    assert copy <= set(p.query(rows))


def test_database_download_failure_leaves_the_lock_free(program):
    moved = program.db_path + ".away"
    os.rename(program.db_path, moved)
    try:
        status, _, body = program.request("exportConfig.html?withArchive=1")
        assert (status, body) == (500, b"")
        # the next call gets the lock (whatever the missing file does to its statement)
        assert "Database mutex locked" not in program.api("cfg_saveSetting", modbusPollInterval="4000",
                                                          modbusIterDelay="10")
        assert not os.path.exists(program.db_path)  # no empty database appeared in its place
    finally:
        os.rename(moved, program.db_path)
    assert program.api("cfg_getSetting").startswith('{"idSettings":"1"')


# The program's own files lie beside it; with the web root "." (the default) they would be files of it.
def test_program_files_are_never_served(program_factory):
    program = program_factory(config={"docroot": {"path": "."}}).start().started()
    directory = program.directory
    os.mkdir(os.path.join(directory, SNAPSHOTS))
    for name in ["db_temp.sqlite", "db_temp.sqlite-journal", "db_backup_a1B2c3.sqlite", "notes.txt",
                 "www/config.ini", "www/db.sqlite", f"{SNAPSHOTS}/db_backup_AbCdEf.sqlite"]:
        with open(os.path.join(directory, name), "w") as f:
            f.write("x")
    os.symlink("db.sqlite", os.path.join(directory, "copy.bin"))
    program.api("cfg_addNewUser", username="u", permissions="1")  # the write-ahead log exists
    assert os.path.exists(program.db_path + "-wal")
    for name in ["db.sqlite", "db.sqlite-wal", "db.sqlite-shm", "db_temp.sqlite", "db_temp.sqlite-journal",
                 "db_backup_a1B2c3.sqlite", "config.ini", "./config.ini", "www/config.ini", "www/db.sqlite",
                 "copy.bin", "%64b.sqlite", f"{SNAPSHOTS}/db_backup_AbCdEf.sqlite"]:
        assert program.request(name)[0] == 404, name
    assert program.request("notes.txt")[::2] == (200, b"x")
    assert program.request("www/style.css")[0] == 200


def test_csv_download_without_a_file(program):
    for _ in range(2):
        assert program.request("downloadCSV.html")[:3:2] == (500, b"")


def test_load_file_returns_the_upload(program):
    content = bytes(range(256)) * 1000
    status, headers, body = program.upload("loadFile.html", "any.bin", content)
    assert status == 200
    assert headers["Content-type"] == "text/plain"
    assert body == content


@pytest.mark.parametrize("path", ["loadFile.html", "importConfig.html"])
def test_uploads_without_a_file(program, path):
    status, _, body = program.request(path, data={"uploadedfile": "x.sql"})
    assert (status, body) == (400, b"")


@pytest.mark.parametrize("name", ["cfg.SQL", "cfg.txt", "cfg.sqlite.bak", "sql"])
def test_import_refuses_other_file_names(program, name):
    status, headers, body = program.upload("importConfig.html", name, b"INSERT INTO Views VALUES(1,'a',1,1,'[]');")
    assert status == 200
    assert body.decode() == '{"error":true,"message":"Invalid file"}'


def export(program):
    return program.request("exportConfig.html?withArchive=0")[2]


def test_import_of_an_export_restores_the_configuration(program):
    assert program.api("cfg_addNewSerialConnection", name="O'Brien \"line\"", serialPort="ttyUSB0") == SUCCESS
    assert program.api("cfg_addNewDevice", name="meter ' 1", connectionType="serial", idOfConnection="1",
                       readIterations='[{"regAddr":1,"valuesCnt":2}]',
                       parameters='[{"regAddr":1,"unit":"V","userDescription":""}]') == SUCCESS
    before = program.query("SELECT * FROM SerialConnections"), program.query("SELECT name FROM Devices")
    saved = export(program)
    assert program.api("cfg_clearDatabase") == SUCCESS
    assert program.query("SELECT COUNT(*) FROM Devices") == [(0,)]

    status, _, body = program.upload("importConfig.html", "Korvalen_cfg.sql", saved)
    assert (status, body.decode()) == (200, SUCCESS)
    assert (program.query("SELECT * FROM SerialConnections"), program.query("SELECT name FROM Devices")) == before
    # the empty description came back as NULL
    assert program.query("SELECT userDescription FROM ConfiguredParameters") == [(None,)]
    assert program.query("PRAGMA integrity_check") == [("ok",)]


@pytest.mark.parametrize("content, reply", [
    (b"", '{"error":true,"message":"Invalid archive version. ()"}'),
    (b"/* only a comment */\n", '{"error":true,"message":"Invalid archive version. ()"}'),
    (b"INSERT INTO Settings VALUES('1','0.2.0','5000','10','0','0');\n",
     '{"error":true,"message":"Invalid archive version. (0.2.0)"}'),
    (b"INSERT INTO Settings VALUES('1','0.1.5','5000','10','0','0');\n", SUCCESS),
    (b"INSERT INTO Settings VALUES('1','0.1.1','5000','10','0','0');\nINSERT INTO Views VALUES('1',NULL,'1','1','[]');\n",
     '{"error":true,"message":"Imported file is invalid","details":"NOT NULL constraint failed: Views.name'),
    (b"INSERT INTO Views VALUES('1','a\n','1','1','[]');\n", '{"error":true,"message":"Imported file is invalid",'),
    (b"ATTACH DATABASE 'other.sqlite' AS o;\n",
     '{"error":true,"message":"Imported file is invalid","details":"Only INSERT statements are accepted"}'),
    (b"INSERT INTO Settings VALUES('1','0.1.1','5000','10','0','0');\nVACUUM INTO 'x.sqlite';\n",
     '{"error":true,"message":"Imported file is invalid","details":"Only INSERT statements are accepted"}'),
])
def test_import_of_sql_files(program, content, reply):
    before = export(program).split(b"\n", 1)[1]
    status, _, body = program.upload("importConfig.html", "in.sql", content)
    assert status == 200
    assert body.decode().startswith(reply)
    if reply != SUCCESS:
        assert export(program).split(b"\n", 1)[1] == before
    assert not os.path.exists(os.path.join(program.directory, "other.sqlite"))
    assert not os.path.exists(os.path.join(program.directory, "x.sqlite"))


def test_import_without_header_line(program):
    saved = export(program).split(b"\n", 1)[1]
    assert program.upload("importConfig.html", "a.sql", saved)[2].decode() == SUCCESS


def test_import_of_a_database_file(program, tmp_path):
    program.api("cfg_addNewTcpConnection", ip="10.1.1.1")
    backup = program.request("exportConfig.html?withArchive=1")[2]
    assert program.api("cfg_clearDatabase") == SUCCESS
    assert program.upload("importConfig.html", "db_backup.sqlite", backup)[2].decode() == SUCCESS
    assert program.query("SELECT ip FROM TCPConnections") == [("10.1.1.1",)]
    assert program.query("PRAGMA journal_mode") == [("wal",)]


def test_import_of_an_old_database_file_then_upgrade(program, tmp_path):
    old = tmp_path / "old.sqlite"
    con = sqlite3.connect(old)
    con.execute("PRAGMA page_size = 1024")
    con.execute("CREATE TABLE Settings (idSettings INTEGER PRIMARY KEY, archiveVersion VARCHAR(10), "
                "modbusPollInterval INTEGER, modbusIterDelay INTEGER)")
    con.execute("INSERT INTO Settings VALUES (1, '0.1.1', 2000, 10)")
    for table in ["Devices (idDevices integer PRIMARY KEY, name VARCHAR(50))",
                  "ReadIterations (idReadIterations INTEGER PRIMARY KEY, idDevice INTEGER)",
                  "Alarms (idAlarms INTEGER PRIMARY KEY, name VARCHAR(50))"]:
        con.execute("CREATE TABLE " + table)
    con.commit()
    con.close()
    assert program.upload("importConfig.html", "old.sqlite", old.read_bytes())[2].decode() == SUCCESS
    assert program.api("cfg_convertDatabase") == SUCCESS
    cols = [r[1] for r in program.query("PRAGMA table_info(Settings)")]
    assert cols[-2:] == ["sessionEnabled", "defaultAppState"]
    assert program.query("SELECT username FROM Users") == [("Admin",)]


@pytest.mark.parametrize("content, reply", [
    (b"this is no database" * 100,
     '{"error":true,"message":"Database error","details":"Unable to read file version."}'),
])
def test_import_of_bad_database_files(program, content, reply):
    assert program.upload("importConfig.html", "x.sqlite", content)[2].decode() == reply
    assert program.query("SELECT username FROM Users") == [("Admin",)]


def test_import_of_a_database_with_another_version(program, tmp_path):
    other = tmp_path / "v.sqlite"
    con = sqlite3.connect(other)
    con.execute("CREATE TABLE Settings (idSettings INTEGER PRIMARY KEY, archiveVersion VARCHAR(10))")
    con.execute("INSERT INTO Settings VALUES (1, '0.2.1')")
    con.commit()
    con.close()
    assert program.upload("importConfig.html", "v.sqlite", other.read_bytes())[2].decode() == \
        '{"error":true,"message":"Invalid archive version. (0.2.1)"}'


# The write-ahead log: a long read keeps every page written meanwhile in it, so it grows as long as
# the read lasts; once no reader needs them any more, the log must come back to its usual size.
WAL_LIMIT = 8 << 20  # the size the program lets the log keep once it starts over


def wal_size(program):
    try:
        return os.stat(program.db_path + "-wal").st_size  # no descriptor of the program's files is opened
    except FileNotFoundError:
        return 0


def test_the_write_ahead_log_shrinks_once_long_reads_end(program_factory, tcp):
    p = program_factory().start().started()
    ids = configure_run(p, tcp.port, 2000, 1)  # 2000 parameters archived every second
    read_ids = [ids[a] for a in range(10)]
    with closing(sqlite3.connect(p.db_path, timeout=30)) as c:
        # 50 000 time stamps of 10 parameters: a grid of tens of MB, read for as long as the reader takes
        c.execute("WITH RECURSIVE m(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM m WHERE i < 49999) "
                  "INSERT INTO ArchiveData (idParameter, value, flag, dateTime) "
                  "SELECT p.value, i % 400, 0, strftime('%Y-%m-%d %H:%M:%S', '2024-01-01', '+' || i || ' minutes') "
                  f"FROM m, json_each('{json.dumps(read_ids)}') AS p")
        c.commit()
    wait_until(lambda: p.query("PRAGMA wal_checkpoint(TRUNCATE)")[0][0] == 0)
    assert p.api("startPolling") == SUCCESS
    wait_until(lambda: p.query("SELECT COUNT(*) FROM ArchiveData WHERE idParameter = ?", (ids[1999],))[0][0] > 2)

    def sizes_for(seconds, interval=0.25):
        seen = []
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            seen.append(wal_size(p))
            time.sleep(interval)
        return seen

    usual = max(sizes_for(5))
    body = urllib.parse.urlencode({"func": "getArchGridData", "paramListStr": json.dumps(read_ids),
                                   "paggination": "0"}).encode()
    request = (b"POST /ajax.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               + f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
    stop = threading.Event()
    reads = [[0] for _ in range(4)]
    readers = [threading.Thread(target=slow_request, args=(p, request, got, stop)) for got in reads]
    for r in readers:
        r.start()
    during = sizes_for(20)
    try:  # on a busy machine the log may grow more slowly: the readers go on until it has grown
        wait_until(lambda: during.append(wal_size(p)) or during[-1] > 2 * WAL_LIMIT, timeout=120, interval=0.25)
    finally:
        stop.set()
        for r in readers:
            r.join(60)
    assert all(got[0] for got in reads) and not any(r.is_alive() for r in readers)
    gone = time.monotonic()
    after = []
    try:
        wait_until(lambda: after.append(wal_size(p)) or after[-1] <= WAL_LIMIT, timeout=90, interval=0.25)
    finally:
        print(f"write-ahead log: {usual / 1e6:.1f} MB without readers, up to {max(during) / 1e6:.1f} MB while 4 "
              f"readers took {sum(got[0] for got in reads) / 1e6:.2f} MB, {after[-1] / 1e6:.1f} MB "
              f"{time.monotonic() - gone:.1f} s after they went")
    # it stays small while the archive is written
    assert max(sizes_for(10)) <= WAL_LIMIT
    assert p.api("stopPolling") == SUCCESS
