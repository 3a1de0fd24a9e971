"""halyx-verify segment: a CBOR sequence of leaf records verified as one range of the log, printed
only once the whole range has verified. Proofs are built here from the recursive definition
(tools/issuer); the signed tree heads come from tools/issuer/make_segment_fixture.py."""
import bisect
import itertools
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "issuer"))
import halyx_issuer as hi  # noqa: E402
import make_segment_fixture as fx  # noqa: E402

VERIFY = str(Path(os.environ["HALYX_VERIFY"]).resolve())
FIXTURE = json.loads((ROOT / "halyx-cli" / "tests" / "data" / "segment_fixture.json").read_text())
KEY = bytes.fromhex(FIXTURE["ca_public_key"])
LOG_ID = __import__("hashlib").sha256(KEY).digest()
RECORDS = fx.leaves()
HASHES = [hi.leaf_hash(LOG_ID, r) for r in RECORDS]


def proof(i: int, size: int = 8) -> bytes:
    return hi.inclusion_proof(size, i, hi.audit_path(i, HASHES[:size]))


def line(i: int) -> dict:
    leaf = {"schema_version": 1, "agent_id": f"agent-{i}", "sponsor_id": f"sponsor-{i % 3}",
            "authorized_scopes": ["read", "write"], "not_before": 1_700_000_000 + i, "not_after": 1_800_000_000}
    return {"leaf_index": i, **leaf}


def run_segment(tmp_path, leaves: bytes, first=None, last=None, since=None, options=(), head="sth8", stdin=False):
    files = {"sth": bytes.fromhex(FIXTURE[head]["sth"]), "sig": bytes.fromhex(FIXTURE[head]["signature"]),
             "key": KEY, "leaves": leaves}
    args = []
    if since:
        files["old_sth"] = bytes.fromhex(FIXTURE[since]["sth"])
        files["old_sig"] = bytes.fromhex(FIXTURE[since]["signature"])
        args += ["--since", tmp_path / "old_sth", tmp_path / "old_sig"]
    for option, value in (("--first-proof", first), ("--last-proof", last)):
        if value is not None:
            files[option] = value
            args += [option, tmp_path / option]
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    leaves_arg = "-" if stdin else tmp_path / "leaves"
    p = subprocess.run([VERIFY, "segment", *options, *args, tmp_path / "sth", tmp_path / "sig", tmp_path / "key",
                        leaves_arg], input=leaves if stdin else b"", capture_output=True, timeout=60)
    return p.returncode, p.stdout, p.stderr.decode()


def cat(indices) -> bytes:
    return b"".join(RECORDS[i] if isinstance(i, int) else i for i in indices)


