"""SMTP peers for the end-to-end tests: aiosmtpd servers running in the test process on free ports,
a server that holds its greeting until the test lets it go, and self-signed certificates."""

import asyncio
import email
import email.policy
import os
import socket
import ssl
import subprocess
import threading
import time

import pytest
from aiosmtpd.smtp import SMTP, AuthResult

from korvalen import wait_until


def make_certificate(directory, name="smtp"):
    """(certificate, key) paths of a new self-signed certificate for 127.0.0.1 and localhost."""
    cert = os.path.join(str(directory), f"{name}.pem")
    key = os.path.join(str(directory), f"{name}.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True)
    return cert, key


def server_context(cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


class Recorder:
    """The handler: keeps every delivered message, sender and login attempt."""

    def __init__(self):
        self.messages = []
        self.starts = []  # time.monotonic() of each MAIL FROM: when a sending began
        self.senders = []
        self.logins = []
        self.lock = threading.Lock()

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        with self.lock:
            self.senders.append(address)
            self.starts.append(time.monotonic())
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
        with self.lock:
            self.messages.append((envelope.mail_from, list(envelope.rcpt_tos), message))
        return "250 OK"

    def wait_for_messages(self, count, timeout=30):
        wait_until(lambda: len(self.messages) >= count, timeout)
        with self.lock:
            return list(self.messages)


class InjectingSMTP(SMTP):
    """Sends, together with its STARTTLS go-ahead, a forged EHLO reply in plain text."""

    async def push(self, status):
        if isinstance(status, str) and status.startswith("220 Ready to start TLS"):
            status += "\r\n250-forged\r\n250 AUTH NOTHING"
        await super().push(status)


class SmtpServer:
    """An aiosmtpd server on 127.0.0.1 and a free port. tls: None (plain), "implicit" (TLS from the
    first byte) or "starttls" (offered, not required). With a user, AUTH PLAIN and LOGIN are
    offered over plain connections too, and required when auth_required."""

    def __init__(self, tls=None, context=None, user=None, password=None, auth_required=False,
                 exclude_mechanisms=(), smtp_class=SMTP):
        self.recorder = Recorder()
        kwargs = {"hostname": "korvalen-test"}
        if tls == "starttls":
            kwargs["tls_context"] = context
        if user is not None:
            kwargs.update(authenticator=self._authenticator, auth_require_tls=False, auth_required=auth_required,
                          auth_exclude_mechanism=list(exclude_mechanisms))
        self.user, self.password = user, password
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

        def factory():
            return smtp_class(self.recorder, loop=self.loop, **kwargs)

        create = self.loop.create_server(factory, "127.0.0.1", 0, ssl=context if tls == "implicit" else None)
        self.server = asyncio.run_coroutine_threadsafe(create, self.loop).result(10)
        self.port = self.server.sockets[0].getsockname()[1]

    def _authenticator(self, server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode()
        ok = login == self.user and auth_data.password.decode() == self.password
        with self.recorder.lock:
            self.recorder.logins.append((mechanism, login))
        return AuthResult(success=ok, handled=False)

    @property
    def messages(self):
        return self.recorder.messages

    def stop(self):
        async def close():
            self.server.close()
            await self.server.wait_closed()
        asyncio.run_coroutine_threadsafe(close(), self.loop).result(10)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)


class HeldGreeting:
    """Accepts connections and says nothing until release(); then refuses each with 554."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen()
        self.port = self.sock.getsockname()[1]
        self.accepted = threading.Event()
        self.released = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        self.accepted.set()
        self.released.wait(60)
        with conn:
            conn.sendall(b"554 no service\r\n")

    def release(self):
        self.released.set()
        self.thread.join(10)
        self.sock.close()


@pytest.fixture
def smtp_servers():
    """Makes SmtpServer instances and stops them after the test."""
    started = []

    def make(**kwargs):
        s = SmtpServer(**kwargs)
        started.append(s)
        return s

    yield make
    for s in started:
        s.stop()
