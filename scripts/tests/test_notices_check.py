"""notices_check.py against artefacts made here: wheels, sdists and install prefixes whose binaries
hold (or not) a library's marker bytes, each carrying one fault it must catch, or none."""
import io
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import notices_check  # noqa: E402

ROOT = notices_check.ROOT
NATIVE = b"\x7fELF...dcbor tables..."
OPENSSL = NATIVE + b"OpenSSL 3.5.7 9 Jun 2026\x00"
LIBOQS = NATIVE + b"ML-DSA-65\x00Falcon-512\x00"
BASE = ("LICENSE", "NOTICE")
OSSL_NOTICE, OQS_NOTICE = "licenses/NOTICE-OpenSSL", "licenses/LICENSE-liboqs"
APACHE_UNICODE = "Apache-2.0 AND Unicode-3.0"


def source(name: str) -> bytes:
    return (ROOT / name).read_bytes()


WHEELS = [
    # id, module bytes, notices carried (name -> bytes, None: this tree's copy), License, problem
    ("native", NATIVE, BASE, APACHE_UNICODE, None),
    ("openssl", OPENSSL, (*BASE, OSSL_NOTICE), APACHE_UNICODE, None),
    ("liboqs", LIBOQS, (*BASE, OQS_NOTICE), APACHE_UNICODE + " AND MIT", None),
    ("openssl-without-its-notice", OPENSSL, BASE, APACHE_UNICODE,
     "lacks licenses/NOTICE-OpenSSL, required by halyx_verifier.abi3.so"),
    ("liboqs-licence-not-named", LIBOQS, (*BASE, OQS_NOTICE), APACHE_UNICODE, "does not name MIT"),
    ("no-unicode-notice", NATIVE, ("LICENSE",), APACHE_UNICODE, "lacks NOTICE"),
    ("notice-for-what-it-lacks", NATIVE, (*BASE, OSSL_NOTICE), APACHE_UNICODE,
     "carries licenses/NOTICE-OpenSSL, but contains nothing it covers"),
    ("edited-notice", NATIVE, {"LICENSE": None, "NOTICE": b"edited"}, APACHE_UNICODE,
     "its NOTICE is not this source tree's"),
    ("licence-not-named", NATIVE, BASE, "Apache-2.0", "does not name Unicode-3.0"),
]


def make_wheel(tmp_path, module, carried, license_field, listed=None):
    carried = carried if isinstance(carried, dict) else dict.fromkeys(carried)
    wheel = tmp_path / "halyx_verifier-0.1.0-cp311-abi3-manylinux_2_17_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as z:
        z.writestr("halyx_verifier.abi3.so", module)
        for name, data in carried.items():
            z.writestr(f"halyx_verifier-0.1.0.dist-info/{Path(name).name}", data or source(name))
        files = "".join(f"License-File: {n}\n" for n in (listed if listed is not None else carried))
        z.writestr("halyx_verifier-0.1.0.dist-info/METADATA",
                   f"Metadata-Version: 2.1\nName: halyx-verifier\nLicense: {license_field}\n{files}\n")
    return wheel


@pytest.mark.parametrize("module, carried, license_field, want", [w[1:] for w in WHEELS],
                         ids=[w[0] for w in WHEELS])
def test_wheel(tmp_path, module, carried, license_field, want):
    _, problems = notices_check.check_wheel(make_wheel(tmp_path, module, carried, license_field))
    assert problems == [] if want is None else any(want in p for p in problems), problems


def test_wheel_metadata_lists_what_it_carries(tmp_path):
    wheel = make_wheel(tmp_path, NATIVE, BASE, APACHE_UNICODE, listed=["LICENSE"])
    _, problems = notices_check.check_wheel(wheel)
    assert problems == ["halyx_verifier-0.1.0-cp311-abi3-manylinux_2_17_x86_64.whl: METADATA lists "
                        "License-File LICENSE, the wheel carries LICENSE, NOTICE"]


@pytest.mark.parametrize("carried, want", [
    pytest.param((*BASE, OSSL_NOTICE, OQS_NOTICE), None, id="complete"),
    pytest.param((*BASE, OSSL_NOTICE), "lacks licenses/LICENSE-liboqs", id="liboqs-notice-left-out"),
])
def test_sdist(tmp_path, carried, want):
    sdist = tmp_path / "halyx-verifier-0.1.0.tar.gz"
    with tarfile.open(sdist, "w:gz") as t:
        for name in ("CMakeLists.txt", *carried):
            data = source(name)
            info = tarfile.TarInfo(f"halyx-verifier-0.1.0/{name}")
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    _, problems = notices_check.check_sdist(sdist)
    assert problems == [] if want is None else any(want in p for p in problems), problems


@pytest.mark.parametrize("binary, library, carried, want", [
    pytest.param(NATIVE, "bin/halyx-verify", BASE, None, id="native"),
    pytest.param(OPENSSL, "lib/halyx/libhalyx_crypto.a", BASE, "lacks licenses/NOTICE-OpenSSL, required by "
                 "lib/halyx/libhalyx_crypto.a", id="bundled-libcrypto-without-notice"),
    pytest.param(LIBOQS, "bin/halyx-verify", (*BASE, OQS_NOTICE), None, id="liboqs-linked-in"),
])
def test_install(tmp_path, binary, library, carried, want):
    (tmp_path / library).parent.mkdir(parents=True)
    (tmp_path / library).write_bytes(binary)
    doc = tmp_path / "share/doc/halyx_verifier"
    doc.mkdir(parents=True)
    for name in carried:
        (doc / Path(name).name).write_bytes(source(name))
    _, problems = notices_check.check_install(tmp_path)
    assert problems == [] if want is None else any(want in p for p in problems), problems
