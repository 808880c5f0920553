"""A device that sends a correct answer one byte every 200 ms, and the stop of a run while such
a read is under way: the read ends as a time-out, and the stop, a SIGTERM or a new start never
leaves a worker reading behind it."""

import json
import os
import re
import time

import pytest

from korvalen import log_text, wait_until
from peers import PtyPair, rtu_peer, tcp_peer
from test_polling import SUCCESS, add_device, add_serial, add_tcp, configure, holding, param_ids, start, stop, values

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


def thread_names(program):
    names = []
    for task in os.listdir(f"/proc/{program.proc.pid}/task"):
        try:
            with open(f"/proc/{program.proc.pid}/task/{task}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:  # ended meanwhile
            pass
    return names


# The stop waits for its workers as long as the longest time-out, at least 5000 ms, and 1.5 s
# more; the stop then flushes within the bound of time-out + 2 s (a second less, or more when a
# worker used it up) and the flag check that passes it the request comes within a second.
HELD_WAIT_S = 6.5


@pytest.mark.parametrize("held_in", ["the stop", "a cycle"])
def test_a_worker_held_in_a_close_is_left_to_end_on_its_own(program_factory, tmp_path, request, held_in):
    """A serial line's close blocks (as closing an unplugged adapter can) while the hold file
    exists: at the stop's close of a healthy line, or at the close after a failed read. Serial
    lines close at nothing else, where a TCP line closes before every request."""
    hold = tmp_path / "hold-close"
    program = program_factory(env={"KORVALEN_TEST_HOLD_CLOSE": str(hold)}).start().started()
    pairs = []
    for name in ("held", "other"):
        (tmp_path / name).mkdir()
        pairs.append(PtyPair(tmp_path / name))
        request.addfinalizer(pairs[-1].stop)
    faults = rtu_peer(pairs[0], "fault_peer.py", [str(tmp_path / "fault.log")])
    request.addfinalizer(faults.stop)
    healthy = rtu_peer(pairs[1])
    request.addfinalizer(healthy.stop)
    configure(program)
    held_conn = add_serial(program, pairs[0].line_device, timeout=TIMEOUT_MS)
    address = 10 if held_in == "the stop" else SILENT
    held = add_device(program, "serial", held_conn, [holding(address, 2)],
                      [{"regAddr": address + k, "archInterval": 1} for k in range(2)])
    held_ids = {int(pid) for pid in param_ids(program, held).values()}
    held_thread = f"poll serial:{held_conn}"
    port = re.escape(pairs[0].line_device)
    assert program.api("startPolling") == SUCCESS
    wait_until(lambda: program.query("SELECT COUNT(DISTINCT idParameter) FROM ArchiveData")[0][0] == 2, timeout=30)
    hold.touch()
    if held_in == "a cycle":
        program.wait_for_line(r"^Line close held while ", timeout=30)
    stopped = time.monotonic()
    assert program.api("stopPolling") == SUCCESS
    wait_until(lambda: program.api("getAppState") == '{"state":"idle"}', timeout=60, interval=0.02)
    took = time.monotonic() - stopped
    assert HELD_WAIT_S - 0.5 <= took < HELD_WAIT_S + 1 + 2 + 3, took  # 3 s for a loaded machine
    program.wait_for_line(rf"^!!! infLoopSave used!!! id: {port} did not stop within 6500 ms", timeout=1)
    # The session breaks: the worker's own when it was held after them, else the stop's.
    breaks = program.query("SELECT idParameter FROM ArchiveData WHERE flag = 6")
    assert sorted(r[0] for r in breaks) == sorted(held_ids)
    assert held_thread in thread_names(program)

    # A start while it is held: its connection is left out, another one polls.
    other_conn = add_serial(program, pairs[1].line_device)
    other = add_device(program, "serial", other_conn, [holding(10, 1)], [{"regAddr": 10}], name="other")
    other_id = param_ids(program, other)[10]
    assert program.api("startPolling") == SUCCESS
    wait_until(lambda: values(program).get(other_id, {}).get("flag") == 0, timeout=30)
    program.wait_for_line(rf"^Connection {port} is left out of this run: its worker of an earlier run "
                          r"has not ended yet", timeout=1)
    assert {values(program)[str(pid)]["flag"] for pid in held_ids} == {1}
    # The event log keeps its texts escaped for JSON ("\\/").
    assert program.query("SELECT COUNT(*) FROM Logs WHERE type = 'warn' AND message = ?",
                         (log_text(f"Connection {pairs[0].line_device} is left out of this polling run: its "
                                   "worker of an earlier run has not ended yet."),)) == [(1,)]

    # Released, it ends and its thread with it.
    hold.unlink()
    wait_until(lambda: held_thread not in thread_names(program), timeout=30)
    assert f"poll serial:{other_conn}" in thread_names(program)
    stop(program)

    # The next start reads it again.
    start(program)
    wait_until(lambda: {values(program)[str(pid)]["flag"] for pid in held_ids} == ({0} if held_in == "the stop"
                                                                                      else {3}), timeout=30)
    assert program.output().count("is left out of this run") == 1
    assert program.stop() == 0


def test_a_connection_added_again_on_a_held_port_is_left_out(program_factory, tmp_path, rtu):
    """A held worker's connection removed and added again under a new id names the same port:
    no second worker reads beside the held one until it has ended."""
    hold = tmp_path / "hold-close"
    program = program_factory(env={"KORVALEN_TEST_HOLD_CLOSE": str(hold)}).start().started()
    configure(program)
    conn = add_serial(program, rtu.line_device, timeout=TIMEOUT_MS)
    device = add_device(program, "serial", conn, [holding(10, 1)], [{"regAddr": 10}])
    start(program)
    wait_until(lambda: values(program).get(str(param_ids(program, device)[10]), {}).get("flag") == 0, timeout=30)
    hold.touch()
    stop(program)
    port = re.escape(rtu.line_device)
    program.wait_for_line(rf"^!!! infLoopSave used!!! id: {port} did not stop", timeout=1)

    add_serial(program, str(tmp_path / "spare"))  # so that the port's next connection has a new id
    assert program.api("cfg_removeDevice", id=str(device)) == SUCCESS
    assert program.api("cfg_removeSerialConnection", id=str(conn)) == SUCCESS
    again = add_serial(program, rtu.line_device, timeout=TIMEOUT_MS)
    assert again != conn
    pid = param_ids(program, add_device(program, "serial", again, [holding(10, 1)], [{"regAddr": 10}]))[10]
    start(program)
    program.wait_for_line(rf"^Connection {port} is left out of this run", timeout=30)
    assert values(program)[str(pid)]["flag"] == 1
    assert f"poll serial:{again}" not in thread_names(program)

    # Once the held worker has ended, the next start reads the port again.
    hold.unlink()
    wait_until(lambda: f"poll serial:{conn}" not in thread_names(program), timeout=30)
    stop(program)
    start(program)
    wait_until(lambda: values(program)[str(pid)]["flag"] == 0, timeout=30)
    assert program.stop() == 0


def test_sigterm_with_a_held_worker_ends_the_program_within_the_bound(program_factory, tmp_path, rtu):
    hold = tmp_path / "hold-close"
    program = program_factory(env={"KORVALEN_TEST_HOLD_CLOSE": str(hold)}).start().started()
    configure(program)
    conn = add_serial(program, rtu.line_device, timeout=TIMEOUT_MS)
    add_device(program, "serial", conn, [holding(10, 1)], [{"regAddr": 10, "archInterval": 1}])
    start(program)
    wait_until(lambda: program.query("SELECT COUNT(*) FROM ArchiveData")[0][0] > 0, timeout=30)
    hold.touch()
    stopped = time.monotonic()
    try:
        assert program.stop() == 0
    finally:
        hold.unlink()
    assert time.monotonic() - stopped < HELD_WAIT_S + 2 + 3  # 3 s for a loaded machine
    output = program.final_output()
    assert "!!! infLoopSave used!!! id: " in output
    assert "A channel worker has not ended: the program ends without tearing down" in output
    assert program.query("SELECT COUNT(*) FROM ArchiveData WHERE flag = 6") == [(1,)]
