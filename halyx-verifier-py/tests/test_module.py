"""The module's surface: names, classes, doc strings, the result class, and re-import."""
import importlib
import importlib.metadata
import os
import re
import sys
from pathlib import Path

import pytest

import halyx_verifier as hv

MODULE_DOC = (
    "Halyx ML-DSA-65 post-quantum verifier Python module.\n"
    "\n"
    "Exposes:\n"
    "- `HalyxVerificationError` \u2014 base exception (subclass of `Exception`)\n"
    "- `HalyxInvalidProofError` \u2014 proof/signature verification failed\n"
    "- `HalyxStaleSthError` \u2014 STH older than `max_age`\n"
    "- `VerificationResult` \u2014 result dataclass with `leaf_index`, `tree_size`,\n"
    "  `timestamp_ms` read-only attributes\n"
    "- `verify_inclusion(leaf_bytes, proof_bytes, sth_bytes, signature,\n"
    "  ca_public_key)` \u2014 full MTAC provenance verification; raises on failure"
)

RESULT_DOC = (
    "Result returned by a successful [`verify_inclusion`] call.\n"
    "\n"
    "All fields are read-only (`#[pyo3(get)]`). There is intentionally no\n"
    "`verified: bool` field \u2014 a successful return ALWAYS implies verification\n"
    "passed; failure paths raise exceptions (AD-1.6-05 / Stage 6 WARN-8).\n"
    "\n"
    "```python\n"
    "result = halyx_verifier.verify_inclusion(\n"
    "    leaf_bytes=..., proof_bytes=..., sth_bytes=...,\n"
    "    signature=..., ca_public_key=...,\n"
    ")\n"
    "print(result.leaf_index, result.tree_size, result.timestamp_ms)\n"
    "```"
)

FUNCTION_DOC = "\n".join([
    "Verifies full MTAC provenance: STH signature, Merkle inclusion, and leaf hash.",
    "",
    "This function RAISES on ALL failure paths \u2014 it never returns a",
    "``verified=False`` sentinel (AD-1.6-05 / Stage 6 WARN-8).",
    "",
    "# Parameters",
    "",
    "- `leaf_bytes`: dcbor-encoded `MtacLeaf` (RFC 8949 \u00a74.2.1 CDER profile,",
    "  same format as `MtacLeaf.serialize_canonical()` in Rust).",
    "- `proof_bytes`: wire-v1 encoded `InclusionProof` per",
    "  `encode_inclusion_proof_v1` (CBOR `array(3)` of `[uint, uint, array<bstr(32)>]`).",
    "- `sth_bytes`: wire-v1 STH envelope per `encode_signed_tree_head`",
    "  (CBOR `array(2)` of `[tstr(\"HALYX-STH-v1\"), bstr(body)]`). This is the",
    "  EXACT byte string that was passed to ML-DSA-65 `sign_with_ctx_str`.",
    "- `signature`: 3309-byte ML-DSA-65 (FIPS 204) signature over `sth_bytes`",
    "  with ctx `b\"HALYX-STH-v1\"`.",
    "- `ca_public_key`: 1952-byte raw ML-DSA-65 public key (NOT CBOR-encoded).",
    "",
    "# Returns",
    "",
    "On success: `VerificationResult(leaf_index, tree_size, timestamp_ms)`.",
    "",
    "# Errors",
    "",
    "Returns `PyErr` (which Python sees as one of the exception types below) on",
    "any failure. Never returns `Ok` with a \"not verified\" sentinel.",
    "",
    "- `HalyxInvalidProofError` \u2014 STH signature invalid, Merkle inclusion failed,",
    "  or leaf hash mismatch.",
    "- `HalyxVerificationError` \u2014 malformed input bytes, wrong public key length,",
    "  or other structural failures.",
    "",
    "# Domain separation",
    "",
    "The FIPS 204 \u00a75.2 ctx string `b\"HALYX-STH-v1\"` is applied at the ML-DSA-65",
    "layer (not visible in `sth_bytes`). External verifiers MUST pass this ctx",
    "string; passing an empty ctx will reject valid Halyx signatures.",
])


