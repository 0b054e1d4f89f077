#!/usr/bin/env python3
"""Writes volume/HFSNameTables.cpp, the Unicode tables of the HFS+ name code.

    python3 tools/gen-hfs-name-tables.py [--ucd DIR] [--output FILE]

DIR holds UnicodeData.txt and DerivedAge.txt (default /usr/share/unicode, from
the Debian package unicode-data); FILE defaults to volume/HFSNameTables.cpp
next to this script's tools/ folder. Only the standard library is needed.

HFS+ names were frozen against old Unicode data, so every table is cut back
to the era the volume format uses: decompositions and combining classes of
Unicode 4.0, the combining set of 3.2, the case folding of 1.1. The counts
below are what a correct cut gives; any difference means the rules or the
database are not what the format expects, and the script fails rather than
write a table that sorts catalog names differently from existing volumes.
"""

import argparse
import os
import sys
import unicodedata

EXPECTED = {
    "decompositions": 970,
    "length 1": 26,
    "length 2": 944,
    "sequence pool": 1888,
    "decompose further": 271,
    "combining set": 672,
    "folding changes": 329,
}

AGE_DECOMPOSITION = (4, 0)
AGE_COMBINING = (3, 2)
AGE_FOLDING = (1, 1)

HANGUL_FIRST, HANGUL_LAST = 0xAC00, 0xD7A3


class GenerationError(Exception):
    pass


def parse_unicode_data(path):
    """code point -> fields of UnicodeData.txt (ranges have no properties we use)."""
    data = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            if len(fields) < 15:
                continue
            data[int(fields[0], 16)] = fields
    return data


def parse_ages(path):
    """code point -> (major, minor) of the version that assigned it; also the file's version."""
    ages = {}
    version = "unknown"
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("# DerivedAge-"):
                version = line[len("# DerivedAge-"):].strip()
                if version.endswith(".txt"):
                    version = version[:-len(".txt")]
            body = line.split("#", 1)[0].strip()
            if not body:
                continue
            points, age = (part.strip() for part in body.split(";"))
            age = tuple(int(x) for x in age.split("."))
            first, _, last = points.partition("..")
            for c in range(int(first, 16), int(last or first, 16) + 1):
                ages[c] = age
    return ages, version


class Database:
    def __init__(self, ucd):
        self.data = parse_unicode_data(os.path.join(ucd, "UnicodeData.txt"))
        self.ages, self.version = parse_ages(os.path.join(ucd, "DerivedAge.txt"))

    def age(self, c):
        return self.ages.get(c, (999, 0))  # unassigned: newer than anything

    def canonical(self, c):
        """The one-level canonical decomposition, or None."""
        fields = self.data.get(c)
        if not fields or not fields[5] or fields[5].startswith("<"):
            return None
        return [int(x, 16) for x in fields[5].split()]

    def combining_class(self, c):
        fields = self.data.get(c)
        return int(fields[3]) if fields else 0

    def category(self, c):
        fields = self.data.get(c)
        return fields[2] if fields else "Cn"

    def lowercase(self, c):
        fields = self.data.get(c)
        return int(fields[13], 16) if fields and fields[13] else None


def build_decompositions(db):
    table = {}
    for c in range(0x00C0, 0xFB4F):
        if 0x2000 <= c <= 0x2FFF or 0xF900 <= c <= 0xFAFF or HANGUL_FIRST <= c <= HANGUL_LAST:
            continue
        if db.age(c) > AGE_DECOMPOSITION:
            continue
        mapping = db.canonical(c)
        if mapping:
            table[c] = mapping
    entries, pool = [], []
    for c in sorted(table):
        mapping = table[c]
        further = mapping[0] in table
        if len(mapping) == 1:
            value = mapping[0]
        else:
            value = len(pool)
            pool.extend(mapping)
        if value > 0x0FFF or len(mapping) > 7:
            raise GenerationError("U+%04X does not fit the entry layout" % c)
        entries.append((c, value | (len(mapping) << 12) | (0x8000 if further else 0)))
    return table, entries, pool


