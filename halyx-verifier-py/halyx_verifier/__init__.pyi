"""Offline verifier of ML-DSA-65-signed transparency-log inclusion proofs.

`verify_inclusion` returns a `VerificationResult` only when the signed tree head (STH) carries a
valid ML-DSA-65 signature by the CA key under the context string `HALYX-STH-v1`, the STH names the
log that this key identifies, and the inclusion proof leads from the leaf's hash to the STH's root.
Every other outcome raises exactly one exception: `HalyxVerificationError` or its subclass
`HalyxInvalidProofError`, `TypeError` for arguments that do not bind or are not `bytes`, and
`MemoryError`. There is no "not verified" return value.
"""
from typing import final

__all__ = [
    "HalyxVerificationError",
    "HalyxInvalidProofError",
    "HalyxStaleSthError",
    "VerificationResult",
    "verify_inclusion",
]

__version__: str
"""The distribution's version (not in `__all__`)."""

class HalyxVerificationError(Exception):
    """Base class of every verification failure; raised itself for malformed or unusable input:
    a key that is not 1952 bytes, or an STH, inclusion proof or leaf that does not decode."""

class HalyxInvalidProofError(HalyxVerificationError):
    """A signature or the inclusion proof does not hold: the signature is over 3309 bytes or does
    not verify, the STH does not name the key's log, or the proof does not lead to the STH's root."""

class HalyxStaleSthError(HalyxVerificationError):
    """Never raised: the module checks no freshness. A caller that holds STHs to a maximum age can
    raise it itself, under the same base class as every other failure."""

@final
class VerificationResult:
    """What a successful `verify_inclusion` call vouches for. Returned only when every check
    passed; made only by `verify_inclusion` (the class cannot be instantiated or subclassed), and
    its fields are read-only."""

    @property
    def leaf_index(self) -> int:
        """0-based index of the verified leaf in the tree of the STH."""
    @property
    def tree_size(self) -> int:
        """Number of leaves in the tree, as the signed STH states it."""
    @property
    def timestamp_ms(self) -> int:
        """The STH's timestamp, in milliseconds since the Unix epoch."""

def verify_inclusion(
    leaf_bytes: bytes,
    proof_bytes: bytes,
    sth_bytes: bytes,
    signature: bytes,
    ca_public_key: bytes,
) -> VerificationResult:
    """Verifies that the leaf was issued by the log whose ML-DSA-65 CA key is `ca_public_key`.

    - `leaf_bytes`: the deterministic-CBOR `MtacLeaf` record;
    - `proof_bytes`: the wire-v1 inclusion proof, a CBOR array of the tree size, the leaf's index
      and the 32-byte sibling hashes from the leaf upward;
    - `sth_bytes`: the wire-v1 STH envelope, exactly the bytes that were signed;
    - `signature`: the raw 3309-byte ML-DSA-65 (FIPS 204) signature over `sth_bytes`, made under the
      context string `HALYX-STH-v1`;
    - `ca_public_key`: the raw 1952-byte ML-DSA-65 public key.

    Every argument must be `bytes` (or a subclass); `bytearray`, `memoryview` and `str` are
    refused with `TypeError`. The checks run in a fixed order and the first failure raises:
    `HalyxVerificationError` for input that is malformed or unusable, `HalyxInvalidProofError` when
    a signature or the proof does not hold. The leaf hash is taken over the canonical
    re-serialisation of the leaf's six fields, which are all that the result vouches for.
    """
