#!/usr/bin/python3
"""HTTP figures of the built program beside nginx serving the same bytes, measured in one run.

    bench_http.py [--build DIR] [--bin PROGRAM] [--duration S] [--parameters N] [--poll MS]
                  [--parts values,static,scale] [--scale N,N...]

1. "getAllValues" with N parameters (default 10 000) while polling local Modbus TCP servers:
   wrk at 1, 16 and 64 connections against the program and against nginx serving the same reply
   as a file. Beside each load: the polling run's good reads per second (getModbusStats) under
   that load and without it, and the replies that were not a full reply (the lock-failure reply).
2. Static files of the web root at 16 connections, against nginx serving the same files.
3. The same run at each parameter count of --scale (default 10 000 and 100 000), one program
   at a time: the time per "getAllValues" call at 1 connection beside nginx's for the same
   bytes, and the program's resident memory, each beside the first count's.

Needs wrk and nginx (Debian packages wrk, nginx-light) and the built bench_modbus_server.
"""

import argparse
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from korvalen import free_port, resident_bytes  # noqa: E402

WRK_SCRIPT = r"""
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) minimum = tonumber(args[1]) or 0; short = 0; total = 0 end
function response(status, headers, body)
  total = total + 1
  if status ~= 200 or #body < minimum then short = short + 1 end
end
function done(summary, latency, requests)
  local s, t = 0, 0
  for _, th in ipairs(threads) do s = s + th:get("short"); t = t + th:get("total") end
  io.write(string.format("BENCH short=%d total=%d p99ms=%.2f\n", s, t, latency:percentile(99) / 1000))
end
"""

NGINX_CONF = """
worker_processes auto;
daemon off;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    client_body_temp_path {dir}/tmp;
    proxy_temp_path {dir}/tmp;
    fastcgi_temp_path {dir}/tmp;
    uwsgi_temp_path {dir}/tmp;
    scgi_temp_path {dir}/tmp;
    default_type text/html;
    types {{ text/css css; application/javascript js; text/html html; }}
    server {{
        listen 127.0.0.1:{port};
        root {dir}/root;
    }}
}}
"""


def wait_for_port(port, proc, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit(f"process ended with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit(f"port {port} not served")


def read_line(proc, pattern, timeout=30):
    deadline = time.monotonic() + timeout
    regex = re.compile(pattern)
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stderr if proc.stdout is None else proc.stdout], [], [], 0.2)
        if ready:
            line = (proc.stderr if proc.stdout is None else proc.stdout).readline()
            if not line and proc.poll() is not None:
                break
            m = regex.search(line)
            if m:
                return m
    raise SystemExit(f"no line matching {pattern!r}")


