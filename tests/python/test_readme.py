"""Every example of the README runs as pasted: the python blocks under one heading in one fresh
interpreter, in order; sh blocks in bash with ``quorvelin`` meaning this checkout's command; all in
one scratch directory. A block right after ``<!-- readme-test: skip ... -->`` is left out."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import PYTHON_DIR

ROOT = os.path.dirname(PYTHON_DIR)
RUNNERS = {"python": "python", "py": "python", "sh": "sh", "bash": "sh", "shell": "sh"}
SKIP = re.compile(r"<!--\s*readme-test:\s*skip\b")


def readme_blocks(text):
    """(line number, language, code, skipped, heading) of every fenced block; heading is
    the line number of the last heading above it."""
    blocks = []
    lines = text.split("\n")
    heading = 0
    i = 0
    while i < len(lines):
        if lines[i].startswith("#"):
            heading = i + 1
        m = re.match(r"^(\s*)```(\w*)\s*$", lines[i])
        if not m:
            i += 1
            continue
        indent, lang, start = m.group(1), m.group(2).lower(), i
        i += 1
        body = []
        while i < len(lines) and lines[i].strip() != "```":
            body.append(lines[i])
            i += 1
        previous = next((lines[j] for j in range(start - 1, -1, -1) if lines[j].strip()), "")
        code = textwrap.dedent("\n".join(body)) if indent else "\n".join(body)
        blocks.append((start + 1, lang, code, bool(SKIP.search(previous)), heading))
        i += 1
    return blocks


def sessions(blocks):
    """Runs of runnable blocks of one kind under one heading: (first line, kind, code),
    python blocks joined into one script that names each block's README line."""
    out = []
    for line, lang, code, skipped, heading in blocks:
        if skipped or lang not in RUNNERS:
            continue
        kind = RUNNERS[lang]
        if kind == "python" and out and out[-1][1] == "python" and out[-1][3] == heading:
            first, _, script, _ = out[-1]
            out[-1] = (first, kind, f"{script}\n# README line {line}\n{code}", heading)
        else:
            out.append((line, kind, f"# README line {line}\n{code}" if kind == "python" else code, heading))
    return [(line, kind, code) for line, kind, code, _ in out]


def _runnable():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as fh:
        found = sessions(readme_blocks(fh.read()))
    # A reader of the README finds python and shell examples; none may be lost to the parser.
    kinds = [kind for _, kind, _ in found]
    assert kinds.count("python") >= 4 and kinds.count("sh") >= 1
    return found


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    d = tmp_path_factory.mktemp("readme")
    bin_dir = d / "bin"
    bin_dir.mkdir()
    wrapper = bin_dir / "quorvelin"
    wrapper.write_text(f'#!/bin/sh\nexec "{sys.executable}" -m quorvelin_tools "$@"\n')
    wrapper.chmod(0o755)
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    env["PATH"] = str(bin_dir) + os.pathsep + env.get("PATH", "")
    env["MPLBACKEND"] = "Agg"
    work = d / "work"
    work.mkdir()
    return work, env


@pytest.mark.parametrize("line, kind, code", _runnable(), ids=lambda v: str(v) if isinstance(v, int) else None)
def test_readme_example_runs(scratch, line, kind, code):
    work, env = scratch
    cmd = [sys.executable, "-c", code] if kind == "python" else ["bash", "-euo", "pipefail", "-c", code]
    r = subprocess.run(cmd, cwd=work, env=env, capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, f"README line {line} ({kind}) failed:\n{r.stdout[-3000:]}\n{r.stderr[-3000:]}"
