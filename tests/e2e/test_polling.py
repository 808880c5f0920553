"""Polling runs against real Modbus peers: a pymodbus TCP server and a pymodbus RTU server on a
pty pair."""

import json
import sqlite3
import time

import pytest

from korvalen import Client, wait_until
from peers import PtyPair, rtu_peer, tcp_peer

SUCCESS = '{"success":true}'
VISUAL = '{"error":true,"message":"App is in visual mode"}'
POLL_MS = 1000


def configure(program, poll_ms=POLL_MS, delay_ms=0):
    assert program.api("cfg_saveSetting", modbusPollInterval=str(poll_ms), modbusIterDelay=str(delay_ms)) == SUCCESS


def add_tcp(program, port, timeout=500):
    assert program.api("cfg_addNewTcpConnection", ip="127.0.0.1", portTCP=str(port), timeout=str(timeout)) == SUCCESS
    return json.loads(program.api("cfg_getConfiguredConnection"))["tcp"][-1]["idTCPConnections"]


def add_serial(program, device, timeout=500):
    assert program.api("cfg_addNewSerialConnection", serialPort=device, baudRate="9600", parity="N", stopBits="1",
                       timeout=str(timeout)) == SUCCESS
    return json.loads(program.api("cfg_getConfiguredConnection"))["serial"][-1]["idSerialConnections"]


def add_device(program, kind, connection, iterations, parameters, modbus_id=1, active=1, name="meter"):
    assert program.api("cfg_addNewDevice", name=name, ModbusId=str(modbus_id), connectionType=kind,
                       idOfConnection=str(connection), isActive=str(active), readIterations=json.dumps(iterations),
                       parameters=json.dumps(parameters)) == SUCCESS
    return json.loads(program.api("cfg_getDevCfg"))["devices"][-1]["idDevices"]


def param_ids(program, device):
    return {int(p["regAddr"]): p["idParameters"] for p in json.loads(program.api("cfg_getDevCfg"))["parameters"]
            if p["idDevice"] == device}


def values(program):
    reply = program.api("getAllValues")
    return json.loads(reply)


def start(program):
    assert program.api("startPolling") == SUCCESS
    wait_until(lambda: json.loads(program.api("getAppState")) == {"state": "running"}, timeout=10)
    return time.monotonic()


def stop(program, timeout=30):
    assert program.api("stopPolling") == SUCCESS
    wait_until(lambda: json.loads(program.api("getAppState")) == {"state": "idle"}, timeout=timeout)


def holding(reg_addr, count, reg_type=4, function=3):
    return {"regAddr": reg_addr, "valuesCnt": count, "regType": reg_type, "regSize": 16, "valSize": 16,
            "ModbusReadFunction": function}


def line_setup(program, kind, peer):
    if kind == "tcp":
        return "tcp", add_tcp(program, peer.port)
    return "serial", add_serial(program, peer.line_device)


@pytest.mark.parametrize("kind", ["tcp", "rtu"])
def test_a_polling_run(program, kind, request):
    peer = request.getfixturevalue(kind)
    configure(program)
    conn_kind, conn = line_setup(program, kind, peer)
    device = add_device(program, conn_kind, conn,
                        [holding(10, 3), holding(20, 2, function=4),
                         {"regAddr": 1000, "valuesCnt": 1, "regType": 2, "regSize": 16, "valSize": 32,
                          "ModbusReadFunction": 3}],
                        [{"regAddr": 10, "unit": "V", "archInterval": 1}, {"regAddr": 11, "unit": "A"},
                         {"regAddr": 12, "unit": "W", "archInterval": 1}, {"regAddr": 20, "unit": ""},
                         {"regAddr": 21, "unit": ""}, {"regAddr": 1000, "unit": "V"}])
    ids = param_ids(program, device)
    assert values(program) == {"error": True, "message": "Visual mode disabled."}

    for run in range(2):  # a run, and the same again after its stop
        t0 = start(program)
        first = values(program)
        assert set(first) == set(ids.values())
        wait_until(lambda: all(v["flag"] == 0 for v in values(program).values()), timeout=10)
        assert time.monotonic() - t0 <= 2 * POLL_MS / 1000 + 0.5
        v = values(program)
        assert [v[ids[a]]["valBase"] for a in (10, 11, 12)] == [10.0, 11.0, 12.0]
        assert [v[ids[a]]["valBase"] for a in (20, 21)] == [10020.0, 10021.0]
        assert v[ids[1000]]["valBase"] == 230.5
        stats = json.loads(program.api("getModbusStats"))
        assert len(stats) == 1 and stats[0]["deviceId"] == int(device)
        assert stats[0]["chanType"] == conn_kind and stats[0]["chanId"] == int(conn)
        assert stats[0]["poolsCnt"] >= 3 and stats[0]["validRespCnt"] == stats[0]["poolsCnt"]
        stop(program)  # writes the queued archive rows
        assert program.query("SELECT COUNT(*) FROM ArchiveData WHERE flag = 0")[0][0] >= 2 * (run + 1)
        assert program.api("getModbusStats") == "[]"
        assert values(program) == {"error": True, "message": "Visual mode disabled."}

    rows = program.query("SELECT idParameter, flag, dateTime FROM ArchiveData ORDER BY idArchiveData")
    archived = {int(ids[10]), int(ids[12])}
    assert {r[0] for r in rows} == archived
    breaks = [r for r in rows if r[1] == 6]
    assert len(breaks) == 2 * len(archived)  # one per archived value at each of the two stops
    assert all(r[1] in (0, 6) for r in rows)


