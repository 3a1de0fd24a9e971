# Builds for 64-bit ARM Linux with musl, through zig's toolchain: see zig-musl.cmake.
set(HALYX_MUSL_ARCH aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/zig-musl.cmake")
