"""A device that sends a correct answer one byte every 200 ms, and the stop of a run while such
a read is under way: the read ends as a time-out, and the stop, a SIGTERM or a new start never
leaves a worker reading behind it."""

import json
import time

import pytest

from korvalen import wait_until
from peers import PtyPair, rtu_peer, tcp_peer
from test_polling import SUCCESS, add_device, add_serial, add_tcp, configure, holding, param_ids, values

TIMEOUT_MS = 500
# The fault peer answers a read from 7000 + n one byte every n ms.
TRICKLE_200MS = 7200
SILENT = 4000


@pytest.fixture(params=["tcp", "rtu"])
def fault_line(request, tmp_path):
    """(connection kind, peer log, add_connection(program) -> id) for a fault peer."""
    log = tmp_path / "fault.log"
    if request.param == "tcp":
        peer = tcp_peer("fault_peer.py", [str(log)])
        request.addfinalizer(peer.stop)
        return "tcp", log, lambda p: add_tcp(p, peer.port, timeout=TIMEOUT_MS)
    pair = PtyPair(tmp_path)
    request.addfinalizer(pair.stop)
    peer = rtu_peer(pair, "fault_peer.py", [str(log)])
    request.addfinalizer(peer.stop)
    return "serial", log, lambda p: add_serial(p, pair.line_device, timeout=TIMEOUT_MS)


def trickling_device(program, kind, add_connection, count=10):
    conn = add_connection(program)
    device = add_device(program, kind, conn, [holding(TRICKLE_200MS, count)],
                        [{"regAddr": TRICKLE_200MS + k, "archInterval": 1} for k in range(count)])
    return device, {addr: int(pid) for addr, pid in param_ids(program, device).items()}


def stats_of(program, device):
    return {s["deviceId"]: s for s in json.loads(program.api("getModbusStats"))}.get(int(device))


def requests(log):
    return [line for line in log.read_text().splitlines() if line.startswith("REQ")] if log.exists() else []


def test_a_trickling_answer_is_a_time_out(program, fault_line):
    kind, log, add_connection = fault_line
    configure(program)
    device, ids = trickling_device(program, kind, add_connection)
    assert program.api("startPolling") == SUCCESS
    wait_until(lambda: (stats_of(program, device) or {}).get("poolsCnt", 0) >= 2, timeout=30)
    assert {v["flag"] for v in values(program).values()} == {3}
    stats = stats_of(program, device)
    assert stats["validRespCnt"] == 0
    # The read and the reopening of the line after it.
    assert TIMEOUT_MS <= stats["lastRespTime"] <= 1000, stats
    assert program.api("stopPolling") == SUCCESS
    wait_until(lambda: program.api("getAppState") == '{"state":"idle"}', timeout=30)


def polling_with_a_read_under_way(program, kind, log, add_connection):
    """Starts a run on a trickling device; returns its parameter ids once archived rows exist (so
    that a stop writes session breaks) and a read is under way."""
    configure(program)
    _, ids = trickling_device(program, kind, add_connection)
    assert program.api("startPolling") == SUCCESS
    wait_until(lambda: program.query("SELECT COUNT(*) FROM ArchiveData")[0][0] >= len(ids), timeout=30)
    seen = len(requests(log))
    wait_until(lambda: len(requests(log)) > seen, timeout=30)
    return ids


def test_the_stop_waits_for_the_read_and_writes_its_session_breaks(program, fault_line):
    kind, log, add_connection = fault_line
    ids = polling_with_a_read_under_way(program, kind, log, add_connection)
    stopped = time.monotonic()
    assert program.api("stopPolling") == SUCCESS
    wait_until(lambda: program.api("getAppState") == '{"state":"idle"}', timeout=30, interval=0.02)
    took = time.monotonic() - stopped
    breaks = program.query("SELECT idParameter FROM ArchiveData WHERE flag = 6")
    assert sorted(r[0] for r in breaks) == sorted(ids.values())
    # The flag check, the read and its reopening: well under the bound of time-out + 2 s.
    assert took < 10, took
    assert program.query("SELECT COUNT(*) FROM ArchiveData WHERE flag NOT IN (3, 6)") == [(0,)]


