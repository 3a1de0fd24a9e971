"""Mutation testing of the project's C++ sources against its release tests.

Each mutant changes one token of one source file: a relational operator (< and <=, > and >=, == and
!=), a logical one (&& and ||), an integer constant by one, the value of `return true;` or
`return false;`, or removes a `break`. A seeded sample of them is built one at a time in a build
tree of its own and run against the tests; each mutant ends as

  killed        a test failed (or crashed);
  timeout       a test ran past its time limit: the suite would not pass, so it counts as killed;
  survived      every test passed;
  not_built     the changed token never reaches the compiler in this build: no translation unit
                includes its file, or it lies in a preprocessor branch not taken (an aarch64
                path on x86-64, say), so no test of this build could tell;
  not_compiled  the build (with warnings as errors, as the project builds) refused it;
  unchanged     the objects of every translation unit that compiles the file came out with the
                same code and data as without the mutant (or every binary came out byte for byte
                the same), so no behaviour changed;
  equivalent    listed as equivalent in scripts/mutants-known.txt;
  sanitizer     listed there as caught by the sanitizer build only (counts as killed).

The score is killed / (killed + timeout + sanitizer + survived); the other outcomes do not change
behaviour and are left out. A mutant is first checked against the preprocessor (each translation
unit that includes the file, the token swapped for a marker), then only the objects of those units
are built and compared with the unmutated ones, their debug information left out; the whole tree
is built and tested only when an object changed. Run through scripts/mutants.sh, which configures
the build tree.
"""
from __future__ import annotations

import argparse
import dataclasses
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SOURCE_ROOTS = ("dcbor/src", "halyx-core/src", "halyx-core/include", "halyx-verifier-py/src/lib")
SOURCE_SUFFIXES = (".cpp", ".hpp")  # generated tables are .inc and never mutated
KNOWN_FILE = ROOT / "scripts" / "mutants-known.txt"
# The differential test's cases dominate the run: they go last, alone, and only once all else has
# passed. Each GoogleTest case is a ctest test of its own, named Suite.Case.
SLOW_TESTS = re.compile(r"MlDsaDifferential\.")
COUNTED = ("killed", "timeout", "sanitizer", "survived")

# ---------------------------------------------------------------------------------------------
# Finding mutation sites


@dataclasses.dataclass
class Token:
    kind: str  # id, num, str, punct
    text: str
    start: int  # offset in the file
    line: int  # 1-based


PUNCTUATORS = sorted(
    "<<= >>= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= .* "
    "{ } [ ] ( ) ; : , . ? ~ ! + - * / % ^ & | = < > #".split(),
    key=len, reverse=True)
STRING_PREFIXES = ("u8R", "uR", "UR", "LR", "R", "u8", "u", "U", "L")


