"""notices_check.py against artefacts made here: wheels, sdists and install prefixes whose binaries
hold (or not) a library's marker bytes, each carrying one fault it must catch, or none."""
import io
import json
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


UCD = ("Unicode Character Database", notices_check.tables_unicode_version(), "Unicode-3.0")
OSSL = ("OpenSSL", "3.5.7", "Apache-2.0")
OQS = ("liboqs", "0.12.0", "MIT")
IN_MODULE = {NATIVE: [UCD], OPENSSL: [UCD, OSSL], LIBOQS: [UCD, OQS]}


def sbom(components, expression=None, depends=None):
    """A CycloneDX document as the build writes it, naming these (name, version, licence) components."""
    refs = [c[0].lower() for c in components]
    return json.dumps({
        "bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
        "metadata": {"component": {"bom-ref": "halyx-verifier", "name": "halyx-verifier", "licenses": [
            {"expression": expression or " AND ".join(["Apache-2.0", *{c[2]: 0 for c in components}])}]}},
        "components": [{"bom-ref": r, "name": n, "version": v, "licenses": [{"license": {"id": t}}]}
                       for r, (n, v, t) in zip(refs, components)],
        "dependencies": [{"ref": "halyx-verifier", "dependsOn": refs if depends is None else depends}]})


WHEELS = [
    # id, module bytes, notices carried (name -> bytes, None: this tree's copy), License-Expression,
    # SBOM (None: one naming what the module holds), problem
    ("native", NATIVE, BASE, APACHE_UNICODE, None, None),
    ("openssl", OPENSSL, (*BASE, OSSL_NOTICE), APACHE_UNICODE, None, None),
    ("liboqs", LIBOQS, (*BASE, OQS_NOTICE), APACHE_UNICODE, None, None),
    ("openssl-without-its-notice", OPENSSL, BASE, APACHE_UNICODE, None,
     "lacks licenses/NOTICE-OpenSSL, required by halyx_verifier/__init__.abi3.so"),
    ("no-unicode-notice", NATIVE, ("LICENSE",), APACHE_UNICODE, None, "lacks NOTICE"),
    ("notice-for-what-it-lacks", NATIVE, (*BASE, OSSL_NOTICE), APACHE_UNICODE, None,
     "carries licenses/NOTICE-OpenSSL, but contains nothing it covers"),
    ("edited-notice", NATIVE, {"LICENSE": None, "NOTICE": b"edited"}, APACHE_UNICODE, None,
     "its NOTICE is not this source tree's"),
    ("licence-not-named", NATIVE, BASE, "Apache-2.0", None, "does not name Unicode-3.0"),
    ("no-sbom", NATIVE, BASE, APACHE_UNICODE, "", "has 0 CycloneDX SBOMs"),
    ("sbom-not-json", NATIVE, BASE, APACHE_UNICODE, "{", "its SBOM is no JSON"),
    ("sbom-lacks-openssl", OPENSSL, (*BASE, OSSL_NOTICE), APACHE_UNICODE, sbom([UCD]),
     "its SBOM does not name OpenSSL, which the module contains"),
    ("sbom-claims-openssl", NATIVE, BASE, APACHE_UNICODE, sbom([UCD, OSSL]),
     "its SBOM names OpenSSL, which the module does not contain"),
    ("sbom-openssl-version-not-built", OPENSSL, (*BASE, OSSL_NOTICE), APACHE_UNICODE,
     sbom([UCD, ("OpenSSL", "3.5.6", "Apache-2.0")]), "gives OpenSSL 3.5.6, the module holds 3.5.7"),
    ("sbom-unicode-version-not-the-tables", NATIVE, BASE, APACHE_UNICODE,
     sbom([("Unicode Character Database", "15.1.0", "Unicode-3.0")]), "gives Unicode Character Database 15.1.0"),
    ("sbom-liboqs-licence-not-named", LIBOQS, (*BASE, OQS_NOTICE), APACHE_UNICODE,
     sbom([UCD, OQS], expression="Apache-2.0 AND Unicode-3.0"), "does not name MIT"),
    ("sbom-dependency-missing", OPENSSL, (*BASE, OSSL_NOTICE), APACHE_UNICODE,
     sbom([UCD, OSSL], depends=["unicode character database"]), "its SBOM's dependencies name"),
]


def make_wheel(tmp_path, module, carried, license_field, bom=None, listed=BASE):
    carried = carried if isinstance(carried, dict) else dict.fromkeys(carried)
    wheel = tmp_path / "halyx_verifier-0.1.0-cp311-abi3-manylinux_2_17_x86_64.whl"
    info = "halyx_verifier-0.1.0.dist-info"
    with zipfile.ZipFile(wheel, "w") as z:
        z.writestr("halyx_verifier/__init__.abi3.so", module)
        for name, data in carried.items():
            z.writestr(f"{info}/licenses/{name}", data or source(name))
        files = "".join(f"License-File: {n}\n" for n in listed)
        z.writestr(f"{info}/METADATA",
                   f"Metadata-Version: 2.4\nName: halyx-verifier\nLicense-Expression: {license_field}\n{files}\n")
        if bom != "":
            z.writestr(f"{info}/sboms/halyx_verifier.cdx.json", bom or sbom(IN_MODULE[module]))
    return wheel


@pytest.mark.parametrize("module, carried, license_field, bom, want", [w[1:] for w in WHEELS],
                         ids=[w[0] for w in WHEELS])
def test_wheel(tmp_path, module, carried, license_field, bom, want):
    _, problems = notices_check.check_wheel(make_wheel(tmp_path, module, carried, license_field, bom))
    assert problems == [] if want is None else any(want in p for p in problems), problems


def test_wheel_metadata_lists_the_project_notices(tmp_path):
    wheel = make_wheel(tmp_path, OPENSSL, (*BASE, OSSL_NOTICE), APACHE_UNICODE, listed=["LICENSE"])
    _, problems = notices_check.check_wheel(wheel)
    assert problems == ["halyx_verifier-0.1.0-cp311-abi3-manylinux_2_17_x86_64.whl: METADATA lists "
                        "License-File LICENSE, not LICENSE, NOTICE"]


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
