"""The archive views over HTTP: overview and deletion, the paged grid with its chart points, the
CSV file with its download, and the grouped report, on archive rows written straight into the
database."""

import fcntl
import json
import os
import sqlite3
import threading

import pytest

from korvalen import Client, Program
from test_routing import add_user, enable_sessions, logged_in

SUCCESS = '{"success":true}'
IN_PROGRESS = '{"error":true,"message":"Generating in progress"}'
LIST_ERROR = '{"error":true,"message":"Parameters list error."}'
PRIVILEGE = '{"error":true,"message":"User doesn\'t have required privilege"}'

PARAMETERS = [  # idParameters, userDescription, nameId, regAddr, unit, archInterval
    (1, "Voltage", "U1", 10, "V", 60),
    (2, "", "", 11, "A", 60),
    (3, "", "P", 12, "kW", 0),
    (4, 'Energy "total"', "", 13, "kWh", 900),
    (5, "", "E", 14, "", 60),
]

T = ["2024-03-01 10:00:00", "2024-03-01 10:01:00", "2024-03-01 10:02:00", "2024-03-01 10:03:00",
     "2024-03-01 10:04:00", "2024-03-01 10:05:00", "2024-03-01 10:06:00", "2024-03-02 00:00:00"]

ROWS = [  # idParameter, value, flag, dateTime
    (1, 230.5, 0, T[0]), (2, 1.5, 0, T[0]), (3, 7, 0, T[0]),
    (1, 231, 2, T[1]), (2, 1.25, 0, T[1]), (2, 2.25, 0, T[1]),  # two rows of 2 at one time
    (1, 0, 6, T[2]), (2, 0, 6, T[2]),                           # session break
    (1, 0, 3, T[3]),                                            # time-out, 2 has no row
    (2, 4.75, 0, T[4]),
    (1, 0, 6, T[5]),                                            # break of 1 alone
    (1, 229.25, 0, T[6]), (2, 5, 0, T[6]),
    (1, 100, 0, T[7]),
    # report rows
    (4, 1234567.89, 0, "2024-03-06 10:00:00"), (4, 0.1, 0, "2024-03-06 10:30:00"),
    (5, 1, 0, "2024-03-03 23:59:59"),   # Sunday, last second
    (5, 2, 0, "2024-03-04 00:00:00"),   # Monday
    (5, 3, 0, "2024-03-04 23:59:59"),
    (5, 4, 0, "2024-03-05 10:56:00"),
    (5, 5, 0, "2024-03-05 11:02:00"),
    (5, 6, 0, "2024-03-05 11:03:00"),
    (5, 1000, 3, "2024-03-05 11:00:00"),  # not valid: not in the report
    (5, 7, 0, "2024-03-10 23:00:00"),   # Sunday
    (5, 8, 0, "2024-03-10 23:59:59"),
    (5, 9, 0, "2024-03-11 00:00:00"),
]


def fill(program, rows=ROWS, parameters=PARAMETERS):
    con = sqlite3.connect(program.db_path, timeout=10)
    with con:
        con.execute("INSERT INTO Devices (idDevices, name, isActive) VALUES (1, ?, 0)", ('Meter "A" \\ west',))
        con.executemany("INSERT INTO ConfiguredParameters (idParameters, idDevice, userDescription, nameId, regAddr,"
                        " unit, archInterval) VALUES (?, 1, ?, ?, ?, ?, ?)", parameters)
        con.executemany("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (?, ?, ?, ?)", rows)
    con.close()


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    """A program whose archive holds ROWS; the tests using it leave the archive as it is."""
    p = Program(tmp_path_factory.mktemp("archive") / "app").start().started()
    fill(p)
    yield p
    p.kill()


@pytest.fixture
def filled(program):
    fill(program)
    return program


# ---- overview and deletion ----

