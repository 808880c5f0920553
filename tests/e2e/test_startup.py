"""Start-up and end of the program as a process."""

import json
import os
import re
import signal
import socket

import pytest

from archive_support import archived, configure_run
from korvalen import Client, Program, log_text, wait_until


# An installed program has config.ini.sample beside it: the message names it.
@pytest.mark.parametrize("sample", [False, True])
def test_missing_config_stops_with_the_message(tmp_path, sample):
    p = Program(tmp_path / "app", write_cfg=False)
    if sample:
        with open(os.path.join(p.directory, "config.ini.sample"), "w") as f:
            f.write("[listener]\nport=0\n")
    p.start(wait_for=None)
    assert p.proc.wait(30) != 0
    config = os.path.join(p.directory, "config.ini")
    lines = p.final_output().splitlines()
    told = lines[lines.index(f"Cannot find config file {config}"):]
    # What follows the message is the sample's line, if any, then whatever the abort prints
    # (a sanitizer's report, say).
    hint = f"Copy the sample beside it to make one: cp {config}.sample {config}"
    assert (told[1:2] == [hint]) if sample else not any(line.startswith("Copy the sample") for line in told)
    assert not os.path.exists(p.db_path)


def test_first_start_builds_the_database_and_serves_the_web_root(program):
    assert program.query("SELECT * FROM Settings") == [(1, "0.1.1", 5000, 10, 0, 0)]
    assert program.query("SELECT idUsers, username, permissions FROM Users") == [(1, "Admin", 255)]
    assert program.query("SELECT * FROM SMTP") == [(1, "", 587, 1, "", "", "")]
    assert program.query("SELECT type, message FROM Logs") == [("info", "Program started")]

    status, headers, body = program.request("index.html")
    assert status == 200
    assert headers["Content-Type"].startswith("text/html")
    assert b"Brimat Capture" in body
    assert program.request("no/such/file.html")[0] == 404

    assert program.stop() == 0


def test_a_second_start_logs_again_on_the_existing_database(program, program_factory):
    assert program.stop() == 0
    again = program_factory("app", write_cfg=False).start().started()
    assert again.query("SELECT message FROM Logs") == [("Program started",), ("Program started",)]
    assert again.stop() == 0


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
def test_termination_signals_end_it_as_quit_does(program, sig):
    assert program.stop(sig) == 0


def test_a_second_instance_exits_and_leaves_the_first_running(program, program_factory):
    stat_before = os.stat(program.db_path)
    logs_before = program.query("SELECT COUNT(*) FROM Logs")

    second = program_factory("app", write_cfg=False, runtime_dir=program.runtime_dir)
    second.start(wait_for=r"Another instance is running: opening http://127\.0\.0\.1:0")
    assert second.proc.wait(30) == 0

    assert program.proc.poll() is None
    assert program.request("index.html")[0] == 200
    assert program.query("SELECT COUNT(*) FROM Logs") == logs_before
    assert os.stat(program.db_path).st_mtime_ns == stat_before.st_mtime_ns
    assert program.stop() == 0


def test_instances_with_other_runtime_directories_run_side_by_side(program_factory):
    a = program_factory("a").start()
    b = program_factory("b").start()
    assert a.request("index.html")[0] == 200
    assert b.request("index.html")[0] == 200
    assert a.stop() == 0 and b.stop() == 0


# The message names the port the listener tried, however config.ini spells it.
@pytest.mark.parametrize("spelling", ["{}", "0{}"])
def test_a_busy_port_without_a_desktop_leaves_the_archive_filling(program_factory, tcp, spelling):
    first = program_factory().start().started()
    configure_run(first, tcp.port, 1, arch_interval=1, start_with_program=True)
    assert first.stop() == 0
    # Headless nobody would see the balloon: the error goes to the output and the event log,
    # and the program goes on without a web server.
    with socket.socket() as busy:
        busy.bind(("0.0.0.0", 0))
        busy.listen()
        port = busy.getsockname()[1]
        p = program_factory(config={"listener": {"port": spelling.format(port)}})
        p.start(wait_for=rf"Cannot bind on port: {port}\. Port already in use!").started()
        assert p.output().count("No system tray: running headless") == 1
        assert p.query("SELECT type, message FROM Logs WHERE type = 'error'") == [
            ("error", f"Cannot bind on port: {port}. Port already in use!")]
        rows = len(archived(p))
        wait_until(lambda: len(archived(p)) >= rows + 2)
        assert p.proc.poll() is None
        assert p.stop() == 0


