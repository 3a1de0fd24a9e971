"""mutants.py's choice of mutation sites: each row is a piece of C++ and the changes it must offer,
in order. A site found in a comment, a string, a directive or a template argument list would waste
a build on a mutant that cannot compile or cannot matter; a site missed is a fault never tried."""
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
