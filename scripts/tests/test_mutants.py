"""mutants.py's choice of mutation sites: each row is a piece of C++ and the changes it must offer,
in order. A site found in a comment, a string, a directive or a template argument list would waste
a build on a mutant that cannot compile or cannot matter; a site missed is a fault never tried.
Then how a mutant is judged before its tests run: by the preprocessor and by its object code;
how it reads ctest's outcomes, where a skipped case taken for a failure would stop the
baseline, and how it holds the differential's cases back to the last stage."""
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import mutants  # noqa: E402

SITES = [
    ("operators", "if (a < b && c >= d || e == f) return true;",
     [("<", "<="), ("&&", "||"), (">=", ">"), ("||", "&&"), ("==", "!="), ("true", "false")]),
    ("not_code", '#include <vector>\n#define M(x) (x < 2)\n// a < 1\nconst char* s = "a < 1"; /* 2 > 1 */'
     "\nauto r = R\"d(x > 1)d\"; char c = '<';", []),
    ("templates", "std::array<int, 3> x = static_cast<std::vector<std::pair<int, int>>>(y);", []),
    ("comparison_not_template", "for (i = 0; i < n; ++i) { if (x < y.size() && z > 2) break; }",
     [("0", "1"), ("<", "<="), ("<", "<="), ("&&", "||"), (">", ">="), ("2", "3"), ("2", "1"), ("break", "")]),
    ("shifts_arrows_operators", "bool operator<(const T& o) const { return p->x << 2 > o.y; }",
     [("2", "3"), ("2", "1"), (">", ">=")]),
    ("rvalue_reference", "void f(T&& x) noexcept { g(std::forward<T>(x)); }", []),
    ("declarations", "std::uint8_t buf[4]; static_assert(N == 4); alignas(32) int t[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};",
     []),
    ("subscripts_and_short_lists", "v = buf[4] + f({1, 2});",
     [("4", "5"), ("4", "3"), ("1", "2"), ("1", "0"), ("2", "3"), ("2", "1")]),
    ("literal_forms", "x = 0x0F + 0b10 + 1u + 0 + 1'000 + 1.5e+3 + 0x1p-14;",
     [("0x0F", "0x10"), ("0x0F", "0x0E"), ("0b10", "0b11"), ("0b10", "0b01"), ("1u", "2u"), ("1u", "0u"),
      ("0", "1"), ("1'000", "1001"), ("1'000", "999")]),
]


@pytest.mark.parametrize("src, expected", [pytest.param(s, e, id=n) for n, s, e in SITES])
def test_sites(src, expected):
    assert [(s.original, s.mutated) for s in mutants.find_sites("x.cpp", src)] == expected


def test_a_mutant_keeps_its_name_when_lines_move():
    src = "int f() {\n  return a < b;\n}\n"
    before = mutants.find_sites("x.cpp", src)
    after = mutants.find_sites("x.cpp", "// a comment\n" + src.replace("  return", "    return"))
    assert [s.ident for s in before] == [s.ident for s in after] == ["x.cpp | return a < b; | < -> <="]
    assert before[0].mutated_line == "  return a <= b;"


# ---------------------------------------------------------------------------------------------
# What the build compiles: a mutant whose token the preprocessor drops is not built here, and one
# whose objects keep their code and data cannot change behaviour. Each row is a site in a small
# translation unit compiled with the system's compiler, with debug information, as a build might.

UNIT_SOURCE = """#include "used.hpp"
int f(int a) {
#if defined(HALYX_TEST_NEVER_DEFINED)
  return a < 1;
#else
  return a > 2 ? g(a) : 0;
#endif
}
int h(int a) {
  int dead = 10; (void)dead; return a * 7;
}
"""
FILES = {
    "src/unit.cpp": UNIT_SOURCE,
    "src/used.hpp": "#pragma once\ninline int g(int x) { return x == 3 ? 5 : x; }\n",
    "src/unused.hpp": "#pragma once\ninline int k(int x) { return x != 4; }\n",
}
OBJECT_ROWS = [
    # name, file, token, its line holds, mutated to, reaches the compiler, same object code
    ("branch_taken", "src/unit.cpp", ">", "return a > 2", ">=", True, False),
    ("branch_not_taken", "src/unit.cpp", "<", "return a < 1", "<=", False, None),
    ("header_included", "src/used.hpp", "==", "x == 3", "!=", True, False),
    ("dead_store_shifts_only_columns", "src/unit.cpp", "10", "int dead = 10", "9", True, True),
    ("live_constant", "src/unit.cpp", "7", "a * 7", "8", True, False),
]


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "root"
    for rel, text in FILES.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text)
    unit = mutants.Unit(str(root / "src/unit.cpp"), str(root / "unit.o"), str(root),
                        ["g++", "-std=c++20", "-O2", "-g", "-Isrc", "-o", "unit.o", "-c", "src/unit.cpp"])
    deps = {unit.output: {unit.source, str(root / "src/used.hpp"), "/usr/include/stdc-predef.h"}}
    return root, unit, mutants.units_by_file([unit], deps, root), mutants.Workspace(tmp_path / "aside", root)


def compile_object(unit, name):
    args = [a if a != "unit.o" else name for a in unit.arguments]
    subprocess.run(args, cwd=unit.directory, check=True)
    return Path(unit.directory) / name


