#!/usr/bin/env python3
"""Verifies the bundled sample: was this leaf issued by the log whose CA key we hold?

    python3 examples/verify_sample.py [SAMPLE_DIR]

Prints the verified result, then shows a tampered leaf being refused.
"""
import sys
from pathlib import Path

import halyx_verifier

sample = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent / "sample"
args = {
    "leaf_bytes": (sample / "leaf.cbor").read_bytes(),
    "proof_bytes": (sample / "proof.bin").read_bytes(),
    "sth_bytes": (sample / "sth.bin").read_bytes(),
    "signature": (sample / "sth.sig").read_bytes(),
    "ca_public_key": (sample / "ca.pub").read_bytes(),
}

result = halyx_verifier.verify_inclusion(**args)
print(f"verified: {result}")

# The same call with one byte of the leaf changed: the leaf's agent_id "agent-1000.example"
# becomes "agent-1001.example", a well-formed record that the log never issued at this position.
leaf = bytearray(args["leaf_bytes"])
at = leaf.index(b"agent-1000") + len("agent-100")
leaf[at] = ord("1")
try:
    halyx_verifier.verify_inclusion(**{**args, "leaf_bytes": bytes(leaf)})
except halyx_verifier.HalyxVerificationError as e:
    print(f"tampered leaf refused: {type(e).__name__}: {e}")
else:
    sys.exit("tampered leaf was accepted")