def test_the_run_starts_with_the_program_when_the_stored_state_is_1(program_factory, tcp):
    p = program_factory().start().started()
    conn = add_tcp(p, tcp.port)
    device = add_device(p, "tcp", conn, [holding(10, 1)], [{"regAddr": 10}])
    assert p.api("cfg_saveSetting", modbusPollInterval="1000", modbusIterDelay="0", defaultAppState="1") == SUCCESS
    assert p.api("getAppState") == '{"state":"idle"}'  # only the next start reads it
    assert p.stop() == 0
    again = program_factory(write_cfg=False).start().started()
    assert again.api("getAppState") == '{"state":"running"}'
    pid = param_ids(again, device)[10]
    wait_until(lambda: values(again)[pid]["flag"] == 0, timeout=10)
    assert again.stop() == 0  # quitting stops the run and writes its archive


def test_a_silent_channel_does_not_slow_down_a_healthy_one(program, tcp, request):
    other = tcp_peer()
    request.addfinalizer(other.stop)
    configure(program)
    healthy = add_tcp(program, tcp.port, timeout=500)
    silent = add_tcp(program, other.port, timeout=3000)  # the same address: channels must not share a flag
    good = add_device(program, "tcp", healthy, [holding(10, 1)], [{"regAddr": 10}], name="good")
    dead = add_device(program, "tcp", silent, [holding(10, 1)], [{"regAddr": 10}], modbus_id=7, name="dead")
    good_id, dead_id = param_ids(program, good)[10], param_ids(program, dead)[10]
    start(program)
    seen = set()
    deadline = time.monotonic() + 6
    while time.monotonic() < deadline:
        v = values(program)
        if v[good_id]["flag"] == 0:
            seen.add(v[good_id]["time"])
        time.sleep(0.1)
    # about one cycle a second for the healthy channel, whatever the other one does
    assert len(seen) >= 4
    wait_until(lambda: values(program)[dead_id]["flag"] == 3, timeout=10)
    stop(program)


def test_a_silent_slave_is_flagged_and_its_later_requests_skipped(program, tcp):
    configure(program)
    conn = add_tcp(program, tcp.port, timeout=300)
    first = add_device(program, "tcp", conn, [holding(10, 2), holding(12, 1)], [{"regAddr": r} for r in (10, 11, 12)],
                       modbus_id=7, name="silent")
    healthy = add_device(program, "tcp", conn, [holding(30, 2)], [{"regAddr": 30}, {"regAddr": 31}], name="ok")
    again = add_device(program, "tcp", conn, [holding(20, 1)], [{"regAddr": 20}], modbus_id=7, name="silent again")
    ids = {d: param_ids(program, d) for d in (first, healthy, again)}
    start(program)
    wait_until(lambda: values(program)[ids[healthy][30]]["flag"] == 0, timeout=10)
    wait_until(lambda: json.loads(program.api("getModbusStats")) and
               {s["deviceId"]: s for s in json.loads(program.api("getModbusStats"))}[int(first)]["poolsCnt"] >= 2,
               timeout=15)
    v = values(program)
    # the time-out, and the same slave's next request in the cycle, not sent, flagged alike
    assert [v[ids[first][r]]["flag"] for r in (10, 11, 12)] == [3, 3, 3]
    assert [v[ids[healthy][r]]["flag"] for r in (30, 31)] == [0, 0]
    # after a success in between, the last result was 0: flag 4, still not sent
    assert v[ids[again][20]]["flag"] == 4
    stats = {s["deviceId"]: s for s in json.loads(program.api("getModbusStats"))}
    cycles = stats[int(healthy)]["poolsCnt"]
    assert abs(stats[int(first)]["poolsCnt"] - cycles) <= 1  # one request a cycle, not two
    assert stats[int(first)]["validRespCnt"] == 0
    assert stats[int(again)]["poolsCnt"] == 0
    stop(program)


