#!/usr/bin/env python3
"""Checks that an artefact of this project carries the licence and notices its contents require.

    scripts/notices_check.py WHEEL.whl|SDIST.tar.gz|INSTALL_PREFIX...

What an artefact contains is read from the artefact itself, not from how it was built:
  - every artefact holds the NFC tables generated from the Unicode Character Database (the
    sdist as source, everything else compiled in), so it needs LICENSE and NOTICE, which carries
    the Unicode licence;
  - a shipped binary (a wheel's modules; an install's programs and static libraries) that holds
    OpenSSL's version text holds libcrypto and needs licenses/NOTICE-OpenSSL; one that holds
    liboqs's table of algorithm names holds liboqs and needs licenses/LICENSE-liboqs;
  - the sdist builds every backend, so it carries every notice a build of it may need to ship.
Each required file must be a byte-for-byte copy of this source tree's. A wheel or an install that
carries a notice for a library it does not contain fails too: that claim is as wrong as a missing
one. A wheel's METADATA must name the licence of what every wheel contains (Apache-2.0 AND
Unicode-3.0) and list LICENSE and NOTICE as License-File: the build backend writes METADATA before
the build decides what it links, so a library's notice and licence are declared by the wheel's
SBOM (.dist-info/sboms/, CycloneDX), which must name exactly what the module contains: the Unicode
data at the version of this tree's tables, and each library found, at the version found in the
module, with its licence.

Prints what each artefact needs on stderr; exits 1 on any failure.
"""
from __future__ import annotations

import email.parser
import json
import re
import sys
import tarfile
import zipfile
from pathlib import Path, PurePosixPath

ROOT = Path(__file__).resolve().parents[1]
ALWAYS = ("LICENSE", "NOTICE")
# Library notice -> bytes that only a binary containing that library holds: libcrypto's version
# text ("OpenSSL 3.5.7 9 Jun 2026"), and liboqs's table of every algorithm name, which it compiles
# in even when only ML-DSA-65 is enabled (our own code names no Falcon parameter set).
LIBRARIES = {
    "licenses/NOTICE-OpenSSL": re.compile(rb"OpenSSL (\d+\.\d+\.\d+[a-z]*) +\d{1,2} [A-Z][a-z]{2} \d{4}"),
    "licenses/LICENSE-liboqs": re.compile(rb"Falcon-(?:512|1024)\x00"),
}
# The licence expression a wheel's metadata must name for each library it contains.
LICENSE_TERMS = {"licenses/NOTICE-OpenSSL": "Apache-2.0", "licenses/LICENSE-liboqs": "MIT"}
# The SBOM component that declares each library, and the Unicode data every build holds.
SBOM_NAMES = {"licenses/NOTICE-OpenSSL": "OpenSSL", "licenses/LICENSE-liboqs": "liboqs"}
UNICODE = "Unicode Character Database"


def tables_unicode_version() -> str:
    """The Unicode version this tree's NFC tables were generated from, as their first line names it."""
    first = (ROOT / "dcbor/src/nfc_tables.inc").read_text().splitlines()[0]
    m = re.search(r"Unicode (\d+\.\d+\.\d+) data", first)
    assert m, first
    return m.group(1)


def check_sbom(label: str, sboms: dict[str, bytes], needs: dict[str, list[str]],
               binaries: dict[str, bytes]) -> list[str]:
    """Problems of a wheel's SBOM against what its modules contain."""
    if len(sboms) != 1:
        return [f"{label}: has {len(sboms)} CycloneDX SBOMs in its dist-info, not one"]
    try:
        bom = json.loads(next(iter(sboms.values())))
    except ValueError as e:
        return [f"{label}: its SBOM is no JSON: {e}"]
    if bom.get("bomFormat") != "CycloneDX" or not str(bom.get("specVersion", "")).startswith("1."):
        return [f"{label}: its SBOM is no CycloneDX 1.x document"]
    want = {UNICODE: (tables_unicode_version(), "Unicode-3.0")}
    for notice in needs:
        if notice in SBOM_NAMES:
            versions = {m.group(1).decode() for data in binaries.values()
                        for m in LIBRARIES[notice].finditer(data) if m.groups()}
            want[SBOM_NAMES[notice]] = (", ".join(sorted(versions)) or None, LICENSE_TERMS[notice])
    problems = []
    components = {c.get("name"): c for c in bom.get("components", [])}
    for name in sorted(components.keys() - want.keys()):
        problems.append(f"{label}: its SBOM names {name}, which the module does not contain")
    for name, (version, term) in want.items():
        c = components.get(name)
        if c is None:
            problems.append(f"{label}: its SBOM does not name {name}, which the module contains")
            continue
        if version is not None and c.get("version") != version:
            problems.append(f"{label}: its SBOM gives {name} {c.get('version')}, the module holds {version}")
        if [x.get("license", {}).get("id") for x in c.get("licenses", [])] != [term]:
            problems.append(f"{label}: its SBOM does not give {name} the licence {term}")
    main_component = bom.get("metadata", {}).get("component", {})
    expression = " AND ".join(x.get("expression", "") for x in main_component.get("licenses", []))
    for term in {t for _, t in want.values()} | {"Apache-2.0"}:
        if term not in re.split(r"\s+AND\s+", expression):
            problems.append(f"{label}: its SBOM's licence expression ({expression}) does not name {term}")
    refs = {c.get("bom-ref") for c in components.values()}
    depends = {r for d in bom.get("dependencies", []) if d.get("ref") == main_component.get("bom-ref")
               for r in d.get("dependsOn", [])}
    if depends != refs:
        problems.append(f"{label}: its SBOM's dependencies name {sorted(depends)}, its components {sorted(refs)}")
    return problems