def tokenize(src: str) -> list[Token]:
    """Returns the tokens of C++ source, without comments, preprocessor lines or whitespace."""
    tokens: list[Token] = []
    i, n, line = 0, len(src), 1
    at_line_start = True
    while i < n:
        c = src[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if src.startswith("//", i):
            i = src.find("\n", i)
            i = n if i < 0 else i
            continue
        if src.startswith("/*", i):
            end = src.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += src.count("\n", i, end)
            i = end
            continue
        if c == "#" and at_line_start:  # a directive runs to an unescaped end of line
            j = i
            while j < n and not (src[j] == "\n" and src[j - 1] != "\\"):
                j += 1
            line += src.count("\n", i, j)
            i = j
            continue
        at_line_start = False
        start, start_line = i, line
        if c.isalpha() or c == "_":
            j = i + 1
            while j < n and (src[j].isalnum() or src[j] == "_"):
                j += 1
            word = src[i:j]
            if j < n and src[j] in "\"'" and word in STRING_PREFIXES:
                i = j
                c = src[i]
                if word.endswith("R") and c == '"':  # raw string: R"delim( ... )delim"
                    open_paren = src.index("(", i)
                    close = ")" + src[i + 1:open_paren] + '"'
                    end = src.index(close, open_paren) + len(close)
                    line += src.count("\n", i, end)
                    tokens.append(Token("str", src[start:end], start, start_line))
                    i = end
                    continue
            else:
                tokens.append(Token("id", word, start, start_line))
                i = j
                continue
        if c in "\"'":
            j = i + 1
            while j < n and src[j] != c:
                j += 2 if src[j] == "\\" else 1
            tokens.append(Token("str", src[start:j + 1], start, start_line))
            i = j + 1
            continue
        if c.isdigit() or (c == "." and i + 1 < n and src[i + 1].isdigit()):
            j = i + 1
            while j < n:
                if src[j] in "eEpP" and j + 1 < n and src[j + 1] in "+-" and not src[i:j].lower().startswith("0x"):
                    j += 2
                elif src[j] in "pP" and j + 1 < n and src[j + 1] in "+-":
                    j += 2
                elif src[j].isalnum() or src[j] in "_.":
                    j += 1
                elif src[j] == "'" and j + 1 < n and src[j + 1].isalnum():  # digit separator
                    j += 2
                else:
                    break
            tokens.append(Token("num", src[i:j], start, start_line))
            i = j
            continue
        for p in PUNCTUATORS:
            if src.startswith(p, i):
                tokens.append(Token("punct", p, start, start_line))
                i += len(p)
                break
        else:
            i += 1  # a stray character (e.g. `@` or `$`): nothing to mutate
    return tokens


NOT_A_TYPE = {"return", "case", "else", "do", "new", "delete", "throw", "co_return", "co_yield", "sizeof",
              "typeid", "not", "and", "or", "goto"}
CLOSERS = {"(": ")", "[": "]", "{": "}"}


def template_close(tokens: list[Token], i: int) -> int | None:
    """Returns the index of the `>` (or `>>`) closing a template argument list opened at tokens[i],
    or None when that `<` is a comparison."""
    prev = tokens[i - 1] if i > 0 else None
    if prev is None or prev.kind != "id":
        return None
    depth, nesting = 1, 0
    for j in range(i + 1, len(tokens)):
        t = tokens[j].text
        if tokens[j].kind != "punct":
            continue
        if t in ("(", "["):
            nesting += 1
        elif t in (")", "]"):
            if nesting == 0:
                return None
            nesting -= 1
        elif nesting == 0:
            if t == "<":
                depth += 1
            elif t == ">":
                depth -= 1
            elif t == ">>":
                depth -= 2
            elif t in (";", "{", "}", "&&", "||", "?"):
                return None
            if depth <= 0:
                return j
    return None


def matching(tokens: list[Token], i: int) -> int:
    """Returns the index of the bracket closing the one at tokens[i] (or the last token)."""
    opener, closer, depth = tokens[i].text, CLOSERS[tokens[i].text], 0
    for j in range(i, len(tokens)):
        if tokens[j].kind == "punct":
            if tokens[j].text == opener:
                depth += 1
            elif tokens[j].text == closer:
                depth -= 1
                if depth == 0:
                    return j
    return len(tokens) - 1


def integer_value(text: str) -> tuple[int, str, str] | None:
    """Returns (value, base prefix, suffix) of an integer literal, or None for a float."""
    digits = text.replace("'", "")
    m = re.fullmatch(r"(0[xX])([0-9a-fA-F]+)([uUlLzZ]*)|(0[bB])([01]+)([uUlLzZ]*)|([0-9]+)([uUlLzZ]*)", digits)
    if not m:
        return None
    if m.group(1):
        return int(m.group(2), 16), m.group(1), m.group(3)
    if m.group(4):
        return int(m.group(5), 2), m.group(4), m.group(6)
    if len(m.group(7)) > 1 and m.group(7).startswith("0"):
        return int(m.group(7), 8), "0", m.group(8)
    return int(m.group(7)), "", m.group(8)


def integer_text(original: str, value: int) -> str:
    """Writes value in the base, letter case, width and suffix of an integer literal."""
    old, prefix, suffix = integer_value(original)  # type: ignore[misc]
    body = original.replace("'", "")[len(prefix):len(original.replace("'", "")) - len(suffix)]
    if prefix.lower() == "0x":
        text = format(value, "0%dx" % len(body))
        text = text.upper() if body.isupper() else text
    elif prefix.lower() == "0b":
        text = format(value, "0%db" % len(body))
    elif prefix == "0":
        text = format(value, "o")
    else:
        text = str(value)
    return prefix + text + suffix


@dataclasses.dataclass
class Site:
    path: str  # relative to the project root
    start: int  # offset of the token in the file
    line: int
    original: str
    mutated: str
    kind: str
    source_line: str = ""
    mutated_line: str = ""
    ident: str = ""


def find_sites(path: str, src: str) -> list[Site]:
    """Returns every mutation site of one source file, in file order."""
    tokens = tokenize(src)
    skip: set[int] = set()  # token indices no mutation touches
    template_closers: set[int] = set()
    for i, t in enumerate(tokens):
        if t.kind == "punct" and t.text == "<":
            j = template_close(tokens, i)
            if j is not None:
                # Template arguments: sizes of arrays and spans, types. Changing them gives a
                # mutant of a declaration, mostly one that does not compile.
                template_closers.add(j)
                skip.update(range(i, j + 1))
        elif t.kind == "id" and t.text in ("static_assert", "alignas") and i + 1 < len(tokens):
            # Checked at compile time: a mutant either fails to compile or changes nothing.
            skip.update(range(i, matching(tokens, i + 1) + 1))
        elif t.kind == "punct" and t.text == "[" and i + 1 < len(tokens) and tokens[i + 1].text == "[":
            skip.update(range(i, matching(tokens, i) + 1))  # an attribute
        elif (t.kind == "punct" and t.text == "[" and i >= 2 and tokens[i - 1].kind == "id"
              and tokens[i - 1].text not in NOT_A_TYPE
              and ((tokens[i - 2].kind == "id" and tokens[i - 2].text not in NOT_A_TYPE)
                   or tokens[i - 2].text in (">", "*", "&"))):
            # `T name[N]`: the size of an array being declared.
            skip.update(range(i, matching(tokens, i) + 1))
        elif t.kind == "punct" and t.text == "{":
            # A brace list of more than eight integers and no statement is a table of data; its
            # entries are checked as a whole by the known-answer tests, so one-off changes to them
            # would measure the table, not the tests.
            j = matching(tokens, i)
            inner = tokens[i + 1:j]
            if not any(x.text == ";" for x in inner) and sum(
                    x.kind == "num" and integer_value(x.text) is not None for x in inner) > 8:
                skip.update(range(i, j + 1))

    sites: list[Site] = []
    for i, t in enumerate(tokens):
        if i in skip:
            continue
        prev = tokens[i - 1] if i > 0 else None
        nxt = tokens[i + 1] if i + 1 < len(tokens) else None
        after_operator = prev is not None and prev.text == "operator"

        def add(mutated: str, kind: str) -> None:
            sites.append(Site(path, t.start, t.line, t.text, mutated, kind))

        if t.kind == "punct":
            if after_operator:
                continue
            if t.text in ("<", "<=", ">", ">=") and i not in template_closers:
                add({"<": "<=", "<=": "<", ">": ">=", ">=": ">"}[t.text], "relational")
            elif t.text in ("==", "!="):
                add("!=" if t.text == "==" else "==", "relational")
            elif t.text == "||":
                add("&&", "logical")
            elif t.text == "&&" and src[t.start - 1] in " \t\n":
                # `T&& x` (a forwarding or rvalue reference) is written without a space before.
                add("||", "logical")
        elif t.kind == "id":
            if t.text in ("true", "false") and prev is not None and prev.text == "return" and nxt is not None \
                    and nxt.text == ";":
                add("false" if t.text == "true" else "true", "return")
            elif t.text == "break" and nxt is not None and nxt.text == ";":
                add("", "break")
        elif t.kind == "num":
            parsed = integer_value(t.text)
            if parsed is None:
                continue
            value = parsed[0]
            add(integer_text(t.text, value + 1), "constant")
            if value > 0:  # 0 only goes up: -1 in its place is mostly a conversion error
                add(integer_text(t.text, value - 1), "constant")

    lines = src.split("\n")
    seen_lines: dict[str, int] = {}
    line_index: dict[int, int] = {}
    for number, text in enumerate(lines, 1):
        norm = normalise(text)
        seen_lines[norm] = seen_lines.get(norm, 0) + 1
        line_index[number] = seen_lines[norm]
    line_starts = [0]
    for text in lines:
        line_starts.append(line_starts[-1] + len(text) + 1)
    for s in sites:
        text = lines[s.line - 1]
        col = s.start - line_starts[s.line - 1]
        s.source_line = text
        s.mutated_line = text[:col] + s.mutated + text[col + len(s.original):]
        same = sum(1 for t in tokens if t.line == s.line and t.text == s.original and t.start < s.start) + 1
        s.ident = mutant_id(path, text, s.original, s.mutated, same, line_index[s.line])
    return sites


def normalise(line: str) -> str:
    return " ".join(line.split())


def mutant_id(path: str, line: str, original: str, mutated: str, nth_token: int, nth_line: int) -> str:
    """Names a mutant by its file, its line's text and the change, so that the name survives edits
    elsewhere in the file. @k is the k-th such token in the line, #n the n-th line with that text."""
    ident = f"{path} | {normalise(line)} | {original} -> {mutated or repr('')}"
    if nth_token > 1:
        ident += f" @{nth_token}"
    if nth_line > 1:
        ident += f" #{nth_line}"
    return ident


def source_files(build: Path) -> tuple[list[str], list[str]]:
    """Returns the sources to mutate (relative paths) and the .cpp files this configuration does
    not compile (a backend not chosen), which are left out."""
    compiled = {str(Path(e["file"]).resolve()) for e in json.loads((build / "compile_commands.json").read_text())}
    chosen, left_out = [], []
    for root in SOURCE_ROOTS:
        for p in sorted((ROOT / root).rglob("*")):
            if p.suffix not in SOURCE_SUFFIXES or not p.is_file():
                continue
            rel = str(p.relative_to(ROOT))
            if p.suffix == ".cpp" and str(p.resolve()) not in compiled:
                left_out.append(rel)
            else:
                chosen.append(rel)
    return chosen, left_out


def read_source(path: Path) -> str:
    return path.read_bytes().decode("utf-8")  # no newline translation: offsets stay exact


def all_sites(files: list[str]) -> list[Site]:
    sites: list[Site] = []
    for f in files:
        sites.extend(find_sites(f, read_source(ROOT / f)))
    return sites


def read_known(path: Path = KNOWN_FILE) -> dict[str, tuple[str, str]]:
    """Reads the mutants judged by hand: `ID | equivalent: reason` or `ID | sanitizer: report`."""
    known: dict[str, tuple[str, str]] = {}
    if not path.exists():
        return known
    for number, raw in enumerate(path.read_text().splitlines(), 1):
        if not raw.strip() or raw.lstrip().startswith("#"):
            continue
        ident, _, note = raw.rpartition(" | ")
        verdict, _, reason = note.partition(":")
        if not ident or verdict not in ("equivalent", "sanitizer") or not reason.strip():
            sys.exit(f"{path}:{number}: expected `file | line | change | equivalent: why` "
                     f"or `... | sanitizer: report`")
        known[ident] = (verdict, reason.strip())
    return known


# ---------------------------------------------------------------------------------------------
# Building and testing


PROBE = "halyx_mutant_probe"  # an identifier no source holds


@dataclasses.dataclass
class Unit:
    """A translation unit of the build, as compile_commands.json gives it."""
    source: str  # the file compiled, resolved
    output: str  # its object, resolved
    directory: str
    arguments: list[str]


def compile_units(build: Path) -> list[Unit]:
    units = []
    for e in json.loads((build / "compile_commands.json").read_text()):
        args = list(e["arguments"]) if "arguments" in e else shlex.split(e["command"])
        output = e.get("output") or args[args.index("-o") + 1]
        units.append(Unit(str(Path(e["directory"], e["file"]).resolve()),
                          str(Path(e["directory"], output).resolve()), e["directory"], args))
    return units


def parse_ninja_deps(text: str, build: Path) -> dict[str, set[str]]:
    """Reads `ninja -t deps`: a target at the start of a line, then the files it was built from,
    indented, one a line. Returns each target's files, both resolved (links followed)."""
    deps: dict[str, set[str]] = {}
    current: set[str] | None = None
    for line in text.splitlines():
        if not line.strip():
            current = None
        elif not line[0].isspace():
            target = line.rsplit(": #deps", 1)[0]
            current = deps.setdefault(str((build / target).resolve()), set())
        elif current is not None:
            current.add(str((build / line.strip()).resolve()))
    return deps


def units_by_file(units: list[Unit], deps: dict[str, set[str]], root: Path = ROOT) -> dict[str, list[Unit]]:
    """Maps each file under `root` (relative path) to the translation units that compile it: its
    own unit for a source, every unit that includes it for a header (the compiler's dependency
    list of the last build)."""
    by_file: dict[str, list[Unit]] = {}
    for u in units:
        for f in {u.source} | deps.get(u.output, set()):
            if Path(f).is_relative_to(root):
                by_file.setdefault(str(Path(f).relative_to(root)), []).append(u)
    return by_file


def preprocess_command(unit: Unit) -> list[str]:
    """The unit's compile command turned into a run of the preprocessor alone, to standard output."""
    args, i = [], 0
    while i < len(unit.arguments):
        a = unit.arguments[i]
        if a in ("-o", "-MF", "-MT", "-MQ"):
            i += 2
            continue
        if a not in ("-c", "-MD", "-MMD"):
            args.append(a)
        i += 1
    return args + ["-E", "-P"]


def reaches_compiler(workspace: Workspace, site: Site, units: list[Unit]) -> bool:
    """Whether the token of `site` reaches the compiler in any of `units`: the token is swapped
    in place for PROBE, each unit preprocessed until one's output holds it. A token in a branch
    of #if that this build does not take is dropped by the preprocessor in all of them. The file
    goes back with its own time stamp, so nothing is rebuilt for the probe. A unit the preprocessor
    fails on counts as reached: the mutant is then built and judged as any other."""
    probe = dataclasses.replace(site, mutated=f" {PROBE} ")
    blocked = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
    signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
    try:
        workspace.apply(probe)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, blocked)
        for u in units:
            out = subprocess.run(preprocess_command(u), cwd=u.directory, capture_output=True, text=True,
                                 errors="replace")
            if out.returncode != 0 or PROBE in out.stdout:
                return True
        return False
    finally:
        signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
        workspace.restore(probe, built=False)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, blocked)


