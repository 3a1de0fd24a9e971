"""halyx-verify run as a user runs it, judged against the Python module and the independent issuer.

ctest sets HALYX_VERIFY (the program), HALYX_MODULE_DIR (the module built beside it), HALYX_VERSION
and HALYX_BACKEND. The module is the reference for every verdict: the program must reach the same
result, class and message for every fixture call of tools/issuer and for tampered variants.
"""
import functools
import hashlib
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "issuer"))
if os.environ.get("HALYX_MODULE_DIR"):
    sys.path.insert(0, os.environ["HALYX_MODULE_DIR"])

import halyx_issuer as hi  # noqa: E402
import halyx_verifier as hv  # noqa: E402

VERIFY = str(Path(os.environ["HALYX_VERIFY"]).resolve())
SAMPLE = ROOT / "examples" / "sample"
SAMPLE_FILES = ("leaf.cbor", "proof.bin", "sth.bin", "sth.sig", "ca.pub")
ARGUMENTS = ("leaf_bytes", "proof_bytes", "sth_bytes", "signature", "ca_public_key")
CALLS = json.loads((ROOT / "halyx-verifier-py" / "tests" / "data" / "fixtures.json").read_text())["calls"]
STATUS = {"HalyxInvalidProofError": 1, "HalyxVerificationError": 2}
# AddressSanitizer reserves terabytes of address space and keeps freed memory in quarantine, so
# neither resident memory nor an address-space limit means anything under it.
measures_memory = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                     reason="memory is not meaningful under AddressSanitizer")


def run(*args, stdin: bytes = b"") -> subprocess.CompletedProcess:
    return subprocess.run([VERIFY, *map(str, args)], input=stdin, capture_output=True, timeout=60)


def fixture_call(name: str) -> dict:
    return {k: bytes.fromhex(CALLS[name][k]) for k in ARGUMENTS}


def sample_call() -> dict:
    return {k: (SAMPLE / f).read_bytes() for k, f in zip(ARGUMENTS, SAMPLE_FILES)}


def write_call(directory: Path, call: dict) -> list[Path]:
    paths = []
    for name in ARGUMENTS:
        (directory / name).write_bytes(call[name])
        paths.append(directory / name)
    return paths


LEAF_FIELDS = ("schema_version", "agent_id", "sponsor_id", "authorized_scopes", "not_before", "not_after")


def module_outcome(call: dict):
    """The module's verdict; on success with the leaf's six fields as inspect leaf shows them."""
    try:
        r = hv.verify_inclusion(**call)
    except hv.HalyxVerificationError as e:
        return type(e).__name__, str(e)
    shown = json.loads(run("inspect", "leaf", "-", stdin=call["leaf_bytes"]).stdout)
    return {"leaf_index": r.leaf_index, "tree_size": r.tree_size, "timestamp_ms": r.timestamp_ms,
            **{k: shown[k] for k in LEAF_FIELDS}}


JSON_TEXT = rb'"(?:[^"\\]|\\.)*"'
TEXT_OUTPUT = re.compile(rb"verified: leaf_index=(\d+) tree_size=(\d+) timestamp_ms=(\d+)\n"
                         rb"leaf: schema_version=(\d+) agent_id=(%s) sponsor_id=(%s) "
                         rb"authorized_scopes=(\[(?:%s(?:, %s)*)?\]) not_before=(\d+) not_after=(\d+)\n"
                         % (JSON_TEXT, JSON_TEXT, JSON_TEXT, JSON_TEXT))


def parse_text_output(stdout: bytes) -> dict:
    m = TEXT_OUTPUT.fullmatch(stdout)
    assert m, stdout
    return dict(zip(("leaf_index", "tree_size", "timestamp_ms", *LEAF_FIELDS), map(json.loads, m.groups())))


def last_stderr_line(p: subprocess.CompletedProcess) -> str:
    return p.stderr.decode().splitlines()[-1]