def test_a_pipe_is_read_once_and_held(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    run_segment(tmp_path, b"", proof(2), proof(5))  # writes the other files
    args = [VERIFY, "segment", "--first-proof", tmp_path / "--first-proof", "--last-proof", tmp_path / "--last-proof",
            tmp_path / "sth", tmp_path / "sig", tmp_path / "key", fifo]
    p = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    with open(fifo, "wb") as w:
        w.write(cat(range(2, 6)))
    out, err = p.communicate(timeout=60)
    assert (p.returncode, err) == (0, b"")
    assert [json.loads(x) for x in out.splitlines()] == [line(i) for i in range(2, 6)]


@pytest.mark.parametrize("stdin", [False, True], ids=["file", "stdin"])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_prints_every_leaf_once_verified(tmp_path, stdin, threads):
    status, out, err = run_segment(tmp_path, cat(range(2, 6)), proof(2), proof(5), options=("--threads", threads),
                                   stdin=stdin)
    assert (status, err) == (0, "")
    assert [json.loads(x) for x in out.splitlines()] == [line(i) for i in range(2, 6)]


def test_whole_tree_and_appended_range_need_no_last_proof(tmp_path):
    status, out, _ = run_segment(tmp_path, cat(range(8)))
    assert status == 0 and [json.loads(x) for x in out.splitlines()] == [line(i) for i in range(8)]
    status, out, _ = run_segment(tmp_path, cat(range(5, 8)), proof(5), since="sth5")
    assert status == 0 and [json.loads(x)["leaf_index"] for x in out.splitlines()] == [5, 6, 7]


CUT = RECORDS[5][:-1]
REFUSALS = [
    # name, leaves, first, last, since, status, message
    ("swapped", cat([2, 4, 3, 5]), 2, 5, None, 1, "leaves 2 to 5 do not lead to the STH's root"),
    ("dropped", cat([2, 3, 5]), 2, 5, None, 1, "segment ends at leaf 4, before the last proof's leaf 5"),
    ("inserted", cat([2, 3, 7, 4, 5]), 2, 5, None, 1, "leaf 6 is past the last proof's leaf 5"),
    ("repeated", cat([2, 3, 3, 4, 5]), 2, 5, None, 1, "leaf 6 is past the last proof's leaf 5"),
    ("byte_changed", cat([2, RECORDS[3][:-1] + b"d", 4, 5]), 2, 5, None, 1, "leaves 2 to 5 do not lead to the STH's root"),
    ("neighbour_first_proof", cat(range(2, 6)), 3, 5, None, 1, "first proof does not lead from leaf 3 to the STH's root"),
    ("older_last_proof", cat(range(2, 6)), 2, "old", None, 1, "last proof is for a tree of 7 leaves, not the STH's tree of 8"),
    ("proofs_swapped", cat(range(2, 6)), 5, 2, None, 1, "first proof's leaf 5 comes after the last proof's leaf 2"),
    ("past_the_tree", cat([6, 7, 0]), 6, None, None, 1, "leaf 8 is past the end of the STH's tree of 8 leaves"),
    ("fork", cat(range(5, 8)), 5, None, "fork5", 1, "the STH's tree does not extend the older STH's tree of 5 leaves"),
    ("older_size_differs", cat(range(4, 8)), 4, None, "sth5", 1, "segment starts at leaf 4, not at the older STH's tree size 5"),
    ("empty", b"", 2, 5, None, 2, "segment holds no leaf records"),
    ("garbage_between", cat([2, 3, b"\xff", 4, 5]), 2, 5, None, 2,
     f"record 2 at byte offset {len(cat([2, 3]))}: leaf decode failed: CBOR decode error: unsupported value in CBOR header"),
    ("truncated_last", cat([2, 3, 4, CUT]), 2, 5, None, 2,
     f"record 3 at byte offset {len(cat([2, 3, 4]))}: leaf decode failed: CBOR decode error: early end of CBOR data"),
    ("first_proof_garbled", cat(range(2, 6)), b"\x83\x01", 5, None, 2,
     "first proof decode failed: unexpected end of input at offset 2 while reading leaf_index"),
]
CLASS = {1: "HalyxInvalidProofError", 2: "HalyxVerificationError"}


@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
@pytest.mark.parametrize("name,leaves,first,last,since,status,text", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusal_prints_no_leaf(tmp_path, as_json, name, leaves, first, last, since, status, text):
    def as_proof(v):
        return proof(5, 7) if v == "old" else proof(v) if isinstance(v, int) else v

    got_status, out, err = run_segment(tmp_path, leaves, as_proof(first), as_proof(last), since,
                                       options=("--json",) if as_json else ())
    assert got_status == status
    assert err.splitlines()[-1] == f"{CLASS[status]}: {text}"
    assert out == ((json.dumps({"error": CLASS[status], "message": text}) + "\n").encode() if as_json else b"")


def test_a_large_segment_is_printed_whole_and_in_order(tmp_path):
    """More records than one block of the second reading, through a window that must slide and
    records cut at its edge, split over threads; a middle range, the same output whatever the
    threads and from standard input, then the range with its last record damaged."""
    records = fx.big_leaves()
    hashes = [hi.leaf_hash(LOG_ID, r) for r in records]
    first, last = 1234, 24_321
    proofs = [hi.inclusion_proof(fx.BIG_SIZE, i, hi.audit_path(i, hashes)) for i in (first, last)]
    # Every other record carries an entry the decoder drops (the leaf hash covers the six fields only)
    # after its six fields, holding another whole record: a thread that starts in the middle of the
    # window finds a record there that is none, and must notice (8 threads make that near certain).
    inner = hi.head(2, len(records[0])) + records[0]
    shown = [hi.Leaf(f"agent-{i:0100d}", "sponsor-big", ["read"], i, i + 1, [(hi.text("z" * 20), inner)]).encoded()
             if i % 2 == 0 else records[i] for i in range(fx.BIG_SIZE)]
    leaves = b"".join(shown[first:last + 1])
    status, out, err = run_segment(tmp_path, leaves, *proofs, head="big", options=("--threads", "2"))
    assert (status, err) == (0, "")
    assert run_segment(tmp_path, leaves, *proofs, head="big", options=("--threads", "1")) == (status, out, err)
    assert run_segment(tmp_path, leaves, *proofs, head="big", options=("--threads", "8")) == (status, out, err)
    assert run_segment(tmp_path, leaves, *proofs, head="big", options=("--threads", "3"), stdin=True) == (status, out, err)
    got = [json.loads(x) for x in out.splitlines()]
    assert [g["leaf_index"] for g in got] == list(range(first, last + 1))
    assert got[5000]["agent_id"] == f"agent-{first + 5000:0100d}"
    status, out, err = run_segment(tmp_path, leaves[:-1] + b"\x00", *proofs, head="big")
    assert status == 1 and out == b""
    assert err == f"HalyxInvalidProofError: last proof does not lead from leaf {last} to the STH's root\n"


# Leaves F to L of the big tree, damaged across many windows and shares, where the hashes reach the
# verifier in runs of 1024 that it joins as aligned subtrees: each refusal names the leaf or record
# one leaf at a time would, on any number of threads. Indices stand for the tree's records, bytes
# for themselves.
F, L = 1234, 24_321
BIG_RUNS = [
    # name, records, first proof's leaf, last proof's leaf, status, standard error
    ("whole_tree", range(fx.BIG_SIZE), None, None, 0, ""),
    ("one_past_the_last_proof", range(F, L + 2), F, L, 1, f"leaf {L + 1} is past the last proof's leaf {L}"),
    ("dropped_at_a_run_edge", [i for i in range(F, L + 1) if i != F + 7 * 1024], F, L, 1,
     f"segment ends at leaf {L - 1}, before the last proof's leaf {L}"),
    ("swapped_across_a_subtree_edge", [*range(F, 8191), 8192, 8191, *range(8193, L + 1)], F, L, 1,
     f"leaves {F} to {L} do not lead to the STH's root"),
    ("neighbour_first_proof", range(F, L + 1), F + 1, L, 1, f"first proof does not lead from leaf {F + 1} to the STH's root"),
    ("garbage_after_20000_records", [*range(F, F + 20_000), b"\xff", *range(F + 20_000, L + 1)], F, L, 2,
     "record 20000 at byte offset {offset}: leaf decode failed: CBOR decode error: unsupported value in CBOR header"),
]


@pytest.mark.parametrize("name,indices,first,last,status,text", BIG_RUNS, ids=[r[0] for r in BIG_RUNS])
def test_a_large_segment_refused_alike_on_threads(tmp_path, name, indices, first, last, status, text):
    records = fx.big_leaves()
    hashes = [hi.leaf_hash(LOG_ID, r) for r in records]
    proofs = [None if i is None else hi.inclusion_proof(fx.BIG_SIZE, i, hi.audit_path(i, hashes)) for i in (first, last)]
    chosen = [records[i] if isinstance(i, int) else i for i in indices]
    leaves = b"".join(chosen)
    offset = len(b"".join(chosen[:20_000]))
    runs = {threads: run_segment(tmp_path, leaves, *proofs, head="big", options=("--threads", threads))
            for threads in ("1", "2", "3")}
    for threads, (got_status, out, err) in runs.items():
        assert got_status == status, threads
        if status:
            assert (out, err) == (b"", f"{CLASS[status]}: {text.format(offset=offset)}\n"), threads
    if status == 0:
        assert runs["2"] == runs["3"] == runs["1"]
        assert [json.loads(x)["leaf_index"] for x in runs["1"][1].splitlines()] == list(range(fx.BIG_SIZE))


# The first 512 KiB window is read whole; the next one is read ahead in two halves, its front by
# the calling thread and its back by a helper. Segments from leaf 0 of the big tree whose file ends
# one record short of, or one record past, the middle and the end of that read.
def big_prefix_counts() -> list[int]:
    ends = list(itertools.accumulate(len(r) for r in fx.big_leaves()))
    counts = []
    for at in (512 << 10, 768 << 10, 1024 << 10):
        inside = bisect.bisect_right(ends, at)  # the records that end at or before byte `at`
        counts += [inside, inside + 1]
    return counts


@pytest.mark.parametrize("count", big_prefix_counts())
def test_a_file_ending_about_the_read_ahead_parts(tmp_path, count):
    records = fx.big_leaves()
    hashes = [hi.leaf_hash(LOG_ID, r) for r in records]
    last = hi.inclusion_proof(fx.BIG_SIZE, count - 1, hi.audit_path(count - 1, hashes))
    leaves = b"".join(records[:count])
    runs = [run_segment(tmp_path, leaves, None, last, head="big", options=("--threads", t)) for t in ("1", "2", "3")]
    assert runs[0][0] == 0 and runs[0][2] == ""
    assert runs[1] == runs[2] == runs[0]
    assert [json.loads(x)["leaf_index"] for x in runs[0][1].splitlines()] == list(range(count))


def padded(i: int, pad: int) -> bytes:
    """Leaf i of the fixture's tree with an entry the decoder drops, `pad` bytes long: the same leaf
    hash and the same line, in a record as large as a test of the reading needs."""
    leaf = hi.Leaf(f"agent-{i}", f"sponsor-{i % 3}", ["read", "write"], 1_700_000_000 + i, 1_800_000_000,
                   [(hi.text("pad"), hi.head(2, pad) + bytes(pad))])
    return leaf.encoded()


# The reader reads the next 512 KiB while the threads decode the current window, behind 64 KiB of
# room for the record the window ends inside; a longer one, or one larger than the window, takes
# the slower way. Each row is the fixture's tree of eight in records of these sizes of padding.
LARGE_RECORDS = [
    ("every_cut_record_past_the_room", [200_000] * 8),
    ("one_larger_than_the_window", [30_000, 30_000, 1_500_000] + [30_000] * 5),
    ("cut_record_within_the_room", [70_000] * 8),
]


@pytest.mark.parametrize("name,pads", LARGE_RECORDS, ids=[r[0] for r in LARGE_RECORDS])
def test_large_records_across_the_windows(tmp_path, name, pads):
    records = [padded(i, pad) for i, pad in enumerate(pads)]
    leaves = b"".join(records)
    for threads in ("1", "2"):
        for stdin in (False, True):
            status, out, err = run_segment(tmp_path, leaves, options=("--threads", threads), stdin=stdin)
            assert (status, err) == (0, ""), (threads, stdin)
            assert [json.loads(x) for x in out.splitlines()] == [line(i) for i in range(8)], (threads, stdin)
    # A fault early in the first window, found while the next is being read, and one in the last
    # record, after the windows have moved on: both at their own record and offset.
    early = records[0] + b"\xff" + records[1][1:] + b"".join(records[2:])
    cut = leaves[:-1]
    for threads in ("1", "2"):
        status, out, err = run_segment(tmp_path, early, options=("--threads", threads))
        assert (status, out) == (2, b"")
        assert err == (f"HalyxVerificationError: record 1 at byte offset {len(records[0])}: leaf decode failed: "
                       "CBOR decode error: unsupported value in CBOR header\n")
        status, out, err = run_segment(tmp_path, cut, options=("--threads", threads))
        assert (status, out) == (2, b"")
        assert err == (f"HalyxVerificationError: record 7 at byte offset {len(leaves) - len(records[7])}: "
                       "leaf decode failed: CBOR decode error: early end of CBOR data\n")


@pytest.mark.parametrize("args,text", [
    (["segment", "--threads", "0", "a", "b", "c", "d"], "--threads takes a number of threads from 1 to 256, got '0'"),
    (["segment", "a", "b", "c", "--since", "x"], "--since takes two files (OLD_STH OLD_SIGNATURE)"),
    (["segment", "a", "b", "c"], "segment takes STH SIGNATURE KEY LEAVES, got 3 arguments"),
    (["--first-proof", "p", "a", "b", "c", "d", "e"], "--first-proof applies to segment only"),
    (["segment", "--last-proof", "-", "a", "b", "c", "-"], "standard input ('-') can stand for only one file"),
    (["segment", "-j", "2", "a", "b", "c", "d"], "-j applies to batch only"),
])
def test_usage_errors(args, text):
    p = subprocess.run([VERIFY, *args], capture_output=True, timeout=60)
    assert (p.returncode, p.stdout) == (64, b"")
    assert p.stderr.decode() == f"halyx-verify: {text} (see --help)\n"
