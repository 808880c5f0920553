"""The build tree's install step and package, for the tests of the installed program."""

import os
import re
import subprocess

BUILD = os.environ.get("KORVALEN_BUILD_DIR", "")
SOURCE = os.environ.get("KORVALEN_SOURCE_DIR", "")
CMAKE = os.environ.get("KORVALEN_CMAKE", "cmake")
CPACK = os.environ.get("KORVALEN_CPACK", "cpack")
SAMPLE = os.path.join(SOURCE, "sample")


def run(*args, **kwargs):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, **kwargs).stdout


def files_under(root):
    """Every file below `root`, by path relative to it."""
    found = set()
    for directory, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(directory, name), root))
    return found


def runpath(binary):
    """The RUNPATH entries of an ELF file (empty without one)."""
    m = re.search(r"\((?:RUNPATH|RPATH)\).*\[(.*)\]", run("readelf", "-d", binary))
    return m.group(1).split(":") if m else []


def loaded_libraries(pid):
    """The paths of the shared objects mapped into a running process."""
    with open(f"/proc/{pid}/maps") as f:
        return {line.split()[-1] for line in f if ".so" in line}


def expected_program_files():
    """What an install must hold: the program, its libraries, the sample configuration, the
    web root and every translation the build made."""
    www = {os.path.join("www", f) for f in files_under(os.path.join(SAMPLE, "www"))}
    translations = {f for f in os.listdir(os.path.join(BUILD, "bin")) if f.endswith(".qm")}
    return {"Korvalen", "libhttpserver.so", "libmodbuslib.so", "libSMTPEmail.so", "config.ini.sample"} | www | translations