def cli_outcome(paths: list[Path], as_json: bool):
    """The program's verdict in the module's terms, after checking that its outputs agree."""
    p = run(*(["--json"] if as_json else []), *paths)
    if p.returncode == 0:
        assert p.stderr == b""
        if as_json:
            return json.loads(p.stdout)
        return parse_text_output(p.stdout)
    cls, _, text = last_stderr_line(p).partition(": ")
    assert p.returncode == STATUS[cls]
    if as_json:
        assert json.loads(p.stdout) == {"error": cls, "message": text}
    else:
        assert p.stdout == b""
    return cls, text


def tampered(change) -> dict:
    call = fixture_call("valid")
    call.update(change(call))
    return call


TAMPERED = {
    "key_one_short": lambda c: {"ca_public_key": c["ca_public_key"][:-1]},
    "signature_one_long": lambda c: {"signature": c["signature"] + b"\x00"},
    "signature_bit_flipped": lambda c: {"signature": bytes([c["signature"][0] ^ 1]) + c["signature"][1:]},
    "proof_of_another_leaf": lambda c: {"proof_bytes": fixture_call("last_of_five")["proof_bytes"]},
    "leaf_not_cbor": lambda c: {"leaf_bytes": b"\xff"},
    "empty_leaf_and_proof": lambda c: {"leaf_bytes": b"", "proof_bytes": b""},
}


@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
@pytest.mark.parametrize("name", [*CALLS, *(f"tampered:{t}" for t in TAMPERED)])
def test_outcome_equals_the_module(tmp_path, name, as_json):
    if name.startswith("tampered:"):
        call = tampered(TAMPERED[name.removeprefix("tampered:")])
    else:
        call = fixture_call(name)
    assert cli_outcome(write_call(tmp_path, call), as_json) == module_outcome(call)


class TestSample:
    @pytest.mark.parametrize("stdin_at", [None, 0, 1, 2, 3, 4])
    def test_verifies_from_files_or_stdin(self, stdin_at):
        paths = [SAMPLE / f for f in SAMPLE_FILES]
        stdin = b""
        if stdin_at is not None:
            stdin, paths[stdin_at] = paths[stdin_at].read_bytes(), "-"
        want = module_outcome(sample_call())
        p = run(*paths, stdin=stdin)
        assert (p.returncode, p.stderr) == (0, b"")
        assert parse_text_output(p.stdout) == want

    def test_tampered_leaf_is_invalid_proof(self, tmp_path):
        call = sample_call()
        call["leaf_bytes"] = call["leaf_bytes"].replace(b"agent-1000", b"agent-1001")
        paths = write_call(tmp_path, call)
        p = run(*paths)
        assert p.returncode == 1
        assert last_stderr_line(p) == "HalyxInvalidProofError: Merkle inclusion proof invalid"
        p = run("--json", *paths)
        assert json.loads(p.stdout) == {"error": "HalyxInvalidProofError", "message": "Merkle inclusion proof invalid"}

    def test_malformed_proof_is_verification_error(self, tmp_path):
        paths = write_call(tmp_path, {**sample_call(), "proof_bytes": b"\x80"})
        p = run(*paths)
        assert p.returncode == 2
        assert last_stderr_line(p) == ("HalyxVerificationError: inclusion proof decode failed: expected array "
                                       "length 3 at offset 0, got 0 (while reading inclusion proof array(3))")


