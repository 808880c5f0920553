"""SMTP settings and the test mail, against aiosmtpd servers: plain, TLS from the first byte and
STARTTLS, with a self-signed certificate that the program trusts through SSL_CERT_FILE."""

import json
import threading

import pytest

from korvalen import Program, free_port, wait_until
from smtp_peers import HeldGreeting, InjectingSMTP, make_certificate, server_context
from smtp_peers import smtp_servers  # noqa: F401 (fixture)

SUCCESS = '{"success":true}'
SENDER = "alarm@korvalen.test"
TO = "ops@korvalen.test"


def error(message):
    return json.dumps({"error": True, "message": message}, separators=(",", ":"))


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    directory = tmp_path_factory.mktemp("certs")
    return {"trusted": make_certificate(directory, "trusted"), "untrusted": make_certificate(directory, "untrusted")}


@pytest.fixture(scope="module")
def mailer(tmp_path_factory, certs):
    """One program for the test mails, trusting the "trusted" certificate."""
    p = Program(tmp_path_factory.mktemp("mailer") / "app", env={"SSL_CERT_FILE": certs["trusted"][0]})
    p.start().started()
    yield p
    p.kill()


def output_since(program, count, text):
    """Waits until an output line after the first `count` ones contains `text`."""
    wait_until(lambda: any(text in line for line in program.lines[count:]), timeout=10)


def send_test_mail(program, port, security=0, user="", password="", sender=SENDER, to=TO):
    return program.api("sendTestEmail", serverName="127.0.0.1", port=str(port), security=str(security),
                       username=user, password=password, sourceEmailAddress=sender, testEmailAddress=to)


DEFAULT_ROW = {"idSMTP": "1", "serverName": "", "port": "587", "security": "1", "username": "", "password": "",
               "sourceEmailAddress": ""}


def test_a_fresh_database_has_the_default_row(program):
    reply = program.api("cfg_getSMTPSetting")
    assert not reply.startswith("[")
    assert json.loads(reply) == DEFAULT_ROW


@pytest.mark.parametrize("text", ['a"b\\c', "%1 %2 it's", "zażółć ⚡", "line\nbreak\ttab"])
def test_saved_settings_read_back_as_valid_json(program, text):
    values = {"serverName": "smtp." + text, "port": "2525", "security": "2", "username": "u" + text,
              "password": "p" + text, "sourceEmailAddress": text + "@x"}
    assert program.api("cfg_saveSMTPSetting", **values) == SUCCESS
    assert json.loads(program.api("cfg_getSMTPSetting")) == dict(values, idSMTP="1")


def test_missing_port_and_security_store_0(program):
    assert program.api("cfg_saveSMTPSetting", serverName="h", sourceEmailAddress="s@x") == SUCCESS
    assert program.query("SELECT serverName, port, security, username, sourceEmailAddress FROM SMTP") == \
        [("h", 0, 0, "", "s@x")]


@pytest.mark.parametrize("field, value, details", [
    ("port", "70000", "port: 70000 is not within 0 to 65535"),
    ("port", "-1", "port: -1 is not within 0 to 65535"),
    ("security", "7", "security: 7 is not within 0 to 2"),
    ("security", "65537", "security: 65537 is not within 0 to 2"),
])
def test_values_no_client_can_use_are_refused(program, field, value, details):
    values = {"serverName": "h", "port": "25", "security": "0", "sourceEmailAddress": "s@x", field: value}
    reply = json.loads(program.api("cfg_saveSMTPSetting", **values))
    assert reply == {"error": True, "message": "Edit error", "details": details}
    assert json.loads(program.api("cfg_getSMTPSetting")) == DEFAULT_ROW


def test_saving_is_refused_while_polling_runs(program):
    assert program.api("startPolling") == SUCCESS
    wait_until(lambda: program.api("getAppState") == '{"state":"running"}', timeout=10)
    assert program.api("cfg_saveSMTPSetting", serverName="x") == error("App is in visual mode")
    assert json.loads(program.api("cfg_getSMTPSetting")) == DEFAULT_ROW


