"""wheel_check.py against small modules compiled here (for x86-64, and for aarch64 with Debian's
cross compiler), each built to carry one fault it must catch, or none, and against wheels that hold
something beside the module."""
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import wheel_check  # noqa: E402

PLAIN = "int PyInit_m(void) { return 0; }\n"
# The init function a package's __init__ must not have: CPython calls PyInit_<package>.
NAMED_FOR_ITS_FILE = "int PyInit___init__(void) { return 0; }\n"
TWO_EXPORTS = PLAIN + "int helper(void) { return 1; }\n"
STD_STRING = ('#include <string>\nextern "C" int PyInit_m(const char *s) '
              "{ return static_cast<int>(std::string(s).size()); }\n")
# exp from libm, _Unwind_Backtrace from libgcc_s: both are on every system.
LIBM_AND_UNWIND = ("#include <math.h>\n#include <unwind.h>\n"
                   "static _Unwind_Reason_Code f(struct _Unwind_Context *c, void *a) { return _URC_NO_REASON; }\n"
                   "double PyInit_m(double x) { return exp(x) + _Unwind_Backtrace(f, 0); }\n")
LIBPYTHON = str(Path(sysconfig.get_config_var("LIBDIR")) / sysconfig.get_config_var("LDLIBRARY"))
AARCH64_CC = "aarch64-linux-gnu-gcc"

MODULES = [
    # id, compiler, source, extra link arguments ("{tmp}" is the test's folder), problem or None
    ("plain", "cc", PLAIN, [], None),
    ("libm-and-libgcc_s", "cc", LIBM_AND_UNWIND, ["-lm", "-lgcc_s"], None),
    ("aarch64-plain", AARCH64_CC, PLAIN, [], None),
    ("shared-libstdc++", "c++", STD_STRING, [], "needs libstdc++.so.6; libstdc++ must be linked in statically"),
    ("links-libpython", "cc", PLAIN, ["-Wl,--no-as-needed", LIBPYTHON], "links libpython"),
    ("other-library", "cc", PLAIN, ["-Wl,--no-as-needed", "-L{tmp}", "-ldep"], "needs libdep.so; only"),
    ("exports-more-than-pyinit", "cc", TWO_EXPORTS, [], "exports PyInit_m, helper; only PyInit_m"),
    ("executable-stack", "cc", PLAIN, ["-Wl,-z,execstack"], "asks for an executable stack"),
    ("rpath", "cc", PLAIN, ["-Wl,-rpath,/build/lib", "-Wl,--disable-new-dtags"], "has RPATH /build/lib"),
    ("runpath", "cc", PLAIN, ["-Wl,-rpath,/build/lib", "-Wl,--enable-new-dtags"], "has RUNPATH /build/lib"),
    ("aarch64-exports-more", AARCH64_CC, TWO_EXPORTS, [], "exports PyInit_m, helper"),
]


def build(tmp_path: Path, compiler: str, source: str, link: list, out: str = "m.so") -> Path:
    src = tmp_path / ("m.cpp" if compiler.endswith("++") else "m.c")
    src.write_text(source)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(tmp_path / out), str(src),
                    *(a.format(tmp=tmp_path) for a in link)], check=True)
    return tmp_path / out


@pytest.mark.parametrize("compiler, source, link, want", [m[1:] for m in MODULES], ids=[m[0] for m in MODULES])
def test_module(tmp_path, compiler, source, link, want):
    build(tmp_path, "cc", "int dep(void) { return 0; }\n", [], "libdep.so")
    problems = wheel_check.check_module(build(tmp_path, compiler, source, link))
    assert problems == [] if want is None else any(want in p for p in problems), problems


def test_package_init_is_named_for_its_package(tmp_path):
    (tmp_path / "m").mkdir()
    assert wheel_check.check_module(build(tmp_path, "cc", PLAIN, [], "m/__init__.abi3.so")) == []
    problems = wheel_check.check_module(build(tmp_path, "cc", NAMED_FOR_ITS_FILE, [], "m/__init__.abi3.so"))
    assert problems == ["m/__init__.abi3.so: exports PyInit___init__; only PyInit_m may leave the module"]


TYPED = {"m/__init__.pyi": b"", "m/py.typed": b""}