GROUP = ('{"idParameters":"1","devName":"Meter \\"A\\" \\\\ west","idDevices":"1","paramName":"U1 (Voltage)",'
         '"unit":"V"},{"idParameters":"2","devName":"Meter \\"A\\" \\\\ west","idDevices":"1","paramName":"11",'
         '"unit":"A"},{"idParameters":"4","devName":"Meter \\"A\\" \\\\ west","idDevices":"1",'
         '"paramName":"Energy \\"total\\"","unit":"kWh"},{"idParameters":"5","devName":"Meter \\"A\\" \\\\ west",'
         '"idDevices":"1","paramName":"E","unit":""}')
EMPTY_INFO = '{"firstRecordData":"","lastRecordData":"","allParamRecordsCnt":"0","recordsCnt":"0"}'


def test_overview(archive):
    # Session breaks are left out of every figure; parameter 3 (not archived) is not listed.
    reply = archive.api("getArchGeneralInfo")
    assert reply == ('{"generalInfo":{"firstRecordData":"2024-03-01 10:00:00","lastRecordData":"2024-03-11 00:00:00",'
                     '"allParamRecordsCnt":"23","recordsCnt":"18"},"parametersGroup":[' + GROUP + ']}')
    assert json.loads(reply)["parametersGroup"][2]["paramName"] == 'Energy "total"'


def test_overview_of_an_empty_archive(program_factory):
    p = program_factory().start().started()
    assert p.api("getArchGeneralInfo") == '{"generalInfo":' + EMPTY_INFO + ',"parametersGroup":[]}'
    fill(p, rows=[(1, 0, 6, T[2]), (2, 0, 6, T[2])])  # only session breaks
    assert p.api("getArchGeneralInfo") == '{"generalInfo":' + EMPTY_INFO + ',"parametersGroup":[' + GROUP + ']}'


def test_deletion_needs_full_rights_and_removes_every_row(filled):
    admin = Client(filled)
    add_user(filled, admin, "operator", "o", 2)
    add_user(filled, admin, "viewer", "v", 1)
    enable_sessions(filled)
    for name, password in [("operator", "o"), ("viewer", "v")]:
        assert logged_in(filled, name, password).api("deleteArchivedData") == PRIVILEGE
    assert filled.query("SELECT COUNT(*) FROM ArchiveData")[0][0] == len(ROWS)
    admin = logged_in(filled)
    assert admin.api("deleteArchivedData") == SUCCESS
    assert filled.query("SELECT COUNT(*) FROM ArchiveData")[0][0] == 0  # breaks included
    assert filled.query("SELECT COUNT(*) FROM ConfiguredParameters")[0][0] == len(PARAMETERS)
    assert admin.api("getArchGeneralInfo") == '{"generalInfo":' + EMPTY_INFO + ',"parametersGroup":[' + GROUP + ']}'


# ---- the grid ----

def row(time, *cells):
    """A "Rows" object: cells are (id, value, flag) in list order."""
    return "{" + ",".join([f'"dateTime":"{time}"'] + [f'"{i}":"{v}","{i}_flag":"{f}"' for i, v, f in cells]) + "}"


def point(time, *cells):
    """A "ChartData" object: cells are (id, cell)."""
    return "{" + ",".join([f'"dateTime":"{time}"'] + [f'"{i}":"{c}"' for i, c in cells]) + "}"


def grid(rows, points, count, total):
    return ('{"Rows":[' + ",".join(rows) + '], "ChartData":[' + ",".join(points) + f'], "rowsCnt":{count}, '
            f'"calculatedTotalRows":{total}}}')


R = [row(T[0], (1, "230.5", "0"), (2, "1.5", "0")), row(T[1], (1, "231", "2"), (2, "3.5", "0")),
     row(T[2], (1, "0", "6"), (2, "0", "6")), row(T[3], (1, "0", "3"), (2, "", "")),
     row(T[4], (1, "", ""), (2, "4.75", "0")), row(T[5], (1, "0", "6"), (2, "", "")),
     row(T[6], (1, "229.25", "0"), (2, "5", "0")), row(T[7], (1, "100", "0"), (2, "", ""))]
