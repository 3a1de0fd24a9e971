#!/usr/bin/env python3
"""Generate dcbor/src/nfc_tables.inc from the Unicode Character Database.

Usage: python3 dcbor/tools/gen_nfc_tables.py UCD_DIR [OUTPUT]

UCD_DIR must hold UnicodeData.txt, DerivedNormalizationProps.txt and
CompositionExclusions.txt of one Unicode version. OUTPUT defaults to
dcbor/src/nfc_tables.inc beside this script. Standard library only.

The tables carry what NFC needs and nothing more:
  - one 32-bit property word per code point in a two-stage table: the
    canonical combining class, NFC_Quick_Check, and where the full canonical
    decomposition sits in a shared pool;
  - the pool of fully decomposed sequences (Hangul syllables excluded, they
    are algorithmic);
  - the primary composites, sorted by (first, second), for binary search.
"""

import os
import sys

HANGUL_FIRST, HANGUL_LAST = 0xAC00, 0xD7A3
QC_CODES = {"Y": 0, "M": 1, "N": 2}
MAX_CP = 0x10FFFF


def parse_range(text):
    text = text.strip()
    if ".." in text:
        lo, hi = text.split("..")
        return range(int(lo, 16), int(hi, 16) + 1)
    return range(int(text, 16), int(text, 16) + 1)


def data_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield line


def read_version(path):
    with open(path, encoding="utf-8") as f:
        first = f.readline().strip()
    # "# DerivedNormalizationProps-16.0.0.txt"
    return first.lstrip("# ").rsplit("-", 1)[-1].removesuffix(".txt")


def load(ucd):
    ccc = {}
    decomposition = {}  # canonical mappings only, one level
    for line in data_lines(os.path.join(ucd, "UnicodeData.txt")):
        fields = line.split(";")
        cp = int(fields[0], 16)
        if int(fields[3]):
            ccc[cp] = int(fields[3])
        mapping = fields[5]
        if mapping and not mapping.startswith("<"):
            decomposition[cp] = [int(x, 16) for x in mapping.split()]

    exclusions = set()
    for line in data_lines(os.path.join(ucd, "CompositionExclusions.txt")):
        exclusions.update(parse_range(line))

    nfc_qc = {}
    full_exclusion = set()
    for line in data_lines(os.path.join(ucd, "DerivedNormalizationProps.txt")):
        fields = [f.strip() for f in line.split(";")]
        if fields[1] == "NFC_QC":
            for cp in parse_range(fields[0]):
                nfc_qc[cp] = QC_CODES[fields[2]]
        elif fields[1] == "Full_Composition_Exclusion":
            full_exclusion.update(parse_range(fields[0]))
    return ccc, decomposition, exclusions, nfc_qc, full_exclusion


def full_decomposition(cp, decomposition):
    if cp not in decomposition:
        return [cp]
    out = []
    for part in decomposition[cp]:
        out.extend(full_decomposition(part, decomposition))
    return out


def build(ucd):
    ccc, decomposition, exclusions, nfc_qc, full_exclusion = load(ucd)

    # Full_Composition_Exclusion is the explicit list plus singletons plus
    # mappings that start with a non-starter. Derive it and insist that the
    # derived property file agrees, so a damaged or mismatched input stops here.
    derived = set(exclusions)
    for cp, parts in decomposition.items():
        if len(parts) == 1 or ccc.get(parts[0], 0) != 0:
            derived.add(cp)
    if derived != full_exclusion:
        sys.exit("Full_Composition_Exclusion disagrees with the derivation: "
                 f"{sorted(derived ^ full_exclusion)[:10]}")

    compositions = []
    for cp, parts in decomposition.items():
        if len(parts) == 2 and cp not in full_exclusion:
            compositions.append((parts[0], parts[1], cp))
    compositions.sort()

    pool = []
    pool_index = {}
    props = [0] * (MAX_CP + 1)
    for cp in range(MAX_CP + 1):
        word = ccc.get(cp, 0) | (nfc_qc.get(cp, 0) << 8)
        if cp in decomposition and not HANGUL_FIRST <= cp <= HANGUL_LAST:
            seq = tuple(full_decomposition(cp, decomposition))
            if len(seq) > 7:
                sys.exit(f"decomposition of U+{cp:04X} is longer than 7")
            offset = pool_index.get(seq)
            if offset is None:
                offset = len(pool)
                pool_index[seq] = offset
                pool.extend(seq)
            word |= len(seq) << 10 | offset << 13
        props[cp] = word
    if len(pool) >= 1 << 19:
        sys.exit("decomposition pool does not fit 19 bits")

    limit = max(cp for cp in range(MAX_CP + 1) if props[cp]) + 1
    return props, limit, pool, compositions