class Program:
    def __init__(self, binary, directory):
        self.dir = directory
        os.makedirs(directory)
        shutil.copy2(binary, os.path.join(directory, "Korvalen"))
        with open(os.path.join(directory, "config.ini"), "w") as f:
            f.write("[listener]\nport=0\nminThreads=4\nmaxThreads=200\nmaxConnectionsPerAddress=200\nreadTimeout=10000\n"
                    "[sessions]\nexpirationTime=3600000\ncookieName=sessionid\n"
                    "[docroot]\npath=www\nencoding=UTF-8\nmaxAge=60000\n"
                    "[updates]\nupdateServer=\nresponseMaxWaitTime=10000\n[other]\nprefLang=en\n")
        os.makedirs(os.path.join(directory, "www"))
        os.makedirs(os.path.join(directory, "run"), mode=0o700)
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(directory, "run"), QT_QPA_PLATFORM="offscreen")
        env.pop("DISPLAY", None)
        self.proc = subprocess.Popen([os.path.join(directory, "Korvalen")], cwd=directory, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.port = int(read_line(self.proc, r"HttpListener: listening on port (\d+)").group(1))
        # Keep reading its output so that it never blocks on a full pipe.
        self.drain = subprocess.Popen(["cat"], stdin=self.proc.stderr, stdout=subprocess.DEVNULL)

    def api(self, func, **params):
        params["func"] = func
        data = urllib.parse.urlencode(params).encode()
        with urllib.request.urlopen(f"http://127.0.0.1:{self.port}/ajax.html", data, timeout=60) as r:
            return r.read()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(60)
        self.drain.wait(10)


def wrk(url, connections, duration, minimum, script):
    threads = min(connections, 4)
    out = subprocess.run(["wrk", "-t", str(threads), "-c", str(connections), "-d", f"{duration}s",
                          "--timeout", "10s", "-s", script, url, "--", str(minimum)],
                         capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    m = re.search(r"BENCH short=(\d+) total=(\d+) p99ms=([\d.]+)", out)
    return rps, int(m.group(1)), int(m.group(2)), float(m.group(3))


def good_reads(program):
    return sum(s["validRespCnt"] for s in json.loads(program.api("getModbusStats")))


def polling_rate(program, seconds, during=None):
    """Good reads per second of the run over `seconds`, while `during()` runs when given."""
    before, t0 = good_reads(program), time.monotonic()
    result = during() if during else time.sleep(seconds)
    after, t1 = good_reads(program), time.monotonic()
    return (after - before) / (t1 - t0), result


PER_CHANNEL = 2000  # 10 requests of 200 values


def start_run(binary, server_bin, directory, parameters, poll, procs):
    """A program polling `parameters` values from local Modbus TCP servers, once every value has
    been read: (program, the getAllValues reply, channels)."""
    channels = max(1, (parameters + PER_CHANNEL - 1) // PER_CHANNEL)
    server = subprocess.Popen([server_bin, str(channels)], stdout=subprocess.PIPE, text=True)
    procs.append(server)
    ports = [int(p) for p in read_line(server, r"READY(.*)").group(1).split()]

    program = Program(binary, directory)
    procs.append(program.proc)
    program.server = server
    program.api("cfg_saveSetting", modbusPollInterval=str(poll), modbusIterDelay="0")
    left = parameters
    for c, port in enumerate(ports):
        program.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(port), timeout="1000")
        conn = json.loads(program.api("cfg_getConfiguredConnection"))["tcp"][-1]["idTCPConnections"]
        n = min(left, PER_CHANNEL)
        left -= n
        iterations = [{"regAddr": a, "valuesCnt": min(200, n - a), "regType": 4, "regSize": 16,
                       "valSize": 16, "ModbusReadFunction": 3} for a in range(0, n, 200)]
        params = [{"regAddr": a, "unit": "W" if a % 3 else "V"} for a in range(n)]
        assert program.api("cfg_addNewDevice", name=f"meter{c}", ModbusId="1", connectionType="tcp",
                           idOfConnection=str(conn), isActive="1", readIterations=json.dumps(iterations),
                           parameters=json.dumps(params)) == b'{"success":true}'
    program.api("startPolling")
    deadline = time.monotonic() + 120
    while True:
        reply = program.api("getAllValues")
        if reply.startswith(b"{\"") and b"\"error\"" not in reply[:20]:
            values = json.loads(reply)
            if len(values) == parameters and all(v["flag"] == 0 for v in values.values()):
                return program, reply, channels
        if time.monotonic() > deadline:
            raise SystemExit("the polling run did not deliver every value")
        time.sleep(0.2)


def end_run(program, procs):
    program.api("stopPolling")
    program.stop()
    program.server.terminate()
    program.server.wait(30)
    procs.remove(program.proc)
    procs.remove(program.server)


def start_nginx(directory, files, procs):
    """nginx serving `files` (name: bytes) on a free port of its own; returns the port."""
    os.makedirs(os.path.join(directory, "root"))
    os.makedirs(os.path.join(directory, "tmp"))
    for name, content in files.items():
        with open(os.path.join(directory, "root", name), "wb") as f:
            f.write(content)
    port = free_port()
    with open(os.path.join(directory, "nginx.conf"), "w") as f:
        f.write(NGINX_CONF.format(dir=directory, port=port))
    for d, _, names in os.walk(directory):
        os.chmod(d, 0o755)
        for name in names:
            os.chmod(os.path.join(d, name), 0o644)
    nginx = subprocess.Popen(["nginx", "-p", directory, "-e", os.path.join(directory, "error.log"),
                              "-c", os.path.join(directory, "nginx.conf")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(nginx)
    wait_for_port(port, nginx)
    return port


def scale(binary, server_bin, work, counts, poll, d, script, procs):
    """Time per call at 1 connection and resident memory at each parameter count."""
    print(f"getAllValues at {len(counts)} sizes, one program at a time (poll interval {poll} ms, "
          f"wrk 1 connection {d} s per row, nginx serving the same bytes as a file):")
    print(f"{'params':>7} {'bytes':>9} {'program ms/call':>16} {'p99 ms':>7} {'nginx ms/call':>14} "
          f"{'ratio':>6} {'resident MB':>12} {'peak MB':>8} {'ms/call vs first':>17} {'memory vs first':>16}")
    first = None
    for i, count in enumerate(counts):
        program, reply, _ = start_run(binary, server_bin, os.path.join(work, f"scale{i}"), count, poll, procs)
        url = f"http://127.0.0.1:{program.port}/ajax.html?func=getAllValues"
        rps, short, total, p99 = wrk(url, 1, d, len(reply) // 2, script)
        rss = resident_bytes(program.proc.pid) / 2**20
        peak = resident_bytes(program.proc.pid, "VmHWM") / 2**20
        end_run(program, procs)
        nginx_port = start_nginx(os.path.join(work, f"nginx-scale{i}"), {"values.json": reply}, procs)
        nginx_rps = wrk(f"http://127.0.0.1:{nginx_port}/values.json", 1, d, len(reply) // 2, script)[0]
        procs[-1].terminate()
        procs.pop().wait(30)
        ms, nginx_ms = 1000 / rps, 1000 / nginx_rps
        first = first or (ms, rss)
        print(f"{count:>7} {len(reply):>9} {ms:>16.3f} {p99:>7.1f} {nginx_ms:>14.3f} {nginx_ms / ms:>6.3f} "
              f"{rss:>12.1f} {peak:>8.1f} {ms / first[0]:>17.2f} {rss / first[1]:>16.2f}"
              + (f"  ({short} of {total} not a full reply)" if short else ""))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--bin", help="the program (default BUILD/bin/Korvalen)")
    ap.add_argument("--duration", type=int, default=5)
    ap.add_argument("--parameters", type=int, default=10000)
    ap.add_argument("--poll", type=int, default=1000, help="poll interval in ms")
    ap.add_argument("--parts", default="values,static,scale", help="which figures: values, static, scale")
    ap.add_argument("--scale", default="10000,100000", help="parameter counts of the scale figures")
    args = ap.parse_args()
    binary = args.bin or os.path.join(args.build, "bin", "Korvalen")
    server_bin = os.path.join(args.build, "bench", "bench_modbus_server")
    parts = args.parts.split(",")
    d = args.duration

    work = tempfile.mkdtemp(prefix="korvalen-bench-")
    os.chmod(work, 0o755)
    procs = []
    try:
        script = os.path.join(work, "count.lua")
        with open(script, "w") as f:
            f.write(WRK_SCRIPT)
        if "values" in parts or "static" in parts:
            program, reply, channels = start_run(binary, server_bin, os.path.join(work, "app"),
                                                 args.parameters, args.poll, procs)
            static = {"small.css": b"body { font-family: sans-serif; }\n" * 3,
                      "app.js": b"".join(b"function f%d(a, b) { return a * %d + b; }\n" % (i, i)
                                         for i in range(500))}
            for name, content in static.items():
                with open(os.path.join(program.dir, "www", name), "wb") as f:
                    f.write(content)
            nginx_port = start_nginx(os.path.join(work, "nginx"), dict(static, **{"values.json": reply}), procs)

            values_url = f"http://127.0.0.1:{program.port}/ajax.html?func=getAllValues"
            full = len(reply) // 2
            print(f"getAllValues: {args.parameters} parameters ({len(reply)} bytes), polled on {channels} TCP "
                  f"channels of {PER_CHANNEL} values (poll interval {args.poll} ms, 10 requests a cycle each); "
                  f"wrk {d} s per row; nginx serves the same bytes as a file")
            if "values" in parts:
                unloaded, _ = polling_rate(program, d)
                print(f"polling without load: {unloaded:.1f} good reads/s")
                print(f"{'conns':>5} {'program req/s':>14} {'nginx req/s':>12} {'ratio':>7} {'short replies':>14} "
                      f"{'p99 ms':>8} {'polling reads/s':>16} {'vs unloaded':>12}")
                for conns in (1, 16, 64):
                    rate, (rps, short, total, p99) = polling_rate(
                        program, d, lambda: wrk(values_url, conns, d, full, script))
                    nrps = wrk(f"http://127.0.0.1:{nginx_port}/values.json", conns, d, full, script)[0]
                    print(f"{conns:>5} {rps:>14.1f} {nrps:>12.1f} {rps / nrps:>7.3f} {short:>7}/{total:<6} "
                          f"{p99:>8.1f} {rate:>16.1f} {rate / unloaded:>12.3f}")
                again, _ = polling_rate(program, d)
                print(f"polling without load, after: {again:.1f} good reads/s")

            if "static" in parts:
                print("static files, 16 connections:")
                for name, content in static.items():
                    rps, short, total, _ = wrk(f"http://127.0.0.1:{program.port}/{name}", 16, d, len(content), script)
                    nrps = wrk(f"http://127.0.0.1:{nginx_port}/{name}", 16, d, len(content), script)[0]
                    print(f"  {name} ({len(content)} bytes): program {rps:.0f} req/s, nginx {nrps:.0f} req/s, "
                          f"ratio {rps / nrps:.3f} ({short} of {total} not a full reply)")
            end_run(program, procs)
            procs[-1].terminate()
            procs.pop().wait(30)

        if "scale" in parts:
            counts = [int(c) for c in args.scale.split(",")]
            scale(binary, server_bin, work, counts, args.poll, d, script, procs)
    finally:
        for p in procs:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(30)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