P = [point(T[0], (1, "230.5"), (2, "1.5")), point(T[1], (1, "---"), (2, "3.5")), None,
     point(T[3], (1, "???"), (2, "")), point(T[4], (1, ""), (2, "4.75")), None,
     point(T[6], (1, "229.25"), (2, "5")), point(T[7], (1, "100"), (2, ""))]


def page(number, size, total="-1"):
    return {"pagenum": str(number), "pagesize": str(size), "paggination": "1", "calculatedTotalRows": total}


@pytest.mark.parametrize("params, expected", [
    pytest.param({}, grid(R, [p for p in P if p], 6, 6), id="paging off"),
    pytest.param(page(0, 2), grid(R[0:2], P[0:2], 2, 6), id="first page, counted"),
    pytest.param(page(1, 2), grid(R[2:4], [P[3]], 1, 6), id="break inside the page takes a place"),
    pytest.param(page(2, 2), grid(R[5:7], [P[6]], 1, 6), id="break before the page does not count"),
    pytest.param(page(3, 2), grid([], [], 0, 6), id="past the end"),
    pytest.param(page(0, 2, "99"), grid(R[0:2], P[0:2], 2, 99), id="total known is echoed"),
    pytest.param(page(1, 3, "6"), grid(R[4:7], [P[4], P[6]], 2, 6), id="total known, breaks on the page"),
    pytest.param({"startDate": "2024-03-01", "startTime": "10:01:00", "endDate": "2024-03-02", "endTime": ""},
                 grid(R[1:7], [P[1], P[3], P[4], P[6]], 4, 4), id="empty end time leaves that day out"),
    pytest.param({"startDate": "2024-03-01", "startTime": "10:06:00", "endDate": "2024-03-02",
                  "endTime": "00:00:00"}, grid(R[6:8], P[6:8], 2, 2), id="both bounds"),
    pytest.param({"endDate": "2024-03-01", "endTime": "10:01:00", "startTime": "10:01:00"},
                 grid(R[0:2], P[0:2], 2, 2), id="end only; a start time without a date"),
    pytest.param({"paramListStr": "[99]"}, grid([], [], 0, 0), id="unknown parameter: empty result"),
    pytest.param({"paramListStr": "[2,1]"},
                 grid([row(T[0], (2, "1.5", "0"), (1, "230.5", "0")), row(T[1], (2, "3.5", "0"), (1, "231", "2")),
                       row(T[2], (2, "0", "6"), (1, "0", "6")), row(T[3], (2, "", ""), (1, "0", "3")),
                       row(T[4], (2, "4.75", "0"), (1, "", "")), row(T[5], (2, "", ""), (1, "0", "6")),
                       row(T[6], (2, "5", "0"), (1, "229.25", "0")), row(T[7], (2, "", ""), (1, "100", "0"))],
                      [point(T[0], (2, "1.5"), (1, "230.5")), point(T[1], (2, "3.5"), (1, "---")),
                       point(T[3], (2, ""), (1, "???")), point(T[4], (2, "4.75"), (1, "")),
                       point(T[5], (2, ""), (1, "???")), point(T[6], (2, "5"), (1, "229.25")),
                       point(T[7], (2, ""), (1, "100"))], 7, 7),
                 id="only the first parameter's flag makes a break"),
])
def test_grid(archive, params, expected):
    params = {"paramListStr": "[1,2]", **params}
    assert archive.api("getArchGridData", **params) == expected


# ---- the CSV file ----

def csv(program, client=None, **params):
    client = client or Client(program)
    reply = client.api("generateCSVFile", **{"paramListStr": "[1,2]", **params})
    if reply != SUCCESS:
        return reply
    status, headers, body = client.request("downloadCSV.html")
    assert status == 200
    assert headers["Content-Disposition"] == "attachment; filename=data.csv"
    assert headers["Content-type"] == "application/octet-stream"
    return body


LINES = [T[0] + ";230,5;1,5", T[1] + ";---;3,5", T[3] + ";???;", T[4] + ";;4,75", T[6] + ";229,25;5", T[7] + ";100;"]


