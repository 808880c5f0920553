"""Start-up and end of the program as a process."""

import os
import signal
import socket

import pytest

from archive_support import archived, configure_run
from korvalen import Program, wait_until


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
    assert told[1:2] == ([f"Copy the sample beside it to make one: cp {config}.sample {config}"] if sample else [])
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
