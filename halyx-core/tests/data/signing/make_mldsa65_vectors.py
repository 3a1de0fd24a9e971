#!/usr/bin/env python3
"""Converts the pure ML-DSA-65 verification vectors (NIST ACVP and Project Wycheproof, collected in
mldsa65_verify.json) into mldsa65_verify.txt, one case a line, for the C++ tests:

    valid pk msg ctx sig          (hex; "-" stands for an empty field)

    python3 make_mldsa65_vectors.py path/to/mldsa65_verify.json
"""
import json
import sys
from pathlib import Path

cases = json.loads(Path(sys.argv[1]).read_text())
lines = ["# valid pk msg ctx sig (hex, '-' = empty); see README.md for origin and licences\n"]
for c in cases:
    fields = [c["pk"], c["msg"], c["ctx"], c["sig"]]
    lines.append(" ".join(["1" if c["valid"] else "0"] + [f or "-" for f in fields]) + "\n")
(Path(__file__).resolve().parent / "mldsa65_verify.txt").write_text("".join(lines))
print(f"{len(cases)} cases")
