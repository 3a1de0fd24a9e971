#!/usr/bin/env python3
"""Checks extension modules for portability and proves the manylinux platform tag they may carry.

    scripts/wheel_check.py MODULE.so|WHEEL.whl...

For each x86-64 module (every .so inside a wheel) it reads with readelf:
  - NEEDED: every library must be on the manylinux allow-list or be the dynamic loader;
  - the version needs: only glibc's own GLIBC_2.x versions can be proved against a glibc release,
    so GLIBC_PRIVATE and any other namespace (libstdc++'s GLIBCXX_, libgcc_s's GCC_) fail;
  - the dynamic symbols: the module defines and exports PyInit_<name> and nothing else;
  - the stack: no executable stack, which current glibc refuses to load.
The tag it proves is manylinux_2_NN_x86_64 (PEP 600), NN being the newest GLIBC_2.NN needed. For a
wheel it also fails when a platform tag, in the file name or in WHEEL, claims more than that: an
older glibc, another architecture, or tags that differ between the two.

Prints findings on stderr and the proved tag on stdout; exits 1 on any failure.
"""
from __future__ import annotations

import re
import subprocess
import sys
import tempfile
import zipfile
from dataclasses import dataclass, field
from pathlib import Path, PurePosixPath

ARCH = "x86_64"
LOADER = "ld-linux-x86-64.so.2"
# The libraries a manylinux wheel may expect every system to provide (auditwheel's policy list).
ALLOWED_NEEDED = frozenset({
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libutil.so.1",
    "libnsl.so.1", "libresolv.so.2", "libgcc_s.so.1", "libstdc++.so.6", "libX11.so.6", "libXext.so.6",
    "libXrender.so.1", "libICE.so.6", "libSM.so.6", "libGL.so.1", "libgobject-2.0.so.0",
    "libgthread-2.0.so.0", "libglib-2.0.so.0", LOADER,
})
# Those of them that are glibc, whose GLIBC_2.x versions map to a glibc release.
GLIBC_LIBRARIES = frozenset({
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libutil.so.1",
    "libnsl.so.1", "libresolv.so.2", LOADER,
})
# Installers know no manylinux tag older than glibc 2.5 on x86-64; a module needing less still
# carries 2_5, which claims less than it could.
MIN_GLIBC_MINOR = 5
LEGACY_TAGS = {"manylinux1": 5, "manylinux2010": 12, "manylinux2014": 17}


@dataclass
class Report:
    """What one module or wheel proved: the tag (None when nothing could be proved) and why not."""
    tag: str | None = None
    problems: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)


def readelf(path: Path, *options: str) -> str:
    """readelf's wide output for one file; raises CalledProcessError when it is no ELF file."""
    return subprocess.run(["readelf", "-W", *options, str(path)], check=True,
                          capture_output=True, text=True).stdout


def glibc_minor(version: str) -> int | None:
    """The NN of GLIBC_2.NN or GLIBC_2.NN.P, compared as a number (2.2.5 is older than 2.14)."""
    m = re.fullmatch(r"GLIBC_2\.(\d+)(?:\.\d+)?", version)
    return int(m.group(1)) if m else None


def check_module(path: Path) -> Report:
    """The tag one extension module proves, or the problems that keep it from any manylinux tag."""
    report = Report()
    name = path.name
    try:
        header = readelf(path, "-h")
    except subprocess.CalledProcessError:
        report.problems.append(f"{name}: readelf cannot read it as an ELF file")
        return report
    machine = re.search(r"^\s*Machine:\s*(.+)$", header, re.M)
    if not machine or "X86-64" not in machine.group(1):
        report.problems.append(f"{name}: built for {machine.group(1) if machine else 'no machine'}, "
                               f"not {ARCH}")
        return report

    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", readelf(path, "-d"))
    report.notes.append(f"{name}: NEEDED {', '.join(needed) or 'nothing'}")
    for lib in needed:
        if lib not in ALLOWED_NEEDED:
            report.problems.append(f"{name}: needs {lib}, which is not on the manylinux allow-list")

    # The version needs (.gnu.version_r) list, per library, every version the loader will demand.
    newest = 0
    unprovable: dict[str, list[str]] = {}
    current_file = ""
    for line in readelf(path, "-V").splitlines():
        if m := re.search(r"File: (\S+)", line):
            current_file = m.group(1)
        elif m := re.search(r"Name: (\S+)\s+Flags", line):
            minor = glibc_minor(m.group(1)) if current_file in GLIBC_LIBRARIES else None
            if minor is None:
                unprovable.setdefault(current_file, []).append(m.group(1))
            else:
                newest = max(newest, minor)
    for lib, versions in unprovable.items():
        report.problems.append(f"{name}: needs {', '.join(sorted(versions))} from {lib}; only glibc's "
                               f"GLIBC_2.x versions map to a manylinux tag")

    symbols = readelf(path, "--dyn-syms")
    users = sorted({s for s, minor in re.findall(r"\sUND\s+([^@\s]+)@GLIBC_2\.(\d+)", symbols)
                    if int(minor) == newest})
    report.notes.append(f"{name}: newest glibc version needed 2.{newest}, by {', '.join(users)}"
                        if users else f"{name}: needs no newer glibc than 2.{newest}")

    exported = sorted({m.group(1) for m in re.finditer(
        r"^\s*\d+:\s+\S+\s+\S+\s+\S+\s+(?:GLOBAL|WEAK|UNIQUE)\s+(?:DEFAULT|PROTECTED)\s+(?!UND)\S+\s+([^@\s]+)",
        symbols, re.M)})
    wanted = ["PyInit_" + name.split(".")[0]]
    if exported != wanted:
        report.problems.append(f"{name}: exports {', '.join(exported) or 'nothing'}; "
                               f"only {wanted[0]} may leave the module")

    stack = re.search(r"^\s*GNU_STACK(?:\s+\S+){5}\s+(\S+)", readelf(path, "-l"), re.M)
    if stack and "E" in stack.group(1):
        report.problems.append(f"{name}: asks for an executable stack")

    if not report.problems:
        report.tag = f"manylinux_2_{max(newest, MIN_GLIBC_MINOR)}_{ARCH}"
    return report


