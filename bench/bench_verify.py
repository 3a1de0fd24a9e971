#!/usr/bin/env python3
"""Times halyx_verifier.verify_inclusion on several builds side by side, in one process.

    /usr/bin/python3 bench/bench_verify.py [--build NAME=DIR ...] [--rounds 1000]

Each build is a CMake tree holding halyx-verifier-py/ and bench/ (scripts/bench.sh makes them):
by default build-bench (the native verifier on the CPU's best path), build-bench-portable (the
native verifier pinned to its portable path), build-bench-openssl (OpenSSL 3.5's ML-DSA-65) and
build-bench-liboqs (liboqs), each used when present. Every build's module is loaded under its
own file, so all of them run in this one interpreter, in interleaved rounds, in a shuffled order
each round: load from other processes falls on all of them alike. The table shows medians.

Per build: a successful call, and one raw ML-DSA-65 verification through that build's own handle
(the _halyx_bench helper: a new handle, then one verification; for the native verifier, one
preparation and one decision). For the first build also calls failing at stages 2, 5, 6 and 7.

The input is bench/data/depth20.txt, written by tools/issuer/make_bench_fixture.py: a leaf of a
tree of 2^20 leaves with its depth-20 proof. Absolute times move with the machine's load, the
ratios much less; compare ratios from one run.
"""
from __future__ import annotations

import argparse
import gc
import importlib.machinery
import importlib.util
import os
import platform
import random
import statistics
import sys
import time
from pathlib import Path
from types import ModuleType

ROOT = Path(__file__).resolve().parents[1]
ARGUMENT_NAMES = ("leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key")
CONTEXT = b"HALYX-STH-v1"
DEFAULT_BUILDS = (("native", "build-bench"), ("portable", "build-bench-portable"),
                  ("openssl", "build-bench-openssl"), ("liboqs", "build-bench-liboqs"))
# (label, numerator, denominator, most): the targets the native verifier was built to meet.
TARGETS = (
    ("native call vs one liboqs verification", ("native", "successful call"),
     ("liboqs", "one raw verification"), 0.65),
    ("native call vs an OpenSSL-backend call", ("native", "successful call"),
     ("openssl", "successful call"), 0.15),
    ("portable-path call vs one OpenSSL verification", ("portable", "successful call"),
     ("openssl", "one raw verification"), 0.35),
)


def read_fixture(path: Path) -> dict[str, str]:
    rows = {}
    for line in path.read_text().splitlines():
        if line and not line.startswith("#"):
            name, value = line.split()
            rows[name] = value
    return rows


def load_extension(name: str, path: Path) -> ModuleType:
    """Loads the extension module at `path` as a module object of its own, outside sys.modules, so
    that several builds of one module can live in one process."""
    loader = importlib.machinery.ExtensionFileLoader(name, str(path))
    location = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(location)
    loader.exec_module(module)
    return module


