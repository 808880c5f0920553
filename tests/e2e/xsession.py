"""A private X display (Xvfb) with a system-tray host (trayer) for the tray tests.

As a module: `with XSession() as x:` gives `x.env` (DISPLAY, a runtime directory of its own, no
session bus) for the processes that should run on it, and `with WindowLog(x.env) as log:` records
the windows mapped there. As a script it runs one command there and exits with its code:
xsession.py <command> [args...]
"""

import ctypes
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

TRAY_SELECTION = b"_NET_SYSTEM_TRAY_S0"


class XSession:
    def __init__(self, tray=True, timeout=30):
        self.tray = tray
        self.timeout = timeout
        self.xvfb = None
        self.trayer = None
        self.display = None
        self.env = None
        self._tmp = None

    def __enter__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="korvalen-x-")
        read_end, write_end = os.pipe()
        # -displayfd: the server picks a free display number and writes it to the pipe.
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                byte = pipe.read(1)
                if not byte:
                    self.__exit__(None, None, None)
                    raise RuntimeError("Xvfb did not start")
                number += byte
        self.display = ":" + number.decode().strip()
        runtime = os.path.join(self._tmp.name, "run")
        os.makedirs(runtime, mode=0o700)
        self.env = dict(os.environ)
        for key in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION"):
            self.env.pop(key, None)
        self.env.update({
            "DISPLAY": self.display,
            "XDG_RUNTIME_DIR": runtime,
            # No session bus: Qt then uses the X tray protocol and its own balloons.
            "DBUS_SESSION_BUS_ADDRESS": "unix:path=" + os.path.join(runtime, "no-bus"),
            "QT_QPA_PLATFORM": "xcb",
        })
        if self.tray:
            self.trayer = subprocess.Popen(["trayer"], env=self.env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
            self._wait_for_tray()
        return self

    def __exit__(self, *exc):
        for proc in (self.trayer, self.xvfb):
            if proc and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(10)
        if self._tmp:
            self._tmp.cleanup()
        return False

    def _wait_for_tray(self):
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XGetSelectionOwner.restype = ctypes.c_ulong
        x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        display = x11.XOpenDisplay(self.display.encode())
        if not display:
            raise RuntimeError(f"cannot open display {self.display}")
        try:
            atom = x11.XInternAtom(display, TRAY_SELECTION, 0)
            deadline = time.monotonic() + self.timeout
            while x11.XGetSelectionOwner(display, atom) == 0:
                if self.trayer.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the tray host did not take the tray selection")
                time.sleep(0.02)
        finally:
            x11.XCloseDisplay(display)

    def run(self, *args, **kwargs):
        """A command of the X utilities on this display; its standard output as text."""
        return subprocess.run(list(args), env=self.env, capture_output=True, text=True, check=True,
                              timeout=30, **kwargs).stdout

    def window_tree(self):
        return self.run("xwininfo", "-root", "-tree")


class WindowLog:
    """The top-level windows mapped on the display while it runs, as the X server reports them (xev
    on the root window): a window shown for a moment, like a tray balloon, is found however late a
    busy test looks for it."""

    MARKER = "_KORVALEN_WINDOW_LOG"

    def __init__(self, env, timeout=30):
        self.env = env
        self.timeout = timeout
        self._mapped = []  # ids of mapped windows, in order
        self._marks = 0    # changes of the marker property seen
        self._cond = threading.Condition()
        self._proc = None

    def __enter__(self):
        # Line-buffered: each event reaches the reader as it happens.
        self._proc = subprocess.Popen(
            ["stdbuf", "-oL", "xev", "-root", "-event", "substructure", "-event", "property"],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        try:
            self.sync()
        except RuntimeError:
            self.__exit__(None, None, None)
            raise
        return self

    def sync(self):
        """Returns once every window mapped before the call is in the log: the server reports a
        change of a property of the root window after them. The first call also waits for xev to
        be recording."""
        deadline = time.monotonic() + self.timeout
        with self._cond:
            seen = self._marks
            while self._marks == seen:
                if self._proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("xev does not report the display's events")
                subprocess.run(["xprop", "-root", "-f", self.MARKER, "8s", "-set", self.MARKER,
                                str(seen)], env=self.env, check=True, timeout=30)
                self._cond.wait(1)

    def __exit__(self, *exc):
        if self._proc and self._proc.poll() is None:
            self._proc.terminate()
            self._proc.wait(10)
        return False

    def _read(self):
        mapping = False
        for line in self._proc.stdout:
            if line.startswith(("MapNotify", "PropertyNotify")):
                mapping = line.startswith("MapNotify")
                continue
            with self._cond:
                if f"({self.MARKER})" in line:
                    self._marks += 1
                elif mapping and (m := re.search(r"\bwindow (0x[0-9a-f]+),", line)):
                    self._mapped.append(int(m.group(1), 16))
                    mapping = False
                self._cond.notify_all()

    def mapped(self):
        """Ids of the windows mapped so far, in order."""
        with self._cond:
            return list(self._mapped)


if __name__ == "__main__":
    with XSession() as session:
        sys.exit(subprocess.run(sys.argv[1:], env=session.env).returncode)
