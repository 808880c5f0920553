"""The e-mail queue worker: three failed attempts and their warning line, and one mail per check."""

import json
import socket

from korvalen import wait_until
from smtp_peers import smtp_servers  # noqa: F401 (fixture)
from test_polling import configure, start

SUCCESS = '{"success":true}'


def mail_run(program, port, alarms=1, **account):
    """Polling with alarms that are active at once and mail at activation, through the account."""
    configure(program)
    assert program.api("cfg_saveSMTPSetting", serverName="127.0.0.1", port=str(port), security="0",
                       sourceEmailAddress="alarm@korvalen.test", **account) == SUCCESS
    cfg = [{"name": f"A{i}", "desc": "", "priority": 1, "exp_on": "1 > 0", "exp_off": "", "sedMailCond": 1,
            "mailRecipients": "ops@korvalen.test", "mailSubject": ""} for i in range(alarms)]
    assert program.api("cfg_saveAlarmsCfg", cfg=json.dumps(cfg)) == SUCCESS
    start(program)


def lines(program, kind):
    return [m for (m,) in program.query("SELECT message FROM Logs WHERE type = ? ORDER BY idLogs", (kind,))]


def test_failed_attempts_and_one_mail_per_check(program_factory, smtp_servers):
    """Four runs side by side, since a check comes only every 10 s."""
    # Bound but not listening: connections are refused, and no server started later can be given
    # this port, as it could be one only looked up as free.
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    refusing = program_factory("refusing").start().started()
    mail_run(refusing, closed.getsockname()[1])

    login_server = smtp_servers(user="ann", password="right", auth_required=True)
    login = program_factory("login").start().started()
    mail_run(login, login_server.port, username="ann", password="wrong")

    data_server = smtp_servers(user="ann", password="right", auth_required=True)
    transfer = program_factory("transfer").start().started()
    mail_run(transfer, data_server.port)  # no login: the server refuses the mail

    good_server = smtp_servers()
    # Its debug lines tell the checks apart when the timing check below fails.
    two = program_factory("two", env={"QT_LOGGING_RULES": "default.debug=true",
                                      "QT_MESSAGE_PATTERN": "%{time process} %{message}"}).start().started()
    mail_run(two, good_server.port, alarms=2)

    # One mail per check: the second moves into the first one's place and waits for the next.
    first = good_server.recorder.wait_for_messages(1, timeout=25)
    assert len(first) == 1
    assert first[0][2]["Subject"] == "Alarm notification from Korvalen"
    good_server.recorder.wait_for_messages(2, timeout=25)
    # Not in the same check. Measured from the start of each sending: on a busy machine one
    # dialogue alone may take seconds.
    starts = good_server.recorder.starts
    assert starts[1] - starts[0] > 5, (starts, [line for line in two.lines if "mail" in line.lower()])
    wait_until(lambda: lines(two, "info").count("Mail send") == 2, timeout=15)

    expected = {refusing: "Unable to send mail. (Failed to connect to SMTP server.)",
                login: "Unable to send mail. (Failed to login.)",
                transfer: "Unable to send mail. ()"}
    for program, warning in expected.items():
        try:
            wait_until(lambda: lines(program, "warn") == [warning], timeout=45)
        except AssertionError:
            raise AssertionError(f"{program.directory}: warn {lines(program, 'warn')} info {lines(program, 'info')}"
                                 f" output {program.lines[-30:]}")
        assert "Mail send" not in lines(program, "info")
    assert len(login_server.recorder.logins) == 3  # one per check
    assert login_server.messages == [] and data_server.messages == []
    assert lines(two, "warn") == []
    closed.close()