def build_combining_set(db):
    marks = set()
    for c in range(0x0300, 0x10000):
        if db.age(c) <= AGE_COMBINING and db.category(c) in ("Mn", "Mc", "Me"):
            marks.add(c)
    # U+1885/U+1886 were letters in 3.2 and became marks later.
    marks -= {0x1885, 0x1886}
    # Conjoining vowels and trailing consonants attach to the jamo before them.
    marks |= set(range(0x1161, 0x1176)) | set(range(0x11A8, 0x11C3))
    # U+06DD and U+06DE were enclosing marks then; current data calls them
    # Cf and So, so they are named here.
    marks |= {0x06DD, 0x06DE}
    return marks


def build_classes(db):
    return [db.combining_class(c) if db.age(c) <= AGE_DECOMPOSITION else 0 for c in range(0x10000)]


def build_folding(db):
    fold = list(range(0x10000))
    for u in range(0x10000):
        lower = db.lowercase(u)
        if (lower is not None and db.age(u) == AGE_FOLDING and db.age(lower) == AGE_FOLDING
                and db.canonical(u) is None):
            fold[u] = lower
    # Left as they are in the published table.
    for u in [0x01A6, 0x04D4, 0x04D8, 0x04E0, 0x04E8] + list(range(0x24B6, 0x24D0)):
        fold[u] = u
    # Georgian capitals fold to the mkhedruli letters.
    for u in range(0x10A0, 0x10C6):
        fold[u] = u + 0x30
    # NUL sorts last; format controls are ignored in comparisons.
    fold[0x0000] = 0xFFFF
    for u in (list(range(0x200C, 0x2010)) + list(range(0x202A, 0x202F))
              + list(range(0x206A, 0x2070)) + [0xFEFF]):
        fold[u] = 0
    return fold


def encode_set(members):
    pages, bitmaps = [0] * 256, []
    for high in range(256):
        units = [u for u in range(high << 8, (high + 1) << 8) if u in members]
        if not units:
            continue
        if len(units) == 256:
            pages[high] = 255
            continue
        bitmap = [0] * 32
        for u in units:
            bitmap[(u & 0xFF) >> 3] |= 1 << (u & 7)
        bitmaps.append(bitmap)
        if len(bitmaps) > 254:
            raise GenerationError("too many bitmap pages")
        pages[high] = len(bitmaps)
    return pages, bitmaps


def decode_set(pages, bitmaps, u):
    page = pages[u >> 8]
    if page in (0, 255):
        return page == 255
    return bool(bitmaps[page - 1][(u & 0xFF) >> 3] & (1 << (u & 7)))


def encode_paged(values, unchanged, first_page):
    """Page index and 256-entry sub-tables for the pages (>= first_page) that hold a value != unchanged(u)."""
    pages, tables = [0] * 256, []
    for high in range(first_page, 256):
        chunk = values[high << 8:(high + 1) << 8]
        if all(chunk[i] == unchanged((high << 8) | i) for i in range(256)):
            continue
        tables.append(chunk)
        if len(tables) > 255:
            raise GenerationError("too many sub-tables")
        pages[high] = len(tables)
    return pages, tables


