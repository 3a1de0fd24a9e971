"""wheel_check.py against small modules compiled here, each built to carry one fault it must catch
(or none, with a known newest glibc version), and against wheels whose tags claim too much."""
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import wheel_check  # noqa: E402

PLAIN = "int PyInit_m(void) { return 0; }\n"
# memcpy is GLIBC_2.14 on x86-64 and __cxa_finalize GLIBC_2.2.5: compared as text, 2.2.5 would win.
MEMCPY = "#include <string.h>\nvoid *PyInit_m(void *d, const void *s, size_t n) { return memcpy(d, s, n); }\n"
REALLOCARRAY = ("#include <stdlib.h>\n"
                "void *PyInit_m(void *p, size_t n) { return reallocarray(p, n, 8); }\n")   # GLIBC_2.26
# exp is GLIBC_2.29 in libm, which readelf lists before libc's GLIBC_2.26: the newest is not the last.
EXP_IN_LIBM = ("#include <math.h>\n#include <stdlib.h>\n"
               "void *PyInit_m(void *p, double x) { return reallocarray(p, (size_t)exp(x), 8); }\n")
TWO_EXPORTS = PLAIN + "int helper(void) { return 1; }\n"
STD_STRING = ('#include <string>\nextern "C" int PyInit_m(const char *s) '
              "{ return static_cast<int>(std::string(s).size()); }\n")
LIBPYTHON = str(Path(sysconfig.get_config_var("LIBDIR")) / sysconfig.get_config_var("LDLIBRARY"))

MODULES = [
    # id, compiler, source, extra link arguments, proved tag or the problem it must report
    ("glibc-2.14-is-newer-than-2.2.5", "cc", MEMCPY, [], "manylinux_2_14_x86_64"),
    ("glibc-2.26", "cc", REALLOCARRAY, [], "manylinux_2_26_x86_64"),
    ("newest-needed-from-libm", "cc", EXP_IN_LIBM, ["-lm"], "manylinux_2_29_x86_64"),
    ("no-versions-claims-the-oldest-known-tag", "cc", PLAIN, [], "manylinux_2_5_x86_64"),
    ("shared-libstdc++", "c++", STD_STRING, [], "from libstdc++.so.6; only glibc's"),
    ("needs-libpython", "cc", PLAIN, ["-Wl,--no-as-needed", LIBPYTHON], "not on the manylinux allow-list"),
    ("exports-more-than-pyinit", "cc", TWO_EXPORTS, [], "exports PyInit_m, helper; only PyInit_m"),
    ("executable-stack", "cc", PLAIN, ["-Wl,-z,execstack"], "asks for an executable stack"),
]


def build_module(tmp_path: Path, compiler: str, source: str, link: list) -> Path:
    src = tmp_path / ("m.cpp" if compiler == "c++" else "m.c")
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
    # id, platform in the file name, Tag lines in WHEEL, problem (None: proves 2_26)
    ("exact", "manylinux_2_26_x86_64", ["manylinux_2_26_x86_64"], None),
    ("claims-less", "manylinux_2_28_x86_64", ["manylinux_2_28_x86_64"], None),
    ("claims-nothing", "linux_x86_64", ["linux_x86_64"], None),
    ("older-glibc", "manylinux_2_17_x86_64", ["manylinux_2_17_x86_64"], "claims glibc 2.17, but its modules need 2.26"),
    ("legacy-alias", "manylinux2014_x86_64", ["manylinux2014_x86_64"], "claims glibc 2.17"),
    ("one-of-two-tags", "manylinux_2_26_x86_64.manylinux_2_24_x86_64",
     ["manylinux_2_26_x86_64", "manylinux_2_24_x86_64"], "claims glibc 2.24"),
    ("other-arch", "manylinux_2_26_aarch64", ["manylinux_2_26_aarch64"], "is not what its x86_64 modules are"),
    ("name-and-WHEEL-differ", "manylinux_2_26_x86_64", ["manylinux_2_5_x86_64"], "WHEEL lists"),
]


@pytest.mark.parametrize("platform, wheel_tags, want", [w[1:] for w in WHEELS], ids=[w[0] for w in WHEELS])
def test_wheel(tmp_path, platform, wheel_tags, want):
    module = build_module(tmp_path, "cc", REALLOCARRAY, [])
    wheel = tmp_path / f"m-0.1-cp311-abi3-{platform}.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.write(module, "m.abi3.so")
        z.writestr("m-0.1.dist-info/WHEEL", "Wheel-Version: 1.0\n"
                   + "".join(f"Tag: cp311-abi3-{t}\n" for t in wheel_tags))
    report = wheel_check.check_wheel(wheel)
    if want is None:
        assert (report.tag, report.problems) == ("manylinux_2_26_x86_64", [])
    else:
        assert report.tag is None
        assert any(want in p for p in report.problems), report.problems
