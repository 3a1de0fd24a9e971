"""wheel_check.py against small modules compiled here (for x86-64, and for aarch64 with Debian's
cross compiler), each built to carry one fault it must catch (or none, with a known newest glibc
version), and against wheels whose tags claim too much or break the promised glibc."""
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import wheel_check  # noqa: E402

PLAIN = "int PyInit_m(void) { return 0; }\n"
# __cxa_thread_atexit_impl is GLIBC_2.18 and __cxa_finalize GLIBC_2.2.5: compared as text, 2.2.5
# would win, and the floor of 2.17 would hide it.
THREAD_ATEXIT = ("int __cxa_thread_atexit_impl(void (*)(void *), void *, void *);\n"
                 "int PyInit_m(void (*f)(void *)) { return __cxa_thread_atexit_impl(f, 0, 0); }\n")
REALLOCARRAY = ("#include <stdlib.h>\n"
                "void *PyInit_m(void *p, size_t n) { return reallocarray(p, n, 8); }\n")   # GLIBC_2.26
# exp is GLIBC_2.29 in libm, which readelf lists before libc's GLIBC_2.26: the newest is not the last.
EXP_IN_LIBM = ("#include <math.h>\n#include <stdlib.h>\n"
               "void *PyInit_m(void *p, double x) { return reallocarray(p, (size_t)exp(x), 8); }\n")
TWO_EXPORTS = PLAIN + "int helper(void) { return 1; }\n"
STD_STRING = ('#include <string>\nextern "C" int PyInit_m(const char *s) '
              "{ return static_cast<int>(std::string(s).size()); }\n")
# libgcc_s: _Unwind_Backtrace is GCC_3.3, which every manylinux policy allows; __extendhfdf2 (a
# _Float16 conversion) is GCC_12.0.0, which none does.
UNWIND = ("#include <unwind.h>\n"
          "static _Unwind_Reason_Code f(struct _Unwind_Context *c, void *a) { return _URC_NO_REASON; }\n"
          "int PyInit_m(void) { return _Unwind_Backtrace(f, 0); }\n")
FLOAT16 = "double PyInit_m(_Float16 h) { return h; }\n"
LIBPYTHON = str(Path(sysconfig.get_config_var("LIBDIR")) / sysconfig.get_config_var("LDLIBRARY"))

AARCH64_CC = "aarch64-linux-gnu-gcc"

MODULES = [
    # id, compiler, source, extra link arguments, proved tag or the problem it must report
    ("glibc-2.18-is-newer-than-2.2.5", "cc", THREAD_ATEXIT, [], "manylinux_2_18_x86_64"),
    ("glibc-2.26", "cc", REALLOCARRAY, [], "manylinux_2_26_x86_64"),
    ("newest-needed-from-libm", "cc", EXP_IN_LIBM, ["-lm"], "manylinux_2_29_x86_64"),
    ("no-versions-claims-the-oldest-known-tag", "cc", PLAIN, [], "manylinux_2_17_x86_64"),
    ("shared-libstdc++", "c++", STD_STRING, [], "from libstdc++.so.6; only glibc's"),
    ("needs-libpython", "cc", PLAIN, ["-Wl,--no-as-needed", LIBPYTHON], "not on the manylinux allow-list"),
    ("exports-more-than-pyinit", "cc", TWO_EXPORTS, [], "exports PyInit_m, helper; only PyInit_m"),
    ("executable-stack", "cc", PLAIN, ["-Wl,-z,execstack"], "asks for an executable stack"),
    ("libgcc_s-GCC_3.3-is-allowed", "cc", UNWIND, ["-lgcc_s"], "manylinux_2_17_x86_64"),
    ("libgcc_s-GCC_12-proves-nothing", "cc", FLOAT16, ["-lgcc_s"], "needs GCC_12.0.0 from libgcc_s.so.1"),
    ("aarch64-first-glibc-is-2.17", AARCH64_CC, PLAIN, [], "manylinux_2_17_aarch64"),
    ("aarch64-glibc-2.26", AARCH64_CC, REALLOCARRAY, [], "manylinux_2_26_aarch64"),
]


def build_module(tmp_path: Path, compiler: str, source: str, link: list) -> Path:
    src = tmp_path / ("m.cpp" if compiler.endswith("++") else "m.c")
    src.write_text(source)
    out = tmp_path / "m.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(src), *link], check=True)
    return out


@pytest.mark.parametrize("compiler, source, link, want", [m[1:] for m in MODULES],
                         ids=[m[0] for m in MODULES])
