#!/usr/bin/env python3
"""Times `halyx-verify segment` over the 2^20 canonical leaves of tools/issuer/batch_tree.py.

    /usr/bin/python3 bench/bench_segment.py [--build-dir build] [--work DIR] [--rounds 3] [--scaling-only]

Rebuilds the tree (every leaf its own record), checks that its STH is the one the issuer signed in
bench/data/batch_sth.txt, and writes the leaves as one CBOR sequence file. Then it times the whole
tree (no proofs) and a middle segment (leaves 2^18 to 3 * 2^18 - 1, with its two proofs) with
--threads 1 and 2, output to /dev/null, and reports leaves per second of wall time and processor
time, best of --rounds runs, and the ratio of the two threads' best wall time to one thread's. The
runs with one and two threads alternate, so that a change in the machine's load falls on both; the
load average is printed before and after. The command reads the file twice (verify, then print), so it also
reports a run of the first reading alone: the same segment with its last record cut, which the
first reading refuses at the end, having hashed every leaf. Last, the peak resident memory of runs
over segments of 10^4, 10^5 and 10^6 leaves (GNU time, /usr/bin/time); --scaling-only leaves that
out. Needs only hashlib.
"""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools" / "issuer"))
import batch_tree  # noqa: E402


def committed() -> dict[str, bytes]:
    lines = (ROOT / "bench/data/batch_sth.txt").read_text().splitlines()
    rows = (line.split() for line in lines if line and not line.startswith("#"))
    return {name: bytes.fromhex(value) for name, value in rows}


def timed(args: list, expect: int) -> tuple[float, float]:
    start = time.perf_counter()
    before = os.times()
    with open(os.devnull, "wb") as sink:
        p = subprocess.run(args, stdout=sink, stderr=subprocess.PIPE)
    after = os.times()
    assert p.returncode == expect, (p.returncode, p.stderr[-300:])
    cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
    return time.perf_counter() - start, cpu


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", default="build")
    ap.add_argument("--work", default=None)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--scaling-only", action="store_true", help="skip the peak memory runs")
    a = ap.parse_args()
    verify = str(Path(a.build_dir).resolve() / "halyx-cli" / "halyx-verify")
    work = Path(a.work or tempfile.mkdtemp(prefix="halyx-segment-"))
    work.mkdir(parents=True, exist_ok=True)
    head = committed()
    import hashlib
    log_id = hashlib.sha256(head["ca_public_key"]).digest()
    tree = batch_tree.levels(log_id)
    assert batch_tree.sth(log_id, tree) == head["sth_bytes"], "the tree is not the one the issuer signed"
    for name in ("sth_bytes", "signature", "ca_public_key"):
        (work / name).write_bytes(head[name])
    encoder = batch_tree.LeafEncoder()
    leaves = work / "leaves.cbor"
    offsets = [0]
    with open(leaves, "wb") as f:
        for i in range(batch_tree.TREE_SIZE):
            r = encoder.canonical(i)
            f.write(r)
            offsets.append(offsets[-1] + len(r))
    data = leaves.read_bytes()

    def segment_file(first: int, last: int, cut: bool = False) -> list:
        path = work / f"seg-{first}-{last}{'-cut' if cut else ''}.cbor"
        part = data[offsets[first]:offsets[last + 1]]
        path.write_bytes(part[:-1] if cut else part)
        args = []
        for option, i in (("--first-proof", first), ("--last-proof", last)):
            (work / f"proof{i}").write_bytes(batch_tree.proof(tree, i))
            args += [option, work / f"proof{i}"]
        return args + [path]

    heads = [work / "sth_bytes", work / "signature", work / "ca_public_key"]
    print(f"load: {os.getloadavg()}; leaves: {len(data)} bytes")
    quarter = batch_tree.TREE_SIZE // 4
    runs = {"whole tree": ([leaves], batch_tree.TREE_SIZE, 0),
            "middle segment": (segment_file(quarter, 3 * quarter - 1), 2 * quarter, 0),
            "middle, first reading only": (segment_file(quarter, 3 * quarter - 1, cut=True), 2 * quarter, 2)}
    for name, (tail, count, status) in runs.items():
        times: dict[str, list] = {"1": [], "2": []}
        for _ in range(a.rounds):
            for threads in times:
                times[threads].append(timed([verify, "segment", "--threads", threads, *tail[:-1], *heads, tail[-1]],
                                            status))
        best = {threads: (min(t[0] for t in ts), min(t[1] for t in ts)) for threads, ts in times.items()}
        for threads, (wall, cpu) in best.items():
            print(f"{name:28s} threads {threads}: {count / wall:>10,.0f} leaves/s wall, "
                  f"{count / cpu:>10,.0f} leaves/s cpu")
        print(f"{name:28s} two threads / one: {best['1'][0] / best['2'][0]:.2f} of wall time, "
              f"processor time {best['2'][1] / best['1'][1]:.2f} of one thread's")
    print(f"load: {os.getloadavg()}")
    if a.scaling_only:
        return
    for count in (10_000, 100_000, 1_000_000):
        tail = segment_file(1000, 1000 + count - 1)
        p = subprocess.run(["/usr/bin/time", "-f", "%M", verify, "segment", *tail[:-1], *heads, tail[-1]],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        assert p.returncode == 0, p.stderr[-300:]
        print(f"peak memory at {count:>9,} leaves: {int(p.stderr.split()[-1])} KiB")


if __name__ == "__main__":
    main()
