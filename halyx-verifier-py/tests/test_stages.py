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


class TestDecodingStages:
    @pytest.mark.parametrize("change, want", [
        pytest.param(lambda c: fixture_call("signed_trailing_byte"),
                     "STH envelope decode failed: trailing garbage: 1 bytes remain after decode",
                     id="signed-sth-with-trailing-byte"),
        pytest.param(lambda c: {**c, "proof_bytes": b"\x82\x01\x00"},
                     "inclusion proof decode failed: expected array length 3 at offset 0, got 2 "
                     "(while reading inclusion proof array(3))", id="proof-array-of-two"),
        pytest.param(lambda c: {**c, "proof_bytes": b"", "leaf_bytes": b"\xff"},
                     "inclusion proof decode failed: unexpected end of input at offset 0 while reading "
                     "inclusion proof array(3)", id="bad-proof-reported-before-bad-leaf"),
        pytest.param(lambda c: {**c, "proof_bytes": c["proof_bytes"] + b"\x00"},
                     "inclusion proof decode failed: trailing garbage: 1 bytes remain after decode",
                     id="proof-trailing-byte"),
        pytest.param(lambda c: {**c, "leaf_bytes": b""},
                     "leaf decode failed: CBOR decode error: early end of CBOR data", id="empty-leaf"),
        pytest.param(lambda c: {**c, "leaf_bytes": b"\x80"},
                     "leaf decode failed: malformed leaf: expected map at top level", id="leaf-array"),
        pytest.param(lambda c: {**c, "leaf_bytes": c["leaf_bytes"] + b"\x00\x00"},
                     "leaf decode failed: CBOR decode error: the decoded CBOR had 2 extra bytes at the end",
                     id="leaf-trailing-bytes"),
        pytest.param(lambda c: {**c, "leaf_bytes": b"\xa1\x6eschema_version\x02"},
                     "leaf decode failed: unsupported schema_version: expected 1, got 2", id="schema-2"),
    ])
    def test_decode_failures(self, valid_call, change, want):
        cls, text, _ = failure(change(valid_call))
        assert (cls, text) == (hv.HalyxVerificationError, want)


def hash_list(values):
    return "[" + ", ".join(str(v) for v in values) + "]"


class TestCombinedStep:
    def test_sth_naming_another_log_signed_by_the_callers_key(self):
        expect = fixture_expectation("other_log")
        cls, text, _ = failure(fixture_call("other_log"))
        assert cls is hv.HalyxInvalidProofError
        assert text == (f"STH verification failed: log_id mismatch: STH claims {hash_list(expect['sth_claims'])}, "
                        f"but ca_public_key derives {hash_list(expect['derived'])}")

    def test_validly_signed_sth_with_long_heads_fails_the_second_check(self):
        cls, text, _ = failure(fixture_call("non_shortest_sth"))
        assert (cls, text) == (hv.HalyxInvalidProofError, "STH verification failed: ML-DSA-65 signature is invalid")

    @pytest.mark.parametrize("change", [
        pytest.param(lambda c: fixture_call("extra_entry_hashed_raw"), id="issuer-hashed-the-extra-entry"),
        # The path fits a smaller tree in which the leaf would sit elsewhere; reporting index 1
        # for the fifth leaf would be a wrong answer.
        pytest.param(lambda c: fixture_call("last_of_five_as_index_1_of_2"), id="path-fits-a-smaller-tree"),
        pytest.param(lambda c: {**c, "leaf_bytes": fixture_call("single_leaf")["leaf_bytes"]}, id="other-leaf"),
        pytest.param(lambda c: {**c, "proof_bytes": c["proof_bytes"][:1] + b"\x08\x04" + c["proof_bytes"][3:]},
                     id="index-minus-one"),
        pytest.param(lambda c: {**c, "proof_bytes": c["proof_bytes"][:1] + b"\x08\x08" + c["proof_bytes"][3:]},
                     id="index-equals-size"),
        pytest.param(lambda c: {**c, "proof_bytes": c["proof_bytes"][:-1] + bytes([c["proof_bytes"][-1] ^ 8])},
                     id="flipped-bit-in-last-path-element"),
        pytest.param(lambda c: {**c, "proof_bytes": b"\x83\x08\x05\x82" + c["proof_bytes"][4:4 + 2 * 34]},
                     id="path-element-removed"),
        pytest.param(lambda c: {**c, "proof_bytes": b"\x83\x08\x05\x84" + c["proof_bytes"][4:] +
                                c["proof_bytes"][4:4 + 34]}, id="path-element-added"),
    ])
    def test_inclusion_failures(self, valid_call, change):
        cls, text, _ = failure(change(valid_call))
        assert (cls, text) == (hv.HalyxInvalidProofError, "Merkle inclusion proof invalid")


class TestSuccess:
    @pytest.mark.parametrize("name", [
        "valid",
        "extra_entry",               # extra entries are dropped before hashing
        "proof_states_other_size",   # the STH's tree size is reported, not the proof's
        "extensions_max_timestamp",  # any timestamp, extensions carried through the re-encoding
        "single_leaf",
        "last_of_five",
    ])
    def test_verified_fields(self, name):
        expect = fixture_expectation(name)
        result = hv.verify_inclusion(**fixture_call(name))
        assert type(result) is hv.VerificationResult
        assert (result.leaf_index, result.tree_size, result.timestamp_ms) == (
            expect["leaf_index"], expect["tree_size"], expect["timestamp_ms"])

    def test_positional_call(self, valid_call):
        assert hv.verify_inclusion(*valid_call.values()).leaf_index == 5

    def test_arguments_are_left_untouched(self, valid_call):
        before = {k: bytes(v) for k, v in valid_call.items()}
        hv.verify_inclusion(**valid_call)
        assert valid_call == before
