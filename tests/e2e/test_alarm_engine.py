"""The alarm engine over live values from a pymodbus server: states, log lines, confirmations and
mails through an aiosmtpd server; an expression that never ends."""

import json
import time

from korvalen import wait_until
from peers import write_register
from smtp_peers import smtp_servers  # noqa: F401 (fixture)
from test_polling import add_device, add_tcp, configure, holding, param_ids, start, stop, values

SUCCESS = '{"success":true}'
SENDER = "alarm@korvalen.test"


def save_alarms(program, alarms):
    defaults = {"desc": "", "priority": 1, "exp_off": "", "sedMailCond": 0, "mailRecipients": "", "mailSubject": ""}
    cfg = [dict(defaults, **a) for a in alarms]
    assert program.api("cfg_saveAlarmsCfg", cfg=json.dumps(cfg)) == SUCCESS


def states(program):
    return json.loads(program.api("getAlarmsStates"))


def log_lines(program, kind):
    return [m for (m,) in program.query("SELECT message FROM Logs WHERE type = ? ORDER BY idLogs", (kind,))]


def meter(program, tcp):
    """A device reading holding registers 10 and 11 (10 named "P1"); its id and parameter ids."""
    configure(program)
    conn = add_tcp(program, tcp.port)
    device = add_device(program, "tcp", conn, [holding(10, 2)], [{"regAddr": 10, "nameId": "P1"}, {"regAddr": 11}])
    return device, param_ids(program, device)


def test_an_alarm_over_a_live_value_is_logged_and_mailed(program, tcp, smtp_servers):
    server = smtp_servers()
    device, _ = meter(program, tcp)
    assert program.api("cfg_saveSMTPSetting", serverName="127.0.0.1", port=str(server.port), security="0",
                       sourceEmailAddress=SENDER) == SUCCESS
    save_alarms(program, [{"name": 'Over "load" \\', "desc": "P1 high", "priority": 2,
                           "exp_on": f"{{{device}$P1}} > 100", "sedMailCond": 3,
                           "mailRecipients": "a@x.test,,b@x.test", "mailSubject": "Überlast ⚡ L1"}])
    start(program)
    assert states(program) == []

    write_register(tcp, 10, 150)
    active = wait_until(lambda: states(program), timeout=15)
    assert active == [{"id": 1, "flag": 1, "setTime": active[0]["setTime"], "endTime": "---",
                       "name": 'Over "load" \\', "desc": "P1 high", "priority": 2}]
    set_time = active[0]["setTime"]
    # The log line is written after the state changed: wait for it too.
    assert wait_until(lambda: log_lines(program, "alarm")) == \
        ['Alarm \\"Over \\"load\\" \\\\\\" is <strong>active<\\/strong> (P1 high)']

    # The first check of the queue comes 10 s after the start of polling.
    _, recipients, message = server.recorder.wait_for_messages(1, timeout=25)[0]
    assert recipients == ["a@x.test", "b@x.test"]
    assert message["Subject"] == "Überlast ⚡ L1"
    assert message["From"].addresses[0].display_name == "Korvalen"
    assert message["From"].addresses[0].addr_spec == SENDER
    assert [a.addr_spec for a in message["To"].addresses] == ["a@x.test", "b@x.test"]
    assert message.get_content_type() == "text/html"
    body = message.get_content()
    assert body.startswith("<!DOCTYPE html><html><head>")
    assert f'<body><p style="color: red;">({set_time}) Alarm "Over "load" \\" is <strong>active</strong> ' \
           f'(P1 high)</p></body></html>' in body
    wait_until(lambda: "Mail send" in log_lines(program, "info"))

    write_register(tcp, 10, 5)
    ended = wait_until(lambda: [a for a in states(program) if a["flag"] == 2], timeout=15)[0]
    assert ended["setTime"] == set_time and ended["endTime"] >= set_time
    wait_until(lambda: len(log_lines(program, "alarm")) == 2)
    end_mail = server.recorder.wait_for_messages(2, timeout=25)[1][2].get_content()
    # The end notice shows the activation time.
    assert f'<p>({set_time}) Alarm "Over "load" \\" is <strong>inactive</strong> (P1 high)</p>' in end_mail

    assert program.api("confirmAlarm", id="1") == SUCCESS
    assert states(program) == []
    assert program.api("confirmAlarm", id="7") == '{"error":true,"message":"Didn\'t found alarm id"}'
    stop(program)
    assert program.api("confirmAlarm", id="1") == '{"error":true,"message":"Didn\'t found alarm id"}'


def test_an_endless_expression_is_stopped_and_everything_else_goes_on(program, tcp):
    device, ids = meter(program, tcp)
    save_alarms(program, [{"name": "endless", "exp_on": "for(;;);", "exp_off": "for(;;);"},
                          {"name": "by register", "exp_on": f"{{{device}$10}} > 100"},
                          {"name": "unknown", "exp_on": "{99$10} > 0"}])
    start(program)
    unknown = wait_until(lambda: [a for a in states(program) if a["name"] == "unknown"], timeout=15)[0]
    assert unknown["flag"] == 1
    assert unknown["desc"] == "*** INVALID CONFIGURATION (unknown parameter: {99$10}) ***"

    write_register(tcp, 10, 150)
    wait_until(lambda: [a for a in states(program) if a["name"] == "by register" and a["flag"] == 1], timeout=15)
    write_register(tcp, 10, 5)
    wait_until(lambda: [a for a in states(program) if a["name"] == "by register" and a["flag"] == 2], timeout=15)
    assert "endless" not in [a["name"] for a in states(program)]

    # The ticks keep their interval: every value carries its tick's time.
    pid = ids[10]
    times = []
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        t = values(program)[pid]["time"]
        if not times or t != times[-1]:
            times.append(t)
        time.sleep(0.05)
    steps = [b - a for a, b in zip(times[1:], times[2:])]
    assert len(steps) >= 3 and all(900 <= s <= 1100 for s in steps), steps

    stopped = wait_until(lambda: [m for m in log_lines(program, "warn") if "endless" in m])
    assert stopped == ['Alarm \\"endless\\": the expression did not end within 100 ms and counts as false']
    t0 = time.monotonic()
    stop(program)
    assert time.monotonic() - t0 < 5


def test_smtp_not_configured(program):
    configure(program)
    save_alarms(program, [{"name": "always", "exp_on": "1 > 0", "sedMailCond": 1, "mailRecipients": "a@x.test"},
                          {"name": "never mailed", "exp_on": "1 > 0", "sedMailCond": 2, "mailRecipients": "a@x.test"}])
    start(program)
    wait_until(lambda: log_lines(program, "warn") == ["SMTP not configured."])
    wait_until(lambda: len(log_lines(program, "alarm")) == 2)
    stop(program)
    assert log_lines(program, "warn") == ["SMTP not configured."]
