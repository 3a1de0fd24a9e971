"""Builds the halyx_verifier extension with the project's CMake build, as one cp311-abi3 wheel:

    pip wheel --no-build-isolation .

The wheel holds halyx_verifier.abi3.so and its type stub halyx_verifier.pyi, and carries the
manylinux tag that scripts/wheel_check.py proves for the module just built (linux_<arch>, with a
warning, when it proves none). Its dist-info carries the licence and the notices of what the module
contains, as the CMake build lists them (cmake/notices.cmake), and its metadata names their licence
expression. The default backend is the project's own ML-DSA-65 verifier, so the build needs no
library beyond the C++ runtime, whose libstdc++ it links statically. From the repository, a backend
chosen through HALYX_CMAKE_ARGS is linked statically too; the sdist holds no OpenSSL recipe, so
there the OpenSSL backend needs -DHALYX_BUNDLE_DEPS=OFF and the system's libcrypto 3.5. A cross build (a CMake toolchain file in
HALYX_CMAKE_ARGS) gets the tag of the architecture its module was built for. Environment:

    HALYX_CMAKE_ARGS        extra CMake arguments, after the defaults, e.g.
                            "-DHALYX_MLDSA_BACKEND=liboqs -DCMAKE_PREFIX_PATH=/opt/liboqs"
    HALYX_WHEEL_BUILD_DIR   keeps the CMake tree between wheel builds
"""
import json
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools < 70 takes it from the wheel package
    from wheel.bdist_wheel import bdist_wheel

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / "scripts"))
import wheel_check  # noqa: E402


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = Path(os.environ.get("HALYX_WHEEL_BUILD_DIR") or Path(self.build_temp).resolve() / "cmake")
        # The backend is named, not left to auto, so that what a wheel contains never depends on
        # what the building machine happens to have.
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                               "-DCMAKE_BUILD_TYPE=Release", "-DHALYX_BUILD_TESTS=OFF",
                               "-DHALYX_BUNDLE_DEPS=ON", "-DHALYX_MLDSA_BACKEND=native",
                               f"-DPython3_EXECUTABLE={sys.executable}",
                               *shlex.split(os.environ.get("HALYX_CMAKE_ARGS", ""))])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "halyx_verifier",
                               "-j", str(os.cpu_count() or 2)])
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "halyx-verifier-py" / "halyx_verifier.abi3.so", target)
        shutil.copyfile(ROOT / "halyx-verifier-py" / "halyx_verifier.pyi", target.parent / "halyx_verifier.pyi")

        # The metadata is written after the build (bdist_wheel's install step), so it names what
        # this build's module contains rather than what the source tree could build.
        notices = json.loads((build_dir / "notices.json").read_text())
        self.distribution.metadata.license = notices["license"]
        self.distribution.metadata.license_files = notices["files"]

        report = wheel_check.check_module(target)
        for line in report.notes:
            print(f"wheel_check: {line}")
        for line in report.problems:
            print(f"wheel_check: WARNING {line}", file=sys.stderr)
        # Without a proved tag the wheel keeps the plain linux tag of the module's architecture,
        # which claims nothing beyond the machine that built it.
        self.distribution.halyx_platform_tag = report.tag or (report.arch and f"linux_{report.arch}")


class ProvedTagWheel(bdist_wheel):
    def get_tag(self):
        python, abi, platform = super().get_tag()
        return python, abi, getattr(self.distribution, "halyx_platform_tag", None) or platform


setup(
    ext_modules=[Extension("halyx_verifier", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild, "bdist_wheel": ProvedTagWheel},
    options={"bdist_wheel": {"py_limited_api": "cp311"}, "build": {"build_base": "build/setuptools"}},
)