def object_digest(path: Path) -> str:
    """The digest of an object's code and data. Its debug information is left out: it records
    columns, which move with a token's width where the code does not change."""
    with tempfile.TemporaryDirectory() as tmp:
        stripped = Path(tmp) / path.name
        subprocess.run(["objcopy", "--strip-debug", str(path), str(stripped)], check=True)
        return hashlib.sha256(stripped.read_bytes()).hexdigest()


class Interrupted(Exception):
    pass


def on_signal(signum, frame):  # noqa: ARG001
    raise Interrupted(signal.Signals(signum).name)


class Workspace:
    """Applies a mutant to a source file and restores it. The original file itself (its inode) is
    kept aside through a hard link while the mutant is in place, so restoring puts back exactly what
    was there; a run that was killed outright is repaired by the next one from the same place."""

    def __init__(self, aside: Path, root: Path = ROOT):
        self.aside, self.root = aside, root

    def recover(self) -> list[str]:
        restored = []
        if self.aside.exists():
            for p in sorted(self.aside.rglob("*")):
                if p.is_file():
                    rel = p.relative_to(self.aside)
                    os.replace(p, self.root / rel)
                    os.utime(self.root / rel)
                    restored.append(str(rel))
        return restored

    def apply(self, site: Site) -> None:
        target = self.root / site.path
        src = read_source(target)
        mutated = src[:site.start] + site.mutated + src[site.start + len(site.original):]
        kept = self.aside / site.path
        kept.parent.mkdir(parents=True, exist_ok=True)
        tmp = target.with_name("." + target.name + ".mutant")  # matches no source glob
        tmp.write_bytes(mutated.encode("utf-8"))
        shutil.copymode(target, tmp)
        try:
            os.link(target, kept)
        except OSError:  # another file system
            shutil.copy2(target, kept)
        os.replace(tmp, target)

    def restore(self, site: Site, built: bool = True) -> None:
        """Puts the original back; `built` when anything was built from the mutant."""
        target, kept = self.root / site.path, self.aside / site.path
        if not kept.exists():  # apply() stopped before setting the original aside
            return
        os.replace(kept, target)
        if built:
            # Back with a new time stamp: with its old one, the build would keep the mutant's
            # objects. Otherwise the original keeps its own, and nothing is rebuilt for it.
            os.utime(target)


