#!/usr/bin/env python3
"""Checks what this project promises of its extension module beyond what the packaging
ecosystem's tools check (auditwheel: libraries and symbol versions against the platform tag's
policy; abi3audit: the stable ABI; check-wheel-contents and twine: the wheel's files and metadata).

    scripts/wheel_check.py [--glibc X.Y] MODULE.so|WHEEL.whl...

For each module (every ELF file inside a wheel) it reads with readelf:
  - NEEDED: only the C library, libm, libgcc_s and the dynamic loader. auditwheel's policies allow
    libstdc++.so.6 too, whose symbol versions differ between distributions, so its static link is
    checked here; and `auditwheel repair` drops a libpython from NEEDED with only a warning,
    where a module that links libpython is a build fault;
  - no RPATH or RUNPATH: a module found through a path of the building machine, or looking for
    libraries there, is a fault auditwheel leaves alone when it grafts nothing;
  - the dynamic symbols: the module defines and exports PyInit_<name> and nothing else, so no
    symbol of the libraries linked into it can clash with another copy in the same process;
  - the stack: not executable, which current glibc refuses to load;
  - glibc's floor, when the module is held to one (a wheel's manylinux tags, the oldest of them,
    or --glibc X.Y for a bare module; musllinux and linux_<arch> wheels promise no glibc). From
    --dyn-syms it takes every symbol the module imports with the version it is bound to, and from
    NEEDED the libraries it lists; glibc_problems() then fails
      * a symbol bound to a GLIBC_ version newer than the floor: the loader of an older glibc
        refuses the module, whatever the symbol;
      * a symbol that glibc before 2.34 keeps in libpthread, libdl or librt (MOVED_INTO_LIBC:
        every pthread_* function but those libc always forwarded, every sem_*, the C11 thread
        calls, the dl* calls, POSIX timers, message queues, shared memory and asynchronous I/O;
        the clock_* calls at their versions before 2.17), while the floor is older than 2.34 and
        that library is not in NEEDED: on such a glibc the symbol at that version exists only in
        that library, and the module would load only where some other object happened to bring
        it in.
    Together: every symbol the module binds can be found on every glibc its tag admits, in a
    library the module lists. The rule reads names and versions only, so it holds alike for
    x86-64 and aarch64, and for code that starts threads: pthread_create binds GLIBC_2.34 when
    linked against a current glibc, which a manylinux_2_17 wheel refuses, and at an old version
    (.symver) it must bring libpthread.so.0 into NEEDED.
A wheel must hold exactly one ELF file, the module: auditwheel grafted no library into it. The
module is a package's __init__ (PKG/__init__.abi3.so, whose init function is PyInit_PKG), beside
the package's type stub PKG/__init__.pyi and PKG/py.typed, without which type checkers do not read
an installed stub (PEP 561).

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
# glibc's libraries whose functions moved into libc in 2.34: every glibc has them (empty since), so
# a glibc module may list them, and must when it binds their symbols at versions older than 2.34.
GLIBC_SPLIT_LIBRARIES = {"libpthread.so.0", "libdl.so.2", "librt.so.1"}

# The pthread functions libc.so.6 itself exported (as forwarders) since glibc's first versions, so
# they need no libpthread on any glibc: the nptl forwarders.
LIBC_PTHREAD_FORWARDERS = frozenset("""
    pthread_attr_destroy pthread_attr_init pthread_attr_getdetachstate pthread_attr_setdetachstate
    pthread_attr_getinheritsched pthread_attr_setinheritsched pthread_attr_getschedparam
    pthread_attr_setschedparam pthread_attr_getschedpolicy pthread_attr_setschedpolicy
    pthread_attr_getscope pthread_attr_setscope pthread_condattr_destroy pthread_condattr_init
    pthread_cond_broadcast pthread_cond_destroy pthread_cond_init pthread_cond_signal
    pthread_cond_timedwait pthread_cond_wait pthread_equal pthread_exit pthread_getschedparam
    pthread_setschedparam pthread_mutex_destroy pthread_mutex_init pthread_mutex_lock
    pthread_mutex_unlock pthread_self pthread_setcancelstate pthread_setcanceltype""".split())

# (pattern over the symbol's name, the library that held it, the first version libc itself gave
# it). glibc 2.34 merged these libraries into libc: before that, a symbol bound to a version older
# than libc's own resolves only in that library. The clock_* calls entered libc in 2.17 under
# GLIBC_2.17; their older versions stayed in librt until 2.34.
MOVED_INTO_LIBC = [
    (re.compile(r"(?:__)?pthread_\w+|sem_\w+|(?:thrd|mtx|cnd|tss)_\w+|call_once"), "libpthread.so.0", (2, 34)),
    (re.compile(r"dl(?:open|close|sym|vsym|error|addr|addr1|info|mopen)"), "libdl.so.2", (2, 34)),
    (re.compile(r"shm_(?:open|unlink)|timer_\w+|mq_\w+|aio_\w+|lio_listio(?:64)?"), "librt.so.1", (2, 34)),
    (re.compile(r"clock_(?:getres|gettime|settime|nanosleep|getcpuclockid)"), "librt.so.1", (2, 17)),
]
MERGED = (2, 34)  # the glibc release from which libc holds all of them


def glibc_version(version: str | None) -> tuple[int, ...] | None:
    """GLIBC_2.2.5 -> (2, 2, 5); None for any other version (GCC_3.0, GLIBC_PRIVATE, none)."""
    m = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)*)", version or "")
    return tuple(int(part) for part in m.group(1).split(".")) if m else None


def old_library(symbol: str, version: str | None) -> str | None:
    """The library outside libc that holds `symbol` at `version` on glibc before 2.34, or None when
    libc itself has it there."""
    if symbol in LIBC_PTHREAD_FORWARDERS:
        return None
    bound = glibc_version(version)
    for pattern, library, in_libc in MOVED_INTO_LIBC:
        if pattern.fullmatch(symbol) and (bound is None or bound < in_libc):
            return library
    return None


def glibc_problems(name: str, needed: list[str], imports: list[tuple[str, str | None]],
                   floor: tuple[int, int]) -> list[str]:
    """What keeps a module that lists `needed` and binds `imports` ((symbol, version) pairs, version
    None when unversioned) from loading on every glibc from `floor` on."""
    floor_text = ".".join(map(str, floor))
    problems = []
    for symbol, version in imports:
        if version == "GLIBC_PRIVATE":
            problems.append(f"{name}: binds {symbol}@{version}, which no glibc keeps stable")
            continue
        bound = glibc_version(version)
        if bound is not None and bound > floor:
            problems.append(f"{name}: binds {symbol}@{version}, newer than glibc {floor_text} has")
            continue
        library = old_library(symbol, version)
        if library is not None and library not in needed and floor < MERGED:
            problems.append(f"{name}: binds {symbol}@{version or '(unversioned)'}, which glibc before 2.34 "
                            f"keeps in {library}, and does not list {library}")
    return problems


def platform_floor(wheel_name: str) -> tuple[int, int] | None:
    """The oldest glibc a wheel's platform tags admit; None when no tag is a manylinux one."""
    floors = []
    for tag in wheel_name.removesuffix(".whl").split("-")[-1].split("."):
        if m := re.match(r"manylinux_(\d+)_(\d+)_", tag):
            floors.append((int(m.group(1)), int(m.group(2))))
        elif m := re.match(r"manylinux(1|2010|2014)_", tag):
            floors.append({"1": (2, 5), "2010": (2, 12), "2014": (2, 17)}[m.group(1)])
    return min(floors) if floors else None


