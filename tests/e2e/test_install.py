"""`cmake --install`: a program directory that runs on its own, moved away from its prefix with
the build tree out of the library search path."""

import filecmp
import os
import shutil

from install_tree import (BUILD, CMAKE, SAMPLE, expected_program_files, files_under, loaded_libraries,
                          run, runpath)
from korvalen import Program


def test_the_installed_program_runs_on_its_own(tmp_path):
    prefix = tmp_path / "prefix"
    run(CMAKE, "--install", BUILD, "--prefix", str(prefix))

    assert files_under(prefix) == expected_program_files() | {"config.ini"}
    assert filecmp.cmp(prefix / "config.ini", os.path.join(SAMPLE, "config.ini"), shallow=False)
    assert runpath(str(prefix / "Korvalen")) == ["$ORIGIN"]

    # Without its config.ini the installed program names the sample to copy.
    (prefix / "config.ini").unlink()
    alone = Program(prefix, write_cfg=False, env={"LD_LIBRARY_PATH": ""}).start(wait_for=None)
    assert alone.proc.wait(30) != 0
    assert f"cp {prefix}/config.ini.sample {prefix}/config.ini" in alone.final_output()
    run(CMAKE, "--install", BUILD, "--prefix", str(prefix))

    # Installing again keeps what the program wrote into its config.ini.
    (prefix / "config.ini").write_text("[listener]\nport=8123\n")
    run(CMAKE, "--install", BUILD, "--prefix", str(prefix))
    assert (prefix / "config.ini").read_text() == "[listener]\nport=8123\n"

    # Moved: only $ORIGIN can find the libraries now.
    moved = tmp_path / "moved"
    shutil.copytree(prefix, moved, symlinks=True)
    shutil.rmtree(prefix)
    program = Program(moved, env={"LD_LIBRARY_PATH": ""}).start().started()
    try:
        names = ("libhttpserver.so", "libmodbuslib.so", "libSMTPEmail.so")
        ours = {p for p in loaded_libraries(program.proc.pid) if os.path.basename(p) in names}
        assert ours == {str(moved / name) for name in names}
        assert program.api("getAppState") == '{"state":"idle"}'
        status, _, body = program.request("index.html")
        assert status == 200 and body == (moved / "www" / "index.html").read_bytes()
        assert (moved / "db.sqlite").exists()  # the data lives in the program directory
    finally:
        assert program.stop() == 0
