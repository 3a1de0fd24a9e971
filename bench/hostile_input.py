#!/usr/bin/env python3
"""Processor time of halyx-verify on hostile inputs, per input byte, as the input grows.

    /usr/bin/python3 bench/hostile_input.py [--build-dir build] [--verify PATH] [--sizes 256,1024,4096]
                                            [--surfaces segment-1,segment-2,batch,inspect] [--shapes a,b]
                                            [--rounds 3] [--cap 60]

Anyone who feeds a monitor its LEAVES, a batch its manifest, or inspect a file chooses every byte.
Each case builds one hostile shape at each size (KiB), runs the command once per round (best of
--rounds) with a cap of --cap seconds on its processor time, and prints the processor time (user +
system, of the child alone) per input byte, and the growth from one size to the next. Linear means that growth is at most 1.3 x the sizes' factor; a
case over the cap counts as not linear. The last line says whether every case was linear, and the
exit status is 1 when one was not.

segment runs against the STH of tools/issuer/batch_tree.py (bench/data/batch_sth.txt) with no
proofs, so every record is read and hashed before any verdict; batch against the same STH; inspect
reads one file of each kind. Not part of the test run: timings follow the machine's load.
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools" / "issuer"))
from halyx_issuer import head, text  # noqa: E402

KIB = 1 << 10
GROWTH_SLACK = 1.3


def record(i: int, scopes: int = 2) -> bytes:
    """A leaf record in canonical form."""
    scope_array = head(4, scopes) + b"".join(text(f"scope-{s}") for s in range(scopes))
    return (b"\xa6" + text("agent_id") + text(f"agent-{i}") + text("not_after") + head(0, 1_800_000_000)
            + text("not_before") + head(0, 1_700_000_000 + i) + text("sponsor_id") + text(f"sponsor-{i % 7}")
            + text("schema_version") + b"\x01" + text("authorized_scopes") + scope_array)


# Shapes of a CBOR sequence of leaf records, each about `size` bytes.
def valid_records(size: int) -> bytes:
    out, i = bytearray(), 0
    while len(out) < size:
        out += record(i, i % 9)
        i += 1
    return bytes(out)


def map_heads_in_byte_strings(size: int) -> bytes:
    # One map whose values are 9-byte byte strings, each a map head with an 8-byte count: a decode
    # tried at such a head reads every entry after it as its own.
    n = size // 14
    return head(5, n) + b"".join(head(0, i) + b"\x49\xbb" + b"\xff" * 8 for i in range(n))


def record_then_map_heads(size: int) -> bytes:
    return record(0) + map_heads_in_byte_strings(size)


def records_in_byte_string(size: int) -> bytes:
    inner = valid_records(size)
    return head(2, len(inner)) + inner


def dense_map_heads(size: int) -> bytes:
    out, i = bytearray(), 0
    while len(out) < size:
        out += b"\xbb" + b"\xff" * 8 + head(0, i) + b"\xa0"
        i += 1
    return bytes(out)


def one_huge_record(size: int) -> bytes:
    n = size // 10
    scopes = head(4, n) + b"".join(text(f"s{i}") for i in range(n))
    return record(0, 0)[:-1] + scopes


def deep_nesting(size: int) -> bytes:
    block = b"\x81" * 255 + b"\x00"
    n = size // len(block)
    return head(4, n) + block * n


LEAVES = {
    "valid-records": valid_records,
    "map-heads-in-bstr": map_heads_in_byte_strings,
    "record-then-map-heads": record_then_map_heads,
    "records-in-bstr": records_in_byte_string,
    "dense-map-heads": dense_map_heads,
    "one-huge-record": one_huge_record,
    "deep-nesting": deep_nesting,
}


# Shapes of a batch manifest, each about `size` bytes.
def manifest_hostile_leaves(size: int) -> bytes:
    line = json.dumps({"leaf_hex": map_heads_in_byte_strings(2 * KIB).hex(), "proof_hex": "00"}) + "\n"
    return (line * max(1, size // len(line))).encode()


def manifest_one_huge_leaf(size: int) -> bytes:
    return (json.dumps({"leaf_hex": map_heads_in_byte_strings(size // 2).hex(), "proof_hex": "00"}) + "\n").encode()


def manifest_deep_json(size: int) -> bytes:
    return b"[" * size + b"\n"


def manifest_escapes(size: int) -> bytes:
    return b'{"id": "' + b"\\u0041" * (size // 6) + b'"}\n'


def manifest_blank(size: int) -> bytes:
    return b" " * size + b"\n"


MANIFESTS = {
    "hostile-leaves": manifest_hostile_leaves,
    "one-huge-leaf": manifest_one_huge_leaf,
    "deep-json": manifest_deep_json,
    "escapes": manifest_escapes,
    "blank-line": manifest_blank,
}


def proof_long_path(size: int) -> bytes:
    n = size // 34
    return b"\x82" + head(0, 5) + head(4, n) + (b"\x58\x20" + bytes(32)) * n


# inspect: the kind, and the file's bytes.
INSPECTS: dict[str, tuple[str, Callable[[int], bytes]]] = {
    "leaf-map-heads": ("leaf", map_heads_in_byte_strings),
    "leaf-huge-record": ("leaf", one_huge_record),
    "leaf-deep-nesting": ("leaf", deep_nesting),
    "proof-long-path": ("proof", proof_long_path),
    "proof-map-heads": ("proof", map_heads_in_byte_strings),
    "sth-map-heads": ("sth", map_heads_in_byte_strings),
    "key-long": ("key", valid_records),
}


def committed() -> dict[str, bytes]:
    lines = (ROOT / "bench/data/batch_sth.txt").read_text().splitlines()
    rows = (line.split() for line in lines if line and not line.startswith("#"))
    return {name: bytes.fromhex(value) for name, value in rows}


def child_seconds(argv: list[str], stdin: Path | None, cap: float) -> float | None:
    """Processor time of one run, or None past the cap."""
    def limit() -> None:
        resource.setrlimit(resource.RLIMIT_CPU, (int(cap) + 1, int(cap) + 1))

    with open(stdin or os.devnull, "rb") as source:
        proc = subprocess.Popen(argv, stdin=source, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                preexec_fn=limit)
        _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    seconds = usage.ru_utime + usage.ru_stime
    if proc.returncode < 0 or seconds > cap:
        return None
    return seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--verify", help="the halyx-verify to run (default: BUILD_DIR/halyx-cli/halyx-verify)")
    parser.add_argument("--sizes", default="256,1024,4096", help="input sizes in KiB, ascending")
    parser.add_argument("--surfaces", default="segment-1,segment-2,batch,inspect")
    parser.add_argument("--shapes", help="only these shapes, comma-separated (default: all)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--cap", type=float, default=60.0, help="processor seconds a run may take")
    args = parser.parse_args()
    verify = args.verify or str(ROOT / args.build_dir / "halyx-cli" / "halyx-verify")
    sizes = [int(s) * KIB for s in args.sizes.split(",")]
    keys = committed()

    with tempfile.TemporaryDirectory() as work_dir:
        work = Path(work_dir)
        for name, value in keys.items():
            (work / name).write_bytes(value)
        sth, sig, key = (str(work / n) for n in ("sth_bytes", "signature", "ca_public_key"))

        # Each case: (surface, shape, a builder of the input's bytes, and of the command for a file).
        cases: list[tuple[str, str, Callable[[int], bytes], Callable[[str], tuple[list[str], Path | None]]]] = []
        for surface in args.surfaces.split(","):
            if surface.startswith("segment-"):
                threads = surface.removeprefix("segment-")
                for shape, build in LEAVES.items():
                    cases.append((surface, shape, build,
                                  lambda f, t=threads: ([verify, "segment", "--threads", t, sth, sig, key, f], None)))
            elif surface == "batch":
                for shape, build in MANIFESTS.items():
                    cases.append((surface, shape, build,
                                  lambda f: ([verify, "batch", "-j", "2", sth, sig, key, f], None)))
            elif surface == "inspect":
                for shape, (kind, build) in INSPECTS.items():
                    cases.append((surface, shape, build, lambda f, k=kind: ([verify, "inspect", k, f], None)))
            else:
                parser.error(f"unknown surface {surface}")

        print(f"{'surface':<10} {'shape':<22}" + "".join(f" {s // KIB:>7} KiB" for s in sizes)
              + "  ns/B worst  growth worst (limit)")
        all_linear = True
        if args.shapes:
            cases = [case for case in cases if case[1] in args.shapes.split(",")]
        for surface, shape, build, command in cases:
            times: list[float | None] = []
            for size in sizes:
                data = work / "input"
                data.write_bytes(build(size))
                argv, stdin = command(str(data))
                runs = [child_seconds(argv, stdin, args.cap) for _ in range(args.rounds)]
                times.append(None if None in runs else min(runs))
            cells, per_byte, growth, linear = [], 0.0, 0.0, True
            for i, (size, t) in enumerate(zip(sizes, times)):
                cells.append(f" {'> cap':>11}" if t is None else f" {t * 1e3:>8.1f} ms")
                if t is None:
                    linear = False
                    continue
                per_byte = max(per_byte, t * 1e9 / size)
                previous = times[i - 1] if i else None
                if previous:
                    g = (t / previous) / (size / sizes[i - 1])
                    growth = max(growth, g)
                    linear &= g <= GROWTH_SLACK
            all_linear &= linear
            print(f"{surface:<10} {shape:<22}" + "".join(cells)
                  + f"  {per_byte:>9.1f}  {growth:>6.2f} ({GROWTH_SLACK})" + ("" if linear else "  NOT LINEAR"),
                  flush=True)
        print("every case linear" if all_linear else "some case is not linear")
        return 0 if all_linear else 1


if __name__ == "__main__":
    sys.exit(main())
