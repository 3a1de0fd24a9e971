#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/:

    python3 fuzz/make_corpus.py

Seeds are the committed sample and test fixtures, plus small hand-made inputs that reach the
decoders' other branches (longer heads, extensions, floats, tags, non-ASCII text). Each target's
directory is emptied and rewritten, so the corpus stays exactly what this script makes. Fuzzing
runs work on a copy (scripts/fuzz.sh), never on these directories.
"""
import hashlib
import json
import shutil
import struct
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"
FIXTURES = ROOT / "halyx-verifier-py" / "tests" / "data" / "fixtures.json"
SAMPLE = ROOT / "examples" / "sample"


def head(major: int, value: int) -> bytes:
    if value < 24:
        return bytes([major << 5 | value])
    for info, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if value < 1 << (8 * width):
            return bytes([major << 5 | info]) + value.to_bytes(width, "big")
    raise ValueError(value)


def bstr(b: bytes) -> bytes:
    return head(2, len(b)) + b


def tstr(s: str) -> bytes:
    b = s.encode()
    return head(3, len(b)) + b


def sth(tree_size=1, timestamp=1_700_000_000_000, extensions=(), log_id=bytes(32), root=bytes(32),
        body_head=b"\x85") -> bytes:
    body = body_head + bstr(log_id) + head(0, tree_size) + head(0, timestamp) + bstr(root)
    body += head(4, len(extensions))
    for ext_type, data in extensions:
        body += b"\x82" + head(0, ext_type) + bstr(data)
    return b"\x82" + tstr("HALYX-STH-v1") + bstr(body)


def proof(tree_size, leaf_index, path) -> bytes:
    return b"\x83" + head(0, tree_size) + head(0, leaf_index) + head(4, len(path)) + b"".join(bstr(h) for h in path)


def leaf(agent="a1", sponsor="s1", scopes=("read",), not_before=b"\x0a", not_after=b"\x19\x01\x2c",
         extra=()) -> bytes:
    """A leaf map in canonical key order; integers are given as encoded bytes so floats and
    negatives can stand in. `extra` entries (encoded key, encoded value) go first: short keys sort first."""
    entries = list(extra) + [
        (tstr("agent_id"), tstr(agent)),
        (tstr("not_after"), not_after),
        (tstr("not_before"), not_before),
        (tstr("sponsor_id"), tstr(sponsor)),
        (tstr("schema_version"), b"\x01"),
        (tstr("authorized_scopes"), head(4, len(scopes)) + b"".join(tstr(s) for s in scopes)),
    ]
    return head(5, len(entries)) + b"".join(k + v for k, v in entries)


# A letter with no precomposed forms, 20 marks below (class 220) and 20 above (class 230).
LONG_MARK_RUN = "b" + "\u0316" * 20 + "\u0301" * 20


def digest(label: str) -> bytes:
    return hashlib.sha256(label.encode()).digest()


def fixtures() -> dict:
    """The distinct values of each argument across the fixture calls, named after the first call using them."""
    calls = json.loads(FIXTURES.read_text())["calls"]
    seen = {}
    for name, call in calls.items():
        for field in ("leaf_bytes", "proof_bytes", "sth_bytes"):
            seen.setdefault(field, {}).setdefault(call[field], name)
    return {field: {f"fixture-{name}": bytes.fromhex(h) for h, name in values.items()} for field, values in seen.items()}


def framed(call: dict) -> bytes:
    """The five arguments in verify_fuzz.cpp's framing: in the order the call checks them, each but
    the leaf after its two-byte little-endian length."""
    out = b""
    for field in ("ca_public_key", "signature", "sth_bytes", "proof_bytes"):
        out += struct.pack("<H", len(call[field])) + call[field]
    return out + call["leaf_bytes"]


def verify_seeds(sample: dict) -> dict:
    """Every signed fixture call and the sample, framed for the whole verification."""
    calls = json.loads(FIXTURES.read_text())["calls"]
    fields = ("leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key")
    out = {f"fixture-{name}": framed({f: bytes.fromhex(call[f]) for f in fields}) for name, call in calls.items()}
    files = ("leaf.cbor", "proof.bin", "sth.bin", "sth.sig", "ca.pub")
    out["sample"] = framed(dict(zip(fields, (sample[f] for f in files))))
    return out


SIGNING_VECTORS = ROOT / "halyx-core" / "tests" / "data" / "signing" / "mldsa65_verify.txt"
OMEGA, K, Z_OFFSET, HINT_OFFSET = 55, 6, 48, 48 + 5 * 640


def hint_well_formed(sig: bytes) -> bool:
    h = sig[HINT_OFFSET:]
    used = 0
    for row in range(K):
        end = h[OMEGA + row]
        if end < used or end > OMEGA or any(h[i - 1] >= h[i] for i in range(used + 1, end)):
            return False
        used = end
    return not any(h[used:OMEGA])


def z_within_bound(sig: bytes) -> bool:
    bits = int.from_bytes(sig[Z_OFFSET:HINT_OFFSET], "little")
    return all(abs((1 << 19) - (bits >> (20 * i) & 0xFFFFF)) < (1 << 19) - 196 for i in range(5 * 256))


def mldsa_differential_seeds() -> dict:
    """A few verification vectors, framed for mldsa_differential_fuzz.cpp: key, signature and
    context each after a two-byte little-endian length, then the message. One of each shape the
    verifier treats apart, the shortest message of each."""
    cases = []
    for line in SIGNING_VECTORS.read_text().splitlines():
        if line and not line.startswith("#"):
            valid, *fields = line.split()
            pk, msg, ctx, sig = (b"" if f == "-" else bytes.fromhex(f) for f in fields)
            cases.append((valid == "1", pk, msg, ctx, sig))
    shapes = {
        "valid-empty-context": lambda v, pk, msg, ctx, sig: v and not ctx,
        "valid-context-255": lambda v, pk, msg, ctx, sig: v and len(ctx) == 255,
        "valid-t1-zero": lambda v, pk, msg, ctx, sig: v and not any(pk[32:]),
        "context-256": lambda v, pk, msg, ctx, sig: len(ctx) == 256,
        "key-1951": lambda v, pk, msg, ctx, sig: len(pk) == 1951,
        "signature-3310": lambda v, pk, msg, ctx, sig: len(sig) == 3310,
        "hint-malformed": lambda v, pk, msg, ctx, sig: len(sig) == 3309 and not hint_well_formed(sig),
        "z-out-of-bound": lambda v, pk, msg, ctx, sig: len(sig) == 3309 and hint_well_formed(sig) and not z_within_bound(sig),
    }
    out = {}
    for name, fits in shapes.items():
        _, pk, msg, ctx, sig = min((c for c in cases if fits(*c)), key=lambda c: len(c[2]))
        out[name] = b"".join(struct.pack("<H", len(f)) + f for f in (pk, sig, ctx)) + msg
    return out


def seeds() -> dict:
    fx = fixtures()
    sample = {name: (SAMPLE / name).read_bytes() for name in ("leaf.cbor", "proof.bin", "sth.bin", "sth.sig", "ca.pub")}
    worked_example_leaf = leaf()
    targets = {
        "sth_envelope": {
            **fx["sth_bytes"],
            "sample": sample["sth.bin"],
            "minimal": sth(),
            "extensions": sth(extensions=[(1, b"ab"), (65535, b""), (7, bytes(40))]),
            "big-numbers": sth(tree_size=2**64 - 1, timestamp=2**32, extensions=[(256, b"x")]),
            "body-head-long": sth(body_head=b"\x98\x05"),
            "empty-tree": sth(tree_size=0, timestamp=0),
        },
        "proof": {
            **fx["proof_bytes"],
            "sample": sample["proof.bin"],
            "two-leaves": proof(2, 1, [digest("sibling")]),
            "empty-path": proof(1, 0, []),
            "long-heads": b"\x98\x03\x18\x02\x19\x00\x01\x98\x01\x58\x20" + digest("x"),
            "huge-count": b"\x83\x01\x00\x9b" + b"\xff" * 8 + bstr(digest("y")),
        },
        "dcbor": {
            **{k: v for k, v in fx["leaf_bytes"].items()},
            "sample-leaf": sample["leaf.cbor"],
            "worked-example-leaf": worked_example_leaf,
            "scalars": bytes.fromhex("8b0017181818ff1b000000010000000020387f3bfffffffffffffffff4f5f6"),
            "floats": bytes.fromhex("88f93e00f97c00f97e00f90001fa47c35040fa4f32d05efb3ff199999999999afbc3e0000000000001"),
            "strings": b"\x84" + bstr(b"") + bstr(b"\x00\xff") + tstr("caf\u00e9") + tstr("\ud55c\uae00 \u0915\u094d\u0937"),
            "map-and-tags": bytes.fromhex("a3006161206162d82001c11a514b67b0"),
            "nested": bytes.fromhex("818181818181a1616181818180"),
            # NFC, but only a full normalisation can tell: a run of 40 marks in canonical order.
            "long-mark-run": tstr(LONG_MARK_RUN),
            # The deepest nesting the decoder takes: one more level must be refused.
            "nesting-at-limit": b"\x81" * 255 + b"\xa1\x00\x00",
        },
        "mtac_leaf": {
            **fx["leaf_bytes"],
            "sample": sample["leaf.cbor"],
            "worked-example-leaf": worked_example_leaf,
            "no-scopes": leaf(scopes=()),
            "negative-not-before": leaf(not_before=b"\x20"),
            "single-float-not-after": leaf(not_after=bytes.fromhex("fa4f32d05e")),
            "unicode": leaf(agent="\u00e9l\u00e8ve", sponsor="\uac01\u1100", scopes=("\u00c5", "a", "a")),
            "not-nfc": leaf(agent="e\u0301"),
            "long-mark-run": leaf(agent=LONG_MARK_RUN),
            "extra-entry": leaf(extra=[(tstr("x"), b"\xf6")]),
        },
        "inclusion_walk": {},
        "segment": {},
        "verify": verify_seeds(sample),
        "mldsa_differential": mldsa_differential_seeds(),
    }
    # The walk's target reads its input through FuzzedDataProvider: any bytes are a proof, so its
    # seeds are deterministic byte strings of the lengths that a few path lengths take.
    stream = b""
    for n in (0, 80, 200, 400, 1200, 2400):
        while len(stream) < n:
            stream += digest(f"walk {len(stream)}")
        targets["inclusion_walk"][f"bytes-{n}"] = stream[:n] + struct.pack("<Q", n)
    # The segment target likewise: trees drawn from the input's first bytes, leaves from the rest.
    for n in (16, 100, 400, 1000):
        targets["segment"][f"bytes-{n}"] = stream[:n] + struct.pack("<Q", n)
    # The record search's target: a byte choosing threads and sizes, then a CBOR sequence of records,
    # valid ones and shapes whose false starts decode far.
    records = b"".join(leaf(agent=f"agent-{i}", scopes=("read",) * (i % 5)) for i in range(60))
    map_heads = head(5, 300) + b"".join(head(0, i) + b"\x49\xbb" + b"\xff" * 8 for i in range(300))
    targets["record_search"] = {
        "records-2-threads": b"\x00" + records,
        "records-5-threads-large-window": b"\x0f" + records,
        "records-in-byte-string": b"\x05" + bstr(records),
        "map-heads-in-byte-strings": b"\x01" + map_heads,
        "record-then-map-heads": b"\x02" + records[:200] + map_heads,
        "record-cut-at-end": b"\x03" + records[:-7],
    }
    return targets


def main() -> None:
    for target, files in seeds().items():
        out = CORPUS / target
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        for name, data in files.items():
            (out / name).write_bytes(data)
        print(f"{target}: {len(files)} seeds")


if __name__ == "__main__":
    main()
