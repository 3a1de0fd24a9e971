# Shared by x86_64-linux-musl.cmake and aarch64-linux-musl.cmake, which set HALYX_MUSL_ARCH first:
# zig's clang, with the musl and libc++ zig carries for every target, builds for
# HALYX_MUSL_ARCH-linux-musl. zig links libc++ (and libc++abi, libunwind) statically into what it
# links, so a module built this way asks the system for musl's libc alone.
#
# The zig is the one pinned in scripts/zig-tools.txt, installed under .cache/ on first use;
# $HALYX_ZIG_BIN names another folder holding zig-cc, zig-c++, zig-ar and zig-ranlib. Python's
# headers must be the target's (pyconfig.h differs between C libraries and architectures):
#
#   cmake -S . -B build-musl -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-linux-musl.cmake \
#         -DHALYX_BUILD_TESTS=OFF -DPython3_INCLUDE_DIR=MUSL_PYTHON/include/python3.11
#
# scripts/musl-python.sh builds such a Python with the same zig.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${HALYX_MUSL_ARCH})

if(DEFINED ENV{HALYX_ZIG_BIN})
  set(_halyx_zig_bin "$ENV{HALYX_ZIG_BIN}")
else()
  execute_process(COMMAND "${CMAKE_CURRENT_LIST_DIR}/../../scripts/zig-tools.sh"
                  OUTPUT_VARIABLE _halyx_zig_bin OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
set(CMAKE_C_COMPILER "${_halyx_zig_bin}/zig-cc")
set(CMAKE_CXX_COMPILER "${_halyx_zig_bin}/zig-c++")
set(CMAKE_C_COMPILER_TARGET ${HALYX_MUSL_ARCH}-linux-musl)
set(CMAKE_CXX_COMPILER_TARGET ${HALYX_MUSL_ARCH}-linux-musl)
set(CMAKE_AR "${_halyx_zig_bin}/zig-ar" CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB "${_halyx_zig_bin}/zig-ranlib" CACHE FILEPATH "zig's ranlib")

# Programs (cmake, python) are the build machine's; no library or header of the build machine is the
# target's: zig brings the C library and the C++ library itself.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_CURRENT_LIST_DIR}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# zig's libc++ keeps C++98's std::unexpected() function declared (it defines
# _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS), beside C++23's std::unexpected class template;
# the core's std::unexpected(...) would be ambiguous. Neither the project nor its tests use the old one.
set(CMAKE_CXX_FLAGS_INIT "-U_LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS")
