"""Input nobody signed: leaf_bytes is covered by no signature, so any caller can send any shape.

Memory for one call must stay within a small multiple of the leaf whatever its shape, and running
out of memory must surface as MemoryError, never end the process. Both are measured in a fresh
child interpreter: resident memory and address-space limits are properties of a whole process.
"""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import leaf_memory  # noqa: E402

# AddressSanitizer reserves terabytes of address space and keeps freed memory in quarantine, so
# neither resident memory nor an address-space limit means anything under it.
pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="memory is not meaningful under AddressSanitizer")
MIB = 1 << 20


@pytest.mark.parametrize("shape", list(leaf_memory.SHAPES))
def test_peak_memory_stays_proportional_to_the_leaf(shape):
    r = leaf_memory.measure(shape, 3, os.environ.get("HALYX_MODULE_DIR"))
    assert r["size"] > 2 * MIB, "the shape was not built at the size asked for"
    assert r["growth"] <= 2 * r["size"] + 8 * MIB, (
        f"{shape}: one call grew the process by {r['growth'] / MIB:.1f} MiB for a {r['size'] / MIB:.1f} MiB leaf")


OUT_OF_MEMORY_CHILD = textwrap.dedent("""
    import json, resource, sys
    sys.path.insert(0, sys.argv[1])
    from conftest import fixture_call
    import halyx_verifier as hv

    valid = fixture_call("valid")
    agent = "x" + "\\u0301" * (1 << 20)  # NFC only by a full check; copied whole into the record
    big = (b"\\xa6\\x68agent_id\\x7a" + len(agent.encode()).to_bytes(4, "big") + agent.encode()
           + valid["leaf_bytes"][valid["leaf_bytes"].index(b"\\x69not_after"):])
    cases = {
        "verified": valid,
        "ML-DSA-65 signature verification failed": {**valid, "signature": valid["signature"][:-1]},
        "leaf decode failed: CBOR decode error: early end of CBOR data": {**valid, "leaf_bytes": b"\\xa1"},
        "Merkle inclusion proof invalid": {**valid, "leaf_bytes": big},
    }
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def vm_size():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))

    def call(args, headroom=None, free_blocks=None):
        # Caps the address space `headroom` bytes above what is mapped, or else fills what the heap
        # still has free and gives back free_blocks blocks of 4 KiB: either way the call runs out of
        # memory at a point that moves with the parameter.
        limit, blocks = vm_size() + (headroom or 0), []
        try:
            if headroom is not None or free_blocks is not None:
                resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
            if free_blocks is not None:
                try:
                    while True:
                        blocks.append(bytearray(4096))
                except MemoryError:
                    pass
                # One block at a time from the end: deleting a slice needs memory of its own,
                # which mimalloc (the free-threaded build's allocator) may not have left.
                for _ in range(min(free_blocks, len(blocks))):
                    blocks.pop()
            try:
                hv.verify_inclusion(**args)
                got = "verified"
            except MemoryError:
                got = "MemoryError"
            except hv.HalyxVerificationError as e:
                got = e
        finally:
            blocks = None
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        return got if isinstance(got, str) else str(got)

    seen = {}
    for want, args in cases.items():
        for limit in [{"free_blocks": n} for n in range(0, 96)] + [{"headroom": m << 19} for m in range(0, 12)]:
            got = call(args, **limit)
            assert got in (want, "MemoryError"), f"{want!r}: got {got!r} under {limit}"
            seen[got] = seen.get(got, 0) + 1
        # Once memory is back, the same call ends as it always does.
        assert call(args) == want
    print(json.dumps(seen))
""")


def test_running_out_of_memory_raises_memory_error_and_recovers():
    env = dict(os.environ)
    if env.get("HALYX_MODULE_DIR"):
        env["PYTHONPATH"] = env["HALYX_MODULE_DIR"]
    child = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY_CHILD, str(Path(__file__).parent)],
                           env=env, capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, f"the child ended with {child.returncode}: {child.stderr[-2000:]}"
    seen = json.loads(child.stdout.strip().splitlines()[-1])
    # The limits must have bitten, and every call must also have run to its usual end somewhere.
    assert seen.get("MemoryError", 0) > 0 and len(seen) == 5, seen