def test_a_missing_serial_port_gives_flag_5(program, tmp_path):
    configure(program)
    conn = add_serial(program, str(tmp_path / "no-such-tty"))
    device = add_device(program, "serial", conn, [holding(10, 2)], [{"regAddr": 10}, {"regAddr": 11}])
    start(program)
    wait_until(lambda: all(v["flag"] == 5 for v in values(program).values()), timeout=10)
    wait_until(lambda: json.loads(program.api("getModbusStats"))[0]["poolsCnt"] >= 1, timeout=10)
    assert json.loads(program.api("getModbusStats"))[0]["validRespCnt"] == 0
    assert program.api("resetAllStats") == SUCCESS
    assert json.loads(program.api("getModbusStats"))[0]["deviceId"] == int(device)
    stop(program)


def test_inactive_devices_and_unused_connections(program, tcp):
    configure(program)
    used = add_tcp(program, tcp.port)
    add_tcp(program, tcp.port + 1)  # referenced by no device
    inactive = add_device(program, "tcp", used, [holding(10, 1)], [{"regAddr": 10}], active=0)
    start(program)
    assert values(program) == {}
    stats = json.loads(program.api("getModbusStats"))
    assert [(s["chanId"], s["deviceId"], s["poolsCnt"]) for s in stats] == [(int(used), int(inactive), 0)]
    stop(program)


@pytest.mark.parametrize("kind, units", [("tcp", (0, 247, 255)), ("rtu", (1, 247))])
def test_the_edge_unit_ids_of_each_line_are_read(program, tmp_path, request, kind, units):
    served = ["--units=" + ",".join(str(u) for u in units)]
    if kind == "tcp":
        peer = tcp_peer(extra=served)
        request.addfinalizer(peer.stop)
        conn_kind, conn = "tcp", add_tcp(program, peer.port)
    else:
        pair = PtyPair(tmp_path)
        request.addfinalizer(pair.stop)
        request.addfinalizer(rtu_peer(pair, extra=served).stop)
        conn_kind, conn = "serial", add_serial(program, pair.line_device)
    configure(program)
    devices = {unit: add_device(program, conn_kind, conn, [holding(10, 2)], [{"regAddr": 10}, {"regAddr": 11}],
                                modbus_id=unit, name=f"unit {unit}") for unit in units}
    ids = {unit: param_ids(program, d) for unit, d in devices.items()}
    start(program)
    wait_until(lambda: all(v["flag"] == 0 for v in values(program).values()), timeout=10)
    v = values(program)
    # each unit's own registers: the address, plus 20000 + 100 * unit for units other than 1
    for unit in units:
        base = 0 if unit == 1 else 20000 + 100 * unit
        assert [v[ids[unit][a]]["valBase"] for a in (10, 11)] == [base + 10.0, base + 11.0]
    stop(program)


def test_a_device_on_no_line_is_passed_over(program, tcp):
    configure(program)
    conn = add_tcp(program, tcp.port)
    polled = add_device(program, "tcp", conn, [holding(10, 1)], [{"regAddr": 10}], name="polled")
    waiting = add_device(program, "", 0, [holding(20, 1)], [{"regAddr": 20}], name="no line yet")
    # An imported configuration may hold connections with key 0: they are not the device's.
    con = sqlite3.connect(program.db_path)
    con.execute("INSERT INTO TCPConnections VALUES (0, 'zero', '127.0.0.1', ?, 500)", (tcp.port,))
    con.execute("INSERT INTO SerialConnections VALUES (0, 'zero', 'ttyNone', 9600, 'N', 1, 500)")
    con.commit()
    con.close()
    polled_id, waiting_id = param_ids(program, polled)[10], param_ids(program, waiting)[20]
    start(program)
    wait_until(lambda: values(program)[polled_id]["flag"] == 0, timeout=10)
    wait_until(lambda: json.loads(program.api("getModbusStats"))[0]["poolsCnt"] >= 2, timeout=10)
    assert values(program)[waiting_id]["flag"] == 1  # never read
    stats = json.loads(program.api("getModbusStats"))
    assert [(s["chanType"], s["chanId"], s["deviceId"]) for s in stats] == [("tcp", int(conn), int(polled))]
    stop(program)