class TestUsage:
    @pytest.mark.parametrize("args, status, names", [
        pytest.param([], 64, "got 0", id="no-files"),
        pytest.param(["a"] * 6, 64, "got 6", id="six-files"),
        pytest.param(["--jsn", *SAMPLE_FILES], 64, "'--jsn'", id="unknown-option"),
        pytest.param(["-", "-", "c", "d", "e"], 64, "('-')", id="stdin-twice"),
        pytest.param(["inspect", "sth"], 64, "got 1", id="inspect-without-file"),
        pytest.param(["inspect", "tree", "x"], 64, "'tree'", id="inspect-unknown-kind"),
        pytest.param(["leaf.cbor", "missing.bin", "sth.bin", "sth.sig", "ca.pub"], 66,
                     "PROOF 'missing.bin': No such file or directory", id="missing-file"),
        pytest.param(["leaf.cbor", "proof.bin", "sth.bin", "sth.sig", "."], 66, "KEY '.': is a directory",
                     id="directory"),
        pytest.param(["inspect", "leaf", "nothing"], 66, "'nothing'", id="inspect-missing-file"),
        pytest.param(["batch", "sth.bin", "sth.sig"], 64, "got 2", id="batch-two-files"),
        pytest.param(["batch", "-j", "0", "sth.bin", "sth.sig", "ca.pub"], 64, "got '0'", id="batch-no-threads"),
        pytest.param(["-j2", *SAMPLE_FILES], 64, "batch only", id="jobs-outside-batch"),
        pytest.param(["batch", "-", "sth.sig", "ca.pub"], 64, "('-')", id="batch-stdin-twice"),
        pytest.param(["/dev/zero", "proof.bin", "sth.bin", "sth.sig", "ca.pub"], 66,
                     "LEAF '/dev/zero': larger than 64 MiB", id="endless-device"),
    ])
    def test_refused_with_one_line_naming_the_problem(self, args, status, names):
        p = subprocess.run([VERIFY, *args], cwd=SAMPLE, capture_output=True, timeout=60)
        assert p.returncode == status
        assert p.stdout == b""
        lines = p.stderr.decode().splitlines()
        assert len(lines) == 1 and lines[0].startswith("halyx-verify: ") and names in lines[0]

    def test_double_dash_ends_options(self, tmp_path):
        (tmp_path / "-key").write_bytes((SAMPLE / "ca.pub").read_bytes())
        files = [SAMPLE / f for f in SAMPLE_FILES[:4]]
        assert run(*files, "-key").returncode == 64
        p = subprocess.run([VERIFY, "--", *files, "-key"], cwd=tmp_path, capture_output=True, timeout=60)
        assert p.returncode == 0, p.stderr

    def test_lost_output_is_not_success(self):
        with open("/dev/full", "wb") as full:
            p = subprocess.run([VERIFY, *(SAMPLE / f for f in SAMPLE_FILES)], stdout=full, stderr=subprocess.PIPE)
        assert p.returncode == 74
        assert p.stderr == b"halyx-verify: cannot write standard output\n"

    def test_help_and_version(self):
        p = run("--help", "extra")
        assert p.returncode == 0 and b"inspect sth|proof|leaf|key FILE" in p.stdout
        for status in (0, 1, 2, 64, 65, 66, 70, 74):
            assert re.search(rb"\n +%d  " % status, p.stdout), status
        p = run("--version")
        lines = p.stdout.decode().splitlines()
        backend = {"native": "halyx native (", "openssl": "OpenSSL 3.", "liboqs": "liboqs 0."}[os.environ["HALYX_BACKEND"]]
        assert p.returncode == 0 and lines[0] == "halyx-verify " + os.environ["HALYX_VERSION"]
        assert lines[1].startswith("ML-DSA-65 backend: " + backend) and len(lines) == 2


def inspect(kind: str, data: bytes):
    p = run("inspect", kind, "-", stdin=data)
    return p.returncode, json.loads(p.stdout), p


