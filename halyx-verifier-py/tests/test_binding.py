"""Argument binding and conversion: which calls bind, and the exact TypeError of those that don't."""
import pytest

import halyx_verifier as hv
from conftest import ARGUMENT_NAMES

NAME = "verify_inclusion()"
MISSING_ALL = ("verify_inclusion() missing 5 required positional arguments: "
               "'leaf_bytes', 'proof_bytes', 'sth_bytes', 'signature', and 'ca_public_key'")


def refusal(call):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    return str(caught.value)


# A key one byte short is refused at the first stage after binding, whatever else the call holds, so
# a call that binds is told apart from one that doesn't by the exception's class alone.
SHORT_KEY = bytes(1951)
ARGS = (b"leaf", b"proof", b"sth", b"sig", SHORT_KEY)


def binds(call):
    with pytest.raises(hv.HalyxVerificationError) as caught:
        call()
    assert str(caught.value) == "ca_public_key rejected by oqs (expected 1952 bytes, got 1951)"


@pytest.mark.parametrize("args, kwargs, want", [
    pytest.param((), {}, MISSING_ALL, id="nothing"),
    pytest.param(ARGS[:4], {}, f"{NAME} missing 1 required positional argument: 'ca_public_key'", id="four"),
    pytest.param(ARGS[:3], {}, f"{NAME} missing 2 required positional arguments: 'signature' and 'ca_public_key'",
                 id="three"),
    pytest.param(ARGS[:2], {}, f"{NAME} missing 3 required positional arguments: "
                 "'sth_bytes', 'signature', and 'ca_public_key'", id="two"),
    pytest.param((), {"signature": b""}, f"{NAME} missing 4 required positional arguments: "
                 "'leaf_bytes', 'proof_bytes', 'sth_bytes', and 'ca_public_key'", id="keyword-only-signature"),
    pytest.param(ARGS[:1], {"sth_bytes": b"", "ca_public_key": b""},
                 f"{NAME} missing 2 required positional arguments: 'proof_bytes' and 'signature'", id="gaps"),
    pytest.param(ARGS + (b"",), {}, f"{NAME} takes 5 positional arguments but 6 were given", id="six"),
    pytest.param(ARGS + (b"", b""), {"leaf": b""}, f"{NAME} takes 5 positional arguments but 7 were given",
                 id="too-many-wins-over-bad-keyword"),
    pytest.param(ARGS[:1], {"leaf_bytes": b""}, f"{NAME} got multiple values for argument 'leaf_bytes'",
                 id="positional-and-keyword"),
    pytest.param(ARGS, {"ca_public_key": b""}, f"{NAME} got multiple values for argument 'ca_public_key'",
                 id="last-given-twice"),
    pytest.param((), {"leaf": b""}, f"{NAME} got an unexpected keyword argument 'leaf'",
                 id="unknown-before-missing"),
    pytest.param(ARGS[:1], {"proof_bytes": b"", "Sth_bytes": b"", "leaf_bytes": b""},
                 f"{NAME} got an unexpected keyword argument 'Sth_bytes'", id="first-bad-keyword-in-order"),
    pytest.param(ARGS[:1], {"leaf_bytes": b"", "nope": b""},
                 f"{NAME} got multiple values for argument 'leaf_bytes'", id="keywords-checked-in-order"),
    pytest.param((), {"leaf_bytes\udcff": b""}, f"{NAME} got an unexpected keyword argument 'leaf_bytes\udcff'",
                 id="lone-surrogate"),
    pytest.param((), {"leaf_bytes\x00": b""}, f"{NAME} got an unexpected keyword argument 'leaf_bytes\x00'",
                 id="embedded-nul"),
])
def test_binding_refusals(args, kwargs, want):
    assert refusal(lambda: hv.verify_inclusion(*args, **kwargs)) == want


@pytest.mark.parametrize("positional", range(6))
def test_any_split_of_positional_and_keyword_binds(positional):
    kwargs = dict(zip(ARGUMENT_NAMES[positional:], ARGS[positional:]))
    binds(lambda: hv.verify_inclusion(*ARGS[:positional], **kwargs))


def test_keywords_bind_in_any_order():
    binds(lambda: hv.verify_inclusion(**dict(reversed(list(zip(ARGUMENT_NAMES, ARGS))))))


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("position", range(5))
@pytest.mark.parametrize("value, shown", [
    pytest.param(bytearray(b"x"), "'bytearray' object", id="bytearray"),
    pytest.param(memoryview(b"x"), "'memoryview' object", id="memoryview"),
    pytest.param("x", "'str' object", id="str"),
    pytest.param(7, "'int' object", id="int"),
    pytest.param(None, "'None'", id="None"),
    pytest.param(BytesSubclass, "'type' object", id="a-type"),
])
def test_conversion_refuses_everything_but_bytes(position, value, shown):
    args = list(ARGS)
    args[position] = value
    want = f"argument '{ARGUMENT_NAMES[position]}': {shown} is not an instance of 'bytes'"
    assert refusal(lambda: hv.verify_inclusion(*args)) == want


def test_conversion_error_suppresses_context():
    with pytest.raises(TypeError) as caught:
        hv.verify_inclusion(b"", b"", b"", None, b"")
    assert str(caught.value) == "argument 'signature': 'None' is not an instance of 'bytes'"
    assert caught.value.__cause__ is None and caught.value.__suppress_context__
    assert caught.value.args == ("argument 'signature': 'None' is not an instance of 'bytes'",)


def test_conversion_shows_the_qualified_type_name():
    class Local:
        pass
    want = ("argument 'leaf_bytes': 'test_conversion_shows_the_qualified_type_name.<locals>.Local' "
            "object is not an instance of 'bytes'")
    assert refusal(lambda: hv.verify_inclusion(Local(), *ARGS[1:])) == want


def test_earlier_parameter_is_reported_first():
    want = "argument 'proof_bytes': 'str' object is not an instance of 'bytes'"
    assert refusal(lambda: hv.verify_inclusion(b"", "x", b"", None, b"")) == want


def test_bytes_subclasses_are_accepted_everywhere():
    binds(lambda: hv.verify_inclusion(*(BytesSubclass(a) for a in ARGS)))
