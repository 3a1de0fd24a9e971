#!/usr/bin/env python3
"""Writes the signed tree heads of the command-line segment tests with the independent issuer (run
with a python3 that has `cryptography` >= 48, e.g. pyenv's):

    python3 tools/issuer/make_segment_fixture.py

Output, committed: halyx-cli/tests/data/segment_fixture.json, the CA key and, by name, STHs and
their signatures over the leaves of leaves() below: "sth8"
over all 8 leaves, "sth7" over the first 7, "sth5" over the first 5, "fork5" over 5 leaves of
which the last differs, "big" over big_leaves(). The tests build every proof themselves; only signing needs this script.
Signatures are randomised and differ on every run.
"""
from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import halyx_issuer as hi  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
CA_SEED_LABEL = "halyx segment CA"
TIMESTAMP = 1_733_700_000_000


def leaves(fork_at: int | None = None) -> list[bytes]:
    """Leaf i's canonical bytes; from `fork_at` on, another history."""
    return [hi.Leaf(f"agent-{i}", f"sponsor-{i % 3}", ["read", "write"], 1_700_000_000 + i,
                    1_800_000_000 + (7 if fork_at is not None and i >= fork_at else 0)).canonical()
            for i in range(8)]


BIG_SIZE = 25_000


def big_leaves() -> list[bytes]:
    """A tree of 25,000 records of about 200 bytes: more than one 4096-record block of the second
    reading, and several times the 512 KiB window the records are read through."""
    return [hi.Leaf(f"agent-{i:0100d}", "sponsor-big", ["read"], i, i + 1).canonical() for i in range(BIG_SIZE)]


def main() -> None:
    ca = hi.Signer(hi.seed_from(CA_SEED_LABEL))
    out = {"ca_public_key": ca.public_key.hex()}
    for name, records, size in (("sth8", leaves(), 8), ("sth7", leaves(), 7), ("sth5", leaves(), 5),
                                ("fork5", leaves(4), 5), ("big", big_leaves(), BIG_SIZE)):
        hashes = [hi.leaf_hash(ca.log_id, r) for r in records[:size]]
        sth = hi.sth_envelope(hi.sth_body(ca.log_id, size, TIMESTAMP + size, hi.root(hashes)))
        out[name] = {"sth": sth.hex(), "signature": ca.sign(sth).hex()}
    path = ROOT / "halyx-cli/tests/data/segment_fixture.json"
    path.write_text(json.dumps(out, indent=1) + "\n")
    print(f"wrote {path.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
