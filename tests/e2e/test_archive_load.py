"""The archive views under load: a CSV file of a million archive rows, grid and report replies of
any size served in bounded memory, and a polling run that goes on archiving while large CSV files
are generated and downloaded."""

import hashlib
import json
import sqlite3
import threading
import time
import urllib.parse
import urllib.request

import pytest

from korvalen import Program, resident_bytes, sanitized, wait_until

SUCCESS = '{"success":true}'
MINUTES = 101000           # x 10 parameters, less the missing cells: just over a million rows
FIRST_ID = 101
PARAMETERS = 10
BREAK_EVERY = 5000


def value(i, k):
    return 200 + ((i * 7 + k * 3) % 400) / 4


def flag(i, k):
    if i % BREAK_EVERY == BREAK_EVERY - 1:
        return 6
    if (i + k) % 997 == 0:
        return 3
    if (i + 2 * k) % 991 == 0:
        return 2
    return 0


def missing(i, k):
    return k == PARAMETERS - 1 and i % 13 == 0


FILL = f"""
WITH RECURSIVE m(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM m WHERE i < {MINUTES - 1}),
               p(k) AS (SELECT 0 UNION ALL SELECT k + 1 FROM p WHERE k < {PARAMETERS - 1})
INSERT INTO ArchiveData (idParameter, value, flag, dateTime)
SELECT {FIRST_ID} + k,
       CASE WHEN i % {BREAK_EVERY} = {BREAK_EVERY - 1} THEN 0 ELSE 200 + ((i * 7 + k * 3) % 400) / 4.0 END,
       CASE WHEN i % {BREAK_EVERY} = {BREAK_EVERY - 1} THEN 6 WHEN (i + k) % 997 = 0 THEN 3
            WHEN (i + 2 * k) % 991 = 0 THEN 2 ELSE 0 END,
       strftime('%Y-%m-%d %H:%M:%S', '2024-01-01', '+' || i || ' minutes')
FROM m, p WHERE NOT (k = {PARAMETERS - 1} AND i % 13 = 0) ORDER BY i, k
"""


def stamp(i):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(1704067200 + 60 * i))  # 2024-01-01 UTC


def expected_csv_bytes():
    out = ["time;" + ";".join(f"p{k}" for k in range(PARAMETERS)) + "\r\n"]
    for i in range(MINUTES):
        if flag(i, 0) == 6:
            continue
        cells = []
        for k in range(PARAMETERS):
            f = flag(i, k)
            if missing(i, k):
                cells.append("")
            elif f == 0:
                text = repr(value(i, k))
                cells.append((text[:-2] if text.endswith(".0") else text).replace(".", ","))
            else:
                cells.append("---" if f == 2 else "???")
        out.append(stamp(i) + ";" + ";".join(cells) + "\r\n")
    return "".join(out).encode()


CSV_REQUEST = {"paramListStr": json.dumps(list(range(FIRST_ID, FIRST_ID + PARAMETERS))),
               "colNamesStr": "time;" + ";".join(f"p{k}" for k in range(PARAMETERS)), "colSep": ";", "decSep": ","}


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """A program with a million archive rows of 10 parameters of an inactive device."""
    p = Program(tmp_path_factory.mktemp("big") / "app").start().started()
    con = sqlite3.connect(p.db_path, timeout=30)
    with con:
        con.execute("INSERT INTO Devices (idDevices, name, isActive) VALUES (100, 'archive only', 0)")
        con.executemany("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, unit, archInterval)"
                        " VALUES (?, 100, ?, 'V', 60)", [(FIRST_ID + k, k) for k in range(PARAMETERS)])
        con.execute(FILL)
    con.close()
    yield p
    p.kill()


def generate_and_download(program, sink):
    """Generates the CSV file of the big archive and feeds its download to sink, chunk by chunk."""
    assert program.api("generateCSVFile", **CSV_REQUEST) == SUCCESS
    with urllib.request.urlopen(program.url("downloadCSV.html"), timeout=60) as r:
        assert r.status == 200
        while True:
            chunk = r.read(1 << 16)
            if not chunk:
                break
            sink(chunk)


