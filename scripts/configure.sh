# Sourced by the other scripts: configure BUILD_DIR [CMAKE_ARGUMENT...] runs CMake's configure step
# for this project with Ninja, Debian's Python and warnings as errors. It shows only the lines that
# say which ML-DSA-65 backend and libraries were chosen, and keeps the whole output in
# BUILD_DIR/configure.log. When CMake fails, it prints that output and returns CMake's exit status,
# so the calling script stops there instead of building an old tree.
configure() {
  local build=$1 status=0
  shift
  mkdir -p "$build"
  cmake -S . -B "$build" -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 -DHALYX_WERROR=ON "$@" \
    >"$build/configure.log" 2>&1 || status=$?
  grep -E "ML-DSA-65 backend|OpenSSL 3.5|build-openssl" "$build/configure.log" || true
  if ((status != 0)); then
    cat "$build/configure.log" >&2
    echo "configure: CMake failed for $build (exit $status)" >&2
    return "$status"
  fi
}
