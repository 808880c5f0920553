"""The shell examples of the project's Markdown documents, as steps to run."""

import re
import textwrap


def section(text, title):
    """The part of `text` under the heading "## title", up to the next such heading."""
    start = text.index(f"\n## {title}\n")
    end = text.find("\n## ", start + 1)
    return text[start:end if end >= 0 else len(text)]


def blocks(text):
    """(language, body) of the fenced blocks of `text`, in order, also those indented in a list."""
    return [(lang, textwrap.dedent(body)) for lang, body in re.findall(r"```(\w+)\n(.*?)```", text, re.S)]


def shell_steps(body):
    """(command, expectation) of one sh block: a command is a line, or lines joined by a final
    backslash; a line "# → text" after it is its expected reply, ("exact", text), else None.
    Variable assignments come back as (assignment, "set")."""
    steps = []
    command = ""
    for line in body.splitlines():
        if line.startswith("# → "):
            steps[-1] = (steps[-1][0], ("exact", line[len("# → "):]))
        elif command or line.strip():
            command += line
            if command.endswith("\\"):
                command = command[:-1] + " "
                continue
            kind = "set" if re.fullmatch(r"[A-Z_]+=\S+", command) else None
            steps.append((command, kind))
            command = ""
    return steps


def example_steps(text):
    """The steps of the sh blocks of `text` in document order; a json block after a command
    without reply gives its expected reply, ("shape", json text)."""
    steps = []
    for lang, body in blocks(text):
        if lang == "json":
            assert steps and steps[-1][1] is None, "a json block must follow a command without reply"
            steps[-1] = (steps[-1][0], ("shape", body))
            continue
        assert lang == "sh", lang
        steps += shell_steps(body)
    return steps