@pytest.mark.parametrize("members, want", [
    pytest.param({"m/__init__.abi3.so": "module", **TYPED}, None, id="typed-package"),
    pytest.param({"m/__init__.abi3.so": "module", **TYPED, "m.libs/libdep.so": "module"},
                 "holds m.libs/libdep.so, an ELF file", id="grafted-library"),
    pytest.param(TYPED, "holds 0 extension modules", id="no-module"),
    pytest.param({"m/__init__.abi3.so": "faulty", **TYPED}, "exports PyInit_m, helper", id="module-judged-inside"),
    pytest.param({"m/__init__.abi3.so": "init-named-for-its-file", **TYPED}, "exports PyInit___init__; only PyInit_m",
                 id="init-named-for-its-file"),
    pytest.param({"m.abi3.so": "module", "m.pyi": b""}, "holds m.abi3.so, an ELF file beside the module",
                 id="single-file-module"),
    pytest.param({"m/__init__.abi3.so": "module", "m/__init__.pyi": b""}, "lacks m/py.typed; type checkers",
                 id="no-py.typed"),
    pytest.param({"m/__init__.abi3.so": "module", "m/py.typed": b""}, "lacks m/__init__.pyi;", id="no-stub"),
])
def test_wheel(tmp_path, members, want):
    built = {"module": build(tmp_path, "cc", PLAIN, []).read_bytes(),
             "faulty": build(tmp_path, "cc", TWO_EXPORTS, [], "faulty.so").read_bytes(),
             "init-named-for-its-file": build(tmp_path, "cc", NAMED_FOR_ITS_FILE, [], "init.so").read_bytes()}
    wheel = tmp_path / "m-0.1-cp311-abi3-linux_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        for name, data in members.items():
            z.writestr(name, built.get(data, data))
    problems = wheel_check.check_wheel(wheel)
    assert problems == [] if want is None else any(want in p for p in problems), problems


def test_without_readelf_nothing_passes(tmp_path, monkeypatch):
    module = build(tmp_path, "cc", PLAIN, [])
    monkeypatch.setenv("PATH", str(tmp_path))
    assert wheel_check.check_module(module) == ["m.so: there is no readelf (binutils) to read it with"]


# glibc's floor on synthetic inputs: (needed, [(symbol, version)], floor) -> the problem expected.
GLIBC_CASES = [
    # id, needed, imports, floor, problem or None
    ("old-libc-symbols", ["libc.so.6"], [("memcpy", "GLIBC_2.14"), ("malloc", "GLIBC_2.2.5")], (2, 17), None),
    ("unversioned-and-other-libraries", ["libc.so.6"], [("PyInit_x", None), ("_Unwind_Resume", "GCC_3.0")],
     (2, 17), None),
    ("newer-than-the-floor", ["libc.so.6"], [("memcpy", "GLIBC_2.14"), ("fcntl64", "GLIBC_2.28")], (2, 17),
     "binds fcntl64@GLIBC_2.28, newer than glibc 2.17 has"),
    ("at-the-floor", ["libc.so.6"], [("getauxval", "GLIBC_2.16")], (2, 16), None),
    ("pthread-create-at-2.34", ["libc.so.6"], [("pthread_create", "GLIBC_2.34")], (2, 17),
     "binds pthread_create@GLIBC_2.34, newer than glibc 2.17 has"),
    ("pthread-create-old-without-libpthread", ["libc.so.6"], [("pthread_create", "GLIBC_2.2.5")], (2, 17),
     "binds pthread_create@GLIBC_2.2.5, which glibc before 2.34 keeps in libpthread.so.0, and does not list"),
    ("pthread-create-old-with-libpthread", ["libpthread.so.0", "libc.so.6"], [("pthread_create", "GLIBC_2.2.5")],
     (2, 17), None),
    ("stack-bounds-on-aarch64", ["libc.so.6"], [("pthread_getattr_np", "GLIBC_2.17")], (2, 17),
     "binds pthread_getattr_np@GLIBC_2.17, which glibc before 2.34 keeps in libpthread.so.0"),
    ("libc-forwarders", ["libc.so.6"], [("pthread_mutex_lock", "GLIBC_2.2.5"), ("pthread_self", "GLIBC_2.2.5")],
     (2, 17), None),
    ("semaphore", ["libc.so.6"], [("sem_post", "GLIBC_2.2.5")], (2, 17), "sem_post@GLIBC_2.2.5, which glibc before"),
    ("c11-threads", ["libc.so.6"], [("thrd_create", "GLIBC_2.28")], (2, 28), "keeps in libpthread.so.0"),
    ("thread-calls-on-a-2.34-floor", ["libc.so.6"], [("pthread_once", "GLIBC_2.34")], (2, 34), None),
    ("dlopen", ["libc.so.6"], [("dlopen", "GLIBC_2.2.5")], (2, 17), "keeps in libdl.so.2, and does not list"),
    ("dlopen-with-libdl", ["libdl.so.2", "libc.so.6"], [("dlopen", "GLIBC_2.2.5")], (2, 17), None),
    ("timer", ["libc.so.6"], [("timer_create", "GLIBC_2.3.3")], (2, 17), "keeps in librt.so.1"),
    ("clock-in-libc-since-2.17", ["libc.so.6"], [("clock_gettime", "GLIBC_2.17")], (2, 17), None),
    ("clock-at-librt's-version", ["libc.so.6"], [("clock_gettime", "GLIBC_2.2.5")], (2, 17),
     "clock_gettime@GLIBC_2.2.5, which glibc before 2.34 keeps in librt.so.1"),
    ("unversioned-thread-call", ["libc.so.6"], [("pthread_key_create", None)], (2, 17), "(unversioned)"),
    ("private", ["libc.so.6"], [("_dl_x", "GLIBC_PRIVATE")], (2, 17), "which no glibc keeps stable"),
]


