# Builds for x86-64 Linux with musl, through zig's toolchain: see zig-musl.cmake.
set(HALYX_MUSL_ARCH x86_64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake")
