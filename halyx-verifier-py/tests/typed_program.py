"""A typed program over the whole API, for `mypy --strict` against the installed package, run by
scripts/test-wheel.sh from outside the source tree: mypy must find the package's stub by itself
(py.typed), and every type below must be the one the stub gives. Run, it verifies the sample folder
it is given and a cut signature, and prints the result.

    python typed_program.py examples/sample
"""
import sys
from pathlib import Path
from typing import assert_type

import halyx_verifier
from halyx_verifier import (
    HalyxInvalidProofError,
    HalyxStaleSthError,
    HalyxVerificationError,
    VerificationResult,
    verify_inclusion,
)

FILES = ("leaf.cbor", "proof.bin", "sth.bin", "sth.sig", "ca.pub")


def verify(folder: Path, cut_signature: bool = False) -> VerificationResult:
    leaf, proof, sth, signature, key = ((folder / name).read_bytes() for name in FILES)
    if cut_signature:
        signature = signature[:-1]
    result = verify_inclusion(leaf_bytes=leaf, proof_bytes=proof, sth_bytes=sth, signature=signature,
                              ca_public_key=key)
    assert_type(result, VerificationResult)
    return result


def describe(result: VerificationResult) -> str:
    index, size, when = result.leaf_index, result.tree_size, result.timestamp_ms
    assert_type(index, int)
    assert_type(size, int)
    assert_type(when, int)
    return f"leaf {index} of {size}, signed at {when} ms"


def failure(error: HalyxVerificationError) -> str:
    kind = "stale" if isinstance(error, HalyxStaleSthError) else (
        "invalid" if isinstance(error, HalyxInvalidProofError) else "unusable")
    return f"{kind}: {error}"


def main(argv: list[str]) -> int:
    assert_type(halyx_verifier.__version__, str)
    assert_type(halyx_verifier.__all__, list[str])
    folder = Path(argv[0])
    print(f"halyx_verifier {halyx_verifier.__version__}: {describe(verify(folder))}")
    try:
        verify(folder, cut_signature=True)
    except HalyxVerificationError as e:
        print(failure(e))
        return 0
    print("a cut signature was accepted", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
