#!/usr/bin/env python3
"""Converts the ML-DSA-65 verification vectors (NIST ACVP and Project Wycheproof) into text files
for the C++ tests, one case a line, hex fields ("-" stands for an empty field):

    mldsa65_verify.txt           valid pk msg ctx sig
        the pure interface with a context, from mldsa65_verify.json;
    mldsa65_verify_internal.txt  valid kind pk input sig
        the verifier's core on its own, from mldsa65_verify_other_interfaces.json: kind "mprime"
        gives the already-prefixed message M' as input, kind "mu" gives the 64-byte mu.

    python3 make_mldsa65_vectors.py path/to/mldsa65_verify.json [path/to/mldsa65_verify_other_interfaces.json]

The pre-hashed cases of the second file are left out: the verifier offers no pre-hashed interface.
"""
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

cases = json.loads(Path(sys.argv[1]).read_text())
lines = ["# valid pk msg ctx sig (hex, '-' = empty); see README.md for origin and licences\n"]
for c in cases:
    fields = [c["pk"], c["msg"], c["ctx"], c["sig"]]
    lines.append(" ".join(["1" if c["valid"] else "0"] + [f or "-" for f in fields]) + "\n")
(HERE / "mldsa65_verify.txt").write_text("".join(lines))
print(f"mldsa65_verify.txt: {len(cases)} cases")

if len(sys.argv) > 2:
    # Interface name in the collection -> (kind written here, key of the input).
    kinds = {"internal": ("mprime", "msg_internal"), "internal, external mu": ("mu", "mu")}
    others = json.loads(Path(sys.argv[2]).read_text())
    lines = ["# valid kind pk input sig (hex, '-' = empty); kind mprime: input is M', kind mu: input is mu;\n"
             "# see README.md for origin and licences\n"]
    written = skipped = 0
    for c in others:
        if c["interface"] not in kinds:
            skipped += 1
            continue
        kind, key = kinds[c["interface"]]
        fields = [c["pk"], c[key], c["sig"]]
        lines.append(" ".join(["1" if c["valid"] else "0", kind] + [f or "-" for f in fields]) + "\n")
        written += 1
    (HERE / "mldsa65_verify_internal.txt").write_text("".join(lines))
    print(f"mldsa65_verify_internal.txt: {written} cases ({skipped} pre-hashed cases left out)")
