#!/usr/bin/env python3
"""Checks extension modules for portability and proves the manylinux platform tag they may carry.

    scripts/wheel_check.py [--at-most 2.NN] MODULE.so|WHEEL.whl...

For each x86-64 or aarch64 module (every .so inside a wheel) it reads with readelf:
  - NEEDED: every library must be on the manylinux allow-list or be the architecture's loader;
  - the version needs: glibc's own GLIBC_2.x versions map to a glibc release, and libgcc_s's GCC_x
    versions to the oldest manylinux policy that allows them; anything else (GLIBC_PRIVATE,
    libstdc++'s GLIBCXX_) cannot be proved and fails;
  - the dynamic symbols: the module defines and exports PyInit_<name> and nothing else;
  - the stack: no executable stack, which current glibc refuses to load.
The tag it proves is manylinux_2_NN_<arch> (PEP 600), NN being the newest glibc needed, and never
older than the oldest tag auditwheel has a policy for (manylinux_2_17). For a wheel it also fails when a
platform tag, in the file name or in WHEEL, claims more than that: an older glibc, another
architecture, or tags that differ between the two. With --at-most 2.NN it also fails when the tag
proved is newer than manylinux_2_NN, naming the symbols that ask for more, or when pip's own tag
logic, run as on glibc 2.NN, would not install the wheel: the promise a release wheel keeps.

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


@dataclass(frozen=True)
class Arch:
    """What the tag of one architecture depends on."""
    name: str          # as in the platform tag
    loader: str        # the dynamic loader's NEEDED name, which is glibc
    oldest_minor: int  # the oldest manylinux_2_NN that auditwheel has a policy for: a module
                       # needing less still carries this one, which claims less than it could


# Keyed by readelf's Machine line.
ARCHES = {
    # auditwheel's policies start at manylinux2014 (glibc 2.17) on every architecture, and the tag
    # a wheel carries must be the one auditwheel reports for it.
    "Advanced Micro Devices X86-64": Arch("x86_64", "ld-linux-x86-64.so.2", 17),
    "AArch64": Arch("aarch64", "ld-linux-aarch64.so.1", 17),
}
# The libraries a manylinux wheel may expect every system to provide (auditwheel's policy list),
# besides the loader.
ALLOWED_NEEDED = frozenset({
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libutil.so.1",
    "libnsl.so.1", "libresolv.so.2", "libgcc_s.so.1", "libstdc++.so.6", "libX11.so.6", "libXext.so.6",
    "libXrender.so.1", "libICE.so.6", "libSM.so.6", "libGL.so.1", "libgobject-2.0.so.0",
    "libgthread-2.0.so.0", "libglib-2.0.so.0",
})
# Those of them that are glibc, whose GLIBC_2.x versions map to a glibc release (and the loader).
GLIBC_LIBRARIES = frozenset({
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "libutil.so.1",
    "libnsl.so.1", "libresolv.so.2",
})
# libgcc_s's GCC_x versions, with the oldest manylinux glibc whose policy allows each: the policies
# list what the GCC of their reference distribution provided (CentOS 5, 6, 7, then AlmaLinux 8).
# A newer GCC_ version proves no tag.
GCC_FLOORS = [((4, 2, 0), 5), ((4, 3, 0), 12), ((4, 8, 0), 17), ((7, 0, 0), 28)]
LEGACY_TAGS = {"manylinux1": 5, "manylinux2010": 12, "manylinux2014": 17}
# The legacy names exist for these architectures only.
LEGACY_ARCHES = {"manylinux1": {"x86_64"}, "manylinux2010": {"x86_64"}, "manylinux2014": {"x86_64", "aarch64"}}


@dataclass
class Report:
    """What one module or wheel proved: the tag (None when nothing could be proved) and why not.

    arch is the tag's architecture when the module's machine is known; needs maps each glibc minor
    version asked for to the symbols that ask for it, for --at-most to name them."""
    tag: str | None = None
    arch: str | None = None
    problems: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    needs: dict[int, set[str]] = field(default_factory=dict)


def readelf(path: Path, *options: str) -> str:
    """readelf's wide output for one file; raises CalledProcessError when it is no ELF file and
    FileNotFoundError when there is no readelf."""
    return subprocess.run(["readelf", "-W", *options, str(path)], check=True,
                          capture_output=True, text=True).stdout


def glibc_minor(version: str) -> int | None:
    """The NN of GLIBC_2.NN or GLIBC_2.NN.P, compared as a number (2.2.5 is older than 2.14)."""
    m = re.fullmatch(r"GLIBC_2\.(\d+)(?:\.\d+)?", version)
    return int(m.group(1)) if m else None


def gcc_floor(version: str) -> int | None:
    """The oldest manylinux glibc minor whose policy allows libgcc_s's GCC_x.y.z, or None."""
    m = re.fullmatch(r"GCC_(\d+)\.(\d+)(?:\.(\d+))?", version)
    if not m:
        return None
    wanted = tuple(int(g or 0) for g in m.groups())
    return next((minor for newest, minor in GCC_FLOORS if wanted <= newest), None)