def test_without_a_desktop_a_free_port_serves(program):
    program.wait_for_line("No system tray: running headless")
    assert program.request("index.html")[0] == 200
    assert program.proc.poll() is None
    assert program.stop() == 0


def test_a_display_that_cannot_be_reached_counts_as_none(program_factory):
    p = program_factory(env={"QT_QPA_PLATFORM": "", "DISPLAY": ":65000"}).start().started()
    p.wait_for_line("No system tray: running headless")
    assert p.request("index.html")[0] == 200
    assert p.stop() == 0


def refused(key, value, problem, consequence, group="listener"):
    return ("error", f'config.ini, group [{group}], key {key}: the value "{value}" {problem}; {consequence}.')


NO_PORT = "is not a whole number from 0 to 65535"
NO_SERVER = "no web server is started"


# config.ini texts (as changes of the test configuration), the lines they give on standard error
# and in the event log, and whether the program then listens.
@pytest.mark.parametrize("config, lines, listens", [
    ({}, [], True),
    ({"listner": {"host": "127.0.0.1"}},
     [("warn", "config.ini: the group [listner] is not one the program reads; its keys have no effect "
               "(did you mean [listener]?).")], True),
    ({"listener": {"port": "80x90"}}, [refused("port", "80x90", NO_PORT, NO_SERVER)], False),
    ({"listener": {"port": ""}}, [refused("port", "", NO_PORT, NO_SERVER)], False),
    ({"listener": {"port": "70000"}}, [refused("port", "70000", NO_PORT, NO_SERVER)], False),
    ({"listener": {"host": "capture"}},
     [refused("host", "capture", "is not an IPv4 or IPv6 address, nor localhost", NO_SERVER)], False),
    ({"listener": {"maxThreads": "lots"}},
     [refused("maxThreads", "lots", "is not a whole number from 1 to 10000", "100 is used instead")], True),
    ({"listener": {"readTimeout": "10s", "Port": "8080"}},
     [("warn", "config.ini, group [listener]: the key Port is not one the program reads; it has no effect "
               "(did you mean port?)."),
      refused("readTimeout", "10s", "is not a whole number from 1 to 2147483647", "10000 is used instead")],
     True),
    ({"listener": {"allowedHosts": "capture.example.org:8080"}},
     [refused("allowedHosts", "capture.example.org:8080",
              "is no host name (give the name alone, without http:// or a port)",
              "what is no host name is left out")], True),
    ({"other": {"prefLang": "xx"}},
     [refused("prefLang", "xx", "is not one of en, pl, de, esp, fr", "the English texts are used",
              group="other")], True),
], ids=["a good file", "[listner]", "port=80x90", "an empty port", "port=70000", "a host name as host",
        "maxThreads=lots", "an unknown key", "a port in allowedHosts", "prefLang=xx"])
def test_config_values_that_cannot_work_are_told(program_factory, config, lines, listens):
    p = program_factory(config=config)
    p.start(wait_for=r"HttpListener: listening on port (\d+)" if listens else r"key (?:port|host):")
    # The lines of the check precede this one, which follows the database and the listener.
    p.wait_for_line("No system tray: running headless")
    p.started()
    out = p.output()
    assert sorted(line for line in out.splitlines() if line.startswith("config.ini")) == sorted(t for _, t in lines)
    assert sorted(p.query("SELECT type, message FROM Logs WHERE message != 'Program started'")) == \
        sorted((kind, log_text(text)) for kind, text in lines)
    assert ("HttpListener: listening on port" in out) == listens
    if listens:
        assert p.request("index.html")[0] == 200
    else:
        # As with a busy port the program runs on without a web server; the port is no busy one.
        assert "Cannot bind on port" not in out
        assert p.proc.poll() is None
    assert p.stop() == 0


