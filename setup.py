"""Builds the halyx_verifier extension with the project's CMake build, as one cp311-abi3 wheel:

    pip wheel --no-build-isolation .

The wheel holds halyx_verifier.abi3.so and its type stub halyx_verifier.pyi. CMake obtains
OpenSSL 3.5 as in any other build (see README.md); $HALYX_WHEEL_BUILD_DIR keeps the CMake tree
between wheel builds.
"""
import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = Path(os.environ.get("HALYX_WHEEL_BUILD_DIR") or Path(self.build_temp).resolve() / "cmake")
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                               "-DCMAKE_BUILD_TYPE=Release", "-DHALYX_BUILD_TESTS=OFF",
                               f"-DPython3_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "halyx_verifier",
                               "-j", str(os.cpu_count() or 2)])
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "halyx-verifier-py" / "halyx_verifier.abi3.so", target)
        shutil.copyfile(ROOT / "halyx-verifier-py" / "halyx_verifier.pyi", target.parent / "halyx_verifier.pyi")


setup(
    ext_modules=[Extension("halyx_verifier", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp311"}, "build": {"build_base": "build/setuptools"}},
)