def check_module(path: Path) -> Report:
    """The tag one extension module proves, or the problems that keep it from any manylinux tag."""
    report = Report()
    name = path.name
    try:
        header = readelf(path, "-h")
    except FileNotFoundError:
        report.problems.append(f"{name}: there is no readelf (binutils) to read it with")
        return report
    except subprocess.CalledProcessError:
        report.problems.append(f"{name}: readelf cannot read it as an ELF file")
        return report
    machine = re.search(r"^\s*Machine:\s*(.+)$", header, re.M)
    arch = ARCHES.get(machine.group(1).strip()) if machine else None
    if arch is None:
        report.problems.append(f"{name}: built for {machine.group(1) if machine else 'no machine'}, "
                               f"not {' or '.join(a.name for a in ARCHES.values())}")
        return report
    report.arch = arch.name

    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", readelf(path, "-d"))
    report.notes.append(f"{name}: NEEDED {', '.join(needed) or 'nothing'}")
    for lib in needed:
        if lib not in ALLOWED_NEEDED | {arch.loader}:
            report.problems.append(f"{name}: needs {lib}, which is not on the manylinux allow-list")

    # The version needs (.gnu.version_r) list, per library, every version the loader will demand.
    newest = arch.oldest_minor
    unprovable: dict[str, list[str]] = {}
    current_file = ""
    for line in readelf(path, "-V").splitlines():
        if m := re.search(r"File: (\S+)", line):
            current_file = m.group(1)
        elif m := re.search(r"Name: (\S+)\s+Flags", line):
            version = m.group(1)
            if current_file in GLIBC_LIBRARIES | {arch.loader}:
                minor = glibc_minor(version)
            elif current_file == "libgcc_s.so.1":
                minor = gcc_floor(version)
            else:
                minor = None
            if minor is None:
                unprovable.setdefault(current_file, []).append(version)
            else:
                newest = max(newest, minor)
    for lib, versions in unprovable.items():
        report.problems.append(f"{name}: needs {', '.join(sorted(versions))} from {lib}; only glibc's "
                               f"GLIBC_2.x and libgcc_s's GCC_x versions up to 7.0.0 map to a manylinux tag")

    symbols = readelf(path, "--dyn-syms")
    for symbol, minor in re.findall(r"\sUND\s+([^@\s]+)@GLIBC_2\.(\d+)", symbols):
        report.needs.setdefault(int(minor), set()).add(symbol)
    if report.needs:
        glibc_newest = max(report.needs)
        users = sorted(report.needs[glibc_newest])
        more = f" and {len(users) - 4} more" if len(users) > 5 else ""
        report.notes.append(f"{name}: newest glibc version needed 2.{glibc_newest}, by "
                            f"{', '.join(users[:4] if more else users)}{more}")
    else:
        report.notes.append(f"{name}: needs no versioned glibc symbol")

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
        report.tag = f"manylinux_2_{newest}_{arch.name}"
    return report


def tag_minor(tag: str) -> int:
    """The NN of a proved manylinux_2_NN_<arch> tag."""
    return int(tag.split("_")[2])


