#!/usr/bin/env python3
"""Runs every example with output in the Markdown files it is given, so that a stale one fails:

    python3 scripts/docs_examples.py --build-dir build README.md docs/guide/python.md ...

Two kinds of fenced block are examples:

- ``pycon``: a Python session, run as a doctest (ELLIPSIS on) with the repository's root as the
  current folder and the build's module first on sys.path. The blocks of one file share their
  names, in order, as a doctest of the whole file would.
- ``console``: command lines, each after ``$ `` (a line ending in a backslash goes on), each
  followed by what it prints, standard error and standard output together as a terminal shows
  them. Each runs in bash with ``-o pipefail``, in a fresh copy of examples/sample (so ``leaf.cbor``
  and the other sample files are at hand), with the build's halyx-verify first on PATH. Output
  must match (``...`` stands for any text), and every command must exit 0: an example that shows
  a failure ends in ``; echo "exit $?"`` and shows the status that way.

Every other block (``sh``, ``python``, ``cpp``, ...) shows commands or code without output and is
left alone; a ``python`` block that holds a ``>>>`` prompt is refused, since it would look checked
without being so. Prints one line per failure and a closing count.
"""
from __future__ import annotations

import argparse
import doctest
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "sample"
FENCE = re.compile(r"^(?P<indent> {0,3})(?P<fence>`{3,}|~{3,})(?P<info>[^`]*)$")
CHECKER = doctest.OutputChecker()


@dataclass
class Block:
    path: Path
    line: int  # of the first line inside the fence, counted from 1
    kind: str
    text: str


def blocks(path: Path) -> list[Block]:
    """The fenced blocks of a Markdown file, with the first word of their info string."""
    found: list[Block] = []
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        fence, indent = opening["fence"], len(opening["indent"])
        kind = (opening["info"].split() or [""])[0]
        body: list[str] = []
        j = i + 1
        while j < len(lines):
            closing = FENCE.match(lines[j])
            if closing and closing["fence"][0] == fence[0] and len(closing["fence"]) >= len(fence) \
                    and not closing["info"].strip():
                break
            body.append(lines[j][indent:] if lines[j][:indent].isspace() else lines[j])
            j += 1
        found.append(Block(path, i + 2, kind, "\n".join(body) + "\n"))
        i = j + 1
    return found


def run_pycon(block: Block, globs: dict, failures: list[str]) -> int:
    """Runs one pycon block as a doctest; returns the number of its examples that ran."""
    test = doctest.DocTestParser().get_doctest(block.text, globs, f"{block.path}:{block.line}",
                                               str(block.path), block.line - 1)
    if not test.examples:
        failures.append(f"{block.path}:{block.line}: a pycon block without a >>> example")
        return 1
    report: list[str] = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    result = runner.run(test, out=report.append, clear_globs=False)
    globs.update(test.globs)  # the test ran on a copy; the file's next block goes on from here
    if result.failed:
        # One entry per failed example, the report of all of them on the first.
        failures.append("".join(report).rstrip())
        failures.extend([""] * (result.failed - 1))
    return result.attempted


def commands(block: Block) -> list[tuple[int, str, str]]:
    """The (line, command, expected output) of each $ line of a console block."""
    found: list[tuple[int, str, str]] = []
    lines = block.text.splitlines()
    i = 0
    while i < len(lines):
        if not lines[i].startswith("$ "):
            raise ValueError(f"{block.path}:{block.line + i}: console output before any $ command")
        start = i
        command = lines[i][2:]
        while command.endswith("\\") and i + 1 < len(lines):
            i += 1
            command = command[:-1] + "\n" + lines[i]
        i += 1
        expected: list[str] = []
        while i < len(lines) and not lines[i].startswith("$ "):
            expected.append(lines[i] + "\n")
            i += 1
        found.append((block.line + start, command, "".join(expected)))
    return found


def run_console(block: Block, program_dir: Path, failures: list[str]) -> int:
    """Runs one console block's commands in a fresh copy of the sample; returns how many ran."""
    try:
        steps = commands(block)
    except ValueError as e:
        failures.append(str(e))
        return 1
    env = dict(os.environ, PATH=f"{program_dir}{os.pathsep}{os.environ.get('PATH', '')}", LC_ALL="C")
    with tempfile.TemporaryDirectory(prefix="halyx-docs-") as scratch:
        folder = Path(scratch) / "sample"
        shutil.copytree(SAMPLE, folder)
        for line, command, expected in steps:
            done = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=folder, env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  text=True, timeout=120)
            where = f"{block.path}:{line}: $ {command}"
            if done.returncode != 0:
                failures.append(f"{where}\n  exits {done.returncode}; output:\n{done.stdout}")
            elif not CHECKER.check_output(expected, done.stdout, doctest.ELLIPSIS):
                failures.append(f"{where}\n  expected:\n{expected}  got:\n{done.stdout}")
    return len(steps)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build", help="the build whose module and program run the examples")
    parser.add_argument("files", nargs="+", type=Path)
    args = parser.parse_args()
    build = (ROOT / args.build_dir).resolve()
    sys.path.insert(0, str(build / "halyx-verifier-py"))
    os.chdir(ROOT)

    failures: list[str] = []
    counts = {"pycon": 0, "console": 0}
    for path in args.files:
        globs: dict = {"__name__": "__main__"}
        for block in blocks(path):
            if block.kind == "pycon":
                counts["pycon"] += run_pycon(block, globs, failures)
            elif block.kind == "console":
                counts["console"] += run_console(block, build / "halyx-cli", failures)
            elif block.kind == "python" and re.search(r"^>>> ", block.text, re.MULTILINE):
                counts["pycon"] += 1
                failures.append(f"{block.path}:{block.line}: a python block with >>> prompts: write it as pycon")
    for failure in filter(None, failures):
        print(failure, file=sys.stderr)
    total = counts["pycon"] + counts["console"]
    print(f"docs examples: {counts['pycon']} Python, {counts['console']} command lines")
    print(f"examples: {total - len(failures)} passed, {len(failures)} failed")
    return 1 if failures or total == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
