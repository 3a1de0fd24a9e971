"""Concurrent calls from several threads give exactly the single-threaded outcomes."""
import threading

import pytest

import halyx_verifier as hv
from conftest import fixture_call


def outcome(kwargs):
    try:
        r = hv.verify_inclusion(**kwargs)
        return ("ok", r.leaf_index, r.tree_size, r.timestamp_ms)
    except (hv.HalyxVerificationError, TypeError) as e:
        return (type(e).__name__, str(e))


def mixed_calls():
    valid = fixture_call("valid")
    return [
        valid,
        fixture_call("extensions_max_timestamp"),
        fixture_call("other_log"),
        fixture_call("non_shortest_sth"),
        fixture_call("last_of_five_as_index_1_of_2"),
        fixture_call("signed_trailing_byte"),
        {**valid, "ca_public_key": b""},
        {**valid, "signature": valid["signature"][:-1]},
        {**valid, "proof_bytes": b"\x80"},
        {**valid, "leaf_bytes": b"\xa0"},
    ]


def test_threads_see_single_threaded_outcomes():
    calls = mixed_calls()
    expected = [outcome(c) for c in calls]
    assert expected[0][0] == "ok" and expected[-1][0] == "HalyxVerificationError"

    threads, rounds = 6, 8
    results = [[] for _ in range(threads)]
    start = threading.Barrier(threads)

    def worker(t):
        start.wait()
        for r in range(rounds):
            # Each thread walks the calls from its own offset, so different stages overlap.
            for i in range(len(calls)):
                k = (i + t + r) % len(calls)
                results[t].append((k, outcome(calls[k])))

    pool = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    for per_thread in results:
        assert len(per_thread) == rounds * len(calls)
        for k, got in per_thread:
            assert got == expected[k]


@pytest.mark.parametrize("stack_size", [32768, 65536, 131072, 0])
def test_small_thread_stacks_see_single_threaded_outcomes(stack_size):
    # 32 KiB is the least threading.stack_size() accepts on x86-64 (aarch64's glibc asks for
    # 128 KiB); the verifier's working memory, about 50 KiB, is more than a 32 KiB stack holds.
    calls = mixed_calls()
    expected = [outcome(c) for c in calls]
    got = []
    try:
        previous = threading.stack_size(stack_size)
    except ValueError:
        pytest.skip(f"this platform's threads cannot have a {stack_size}-byte stack")
    try:
        th = threading.Thread(target=lambda: got.extend(outcome(c) for c in calls))
        th.start()
        th.join()
    finally:
        threading.stack_size(previous)
    assert got == expected