def imported_symbols(path: Path) -> list[tuple[str, str | None]]:
    """Every symbol the module imports, with the version it is bound to (None when unversioned)."""
    return [(m.group(1), m.group(2)) for m in re.finditer(
        r"^\s*\d+:\s+\S+\s+\S+\s+\S+\s+(?:GLOBAL|WEAK)\s+\S+\s+UND\s+([^@\s]+)(?:@@?([^\s(]+))?",
        readelf(path, "--dyn-syms"), re.M)]


def readelf(path: Path, *options: str) -> str:
    """readelf's wide output for one file; raises CalledProcessError when it is no ELF file and
    FileNotFoundError when there is no readelf."""
    return subprocess.run(["readelf", "-W", *options, str(path)], check=True,
                          capture_output=True, text=True).stdout


def init_function(name: str) -> str:
    """The init function CPython looks for in the extension module at `name` (a path): PyInit_ and
    the module's name, which for a package's __init__ is the package's."""
    path = PurePosixPath(name)
    stem = path.name.split(".")[0]
    return "PyInit_" + (path.parent.name if stem == "__init__" else stem)


def check_module(path: Path, name: str | None = None, floor: tuple[int, int] | None = None) -> list[str]:
    """The problems of one extension module; name is the module's path in its wheel when path's
    differs (a package's __init__ is named with its folder), floor the oldest glibc it must load on
    (None: none promised)."""
    name = name or (f"{path.parent.name}/{path.name}" if path.name.startswith("__init__.") else path.name)
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
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    imports = imported_symbols(path)
    if any(glibc_version(version) for _, version in imports):
        allowed = allowed | GLIBC_SPLIT_LIBRARIES
    for lib in needed:
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
    wanted = [init_function(name)]
    if exported != wanted:
        problems.append(f"{name}: exports {', '.join(exported) or 'nothing'}; only {wanted[0]} may leave the module")

    stack = re.search(r"^\s*GNU_STACK(?:\s+\S+){5}\s+(\S+)", readelf(path, "-l"), re.M)
    if stack and "E" in stack.group(1):
        problems.append(f"{name}: asks for an executable stack")
    if floor is not None:
        problems += glibc_problems(name, needed, imports, floor)
    return problems


