"""The tree of the batch benchmark: 2^20 leaves, every one its own record, hashed level by level.

Leaf i is Leaf("agent-batch-NNNNNNN", "sponsor-bench", ["read", "write"], 1_700_000_000 + i,
1_900_000_000 + i) under the benchmark CA (seed label "halyx bench CA", as in make_bench_fixture.py).
Needs only hashlib: tools/issuer/make_batch_fixture.py signs the root once (with `cryptography`),
and bench/bench_batch.py rebuilds the same tree to write manifests of any length.
"""
from __future__ import annotations

import hashlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import halyx_issuer as hi  # noqa: E402

DEPTH = 20
TREE_SIZE = 1 << DEPTH
TIMESTAMP = 1_733_600_000_789
CA_SEED_LABEL = "halyx bench CA"


def leaf_record(i: int) -> hi.Leaf:
    return hi.Leaf(f"agent-batch-{i:07d}", "sponsor-bench", ["read", "write"], 1_700_000_000 + i, 1_900_000_000 + i)


class LeafEncoder:
    """Leaf i's canonical bytes, made from leaf 0's by replacing its three varying fields: the
    issuer's own encoder takes 15 µs a leaf, which is minutes for the tree. Every field keeps its
    width across the tree, which check() confirms against the issuer for a spread of leaves."""

    def __init__(self):
        first = leaf_record(0).canonical()
        # The varying fields in the order the canonical map writes them (its keys sort by encoding).
        fields = [(b"agent-batch-0000000", lambda i: f"agent-batch-{i:07d}".encode()),
                  ((1_700_000_000).to_bytes(4, "big"), lambda i: (1_700_000_000 + i).to_bytes(4, "big")),
                  ((1_900_000_000).to_bytes(4, "big"), lambda i: (1_900_000_000 + i).to_bytes(4, "big"))]
        fields.sort(key=lambda f: first.index(f[0]))
        self._parts, self._fields = [], [make for _, make in fields]
        at = 0
        for marker, _ in fields:
            found = first.index(marker, at)
            self._parts.append(first[at:found])
            at = found + len(marker)
        self._parts.append(first[at:])

    def canonical(self, i: int) -> bytes:
        p, f = self._parts, self._fields
        return p[0] + f[0](i) + p[1] + f[1](i) + p[2] + f[2](i) + p[3]

    def check(self) -> None:
        for i in (0, 1, 4095, 65536, 999_999, TREE_SIZE - 1):
            assert self.canonical(i) == leaf_record(i).canonical(), i


def levels(log_id: bytes) -> list[list[bytes]]:
    """Every level of the tree, leaf hashes first and the root last."""
    encoder = LeafEncoder()
    encoder.check()
    prefix = b"\x00" + hi.LEAF_DOMAIN_TAG + log_id
    level = [hashlib.sha256(prefix + encoder.canonical(i)).digest() for i in range(TREE_SIZE)]
    out = [level]
    while len(level) > 1:
        level = [hashlib.sha256(b"\x01" + level[k] + level[k + 1]).digest() for k in range(0, len(level), 2)]
        out.append(level)
    return out


def proof(tree: list[list[bytes]], i: int) -> bytes:
    """Leaf i's depth-20 inclusion proof: at each level, the sibling of its ancestor."""
    return hi.inclusion_proof(TREE_SIZE, i, [tree[d][(i >> d) ^ 1] for d in range(DEPTH)])


def sth(log_id: bytes, tree: list[list[bytes]]) -> bytes:
    return hi.sth_envelope(hi.sth_body(log_id, TREE_SIZE, TIMESTAMP, tree[-1][0]))