def artefacts(build: Path) -> list[Path]:
    """Returns the libraries, programs and modules the build makes (what the tests run)."""
    found = []
    for dirpath, dirnames, filenames in os.walk(build):
        dirnames[:] = [d for d in dirnames if d not in ("CMakeFiles", "install-test", "mutants", "Testing")
                       and not d.startswith("openssl")]
        for f in filenames:
            p = Path(dirpath) / f
            if p.suffix in (".a", ".so"):
                found.append(p)
            elif os.access(p, os.X_OK) and p.open("rb").read(4) == b"\x7fELF":
                found.append(p)
    return sorted(found)


def digests(paths: list[Path]) -> dict[str, str]:
    return {str(p): hashlib.sha256(p.read_bytes()).hexdigest() for p in paths}


@dataclasses.dataclass
class Test:
    name: str
    needs: set[str]  # artefacts it runs; empty: unknown, so it always runs


def list_tests(build: Path, made: list[Path]) -> list[Test]:
    """Returns the ctest tests and, for each, the artefacts named in its command or environment."""
    listing = json.loads(subprocess.run(["ctest", "--test-dir", str(build), "--show-only=json-v1"],
                                        check=True, capture_output=True, text=True).stdout)
    tests = []
    for t in listing["tests"]:
        words = list(t.get("command", []))
        for prop in t.get("properties", []):
            if prop["name"] == "ENVIRONMENT":
                words += prop["value"]
        paths = set()
        for w in words:
            for part in re.split(r"[=:;]", w):
                if part.startswith("/"):
                    paths.add(os.path.normpath(part))
        needs = {str(a) for a in made if any(str(a) == p or str(a).startswith(p + "/") for p in paths)}
        tests.append(Test(t["name"], needs))
    return tests