class TestInspect:
    """The issuer rebuilds each record from what inspect printed; the bytes must come back."""

    @pytest.mark.parametrize("name", CALLS)
    def test_records_rebuild_to_their_bytes(self, name):
        call = fixture_call(name)
        status, sth, _ = inspect("sth", call["sth_bytes"])
        if name == "signed_trailing_byte":
            assert status == 2
        else:
            assert status == 0
            rebuilt = hi.sth_envelope(hi.sth_body(
                bytes.fromhex(sth["log_id"]), sth["tree_size"], sth["timestamp_ms"], bytes.fromhex(sth["root_hash"]),
                [(e["type"], bytes.fromhex(e["data"])) for e in sth["extensions"]]))
            assert sth["canonical"] == (rebuilt == call["sth_bytes"]) == (name != "non_shortest_sth")
            assert (sth["length"], sth["canonical_length"]) == (len(call["sth_bytes"]), len(rebuilt))

        status, proof, _ = inspect("proof", call["proof_bytes"])
        assert status == 0
        assert hi.inclusion_proof(proof["tree_size"], proof["leaf_index"],
                                  [bytes.fromhex(h) for h in proof["inclusion_path"]]) == call["proof_bytes"]

        status, leaf, _ = inspect("leaf", call["leaf_bytes"])
        assert status == 0 and leaf["schema_version"] == 1
        canonical = hi.Leaf(leaf["agent_id"], leaf["sponsor_id"], leaf["authorized_scopes"], leaf["not_before"],
                            leaf["not_after"]).canonical()
        assert leaf["canonical"] == (canonical == call["leaf_bytes"]) == ("extra_entry" not in name)
        assert (leaf["length"], leaf["canonical_length"]) == (len(call["leaf_bytes"]), len(canonical))
        assert ("note" in leaf) == (not leaf["canonical"])

    def test_log_id_is_the_key_hash(self):
        call = fixture_call("valid")
        log_id = hashlib.sha256(call["ca_public_key"]).hexdigest()
        assert inspect("sth", call["sth_bytes"])[1]["log_id"] == log_id
        assert inspect("key", call["ca_public_key"])[1] == {"length": 1952, "log_id": log_id}

    def test_texts_survive_as_json(self):
        texts = ['quote " backslash \\ slash /', "controls \x00\x01\x1f\x7f\n\t", "UTF\u2011" "8 \u00e9 \U0001F600"]
        leaf = hi.Leaf(texts[0], texts[1], texts, 0, 2**64 - 1)
        status, shown, p = inspect("leaf", leaf.encoded())
        assert status == 0
        assert (shown["agent_id"], shown["sponsor_id"], shown["authorized_scopes"]) == (texts[0], texts[1], texts)
        assert shown["not_after"] == 2**64 - 1
        assert b"\n" not in p.stdout.rstrip(b"\n")

    @pytest.mark.parametrize("kind, call", [
        ("sth", fixture_call("signed_trailing_byte")),
        ("proof", {**fixture_call("valid"), "proof_bytes": b"\x83\x01"}),
        ("leaf", {**fixture_call("valid"), "leaf_bytes": b"\xa1\x61\x61"}),
        ("key", {**fixture_call("valid"), "ca_public_key": fixture_call("valid")["ca_public_key"] + b"\x00"}),
    ])
    def test_decode_failure_is_reported_as_the_module_does(self, kind, call):
        field = {"sth": "sth_bytes", "proof": "proof_bytes", "leaf": "leaf_bytes", "key": "ca_public_key"}[kind]
        cls, text = module_outcome(call)
        status, shown, p = inspect(kind, call[field])
        assert (status, shown) == (2, {"error": cls, "message": text})
        assert last_stderr_line(p) == f"{cls}: {text}"