@pytest.mark.parametrize("params, expected", [
    pytest.param({"colNamesStr": "Zeit;U µ;I", "colSep": ";", "decSep": ","},
                 "Zeit;U µ;I\r\n" + "".join(line + "\r\n" for line in LINES), id="captions as received"),
    pytest.param({"colSep": ";", "decSep": ";"}, "\r\n" + "".join(line + "\r\n" for line in LINES),
                 id="any other decSep gives a comma"),
    pytest.param({"colNamesStr": "t,u,i"},
                 "t,u,i\r\n" + "".join(line.replace(",", ".").replace(";", ",") + "\r\n" for line in LINES),
                 id="defaults"),
    pytest.param({"colNamesStr": "a\tb", "colSep": " | ", "decSep": ".", "startDate": "2024-03-01",
                  "startTime": "10:04:00", "endDate": "2024-03-01", "endTime": "10:06:00"},
                 f"a\tb\r\n{T[4]} |  | 4.75\r\n{T[6]} | 229.25 | 5\r\n", id="separator of several bytes, bounds"),
    pytest.param({"colNamesStr": "x", "paramListStr": "[99]"}, "x\r\n", id="empty result"),
])
def test_csv(archive, params, expected):
    assert csv(archive, **params) == expected.encode()


def test_download_without_a_file_and_twice(archive):
    assert archive.request("downloadCSV.html")[0:3:2] == (500, b"")
    assert csv(archive, colNamesStr="h").startswith(b"h\r\n")
    assert archive.request("downloadCSV.html")[0:3:2] == (500, b"")  # released by the first download


def test_a_waiting_file_refuses_the_next_generation(archive):
    assert archive.api("generateCSVFile", paramListStr="[1]") == SUCCESS
    assert archive.api("generateCSVFile", paramListStr="[2]") == IN_PROGRESS
    assert archive.request("downloadCSV.html")[2].startswith(b"\r\n" + T[0].encode() + b",230.5\r\n")
    assert csv(archive, paramListStr="[2]").startswith(b"\r\n" + T[0].encode() + b",1.5\r\n")


