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


@pytest.mark.parametrize("members, want", [
    pytest.param({"m.abi3.so": "module", "m.pyi": b""}, None, id="module-and-stub"),
    pytest.param({"m.abi3.so": "module", "m.libs/libdep.so": "module"}, "holds m.libs/libdep.so, an ELF file",
                 id="grafted-library"),
    pytest.param({"m.pyi": b""}, "holds 0 extension modules", id="no-module"),
    pytest.param({"m.abi3.so": "faulty"}, "exports PyInit_m, helper", id="module-judged-inside"),
])
def test_wheel(tmp_path, members, want):
    module = build(tmp_path, "cc", PLAIN, []).read_bytes()
    faulty = build(tmp_path, "cc", TWO_EXPORTS, [], "faulty.so").read_bytes()
    wheel = tmp_path / "m-0.1-cp311-abi3-linux_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        for name, data in members.items():
            z.writestr(name, {"module": module, "faulty": faulty}.get(data, data))
    problems = wheel_check.check_wheel(wheel)
    assert problems == [] if want is None else any(want in p for p in problems), problems


def test_without_readelf_nothing_passes(tmp_path, monkeypatch):
    module = build(tmp_path, "cc", PLAIN, [])
    monkeypatch.setenv("PATH", str(tmp_path))
    assert wheel_check.check_module(module) == ["m.so: there is no readelf (binutils) to read it with"]
