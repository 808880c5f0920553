"""The tray of the running program on a private X display with a tray host, driven like a user:
right click on the icon, keys in the menu. The interface language, with and without a desktop."""

import configparser
import os
import re
import signal
import socket
import subprocess
import time

import pytest

from korvalen import free_port, wait_until
from xsession import WindowLog, XSession

CLASS = '("Korvalen" "Brimat Capture")'


def stored(program, group, key):
    config = configparser.ConfigParser(interpolation=None)
    config.read(os.path.join(program.directory, "config.ini"))
    return config.get(group, key, fallback=None)


@pytest.fixture
def desktop(tmp_path):
    """An X display with a tray host, and a browser stand-in that records what it is asked to open."""
    bin_dir = tmp_path / "fakebin"
    bin_dir.mkdir()
    opened = tmp_path / "opened.txt"
    launcher = bin_dir / "xdg-open"
    launcher.write_text(f'#!/bin/sh\necho "$@" >> {opened}\n')
    launcher.chmod(0o755)
    with XSession() as x, WindowLog(x.env) as windows:
        x.windows = windows
        x.last_click = 0.0
        x.opened = opened
        x.program_env = {key: x.env[key] for key in ("DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS")}
        x.program_env["PATH"] = f"{bin_dir}:{os.environ['PATH']}"
        yield x


def visible_windows(x):
    """Ids of the program's mapped windows (xdotool exits 1 when there are none)."""
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--classname", "Korvalen"],
                         env=x.env, capture_output=True, text=True, timeout=30).stdout
    return set(out.split())


def focused_window(x):
    """Id of the window with the keyboard focus, or None while the focus follows the pointer."""
    out = subprocess.run(["xdotool", "getwindowfocus"], env=x.env, capture_output=True, text=True,
                         timeout=30)
    return out.stdout.strip() if out.returncode == 0 else None


def clipboard(x):
    """The clipboard's text, or None while there is none (xclip exits 1)."""
    out = subprocess.run(["xclip", "-o", "-selection", "clipboard"], env=x.env,
                         capture_output=True, text=True, timeout=30)
    return out.stdout if out.returncode == 0 else None


def shown_since_start(x, program):
    """The windows mapped on the display since it came up, the program's icon aside (the tray host
    had mapped its own before): a balloon shows for a second or four, which a busy machine may
    spend before the test looks."""
    return {str(w) for w in x.windows.mapped()} - {program.icon_window}


def tray_icon(x):
    """(id, x, y, width, height) of the program's window embedded in the tray host's panel, or None."""
    lines = x.window_tree().splitlines()
    panel = next((i for i, line in enumerate(lines) if '"panel": ("panel" "trayer")' in line), None)
    if panel is None:
        return None
    indent = len(lines[panel]) - len(lines[panel].lstrip())
    for line in lines[panel + 1:]:
        if line.strip() and len(line) - len(line.lstrip()) <= indent:
            break  # past the panel's windows
        if CLASS in line:
            m = re.search(r"(0x[0-9a-f]+) .*\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)", line)
            if m and int(m.group(2)) > 0:
                return int(m.group(1), 16), int(m.group(4)), int(m.group(5)), int(m.group(2)), int(m.group(3))
    return None


def start_on_desktop(program_factory, desktop, args=()):
    port = free_port()
    p = program_factory(config={"listener": {"port": str(port)}}, args=args, env=desktop.program_env)
    p.start().started()
    p.tray_port = port
    p.icon = wait_until(lambda: tray_icon(desktop))
    p.icon_window = str(p.icon[0])
    return p


