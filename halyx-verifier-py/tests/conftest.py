"""Shared set-up: the module under test and one valid call built from committed fixtures.

The module is imported from $HALYX_MODULE_DIR when set (the build tree, as ctest sets it), else from
wherever it is installed. Every fixture call in data/fixtures.json was made by the independent
issuer in tools/issuer; each test changes one thing of a valid call.
"""
import json
import os
import sys
from pathlib import Path

import pytest

if os.environ.get("HALYX_MODULE_DIR"):
    sys.path.insert(0, os.environ["HALYX_MODULE_DIR"])

import halyx_verifier  # noqa: E402

DATA = Path(__file__).resolve().parent / "data"
ARGUMENT_NAMES = ("leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key")

_FIXTURES = json.loads((DATA / "fixtures.json").read_text())


def fixture_call(name: str) -> dict:
    """The five arguments of a fixture call, as bytes, keyed by parameter name."""
    raw = _FIXTURES["calls"][name]
    return {k: bytes.fromhex(raw[k]) for k in ARGUMENT_NAMES}


def fixture_expectation(name: str) -> dict:
    """What a fixture call states about its outcome (fields other than the arguments)."""
    return {k: v for k, v in _FIXTURES["calls"][name].items() if k not in ARGUMENT_NAMES}


@pytest.fixture
def hv():
    return halyx_verifier


@pytest.fixture
def valid_call() -> dict:
    return fixture_call("valid")