class TestScriptEdges:
    """What a script meets besides verdicts: failures it must be able to parse, a reader that goes
    away, and standard input that was partly read."""

    @pytest.mark.parametrize("args, status, cls, text", [
        pytest.param(["--json", "leaf.cbor", "missing.bin", "sth.bin", "sth.sig", "ca.pub"], 66, "OSError",
                     "cannot read PROOF 'missing.bin': No such file or directory", id="missing-file"),
        pytest.param(["batch", "sth.bin", "sth.sig", "ca.pub", "."], 66, "OSError",
                     "cannot read MANIFEST '.': is a directory", id="batch-manifest-directory"),
        pytest.param(["inspect", "--json", "leaf", "."], 66, "OSError", "cannot read FILE '.': is a directory",
                     id="inspect-directory"),
    ])
    def test_every_failure_with_a_class_prints_an_error_object(self, args, status, cls, text):
        p = subprocess.run([VERIFY, *args], cwd=SAMPLE, capture_output=True, timeout=60)
        assert p.returncode == status
        assert json.loads(p.stdout) == {"error": cls, "message": text}
        assert p.stderr.decode() == f"halyx-verify: {text}\n"

    @measures_memory
    def test_out_of_memory_prints_an_error_object(self, tmp_path):
        import resource
        big = tmp_path / "big"
        with open(big, "wb") as f:
            f.truncate(60 << 20)  # sparse: read_input reserves its size before reading

        def limit():
            resource.setrlimit(resource.RLIMIT_AS, (48 << 20, 48 << 20))
        p = subprocess.run([VERIFY, "--json", big, *SAMPLE_FILES[1:]], cwd=SAMPLE, capture_output=True,
                           timeout=60, preexec_fn=limit)
        assert p.returncode == 70
        assert json.loads(p.stdout) == {"error": "MemoryError", "message": "out of memory"}
        assert p.stderr == b"halyx-verify: out of memory\n"

    def test_a_reader_that_went_away_is_exit_74_with_the_verdict_on_stderr(self, tmp_path):
        call = sample_call()
        call["leaf_bytes"] = call["leaf_bytes"].replace(b"agent-1000", b"agent-1001")
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            p = subprocess.run([VERIFY, "--json", *write_call(tmp_path, call)], stdout=write_end,
                               stderr=subprocess.PIPE, timeout=60)
        finally:
            os.close(write_end)
        assert p.returncode == 74
        assert p.stderr.decode().splitlines() == ["halyx-verify: cannot write standard output",
                                                  "HalyxInvalidProofError: Merkle inclusion proof invalid"]

    @pytest.mark.parametrize("consumed, status", [(2 << 20, 2), ((2 << 20) - 1, 66)])
    def test_the_size_cap_counts_what_is_left_on_standard_input(self, tmp_path, consumed, status):
        key = tmp_path / "key"
        with open(key, "wb") as f:
            f.truncate((66 << 20))
        with open(key, "rb") as stdin:
            stdin.seek(consumed)
            p = subprocess.run([VERIFY, *SAMPLE_FILES[:4], "-"], cwd=SAMPLE, stdin=stdin, capture_output=True,
                               timeout=60)
        assert p.returncode == status
        if status == 2:
            assert last_stderr_line(p) == ("HalyxVerificationError: ca_public_key rejected by oqs "
                                           f"(expected 1952 bytes, got {64 << 20})")
        else:
            assert p.stderr == b"halyx-verify: cannot read KEY '-': larger than 64 MiB\n"


def sth_with_empty_extensions(count: int) -> bytes:
    """An STH envelope, signed by nobody, whose body holds `count` extensions of three bytes each."""
    def head(major: int, n: int) -> bytes:
        for info, width in ((None, 0), (24, 1), (25, 2), (26, 4), (27, 8)):
            if info is None and n < 24:
                return bytes([major << 5 | n])
            if info is not None and n < 1 << (8 * width):
                return bytes([major << 5 | info]) + n.to_bytes(width, "big")
        raise ValueError(n)
    body = (head(4, 5) + head(2, 32) + bytes(32) + head(0, 8) + head(0, 1) + head(2, 32) + bytes(32)
            + head(4, count) + b"\x82\x00\x40" * count)
    return head(4, 2) + head(3, 12) + b"HALYX-STH-v1" + head(2, len(body)) + body