@pytest.mark.parametrize("needed, imports, floor, want", [c[1:] for c in GLIBC_CASES], ids=[c[0] for c in GLIBC_CASES])
def test_glibc_rule(needed, imports, floor, want):
    problems = wheel_check.glibc_problems("m.so", needed, imports, floor)
    assert problems == [] if want is None else len(problems) == 1 and want in problems[0], problems


@pytest.mark.parametrize("name, floor", [
    ("m-0.1-cp311-abi3-manylinux_2_17_x86_64.manylinux2014_x86_64.whl", (2, 17)),
    ("m-0.1-cp311-abi3-manylinux_2_34_aarch64.whl", (2, 34)),
    ("m-0.1-cp311-abi3-manylinux2010_x86_64.manylinux_2_28_x86_64.whl", (2, 12)),
    ("m-0.1-cp311-abi3-manylinux1_x86_64.whl", (2, 5)),
    ("m-0.1-cp311-abi3-musllinux_1_2_x86_64.whl", None),
    ("m-0.1-cp311-abi3-linux_x86_64.whl", None),
])
def test_platform_floor(name, floor):
    assert wheel_check.platform_floor(name) == floor


# Modules built here against Debian 12's glibc (2.36), x86-64 and aarch64, judged against 2.17.
STARTS_A_THREAD = ("#include <pthread.h>\nstatic void *run(void *a) { return a; }\n"
                   "int PyInit_m(void) { pthread_t t; return pthread_create(&t, 0, run, 0); }\n")
# The stack-bounds call at its first version, as a forwarder asks for it (.symver).
OLD_STACK_BOUNDS = ("#include <pthread.h>\n"
                    "int first(pthread_t, pthread_attr_t *);\n"
                    '__asm__(".symver first,pthread_getattr_np@{version}");\n'
                    "int PyInit_m(void) {{ pthread_attr_t a; return first(pthread_self(), &a); }}\n")
FLOOR_MODULES = [
    # id, compiler, source, extra link arguments, problem or None
    ("plain", "cc", PLAIN, [], None),
    ("starts-a-thread", "cc", STARTS_A_THREAD, [], "binds pthread_create@GLIBC_2.34, newer than glibc 2.17"),
    ("aarch64-starts-a-thread", AARCH64_CC, STARTS_A_THREAD, [], "binds pthread_create@GLIBC_2.34"),
    ("old-stack-bounds", "cc", OLD_STACK_BOUNDS.format(version="GLIBC_2.2.5"), [],
     "binds pthread_getattr_np@GLIBC_2.2.5, which glibc before 2.34 keeps in libpthread.so.0, and does not list"),
    ("old-stack-bounds-with-libpthread", "cc", OLD_STACK_BOUNDS.format(version="GLIBC_2.2.5"),
     ["-Wl,--no-as-needed", "-l:libpthread.so.0"], None),
    ("aarch64-old-stack-bounds", AARCH64_CC, OLD_STACK_BOUNDS.format(version="GLIBC_2.17"), [],
     "binds pthread_getattr_np@GLIBC_2.17, which glibc before 2.34 keeps in libpthread.so.0"),
]


@pytest.mark.parametrize("compiler, source, link, want", [m[1:] for m in FLOOR_MODULES],
                         ids=[m[0] for m in FLOOR_MODULES])
def test_module_against_a_glibc_floor(tmp_path, compiler, source, link, want):
    problems = wheel_check.check_module(build(tmp_path, compiler, source, link), floor=(2, 17))
    assert problems == [] if want is None else any(want in p for p in problems), problems


@pytest.mark.parametrize("tag, want", [
    ("manylinux_2_17_x86_64.manylinux2014_x86_64", "binds pthread_create@GLIBC_2.34, newer than glibc 2.17"),
    ("manylinux_2_34_x86_64", None),
    ("linux_x86_64", None),
])
def test_wheel_is_held_to_its_tag(tmp_path, tag, want):
    wheel = tmp_path / f"m-0.1-cp311-abi3-{tag}.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.writestr("m/__init__.abi3.so", build(tmp_path, "cc", STARTS_A_THREAD, []).read_bytes())
        for name, data in TYPED.items():
            z.writestr(name, data)
    problems = wheel_check.check_wheel(wheel)
    assert problems == [] if want is None else any(want in p for p in problems), problems