def choose(desktop, program, keys):
    """Opens the tray menu with a right click on the icon and presses the keys in it."""
    wait_until(lambda: visible_windows(desktop) == {program.icon_window})
    _, x, y, w, h = program.icon
    desktop.run("xdotool", "mousemove", str(x + w // 2), str(y + h // 2))
    # A click within the double-click interval (400 ms) of the previous one is its double click
    # and opens no menu: the pace of a user's hand, not a wait for the program.
    time.sleep(max(0.0, desktop.last_click + 1.0 - time.monotonic()))
    desktop.run("xdotool", "click", "3")
    desktop.last_click = time.monotonic()
    # Open menus take every key of the display, whatever has the focus.
    wait_until(lambda: len(visible_windows(desktop)) > 1)
    desktop.run("xdotool", "key", *keys, "Return")


def dialog(desktop, program):
    """The one dialog of the program on the display, once it has the keyboard focus: keys sent
    before that go to the window under the pointer."""
    window = wait_until(lambda: visible_windows(desktop) - {program.icon_window})
    assert len(window) == 1, window
    window = window.pop()
    wait_until(lambda: focused_window(desktop) == window)
    return window


def opened_urls(desktop):
    return desktop.opened.read_text().split() if desktop.opened.exists() else []


def test_the_menu_entries_in_order(program_factory, desktop):
    p = start_on_desktop(program_factory, desktop, args=["-r"])
    address = f"http://127.0.0.1:{p.tray_port}"

    # The start with -r showed no balloon and opened nothing.
    desktop.windows.sync()
    assert shown_since_start(desktop, p) == set()

    # First entry: launch browser.
    choose(desktop, p, ["Down"])
    assert wait_until(lambda: opened_urls(desktop)) == [address]

    # Second: copy the address; another program on the display reads it.
    choose(desktop, p, ["Down"] * 2)
    wait_until(lambda: clipboard(desktop) == address)

    # Third: the port dialog writes the new port; the running program keeps its own.
    choose(desktop, p, ["Down"] * 3)
    dialog(desktop, p)
    desktop.run("xdotool", "key", "ctrl+a")
    desktop.run("xdotool", "type", "8080")
    desktop.run("xdotool", "key", "Return")
    wait_until(lambda: stored(p, "listener", "port") == "8080")
    assert p.request("index.html")[0] == 200

    # Fourth: the About box.
    choose(desktop, p, ["Down"] * 4)
    about = dialog(desktop, p)
    assert desktop.run("xdotool", "getwindowname", about).strip() == "About"
    desktop.run("xdotool", "key", "Escape")

    # Last: quit, with exit code 0.
    choose(desktop, p, ["Up"])
    assert p.proc.wait(30) == 0
    assert opened_urls(desktop) == [address]


def test_a_start_opens_the_browser_and_shows_the_running_balloon(program_factory, desktop):
    p = start_on_desktop(program_factory, desktop)
    assert wait_until(lambda: opened_urls(desktop)) == [f"http://127.0.0.1:{p.tray_port}"]
    wait_until(lambda: shown_since_start(desktop, p))
    assert p.stop() == 0


# A port that is no port is handled as a busy one (config.ini's check names it).
@pytest.mark.parametrize("refused", [False, True], ids=["a busy port", "port=80x90"])
def test_a_busy_port_on_a_desktop_shows_the_bind_error_and_keeps_running(program_factory, desktop, refused):
    with socket.socket() as busy:
        busy.bind(("0.0.0.0", 0))
        busy.listen()
        port = "80x90" if refused else busy.getsockname()[1]
        p = program_factory(config={"listener": {"port": str(port)}}, env=desktop.program_env)
        p.start(wait_for=r"key port: the value" if refused else rf"cannot listen on port {port}")
        p.started()  # the check speaks before the database is there
        p.icon_window = str(wait_until(lambda: tray_icon(desktop))[0])
        wait_until(lambda: shown_since_start(desktop, p))
        assert p.proc.poll() is None
        assert opened_urls(desktop) == []
        assert p.stop(signal.SIGTERM) == 0


@pytest.mark.parametrize("locale, pref_lang, expected, started", [
    ("pl_PL.UTF-8", "", "pl", "Program uruchomiony"),
    ("de_DE.UTF-8", "", "en", "Program started"),
    ("C", "", "en", "Program started"),
    ("pl_PL.UTF-8", "xx", "xx", "Program started"),
    ("C", "fr", "fr", "Programme démarré"),
    ("C", "esp", "esp", "Programa iniciado"),
])
def test_the_language_without_a_desktop(program_factory, locale, pref_lang, expected, started):
    # No display: headless, and the language is settled and stored all the same.
    p = program_factory(config={"other": {"prefLang": pref_lang}},
                        env={"LC_ALL": locale, "LANG": locale, "LANGUAGE": ""}).start()
    wait_until(lambda: os.path.exists(p.db_path) and p.query(
        "SELECT name FROM sqlite_master WHERE name = 'Logs'") and p.query(
        "SELECT message FROM Logs WHERE type = 'info'"))
    # (An unknown language is also an error line of its own.)
    assert p.query("SELECT message FROM Logs WHERE type = 'info'") == [(started,)]
    assert stored(p, "other", "prefLang") == expected
    p.wait_for_line("No system tray: running headless")
    assert p.stop() == 0
    assert p.output().count("No system tray: running headless") == 1


def test_a_settled_language_leaves_config_ini_and_its_comments_alone(program_factory):
    p = program_factory(config={"other": {"prefLang": "de"}})
    path = os.path.join(p.directory, "config.ini")
    with open(path, "a") as f:
        f.write("; kept by the program\n")
    with open(path) as f:
        before = f.read()
    p.start()
    p.wait_for_line("No system tray: running headless")
    assert p.stop() == 0
    with open(path) as f:
        assert f.read() == before