def required_for(binaries: dict[str, bytes]) -> dict[str, list[str]]:
    """Each notice these binaries require, with the binaries that require it."""
    needs: dict[str, list[str]] = {n: ["everything (the NFC tables)"] for n in ALWAYS}
    for name, data in sorted(binaries.items()):
        for notice, marker in LIBRARIES.items():
            if marker.search(data):
                needs.setdefault(notice, []).append(name)
    return needs


def compare(label: str, needs: dict[str, list[str]], carried: dict[str, bytes], exact: bool) -> list[str]:
    """Problems: a required notice missing or not this tree's copy, or (exact) one not required.
    carried maps the notice's path in the source tree to the artefact's bytes for it."""
    problems = []
    for notice, why in needs.items():
        if notice not in carried:
            problems.append(f"{label}: lacks {notice}, required by {', '.join(why)}")
        elif carried[notice] != (ROOT / notice).read_bytes():
            problems.append(f"{label}: its {notice} is not this source tree's")
    if exact:
        problems += [f"{label}: carries {n}, but contains nothing it covers" for n in carried if n not in needs]
    return problems


def by_basename(path: str) -> str | None:
    """The source-tree path of a notice file named like path's last part (wheels flatten them)."""
    name = PurePosixPath(path).name
    return next((n for n in (*ALWAYS, *LIBRARIES) if PurePosixPath(n).name == name), None)


def check_wheel(path: Path) -> tuple[dict[str, list[str]], list[str]]:
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        binaries = {n: wheel.read(n) for n in names if re.search(r"\.so(\.|$)", n)}
        dist_info = [n for n in names if re.fullmatch(r"[^/]+\.dist-info/METADATA", n)]
        if len(dist_info) != 1:
            return {}, [f"{path.name}: has {len(dist_info)} METADATA files, not one"]
        info_dir = dist_info[0].rsplit("/", 1)[0]
        metadata = email.parser.Parser().parsestr(wheel.read(dist_info[0]).decode())
        carried = {}
        for n in names:
            source = by_basename(n) if n.startswith(info_dir + "/") else None
            if source:
                carried[source] = wheel.read(n)
        sboms = {n: wheel.read(n) for n in names if re.fullmatch(rf"{re.escape(info_dir)}/sboms/[^/]+\.cdx\.json", n)}
    needs = required_for(binaries)
    problems = compare(path.name, needs, carried, exact=True)
    listed = sorted(PurePosixPath(f).name for f in metadata.get_all("License-File") or [])
    if listed != sorted(ALWAYS):
        problems.append(f"{path.name}: METADATA lists License-File {', '.join(listed) or 'none'}, "
                        f"not {', '.join(ALWAYS)}")
    license_field = metadata.get("License-Expression") or metadata.get("License") or ""
    terms = set(re.split(r"\s+AND\s+", license_field.strip()))
    for term in ("Apache-2.0", "Unicode-3.0"):
        if term not in terms:
            problems.append(f"{path.name}: METADATA's licence ({license_field}) does not name {term}")
    problems += check_sbom(path.name, sboms, needs, binaries)
    return needs, problems


def check_sdist(path: Path) -> tuple[dict[str, list[str]], list[str]]:
    with tarfile.open(path) as sdist:
        top = sdist.getnames()[0].split("/")[0]
        carried = {}
        for notice in (*ALWAYS, *LIBRARIES):
            try:
                member = sdist.extractfile(f"{top}/{notice}")
            except KeyError:
                continue
            if member:
                carried[notice] = member.read()
    needs = {n: ["the NFC tables' sources"] for n in ALWAYS}
    needs.update({n: ["the build of a backend that links it"] for n in LIBRARIES})
    return needs, compare(path.name, needs, carried, exact=False)


def check_install(prefix: Path) -> tuple[dict[str, list[str]], list[str]]:
    shipped = [p for p in (prefix / "bin").glob("*") if p.is_file()]
    shipped += [p for p in (prefix / "lib").rglob("*.a")]
    needs = required_for({str(p.relative_to(prefix)): p.read_bytes() for p in shipped})
    doc = prefix / "share" / "doc" / "halyx_verifier"
    carried = {}
    for f in (doc.iterdir() if doc.is_dir() else []):
        source = by_basename(f.name)
        if source:
            carried[source] = f.read_bytes()
    return needs, compare(str(prefix), needs, carried, exact=True)


def main(argv: list[str]) -> int:
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    failed = False
    for arg in argv:
        path = Path(arg)
        if path.is_dir():
            needs, problems = check_install(path)
        elif path.name.endswith(".whl"):
            needs, problems = check_wheel(path)
        elif path.name.endswith(".tar.gz"):
            needs, problems = check_sdist(path)
        else:
            needs, problems = {}, [f"{arg}: neither a wheel, an sdist nor an install prefix"]
        print(f"{path.name}: needs {', '.join(needs) or 'nothing known'}", file=sys.stderr)
        for p in problems:
            print(f"FAIL {p}", file=sys.stderr)
        failed |= bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
