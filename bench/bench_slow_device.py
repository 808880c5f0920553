#!/usr/bin/python3
"""Reads of a device that sends its answer one byte every 200 ms, beside a silent device, and the
stop of a run during such a read beside the stop of a healthy run, measured in one run of the
built program (time-out 500 ms on every connection).

    bench_slow_device.py [--build DIR] [--seconds S]

1. Time per read (the statistics' last response time; the average starts from 0 at every run)
   of the trickling device, over TCP and over RTU (a pty pair), against the silent device on the
   same kind of line and the time-out.
2. Time from "stopPolling" to "idle" with a trickling read under way, against the same for a
   device that answers at once; the bound is the time-out + 2 s (+ up to 1 s for the flag check).
"""

import argparse
import json
import os
import pathlib
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import korvalen  # noqa: E402
from korvalen import Program, wait_until  # noqa: E402
from peers import PtyPair, rtu_peer, tcp_peer  # noqa: E402

SUCCESS = '{"success":true}'
TIMEOUT_MS = 500
TRICKLE, SILENT, GOOD = 7200, 4000, 10


def plan(addr, count=10):
    return [{"regAddr": addr, "valuesCnt": count, "regType": 4, "regSize": 16, "valSize": 16,
             "ModbusReadFunction": 3}]


def add_device(p, kind, conn, addr, name):
    params = [{"regAddr": addr + k, "archInterval": 1} for k in range(10)]
    assert p.api("cfg_addNewDevice", name=name, ModbusId="1", connectionType=kind, idOfConnection=str(conn),
                 isActive="1", readIterations=json.dumps(plan(addr)), parameters=json.dumps(params)) == SUCCESS
    return int(json.loads(p.api("cfg_getDevCfg"))["devices"][-1]["idDevices"])


def add_line(p, kind, where):
    if kind == "tcp":
        assert p.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(where), timeout=str(TIMEOUT_MS)) == SUCCESS
        return json.loads(p.api("cfg_getConfiguredConnection"))["tcp"][-1]["idTCPConnections"]
    assert p.api("cfg_addNewSerialConnection", serialPort=where, baudRate="9600", parity="N", stopBits="1",
                 timeout=str(TIMEOUT_MS)) == SUCCESS
    return json.loads(p.api("cfg_getConfiguredConnection"))["serial"][-1]["idSerialConnections"]


def stop_seconds(p, trickling_log=None):
    """Seconds from stopPolling to idle; with a log, sent right after the peer saw a new request."""
    if trickling_log:
        seen = trickling_log.read_text().count("REQ")
        wait_until(lambda: trickling_log.read_text().count("REQ") > seen, timeout=30)
    t0 = time.monotonic()
    assert p.api("stopPolling") == SUCCESS
    wait_until(lambda: p.api("getAppState") == '{"state":"idle"}', timeout=60, interval=0.01)
    return time.monotonic() - t0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--seconds", type=float, default=12)
    args = parser.parse_args()
    korvalen.BIN = os.path.join(os.path.abspath(args.build), "bin", "Korvalen")
    korvalen.WWW = os.path.join(HERE, "..", "sample", "www")

    with tempfile.TemporaryDirectory() as tmp:
        stoppers = []
        try:
            p = Program(os.path.join(tmp, "app")).start()
            stoppers.append(p.kill)
            p.started()
            assert p.api("cfg_saveSetting", modbusPollInterval="1000", modbusIterDelay="0") == SUCCESS
            devices = {}
            logs = {}
            for kind in ("tcp", "rtu"):
                for role, addr in (("trickling", TRICKLE), ("silent", SILENT)):
                    log = pathlib.Path(tmp) / f"{kind}-{role}.log"
                    if kind == "tcp":
                        peer = tcp_peer("fault_peer.py", [str(log)])
                        where = peer.port
                    else:
                        os.makedirs(os.path.join(tmp, f"{kind}-{role}"))
                        pair = PtyPair(os.path.join(tmp, f"{kind}-{role}"))
                        stoppers.append(pair.stop)
                        peer = rtu_peer(pair, "fault_peer.py", [str(log)])
                        where = pair.line_device
                    stoppers.append(peer.stop)
                    conn = add_line(p, kind, where)
                    devices[(kind, role)] = add_device(p, "tcp" if kind == "tcp" else "serial", conn, addr,
                                                       f"{kind} {role}")
                    logs[(kind, role)] = log

            assert p.api("startPolling") == SUCCESS
            wait_until(lambda: p.api("getAppState") == '{"state":"running"}', timeout=30)
            time.sleep(args.seconds)  # a benchmark's measuring window, not a synchronisation
            stats = {s["deviceId"]: s for s in json.loads(p.api("getModbusStats"))}
            print(f"Time per read, time-out {TIMEOUT_MS} ms, {args.seconds:.0f} s of polling:")
            for kind in ("tcp", "rtu"):
                t = stats[devices[(kind, "trickling")]]
                s = stats[devices[(kind, "silent")]]
                print(f"  {kind}: trickling {t['lastRespTime']} ms ({t['poolsCnt']} reads, "
                      f"{t['validRespCnt']} good), silent {s['lastRespTime']} ms; "
                      f"trickling/silent {t['lastRespTime'] / max(s['lastRespTime'], 1):.2f}, "
                      f"trickling/time-out {t['lastRespTime'] / TIMEOUT_MS:.2f}")
            trickling = stop_seconds(p, logs[("tcp", "trickling")])

            # The anchor: one healthy device on its own.
            q = Program(os.path.join(tmp, "anchor")).start()
            stoppers.append(q.kill)
            q.started()
            assert q.api("cfg_saveSetting", modbusPollInterval="1000", modbusIterDelay="0") == SUCCESS
            good_log = pathlib.Path(tmp) / "good.log"
            good = tcp_peer("fault_peer.py", [str(good_log)])
            stoppers.append(good.stop)
            add_device(q, "tcp", add_line(q, "tcp", good.port), GOOD, "healthy")
            assert q.api("startPolling") == SUCCESS
            wait_until(lambda: q.api("getAppState") == '{"state":"running"}', timeout=30)
            wait_until(lambda: good_log.read_text().count("REQ") >= 2, timeout=30)
            healthy = stop_seconds(q)
            print("Stop to idle:")
            print(f"  four channels, a trickling read under way: {trickling * 1000:.0f} ms; "
                  f"one healthy channel: {healthy * 1000:.0f} ms; ratio {trickling / healthy:.2f}; "
                  f"bound {TIMEOUT_MS + 2000} ms + the flag check")
        finally:
            for stop in reversed(stoppers):
                stop()


if __name__ == "__main__":
    main()
