"""The live values under load: many callers of getAllValues at once while the run polls."""

import http.client
import json
import signal
import sqlite3
import threading
import time

from archive_support import SUCCESS, configure_run
from korvalen import wait_until
from peers import tcp_peer


def test_64_callers_of_get_all_values_during_polling(program_factory, request):
    listener = {"maxThreads": "100", "maxConnectionsPerAddress": "100"}
    p = program_factory(config={"listener": listener}).start().started()
    channels = []
    for _ in range(2):  # two channels of 2000 values, 10 requests each
        peer = tcp_peer()
        request.addfinalizer(peer.stop)
        channels.append(configure_run(p, peer.port, 2000, 0))
    watched = [ids[1999] for ids in channels]  # the last value of each cycle
    assert p.api("startPolling") == SUCCESS

    def values():
        reply = p.api("getAllValues")
        return json.loads(reply) if reply.startswith('{"') and '"error"' not in reply[:12] else {}

    wait_until(lambda: len(values()) == 4000 and all(v["flag"] == 0 for v in values().values()), timeout=30)

    stop = threading.Event()
    counts = {"full": 0, "other": []}
    guard = threading.Lock()
    ticks = {pid: set() for pid in watched}

    def caller():
        conn = http.client.HTTPConnection("127.0.0.1", p.port, timeout=30)
        while not stop.is_set():
            conn.request("GET", "/ajax.html?func=getAllValues")
            body = conn.getresponse().read()
            full = body.startswith(b'{"') and not body.startswith(b'{"error"')
            with guard:
                if full:
                    counts["full"] += 1
                else:
                    counts["other"].append(body[:100])
            if full and threading.current_thread().name == "watcher":
                v = json.loads(body)
                for pid in watched:
                    ticks[pid].add(v[str(pid)]["time"])
        conn.close()

    threads = [threading.Thread(target=caller, name="watcher" if i == 0 else f"caller{i}") for i in range(64)]
    for t in threads:
        t.start()
    time.sleep(6)
    stop.set()
    for t in threads:
        t.join(60)
    assert counts["other"] == []  # no lock-failure reply
    assert counts["full"] >= 64
    for pid in watched:
        seen = sorted(ticks[pid])
        gaps = [b - a for a, b in zip(seen, seen[1:])]
        # a cycle at every tick of the 1000 ms poll interval, none skipped
        assert len(seen) >= 5 and max(gaps) < 1500, (seen, gaps)
    assert p.api("stopPolling") == SUCCESS


def test_a_stored_count_no_request_can_carry_does_not_stall_the_run(program_factory, request):
    # Only an imported file can hold such a plan: the API refuses it. Its failure marks once
    # walked two billion values under the buffer's lock, every cycle.
    p = program_factory().start().started()
    peer = tcp_peer()
    request.addfinalizer(peer.stop)
    ids = configure_run(p, peer.port, 2, 1)
    con = sqlite3.connect(p.db_path, timeout=10)
    with con:
        con.execute("UPDATE ReadIterations SET valuesCnt = 2000000000")
    con.close()
    assert p.api("startPolling") == SUCCESS
    wait_until(lambda: p.api("getAppState") == '{"state":"running"}', timeout=10)

    def flags():
        reply = p.api("getAllValues")
        assert '"error"' not in reply, reply
        return {json.loads(reply)[str(i)]["flag"] for i in ids.values()}

    wait_until(lambda: flags() == {4}, timeout=10)  # each cycle marks the request's values failed
    started = time.monotonic()
    assert p.api("stopPolling") == SUCCESS
    wait_until(lambda: p.api("getAppState") == '{"state":"idle"}', timeout=10)
    assert time.monotonic() - started < 5


# What the bound leaves out on a loaded machine: the way of a cycle's last answer into the
# buffer and into a reply, and cycles longer than the longest seen in a reply. The fault this
# test catches is a reply 6 s old.
LOAD_ALLOWANCE_MS = 500