@pytest.mark.parametrize("tls, security, mechanism", [
    (None, 0, "PLAIN"),
    (None, 0, "LOGIN"),
    ("implicit", 1, "PLAIN"),
    ("starttls", 2, "PLAIN"),
    ("starttls", 2, "LOGIN"),
])
def test_the_test_mail_arrives(mailer, smtp_servers, certs, tls, security, mechanism):
    context = server_context(*certs["trusted"]) if tls else None
    exclude = [m for m in ("PLAIN", "LOGIN") if m != mechanism]
    server = smtp_servers(tls=tls, context=context, user="ann", password="sécret \"1\"", auth_required=True,
                     exclude_mechanisms=exclude)
    stored = mailer.query("SELECT * FROM SMTP")
    assert send_test_mail(mailer, server.port, security, "ann", "sécret \"1\"") == SUCCESS
    sender, recipients, message = server.recorder.wait_for_messages(1)[0]
    assert (sender, recipients) == (SENDER, [TO])
    assert server.recorder.logins == [(mechanism, "ann")]
    assert message["Subject"] == "Test message from Korvalen"
    assert message["From"].addresses[0].display_name == "Korvalen"
    assert message["From"].addresses[0].addr_spec == SENDER
    assert message["To"].addresses[0].addr_spec == TO
    assert message.get_content_type() == "text/plain"
    assert message.get_content() == "This is a test message send from Korvalen.\r\n"
    assert mailer.query("SELECT * FROM SMTP") == stored  # the submitted values, nothing stored


def test_without_a_user_name_no_login_is_tried(mailer, smtp_servers):
    server = smtp_servers(user="ann", password="x")
    assert send_test_mail(mailer, server.port) == SUCCESS
    server.recorder.wait_for_messages(1)
    assert server.recorder.logins == []


def test_the_three_error_replies(mailer, smtp_servers):
    assert send_test_mail(mailer, free_port()) == error("Failed to connect to host!")
    server = smtp_servers(user="ann", password="right", auth_required=True)
    assert send_test_mail(mailer, server.port, user="ann", password="wrong") == error("Failed to login!")
    assert send_test_mail(mailer, server.port) == error("Failed to send mail!")  # MAIL without the required login
    assert send_test_mail(mailer, server.port, user="ann", password="right", to="a b@x") == \
        error("Failed to send mail!")  # refused before anything is sent
    assert server.messages == [] and server.recorder.senders == []


def test_starttls_not_offered_ends_the_attempt_before_login_and_mail(mailer, smtp_servers):
    server = smtp_servers(user="ann", password="pw")  # offers AUTH over plain text, no STARTTLS
    seen = len(mailer.lines)
    assert send_test_mail(mailer, server.port, 2, "ann", "pw") == error("Failed to connect to host!")
    assert server.recorder.logins == [] and server.recorder.senders == []
    output_since(mailer, seen, "does not offer STARTTLS")


@pytest.mark.parametrize("tls, security", [("implicit", 1), ("starttls", 2)])
def test_an_untrusted_certificate_fails_with_its_reason(mailer, smtp_servers, certs, tls, security):
    server = smtp_servers(tls=tls, context=server_context(*certs["untrusted"]), user="ann", password="pw")
    seen = len(mailer.lines)
    assert send_test_mail(mailer, server.port, security, "ann", "pw") == error("Failed to connect to host!")
    assert server.recorder.logins == [] and server.recorder.senders == []
    output_since(mailer, seen, "self-signed")


def test_plain_bytes_sent_with_the_starttls_go_ahead_are_dropped(mailer, smtp_servers, certs):
    # Read as a reply, the forged EHLO answer would hide AUTH PLAIN and the login would fail.
    server = smtp_servers(tls="starttls", context=server_context(*certs["trusted"]), user="ann", password="pw",
                     smtp_class=InjectingSMTP)
    assert send_test_mail(mailer, server.port, 2, "ann", "pw") == SUCCESS
    server.recorder.wait_for_messages(1)
    assert server.recorder.logins == [("PLAIN", "ann")]


def test_a_second_test_mail_while_the_first_runs(mailer, smtp_servers):
    held = HeldGreeting()
    first = {}
    t = threading.Thread(target=lambda: first.setdefault("reply", send_test_mail(mailer, held.port)))
    t.start()
    try:
        assert held.accepted.wait(30)
        assert send_test_mail(mailer, held.port) == error("Last mail not finished.")
    finally:
        held.release()
        t.join(30)
    assert first["reply"] == error("Failed to connect to host!")
    server = smtp_servers()
    assert send_test_mail(mailer, server.port) == SUCCESS  # free again after a failure
