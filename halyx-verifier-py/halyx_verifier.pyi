"""Halyx ML-DSA-65 post-quantum verifier Python module."""
from typing import final

__all__ = [
    "HalyxVerificationError",
    "HalyxInvalidProofError",
    "HalyxStaleSthError",
    "VerificationResult",
    "verify_inclusion",
]

class HalyxVerificationError(Exception): ...
class HalyxInvalidProofError(HalyxVerificationError): ...
class HalyxStaleSthError(HalyxVerificationError): ...

@final
class VerificationResult:
    @property
    def leaf_index(self) -> int: ...
    @property
    def tree_size(self) -> int: ...
    @property
    def timestamp_ms(self) -> int: ...

def verify_inclusion(
    leaf_bytes: bytes,
    proof_bytes: bytes,
    sth_bytes: bytes,
    signature: bytes,
    ca_public_key: bytes,
) -> VerificationResult: ...