def cycles(times_path, first_register):
    """(first, last) request time in monotonic ms of every cycle in a fault peer's log."""
    found = []
    for line in times_path.read_text().splitlines():
        ms, addr = float(line.split()[0]), int(line.split("addr=")[1].split()[0])
        if addr == first_register:
            found.append([ms, ms])
        elif found:
            found[-1][1] = ms
    return found


def test_callers_after_a_quiet_spell_see_the_device_fail(program_factory, faults):
    # A screen that asks rarely: the last reply was built before the device failed, long ago.
    poll_ms, callers, first = 1000, 16, 10000  # registers clear of the peer's fault addresses
    p = program_factory(config={"listener": {"maxThreads": "50", "maxConnectionsPerAddress": "50"}})
    p.start().started()
    log = faults.log
    ids = configure_run(p, faults.port, 5000, 0, poll_ms=poll_ms, first_address=first)
    assert p.api("startPolling") == SUCCESS

    def good():
        reply = p.api("getAllValues")
        return reply.startswith('{"') and '"error"' not in reply[:12] and \
            all(v["flag"] == 0 for v in json.loads(reply).values())

    wait_until(good, timeout=60)
    faults.proc.send_signal(signal.SIGUSR1)
    wait_until(lambda: "FAILING" in log.read_text(), timeout=30)
    failed = time.monotonic() * 1000
    time.sleep(6)  # no caller meanwhile

    # The peer logs monotonic ms, the values carry wall-clock ms.
    wall_offset = time.time() * 1000 - time.monotonic() * 1000
    url = "/ajax.html?func=getAllValues"
    replies = []  # (wall ms when the call began, body)
    for round_ in range(4):
        if round_:
            time.sleep(2 * poll_ms / 1000)  # the last reply is old again
        barrier = threading.Barrier(callers + 1)
        got = [None] * callers

        def call(i):
            conn = http.client.HTTPConnection("127.0.0.1", p.port, timeout=60)
            barrier.wait(60)
            began = time.time() * 1000
            conn.request("GET", url)
            got[i] = (began, conn.getresponse().read())
            conn.close()

        threads = [threading.Thread(target=call, args=(i,)) for i in range(callers)]
        for t in threads:
            t.start()
        barrier.wait(60)
        for t in threads:
            t.join(60)
        replies += [g for g in got if g]
    assert p.api("stopPolling") == SUCCESS

    ages, stamps, stale_flags, errors = [], set(), 0, []
    assert len(replies) == 4 * callers
    for began, body in replies:
        if not body.startswith(b'{"') or body.startswith(b'{"error"'):
            errors.append(body[:100])
            continue
        values = json.loads(body)
        assert len(values) == len(ids)
        stamp = min(v["time"] for v in values.values())
        ages.append(began - stamp)
        stamps.add(stamp)
        stale_flags += any(v["flag"] == 0 for v in values.values())
    assert errors == []
    assert stale_flags == 0, sorted(ages)  # every reply shows the failure

    # One poll interval as the program ticked, from the peer's log, plus the cycle's length: from
    # its tick's time stamp (a reply's values) to its last answer in the peer's log, the queued
    # call into the worker and the connect included.
    all_cycles = [(start + wall_offset, last + wall_offset)
                  for start, last in cycles(log.with_name(log.name + ".times"), first)]
    failing = [c for c in all_cycles if c[0] > failed + wall_offset]
    interval = max(b[0] - a[0] for a, b in zip(failing, failing[1:]))
    lengths = []
    for stamp in stamps:
        # The tick's cycle: the first to start after its stamp (a clock's worth of slack).
        last = next(last for start, last in all_cycles if start >= stamp - 50)
        lengths.append(last - stamp)
    length = max(lengths)
    bound = interval + length + LOAD_ALLOWANCE_MS
    assert max(ages) <= bound, (interval, length, sorted(ages))