def test_configuration_is_refused_while_polling(program, tcp):
    viewer_setup = Client(program)
    assert viewer_setup.api("cfg_addNewUser", username="viewer", permissions="1") == SUCCESS
    uid = [u["idUsers"] for u in json.loads(viewer_setup.api("cfg_getUsersCfg")) if u["username"] == "viewer"][0]
    assert viewer_setup.api("cfg_setUserPass", id=uid, password="v") == SUCCESS
    configure(program)
    conn = add_tcp(program, tcp.port)
    add_device(program, "tcp", conn, [holding(10, 1)], [{"regAddr": 10}])
    start(program)
    for func in ["cfg_addNewDevice", "cfg_saveSetting", "cfg_viewNameExists", "cfg_clearDatabase"]:
        assert program.api(func) == VISUAL
    assert json.loads(program.api("cfg_getDevCfg"))["devices"]
    assert program.upload("importConfig.html", "a.sql", b"")[2].decode() == VISUAL

    assert program.api("cfg_saveSetting") == VISUAL  # sessions cannot be switched on now
    stop(program)
    assert program.api("cfg_saveSetting", modbusPollInterval="1000", modbusIterDelay="0",
                       sessionEnabled="1") == SUCCESS
    admin = Client(program)
    assert admin.login("Admin")[2] == b'{"success":true}'
    viewer = Client(program)
    assert viewer.login("viewer", "v")[2] == b'{"success":true}'
    assert admin.api("startPolling") == SUCCESS
    wait_until(lambda: admin.api("getAppState") == '{"state":"running"}', timeout=10)
    assert viewer.api("cfg_addNewDevice") == VISUAL  # visual mode is tested first
    assert viewer.api("stopPolling") == SUCCESS  # read-only callers may stop a run
    wait_until(lambda: admin.api("getAppState") == '{"state":"idle"}', timeout=30)


def test_a_busy_channel_skips_ticks(program_factory, tcp):
    p = program_factory(env={"QT_LOGGING_RULES": "korvalen.polling.cycle.debug=true"}).start().started()
    configure(p)
    conn = add_tcp(p, tcp.port, timeout=2500)
    add_device(p, "tcp", conn, [holding(10, 1)], [{"regAddr": 10}], modbus_id=9)
    start(p)
    p.wait_for_line(r"Skipping read request for:\s+\"?127\.0\.0\.1", timeout=15)
    stop(p)


# The start and stop lines are debug output, off unless asked for.
DEBUG_LINES = {"QT_LOGGING_RULES": "default.debug=true"}


def test_start_and_stop_repeated(program_factory, tcp):
    program = program_factory(env=DEBUG_LINES).start().started()
    configure(program)
    conn = add_tcp(program, tcp.port)
    device = add_device(program, "tcp", conn, [holding(10, 1)], [{"regAddr": 10}])
    pid = param_ids(program, device)[10]
    for _ in range(3):
        start(program)
        assert values(program)[pid]["flag"] == 1  # a new buffer: no value yet
        assert program.api("startPolling") == SUCCESS  # a start while running does nothing
        wait_until(lambda: values(program)[pid]["flag"] == 0, timeout=10)
        stop(program)
    assert program.output().count("Polling started") == 3


def test_start_and_stop_in_one_tick(program_factory, tcp):
    program = program_factory(env=DEBUG_LINES).start().started()
    configure(program)
    conn = add_tcp(program, tcp.port)
    add_device(program, "tcp", conn, [holding(10, 1)], [{"regAddr": 10}])
    assert program.api("startPolling") == SUCCESS
    assert program.api("stopPolling") == SUCCESS
    program.wait_for_line(r"Polling started", timeout=10)
    program.wait_for_line(r"stop polling\(\) \*", timeout=10)
    assert program.api("getAppState") == '{"state":"idle"}'
    out = program.output()
    assert out.index("Polling started") < out.index("***** stop polling() *****")