def two_stage(props, limit):
    best = None
    for shift in range(4, 10):
        block = 1 << shift
        padded = (limit + block - 1) // block * block
        blocks = {}
        stage1 = []
        stage2 = []
        for start in range(0, padded, block):
            chunk = tuple(props[start:start + block]) if start + block <= len(props) \
                else tuple(props[start:] + [0] * (start + block - len(props)))
            index = blocks.get(chunk)
            if index is None:
                index = len(blocks)
                blocks[chunk] = index
                stage2.extend(chunk)
            stage1.append(index)
        if len(blocks) > 0xFFFF:
            continue
        size = len(stage1) * 2 + len(stage2) * 4
        if best is None or size < best[0]:
            best = (size, shift, stage1, stage2, padded)
    return best


def emit_array(out, ctype, name, values, per_line, width):
    out.append(f"inline constexpr {ctype} {name}[{len(values)}] = {{")
    for i in range(0, len(values), per_line):
        row = ", ".join(f"0x{v:0{width}x}" for v in values[i:i + per_line])
        out.append(f"    {row},")
    out.append("};")
    out.append("")


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    ucd = argv[1]
    here = os.path.dirname(os.path.abspath(__file__))
    output = argv[2] if len(argv) == 3 else os.path.join(here, "..", "src", "nfc_tables.inc")
    version = read_version(os.path.join(ucd, "DerivedNormalizationProps.txt"))

    props, limit, pool, compositions = build(ucd)
    size, shift, stage1, stage2, padded = two_stage(props, limit)

    out = [
        f"// nfc_tables.inc: Unicode {version} data for NFC, generated. Do not edit by hand.",
        "//",
        "// Regenerate from the Unicode Character Database files with:",
        "//   python3 dcbor/tools/gen_nfc_tables.py <ucd-dir> dcbor/src/nfc_tables.inc",
        "// where <ucd-dir> holds UnicodeData.txt, DerivedNormalizationProps.txt and",
        "// CompositionExclusions.txt, then run the dcbor tests (they check all of",
        "// NormalizationTest.txt).",
        "//",
        "// Property word of a code point (kNfcStage2[kNfcStage1[cp >> kNfcShift] * block + low bits]):",
        "//   bits 0-7   canonical combining class",
        "//   bits 8-9   NFC_Quick_Check: 0 Yes, 1 Maybe, 2 No",
        "//   bits 10-12 length of the full canonical decomposition (0: none in this table)",
        "//   bits 13-31 its offset in kNfcDecompositionPool",
        "// Code points at or above kNfcLimit have the word 0. Hangul syllables are not",
        "// in the table; they decompose and compose algorithmically.",
        f"// Sizes: stage 1 {len(stage1)} entries, stage 2 {len(stage2) >> shift} blocks, "
        f"pool {len(pool)}, compositions {len(compositions)}; {size + len(pool) * 4 + len(compositions) * 12} bytes.",
        "",
        "// NOLINTBEGIN",
        f"inline constexpr char32_t kNfcLimit = 0x{padded:x};",
        f"inline constexpr unsigned kNfcShift = {shift};",
        "",
    ]
    emit_array(out, "std::uint16_t", "kNfcStage1", stage1, 12, 4)
    emit_array(out, "std::uint32_t", "kNfcStage2", stage2, 8, 8)
    emit_array(out, "char32_t", "kNfcDecompositionPool", pool, 8, 5)
    out.append(f"inline constexpr NfcComposition kNfcCompositions[{len(compositions)}] = {{")
    for first, second, composite in compositions:
        out.append(f"    {{0x{first:05x}, 0x{second:05x}, 0x{composite:05x}}},")
    out.append("};")
    out.append("// NOLINTEND")
    out.append("")

    with open(output, "w", encoding="utf-8") as f:
        f.write("\n".join(out))
    print(f"wrote {output}: Unicode {version}, shift {shift}, {size} bytes of property tables, "
          f"{len(pool)} pool entries, {len(compositions)} compositions")


if __name__ == "__main__":
    main(sys.argv)
