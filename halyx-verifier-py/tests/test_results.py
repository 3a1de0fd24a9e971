"""VerificationResult instances: read-only unsigned fields, repr, identity semantics, no pickling."""
import copy
import pickle

import pytest

import halyx_verifier as hv
from conftest import fixture_call


@pytest.fixture(scope="module")
def result():
    return hv.verify_inclusion(**fixture_call("valid"))


@pytest.fixture(scope="module")
def max_result():
    return hv.verify_inclusion(**fixture_call("extensions_max_timestamp"))


def test_repr_and_str(result, max_result):
    assert repr(result) == "VerificationResult(leaf_index=5, tree_size=8, timestamp_ms=1733600000123)"
    assert str(result) == repr(result)
    assert repr(max_result) == "VerificationResult(leaf_index=5, tree_size=8, timestamp_ms=18446744073709551615)"


def test_largest_value_reads_back_unsigned(max_result):
    assert max_result.timestamp_ms == 18446744073709551615 == 2**64 - 1
    assert type(max_result.timestamp_ms) is int


def test_identity_semantics(result):
    again = hv.verify_inclusion(**fixture_call("valid"))
    assert again is not result and again != result and result == result
    assert hash(result) != hash(again) or result is again


def test_type(result):
    assert type(result) is hv.VerificationResult
    assert type(result).__module__ == "builtins"
    assert not hasattr(result, "__dict__")


@pytest.mark.parametrize("attribute", ["leaf_index", "tree_size", "timestamp_ms"])
def test_fields_are_read_only(result, attribute):
    with pytest.raises(AttributeError) as caught:
        setattr(result, attribute, 0)
    assert str(caught.value) == f"attribute '{attribute}' of 'builtins.VerificationResult' objects is not writable"
    with pytest.raises(AttributeError):
        delattr(result, attribute)


def test_no_new_attributes(result):
    with pytest.raises(AttributeError) as caught:
        result.verified = True
    # The text is the interpreter's own and grew a clause in 3.13; an instance of object, which has
    # no __dict__ either, shows what this interpreter says.
    with pytest.raises(AttributeError) as plain:
        object().verified = True
    assert str(caught.value) == str(plain.value).replace("'object'", "'builtins.VerificationResult'", 1)
    assert str(caught.value).startswith("'builtins.VerificationResult' object has no attribute 'verified'")


@pytest.mark.parametrize("action", [
    pytest.param(copy.copy, id="copy"),
    pytest.param(copy.deepcopy, id="deepcopy"),
    pytest.param(lambda r: pickle.dumps(r, protocol=pickle.HIGHEST_PROTOCOL), id="pickle"),
])
def test_cannot_be_copied_or_pickled(result, action):
    with pytest.raises(TypeError):
        action(result)