def expand(entries_by_char, pool, c):
    """Full decomposition by the table the way the converter follows it."""
    info = entries_by_char.get(c)
    if info is None:
        if HANGUL_FIRST <= c <= HANGUL_LAST:
            s = c - HANGUL_FIRST
            out = [0x1100 + s // 588, 0x1161 + (s % 588) // 28]
            return out + ([0x11A7 + s % 28] if s % 28 else [])
        return [c]
    length, value = (info >> 12) & 7, info & 0x0FFF
    sequence = [value] if length == 1 else pool[value:value + length]
    if info & 0x8000:
        return expand(entries_by_char, pool, sequence[0]) + sequence[1:]
    return sequence


def self_check(db, table, entries, pool, classes, marks, fold, encoded):
    counts = {
        "decompositions": len(entries),
        "length 1": sum(1 for m in table.values() if len(m) == 1),
        "length 2": sum(1 for m in table.values() if len(m) == 2),
        "sequence pool": len(pool),
        "decompose further": sum(1 for _, info in entries if info & 0x8000),
        "combining set": len(marks),
        "folding changes": sum(1 for u in range(0x10000) if fold[u] != u),
    }
    longest = max(len(m) for m in table.values())
    for name, value in counts.items():
        print("%-18s %d" % (name, value))
    print("%-18s %d" % ("longest mapping", longest))
    problems = [
        "%s: %d, expected %d" % (name, counts[name], EXPECTED[name])
        for name in EXPECTED if counts[name] != EXPECTED[name]
    ]
    if longest != 2:
        problems.append("longest mapping %d, expected 2" % longest)

    # The table followed recursively must give each character's NFD. Python's
    # unicodedata may be newer than 4.0; canonical decompositions of old
    # characters are stable, so a difference is a real fault.
    by_char = dict(entries)
    mismatches = []
    for c, _ in entries:
        ours = expand(by_char, pool, c)
        nfd = [ord(x) for x in unicodedata.normalize("NFD", chr(c))]
        if ours != nfd:
            mismatches.append("U+%04X: %s vs NFD %s" % (
                c, " ".join("%04X" % x for x in ours), " ".join("%04X" % x for x in nfd)))
    for c in (HANGUL_FIRST, 0xD55C, HANGUL_LAST):
        ours = expand(by_char, pool, c)
        if ours != [ord(x) for x in unicodedata.normalize("NFD", chr(c))]:
            mismatches.append("U+%04X (Hangul)" % c)
    print("NFD check          %d entries and 3 syllables against unicodedata %s: %d mismatches"
          % (len(entries), unicodedata.unidata_version, len(mismatches)))
    problems += ["NFD " + m for m in mismatches]

    # The encoded tables must read back as the sets and maps they came from.
    decomposable = set(table) | set(range(HANGUL_FIRST, HANGUL_LAST + 1))
    for u in range(0x10000):
        if decode_set(*encoded["decomposable"], u) != (u in decomposable):
            problems.append("decomposable set wrong at U+%04X" % u)
            break
        if decode_set(*encoded["combining"], u) != (u in marks):
            problems.append("combining set wrong at U+%04X" % u)
            break
        class_pages, class_tables = encoded["classes"]
        page = class_pages[u >> 8]
        if (class_tables[page - 1][u & 0xFF] if page else 0) != classes[u]:
            problems.append("class wrong at U+%04X" % u)
            break
        fold_pages, fold_tables = encoded["fold"]
        page = fold_pages[u >> 8]
        folded = fold[u] if u < 0x100 else (fold_tables[page - 1][u & 0xFF] if page else u)
        if folded != fold[u]:
            problems.append("fold wrong at U+%04X" % u)
            break
    if 0x00BF >= min(decomposable) or 0x02FF >= min(marks):
        problems.append("set reaches below its floor")
    return problems


def hex_rows(values, width, per_line, indent="    "):
    rows = []
    for i in range(0, len(values), per_line):
        rows.append(indent + ", ".join("0x%0*X" % (width, v) for v in values[i:i + per_line]) + ",")
    return "\n".join(rows)


def render(db, entries, pool, encoded):
    out = []
    emit = out.append
    emit("// Generated by tools/gen-hfs-name-tables.py from the Unicode character database")
    emit("// (UnicodeData.txt and DerivedAge.txt, Unicode %s), cut back to Unicode 4.0." % db.version)
    emit("// Do not edit. To regenerate, from the top of the source tree:")
    emit("//   python3 tools/gen-hfs-name-tables.py --ucd /usr/share/unicode --output volume/HFSNameTables.cpp")
    emit("// Layouts are described in HFSNamesInternal.h.")
    emit("#include \"HFSNamesInternal.h\"")
    emit("")
    emit("namespace hfsnames {")
    emit("")
    emit("// (character, info) sorted by character.")
    emit("const DecompositionEntry kDecompositions[] = {")
    for i in range(0, len(entries), 6):
        emit("    " + " ".join("{0x%04X, 0x%04X}," % e for e in entries[i:i + 6]))
    emit("};")
    emit("const size_t kDecompositionCount = sizeof(kDecompositions) / sizeof(kDecompositions[0]);")
    emit("")
    emit("const uint16_t kSequencePool[] = {")
    emit(hex_rows(pool, 4, 12))
    emit("};")
    emit("const size_t kSequencePoolCount = sizeof(kSequencePool) / sizeof(kSequencePool[0]);")
    for name, label in (("decomposable", "Decomposable"), ("combining", "Combining")):
        pages, bitmaps = encoded[name]
        emit("")
        emit("const uint8_t k%sPages[256] = {" % label)
        emit(hex_rows(pages, 2, 16))
        emit("};")
        emit("const uint8_t k%sBitmaps[][32] = {" % label)
        for bitmap in bitmaps:
            emit("    {")
            emit(hex_rows(bitmap, 2, 16, "        "))
            emit("    },")
        emit("};")
        emit("const size_t k%sBitmapCount = sizeof(k%sBitmaps) / sizeof(k%sBitmaps[0]);"
             % (label, label, label))
    pages, tables = encoded["classes"]
    emit("")
    emit("const uint8_t kClassPages[256] = {")
    emit(hex_rows(pages, 2, 16))
    emit("};")
    emit("const uint8_t kClassTables[][256] = {")
    for table in tables:
        emit("    {")
        emit("\n".join("        " + ", ".join("%3d" % v for v in table[i:i + 16]) + ","
                       for i in range(0, 256, 16)))
        emit("    },")
    emit("};")
    emit("const size_t kClassTableCount = sizeof(kClassTables) / sizeof(kClassTables[0]);")
    pages, tables = encoded["fold"]
    emit("")
    emit("const uint16_t kFoldLatin[256] = {")
    emit(hex_rows(encoded["latin"], 4, 12))
    emit("};")
    emit("const uint8_t kFoldPages[256] = {")
    emit(hex_rows(pages, 2, 16))
    emit("};")
    emit("const uint16_t kFoldTables[][256] = {")
    for table in tables:
        emit("    {")
        emit(hex_rows(table, 4, 12, "        "))
        emit("    },")
    emit("};")
    emit("const size_t kFoldTableCount = sizeof(kFoldTables) / sizeof(kFoldTables[0]);")
    emit("")
    emit("}  // namespace hfsnames")
    return "\n".join(out) + "\n"


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", default="/usr/share/unicode",
                        help="folder with UnicodeData.txt and DerivedAge.txt")
    parser.add_argument("--output", default=os.path.join(here, "..", "volume", "HFSNameTables.cpp"))
    args = parser.parse_args()
    try:
        db = Database(args.ucd)
        table, entries, pool = build_decompositions(db)
        marks = build_combining_set(db)
        classes = build_classes(db)
        fold = build_folding(db)
        encoded = {
            "decomposable": encode_set(set(table) | set(range(HANGUL_FIRST, HANGUL_LAST + 1))),
            "combining": encode_set(marks),
            "classes": encode_paged(classes, lambda u: 0, 0),
            "fold": encode_paged(fold, lambda u: u, 1),
            "latin": fold[:256],
        }
        print("Unicode data       %s (python unicodedata %s)" % (db.version, unicodedata.unidata_version))
        problems = self_check(db, table, entries, pool, classes, marks, fold, encoded)
        if problems:
            for p in problems:
                print("error: " + p, file=sys.stderr)
            return 1
        text = render(db, entries, pool, encoded)
    except (OSError, ValueError, GenerationError) as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    print("wrote %s" % os.path.normpath(args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