def test_a_value_with_control_characters_and_an_overlong_entry_gives_one_clean_line(program_factory):
    # The check names the wrong entries of a list as the file gives them.
    value = "ok.example, \x1b[31mbad.example:1, " + "y" * 3000 + ":9"
    p = program_factory(config={"listener": {"allowedHosts": value}})
    p.start(wait_for=r"HttpListener: listening on port (\d+)")
    p.wait_for_line("No system tray: running headless")
    p.started()
    (line,) = [line for line in p.output().splitlines() if "allowedHosts" in line]
    assert line.startswith('config.ini, group [listener], key allowedHosts: the value "ok.example, '
                           '[31mbad.example:1, yyy'), line
    assert not any(ord(c) < 0x20 for c in line) and len(line) <= 1003, line
    # The event log keeps the same line, and its grid stays valid JSON that lists it as it is.
    grid = json.loads(p.api("getLogsGridData", eventsType="4"))
    assert [row["message"] for row in grid] == [line]
    assert p.stop() == 0


def empty_password(user, rights):
    return (f'Logins are on, and the user "{user}" has an empty password: anyone who reaches the program '
            f'can log in as "{user}" {rights}. Give the user a password, or remove it.')


def test_logins_on_with_an_empty_password_are_warned_of(program_factory):
    from test_routing import add_user, logged_in

    admin = empty_password("Admin", "with full rights")
    viewer = empty_password("viewer", "with read-only rights")
    settings = {"modbusPollInterval": "5000", "modbusIterDelay": "10"}
    p = program_factory().start().started()
    client = Client(p)
    add_user(p, client, "viewer", "", 1)
    add_user(p, client, "keeper", "k", 255)
    add_user(p, client, "nologin", "", 0)
    assert client.api("cfg_saveSetting", sessionEnabled="1", **settings) == '{"success":true}'
    p.wait_for_line(re.escape(viewer))
    # The login keeps working as it did; a save that leaves logins on says nothing again.
    client = logged_in(p)
    assert client.api("cfg_saveSetting", sessionEnabled="1", **settings) == '{"success":true}'
    assert p.stop() == 0
    out = p.final_output()
    assert out.count(admin) == 1 and out.count(viewer) == 1
    assert "keeper" not in out and "nologin" not in out

    # Told again at the start.
    again = program_factory("app", write_cfg=False).start().started()
    again.wait_for_line(re.escape(viewer))
    # Once Admin has a password, switching logins off and on names only the viewer.
    client = logged_in(again)
    assert client.api("cfg_setUserPass", id="1", password="secret") == '{"success":true}'
    assert client.api("cfg_saveSetting", sessionEnabled="0", **settings) == '{"success":true}'
    assert Client(again).api("cfg_saveSetting", sessionEnabled="1", **settings) == '{"success":true}'
    wait_until(lambda: again.output().count(viewer) == 2)
    assert again.stop() == 0
    out = again.final_output()
    assert out.count(admin) == 1 and out.count(viewer) == 2
    assert again.query("SELECT type, message FROM Logs WHERE type = 'warn' ORDER BY idLogs") == \
        [("warn", log_text(text)) for text in (admin, viewer, admin, viewer, viewer)]


def test_the_sample_config_gives_no_word(program_factory):
    sample = os.path.join(os.path.dirname(__file__), "..", "..", "sample", "config.ini")
    with open(sample) as f:
        text = f.read()
    # Its port is the one a user reaches; here any free one.
    assert "\nport=8080\n" in text
    p = program_factory(write_cfg=False)
    with open(os.path.join(p.directory, "config.ini"), "w") as f:
        f.write(text.replace("\nport=8080\n", "\nport=0\n").replace("\nprefLang=\n", "\nprefLang=en\n"))
    p.start().started()
    p.wait_for_line("No system tray: running headless")
    assert "config.ini" not in p.output()
    assert p.query("SELECT type, message FROM Logs") == [("info", "Program started")]
    assert p.stop() == 0
