"""Imports the module under whichever interpreter runs this file and verifies the bundled sample;
run by ctest under every other CPython found on the machine, to show that one abi3 build loads in
each. Exits non-zero on any failure."""
import sys
from pathlib import Path

import halyx_verifier as hv

sample = Path(__file__).resolve().parents[2] / "examples" / "sample"
args = [(sample / n).read_bytes() for n in ("leaf.cbor", "proof.bin", "sth.bin", "sth.sig", "ca.pub")]
result = hv.verify_inclusion(*args)
assert (result.leaf_index, result.tree_size) == (1000, 1337), result
try:
    hv.verify_inclusion(*args[:3], args[3][:-1], args[4])
except hv.HalyxInvalidProofError as e:
    assert str(e) == "ML-DSA-65 signature verification failed"
else:
    sys.exit("a cut signature was accepted")
print(f"Python {sys.version.split()[0]}: {result}")