def test_simultaneous_generations_and_downloads(archive):
    replies = [None] * 6
    barrier = threading.Barrier(len(replies))

    def generate(i):
        barrier.wait()
        replies[i] = archive.api("generateCSVFile", paramListStr="[1,2]")

    threads = [threading.Thread(target=generate, args=(i,)) for i in range(len(replies))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert sorted(replies) == sorted([SUCCESS] + [IN_PROGRESS] * (len(replies) - 1))

    # Downloads at once: each gets the whole file or, once it is released, none.
    whole = b"\r\n" + "".join(line.replace(",", ".").replace(";", ",") + "\r\n" for line in LINES).encode()
    results = [None] * 4
    barrier = threading.Barrier(len(results))

    def download(i):
        barrier.wait()
        status, _, body = archive.request("downloadCSV.html")
        results[i] = (status, body)

    threads = [threading.Thread(target=download, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert (200, whole) in results
    assert set(results) <= {(200, whole), (500, b"")}
    assert archive.request("downloadCSV.html")[0] == 500


def open_files(pid):
    """The targets of the process's descriptors; one closed by another thread meanwhile is left out."""
    targets = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            targets.append(os.readlink(f"/proc/{pid}/fd/{fd}"))
        except FileNotFoundError:
            pass
    return targets


def test_a_waiting_file_has_no_name_on_disk(program_factory, tmp_path):
    # Nothing is left behind, however the program ends.
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    p = program_factory(env={"TMPDIR": str(scratch)}).start().started()
    fill(p)
    assert p.api("generateCSVFile", paramListStr="[1,2]") == SUCCESS
    fds = open_files(p.proc.pid)
    assert [f for f in fds if f.startswith(str(scratch))], fds  # open, in the temporary directory
    assert os.listdir(scratch) == []
    p.kill()
    assert os.listdir(scratch) == []


def test_a_complete_download_frees_the_next_generation_at_once(archive):
    # Each generation on a connection of its own, right after the download's last byte.
    for colnames in ["first", "second", "third", "fourth", "fifth"]:
        assert csv(archive, colNamesStr=colnames).startswith(colnames.encode() + b"\r\n")


def test_leftover_csv_files_of_an_earlier_run_go_at_start(program_factory, tmp_path):
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    leftover = scratch / "Brimat Capture_csv.aBcDeF"
    in_use = scratch / "Brimat Capture_csv.dEfGhI"  # held by another running instance
    other = scratch / "Brimat Capture.gHiJkL"       # not a CSV file
    for f in (leftover, in_use, other):
        f.write_bytes(b"2024-03-01 10:00:00,1\r\n")
    with open(in_use, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
        p = program_factory(env={"TMPDIR": str(scratch)}).start().started()
        assert sorted(os.listdir(scratch)) == sorted([in_use.name, other.name])
        p.kill()


def test_a_file_that_cannot_be_created_leaves_no_generation(program_factory, tmp_path):
    not_a_directory = tmp_path / "file"
    not_a_directory.write_bytes(b"")
    p = program_factory(env={"TMPDIR": str(not_a_directory)}).start().started()
    fill(p)
    for _ in range(2):  # the second is not "Generating in progress"
        assert p.api("generateCSVFile", paramListStr="[1,2]") == '{"error":true,"message":"Unable to create file"}'
    assert p.request("downloadCSV.html")[0] == 500


# ---- refusals before any statement ----

QUERY = '{"error":true,"message":"Query error","details":"%s"}'


@pytest.mark.parametrize("func", ["getArchGridData", "generateCSVFile", "getReportGridData"])
@pytest.mark.parametrize("params, expected", [
    ({"paramListStr": "[1,2"}, LIST_ERROR),
    ({"paramListStr": "[1,function(){return 2}()]"}, LIST_ERROR),
    ({"paramListStr": "[]"}, QUERY % "paramListStr: [] is not a list of 1 to 1000 parameter ids"),
    ({"paramListStr": "[\"1) OR (1=1\"]"}, QUERY % "paramListStr[0]: 1) OR (1=1 is not an integer id"),
    ({"paramListStr": "[1]", "startDate": "2024-03-01' OR '1'='1"},
     QUERY % "startDate: 2024-03-01' OR '1'='1 is not a date yyyy-MM-dd"),
    ({"paramListStr": "[1]", "endDate": "01.03.2024"}, QUERY % "endDate: 01.03.2024 is not a date yyyy-MM-dd"),
])
def test_refusals(archive, func, params, expected):
    assert archive.api(func, groupingType="days", **params) == expected
    if func == "generateCSVFile":  # the refusal left no generation behind
        assert csv(archive).startswith(b"\r\n" + T[0].encode())


def test_times_are_checked_where_they_are_used(archive):
    bad = {"paramListStr": "[1]", "startDate": "2024-03-01", "startTime": "10:00'"}
    assert archive.api("getArchGridData", **bad) == QUERY % "startTime: 10:00' is not a time hh:mm:ss"
    # The report bounds are dates alone: its times are not read.
    assert archive.api("getReportGridData", groupingType="days", **bad).startswith('[{"timeRangeFrom"')


# ---- the report ----

def members(i, figures):
    if figures is None:
        return ",".join(f'"{m}_{i}":"---"' for m in ("minDateTime", "minValue", "maxDateTime", "maxValue", "avg"))
    min_time, min_value, max_time, max_value, avg = figures
    return (f'"minDateTime_{i}":"{min_time}","minValue_{i}":{min_value},"maxDateTime_{i}":"{max_time}",'
            f'"maxValue_{i}":{max_value},"avg_{i}":{avg}')


def group(start, end, **figures):
    """A group object; figures by parameter: (min time, min, max time, max, average) or None."""
    return ("{" + f'"timeRangeFrom":"{start}","timeRangeTo":"{end}",' +
            ",".join(members(i[1:], f) for i, f in figures.items()) + "}")


def once(time, value):
    return (time, value, time, value, value)


@pytest.mark.parametrize("params, groups", [
    pytest.param({"paramListStr": "[5]", "groupingType": "weeks"},
                 [group("26.02.2024 00:00:00", "03.03.2024 23:59:59", p5=once("03.03.2024 23:59:59", 1)),
                  group("04.03.2024 00:00:00", "10.03.2024 23:59:59",
                        p5=("04.03.2024 00:00:00", 2, "10.03.2024 23:59:59", 8, 5)),
                  group("11.03.2024 00:00:00", "17.03.2024 23:59:59", p5=once("11.03.2024 00:00:00", 9))],
                 id="weeks end on Sunday 23:59:59, which joins its week"),
    pytest.param({"paramListStr": "[5]", "groupingType": "days", "startDate": "2024-03-04", "endDate": "2024-03-10"},
                 [group("04.03.2024 00:00:00", "04.03.2024 23:59:59",
                        p5=("04.03.2024 00:00:00", 2, "04.03.2024 23:59:59", 3, 2.5)),
                  group("05.03.2024 00:00:00", "05.03.2024 23:59:59",
                        p5=("05.03.2024 10:56:00", 4, "05.03.2024 11:03:00", 6, 5))],
                 id="days; the end date without a time leaves that day out"),
    pytest.param({"paramListStr": "[5]", "groupingType": "minutes", "groupingMinutesVal": "7",
                  "startDate": "2024-03-05", "endDate": "2024-03-06"},
                 [group("05.03.2024 10:56:00", "05.03.2024 11:03:00",
                        p5=("05.03.2024 10:56:00", 4, "05.03.2024 11:02:00", 5, 4.5)),
                  group("05.03.2024 11:00:00", "05.03.2024 11:07:00", p5=once("05.03.2024 11:03:00", 6))],
                 id="minute steps that do not divide 60"),
    pytest.param({"paramListStr": "[5,1]", "groupingType": "hours", "startDate": "2024-03-05",
                  "endDate": "2024-03-06"},
                 [group("05.03.2024 10:00:00", "05.03.2024 11:00:00", p5=once("05.03.2024 10:56:00", 4), p1=None),
                  group("05.03.2024 11:00:00", "05.03.2024 12:00:00",
                        p5=("05.03.2024 11:02:00", 5, "05.03.2024 11:03:00", 6, 5.5), p1=None)],
                 id="hours; no valid value gives ---; invalid rows left out"),
    pytest.param({"paramListStr": "[1,2]", "groupingType": "hours", "endDate": "2024-03-02"},
                 [group("01.03.2024 10:00:00", "01.03.2024 11:00:00",
                        p1=("01.03.2024 10:06:00", 229.25, "01.03.2024 10:00:00", 230.5, 229.875),
                        p2=("01.03.2024 10:01:00", 1.25, "01.03.2024 10:06:00", 5, 3.125))],
                 id="the minimum of two rows at one time; gaps give no group"),
    pytest.param({"paramListStr": "[4]", "groupingType": "days", "startDate": "2024-03-06"},
                 [group("06.03.2024 00:00:00", "06.03.2024 23:59:59",
                        p4=("06.03.2024 10:30:00", 0.1, "06.03.2024 10:00:00", "1.23457e+06", 617284))],
                 id="numbers with six significant digits"),
    pytest.param({"paramListStr": "[5,99]", "groupingType": "days", "startDate": "2025-01-01"},
                 [group("", "", p5=None, p99=None)], id="empty result"),
])
def test_report(archive, params, groups):
    assert archive.api("getReportGridData", **params) == "[" + ",".join(groups) + "]"


def test_report_refuses_an_unknown_grouping_type(archive):
    for grouping in ["", "Days", "months"]:
        assert (archive.api("getReportGridData", paramListStr="[5]", groupingType=grouping) ==
                QUERY % f"groupingType: {grouping} is not minutes, hours, days, weeks")