def test_debug_lines_are_off_unless_asked_for(program_factory, tcp):
    # A trusted proxy that is no address gives an error line of the configuration check: those stay on.
    quiet = program_factory("quiet", config={"listener": {"trustedProxies": "nonsense"}}).start().started()
    loud = program_factory("loud", env=DEBUG_LINES).start().started()
    for p in (quiet, loud):
        configure(p)
        device = add_device(p, "tcp", add_tcp(p, tcp.port), [holding(10, 1)], [{"regAddr": 10}])
        pid = param_ids(p, device)[10]
        start(p)
        wait_until(lambda: values(p)[pid]["flag"] == 0, timeout=10)
        stop(p)
    loud.wait_for_line("Hello World from")
    loud.wait_for_line(r"\*\*\*\* m_pReadBuffer address")
    quiet.wait_for_line('config.ini, group \\[listener\\], key trustedProxies: the value "nonsense" is no '
                        'IPv4 or IPv6 address; what is no address is left out.')
    assert quiet.stop() == 0
    out = quiet.final_output()
    assert "Hello World from" not in out and "m_pReadBuffer" not in out
    assert "stop polling()" not in out


@pytest.mark.parametrize("delay_ms", [10, 0])
def test_pauses_between_the_requests_of_a_cycle(program, tmp_path, request, delay_ms):
    log = tmp_path / "fault.log"
    faults = tcp_peer("fault_peer.py", [str(log)])
    request.addfinalizer(faults.stop)
    configure(program, poll_ms=1000, delay_ms=delay_ms)
    conn = add_tcp(program, faults.port)
    add_device(program, "tcp", conn, [holding(10, 1), holding(20, 1), holding(30, 1)],
               [{"regAddr": r} for r in (10, 20, 30)])
    start(program)
    times = tmp_path / "fault.log.times"
    wait_until(lambda: times.exists() and len(times.read_text().splitlines()) >= 6, timeout=15)
    stop(program)
    requests = [(float(l.split()[0]), int(l.split("addr=")[1].split()[0])) for l in times.read_text().splitlines()]
    cycle = [t for t, addr in requests[:3]]
    assert [addr for _, addr in requests[:3]] == [10, 20, 30]
    gaps = [b - a for a, b in zip(cycle, cycle[1:])]
    # the pause before every request but the first: modbusIterDelay + 20 ms
    assert all(g >= delay_ms + 20 - 1 for g in gaps), gaps
    assert all(g < delay_ms + 20 + 250 for g in gaps), gaps
    # the next cycle starts with the next tick, not after a pause of its own
    assert requests[3][0] - cycle[0] >= 900


def unreachable_port(request):
    """A port whose listener never accepts and whose queue is full: connects wait until their
    time-out, as with a host that drops every packet."""
    import socket
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    fillers = []
    for _ in range(3):
        filler = socket.socket()
        filler.setblocking(False)
        try:
            filler.connect(("127.0.0.1", port))
        except BlockingIOError:
            pass
        fillers.append(filler)
    request.addfinalizer(lambda: [s.close() for s in fillers + [listener]])
    return port


def test_sigterm_during_a_cycle_on_dead_lines_ends_the_run_at_once(program, request):
    # Five slaves behind an unreachable address: one cycle takes about 20 s.
    configure(program)
    connection = add_tcp(program, unreachable_port(request), timeout=2000)
    for slave in range(1, 6):
        add_device(program, "tcp", connection, [holding(0, 1)], [{"regAddr": 0, "unit": "V", "archInterval": 1}],
                   modbus_id=slave, name=f"m{slave}")
    start(program)
    # The first slave has failed: the cycle is in its second request.
    wait_until(lambda: any(s["poolsCnt"] >= 1 for s in json.loads(program.api("getModbusStats"))), timeout=15)
    started = time.monotonic()
    assert program.stop() == 0
    assert time.monotonic() - started < 8
    # The stop still wrote a session break for every parameter of the plan.
    assert program.query("SELECT COUNT(*) FROM ArchiveData WHERE flag = 6") == [(5,)]