def run_group(command: list[str], timeout: float, env: dict[str, str] | None = None) -> tuple[int, str]:
    """Runs a command in a process group of its own and returns its status and output. Whatever
    stops the wait (a signal, the time limit), the whole group is killed before this returns, so no
    compiler is left writing an object from a source that has since been put back."""
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return -1, out + f"\n(stopped after {timeout:.0f} s)"
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise


CTEST_LINE = re.compile(r"Test\s+#\d+: (\S+) \.*\s*(.*?)\s+([\d.]+) sec")


def parse_ctest(stdout: str) -> tuple[dict[str, str], dict[str, float]]:
    """Returns the outcome (passed, skipped, timeout, failed) and the seconds of each test that
    ctest's output reports as finished."""
    outcome, seconds = {}, {}
    for line in stdout.splitlines():
        m = CTEST_LINE.search(line)
        if m:
            status = m.group(2)
            outcome[m.group(1)] = ("passed" if status == "Passed" else
                                   "skipped" if "Skipped" in status else
                                   "timeout" if "Timeout" in status else "failed")
            seconds[m.group(1)] = float(m.group(3))
    return outcome, seconds


def stages(names: list[str]):
    """Yields (stage, tests): every test but the slow differential cases first, both cores at once
    and failing fast; then those cases."""
    fast = [n for n in names if not SLOW_TESTS.match(n)]
    slow = [n for n in names if SLOW_TESTS.match(n)]
    if fast:
        yield "fast", fast
    if slow:
        yield "slow", slow


