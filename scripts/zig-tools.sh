#!/usr/bin/env bash
# Prints the bin/ folder of a virtual environment that holds the zig pinned in scripts/zig-tools.txt,
# creating it under .cache/ on first use (from Python's package index, with Debian's Python). A
# changed list gets a fresh environment. Beside zig, bin/ holds the single programs a build system
# asks for: zig-cc, zig-c++, zig-ar and zig-ranlib. They keep zig's own cache (the musl and libc++ it
# builds for each target on first use) inside the environment, not in the home folder.
set -euo pipefail
cd "$(dirname "$0")/.."

list=scripts/zig-tools.txt
env=".cache/zig-$(cat "$list" "$0" | sha256sum | cut -c1-12)"
if [[ ! -f $env/.complete ]]; then
  rm -rf "$env"
  /usr/bin/python3 -m venv "$env"
  if ! "$env/bin/python" -m pip install --quiet --disable-pip-version-check -r "$list" >"$env/install.log" 2>&1; then
    cat "$env/install.log" >&2
    echo "zig-tools: could not install $list" >&2
    exit 1
  fi
  zig=$(ls "$env"/lib/python3*/site-packages/ziglang/zig)
  ln -sf "$PWD/$zig" "$env/bin/zig"
  for tool in cc c++ ar ranlib; do
    cat > "$env/bin/zig-$tool" <<WRAPPER
#!/bin/sh
: "\${ZIG_GLOBAL_CACHE_DIR:=$PWD/$env/cache}" "\${ZIG_LOCAL_CACHE_DIR:=$PWD/$env/cache}"
export ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR
exec "$PWD/$env/bin/zig" $tool "\$@"
WRAPPER
    chmod +x "$env/bin/zig-$tool"
  done
  "$env/bin/zig" version > "$env/.complete"
fi
echo "$PWD/$env/bin"