def claimed(platform: str) -> tuple[int, str] | None:
    """The glibc minor and architecture a manylinux platform tag claims, or None."""
    if m := re.fullmatch(r"manylinux_2_(\d+)_(\w+)", platform):
        return int(m.group(1)), m.group(2)
    if m := re.fullmatch(r"(manylinux\d+)_(\w+)", platform):
        if m.group(2) in LEGACY_ARCHES.get(m.group(1), ()):
            return LEGACY_TAGS[m.group(1)], m.group(2)
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
        arches: set[str] = set()
        for member in modules:
            target = Path(tmp) / PurePosixPath(member).name
            target.write_bytes(wheel.read(member))
            module = check_module(target)
            report.notes += module.notes
            report.problems += module.problems
            for minor, symbols in module.needs.items():
                report.needs.setdefault(minor, set()).update(symbols)
            if module.arch:
                arches.add(module.arch)
            if module.tag:
                proved.append(tag_minor(module.tag))
        wheel_tags = (re.findall(r"^Tag: (\S+)$", wheel.read(wheel_files[0]).decode(), re.M)
                      if len(wheel_files) == 1 else [])
    if len(wheel_files) != 1:
        report.problems.append(f"{path.name}: has {len(wheel_files)} WHEEL files, not one")
    if len(arches) > 1:
        report.problems.append(f"{path.name}: holds modules for {', '.join(sorted(arches))}")
    report.arch = next(iter(arches)) if len(arches) == 1 else None

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
        claim = claimed(plat)
        if claim is None:
            if plat != f"linux_{report.arch}":
                report.problems.append(f"{path.name}: platform {plat} is not what its {report.arch} "
                                       f"modules are")
        elif claim[1] != report.arch:
            report.problems.append(f"{path.name}: platform {plat} is not what its {report.arch} modules are")
        elif claim[0] < newest:
            report.problems.append(f"{path.name}: {plat} claims glibc 2.{claim[0]}, but its modules "
                                   f"need 2.{newest}")
    if not report.problems:
        report.tag = f"manylinux_2_{newest}_{report.arch}"
    return report


def hold_to(report: Report, name: str, at_most: int) -> None:
    """Adds a problem when the tag proved is newer than manylinux_2_<at_most>, naming the symbols
    that ask for more (when it is libgcc_s that asks, the tag alone says so)."""
    if report.tag is None or tag_minor(report.tag) <= at_most:
        return
    newer = sorted(f"{s} (2.{minor})" for minor, symbols in report.needs.items() if minor > at_most
                   for s in symbols)
    report.problems.append(f"{name}: proves {report.tag}, newer than the promised manylinux_2_{at_most}"
                           + (f": {', '.join(newer)}" if newer else ""))
    report.tag = None


def pip_would_install(path: Path, arch: str, minor: int) -> bool:
    """Whether pip's own tag logic (its copy of packaging), run as on a glibc 2.<minor> system of
    this architecture, lists one of the wheel's platform tags: the promise as installers read it."""
    from pip._vendor.packaging import _manylinux
    real = _manylinux._get_glibc_version
    _manylinux._get_glibc_version = lambda: (2, minor)
    try:
        supported = set(_manylinux.platform_tags(f"linux_{arch}", arch))
    finally:
        _manylinux._get_glibc_version = real
    return bool(supported & set(path.name[:-len(".whl")].split("-")[-1].split(".")))


def main(argv: list[str]) -> int:
    at_most = None
    if argv[:1] == ["--at-most"] and len(argv) > 1:
        m = re.fullmatch(r"2\.(\d+)", argv[1])
        if not m:
            print(f"--at-most takes a glibc version 2.NN, not {argv[1]}", file=sys.stderr)
            return 2
        at_most, argv = int(m.group(1)), argv[2:]
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for arg in argv:
        path = Path(arg)
        report = check_wheel(path) if path.suffix == ".whl" else check_module(path)
        if at_most is not None:
            hold_to(report, path.name, at_most)
            if report.tag and path.suffix == ".whl" and not pip_would_install(path, report.arch, at_most):
                report.problems.append(f"{path.name}: pip on glibc 2.{at_most} would not install it")
                report.tag = None
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
