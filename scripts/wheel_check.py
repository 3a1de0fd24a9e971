#!/usr/bin/env python3
"""Checks what this project promises of its extension module beyond what the packaging
ecosystem's tools check (auditwheel: libraries and symbol versions against the platform tag's
policy; abi3audit: the stable ABI; check-wheel-contents and twine: the wheel's files and metadata).

    scripts/wheel_check.py MODULE.so|WHEEL.whl...

For each module (every ELF file inside a wheel) it reads with readelf:
  - NEEDED: only the C library, libm, libgcc_s and the dynamic loader. auditwheel's policies allow
    libstdc++.so.6 too, whose symbol versions differ between distributions, so its static link is
    checked here; and `auditwheel repair` drops a libpython from NEEDED with only a warning,
    where a module that links libpython is a build fault;
  - no RPATH or RUNPATH: a module found through a path of the building machine, or looking for
    libraries there, is a fault auditwheel leaves alone when it grafts nothing;
  - the dynamic symbols: the module defines and exports PyInit_<name> and nothing else, so no
    symbol of the libraries linked into it can clash with another copy in the same process;
  - the stack: not executable, which current glibc refuses to load.
A wheel must hold exactly one ELF file, the module: auditwheel grafted no library into it.

Prints findings on stderr; exits 1 on any failure.
"""
from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path, PurePosixPath

# Keyed by readelf's Machine line: the libraries a module of that architecture may need, which
# every Linux system of it has (glibc's and musl's names).
ALLOWED_NEEDED = {
    "Advanced Micro Devices X86-64": {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2",
                                      "libc.so", "ld-musl-x86_64.so.1"},
    "AArch64": {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-aarch64.so.1",
                "libc.so", "ld-musl-aarch64.so.1"},
}


def readelf(path: Path, *options: str) -> str:
    """readelf's wide output for one file; raises CalledProcessError when it is no ELF file and
    FileNotFoundError when there is no readelf."""
    return subprocess.run(["readelf", "-W", *options, str(path)], check=True,
                          capture_output=True, text=True).stdout


def check_module(path: Path, name: str | None = None) -> list[str]:
    """The problems of one extension module; name is the module's file name when path's differs."""
    name = name or path.name
    try:
        header = readelf(path, "-h")
    except FileNotFoundError:
        return [f"{name}: there is no readelf (binutils) to read it with"]
    except subprocess.CalledProcessError:
        return [f"{name}: readelf cannot read it as an ELF file"]
    machine = re.search(r"^\s*Machine:\s*(.+)$", header, re.M)
    allowed = ALLOWED_NEEDED.get(machine.group(1).strip() if machine else "")
    if allowed is None:
        return [f"{name}: built for {machine.group(1) if machine else 'no machine'}, not x86-64 or AArch64"]

    problems = []
    dynamic = readelf(path, "-d")
    for lib in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic):
        if lib.startswith("libpython"):
            problems.append(f"{name}: links {lib}; the interpreter that imports it provides its symbols")
        elif lib.startswith("libstdc++"):
            problems.append(f"{name}: needs {lib}; libstdc++ must be linked in statically")
        elif lib not in allowed:
            problems.append(f"{name}: needs {lib}; only {', '.join(sorted(allowed))} may be")
    for kind, value in re.findall(r"\((RPATH|RUNPATH)\)\s+Library (?:rpath|runpath): \[([^\]]*)\]", dynamic):
        problems.append(f"{name}: has {kind} {value}")

    exported = sorted({m.group(1) for m in re.finditer(
        r"^\s*\d+:\s+\S+\s+\S+\s+\S+\s+(?:GLOBAL|WEAK|UNIQUE)\s+(?:DEFAULT|PROTECTED)\s+(?!UND)\S+\s+([^@\s]+)",
        readelf(path, "--dyn-syms"), re.M)})
    wanted = ["PyInit_" + name.split(".")[0]]
    if exported != wanted:
        problems.append(f"{name}: exports {', '.join(exported) or 'nothing'}; only {wanted[0]} may leave the module")

    stack = re.search(r"^\s*GNU_STACK(?:\s+\S+){5}\s+(\S+)", readelf(path, "-l"), re.M)
    if stack and "E" in stack.group(1):
        problems.append(f"{name}: asks for an executable stack")
    return problems


def check_wheel(path: Path) -> list[str]:
    """The problems of every ELF file in a wheel, and any beyond the one module."""
    problems = []
    with zipfile.ZipFile(path) as wheel, tempfile.TemporaryDirectory() as tmp:
        elves = [n for n in wheel.namelist() if wheel.open(n).read(4) == b"\x7fELF"]
        modules = [n for n in elves if "/" not in n and re.fullmatch(r"[^.]+\..*\.so", n)]
        if len(modules) != 1:
            problems.append(f"{path.name}: holds {len(modules)} extension modules at the top level, not one")
        for member in sorted(set(elves) - set(modules)):
            problems.append(f"{path.name}: holds {member}, an ELF file beside the module")
        for member in modules:
            target = Path(tmp) / "module.so"
            target.write_bytes(wheel.read(member))
            problems += check_module(target, member)
    return problems


def main(argv: list[str]) -> int:
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for arg in argv:
        path = Path(arg)
        problems = check_wheel(path) if path.suffix == ".whl" else check_module(path)
        for line in problems:
            print(f"FAIL {line}", file=sys.stderr)
        if not problems:
            print(f"wheel_check: {path.name} passes", file=sys.stderr)
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