def run_ctest(build: Path, names: list[str], timeout: float, jobs: int) -> dict:
    """Runs some tests under ctest, stopping at the first failure. Returns each test's outcome
    (passed, skipped, failed, timeout), their durations, and the first failing case the output
    names."""
    regex = "^(" + "|".join(re.escape(n) for n in names) + ")$"
    env = dict(os.environ, GTEST_FAIL_FAST="1", PYTEST_ADDOPTS="-x")
    returncode, stdout = run_group(["ctest", "--test-dir", str(build), "-R", regex, "--timeout",
                                    str(int(timeout)), "--stop-on-failure", "-j", str(jobs),
                                    "--output-on-failure"], 4 * timeout + 600, env)
    outcome, seconds = parse_ctest(stdout)
    detail = ""
    for line in stdout.splitlines():
        m = re.match(r"\[  FAILED  \] (\S+)|FAILED (\S+)|(\S+Error|AssertionError)\b", line.strip())
        if m:
            detail = next(g for g in m.groups() if g)
            break
    if returncode != 0 and not any(v in ("failed", "timeout") for v in outcome.values()):
        outcome["ctest"] = "failed"  # ctest itself failed (e.g. a test could not start)
        detail = detail or stdout[-300:]
    return {"outcome": outcome, "seconds": seconds, "detail": detail}


class Runner:
    def __init__(self, build: Path, jobs: int, timeout_factor: float):
        self.build, self.jobs, self.timeout_factor = build, jobs, timeout_factor
        self.workspace = Workspace(build / "mutants" / "originals")

    def cmake_build(self) -> tuple[int, str]:
        return run_group(["cmake", "--build", str(self.build), "-j", str(self.jobs)], 3600)

    def baseline(self) -> None:
        """Builds the unmutated tree and runs every test in the two stages mutants use: the suite
        must pass, the build must be reproducible, and the durations set the time limits."""
        rc, log = self.cmake_build()
        if rc != 0:
            sys.exit("mutants: the unmutated tree does not build:\n" + log[-3000:])
        self.made = artefacts(self.build)
        self.reference = digests(self.made)
        rc, deps = run_group(["ninja", "-C", str(self.build), "-t", "deps"], 600)
        if rc != 0:
            sys.exit("mutants: ninja cannot list the build's dependencies:\n" + deps[-3000:])
        # A unit whose object the build does not make (a target left out of `all`) compiles nothing
        # the tests run.
        built = [u for u in compile_units(self.build) if Path(u.output).exists()]
        self.units = units_by_file(built, parse_ninja_deps(deps, self.build))
        self.objects = {u.output: object_digest(Path(u.output)) for us in self.units.values() for u in us}
        self.tests = list_tests(self.build, self.made)
        self.limits = {}
        for stage, names in stages([t.name for t in self.tests]):
            result = run_ctest(self.build, names, 3600, self.jobs)
            if (any(v not in ("passed", "skipped") for v in result["outcome"].values())
                    or set(result["outcome"]) != set(names)):
                sys.exit(f"mutants: the unmutated tree fails its tests ({stage}): {result}")
            slowest = max(result["seconds"].values())
            # Generous: the machine is shared, and a test slowed by a neighbour must not be taken
            # for a mutant that loops.
            self.limits[stage] = max(60.0, self.timeout_factor * slowest)
            print(f"baseline {stage}: {len(names)} tests, slowest {slowest:.1f} s, "
                  f"time limit {self.limits[stage]:.0f} s per test", flush=True)

    def run(self, site: Site) -> dict:
        started = time.monotonic()
        units = self.units.get(site.path, [])
        if not units:
            return {"build_s": 0.0, "status": "not_built", "detail": "no translation unit of this build includes it"}
        if not reaches_compiler(self.workspace, site, units):
            return {"build_s": round(time.monotonic() - started, 1), "status": "not_built",
                    "detail": f"in a preprocessor branch none of its {len(units)} translation units takes"}
        # No signal lands between changing the file and being ready to put it back: the finally
        # clause restores it whatever stops the build. The objects of the units that compile the
        # file come first; the rest of the tree is built only when one of them changed.
        same_objects = False
        blocked = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
        signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
        try:
            self.workspace.apply(site)
            signal.pthread_sigmask(signal.SIG_UNBLOCK, blocked)
            rc, log = run_group(["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target",
                                 *sorted({str(Path(u.output).relative_to(self.build)) for u in units})], 3600)
            if rc == 0:
                same_objects = all(object_digest(Path(u.output)) == self.objects[u.output] for u in units)
                if not same_objects:
                    rc, log = self.cmake_build()
        finally:
            signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
            self.workspace.restore(site)
            signal.pthread_sigmask(signal.SIG_UNBLOCK, blocked)
        built = time.monotonic()
        record = {"build_s": round(built - started, 1)}
        if rc != 0:
            error = next((line.strip() for line in log.splitlines() if re.search(r"\berror\b:", line)),
                         "build failed")
            return {**record, "status": "not_compiled", "detail": error[:300]}
        if same_objects:
            return {**record, "status": "unchanged", "detail": f"same object code in {len(units)} translation units"}
        now = digests(self.made)
        changed = {p for p in now if now[p] != self.reference.get(p)}
        if not changed:
            return {**record, "status": "unchanged", "detail": ""}
        names = [t.name for t in self.tests if not t.needs or t.needs & changed]
        for stage, chosen in stages(names):
            result = run_ctest(self.build, chosen, self.limits[stage], self.jobs)
            failed = [n for n, v in result["outcome"].items() if v == "failed"]
            timed_out = [n for n, v in result["outcome"].items() if v == "timeout"]
            if failed or timed_out:
                status = "killed" if failed else "timeout"
                by = (failed or timed_out)[0]
                detail = f"{by}: {result['detail']}" if result["detail"] else by
                return {**record, "status": status, "detail": detail,
                        "test_s": round(time.monotonic() - built, 1)}
        return {**record, "status": "survived", "detail": ", ".join(names),
                "test_s": round(time.monotonic() - built, 1)}


