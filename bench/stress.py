#!/usr/bin/env python3
"""Memory stress for halyx_verifier: many mixed calls, resident memory before and after.

    /usr/bin/python3 bench/stress.py [--calls 1000000] [--build-dir build-bench] [--max-growth-kib 1024]

Runs the calls round-robin over a fixed set of cases: successful calls and calls that fail at
every stage (argument binding and conversion, key length, signature length, the signature over the
caller's bytes, the three decodes, the STH check and the inclusion walk), all built from the
committed fixtures of the Python tests and of the benchmarks. Every case's outcome is checked once
before the run. Resident memory (VmRSS) is read after a warm-up and at the end, with a garbage
collection before each reading; the script exits with status 1 when it grew by more than
--max-growth-kib.

The default million calls performs about a million ML-DSA-65 verifications and took 8.5 minutes
on a busy 2-core machine; --calls 20000 is a quick check. With the default, a case that leaked even one 32-byte
block per call would leak well over a megabyte, so a 1 MiB threshold catches any per-call leak
while allowing the allocator some slack. Not part of the test run.
"""
from __future__ import annotations

import argparse
import gc
import json
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ARGUMENT_NAMES = ("leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key")


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def load_cases(hv):
    """Returns (name, args, kwargs, expected outcome) for every case. The outcome is the result
    class, or the exception class and the start of its message."""
    calls = json.loads((ROOT / "halyx-verifier-py/tests/data/fixtures.json").read_text())["calls"]

    def fixture(name: str) -> dict:
        return {k: bytes.fromhex(calls[name][k]) for k in ARGUMENT_NAMES}

    rows = {}
    for line in (ROOT / "bench/data/depth20.txt").read_text().splitlines():
        if line and not line.startswith("#"):
            name, value = line.split()
            rows[name] = value
    depth20 = {k: bytes.fromhex(rows[f"call.{k}"]) for k in ARGUMENT_NAMES}

    valid = fixture("valid")
    ok = (hv.VerificationResult, "")
    verification, invalid = hv.HalyxVerificationError, hv.HalyxInvalidProofError
    positional = tuple(valid[k] for k in ARGUMENT_NAMES)
    return [
        ("success", (), valid, ok),
        ("success, positional", positional, {}, ok),
        ("success, depth 20", (), depth20, ok),
        ("success, extra leaf entry", (), fixture("extra_entry"), ok),
        ("success, proof states other size", (), fixture("proof_states_other_size"), ok),
        ("success, extensions", (), fixture("extensions_max_timestamp"), ok),
        ("success, single leaf", (), fixture("single_leaf"), ok),
        ("binding: nothing given", (), {}, (TypeError, "verify_inclusion() missing 5")),
        ("binding: six positional", positional + (b"",), {}, (TypeError, "verify_inclusion() takes 5")),
        ("binding: unexpected keyword", (), {**valid, "leaf": b""}, (TypeError, "verify_inclusion() got an")),
        ("binding: given twice", positional[:1], valid, (TypeError, "verify_inclusion() got multiple")),
        ("conversion: bytearray", (), {**valid, "signature": bytearray(valid["signature"])},
         (TypeError, "argument 'signature'")),
        ("conversion: None", (), {**valid, "ca_public_key": None}, (TypeError, "argument 'ca_public_key'")),
        ("stage 2: key length", (), {**valid, "ca_public_key": valid["ca_public_key"][:-1]},
         (verification, "ca_public_key rejected by oqs")),
        ("stage 3: signature length", (), {**valid, "signature": valid["signature"] + b"\x00"},
         (invalid, "signature rejected by oqs")),
        ("stage 4: short signature", (), {**valid, "signature": valid["signature"][:-1]},
         (invalid, "ML-DSA-65 signature verification failed")),
        ("stage 4: empty context", (), fixture("empty_context"), (invalid, "ML-DSA-65 signature verification failed")),
        ("stage 4: unsigned STH", (), {**valid, "sth_bytes": b"not an envelope"},
         (invalid, "ML-DSA-65 signature verification failed")),
        ("stage 5: STH decode", (), fixture("signed_trailing_byte"), (verification, "STH envelope decode failed: ")),
        ("stage 6: proof decode", (), {**valid, "proof_bytes": valid["proof_bytes"] + b"\x00"},
         (verification, "inclusion proof decode failed: ")),
        ("stage 6: empty proof", (), {**valid, "proof_bytes": b""}, (verification, "inclusion proof decode failed: ")),
        ("stage 7: leaf trailing bytes", (), {**valid, "leaf_bytes": valid["leaf_bytes"] + b"\x00"},
         (verification, "leaf decode failed: ")),
        ("stage 7: leaf not NFC", (), {**valid, "leaf_bytes": b"\xa1\x61a\x82\x61b\x63e\xcc\x81"},
         (verification, "leaf decode failed: ")),
        ("stage 7: leaf schema 2", (), {**valid, "leaf_bytes": b"\xa1\x6eschema_version\x02"},
         (verification, "leaf decode failed: ")),
        ("stage 9: other log", (), fixture("other_log"), (invalid, "STH verification failed: log_id mismatch")),
        ("stage 9: non-shortest STH", (), fixture("non_shortest_sth"), (invalid, "STH verification failed: ")),
        ("stage 9: inclusion", (), fixture("extra_entry_hashed_raw"), (invalid, "Merkle inclusion proof invalid")),
        ("stage 9: index in a smaller tree", (), fixture("last_of_five_as_index_1_of_2"),
         (invalid, "Merkle inclusion proof invalid")),
    ]


