"""What the archive tests share: a run configured over the web API, a sampler of the live values
that records which samples the program held, and the archive rows those samples must have."""

import json
import threading
import time
import urllib.request

SUCCESS = '{"success":true}'


def configure_run(program, peer_port, parameters, arch_interval, poll_ms=1000, start_with_program=False,
                  modbus_id=1, timeout=500, first_address=0):
    """One TCP connection and one device reading `parameters` holding registers from
    `first_address` in requests of up to 200 values, every parameter archived every
    `arch_interval` s. Returns {regAddr: idParameters}."""
    assert program.api("cfg_saveSetting", modbusPollInterval=str(poll_ms), modbusIterDelay="0",
                       defaultAppState="1" if start_with_program else "0") == SUCCESS
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(peer_port),
                       timeout=str(timeout)) == SUCCESS
    conn = json.loads(program.api("cfg_getConfiguredConnection"))["tcp"][-1]["idTCPConnections"]
    end = first_address + parameters
    iterations = [{"regAddr": a, "valuesCnt": min(200, end - a), "regType": 4, "regSize": 16,
                   "valSize": 16, "ModbusReadFunction": 3} for a in range(first_address, end, 200)]
    params = [{"regAddr": a, "unit": "V", "archInterval": arch_interval} for a in range(first_address, end)]
    assert program.api("cfg_addNewDevice", name="meter", ModbusId=str(modbus_id), connectionType="tcp",
                       idOfConnection=str(conn), isActive="1", readIterations=json.dumps(iterations),
                       parameters=json.dumps(params)) == SUCCESS
    cfg = json.loads(program.api("cfg_getDevCfg"))
    device = cfg["devices"][-1]["idDevices"]
    return {int(p["regAddr"]): int(p["idParameters"]) for p in cfg["parameters"] if p["idDevice"] == device}


class Sampler:
    """Reads getAllValues every `interval` s on a thread of its own and records every sample the
    program held, (idParameters, tick time in ms, flag), with the wall-clock ms when it was first
    seen, and its value in `values` by (idParameters, tick time in ms); and every reply that was
    no values."""

    def __init__(self, program, interval=0.1):
        self.url = program.url("ajax.html?func=getAllValues")
        self.interval = interval
        self.samples = {}
        self.values = {}
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
                        self.values.setdefault((int(pid), int(v["time"])), v["valBase"])
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


def archive_gaps(samples, rows, interval_ms, poll_ms, seen_before_ms, stopped=False):
    """(due, missing): the periods {(idParameters, local time text)} that the ticks seen at or
    before `seen_before_ms` must have rows for, whatever the rule did with each tick, and those
    of them without a row in `rows` ({(idParameter, dateTime)}). Every period a tick fell in has
    a row from the first tick in a window on (less than one poll interval after the start of an
    archive interval); a period is the archive interval, or the poll interval when longer. The
    last tick seen, when it came within a twentieth of the poll interval after a period start,
    may still wait for the next tick to tell whether it stands in for the period before: its
    period is due only once the run was `stopped` after it."""
    period = max(interval_ms, poll_ms)
    slack = poll_ms // 20
    ticks = {}
    for (pid, t, _), seen in list(samples.items()):
        if seen <= seen_before_ms:
            ticks.setdefault(pid, set()).add(t)
    due = set()
    for pid, times in ticks.items():
        times = sorted(times)
        window = next((i for i, t in enumerate(times) if t % interval_ms < poll_ms), None)
        if window is None:
            continue
        times = times[window:]
        if not stopped and times[-1] % period < slack:
            times = times[:-1]
        due |= {(pid, local_text(t - t % period)) for t in times}
    return due, due - set(rows)


def period_faults(ticks, values, rows, interval_ms, poll_ms):
    """What breaks the rule's promises for one parameter, whatever its ticks did: `ticks` are the
    tick times seen (ms), `values` maps those whose read succeeded to the value read, each its
    own (a counting register); `rows` are its stored (time in ms, value, flag). Every period a
    tick fell in has exactly one row from the run's first row on (that one from a tick in a
    window); a row's value was read in its period, or within a twentieth of the poll interval of
    its boundary when no tick fell in the period; no read gives two rows. Rows of failed reads
    and of reads not seen are checked for their time only."""
    period = max(interval_ms, poll_ms)
    slack = poll_ms // 20
    tick_of = {v: t for t, v in values.items()}
    faults = []
    starts = [start for start, _, _ in rows]
    if len(set(starts)) != len(starts):
        faults.append(("two rows at one time", sorted(starts)))
    read_at = {start: tick_of[v] for start, v, flag in rows if flag == 0 and v in tick_of}
    if len(set(read_at.values())) != len(read_at):
        faults.append(("a read gave two rows", sorted(read_at.items())))
    if not rows:
        return faults + [("no rows", sorted(ticks))]
    first_start = min(starts)
    first_tick = read_at.get(first_start)
    if first_tick is not None and first_tick % interval_ms >= poll_ms:
        faults.append(("the first row is from no window", first_tick))
    ticks = sorted(ticks)
    for t in ticks:
        if t >= first_start and t - t % period not in starts:
            faults.append(("no row for the period of a tick", t))
    for start, t in read_at.items():
        if start <= t < start + period:
            continue
        near = start - slack <= t < start or start + period <= t < start + period + slack
        if not near or any(start <= u < start + period for u in ticks):
            faults.append(("a row from a tick outside its period", start, t))
    return faults


def archived(program):
    return set(program.query("SELECT idParameter, dateTime FROM ArchiveData WHERE flag <> 6"))


def doubled(program):
    """(idParameter, dateTime) pairs stored more than once."""
    return program.query("SELECT idParameter, dateTime, COUNT(*) FROM ArchiveData "
                         "GROUP BY idParameter, dateTime HAVING COUNT(*) > 1")
