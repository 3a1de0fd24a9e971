"""Stage order and the exception each stage raises, with its exact message."""
import pytest

import halyx_verifier as hv
from conftest import fixture_call, fixture_expectation


def failure(call_args):
    with pytest.raises(hv.HalyxVerificationError) as caught:
        hv.verify_inclusion(**call_args)
    return type(caught.value), str(caught.value), caught.value


class TestLengthsComeFirst:
    @pytest.mark.parametrize("key_len", [0, 1, 1951, 1953, 4000])
    def test_wrong_key_length(self, valid_call, key_len):
        cls, text, e = failure({**valid_call, "ca_public_key": bytes(key_len)})
        assert cls is hv.HalyxVerificationError
        assert text == f"ca_public_key rejected by oqs (expected 1952 bytes, got {key_len})"
        assert e.args == (text,) and e.__cause__ is None and e.__context__ is None

    def test_short_key_wins_over_every_other_fault(self):
        cls, text, _ = failure({"leaf_bytes": b"\xff", "proof_bytes": b"", "sth_bytes": b"",
                                "signature": bytes(5000), "ca_public_key": bytes(1951)})
        assert (cls, text) == (hv.HalyxVerificationError,
                               "ca_public_key rejected by oqs (expected 1952 bytes, got 1951)")

    @pytest.mark.parametrize("sig_len", [3310, 6618])
    def test_signature_too_long(self, valid_call, sig_len):
        cls, text, _ = failure({**valid_call, "signature": valid_call["signature"] + bytes(sig_len - 3309)})
        assert cls is hv.HalyxInvalidProofError
        assert text == f"signature rejected by oqs (expected 3309 bytes, got {sig_len})"


class TestSignatureOverCallerBytes:
    @pytest.mark.parametrize("change", [
        pytest.param(lambda c: {**c, "signature": c["signature"][:3308]}, id="3308-byte-signature"),
        pytest.param(lambda c: {**c, "signature": b""}, id="empty-signature"),
        pytest.param(lambda c: {**c, "signature": bytes([c["signature"][0] ^ 1]) + c["signature"][1:]},
                     id="flipped-bit"),
        pytest.param(lambda c: {**c, "sth_bytes": c["sth_bytes"] + b"\x00"}, id="sth-extended-unsigned"),
        pytest.param(lambda c: {**c, "sth_bytes": b"not an envelope"}, id="garbage-sth-unsigned"),
        pytest.param(lambda c: fixture_call("empty_context"), id="empty-context"),
        pytest.param(lambda c: fixture_call("other_context"), id="other-context"),
        pytest.param(lambda c: {**c, "ca_public_key": fixture_call("other_log")["ca_public_key"][::-1]},
                     id="other-key"),
    ])
    def test_refused_before_decoding(self, valid_call, change):
        cls, text, _ = failure(change(valid_call))
        assert (cls, text) == (hv.HalyxInvalidProofError, "ML-DSA-65 signature verification failed")