def test_module(tmp_path, compiler, source, link, want):
    report = wheel_check.check_module(build_module(tmp_path, compiler, source, link))
    if want.startswith("manylinux_"):
        assert (report.tag, report.problems) == (want, [])
    else:
        assert report.tag is None
        assert any(want in p for p in report.problems), report.problems


WHEELS = [
    # id, compiler, platform in the file name, Tag lines in WHEEL, problem (None: proves 2_26)
    ("exact", "cc", "manylinux_2_26_x86_64", ["manylinux_2_26_x86_64"], None),
    ("claims-less", "cc", "manylinux_2_28_x86_64", ["manylinux_2_28_x86_64"], None),
    ("claims-nothing", "cc", "linux_x86_64", ["linux_x86_64"], None),
    ("older-glibc", "cc", "manylinux_2_17_x86_64", ["manylinux_2_17_x86_64"], "claims glibc 2.17, but its modules need 2.26"),
    ("legacy-alias", "cc", "manylinux2014_x86_64", ["manylinux2014_x86_64"], "claims glibc 2.17"),
    ("one-of-two-tags", "cc", "manylinux_2_26_x86_64.manylinux_2_24_x86_64",
     ["manylinux_2_26_x86_64", "manylinux_2_24_x86_64"], "claims glibc 2.24"),
    ("other-arch", "cc", "manylinux_2_26_aarch64", ["manylinux_2_26_aarch64"], "is not what its x86_64 modules are"),
    ("name-and-WHEEL-differ", "cc", "manylinux_2_26_x86_64", ["manylinux_2_5_x86_64"], "WHEEL lists"),
    ("aarch64-exact", AARCH64_CC, "manylinux_2_26_aarch64", ["manylinux_2_26_aarch64"], None),
    ("aarch64-claims-nothing", AARCH64_CC, "linux_aarch64", ["linux_aarch64"], None),
    ("aarch64-legacy-alias", AARCH64_CC, "manylinux2014_aarch64", ["manylinux2014_aarch64"], "claims glibc 2.17"),
    ("aarch64-module-tagged-x86_64", AARCH64_CC, "manylinux_2_26_x86_64", ["manylinux_2_26_x86_64"],
     "is not what its aarch64 modules are"),
    ("aarch64-has-no-manylinux1", AARCH64_CC, "manylinux1_aarch64", ["manylinux1_aarch64"],
     "is not what its aarch64 modules are"),
]


def make_wheel(tmp_path: Path, compiler: str, platform: str, wheel_tags: list) -> Path:
    module = build_module(tmp_path, compiler, REALLOCARRAY, [])
    wheel = tmp_path / f"m-0.1-cp311-abi3-{platform}.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.write(module, "m.abi3.so")
        z.writestr("m-0.1.dist-info/WHEEL", "Wheel-Version: 1.0\n"
                   + "".join(f"Tag: cp311-abi3-{t}\n" for t in wheel_tags))
    return wheel


@pytest.mark.parametrize("compiler, platform, wheel_tags, want", [w[1:] for w in WHEELS],
                         ids=[w[0] for w in WHEELS])
def test_wheel(tmp_path, compiler, platform, wheel_tags, want):
    report = wheel_check.check_wheel(make_wheel(tmp_path, compiler, platform, wheel_tags))
    arch = "aarch64" if compiler == AARCH64_CC else "x86_64"
    if want is None:
        assert (report.tag, report.problems) == (f"manylinux_2_26_{arch}", [])
    else:
        assert report.tag is None
        assert any(want in p for p in report.problems), report.problems


@pytest.mark.parametrize("platform, at_most, want", [
    pytest.param("manylinux_2_26_x86_64", "2.26", "manylinux_2_26_x86_64", id="kept"),
    pytest.param("manylinux_2_26_x86_64", "2.17", "newer than the promised manylinux_2_17: reallocarray (2.26)",
                 id="broken"),
    pytest.param("linux_x86_64", "2.26", "pip on glibc 2.26 would not install it", id="tag-claims-nothing"),
])
def test_promised_glibc(tmp_path, capsys, platform, at_most, want):
    wheel = make_wheel(tmp_path, "cc", platform, [platform])
    status = wheel_check.main(["--at-most", at_most, str(wheel)])
    out, err = capsys.readouterr()
    assert (status, out.strip()) == ((0, want) if want.startswith("manylinux_") else (1, ""))
    assert want.startswith("manylinux_") or want in err


def test_without_readelf_nothing_is_proved(tmp_path, monkeypatch):
    module = build_module(tmp_path, "cc", PLAIN, [])
    monkeypatch.setenv("PATH", str(tmp_path))
    report = wheel_check.check_module(module)
    assert (report.tag, report.problems) == (None, ["m.so: there is no readelf (binutils) to read it with"])