# ---------------------------------------------------------------------------------------------
# Reports


def summarise(results: list[dict], known: dict[str, tuple[str, str]]) -> tuple[dict[str, int], float | None]:
    counts: dict[str, int] = {}
    for r in results:
        status = r["status"]
        if r["id"] in known and status == "survived":  # a listed mutant that a test kills stays killed
            status = known[r["id"]][0]
        counts[status] = counts.get(status, 0) + 1
    judged = sum(counts.get(s, 0) for s in COUNTED)
    score = (judged - counts.get("survived", 0)) / judged if judged else None
    return counts, score


def write_report(path: Path, meta: dict, results: list[dict], known: dict[str, tuple[str, str]]) -> str:
    counts, score = summarise(results, known)
    meta = {**meta, "counts": counts, "score": score}
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps({"meta": meta, "mutants": results}, indent=1) + "\n")
    os.replace(tmp, path)
    lines = [f"seed {meta['seed']}, {len(results)} mutants of {meta['sites']} sites"
             + (f" in files under {meta['only']}" if meta.get("only") else "")
             + (f" (re-run of {meta['rerun']})" if meta.get("rerun") else "")]
    lines.append("  ".join(f"{k} {counts.get(k, 0)}" for k in
                           ("killed", "timeout", "sanitizer", "survived", "not_built", "not_compiled", "unchanged",
                            "equivalent")))
    if score is not None:
        judged = sum(counts.get(s, 0) for s in COUNTED)
        lines.append(f"score {100 * score:.1f} % ({judged - counts.get('survived', 0)} of {judged} mutants "
                     f"that change behaviour killed; timeouts and sanitizer kills count as killed)")
    survivors = [r for r in results if r["status"] == "survived" and r["id"] not in known]
    if survivors:
        lines.append("")
        lines.append("survivors:")
        for r in survivors:
            lines.append(f"  {r['path']}:{r['line']}: {r['original']} -> {r['mutated'] or repr('')}")
            lines.append(f"    - {r['source_line'].strip()}")
            lines.append(f"    + {r['mutated_line'].strip()}")
            lines.append(f"    id: {r['id']}")
    text = "\n".join(lines) + "\n"
    path.with_suffix(".txt").write_text(text)
    return text


