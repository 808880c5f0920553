"""docs/API.md against the program: its worked example runs as written (with the program's and a
pymodbus server's ports put in), and every web function and file endpoint of the program has a
section of its own."""

import json
import os
import re
import subprocess

from doc_steps import example_steps, section
from peers import tcp_peer

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DOC = os.path.join(ROOT, "docs", "API.md")


def shape(value):
    if isinstance(value, dict):
        return {k: shape(v) for k, v in value.items()}
    if isinstance(value, list):
        return [shape(v) for v in value]
    return type(value).__name__


def test_worked_example(program_factory, tmp_path):
    text = open(DOC, encoding="utf-8").read()
    program = program_factory().start().started()
    meter = tcp_peer()
    try:
        steps = example_steps(section(text, "Worked example"))
        doc_port = re.search(r"^BASE=http://127\.0\.0\.1:(\d+)$", text, re.M).group(1)
        doc_meter = re.search(r"^METER_PORT=(\d+)$", text, re.M).group(1)

        def localise(s):
            return s.replace(f"127.0.0.1:{doc_port}", f"127.0.0.1:{program.port}").replace(doc_meter, str(meter.port))

        prelude = []
        for command, expected in steps:
            command = localise(command)
            if expected == "set":
                prelude.append(command)
                continue
            run = subprocess.run(["bash", "-c", "\n".join(["set -eo pipefail"] + prelude + [command])],
                                 cwd=tmp_path, capture_output=True, text=True, timeout=60)
            assert run.returncode == 0, (command, run.stderr)
            if expected is None:
                continue
            kind, reply = expected
            if kind == "exact":
                assert run.stdout.strip() == localise(reply), command
            else:
                assert shape(json.loads(run.stdout)) == shape(json.loads(reply)), command
    finally:
        meter.stop()


def test_every_function_and_endpoint_has_a_section():
    text = open(DOC, encoding="utf-8").read()
    headings = set(re.findall(r"^### (\S+)$", text, re.M))
    source = open(os.path.join(ROOT, "src", "myhttprequesthandler.cpp"), encoding="utf-8").read()
    functions = set(re.findall(r'\ba\.add\("(\w+)"', source))
    endpoints = set(re.findall(r'path\.contains\("(\w+\.html)"\)', source.split("::route(")[1]))
    assert "getAppState" in functions and "saveFile.html" in endpoints  # the patterns still fit
    assert (functions | (endpoints - {"ajax.html"})) - headings == set()