def peak_while(pid, run):
    """run()'s result, and the process's resident memory before it and at its peak while it ran (KiB)."""
    idle = resident_bytes(pid) // 1024
    peak = [idle]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], resident_bytes(pid) // 1024)
            time.sleep(0.005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        result = run()
    finally:
        done.set()
        sampler.join()
    return result, idle, peak[0]


def test_a_million_rows_download_whole_within_30_mb(big):
    assert big.query("SELECT COUNT(*) FROM ArchiveData")[0][0] >= 1000000
    expected = expected_csv_bytes()
    received = hashlib.sha256()
    size = [0]

    def sink(chunk):
        received.update(chunk)
        size[0] += len(chunk)

    _, idle, peak = peak_while(big.proc.pid, lambda: generate_and_download(big, sink))
    assert size[0] == len(expected)
    assert received.hexdigest() == hashlib.sha256(expected).hexdigest()
    print(f"resident memory: idle {idle / 1024:.1f} MB, peak {peak / 1024:.1f} MB")
    if not sanitized(big.proc.pid):  # sanitizers keep freed memory in quarantine
        assert peak - idle <= 30 * 1024, f"resident memory grew by {(peak - idle) / 1024:.1f} MB"


# ---- grid and report replies of any size, in bounded memory ----

ALL = json.dumps(list(range(FIRST_ID, FIRST_ID + PARAMETERS)))


def number_text(v):
    text = repr(v)
    return text[:-2] if text.endswith(".0") else text


def expected_grid(last):
    """The grid of the minutes 0 to last with paging off, as the pivot rows give it."""
    rows, chart = [], []
    for i in range(last + 1):
        cells, points = [], []
        is_break = flag(i, 0) == 6
        for k in range(PARAMETERS):
            pid = FIRST_ID + k
            if missing(i, k):
                v = f = ""
                point = ""
            else:
                f = flag(i, k)
                v = "0" if f == 6 else number_text(value(i, k))
                point = v if f == 0 else "---" if f == 2 else "???"
            cells.append(f'"{pid}":"{v}","{pid}_flag":"{f}"')
            points.append(f'"{pid}":"{point}"')
        rows.append('{"dateTime":"%s",%s}' % (stamp(i), ",".join(cells)))
        if not is_break:
            chart.append('{"dateTime":"%s",%s}' % (stamp(i), ",".join(points)))
    return ('{"Rows":[%s], "ChartData":[%s], "rowsCnt":%d, "calculatedTotalRows":%d}'
            % (",".join(rows), ",".join(chart), len(chart), len(chart))).encode("latin-1")


def served(program, func, params):
    """(status, headers, body) of an API call, its body read in parts as a browser reads it."""
    body = urllib.parse.urlencode({"func": func, **params}).encode()
    with urllib.request.urlopen(program.url("ajax.html"), data=body, timeout=120) as r:
        parts = []
        while True:
            part = r.read(1 << 16)
            if not part:
                break
            parts.append(part)
        return r.status, r.headers, b"".join(parts)


@pytest.mark.parametrize("last", [MINUTES - 1, 24999], ids=["every time stamp", "25 000 time stamps"])
def test_whole_range_grid_is_streamed_in_bounded_memory(big, last):
    params = {"paramListStr": ALL, "paggination": "0"}
    if last < MINUTES - 1:
        params.update(endDate=stamp(last)[:10], endTime=stamp(last)[11:])
    (status, headers, reply), idle, peak = peak_while(big.proc.pid, lambda: served(big, "getArchGridData", params))
    assert status == 200 and headers["Content-Type"] == "text/html"
    expected = expected_grid(last)
    assert len(reply) == len(expected)
    assert reply == expected
    print(f"grid of {len(reply) / 1e6:.1f} MB; resident memory: idle {idle / 1024:.1f} MB, peak {peak / 1024:.1f} MB")
    if not sanitized(big.proc.pid):
        assert peak - idle <= 64 * 1024, f"resident memory grew by {(peak - idle) / 1024:.1f} MB"


@pytest.mark.parametrize("func, params, check", [
    # The most ids a request lists, each a column of its own.
    pytest.param("getArchGridData", {"paramListStr": json.dumps([FIRST_ID + k % PARAMETERS for k in range(1000)]),
                                     "startDate": stamp(4900)[:10], "startTime": stamp(4900)[11:],
                                     "endDate": stamp(5399)[:10], "endTime": stamp(5399)[11:]},
                 lambda data: (len(data["Rows"]), data["rowsCnt"]) == (500, 499),
                 id="grid of 1000 ids"),
    pytest.param("getArchGridData", {"paramListStr": ALL, "paggination": "1", "pagesize": "1000000",
                                     "calculatedTotalRows": "-1"},
                 lambda data: (len(data["Rows"]), data["calculatedTotalRows"]) == (MINUTES, MINUTES - 20),
                 id="page of a million rows"),
    # Every minute with a valid value: 100 980 groups x 10 parameters.
    pytest.param("getReportGridData", {"paramListStr": ALL, "groupingType": "minutes", "groupingMinutesVal": "1"},
                 lambda data: len(data) == MINUTES - 20 and data[-1]["timeRangeFrom"] == "11.03.2024 03:19:00",
                 id="report of every minute"),
])
def test_large_replies_are_answered_in_bounded_memory(big, func, params, check):
    (status, _, reply), idle, peak = peak_while(big.proc.pid, lambda: served(big, func, params))
    assert status == 200
    data = json.loads(reply)
    del reply
    assert check(data)
    print(f"resident memory: idle {idle / 1024:.1f} MB, peak {peak / 1024:.1f} MB")
    if not sanitized(big.proc.pid):
        assert peak - idle <= 64 * 1024, f"resident memory grew by {(peak - idle) / 1024:.1f} MB"


def test_polling_archives_at_its_rate_during_large_csv_files(big, tcp):
    # 50 values archived every second: the archive is written all the time.
    assert big.api("cfg_saveSetting", modbusPollInterval="500", modbusIterDelay="0") == SUCCESS
    assert big.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(tcp.port), timeout="500") == SUCCESS
    connection = json.loads(big.api("cfg_getConfiguredConnection"))["tcp"][-1]["idTCPConnections"]
    iteration = {"regAddr": 100, "valuesCnt": 50, "regType": 4, "regSize": 16, "valSize": 16, "ModbusReadFunction": 3}
    parameters = [{"regAddr": 100 + a, "unit": "V", "archInterval": 1} for a in range(50)]
    assert big.api("cfg_addNewDevice", name="polled", ModbusId="1", connectionType="tcp",
                   idOfConnection=str(connection), isActive="1", readIterations=json.dumps([iteration]),
                   parameters=json.dumps(parameters)) == SUCCESS
    polled = [r[0] for r in big.query("SELECT idParameters FROM ConfiguredParameters JOIN Devices"
                                      " ON idDevice = idDevices WHERE name = 'polled'")]
    assert len(polled) == 50
    assert big.api("startPolling") == SUCCESS
    wait_until(lambda: big.query("SELECT COUNT(*) FROM ArchiveData WHERE idParameter = ?", (polled[0],))[0][0] > 0,
               timeout=20)

    begin = time.time()
    files = 0
    while time.time() - begin < 6 or files < 2:
        generate_and_download(big, lambda chunk: None)
        files += 1
    end = time.time()
    time.sleep(1)
    assert big.api("stopPolling") == SUCCESS
    wait_until(lambda: json.loads(big.api("getAppState")) == {"state": "idle"}, timeout=30)

    # Every whole second of the window has its rows, as before the files were made.
    first = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(int(begin) + 1))
    last = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(int(end) - 1))
    seconds = int(end) - 1 - (int(begin) + 1) + 1
    archived = big.query("SELECT idParameter, COUNT(DISTINCT dateTime) FROM ArchiveData WHERE idParameter >= ?"
                         " AND idParameter <= ? AND flag = 0 AND dateTime BETWEEN ? AND ? GROUP BY idParameter",
                         (min(polled), max(polled), first, last))
    assert archived == [(p, seconds) for p in sorted(polled)], (seconds, files)
