"""docs_examples.py against Markdown written here: examples that hold, and stale ones it must fail,
run against a stand-in halyx-verify and a Python session of their own."""
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import docs_examples  # noqa: E402

SCRIPT = Path(docs_examples.__file__)
# Stands in for the real program: "ok" verifies, anything else fails with exit 1 on standard error;
# "pwd" shows that commands run in a copy of the sample.
FAKE_VERIFY = """#!/bin/sh
case "$1" in
  ok) echo "verified: leaf_index=1"; exit 0 ;;
  pwd) ls leaf.cbor ca.pub; exit 0 ;;
  *) echo "HalyxInvalidProofError: Merkle inclusion proof invalid" >&2; exit 1 ;;
esac
"""


@pytest.fixture
def build(tmp_path: Path) -> Path:
    program = tmp_path / "build" / "halyx-cli" / "halyx-verify"
    program.parent.mkdir(parents=True)
    program.write_text(FAKE_VERIFY)
    program.chmod(0o755)
    (tmp_path / "build" / "halyx-verifier-py").mkdir()
    return tmp_path / "build"


def markdown(tmp_path: Path, text: str) -> Path:
    path = tmp_path / "page.md"
    path.write_text(textwrap.dedent(text))
    return path


def run(build: Path, *files: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(SCRIPT), "--build-dir", str(build), *map(str, files)],
                          capture_output=True, text=True)


@pytest.mark.parametrize("page, passed, failed", [
    # A console example that prints what it shows passes; one that prints something else, exits
    # non-zero, or holds output before any command fails.
    ("```console\n$ halyx-verify ok\nverified: leaf_index=1\n```\n", 1, 0),
    ("```console\n$ halyx-verify ok\nverified: leaf_index=2\n```\n", 0, 1),
    ("```console\n$ halyx-verify bad\nHalyxInvalidProofError: Merkle inclusion proof invalid\n```\n", 0, 1),
    ("```console\n$ halyx-verify bad; echo \"exit $?\"\nHalyxInvalidProofError: Merkle inclusion proof invalid\n"
     "exit 1\n```\n", 1, 0),
    ("```console\n$ halyx-verify bad; echo \"exit $?\"\nHalyxInvalidProofError: ...\nexit 2\n```\n", 0, 1),
    ("```console\nverified: leaf_index=1\n$ halyx-verify ok\n```\n", 0, 1),
    ("```console\n$ halyx-verify ok | \\\n  tr a-z A-Z\nVERIFIED: ...\n```\n", 1, 0),
    ("```console\n$ halyx-verify pwd\nca.pub\nleaf.cbor\n```\n", 1, 0),
    ("```console\n$ halyx-verify ok > out.txt\n$ cat out.txt\nverified: leaf_index=1\n```\n", 2, 0),
    # Python sessions are doctests; the blocks of one file share their names.
    ("```pycon\n>>> 1 + 1\n2\n```\n", 1, 0),
    ("```pycon\n>>> 1 + 1\n3\n```\n", 0, 1),
    ("```pycon\n>>> x = 40\n```\n\ntext\n\n```pycon\n>>> x + 2\n42\n```\n", 2, 0),
    ("```pycon\n>>> raise ValueError('no')\nTraceback (most recent call last):\n  ...\nValueError: no\n```\n", 1, 0),
    ("```pycon\nprint('no prompt')\n```\n", 0, 1),
    # A python block with prompts would look checked without being so.
    ("```python\n>>> 1 + 1\n2\n```\n\n```pycon\n>>> 2\n2\n```\n", 1, 1),
    # Blocks without output are left alone, whatever they hold; a longer fence holds a shorter one.
    ("```sh\nfalse\n```\n\n````text\n```console\n$ halyx-verify bad\n```\n````\n\n```pycon\n>>> 2\n2\n```\n", 1, 0),
    ("~~~pycon\n>>> 'tilde'\n'tilde'\n~~~\n", 1, 0),
    ("- item\n\n  ```console\n  $ halyx-verify ok\n  verified: leaf_index=1\n  ```\n", 1, 0),
])
def test_examples_pass_or_fail(tmp_path: Path, build: Path, page: str, passed: int, failed: int):
    done = run(build, markdown(tmp_path, page))
    assert f"examples: {passed} passed, {failed} failed" in done.stdout, done.stdout + done.stderr
    assert done.returncode == (1 if failed else 0), done.stderr


def test_a_failure_names_its_place_and_both_outputs(tmp_path: Path, build: Path):
    page = markdown(tmp_path, "# Title\n\n```console\n$ halyx-verify ok\nverified: leaf_index=9\n```\n")
    done = run(build, page)
    assert f"{page}:4: $ halyx-verify ok" in done.stderr
    assert "verified: leaf_index=9" in done.stderr and "verified: leaf_index=1" in done.stderr


def test_files_without_examples_fail(tmp_path: Path, build: Path):
    done = run(build, markdown(tmp_path, "No examples here.\n\n```sh\ntrue\n```\n"))
    assert done.returncode == 1
    assert "examples: 0 passed, 0 failed" in done.stdout


def test_blocks_report_their_first_line_and_kind(tmp_path: Path):
    page = markdown(tmp_path, "text\n\n```pycon {.class}\n>>> 1\n1\n```\n\n```\nplain\n```\n")
    found = docs_examples.blocks(page)
    assert [(b.kind, b.line, b.text) for b in found] == [("pycon", 4, ">>> 1\n1\n"), ("", 9, "plain\n")]
