#!/usr/bin/env python3
"""Writes the batch benchmark's signed tree head with the independent issuer (run with a python3
that has `cryptography` >= 48, e.g. pyenv's):

    python3 tools/issuer/make_batch_fixture.py

Output, committed: bench/data/batch_sth.txt, "name value" lines in hex: sth_bytes, the STH of the
2^20-leaf tree of batch_tree.py; signature, the CA's signature over it; ca_public_key. The
signature is randomised and differs on every run; the STH and the key do not.
"""
from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import batch_tree  # noqa: E402
import halyx_issuer as hi  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]


def main() -> None:
    ca = hi.Signer(hi.seed_from(batch_tree.CA_SEED_LABEL))
    sth = batch_tree.sth(ca.log_id, batch_tree.levels(ca.log_id))
    rows = [("sth_bytes", sth.hex()), ("signature", ca.sign(sth).hex()), ("ca_public_key", ca.public_key.hex())]
    out = ROOT / "bench/data/batch_sth.txt"
    out.write_text("# name value; written by tools/issuer/make_batch_fixture.py\n" +
                   "".join(f"{name} {value}\n" for name, value in rows))
    print(f"wrote {out.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
