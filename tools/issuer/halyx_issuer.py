"""A small, independent issuer for halyx test material.

It writes leaf records, Merkle trees and proofs, STH envelopes and ML-DSA-65 signatures the way a
log's issuing side does, using nothing of the verifier's code: hashlib for SHA-256 and the
`cryptography` package (pyenv's python3 has it, with ML-DSA-65 signing under a context) for
signatures. Fixtures and samples made with it therefore test the verifier against a second,
separately written implementation of every format.
"""
from __future__ import annotations

import hashlib
import unicodedata
from dataclasses import dataclass, field

WIRE_VERSION = b"HALYX-STH-v1"
STH_SIGNATURE_CONTEXT = b"HALYX-STH-v1"
LEAF_DOMAIN_TAG = b"halyx-leaf/v1\n\x00\x00"


# --- CBOR heads, shortest form unless a width is forced -------------------------------------------

def head(major: int, value: int, width: int | None = None) -> bytes:
    """Returns a CBOR head; `width` (0, 1, 2, 4 or 8 argument bytes) forces a longer form."""
    if width is None:
        width = 0 if value < 24 else 1 if value < 256 else 2 if value < 65536 else 4 if value < 2**32 else 8
    if width == 0:
        assert value < 24
        return bytes([(major << 5) | value])
    ai = {1: 24, 2: 25, 4: 26, 8: 27}[width]
    return bytes([(major << 5) | ai]) + value.to_bytes(width, "big")


def text(s: str) -> bytes:
    raw = unicodedata.normalize("NFC", s).encode()
    return head(3, len(raw)) + raw


def uint(n: int) -> bytes:
    return head(0, n)


def canonical_map(entries: list[tuple[bytes, bytes]]) -> bytes:
    """A map from already-encoded (key, value) pairs, keys sorted bytewise."""
    entries = sorted(entries, key=lambda kv: kv[0])
    return head(5, len(entries)) + b"".join(k + v for k, v in entries)


# --- Leaf records ---------------------------------------------------------------------------------

@dataclass
class Leaf:
    agent_id: str
    sponsor_id: str
    authorized_scopes: list[str]
    not_before: int
    not_after: int
    extra: list[tuple[bytes, bytes]] = field(default_factory=list)  # encoded extra entries

    def entries(self) -> list[tuple[bytes, bytes]]:
        scopes = head(4, len(self.authorized_scopes)) + b"".join(text(s) for s in self.authorized_scopes)
        return [
            (text("schema_version"), uint(1)),
            (text("agent_id"), text(self.agent_id)),
            (text("sponsor_id"), text(self.sponsor_id)),
            (text("authorized_scopes"), scopes),
            (text("not_before"), uint(self.not_before)),
            (text("not_after"), uint(self.not_after)),
        ]

    def canonical(self) -> bytes:
        """The six fields only: what the leaf hash covers."""
        return canonical_map(self.entries())

    def encoded(self) -> bytes:
        """What the issuer hands out: the six fields and any extra entries."""
        return canonical_map(self.entries() + self.extra)


def leaf_hash(log_id: bytes, canonical_leaf: bytes) -> bytes:
    return hashlib.sha256(b"\x00" + LEAF_DOMAIN_TAG + log_id + canonical_leaf).digest()


# --- Merkle trees (RFC 9162 MTH and PATH, written recursively from their definitions) -------------

def node_hash(left: bytes, right: bytes) -> bytes:
    return hashlib.sha256(b"\x01" + left + right).digest()


def _split(n: int) -> int:
    k = 1
    while k * 2 < n:
        k *= 2
    return k


def root(leaves: list[bytes]) -> bytes:
    """MTH over already-hashed leaves."""
    n = len(leaves)
    if n == 0:
        return hashlib.sha256(b"").digest()
    if n == 1:
        return leaves[0]
    k = _split(n)
    return node_hash(root(leaves[:k]), root(leaves[k:]))


def audit_path(m: int, leaves: list[bytes]) -> list[bytes]:
    """PATH(m, D[n]) over already-hashed leaves, the leaf's sibling first."""
    n = len(leaves)
    if n <= 1:
        return []
    k = _split(n)
    if m < k:
        return audit_path(m, leaves[:k]) + [root(leaves[k:])]
    return audit_path(m - k, leaves[k:]) + [root(leaves[:k])]


# --- Wire-v1 encodings ------------------------------------------------------------------------------

def sth_body(log_id: bytes, tree_size: int, timestamp: int, root_hash: bytes,
             extensions: list[tuple[int, bytes]] = (), widths: dict[str, int] | None = None) -> bytes:
    """The five-element body; `widths` forces longer heads ("array", "tree_size", "timestamp")."""
    widths = widths or {}
    out = head(4, 5, widths.get("array"))
    out += head(2, 32) + log_id
    out += head(0, tree_size, widths.get("tree_size"))
    out += head(0, timestamp, widths.get("timestamp"))
    out += head(2, 32) + root_hash
    out += head(4, len(extensions))
    for ext_type, payload in extensions:
        out += b"\x82" + head(0, ext_type) + head(2, len(payload)) + payload
    return out


def sth_envelope(body: bytes, version: bytes = WIRE_VERSION) -> bytes:
    return b"\x82" + head(3, len(version)) + version + head(2, len(body)) + body


def inclusion_proof(tree_size: int, leaf_index: int, path: list[bytes]) -> bytes:
    return b"\x83" + uint(tree_size) + uint(leaf_index) + head(4, len(path)) + b"".join(
        head(2, 32) + h for h in path)


# --- Keys and signatures ----------------------------------------------------------------------------

class Signer:
    """An ML-DSA-65 key made from a 32-byte seed, so the same key can be made again."""

    def __init__(self, seed: bytes):
        from cryptography.hazmat.primitives.asymmetric.mldsa import MLDSA65PrivateKey
        self._key = MLDSA65PrivateKey.from_seed_bytes(seed)
        self.public_key = self._key.public_key().public_bytes_raw()
        self.log_id = hashlib.sha256(self.public_key).digest()

    def sign(self, message: bytes, context: bytes = STH_SIGNATURE_CONTEXT) -> bytes:
        return self._key.sign(message, context)


def seed_from(label: str) -> bytes:
    return hashlib.sha256(label.encode()).digest()
