#!/usr/bin/env python3
"""Prints how many verifications per second two threads manage against one, in one process.

    python3.13t bench/thread_scaling.py [--calls 4000] [--rounds 5]

Meant for a free-threaded CPython, where the module runs without the GIL and two threads on two
cores should come close to twice one thread's throughput; under a GIL build the figure stays near
1. Each round times the same number of successful calls on the bundled sample, first from one
thread, then split evenly over two started together; the best round of each counts, since load
from other processes only ever slows a round down. The load averages are printed beside the
figure, which means little when the machine is busy. The CPU time per call, summed over the
threads, means more there: waiting for another thread costs none, but contention does (shared
cache lines, spinning), so equal figures for one and two threads say the calls do not get in
each other's way, and the wall-clock ratio is then bounded only by the cores that were free.
"""
from __future__ import annotations

import argparse
import os
import sys
import sysconfig
import threading
import time
from pathlib import Path

import halyx_verifier

SAMPLE = Path(__file__).resolve().parents[1] / "examples" / "sample"
FILES = {"leaf_bytes": "leaf.cbor", "proof_bytes": "proof.bin", "sth_bytes": "sth.bin",
         "signature": "sth.sig", "ca_public_key": "ca.pub"}


def run(call: dict, threads: int, calls: int) -> tuple[float, float]:
    """Seconds for `threads` threads to make `calls` calls between them, from a common start, and
    the CPU seconds those threads spent on them."""
    start = threading.Barrier(threads + 1)
    done = threading.Barrier(threads + 1)
    cpu = []

    def worker() -> None:
        # Each thread its own copies, as independent callers would have: objects shared by threads
        # have their reference counts changed by all of them, which is the interpreter's cost.
        own = {name: bytes(bytearray(value)) for name, value in call.items()}
        start.wait()
        began = time.thread_time()
        for _ in range(calls // threads):
            halyx_verifier.verify_inclusion(**own)
        cpu.append(time.thread_time() - began)
        done.wait()

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    began = time.perf_counter()
    done.wait()
    elapsed = time.perf_counter() - began
    for t in pool:
        t.join()
    return elapsed, sum(cpu)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=4000)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    call = {name: (SAMPLE / file).read_bytes() for name, file in FILES.items()}
    run(call, 1, 200)  # warm up
    best = {1: float("inf"), 2: float("inf")}
    cpu = {1: float("inf"), 2: float("inf")}
    for _ in range(options.rounds):
        for threads in best:
            elapsed, spent = run(call, threads, options.calls)
            best[threads] = min(best[threads], elapsed)
            cpu[threads] = min(cpu[threads], spent)
    rate = {threads: options.calls / seconds for threads, seconds in best.items()}
    per_call = {threads: 1e6 * seconds / options.calls for threads, seconds in cpu.items()}
    gil = "GIL enabled" if getattr(sys, "_is_gil_enabled", lambda: True)() else "GIL disabled"
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL build"
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"thread scaling ({build}, {gil}): 1 thread {rate[1]:.0f} calls/s, 2 threads {rate[2]:.0f} calls/s, "
          f"{rate[2] / rate[1]:.2f}x; CPU per call {per_call[1]:.1f} us and {per_call[2]:.1f} us; "
          f"load averages {load}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