def test_sigterm_during_a_trickling_read_loses_no_rows(program, fault_line):
    kind, log, add_connection = fault_line
    ids = polling_with_a_read_under_way(program, kind, log, add_connection)
    assert program.stop() == 0
    rows = program.query("SELECT idParameter, flag, dateTime FROM ArchiveData ORDER BY idArchiveData")
    breaks = [r for r in rows if r[1] == 6]
    assert sorted(r[0] for r in breaks) == sorted(ids.values())
    # Every parameter's last row is its session break.
    last = {}
    for r in rows:
        last[r[0]] = r
    assert all(r[1] == 6 for r in last.values()), last
    assert {r[1] for r in rows} == {3, 6}


def test_stop_and_start_at_once_never_read_one_channel_twice(program_factory, tmp_path):
    # The stop's debug line tells when it ran.
    program = program_factory(env={"QT_LOGGING_RULES": "default.debug=true"}).start().started()
    log = tmp_path / "fault.log"
    peer = tcp_peer("fault_peer.py", [str(log)])
    try:
        configure(program)
        # 20 registers: an answer that would take ten seconds at the peer's pace.
        trickling_device(program, "tcp", lambda p: add_tcp(p, peer.port, timeout=TIMEOUT_MS), count=20)
        def running_and_reading():
            # Both requests in one flag check leave the run stopped: started again then.
            if program.api("getAppState") != '{"state":"running"}':
                assert program.api("startPolling") == SUCCESS
                wait_until(lambda: program.api("getAppState") == '{"state":"running"}', timeout=30)
            seen = len(requests(log))
            wait_until(lambda: len(requests(log)) > seen, timeout=30)

        for round_ in range(3):
            running_and_reading()
            # Mid-read: stop and start in one breath.
            assert program.api("stopPolling") == SUCCESS
            assert program.api("startPolling") == SUCCESS
            wait_until(lambda: program.output().count("***** stop polling() *****") > round_, timeout=30)
        running_and_reading()
        assert program.api("stopPolling") == SUCCESS
        wait_until(lambda: program.api("getAppState") == '{"state":"idle"}', timeout=30)
        assert "OVERLAP" not in log.read_text().split()
    finally:
        peer.stop()


@pytest.mark.parametrize("silent_first", [True, False], ids=["silent first", "silent last"])
def test_a_failed_reads_quiet_wait_is_not_the_next_devices_time(program, tmp_path, request, silent_first):
    log = tmp_path / "fault.log"
    pair = PtyPair(tmp_path)
    request.addfinalizer(pair.stop)
    peer = rtu_peer(pair, "fault_peer.py", [str(log)])
    request.addfinalizer(peer.stop)
    # Silent last: a tick comes at most 100 ms after a cycle, before the line has been quiet for
    # a time-out, and the first request of the next cycle waits for the rest.
    configure(program, poll_ms=2000 if silent_first else 100)
    conn = add_serial(program, pair.line_device, timeout=TIMEOUT_MS)

    def silent_device():
        return add_device(program, "serial", conn, [holding(SILENT, 1)], [{"regAddr": SILENT}], modbus_id=7,
                          name="silent")

    silent = silent_device() if silent_first else None
    healthy = add_device(program, "serial", conn, [holding(10, 1)], [{"regAddr": 10}], name="healthy")
    silent = silent or silent_device()
    assert program.api("startPolling") == SUCCESS
    wait_until(lambda: all((stats_of(program, d) or {}).get("poolsCnt", 0) >= 3 for d in (silent, healthy)),
               timeout=30)
    s, h = stats_of(program, silent), stats_of(program, healthy)
    assert s["validRespCnt"] == 0 and h["validRespCnt"] == h["poolsCnt"]
    assert h["lastRespTime"] < 200, h
    # Waited out within the cycle, the quiet time counts for the silent device's read.
    assert s["lastRespTime"] >= (2 * TIMEOUT_MS - 50 if silent_first else TIMEOUT_MS - 5), s
    assert program.api("stopPolling") == SUCCESS
    wait_until(lambda: program.api("getAppState") == '{"state":"idle"}', timeout=30)