class TestNames:
    def test_all_lists_the_five_names_in_order(self):
        assert hv.__all__ == ["HalyxVerificationError", "HalyxInvalidProofError", "HalyxStaleSthError",
                              "VerificationResult", "verify_inclusion"]
        assert all(hasattr(hv, name) for name in hv.__all__)

    def test_module_doc(self):
        assert hv.__doc__ == MODULE_DOC

    def test_function_doc_and_text_signature(self):
        import inspect
        assert hv.verify_inclusion.__doc__ == FUNCTION_DOC
        assert hv.verify_inclusion.__text_signature__ == (
            "(leaf_bytes, proof_bytes, sth_bytes, signature, ca_public_key)")
        assert list(inspect.signature(hv.verify_inclusion).parameters) == [
            "leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key"]

    def test_function_is_bound_to_the_module(self):
        assert hv.verify_inclusion.__self__ is hv
        assert hv.verify_inclusion.__module__ == "halyx_verifier"
        assert hv.verify_inclusion.__name__ == "verify_inclusion"


class TestPackage:
    def test_module_is_a_typed_package(self):
        # Type checkers find an installed stub only in a package that holds py.typed (PEP 561): the
        # module is the package's __init__, beside its stub and the marker and nothing else.
        folder = Path(hv.__file__).parent
        assert (folder.name, hv.__name__, hv.__package__, hv.__path__) == (
            "halyx_verifier", "halyx_verifier", "halyx_verifier", [str(folder)])
        files = sorted(p.name for p in folder.iterdir() if p.name != "__pycache__")
        assert files == sorted([Path(hv.__file__).name, "__init__.pyi", "py.typed"])
        assert Path(hv.__file__).name.startswith("__init__.")

    def test_version_is_cmakes_project_version(self):
        # One place holds the version; the installed distribution's metadata must agree with it.
        cmake = (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
        version = re.search(r"^project\(halyx_verifier VERSION ([0-9.]+)", cmake, re.M).group(1)
        assert hv.__version__ == version
        assert "__version__" not in hv.__all__
        if not os.environ.get("HALYX_MODULE_DIR"):
            assert importlib.metadata.version("halyx-verifier") == version


class TestExceptionClasses:
    @pytest.mark.parametrize("name, base", [
        ("HalyxVerificationError", Exception),
        ("HalyxInvalidProofError", hv.HalyxVerificationError),
        ("HalyxStaleSthError", hv.HalyxVerificationError),
    ])
    def test_hierarchy_and_names(self, name, base):
        cls = getattr(hv, name)
        assert cls.__bases__ == (base,)
        assert cls.__module__ == "halyx_verifier"
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__doc__ is None
        assert set(vars(cls)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}

    def test_instance_carries_its_message_as_only_argument(self):
        e = hv.HalyxInvalidProofError("text")
        assert e.args == ("text",) and str(e) == "text"


class TestVerificationResult:
    def test_class_surface(self):
        cls = hv.VerificationResult
        assert cls.__module__ == "builtins"
        assert cls.__name__ == cls.__qualname__ == "VerificationResult"
        assert cls.__doc__ == RESULT_DOC
        assert cls.leaf_index.__doc__ == "0-based index of the verified leaf in the batch Merkle tree."
        assert cls.tree_size.__doc__ == "Number of leaves in the batch Merkle tree at issuance time."
        assert cls.timestamp_ms.__doc__ == "STH timestamp in milliseconds since Unix epoch (RFC 9162 \u00a74.9)."

    def test_cannot_be_instantiated(self):
        with pytest.raises(TypeError) as caught:
            hv.VerificationResult()
        assert str(caught.value) == "cannot create 'builtins.VerificationResult' instances"

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError) as caught:
            type("Sub", (hv.VerificationResult,), {})
        assert str(caught.value) == "type 'builtins.VerificationResult' is not an acceptable base type"


def reimport():
    saved = sys.modules.pop("halyx_verifier")
    try:
        return importlib.import_module("halyx_verifier")
    finally:
        sys.modules["halyx_verifier"] = saved


class TestReimport:
    def test_second_module_object_shares_the_classes(self):
        again = reimport()
        assert again is not hv
        for name in ("HalyxVerificationError", "HalyxInvalidProofError", "HalyxStaleSthError",
                     "VerificationResult"):
            assert getattr(again, name) is getattr(hv, name)
        assert again.verify_inclusion is not hv.verify_inclusion
        assert again.verify_inclusion.__self__ is again
        assert again.__all__ == hv.__all__ and again.__all__ is not hv.__all__

    def test_exception_from_old_module_is_caught_by_new_class(self):
        again = reimport()
        with pytest.raises(again.HalyxVerificationError):
            hv.verify_inclusion(b"", b"", b"", b"", b"")