def claimed_minor(platform: str) -> int | None:
    """The glibc minor a manylinux platform tag claims for this architecture, or None."""
    if m := re.fullmatch(rf"manylinux_2_(\d+)_{ARCH}", platform):
        return int(m.group(1))
    if m := re.fullmatch(rf"(manylinux\d+)_{ARCH}", platform):
        return LEGACY_TAGS.get(m.group(1))
    return None


def check_wheel(path: Path) -> Report:
    """The tag every module in a wheel proves, or the problems, including tags that claim too much."""
    report = Report()
    with zipfile.ZipFile(path) as wheel, tempfile.TemporaryDirectory() as tmp:
        modules = [n for n in wheel.namelist() if re.search(r"\.so(\.|$)", PurePosixPath(n).name)]
        wheel_files = [n for n in wheel.namelist() if re.fullmatch(r"[^/]+\.dist-info/WHEEL", n)]
        if not modules:
            report.problems.append(f"{path.name}: holds no extension module")
        proved: list[int] = []
        for member in modules:
            target = Path(tmp) / PurePosixPath(member).name
            target.write_bytes(wheel.read(member))
            module = check_module(target)
            report.notes += module.notes
            report.problems += module.problems
            if module.tag:
                proved.append(int(module.tag.split("_")[2]))
        wheel_tags = (re.findall(r"^Tag: (\S+)$", wheel.read(wheel_files[0]).decode(), re.M)
                      if len(wheel_files) == 1 else [])
    if len(wheel_files) != 1:
        report.problems.append(f"{path.name}: has {len(wheel_files)} WHEEL files, not one")

    # name-version(-build)?-python-abi-platform.whl; each part may join several tags with dots.
    python, abi, platform = path.name[:-len(".whl")].split("-")[-3:]
    name_tags = {f"{p}-{a}-{pl}" for p in python.split(".") for a in abi.split(".")
                 for pl in platform.split(".")}
    if wheel_files and set(wheel_tags) != name_tags:
        report.problems.append(f"{path.name}: WHEEL lists {', '.join(sorted(wheel_tags))}, "
                               f"the file name {', '.join(sorted(name_tags))}")
    if report.problems or not proved:
        return report
    newest = max(proved)
    for tag in sorted(name_tags | set(wheel_tags)):
        plat = tag.split("-")[2]
        claim = claimed_minor(plat)
        if claim is None:
            if plat != f"linux_{ARCH}":
                report.problems.append(f"{path.name}: platform {plat} is not what its {ARCH} modules are")
        elif claim < newest:
            report.problems.append(f"{path.name}: {plat} claims glibc 2.{claim}, but its modules "
                                   f"need 2.{newest}")
    if not report.problems:
        report.tag = f"manylinux_2_{newest}_{ARCH}"
    return report


def main(argv: list[str]) -> int:
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for arg in argv:
        path = Path(arg)
        report = check_wheel(path) if path.suffix == ".whl" else check_module(path)
        for line in report.notes:
            print(line, file=sys.stderr)
        for line in report.problems:
            print(f"FAIL {line}", file=sys.stderr)
        failed |= bool(report.problems)
        if report.tag:
            print(report.tag)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