def peak_kib(args: list, stdin_path: Path) -> tuple[int, int, bytes]:
    """Runs the program with standard input from a file; returns its status, peak RSS and output."""
    with open(stdin_path, "rb") as stdin:
        p = subprocess.Popen([VERIFY, *args], stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        out = p.stdout.read()
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
    return p.returncode, usage.ru_maxrss, out


@measures_memory
def test_inspect_sth_memory_stays_proportional_to_its_input(tmp_path):
    """An STH of a million empty extensions once cost some 200 bytes of memory for each of its three."""
    count = 1_000_000
    big, small = tmp_path / "big", tmp_path / "small"
    big.write_bytes(sth_with_empty_extensions(count))
    small.write_bytes(sth_with_empty_extensions(1))
    status, base, _ = peak_kib(["inspect", "sth", "-"], small)
    assert status == 0
    status, peak, out = peak_kib(["inspect", "sth", "-"], big)
    assert status == 0
    assert out.count(b'{"type": 0, "data": ""}') == count and out.endswith(b', "canonical": true}\n')
    assert (peak - base) * 1024 <= 2 * big.stat().st_size + (4 << 20), (base, peak)


# --- batch -----------------------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def leaf_fields(leaf: bytes) -> dict:
    shown = json.loads(run("inspect", "leaf", "-", stdin=leaf).stdout)
    return {k: shown[k] for k in LEAF_FIELDS}


def expected_object(call: dict) -> dict:
    """What --json prints for one call, from the module (and inspect leaf for the six fields)."""
    try:
        r = hv.verify_inclusion(**call)
    except hv.HalyxVerificationError as e:
        return {"error": type(e).__name__, "message": str(e)}
    return {"leaf_index": r.leaf_index, "tree_size": r.tree_size, "timestamp_ms": r.timestamp_ms,
            **leaf_fields(call["leaf_bytes"])}


def run_batch(tmp_path: Path, head: dict, lines: list, *options) -> tuple[int, list[dict], str]:
    for name in ("sth_bytes", "signature", "ca_public_key"):
        (tmp_path / name).write_bytes(head[name])
    manifest = tmp_path / "manifest.jsonl"
    manifest.write_bytes(b"".join(line if isinstance(line, bytes) else json.dumps(line).encode() + b"\n"
                                  for line in lines))
    p = subprocess.run([VERIFY, "batch", *options, tmp_path / "sth_bytes", tmp_path / "signature",
                        tmp_path / "ca_public_key", manifest], capture_output=True, timeout=300)
    return p.returncode, [json.loads(x) for x in p.stdout.splitlines()], p.stderr.decode()


BATCH_HEADS = {
    **{name: fixture_call(name) for name in ("valid", "other_log", "non_shortest_sth", "proof_states_other_size")},
    **{f"tampered:{t}": tampered(TAMPERED[t]) for t in ("key_one_short", "signature_one_long",
                                                         "signature_bit_flipped")},
    "signed_trailing_byte": fixture_call("signed_trailing_byte"),
}


@pytest.mark.parametrize("head_name", BATCH_HEADS)
def test_batch_answers_each_line_as_a_single_call(tmp_path, head_name):
    """Every fixture leaf crossed with every fixture proof (and malformed ones), half as files and
    half as hex, against one STH: each line must get the single call's object, in input order, and
    the run the status of its worst line. Three threads over several chunks exercise the ordering."""
    head = BATCH_HEADS[head_name]
    leaves = [fixture_call(n)["leaf_bytes"] for n in CALLS] + [b"", b"\xff"]
    proofs = [fixture_call(n)["proof_bytes"] for n in CALLS] + [b"\x83\x01"]
    lines, want = [], []
    for k, (leaf, proof) in enumerate((l, p) for l in leaves for p in proofs):
        if k % 2:
            (tmp_path / f"leaf{k}").write_bytes(leaf)
            (tmp_path / f"proof{k}").write_bytes(proof)
            lines.append({"id": f"line {k}", "leaf": str(tmp_path / f"leaf{k}"), "proof": str(tmp_path / f"proof{k}")})
        else:
            lines.append({"id": k, "leaf_hex": leaf.hex(), "proof_hex": proof.hex().upper()})
        want.append({"id": lines[-1]["id"], **expected_object({**head, "leaf_bytes": leaf, "proof_bytes": proof})})
    status, got, err = run_batch(tmp_path, head, lines, "-j", "3")
    early = expected_object({**head, "leaf_bytes": b"\xff", "proof_bytes": b""})
    if not early["message"].startswith("inclusion proof decode failed"):
        # A failure that comes before the proof's decode: one object for the whole batch.
        assert got == [early]
        assert status == STATUS[early["error"]]
        assert err.splitlines()[-1] == f"{early['error']}: {early['message']}"
        return
    assert got == want
    assert status == max(STATUS.get(o.get("error"), 0) for o in want)
    assert (err == "") == (status == 0)


def test_batch_reports_unusable_lines_and_goes_on(tmp_path):
    """Lines that are no verification get a ValueError (exit 65) or, for a file that cannot be
    read, an OSError (exit 66); the lines after them are still answered, with the right numbers."""
    call = fixture_call("valid")
    good = {"leaf_hex": call["leaf_bytes"].hex(), "proof_hex": call["proof_bytes"].hex()}
    verified = expected_object(call)
    rows = [
        (b"not json\n", "expected a JSON object"),
        (b"{}\n", 'no "leaf" or "leaf_hex"'),
        (b"\n", "expected a JSON object"),
        (b'{"leaf_hex": "ab", "leaf": "x", "proof_hex": ""}\n', '"leaf" given twice, or with "leaf_hex"'),
        (b'{"leaf_hex": "abc", "proof_hex": ""}\n', "leaf_hex: an odd number of hex digits"),
        (b'{"leaf_hex": "zz", "proof_hex": ""}\n', "leaf_hex: a character that is not a hex digit"),
        (b'{"leaf_hex": "", "proof_hex": "", "lef": 1}\n',
         'unknown key "lef" (expected id, leaf or leaf_hex, proof or proof_hex)'),
        (b'{"id": [1], "leaf_hex": "", "proof_hex": ""}\n', '"id" must be a string or a number'),
        (b'{"leaf_hex": "", "proof_hex": ""} x\n', "text after the object"),
        (b'{"leaf": "-", "proof_hex": ""}\n', "leaf: '-' is no file here; write ./- for a file of that name"),
        (b'{1: 2}\n', "expected a string"),
        (b'{"leaf_hex\n', "a string is not closed"),
        (b'{"id" 1}\n', "expected ':' after a key"),
        (b'{"id": 1, "id": 2, "leaf_hex": "", "proof_hex": ""}\n', '"id" given twice'),
        (b'{"id": 1. , "leaf_hex": "", "proof_hex": ""}\n', '"id" must be a string or a number'),
        (b'{"id": 1 "leaf_hex": ""}\n', "expected ',' or '}' after a value"),
        (b'{"leaf_hex": ""}\n', 'no "proof" or "proof_hex"'),
        (b'{"leaf": 5, "proof_hex": ""}\n', '"leaf" must be a string'),
        (b'{"id": "\\u00zz", "leaf_hex": "", "proof_hex": ""}\n', "id: a \\u escape needs four hex digits"),
        (b'{"id": "\\q", "leaf_hex": "", "proof_hex": ""}\n', "id: a string holds an unknown escape"),
        (b'{"id": "\x01", "leaf_hex": "", "proof_hex": ""}\n', "id: a string holds a control character"),
        (b"{" + b" " * (64 << 20) + b"\n", "longer than 64 MiB"),
    ]
    lines = []
    for raw, _ in rows:
        lines += [raw, good]
    lines += [{"id": "\u00e9\n", "leaf": str(tmp_path / "missing"), "proof_hex": ""}, {**good, "id": 2.5e3}]
    status, got, err = run_batch(tmp_path, call, lines, "-j", "2")
    want = []
    for number, (_, why) in enumerate(rows):
        want += [{"error": "ValueError", "message": f"manifest line {2 * number + 1}: {why}"}, verified]
    want += [{"id": "\u00e9\n", "error": "OSError",
              "message": f"cannot read LEAF '{tmp_path / 'missing'}': No such file or directory"},
             {"id": 2500.0, **verified}]
    assert got == want
    assert status == 66
    assert err == (f"halyx-verify: batch of {len(want)} lines: {len(rows) + 1} verified, 0 HalyxInvalidProofError, "
                   f"0 HalyxVerificationError, {len(rows) + 1} unusable\n")


@measures_memory
def test_batch_memory_does_not_grow_with_the_manifest(tmp_path):
    call = fixture_call("valid")
    line = json.dumps({"leaf_hex": call["leaf_bytes"].hex(), "proof_hex": call["proof_bytes"].hex()}).encode() + b"\n"
    peaks = {}
    for count in (1_000, 20_000):
        manifest = tmp_path / f"m{count}"
        manifest.write_bytes(line * count)
        for name in ("sth_bytes", "signature", "ca_public_key"):
            (tmp_path / name).write_bytes(call[name])
        status, peaks[count], out = peak_kib(["batch", "-j", "2", *(tmp_path / n for n in (
            "sth_bytes", "signature", "ca_public_key"))], manifest)
        assert status == 0 and out.count(b"\n") == count
    # 20,000 lines are 8 MB of manifest and 5 MB of results; holding either would show.
    assert (peaks[20_000] - peaks[1_000]) * 1024 < 3 << 20, peaks
