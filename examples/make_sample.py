#!/usr/bin/env python3
"""Writes the bundled sample artefacts with the independent issuer (run with a python3 that has
`cryptography` >= 48, e.g. pyenv's):

    python3 examples/make_sample.py

sample/ then holds what a log's issuing side hands to a relying party: one leaf record (dCBOR),
its inclusion proof, the signed tree head, the STH's ML-DSA-65 signature and the log's CA key.
Beside them, for a log monitor's example: the signed tree head of the log's first 1000 leaves,
with its signature (sth-1000.bin, sth-1000.sig), and the leaves appended after it, 1000 to 1336,
back to back (leaves-1000-1336.cbor), which proof.bin's leaf starts.
The CA key comes from a fixed seed; the signatures are randomised and change on every run.
"""
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tools" / "issuer"))
import halyx_issuer as hi  # noqa: E402

TREE_SIZE, LEAF_INDEX, TIMESTAMP_MS = 1337, 1000, 1_765_000_000_000
# The older tree head a monitor holds: the log's first OLDER_SIZE leaves, an hour earlier.
OLDER_SIZE, OLDER_TIMESTAMP_MS = 1000, TIMESTAMP_MS - 3_600_000


def main() -> None:
    ca = hi.Signer(hi.seed_from("halyx sample CA"))
    leaves = [hi.Leaf(f"agent-{i:04d}.example", "sponsor.example", ["logs:read", "metrics:read"][: 1 + i % 2],
                      1_765_000_000 + i, 1_796_536_000 + i) for i in range(TREE_SIZE)]
    hashes = [hi.leaf_hash(ca.log_id, leaf.canonical()) for leaf in leaves]
    sth = hi.sth_envelope(hi.sth_body(ca.log_id, TREE_SIZE, TIMESTAMP_MS, hi.root(hashes)))
    older = hi.sth_envelope(hi.sth_body(ca.log_id, OLDER_SIZE, OLDER_TIMESTAMP_MS, hi.root(hashes[:OLDER_SIZE])))
    files = {
        "leaf.cbor": leaves[LEAF_INDEX].encoded(),
        "proof.bin": hi.inclusion_proof(TREE_SIZE, LEAF_INDEX, hi.audit_path(LEAF_INDEX, hashes)),
        "sth.bin": sth,
        "sth.sig": ca.sign(sth),
        "ca.pub": ca.public_key,
        f"sth-{OLDER_SIZE}.bin": older,
        f"sth-{OLDER_SIZE}.sig": ca.sign(older),
        f"leaves-{OLDER_SIZE}-{TREE_SIZE - 1}.cbor": b"".join(leaf.encoded() for leaf in leaves[OLDER_SIZE:]),
    }
    for name, data in files.items():
        (HERE / "sample" / name).write_bytes(data)
    print("wrote", ", ".join(f"sample/{n} ({len(d)} bytes)" for n, d in files.items()))


if __name__ == "__main__":
    main()