def check_outcomes(hv, cases) -> None:
    for name, args, kwargs, (cls, prefix) in cases:
        try:
            got = hv.verify_inclusion(*args, **kwargs)
        except Exception as e:  # noqa: BLE001 - any outcome other than the expected one is reported
            if type(e) is not cls or not str(e).startswith(prefix):
                sys.exit(f"{name}: raised {type(e).__name__}: {e}")
        else:
            if type(got) is not cls:
                sys.exit(f"{name}: returned {got!r}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000, help="measured calls (default: %(default)s)")
    parser.add_argument("--warmup", type=int, default=5000, help="calls before the first reading (default: %(default)s)")
    parser.add_argument("--max-growth-kib", type=int, default=1024,
                        help="largest accepted growth of VmRSS, in KiB (default: %(default)s)")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build-bench",
                        help="build tree holding halyx-verifier-py/ (default: %(default)s)")
    opts = parser.parse_args()

    sys.path.insert(0, str(opts.build_dir.resolve() / "halyx-verifier-py"))
    import halyx_verifier as hv

    cases = load_cases(hv)
    check_outcomes(hv, cases)
    verify = hv.verify_inclusion
    caught = (hv.HalyxVerificationError, TypeError)
    plan = [(args, kwargs) for _, args, kwargs, _ in cases]

    def run(n: int) -> None:
        count = len(plan)
        for i in range(n):
            args, kwargs = plan[i % count]
            try:
                verify(*args, **kwargs)
            except caught:
                pass

    run(opts.warmup)
    gc.collect()
    start_kib = rss_kib()
    print(f"{len(cases)} cases round-robin, {opts.calls} calls after {opts.warmup} for warm-up")
    print(f"VmRSS at start: {start_kib} KiB")

    started = time.monotonic()
    step = max(opts.calls // 10, 1)
    done = 0
    while done < opts.calls:
        n = min(step, opts.calls - done)
        run(n)
        done += n
        print(f"  {done:>9} calls  {time.monotonic() - started:7.1f} s  VmRSS {rss_kib()} KiB", flush=True)
    gc.collect()
    end_kib = rss_kib()
    grown = end_kib - start_kib
    print(f"VmRSS at end:   {end_kib} KiB (grew by {grown} KiB; limit {opts.max_growth_kib} KiB)")
    if grown > opts.max_growth_kib:
        print("FAIL: resident memory grew beyond the limit")
        return 1
    print("OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
