"""What the archive tests share: a run configured over the web API, a sampler of the live values
that records which samples the program held, and the archive rows those samples must have."""

import json
import threading
import time
import urllib.request

SUCCESS = '{"success":true}'


def configure_run(program, peer_port, parameters, arch_interval, poll_ms=1000, start_with_program=False,
                  modbus_id=1, timeout=500, first_register=0):
    """One TCP connection and one device reading `parameters` holding registers from
    `first_register` in requests of up to 200 values, every parameter archived every
    `arch_interval` s. Returns {regAddr: idParameters}."""
    assert program.api("cfg_saveSetting", modbusPollInterval=str(poll_ms), modbusIterDelay="0",
                       defaultAppState="1" if start_with_program else "0") == SUCCESS
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(peer_port),
                       timeout=str(timeout)) == SUCCESS
    conn = json.loads(program.api("cfg_getConfiguredConnection"))["tcp"][-1]["idTCPConnections"]
    end = first_register + parameters
    iterations = [{"regAddr": a, "valuesCnt": min(200, end - a), "regType": 4, "regSize": 16,
                   "valSize": 16, "ModbusReadFunction": 3} for a in range(first_register, end, 200)]
    params = [{"regAddr": a, "unit": "V", "archInterval": arch_interval} for a in range(first_register, end)]
    assert program.api("cfg_addNewDevice", name="meter", ModbusId=str(modbus_id), connectionType="tcp",
                       idOfConnection=str(conn), isActive="1", readIterations=json.dumps(iterations),
                       parameters=json.dumps(params)) == SUCCESS
    cfg = json.loads(program.api("cfg_getDevCfg"))
    device = cfg["devices"][-1]["idDevices"]
    return {int(p["regAddr"]): int(p["idParameters"]) for p in cfg["parameters"] if p["idDevice"] == device}


class Sampler:
    """Reads getAllValues every `interval` s on a thread of its own and records every sample the
    program held, (idParameters, tick time in ms, flag), with the wall-clock ms when it was first
    seen; and every reply that was no values."""

    def __init__(self, program, interval=0.1):
        self.url = program.url("ajax.html?func=getAllValues")
        self.interval = interval
        self.samples = {}
        self.bad_replies = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        self._thread.join(30)

    def _run(self):
        while not self._stop.is_set():
            try:
                with urllib.request.urlopen(self.url, timeout=10) as r:
                    body = r.read()
            except OSError:
                if self._stop.is_set():
                    break
                time.sleep(self.interval)  # the program may be gone (killed)
                continue
            seen = time.time() * 1000
            if not body.startswith(b'{"') or body.startswith(b'{"error"'):
                if self.samples:  # before the run's first values: not yet running
                    self.bad_replies.append(body[:200])
            else:
                for pid, v in json.loads(body).items():
                    if v["flag"] != 1:
                        self.samples.setdefault((int(pid), int(v["time"]), int(v["flag"])), seen)
            self._stop.wait(self.interval)

    def wait_for(self, condition, timeout=30):
        """The samples meeting `condition`, once there is one."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = [s for s in list(self.samples) if condition(s)]
            if found:
                return found
            time.sleep(0.05)
        raise AssertionError("no such sample within the time")


def local_text(ms):
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ms // 1000))


def expected_rows(samples, period_ms, poll_ms, seen_before_ms):
    """The archive rows (idParameters, local time text) that the samples seen at or before
    `seen_before_ms` must have left, by the program's rule: a sample is due when its tick lies
    within one poll interval after the start of a period (a tick up to a twentieth of the poll
    interval short of it counts for it), or a period or more after the last row; its row carries
    the start of its period; jitter across a period start gives neither a second row nor a gap."""
    rows = set()
    step = max(period_ms, poll_ms)
    slack = poll_ms // 20
    ticks = {}
    for (pid, t, _), seen in list(samples.items()):
        if seen <= seen_before_ms:
            ticks.setdefault(pid, set()).add(t)
    for pid, times in ticks.items():
        last = last_tick = 0
        for t in sorted(times):
            if (t + slack) % period_ms >= poll_ms and not (last and t - last >= period_ms):
                continue
            start = (t + slack) - (t + slack) % step
            if last and start == last and t + 2 * slack >= start + step:
                start += step
            elif last and start == last + 2 * step and t < start and last_tick + 2 * slack >= last + step:
                start -= step
            if start <= last:
                continue
            rows.add((pid, local_text(start)))
            last, last_tick = start, t
    return rows


def archived(program):
    return set(program.query("SELECT idParameter, dateTime FROM ArchiveData WHERE flag <> 6"))


def doubled(program):
    """(idParameter, dateTime) pairs stored more than once."""
    return program.query("SELECT idParameter, dateTime, COUNT(*) FROM ArchiveData "
                         "GROUP BY idParameter, dateTime HAVING COUNT(*) > 1")
