"""Configuration calls from several connections at once."""

import json
import socket
import sqlite3
from concurrent.futures import ThreadPoolExecutor

SUCCESS = '{"success":true}'


def test_a_stalled_database_download_leaves_configuration_calls_free(program, tmp_path):
    # A database large enough that its download stalls while the client does not read.
    con = sqlite3.connect(program.db_path, timeout=30)
    con.execute("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 30000) "
                "INSERT INTO Logs (type, message) SELECT 'info', hex(randomblob(1000)) FROM c")
    con.commit()
    con.close()

    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
    s.connect(("127.0.0.1", program.port))
    s.sendall(b"GET /exportConfig.html?withArchive=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
    received = bytearray()
    while b"\r\n\r\n" not in received:
        received += s.recv(65536)
    # The download streams a private copy: the database lock is not held while it waits for this
    # client, so configuration calls go on meanwhile.
    assert program.api("cfg_saveSetting", modbusPollInterval="1000", modbusIterDelay="10") == SUCCESS
    assert program.query("SELECT modbusPollInterval FROM Settings") == [(1000,)]

    while chunk := s.recv(1 << 20):
        received += chunk
    s.close()
    head, body = bytes(received).split(b"\r\n\r\n", 1)
    assert b"200 OK" in head.split(b"\r\n")[0]
    copy = tmp_path / "copy.sqlite"
    copy.write_bytes(dechunk(body) if b"chunked" in head.lower() else body)
    c = sqlite3.connect(copy)
    assert c.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    assert c.execute("SELECT COUNT(*) FROM Logs").fetchone()[0] >= 30000
    assert c.execute("SELECT modbusPollInterval FROM Settings").fetchone() == (5000,)  # as at the request
    c.close()
    assert program.api("cfg_saveSetting", modbusPollInterval="2000", modbusIterDelay="10") == SUCCESS


def dechunk(body):
    out = bytearray()
    pos = 0
    while True:
        end = body.index(b"\r\n", pos)
        size = int(body[pos:end].split(b";")[0], 16)
        if size == 0:
            return bytes(out)
        out += body[end + 2:end + 2 + size]
        pos = end + 2 + size + 2


def test_many_parallel_reads_answer_alike(program):
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1") == SUCCESS
    for i in range(3):
        params = json.dumps([{"regAddr": r, "unit": "V", "userDescription": f"p{i}.{r}"} for r in range(20)])
        assert program.api("cfg_addNewDevice", name=f"d{i}", connectionType="tcp", idOfConnection="1",
                           readIterations='[{"regAddr":0,"valuesCnt":20}]',
                           parameters=params) == SUCCESS
    expected = program.api("cfg_getDevCfg")
    assert len(json.loads(expected)["parameters"]) == 60

    with ThreadPoolExecutor(max_workers=16) as pool:
        replies = list(pool.map(lambda _: program.api("cfg_getDevCfg"), range(400)))
    assert all(r == expected for r in replies)


def test_parallel_changes_are_serialised(program):
    def add(i):
        return program.api("cfg_addNewTcpConnection", ip=f"10.0.0.{i}", name=f"c{i}")

    with ThreadPoolExecutor(max_workers=8) as pool:
        replies = list(pool.map(add, range(40)))
    assert replies == [SUCCESS] * 40
    assert len(json.loads(program.api("cfg_getConfiguredConnection"))["tcp"]) == 40