def site_record(s: Site) -> dict:
    return {"id": s.ident, "path": s.path, "line": s.line, "kind": s.kind, "original": s.original,
            "mutated": s.mutated, "source_line": s.source_line, "mutated_line": s.mutated_line}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", type=Path, required=True, help="a configured Release build tree")
    ap.add_argument("--seed", type=int, help="seed of the sample (default: a new one, printed)")
    ap.add_argument("--count", type=int, default=400, help="mutants to sample (default 400)")
    ap.add_argument("--files", help="sample only the sites of files whose path (from the project's root) "
                                    "starts with one of these prefixes, comma-separated")
    ap.add_argument("--rerun", type=Path, help="a report (.json) or a list of mutant ids, one a line: "
                                               "run those mutants instead of a sample")
    ap.add_argument("--status", default="survived",
                    help="with a report for --rerun: the outcomes to run again, comma-separated, or all")
    ap.add_argument("--report", type=Path, help="where to write the report (.json, with a .txt beside)")
    ap.add_argument("--resume", action="store_true", help="keep the results already in the report")
    ap.add_argument("--list", action="store_true", help="print the chosen mutants and stop")
    ap.add_argument("--summary", type=Path, help="print a report's summary under today's known list, and stop")
    ap.add_argument("--stale-known", action="store_true",
                    help="list the known file's mutants that no longer match a site, exit 1 if any, and stop")
    ap.add_argument("--check-known", action="store_true",
                    help="also run the mutants listed in the known file (they are skipped otherwise)")
    ap.add_argument("--jobs", type=int, default=2, help="build jobs and tests at once (default 2)")
    ap.add_argument("--timeout-factor", type=float, default=10.0,
                    help="time limit per test, as a multiple of the slowest test of its stage in the "
                         "unmutated run (at least 60 s; default 10)")
    args = ap.parse_args()
    build = args.build_dir.resolve()
    known = read_known()

    if args.summary:
        data = json.loads(args.summary.read_text())
        print(write_report(args.summary, data["meta"], data["mutants"], known), end="")
        return 0

    files, left_out = source_files(build)
    sites = all_sites(files)
    sites.sort(key=lambda s: (s.path, s.start, s.mutated))
    if args.stale_known:  # over every source, built in this configuration or not
        current = {s.ident for s in sites} | {s.ident for s in all_sites(left_out)}
        stale = [k for k in known if k not in current]
        for k in stale:
            print(f"mutants: {KNOWN_FILE.name} names a mutant no longer in the sources: {k}", file=sys.stderr)
        print(f"mutants: {len(known) - len(stale)} of {len(known)} known mutants still in the sources")
        return 1 if stale else 0
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    pool = sites
    if args.rerun:
        text = args.rerun.read_text()
        if args.rerun.suffix == ".json":
            wanted_status = set(args.status.split(","))
            wanted = [r["id"] for r in json.loads(text)["mutants"]
                      if "all" in wanted_status or r["status"] in wanted_status]
        else:
            wanted = [w.strip() for w in text.splitlines() if w.strip() and not w.startswith("#")]
        by_id = {s.ident: s for s in sites}
        missing = [w for w in wanted if w not in by_id]
        for w in missing:
            print(f"mutants: no longer in the sources: {w}", file=sys.stderr)
        chosen = [by_id[w] for w in wanted if w in by_id]
        seed = json.loads(text)["meta"]["seed"] if args.rerun.suffix == ".json" else seed
    else:
        if args.files:
            prefixes = tuple(args.files.split(","))
            pool = [s for s in sites if s.path.startswith(prefixes)]
        chosen = random.Random(seed).sample(pool, min(args.count, len(pool)))
    chosen.sort(key=lambda s: (s.path, s.start, s.mutated))  # one file after another: fewer rebuilds
    print(f"mutants: seed {seed}; {len(chosen)} mutants of {len(pool)} sites"
          + (f" in files under {args.files}" if args.files else f" in {len(files)} files")
          + (f" (left out, not built here: {', '.join(left_out)})" if left_out else ""), flush=True)
    if args.list:
        for s in chosen:
            print(f"{s.path}:{s.line}: {s.original} -> {s.mutated or repr('')}\t{s.source_line.strip()}")
        return 0

    out = build / "mutants"
    out.mkdir(parents=True, exist_ok=True)
    report = args.report or (out / (f"rerun-{args.rerun.stem}.json" if args.rerun
                                    else f"report-seed{seed}-n{len(chosen)}.json"))
    meta = {"seed": seed, "count": len(chosen), "sites": len(pool), "files": len(files), "only": args.files,
            "rerun": str(args.rerun) if args.rerun else None,
            "commit": subprocess.run(["git", "-C", str(ROOT), "rev-parse", "HEAD"], capture_output=True,
                                     text=True).stdout.strip()}
    done: dict[str, dict] = {}
    if args.resume and report.exists():
        done = {r["id"]: r for r in json.loads(report.read_text())["mutants"]}

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    runner = Runner(build, args.jobs, args.timeout_factor)
    for f in runner.workspace.recover():
        print(f"mutants: restored {f}, left mutated by an earlier run that was stopped", file=sys.stderr)
    results: list[dict] = []
    started = time.monotonic()
    try:
        runner.baseline()
        for n, s in enumerate(chosen, 1):
            if s.ident in done:
                results.append(done[s.ident])
                continue
            if s.ident in known and not args.check_known:
                results.append({**site_record(s), "status": known[s.ident][0], "detail": known[s.ident][1]})
            else:
                results.append({**site_record(s), **runner.run(s)})
            r = results[-1]
            elapsed = time.monotonic() - started
            print(f"[{n}/{len(chosen)} {elapsed / 60:.0f} min] {r['status']:<12} {s.path}:{s.line} "
                  f"{s.original} -> {s.mutated or repr('')}  {r.get('detail', '')[:100]}", flush=True)
            write_report(report, meta, results, known)
    except (KeyboardInterrupt, Interrupted) as e:
        print(f"mutants: stopped ({e or 'interrupted'}); the sources are as they were. "
              f"--resume continues from {report}", file=sys.stderr)
        return 130
    rc, _ = runner.cmake_build()  # leave the tree built from the sources as they are
    if rc != 0 or digests(runner.made) != runner.reference or any(
            object_digest(Path(o)) != d for o, d in runner.objects.items()):
        print("mutants: the rebuilt tree differs from the unmutated one", file=sys.stderr)
        return 1
    meta["minutes"] = round((time.monotonic() - started) / 60, 1)
    print(write_report(report, meta, results, known), end="")
    print(f"report: {report}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
