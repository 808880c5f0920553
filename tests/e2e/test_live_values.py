"""The live values under load: many callers of getAllValues at once while the run polls."""

import http.client
import json
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
