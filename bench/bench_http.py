#!/usr/bin/python3
"""HTTP figures of the built program beside nginx serving the same bytes, measured in one run.

    bench_http.py [--build DIR] [--bin PROGRAM] [--duration S] [--parameters N] [--poll MS]

1. "getAllValues" with N parameters (default 10 000) while polling local Modbus TCP servers:
   wrk at 1, 16 and 64 connections against the program and against nginx serving the same reply
   as a file. Beside each load: the polling run's good reads per second (getModbusStats) under
   that load and without it, and the replies that were not a full reply (the lock-failure reply).
2. Static files of the web root at 16 connections, against nginx serving the same files.

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


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--bin", help="the program (default BUILD/bin/Korvalen)")
    ap.add_argument("--duration", type=int, default=5)
    ap.add_argument("--parameters", type=int, default=10000)
    ap.add_argument("--poll", type=int, default=1000, help="poll interval in ms")
    ap.add_argument("--parts", default="values,static", help="which figures: values, static or both")
    args = ap.parse_args()
    binary = args.bin or os.path.join(args.build, "bin", "Korvalen")
    server_bin = os.path.join(args.build, "bench", "bench_modbus_server")

    per_channel = 2000  # 10 requests of 200 values
    channels = max(1, (args.parameters + per_channel - 1) // per_channel)
    work = tempfile.mkdtemp(prefix="korvalen-bench-")
    os.chmod(work, 0o755)
    procs = []
    try:
        server = subprocess.Popen([server_bin, str(channels)], stdout=subprocess.PIPE, text=True)
        procs.append(server)
        ports = [int(p) for p in read_line(server, r"READY(.*)").group(1).split()]

        program = Program(binary, os.path.join(work, "app"))
        procs.append(program.proc)
        program.api("cfg_saveSetting", modbusPollInterval=str(args.poll), modbusIterDelay="0")
        left = args.parameters
        for c, port in enumerate(ports):
            program.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(port), timeout="1000")
            conn = json.loads(program.api("cfg_getConfiguredConnection"))["tcp"][-1]["idTCPConnections"]
            n = min(left, per_channel)
            left -= n
            iterations = [{"regAddr": a, "valuesCnt": min(200, n - a), "regType": 4, "regSize": 16,
                           "valSize": 16, "ModbusReadFunction": 3} for a in range(0, n, 200)]
            parameters = [{"regAddr": a, "unit": "W" if a % 3 else "V"} for a in range(n)]
            assert program.api("cfg_addNewDevice", name=f"meter{c}", ModbusId="1", connectionType="tcp",
                               idOfConnection=str(conn), isActive="1", readIterations=json.dumps(iterations),
                               parameters=json.dumps(parameters)) == b'{"success":true}'
        program.api("startPolling")
        deadline = time.monotonic() + 60
        while True:
            reply = program.api("getAllValues")
            if reply.startswith(b"{\"") and b"\"error\"" not in reply[:20]:
                values = json.loads(reply)
                if len(values) == args.parameters and all(v["flag"] == 0 for v in values.values()):
                    break
            if time.monotonic() > deadline:
                raise SystemExit("the polling run did not deliver every value")
            time.sleep(0.2)

        nginx_dir = os.path.join(work, "nginx")
        os.makedirs(os.path.join(nginx_dir, "root"))
        os.makedirs(os.path.join(nginx_dir, "tmp"))
        with open(os.path.join(nginx_dir, "root", "values.json"), "wb") as f:
            f.write(reply)
        static = {"small.css": b"body { font-family: sans-serif; }\n" * 3,
                  "app.js": b"".join(b"function f%d(a, b) { return a * %d + b; }\n" % (i, i) for i in range(500))}
        for name, content in static.items():
            for root in (os.path.join(nginx_dir, "root"), os.path.join(program.dir, "www")):
                with open(os.path.join(root, name), "wb") as f:
                    f.write(content)
        for d, _, files in os.walk(work):
            os.chmod(d, 0o755)
            for f in files:
                os.chmod(os.path.join(d, f), 0o644)
        nginx_port = free_port()
        with open(os.path.join(nginx_dir, "nginx.conf"), "w") as f:
            f.write(NGINX_CONF.format(dir=nginx_dir, port=nginx_port))
        nginx = subprocess.Popen(["nginx", "-p", nginx_dir, "-e", os.path.join(nginx_dir, "error.log"),
                                  "-c", os.path.join(nginx_dir, "nginx.conf")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(nginx)
        wait_for_port(nginx_port, nginx)
        script = os.path.join(work, "count.lua")
        with open(script, "w") as f:
            f.write(WRK_SCRIPT)

        d = args.duration
        parts = args.parts.split(",")
        values_url = f"http://127.0.0.1:{program.port}/ajax.html?func=getAllValues"
        full = len(reply) // 2
        print(f"getAllValues: {args.parameters} parameters ({len(reply)} bytes), polled on {channels} TCP "
              f"channels of {per_channel} values (poll interval {args.poll} ms, 10 requests a cycle each); "
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
        program.api("stopPolling")
        program.stop()
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
