#!/usr/bin/env python3
"""Writes the signed test fixtures with the independent issuer (run with a python3 that has
`cryptography` >= 48, e.g. pyenv's):

    python3 tools/issuer/make_fixtures.py

Outputs, both committed:
  halyx-verifier-py/tests/data/fixtures.json   every call the Python tests make, as hex
  halyx-core/tests/data/signing/signed_fixtures.txt    "name hex" lines for the C++ tests, the calls
                                                       included as "call.<name>.<argument>"

Keys come from fixed seeds and are the same on every run; ML-DSA-65 signatures are randomised, so
each run writes new signature bytes that verify exactly as before.
"""
from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import halyx_issuer as hi  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]


def main() -> None:
    ca = hi.Signer(hi.seed_from("halyx test CA"))
    other = hi.Signer(hi.seed_from("halyx test other log"))

    leaves = [hi.Leaf(f"agent-{i}", f"sponsor-{i % 3}", ["read", "write"][: 1 + i % 2], 1_700_000_000 + i,
                      1_800_000_000 + i) for i in range(8)]
    hashes = [hi.leaf_hash(ca.log_id, leaf.canonical()) for leaf in leaves]
    index, size, timestamp = 5, 8, 1_733_600_000_123

    def sth(log_id=ca.log_id, tree_size=size, ts=timestamp, root_hash=None, ext=(), widths=None):
        return hi.sth_envelope(hi.sth_body(log_id, tree_size, ts, root_hash or hi.root(hashes), list(ext), widths))

    sth_bytes = sth()
    calls: dict[str, dict[str, str]] = {}

    def call(name, leaf, proof, sth_b, signature, key=ca.public_key, **expect):
        calls[name] = {"leaf_bytes": leaf.hex(), "proof_bytes": proof.hex(), "sth_bytes": sth_b.hex(),
                       "signature": signature.hex(), "ca_public_key": key.hex(), **expect}

    proof = hi.inclusion_proof(size, index, hi.audit_path(index, hashes))
    call("valid", leaves[index].encoded(), proof, sth_bytes, ca.sign(sth_bytes),
         leaf_index=index, tree_size=size, timestamp_ms=timestamp)

    # Signatures that verify under some other context.
    call("empty_context", leaves[index].encoded(), proof, sth_bytes, ca.sign(sth_bytes, b""))
    call("other_context", leaves[index].encoded(), proof, sth_bytes, ca.sign(sth_bytes, b"HALYX-STH-v2"))

    # Signed by the caller's key, but naming another log.
    foreign = sth(log_id=other.log_id)
    call("other_log", leaves[index].encoded(), proof, foreign, ca.sign(foreign),
         sth_claims=list(other.log_id), derived=list(ca.log_id))

    # Validly signed bytes whose heads are not all in shortest form: they decode, but re-encode to
    # other bytes, so the second signature check must fail.
    long_heads = sth(widths={"tree_size": 8})
    call("non_shortest_sth", leaves[index].encoded(), proof, long_heads, ca.sign(long_heads))

    # Validly signed bytes that are no envelope at all.
    trailing = sth_bytes + b"\x00"
    call("signed_trailing_byte", leaves[index].encoded(), proof, trailing, ca.sign(trailing))

    # A leaf with an extra entry: the hash covers the six fields only.
    extra = hi.Leaf(leaves[index].agent_id, leaves[index].sponsor_id, leaves[index].authorized_scopes,
                    leaves[index].not_before, leaves[index].not_after, extra=[(hi.text("zz_note"), hi.text("x"))])
    call("extra_entry", extra.encoded(), proof, sth_bytes, ca.sign(sth_bytes),
         leaf_index=index, tree_size=size, timestamp_ms=timestamp)
    # The same leaf placed in a tree whose issuer hashed the caller's bytes, extra entry included.
    raw_hashes = list(hashes)
    raw_hashes[index] = hi.leaf_hash(ca.log_id, extra.encoded())
    raw_sth = sth(root_hash=hi.root(raw_hashes))
    call("extra_entry_hashed_raw", extra.encoded(), hi.inclusion_proof(size, index, hi.audit_path(index, raw_hashes)),
         raw_sth, ca.sign(raw_sth))

    # Leaf 0 of a three-leaf tree, proved with tree size 4: the result carries the STH's size.
    three = hashes[:3]
    sth3 = sth(tree_size=3, root_hash=hi.root(three))
    call("proof_states_other_size", leaves[0].encoded(), hi.inclusion_proof(4, 0, hi.audit_path(0, three)),
         sth3, ca.sign(sth3), leaf_index=0, tree_size=3, timestamp_ms=timestamp)

    # Leaf 4 of a five-leaf tree has one path element, the root of leaves 0-3. The same path also
    # walks to the root as leaf 1 of a two-leaf tree; a verifier must not report that index.
    five = hashes[:5]
    sth5 = sth(tree_size=5, root_hash=hi.root(five))
    assert hi.audit_path(4, five) == [hi.root(hashes[:4])]
    call("last_of_five", leaves[4].encoded(), hi.inclusion_proof(5, 4, hi.audit_path(4, five)), sth5, ca.sign(sth5),
         leaf_index=4, tree_size=5, timestamp_ms=timestamp)
    call("last_of_five_as_index_1_of_2", leaves[4].encoded(), hi.inclusion_proof(2, 1, hi.audit_path(4, five)),
         sth5, ca.sign(sth5))

    # Extensions and the largest timestamp.
    ext = sth(ts=2**64 - 1, ext=[(1, b"ab"), (65535, b""), (7, bytes(300))])
    call("extensions_max_timestamp", leaves[index].encoded(), proof, ext, ca.sign(ext),
         leaf_index=index, tree_size=size, timestamp_ms=2**64 - 1)

    # A single-leaf tree: the root is the leaf hash and the path is empty.
    one = sth(tree_size=1, root_hash=hashes[0])
    call("single_leaf", leaves[0].encoded(), hi.inclusion_proof(1, 0, []), one, ca.sign(one),
         leaf_index=0, tree_size=1, timestamp_ms=timestamp)

    out = ROOT / "halyx-verifier-py/tests/data/fixtures.json"
    out.write_text(json.dumps({"ca_seed": hi.seed_from("halyx test CA").hex(), "calls": calls}, indent=1) + "\n")

    # The C++ signature tests: one STH, its signatures under several contexts, and the keys.
    lines = [
        ("ca_public_key", ca.public_key),
        ("other_public_key", other.public_key),
        ("sth", sth_bytes),
        ("sth_signature", ca.sign(sth_bytes)),
        ("sth_signature_empty_context", ca.sign(sth_bytes, b"")),
        ("sth_signature_other_context", ca.sign(sth_bytes, b"HALYX-STH-v2")),
        ("sth_signature_by_other_key", other.sign(sth_bytes)),
        ("sth_other_log", foreign),
        ("sth_other_log_signature", ca.sign(foreign)),
        ("sth_non_shortest", long_heads),
        ("sth_non_shortest_signature", ca.sign(long_heads)),
        ("sth_max_timestamp", ext),
        ("sth_max_timestamp_signature", ca.sign(ext)),
    ]
    for name, fields in calls.items():
        for key in ("leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key"):
            lines.append((f"call.{name}.{key}", bytes.fromhex(fields[key])))
    txt = ROOT / "halyx-core/tests/data/signing/signed_fixtures.txt"
    txt.write_text("# name hex; written by tools/issuer/make_fixtures.py\n" +
                   "".join(f"{name} {value.hex()}\n" for name, value in lines))
    print(f"wrote {out.relative_to(ROOT)} ({len(calls)} calls) and {txt.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
