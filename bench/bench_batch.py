#!/usr/bin/env python3
"""Times `halyx-verify batch` end to end over manifests of leaves of one 2^20-leaf tree.

    /usr/bin/python3 bench/bench_batch.py [--build-dir build] [--work DIR] [--sizes 10000,100000,1000000]

Rebuilds the tree of tools/issuer/batch_tree.py (every leaf its own record), checks that its STH is
the one the issuer signed in bench/data/batch_sth.txt, and writes one manifest per size: line j
holds leaf (j * 7919) mod 2^20 and its depth-20 proof as hex, with "id": j. Then, for the largest
manifest, it runs the batch with -j 1 and -j 2 (best of --rounds runs each) and reports leaves per
second of wall time and of processor time, and the scaling of wall time from one thread to two;
for every size it reports the peak resident memory of a -j 2 run. Every run must exit 0 with one
verified line per input line; the output goes to a file in the work folder. Needs GNU time
(/usr/bin/time, Debian's `time`) and no `cryptography`: only hashlib. On a shared machine the wall
times follow the load (printed first), the processor times much less.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools" / "issuer"))
import batch_tree  # noqa: E402

STRIDE = 7919  # odd, so j -> j * STRIDE mod 2^20 visits every leaf once in 2^20 lines


def committed() -> dict[str, bytes]:
    lines = (ROOT / "bench/data/batch_sth.txt").read_text().splitlines()
    rows = (line.split() for line in lines if line and not line.startswith("#"))
    return {name: bytes.fromhex(value) for name, value in rows}


def write_inputs(work: Path, sizes: list[int]) -> dict[int, Path]:
    signed = committed()
    log_id = hashlib.sha256(signed["ca_public_key"]).digest()
    started = time.perf_counter()
    tree = batch_tree.levels(log_id)
    if batch_tree.sth(log_id, tree) != signed["sth_bytes"]:
        raise SystemExit("the rebuilt tree's STH differs from bench/data/batch_sth.txt")
    for name, file in (("sth_bytes", "sth.bin"), ("signature", "sth.sig"), ("ca_public_key", "ca.pub")):
        (work / file).write_bytes(signed[name])
    encoder = batch_tree.LeafEncoder()
    paths = {n: work / f"manifest-{n}.jsonl" for n in sizes}
    files = {n: open(p, "w") for n, p in paths.items()}
    try:
        for j in range(max(sizes)):
            i = j * STRIDE % batch_tree.TREE_SIZE
            line = (f'{{"id": {j}, "leaf_hex": "{encoder.canonical(i).hex()}", '
                    f'"proof_hex": "{batch_tree.proof(tree, i).hex()}"}}\n')
            for n, f in files.items():
                if j < n:
                    f.write(line)
    finally:
        for f in files.values():
            f.close()
    print(f"tree and manifests written in {time.perf_counter() - started:.1f} s "
          f"({paths[max(sizes)].stat().st_size / max(sizes):.0f} bytes a line)")
    return paths


def run(verify: str, work: Path, manifest: Path, jobs: int, lines: int) -> dict[str, float]:
    """One batch run under GNU time, which forks a clean child: this process's own memory would
    count in a child's peak otherwise. Fails unless every line verified."""
    out, timing = work / "out.jsonl", work / "time.txt"
    args = ["/usr/bin/time", "-o", timing, "-f", "%e %U %S %M", verify, "batch", "-j", str(jobs),
            work / "sth.bin", work / "sth.sig", work / "ca.pub", manifest]
    with open(out, "wb") as stdout:
        p = subprocess.run(args, stdout=stdout, stderr=subprocess.PIPE)
    if p.returncode != 0:
        raise SystemExit(f"batch exited {p.returncode}: {p.stderr.decode()}")
    with open(out, "rb") as f:
        count = sum(1 for _ in f)
        f.seek(0)
        first = json.loads(f.readline())
    if count != lines or "leaf_index" not in first or first["id"] != 0:
        raise SystemExit(f"expected {lines} verified lines, got {count} ({first})")
    wall, user, system, peak = timing.read_text().split()[-4:]
    return {"wall": float(wall), "cpu": float(user) + float(system), "peak_mib": int(peak) / 1024}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--work", help="folder for the manifests (default: a temporary one, removed after)")
    parser.add_argument("--sizes", default="10000,100000,1000000")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--reuse", action="store_true", help="use the manifests an earlier run left in --work")
    args = parser.parse_args()
    verify = str((ROOT / args.build_dir / "halyx-cli" / "halyx-verify").resolve())
    sizes = sorted(int(s) for s in args.sizes.split(","))

    with tempfile.TemporaryDirectory() as scratch:
        work = Path(args.work or scratch)
        work.mkdir(parents=True, exist_ok=True)
        paths = {n: work / f"manifest-{n}.jsonl" for n in sizes}
        if not (args.reuse and all(p.exists() for p in paths.values())):
            paths = write_inputs(work, sizes)
        largest = max(sizes)
        print(f"load average before the runs: {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors")
        best = {}
        for jobs in (1, 2):
            runs = [run(verify, work, paths[largest], jobs, largest) for _ in range(args.rounds)]
            best[jobs] = {k: min(r[k] for r in runs) for k in ("wall", "cpu")}
            print(f"-j {jobs}: {largest} lines in {best[jobs]['wall']:.3f} s wall, {largest / best[jobs]['wall']:,.0f} "
                  f"leaves/s; {best[jobs]['cpu']:.3f} s of processor time, "
                  f"{largest / best[jobs]['cpu']:,.0f} leaves/s per core")
        print(f"scaling from 1 to 2 threads (wall time): {best[1]['wall'] / best[2]['wall']:.2f}x")
        for n in sizes:
            peak = max(run(verify, work, paths[n], 2, n)["peak_mib"] for _ in range(2))
            print(f"{n:>9} lines: peak resident memory {peak:.1f} MiB (-j 2)")

if __name__ == "__main__":
    main()