def check_wheel(path: Path) -> list[str]:
    """The problems of every ELF file in a wheel, any beyond the one module, and of the package
    that holds the module."""
    problems = []
    with zipfile.ZipFile(path) as wheel, tempfile.TemporaryDirectory() as tmp:
        names = wheel.namelist()
        elves = [n for n in names if wheel.open(n).read(4) == b"\x7fELF"]
        modules = [n for n in elves if re.fullmatch(r"[^/.]+/__init__\.[^/]*\.so", n)]
        if len(modules) != 1:
            problems.append(f"{path.name}: holds {len(modules)} extension modules as a package's __init__, not one")
        for member in sorted(set(elves) - set(modules)):
            problems.append(f"{path.name}: holds {member}, an ELF file beside the module")
        for member in modules:
            package = PurePosixPath(member).parent
            missing = [str(package / f) for f in ("__init__.pyi", "py.typed") if str(package / f) not in names]
            if missing:
                problems.append(f"{path.name}: lacks {', '.join(missing)}; type checkers would not find its types")
            target = Path(tmp) / "module.so"
            target.write_bytes(wheel.read(member))
            problems += check_module(target, member, platform_floor(path.name))
    return problems


def main(argv: list[str]) -> int:
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    floor = None
    if argv[0] == "--glibc" and len(argv) > 2:
        floor = tuple(int(part) for part in argv[1].split("."))
        argv = argv[2:]
    failed = False
    for arg in argv:
        path = Path(arg)
        problems = check_wheel(path) if path.suffix == ".whl" else check_module(path, floor=floor)
        for line in problems:
            print(f"FAIL {line}", file=sys.stderr)
        if not problems:
            print(f"wheel_check: {path.name} passes", file=sys.stderr)
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
