"""Failing and succeeding calls release everything they make: repeating each path many times must
not grow the process's resident memory. Measured, with a margin far below what a leak of even one
small object per call would add over the repetitions."""
import gc
import os

import pytest

import halyx_verifier as hv
from conftest import fixture_call


# AddressSanitizer keeps freed memory in quarantine, so resident memory grows by design there; the
# sanitizer run relies on LeakSanitizer instead.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="resident memory is not meaningful under AddressSanitizer")


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def calls():
    valid = fixture_call("valid")
    return {
        "type-error": ((), {}),
        "key-length": ((), {**valid, "ca_public_key": b""}),
        "signature-invalid": ((), {**valid, "signature": valid["signature"][:-1]}),
        "sth-decode": ((), fixture_call("signed_trailing_byte")),
        "proof-decode": ((), {**valid, "proof_bytes": valid["proof_bytes"] + b"\x00"}),
        "leaf-decode": ((), {**valid, "leaf_bytes": b"\xa1\x61a\x82\x61b\x61\xe9"}),
        "log-id-mismatch": ((), fixture_call("other_log")),
        "inclusion": ((), fixture_call("extra_entry_hashed_raw")),
        "success": ((), valid),
    }


@pytest.mark.parametrize("name", list(calls()))
def test_repeated_calls_do_not_grow_memory(name):
    args, kwargs = calls()[name]

    def run(n):
        for _ in range(n):
            try:
                hv.verify_inclusion(*args, **kwargs)
            except (hv.HalyxVerificationError, TypeError):
                pass

    run(200)  # warm up allocator pools and caches
    gc.collect()
    before = rss_kib()
    run(1500)
    gc.collect()
    grown = rss_kib() - before
    # A leak of the smallest thing a call makes (a 48-byte exception or result) would add ~70 KiB
    # here; a leaked signature copy or decoded record, megabytes.
    assert grown < 64, f"{name}: resident memory grew by {grown} KiB over 1500 calls"