def cpu_description() -> str:
    model = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{os.cpu_count()} CPUs ({model})"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", action="append", default=[], metavar="NAME=DIR",
                        help="a build to time (repeatable; default: those of scripts/bench.sh that exist)")
    parser.add_argument("--rounds", type=int, default=1000, help="measured rounds (default: %(default)s)")
    parser.add_argument("--warmup", type=int, default=50, help="unmeasured rounds first (default: %(default)s)")
    opts = parser.parse_args()

    builds = [tuple(b.split("=", 1)) for b in opts.build] or \
        [(name, str(ROOT / d)) for name, d in DEFAULT_BUILDS if (ROOT / d / "bench").is_dir()]
    if not builds:
        sys.exit("no build to time: run scripts/bench.sh, or name one with --build NAME=DIR")

    fixture = read_fixture(ROOT / "bench/data/depth20.txt")
    valid = {name: bytes.fromhex(fixture[f"call.{name}"]) for name in ARGUMENT_NAMES}
    sth, sig, key = valid["sth_bytes"], valid["signature"], valid["ca_public_key"]
    want = tuple(int(fixture[f"expect.{f}"]) for f in ("leaf_index", "tree_size", "timestamp_ms"))

    cases = {}
    backends = {}
    modules = {}
    for name, directory in builds:
        hv = load_extension("halyx_verifier", Path(directory) / "halyx-verifier-py" / "halyx_verifier" / "__init__.abi3.so")
        hb = load_extension("_halyx_bench", Path(directory) / "bench" / "_halyx_bench.abi3.so")
        result = hv.verify_inclusion(**valid)
        if (result.leaf_index, result.tree_size, result.timestamp_ms) != want:
            sys.exit(f"{name}: the fixture call returned {result}, expected {want}")
        if not hb.verify_raw(sth, sig, CONTEXT, key):
            sys.exit(f"{name}: the raw verification of the fixture STH failed")
        backends[name] = hb.backend_name()
        modules[name] = hv

        def successful_call(verify=hv.verify_inclusion) -> float:
            t0 = time.perf_counter_ns()
            verify(**valid)
            return time.perf_counter_ns() - t0

        def one_raw(verify_raw=hb.verify_raw) -> float:
            t0 = time.perf_counter_ns()
            verify_raw(sth, sig, CONTEXT, key)
            return time.perf_counter_ns() - t0

        cases[(name, "successful call")] = successful_call
        cases[(name, "one raw verification")] = one_raw

    # Failing calls on the first build, each with the stage message it must end with: a benchmark of
    # the wrong failure would measure nothing useful.
    first = builds[0][0]
    hv = modules[first]
    failing = {
        "stage 2 (key length)": ({**valid, "ca_public_key": key[:-1]}, hv.HalyxVerificationError,
                                 "ca_public_key rejected by oqs"),
        "stage 5 (STH decode)": ({**valid, "sth_bytes": bytes.fromhex(fixture["signed_bad_sth.sth_bytes"]),
                                  "signature": bytes.fromhex(fixture["signed_bad_sth.signature"])},
                                 hv.HalyxVerificationError, "STH envelope decode failed: "),
        "stage 6 (proof decode)": ({**valid, "proof_bytes": valid["proof_bytes"] + b"\x00"},
                                   hv.HalyxVerificationError, "inclusion proof decode failed: "),
        "stage 7 (leaf decode)": ({**valid, "leaf_bytes": valid["leaf_bytes"] + b"\x00"},
                                  hv.HalyxVerificationError, "leaf decode failed: "),
    }
    for stage, (kwargs, cls, prefix) in failing.items():
        try:
            hv.verify_inclusion(**kwargs)
        except hv.HalyxVerificationError as e:
            if type(e) is not cls or not str(e).startswith(prefix):
                sys.exit(f"{stage}: raised {type(e).__name__}: {e}")
        else:
            sys.exit(f"{stage}: did not fail")

        # Calls that fail before any cryptography take about a microsecond: those are timed in
        # batches, so the clock's own cost does not count.
        def failing_call(kwargs=kwargs, batch=200 if stage.startswith("stage 2") else 1,
                         verify=hv.verify_inclusion, error=hv.HalyxVerificationError) -> float:
            t0 = time.perf_counter_ns()
            for _ in range(batch):
                try:
                    verify(**kwargs)
                except error:
                    pass
            return (time.perf_counter_ns() - t0) / batch

        cases[(first, stage)] = failing_call

    samples: dict[tuple[str, str], list[float]] = {case: [] for case in cases}
    order = list(cases)
    shuffle = random.Random(20).shuffle
    load_before = os.getloadavg()[0]
    gc.collect()
    gc.disable()
    try:
        for round_no in range(opts.warmup + opts.rounds):
            shuffle(order)
            times = {case: cases[case]() for case in order}
            if round_no >= opts.warmup:
                for case, t in times.items():
                    samples[case].append(t)
    finally:
        gc.enable()
    load_after = os.getloadavg()[0]

    med = {case: statistics.median(values) / 1000.0 for case, values in samples.items()}  # microseconds
    low = {case: min(values) / 1000.0 for case, values in samples.items()}

    print(f"halyx_verifier benchmark, {opts.rounds} interleaved rounds after {opts.warmup} for warm-up")
    print(f"  Python {platform.python_version()}; {cpu_description()}, load average {load_before:.2f} at start, "
          f"{load_after:.2f} at end")
    print(f"  input: one leaf of a 2^20-leaf tree, depth-20 proof ({len(valid['proof_bytes'])} bytes)")
    for name, directory in builds:
        print(f"  {name}: {backends[name]} ({directory})")
    print()
    print(f"  {'build':<10}{'case':<34}{'median µs':>12}{'min µs':>10}")
    print(f"  {'-' * 66}")
    for case in cases:
        print(f"  {case[0]:<10}{case[1]:<34}{med[case]:12.2f}{low[case]:10.2f}")
    print()
    for label, numerator, denominator, most in TARGETS:
        if numerator in med and denominator in med:
            ratio = med[numerator] / med[denominator]
            # Per-round ratios too: a burst of load from other processes falls on both terms of a pair.
            paired = statistics.median(n / d for n, d in zip(samples[numerator], samples[denominator]))
            print(f"  {label}: {ratio:.3f} (per round {paired:.3f}); target <= {most}: "
                  f"{'met' if ratio <= most else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
