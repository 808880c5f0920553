"""The Debian package: what it holds, its control data, its unit and maintainer scripts, and that
its program runs from the unpacked files. It is built here but never installed."""

import configparser
import os
import re
import stat
import subprocess

import pytest

from install_tree import BUILD, CPACK, SOURCE, expected_program_files, run, runpath
from korvalen import Program

PROGRAM_DIR = "opt/korvalen"
UNIT = "lib/systemd/system/korvalen.service"
DOC = "usr/share/doc/korvalen"
# Where Debian keeps a package's copyright and documentation; the README's links into docs/ hold.
DOCS = {"copyright": None, "README.md": "README.md", "docs/API.md": "docs/API.md"}


@pytest.fixture(scope="module")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("package")
    run(CPACK, "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", str(out))
    debs = [f for f in os.listdir(out) if f.endswith(".deb")]
    assert len(debs) == 1, debs
    return out / debs[0]


def test_contents(deb, tmp_path):
    listing = run("dpkg-deb", "-c", str(deb)).splitlines()
    files = {line.split()[-1][2:] for line in listing if not line.startswith("d")}
    program = {os.path.join(PROGRAM_DIR, f) for f in expected_program_files()}
    # No config.ini and no data: an upgrade must not overwrite what the program wrote.
    assert files == program | {UNIT} | {os.path.join(DOC, f) for f in DOCS}
    assert all(line.split()[1] == "root/root" for line in listing)
    assert all(line.split()[0] == "-rw-r--r--" for line in listing if DOC in line and not line.startswith("d"))

    root = tmp_path / "root"
    run("dpkg-deb", "-x", str(deb), str(root))
    for name, source in DOCS.items():
        if source:
            assert (root / DOC / name).read_bytes() == open(os.path.join(SOURCE, source), "rb").read()
    copyright_file = (root / DOC / "copyright").read_text()
    assert copyright_file.startswith("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
    assert re.search(r"^Files: \*\nCopyright: \S.*\nLicense: \S", copyright_file, re.M)
    assert runpath(str(root / PROGRAM_DIR / "Korvalen")) == ["$ORIGIN"]
    p = Program(root / PROGRAM_DIR, env={"LD_LIBRARY_PATH": ""}).start().started()
    assert p.api("getAppState") == '{"state":"idle"}'
    assert p.stop() == 0


def test_control_and_scripts(deb, tmp_path):
    info = run("dpkg-deb", "-f", str(deb), "Package", "Depends")
    assert re.search(r"^Package: korvalen$", info, re.M)
    depends = {d.split()[0] for d in info.split("Depends:")[1].replace("|", ",").split(",")}
    # The SQLite driver is a plug-in and adduser runs in postinst: neither shows in the linking.
    assert {"adduser", "libqt5sql5-sqlite", "libmodbus5", "libqt5core5a", "libqt5script5"} <= depends

    control = tmp_path / "control"
    run("dpkg-deb", "-e", str(deb), str(control))
    for script in ("postinst", "prerm", "postrm"):
        path = control / script
        assert os.stat(path).st_mode & stat.S_IXUSR
        assert subprocess.run(["sh", "-n", str(path)]).returncode == 0
    postinst = (control / "postinst").read_text()
    user = re.search(r"^user=(\S+)$", postinst, re.M).group(1)
    directory = re.search(r"^dir=(\S+)$", postinst, re.M).group(1)
    assert directory == "/" + PROGRAM_DIR

    root = tmp_path / "root"
    run("dpkg-deb", "-x", str(deb), str(root))
    unit = configparser.ConfigParser(strict=False, interpolation=None)
    unit.read(root / UNIT)
    service = unit["Service"]
    assert service["ExecStart"].split()[0] == directory + "/Korvalen"
    assert service["User"] == user and service["WorkingDirectory"] == directory
    assert service["ReadWritePaths"] == directory  # where db.sqlite and config.ini are written
    assert service["Restart"] == "on-failure"
    assert unit["Install"]["WantedBy"] == "multi-user.target"