@pytest.mark.parametrize("path, token, line, mutated, reaches, same",
                         [pytest.param(*r[1:], id=r[0]) for r in OBJECT_ROWS])
def test_object_code_and_preprocessor(tree, path, token, line, mutated, reaches, same):
    root, unit, by_file, workspace = tree
    site = next(s for s in mutants.find_sites(path, (root / path).read_text())
                if s.original == token and s.mutated == mutated and line in s.source_line)
    original = compile_object(unit, "original.o")
    before = {rel: (root / rel).read_bytes() for rel in FILES}
    assert mutants.reaches_compiler(workspace, site, by_file[path]) == reaches
    assert {rel: (root / rel).read_bytes() for rel in FILES} == before  # the probe is gone
    if reaches:
        workspace.apply(site)
        try:
            mutant = compile_object(unit, "mutant.o")
        finally:
            workspace.restore(site)
        assert (mutants.object_digest(mutant) == mutants.object_digest(original)) == same
        if same:  # the row is only worth its name if the objects differ in their debug information
            assert mutant.read_bytes() != original.read_bytes()


def test_units_by_file_names_each_file_of_the_tree_a_unit_reads(tree):
    root, unit, by_file, _ = tree
    assert sorted(by_file) == ["src/unit.cpp", "src/used.hpp"]  # not unused.hpp, nor a system header
    assert by_file["src/used.hpp"] == [unit]


NINJA_DEPS = """a/x.cpp.o: #deps 3, deps mtime 1 (VALID)
    /src/x.cpp
    layers/h.hpp
    /usr/include/stdio.h

b/y.cpp.o: #deps 1, deps mtime 2 (STALE)
    /src/y.cpp

"""


def test_parse_ninja_deps_resolves_each_target_and_file(tmp_path):
    build = tmp_path / "build"
    assert mutants.parse_ninja_deps(NINJA_DEPS, build) == {
        str(build / "a/x.cpp.o"): {"/src/x.cpp", str(build / "layers/h.hpp"), "/usr/include/stdio.h"},
        str(build / "b/y.cpp.o"): {"/src/y.cpp"},
    }


@pytest.mark.parametrize("arguments, expected", [
    pytest.param(["c++", "-Ia", "-O2", "-o", "x.o", "-c", "x.cpp"], ["c++", "-Ia", "-O2", "x.cpp", "-E", "-P"], id="cmake"),
    pytest.param(["c++", "-MD", "-MT", "x.o", "-MF", "x.o.d", "-c", "x.cpp", "-o", "x.o"],
                 ["c++", "x.cpp", "-E", "-P"], id="dependency_flags"),
])
def test_preprocess_command(arguments, expected):
    assert mutants.preprocess_command(mutants.Unit("x.cpp", "x.o", ".", arguments)) == expected

# ctest's lines as it prints them, with -j's progress; each test is one GoogleTest case or program.
CTEST_OUTPUT = """\
        Start 290: MlDsaKnownAnswers.PureInterfaceOnEveryPath/avx2
 1/7 Test #290: MlDsaKnownAnswers.PureInterfaceOnEveryPath/avx2 ......   Passed    0.05 sec
 2/7 Test #2: Dcbor.Fails ...........................***Failed    0.01 sec
 3/7 Test #423: MlDsaDifferential.RecordsVerdictsForReplay ......***Skipped   0.02 sec
 4/7 Test #4: python_tests ...........................***Timeout  61.02 sec
 5/7 Test #5: fuzz_replay_segment ....................***Exception: SegFault  0.00 sec
 6/7 Test #6: halyx_core_tests_NOT_BUILT .............***Not Run   0.00 sec
 7/7 Test #7: layers_refuse_upward_includes ..........   Passed   12.50 sec
"""


def test_ctest_outcomes():
    outcome, seconds = mutants.parse_ctest(CTEST_OUTPUT)
    assert outcome == {
        "MlDsaKnownAnswers.PureInterfaceOnEveryPath/avx2": "passed", "Dcbor.Fails": "failed",
        "MlDsaDifferential.RecordsVerdictsForReplay": "skipped", "python_tests": "timeout",
        "fuzz_replay_segment": "failed", "halyx_core_tests_NOT_BUILT": "failed",
        "layers_refuse_upward_includes": "passed"}
    assert seconds["python_tests"] == 61.02 and seconds["layers_refuse_upward_includes"] == 12.5


@pytest.mark.parametrize("names, expected", [
    (["Dcbor.Decodes", "MlDsaDifferential.AgreesWithOpenSsl", "python_tests", "MlDsaDifferentialX.Y"],
     [("fast", ["Dcbor.Decodes", "python_tests", "MlDsaDifferentialX.Y"]),
      ("slow", ["MlDsaDifferential.AgreesWithOpenSsl"])]),
    (["python_tests"], [("fast", ["python_tests"])]),
    (["MlDsaDifferential.RecordsVerdictsForReplay"], [("slow", ["MlDsaDifferential.RecordsVerdictsForReplay"])]),
    ([], []),
], ids=["both", "fast_only", "slow_only", "none"])
def test_the_differential_cases_run_last_and_alone(names, expected):
    assert list(mutants.stages(names)) == expected
