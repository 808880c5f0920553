"""README.md against the program: its shell examples run as written, in a directory whose build/bin
is the program's, with the program's port put in."""

import hashlib
import os
import shlex
import sqlite3
import subprocess

from doc_steps import blocks, section, shell_steps
from korvalen import Client, wait_until

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
README = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
PASSWORD = "pa ss&wörd=1%"  # what the reader types at the prompt


def examples(title):
    """The steps of each sh block of a section of the README."""
    return [shell_steps(body) for lang, body in blocks(section(README, title)) if lang == "sh"]


def run(program, cwd, *shown):
    """Runs the examples' steps as one shell script in `cwd`, the directory above build/bin,
    checking every reply the README shows; returns the finished process."""
    lines = ["set -euo pipefail"]
    for steps in shown:
        for command, expected in steps:
            command = command.replace("127.0.0.1:8080", f"127.0.0.1:{program.port}")
            if isinstance(expected, tuple):
                kind, reply = expected
                assert kind == "exact", kind
                lines.append(f"out=$({command})")
                lines.append(f"[[ $out == {shlex.quote(reply)} ]] || "
                             f"{{ printf 'gave: %s\\n' \"$out\" >&2; exit 3; }}")
            else:
                lines.append(command)
    return subprocess.run(["bash", "-c", "\n".join(lines)], cwd=cwd, input=PASSWORD + "\n",
                          capture_output=True, text=True, timeout=120)


def started(program_factory):
    """A program in build/bin of the test's directory."""
    return program_factory("build/bin").start().started()


def polling_from_the_start(program_factory):
    """A program whose own settings, which switching sessions on must keep, start polling with it."""
    program = started(program_factory)
    assert program.api("cfg_saveSetting", modbusPollInterval="2500", modbusIterDelay="7",
                       defaultAppState="1") == '{"success":true}'
    assert program.stop() == 0
    program = program_factory("build/bin", write_cfg=False).start().started()
    wait_until(lambda: program.api("getAppState") == '{"state":"running"}')
    return program


def test_logins_then_a_backup_and_a_logout(program_factory, tmp_path):
    program = polling_from_the_start(program_factory)
    password, settings, login, logout = examples("Logins")
    (backup,) = examples("Where the data lives")[:1]

    done = run(program, tmp_path, password, settings, login, backup, logout)
    assert done.returncode == 0, done.stderr
    assert program.query("SELECT * FROM Settings") == [(1, "0.1.1", 2500, 7, 1, 1)]
    copy = sqlite3.connect(tmp_path / "db_backup.sqlite")
    try:
        assert copy.execute("SELECT username, password FROM Users").fetchall() == [
            ("Admin", hashlib.sha256(PASSWORD.encode()).hexdigest())]
    finally:
        copy.close()
    client = Client(program)
    assert client.login("Admin", PASSWORD)[2] == b'{"success":true}'
    assert client.api("getAppState") == '{"state":"idle"}'

    # Logged out, the backup fails instead of saving the login page's redirect.
    os.remove(tmp_path / "db_backup.sqlite")
    done = run(program, tmp_path, backup)
    assert done.returncode != 0
    assert "Maximum (0) redirects followed" in done.stderr
    assert not os.path.exists(tmp_path / "db_backup.sqlite")


def test_a_refused_call_stops_the_script(program_factory, tmp_path):
    # The settings sent while polling still runs: the script ends there, with the reply.
    program = polling_from_the_start(program_factory)
    password, settings = examples("Logins")[:2]
    helper = password[:next(i for i, (command, _) in enumerate(password) if "stopPolling" in command)]
    done = run(program, tmp_path, helper, settings)
    assert done.returncode != 0
    assert done.stderr == 'refused: {"error":true,"message":"App is in visual mode"}\n'
    assert program.query("SELECT * FROM Settings") == [(1, "0.1.1", 2500, 7, 0, 1)]


def test_a_backup_with_logins_off(program_factory, tmp_path):
    program = started(program_factory)
    done = run(program, tmp_path, examples("Where the data lives")[0])
    assert done.returncode == 0, done.stderr
    copy = sqlite3.connect(tmp_path / "db_backup.sqlite")
    try:
        assert copy.execute("SELECT message FROM Logs").fetchall() == [("Program started",)]
    finally:
        copy.close()


def test_a_fresh_database(program_factory, tmp_path):
    program = started(program_factory)
    assert program.api("cfg_addNewUser", username="old", permissions="1") == '{"success":true}'
    assert program.stop() == 0
    done = run(program, tmp_path, examples("Where the data lives")[1])
    assert done.returncode == 0, done.stderr

    again = program_factory("build/bin", write_cfg=False).start().started()
    assert again.query("SELECT username FROM Users") == [("Admin",)]
    old = sqlite3.connect(tmp_path / "old-data" / "db.sqlite")
    try:
        assert old.execute("SELECT username FROM Users").fetchall() == [("Admin",), ("old",)]
    finally:
        old.close()


def test_a_host_name_that_is_not_allowed(program_factory, tmp_path):
    program = started(program_factory)
    (refused,) = examples("Reaching it by a host name")
    done = run(program, tmp_path, refused)
    assert done.returncode == 0, done.stderr
