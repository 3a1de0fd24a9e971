#!/usr/bin/env bash
# Builds the documentation and runs every example in it, against a build that is already there:
#   1. Doxygen's XML of the public C++ headers (halyx-core/include/halyx/, all that CMake installs),
#      for the C++ API page;
#   2. the site, with Sphinx, warnings as errors, into BUILD/docs/html;
#   3. every example with output in README.md, CONTRIBUTING.md, SECURITY.md and docs/
#      (scripts/docs_examples.py): the Python ones as doctests against BUILD's module, the command
#      lines against BUILD's halyx-verify, in a copy of examples/sample.
# Doxygen comes from Debian's packages (scripts/setup.sh), Sphinx and the rest from
# docs/requirements.txt, every version and file hash pinned, installed once into a virtual
# environment of Debian's Python under .cache/ (about 20 s); a changed list gets a fresh one.
#
#   scripts/docs.sh            # BUILD is build/, or $HALYX_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${HALYX_BUILD_DIR:-build}

scripts/setup.sh doxygen

for needed in "$build/halyx-cli/halyx-verify" "$build/halyx-verifier-py/halyx_verifier/__init__.abi3.so"; do
  [[ -e $needed ]] || { echo "docs: $needed is missing; run scripts/build.sh first" >&2; exit 1; }
done

list=docs/requirements.txt
env=".cache/docs-venv-$(sha256sum "$list" | cut -c1-12)"
mkdir -p .cache
exec 9>.cache/docs-venv.lock
flock 9
if [[ ! -x $env/bin/sphinx-build || ! -e $env/.complete ]]; then
  rm -rf "$env"
  /usr/bin/python3 -m venv "$env"
  if ! "$env/bin/python" -m pip install --quiet --disable-pip-version-check --require-hashes --only-binary=:all: \
      -r "$list" >"$env/install.log" 2>&1; then
    cat "$env/install.log" >&2
    echo "docs: could not install $list" >&2
    exit 1
  fi
  touch "$env/.complete"
fi
exec 9>&-

out="$build/docs"
[[ $out == /* ]] || out="$root/$out"
rm -rf "$out"
mkdir -p "$out"

# The headers a program that links the installed core may include: the public folder, which CMake
# installs as it is.
public=$root/halyx-core/include/halyx
headers=$(cd "$public" && find . -name '*.hpp' | sed 's|^\./||' | LC_ALL=C sort)
[[ -n $headers ]] || { echo "docs: no headers in $public" >&2; exit 1; }
inputs=$(printf "$public/%s " $headers)
# The headers' comments are plain // comments: the filter makes each a documentation comment of the
# declaration it stands above (or, after a declaration on its line, of that one).
cat >"$out/Doxyfile" <<EOF
PROJECT_NAME           = halyx
INPUT                  = $inputs
FULL_PATH_NAMES        = YES
STRIP_FROM_PATH        = $public
INPUT_FILTER           = "sed -e 's|^\\([[:space:]]*\\)// |\\1/// |' -e 's|^\\([[:space:]]*\\)//\$|\\1///|' -e 's|\\([;,{]\\)[[:space:]]*// \\(.*\\)\$|\\1 ///< \\2|'"
FILTER_SOURCE_FILES    = NO
EXTRACT_ALL            = YES
EXTRACT_PRIVATE        = NO
EXTRACT_ANON_NSPACES   = NO
HIDE_UNDOC_MEMBERS     = NO
MACRO_EXPANSION        = YES
ENABLE_PREPROCESSING   = YES
SEARCH_INCLUDES        = NO
GENERATE_XML           = YES
XML_OUTPUT             = $out/xml
GENERATE_HTML          = NO
GENERATE_LATEX         = NO
QUIET                  = YES
WARNINGS               = NO
WARN_IF_UNDOCUMENTED   = NO
EOF
doxygen "$out/Doxyfile"

# Breathe finds the XML through this variable (docs/conf.py checks the C++ API page against the
# same folder); the examples' checker takes the module and the program from the build.
export HALYX_DOXYGEN_XML="$out/xml"
"$env/bin/sphinx-build" -W --keep-going -q -b html -d "$out/doctrees" docs "$out/html"
echo "docs: site in $out/html/index.html"

/usr/bin/python3 scripts/docs_examples.py --build-dir "$build" README.md CONTRIBUTING.md SECURITY.md \
  $(find docs -name '*.md' | LC_ALL=C sort)
