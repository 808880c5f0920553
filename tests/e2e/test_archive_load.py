"""The archive views under load: a CSV file of a million archive rows, grid and report replies
bounded in size, and a polling run that goes on archiving while large CSV files are generated and
downloaded."""

import hashlib
import json
import sqlite3
import threading
import time
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


# ---- grid and report replies bounded in size ----

ALL = json.dumps(list(range(FIRST_ID, FIRST_ID + PARAMETERS)))
TOO_LARGE = ('{"error":true,"message":"Query error","details":"the reply would hold more than %d values (%s x '
             'parameters): choose a shorter time range, fewer parameters or %s"}')


@pytest.mark.parametrize("func, params, expected", [
    pytest.param("getArchGridData", {"paramListStr": ALL}, TOO_LARGE % (250000, "time stamps", "paging"),
                 id="grid of every time stamp"),
    pytest.param("getArchGridData", {"paramListStr": json.dumps([FIRST_ID + k % PARAMETERS for k in range(1000)]),
                                     "endDate": stamp(1999)[:10], "endTime": stamp(1999)[11:]},
                 TOO_LARGE % (250000, "time stamps", "paging"), id="grid of 1000 ids over 2000 time stamps"),
    pytest.param("getArchGridData", {"paramListStr": ALL, "paggination": "1", "pagesize": "1000000"},
                 '{"error":true,"message":"Query error","details":"pagesize: 1000000 is not within 0 to 25000 '
                 '(a page holds at most 250000 values: rows x parameters)"}', id="page of a million rows"),
    pytest.param("getReportGridData", {"paramListStr": ALL, "groupingType": "minutes", "groupingMinutesVal": "1"},
                 TOO_LARGE % (100000, "groups", "longer groups"), id="report of every minute"),
])
def test_replies_too_large_are_refused_in_little_memory(big, func, params, expected):
    reply, idle, peak = peak_while(big.proc.pid, lambda: big.api(func, **params))
    assert reply == expected
    print(f"resident memory: idle {idle / 1024:.1f} MB, peak {peak / 1024:.1f} MB")
    if not sanitized(big.proc.pid):
        assert peak - idle <= 32 * 1024, f"resident memory grew by {(peak - idle) / 1024:.1f} MB"


@pytest.mark.parametrize("func, params, length", [
    # 25 000 time stamps x 10 parameters: the most values a grid holds; 5 are session breaks.
    pytest.param("getArchGridData", {"paramListStr": ALL, "endDate": stamp(24999)[:10],
                                     "endTime": stamp(24999)[11:]}, 25000, id="grid"),
    # Six days by the minute, without the break's minute: 8 639 groups x 10 parameters.
    pytest.param("getReportGridData", {"paramListStr": ALL, "groupingType": "minutes", "groupingMinutesVal": "1",
                                       "startDate": "2024-01-01", "endDate": "2024-01-07"}, 8639, id="report"),
])
def test_large_replies_within_the_bound_are_answered(big, func, params, length):
    reply, idle, peak = peak_while(big.proc.pid, lambda: big.api(func, **params))
    data = json.loads(reply)
    if func == "getArchGridData":
        assert (len(data["Rows"]), data["rowsCnt"], data["calculatedTotalRows"]) == (length, length - 5, length - 5)
        assert data["Rows"][-1]["dateTime"] == stamp(length - 1)
    else:
        assert len(data) == length
        assert data[-1]["timeRangeFrom"] == "06.01.2024 23:59:00"
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
