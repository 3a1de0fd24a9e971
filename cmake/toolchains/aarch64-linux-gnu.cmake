# Cross-builds for 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu), whose
# glibc sits in /usr/aarch64-linux-gnu:
#
#   cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
#         -DHALYX_BUILD_TESTS=OFF -DPython3_INCLUDE_DIR=ARM64_ROOT/usr/include/python3.11 \
#         -DCMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES=ARM64_ROOT/usr/include
#
# Python's headers must be the target's: pyconfig.h differs between architectures, and Debian's
# python3.11 header includes <aarch64-linux-gnu/python3.11/pyconfig.h> from a folder of its own.
# scripts/arm64-python.sh extracts them, with an arm64 CPython to run the result under qemu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
# Programs (cmake, python) are the build machine's; libraries and headers only the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
