#!/usr/bin/env python3
"""Memory and time of verify_inclusion on hostile leaf bytes, one fresh interpreter per case.

    /usr/bin/python3 bench/leaf_memory.py [--build-dir build] [--sizes 4,16,64] [--shapes a,b]
                                          [--limit-gib 16]

leaf_bytes is the one argument no signature covers, so anyone holding a public STH, its signature
and a proof can send any leaf. Each case builds a leaf of one shape at a given size, beside the valid
STH, proof, signature and key of the Python tests, and calls verify_inclusion once. It prints, one
line per case: the peak resident memory the call added (VmHWM after the call minus VmRSS before it,
with the peak reset just before), that growth per input byte, the call's time per input byte, and
the outcome. The target is a growth of at most 2 x the leaf's size + 4 MiB for every shape, and a
time per byte that does not grow with the size.

Each case runs in its own interpreter so that no case inherits another's heap; --limit-gib caps the
child's address space, so a decoder that would take the machine down reports MemoryError instead.
Not part of the test run: timings follow the machine's load.
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ARGUMENT_NAMES = ("leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key")
MIB = 1 << 20


def head(major: int, value: int) -> bytes:
    if value < 24:
        return bytes([major << 5 | value])
    for info, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if value < 1 << (8 * width):
            return bytes([major << 5 | info]) + value.to_bytes(width, "big")
    raise ValueError(value)


def text(s: str) -> bytes:
    b = s.encode()
    return head(3, len(b)) + b


def leaf(agent: str = "agent", scopes: list[str] | tuple[str, ...] = ("read",), scopes_bytes: bytes | None = None) -> bytes:
    """A six-field leaf in canonical key order; scopes_bytes, when given, is the scopes array."""
    scope_array = scopes_bytes if scopes_bytes is not None else head(4, len(scopes)) + b"".join(map(text, scopes))
    return (b"\xa6" + text("agent_id") + text(agent) + text("not_after") + head(0, 300) + text("not_before")
            + head(0, 10) + text("sponsor_id") + text("sponsor") + text("schema_version") + b"\x01"
            + text("authorized_scopes") + scope_array)


# Each builder returns leaf bytes of about `size` bytes.
def zeros_array(size: int) -> bytes:
    return head(4, size - 9) + bytes(size - 9)


def text_array(size: int) -> bytes:
    n = (size - 9) // 2
    return head(4, n) + b"\x61a" * n


def deep_nesting(size: int) -> bytes:
    # Arrays 255 deep side by side: the deepest the decoder takes, repeated.
    block = b"\x81" * 255 + b"\x00"
    n = (size - 9) // len(block)
    return head(4, n) + block * n


def many_keys(size: int) -> bytes:
    # Ascending unsigned keys sort ascending by encoding too; each value is 0.
    out = bytearray()
    n = 0
    while len(out) < size - 9:
        out += head(0, n) + b"\x00"
        n += 1
    return head(5, n) + bytes(out)


def nested_map_keys(size: int) -> bytes:
    # 250 maps, each with a large byte-string key and, as its second key, the next map: every level's
    # second key holds everything below it.
    depth = 250
    key = head(2, size // (depth + 1) - 9) + bytes(size // (depth + 1) - 9)
    return (b"\xa2" + key + b"\x00") * depth + b"\xa1" + key + b"\x00" + b"\x00" * depth


def valid_leaf_extra_entry(size: int, valid_leaf: bytes) -> bytes:
    # The Python tests' valid leaf with one more entry, first in key order, holding a long array.
    assert valid_leaf[0] == 0xA6
    n = size - len(valid_leaf) - 18
    return b"\xa7" + text("zz_note") + head(4, n) + bytes(n) + valid_leaf[1:]


def combining_marks(size: int) -> bytes:
    # "x" and then U+0301 again and again: NFC, but only a full check can tell.
    return leaf(agent="x" + "\u0301" * ((size - 200) // 2))


def many_scopes(size: int) -> bytes:
    n = (size - 200) // 2
    return leaf(scopes_bytes=head(4, n) + b"\x61a" * n)


SHAPES = {
    "zeros-array": zeros_array,
    "text-array": text_array,
    "deep-nesting": deep_nesting,
    "many-keys": many_keys,
    "nested-map-keys": nested_map_keys,
    "leaf-extra-entry": valid_leaf_extra_entry,
    "combining-marks": combining_marks,
    "many-scopes": many_scopes,
}


def status() -> dict[str, int]:
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0]) * 1024
    return out


def run_case(shape: str, size: int) -> dict:
    import gc

    import halyx_verifier as hv

    calls = json.loads((ROOT / "halyx-verifier-py/tests/data/fixtures.json").read_text())["calls"]
    args = {k: bytes.fromhex(calls["valid"][k]) for k in ARGUMENT_NAMES}
    builder = SHAPES[shape]
    leaf_bytes = builder(size, args["leaf_bytes"]) if shape == "leaf-extra-entry" else builder(size)
    args["leaf_bytes"] = leaf_bytes
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current VmRSS
    before = status()["VmRSS"]
    start = time.perf_counter_ns()
    try:
        hv.verify_inclusion(**args)
        outcome = "verified"
    except (hv.HalyxVerificationError, MemoryError) as e:
        outcome = f"{type(e).__name__}: {str(e)[:60]}"
    elapsed = time.perf_counter_ns() - start
    peak = status()["VmHWM"]
    return {"shape": shape, "size": len(leaf_bytes), "growth": peak - before, "ns": elapsed, "outcome": outcome}


def measure(shape: str, mib: float, module_dir: str | None = None, limit_gib: float = 16.0) -> dict:
    """Runs one case in a fresh interpreter and returns its shape, size, growth, ns and outcome.

    The module is imported from module_dir when given, else from wherever the interpreter finds it.
    """
    # A fixed mmap threshold makes every large block fresh pages, returned when freed: with glibc's
    # sliding threshold a copy could land in memory freed earlier and go uncounted.
    env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": "131072"}
    if module_dir:
        env["PYTHONPATH"] = module_dir
    child = subprocess.run([sys.executable, __file__, "--case", shape, str(mib), "--limit-gib", str(limit_gib)],
                           env=env, capture_output=True, text=True)
    if child.returncode != 0 or not child.stdout.strip():
        raise RuntimeError(f"{shape} at {mib} MiB: child failed ({child.returncode}): {child.stderr.strip()[-400:]}")
    return json.loads(child.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--sizes", default="4,16,64", help="leaf sizes in MiB")
    parser.add_argument("--shapes", default=",".join(SHAPES))
    parser.add_argument("--limit-gib", type=float, default=16.0, help="address-space cap of each child")
    parser.add_argument("--case", nargs=2, metavar=("SHAPE", "MIB"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.case:
        limit = int(args.limit_gib * (1 << 30))
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        print(json.dumps(run_case(args.case[0], int(float(args.case[1]) * MIB))))
        return 0

    module_dir = str(Path(args.build_dir).resolve() / "halyx-verifier-py")
    print(f"{'shape':<18} {'MiB':>4} {'peak growth':>12} {'per byte':>9} {'ns/byte':>8}  outcome")
    worst = 0.0
    for shape in args.shapes.split(","):
        for mib in args.sizes.split(","):
            try:
                r = measure(shape, float(mib), module_dir, args.limit_gib)
            except RuntimeError as e:
                print(f"{shape:<18} {mib:>4}  {e}")
                continue
            over = r["growth"] - (2 * r["size"] + 4 * MIB)
            worst = max(worst, r["ns"] / r["size"])
            print(f"{shape:<18} {mib:>4} {r['growth'] / MIB:>9.1f} MiB {r['growth'] / r['size']:>9.2f} "
                  f"{r['ns'] / r['size']:>8.1f}  {r['outcome']}{'  OVER 2x+4MiB' if over > 0 else ''}")
    print(f"worst time per input byte: {worst:.1f} ns")
    return 0


if __name__ == "__main__":
    sys.exit(main())
