#!/usr/bin/env python3
"""Writes the benchmark fixture with the independent issuer (run with a python3 that has
`cryptography` >= 48, e.g. pyenv's):

    python3 tools/issuer/make_bench_fixture.py

Output, committed: bench/data/depth20.txt, "name value" lines read by the C++ and Python
benchmarks and by the stress script. Byte strings are hex; "expect.*" values are decimal.

  call.<argument>          a successful call: one leaf of a tree of 2^20 leaves, its depth-20
                           proof, the STH of that tree and its signature, and the CA key
  signed_bad_sth.<...>     a validly signed STH envelope with one trailing byte, which passes
                           the signature check over the caller's bytes and then fails to decode
  expect.<field>           what the successful call must report

Hashing 2^20 leaves would take minutes in Python and prove nothing more: any 20 sibling values
define a valid tree of 2^20 leaves in which the leaf sits at the chosen index, so the siblings are
synthesised from a fixed label and the root is computed from the leaf hash and the path alone.
The key comes from a fixed seed; the signatures are randomised and differ on every run.
"""
from __future__ import annotations

import hashlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import halyx_issuer as hi  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]

DEPTH = 20
TREE_SIZE = 1 << DEPTH
# Mixed bits, so the walk takes both left and right turns on the way up.
LEAF_INDEX = 0b1010_0101_1100_0011_1110
TIMESTAMP = 1_733_600_000_456


def root_of_perfect_tree(leaf_hash: bytes, index: int, path: list[bytes]) -> bytes:
    """The root of a perfect tree from one leaf and its siblings: at each level the index bit says
    whether the node is a right child (sibling on the left) or a left child."""
    node = leaf_hash
    for level, sibling in enumerate(path):
        node = hi.node_hash(sibling, node) if (index >> level) & 1 else hi.node_hash(node, sibling)
    return node


def main() -> None:
    ca = hi.Signer(hi.seed_from("halyx bench CA"))
    leaf = hi.Leaf("agent-bench-0001", "sponsor-bench", ["read", "write", "admin"], 1_700_000_000, 1_900_000_000)
    path = [hashlib.sha256(f"halyx bench sibling {level}".encode()).digest() for level in range(DEPTH)]
    root_hash = root_of_perfect_tree(hi.leaf_hash(ca.log_id, leaf.canonical()), LEAF_INDEX, path)

    sth = hi.sth_envelope(hi.sth_body(ca.log_id, TREE_SIZE, TIMESTAMP, root_hash))
    bad_sth = sth + b"\x00"
    rows = [
        ("call.leaf_bytes", leaf.encoded().hex()),
        ("call.proof_bytes", hi.inclusion_proof(TREE_SIZE, LEAF_INDEX, path).hex()),
        ("call.sth_bytes", sth.hex()),
        ("call.signature", ca.sign(sth).hex()),
        ("call.ca_public_key", ca.public_key.hex()),
        ("signed_bad_sth.sth_bytes", bad_sth.hex()),
        ("signed_bad_sth.signature", ca.sign(bad_sth).hex()),
        ("expect.leaf_index", str(LEAF_INDEX)),
        ("expect.tree_size", str(TREE_SIZE)),
        ("expect.timestamp_ms", str(TIMESTAMP)),
    ]
    out = ROOT / "bench/data/depth20.txt"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("# name value; written by tools/issuer/make_bench_fixture.py\n" +
                   "".join(f"{name} {value}\n" for name, value in rows))
    print(f"wrote {out.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
