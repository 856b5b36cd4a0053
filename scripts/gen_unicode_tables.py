#!/usr/bin/env python3
"""Writes src/util/unicode_tables.inc from the Unicode Character Database.

    scripts/gen_unicode_tables.py [--ucd DIR] [--out FILE] [--check]

DIR defaults to /usr/share/unicode (Debian's unicode-data package). The
tables hold, for every code point, what the server asks of a character:
its full default lower-case mapping (UnicodeData.txt field 13, overridden
by the unconditional lines of SpecialCasing.txt), the Cased and
Case_Ignorable properties (the Final_Sigma context), Changes_When_Lowercased
(DerivedCoreProperties.txt) and White_Space (PropList.txt).

The per-character facts are a two-stage table; the block size is chosen by
measurement (the smallest total), and the size a table of ranges would take
is stated beside it. --check compares instead of writing and fails on any
difference (CI runs it). Python 3 standard library only.
"""

import argparse
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAX_CP = 0x10FFFF

CASED, CASE_IGNORABLE, WHITE_SPACE, CHANGES_WHEN_LOWERCASED = 1, 2, 4, 8
LOWERED_INTO = 16  # in the lower-case form of some other character
INDEX_SHIFT = 5  # the mapping's index sits above the five bits
FINAL_SIGMA = (0x03A3, 0x03C2)  # the capital sigma's form in a final place


def parse_ranges(path, wanted):
    """{property: set of code points} for the properties named in wanted."""
    found = {name: set() for name in wanted}
    version = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            if version is None:
                m = re.match(r"#\s*\S+-(\d+\.\d+\.\d+)\.txt", line)
                if m:
                    version = m.group(1)
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            cps, name = [x.strip() for x in line.split(";")[:2]]
            if name not in found:
                continue
            if ".." in cps:
                first, last = (int(x, 16) for x in cps.split(".."))
            else:
                first = last = int(cps, 16)
            found[name].update(range(first, last + 1))
    return found, version


def lower_forms(ucd):
    """{code point: tuple of code points} for every character that changes."""
    forms = {}
    with open(os.path.join(ucd, "UnicodeData.txt"), encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            if fields[13]:
                forms[int(fields[0], 16)] = (int(fields[13], 16),)
    with open(os.path.join(ucd, "SpecialCasing.txt"), encoding="utf-8") as f:
        for line in f:
            fields = [x.strip() for x in line.split("#", 1)[0].split(";")]
            if len(fields) < 5 or fields[4]:
                continue  # a comment, or a conditional (language or context)
            cp = int(fields[0], 16)
            lower = tuple(int(x, 16) for x in fields[1].split())
            if lower != (cp,):
                forms[cp] = lower
            else:
                forms.pop(cp, None)
    return forms


def utf8_length(cp):
    return 1 if cp < 0x80 else 2 if cp < 0x800 else 3 if cp < 0x10000 else 4


def two_stage(values, end, shift):
    """(stage1, blocks): blocks deduplicated, stage1 their numbers."""
    size = 1 << shift
    blocks = []
    numbers = {}
    stage1 = []
    for start in range(0, end, size):
        block = tuple(values[start:start + size])
        if block not in numbers:
            numbers[block] = len(blocks)
            blocks.append(block)
        stage1.append(numbers[block])
    return stage1, blocks


def generate(ucd):
    core, version = parse_ranges(
        os.path.join(ucd, "DerivedCoreProperties.txt"),
        ["Cased", "Case_Ignorable", "Changes_When_Lowercased"])
    props, prop_version = parse_ranges(os.path.join(ucd, "PropList.txt"),
                                       ["White_Space"])
    if version is None or version != prop_version:
        sys.exit("gen_unicode_tables: cannot tell the Unicode version")
    forms = lower_forms(ucd)

    # Premises the server's code rests on; a new Unicode version that broke
    # one must be looked at, not compiled.
    changing = set(forms)
    if changing != core["Changes_When_Lowercased"]:
        sys.exit("gen_unicode_tables: Changes_When_Lowercased is not "
                 "'has a lower-case mapping'")
    for cp, form in forms.items():
        grown = sum(utf8_length(c) for c in form)
        if 2 * grown > 3 * utf8_length(cp):
            sys.exit("gen_unicode_tables: U+%04X grows more than 3/2" % cp)
        if any(c < 0x80 for c in form) and cp >= 0x80 and cp not in (
                0x130, 0x212A):
            sys.exit("gen_unicode_tables: U+%04X lowers to ASCII" % cp)

    # Each changing character's lower-case form: a delta for a single
    # character, or an entry in the long forms.
    deltas = [0]
    long_forms = []
    index_of = {}
    for cp in sorted(forms):
        form = forms[cp]
        if len(form) == 1:
            delta = form[0] - cp
            if delta not in deltas:
                deltas.append(delta)
            index_of[cp] = deltas.index(delta)
    for cp in sorted(forms):
        if len(forms[cp]) > 1:
            index_of[cp] = len(deltas) + len(long_forms)
            long_forms.append((cp, forms[cp]))
    if len(deltas) + len(long_forms) >= 1 << (16 - INDEX_SHIFT):
        sys.exit("gen_unicode_tables: too many distinct lower-case forms")

    values = [0] * (MAX_CP + 1)
    for bit, members in ((CASED, core["Cased"]),
                         (CASE_IGNORABLE, core["Case_Ignorable"]),
                         (WHITE_SPACE, props["White_Space"]),
                         (CHANGES_WHEN_LOWERCASED,
                          core["Changes_When_Lowercased"])):
        for cp in members:
            values[cp] |= bit
    for cp, index in index_of.items():
        values[cp] |= index << INDEX_SHIFT
    for cp, form in list(forms.items()) + [(FINAL_SIGMA[0], FINAL_SIGMA[1:])]:
        for c in form:
            if c != cp:
                values[c] |= LOWERED_INTO

    # The two-stage table covers the planes up to the last one with a
    # lower-case mapping; what lies beyond (a few runs of case-ignorable
    # characters) is a short list of ranges.
    end = (max(forms) | 0xFFFF) + 1
    tail = []
    for cp in range(end, MAX_CP + 1):
        if tail and tail[-1][1] == cp - 1 and tail[-1][2] == values[cp]:
            tail[-1][1] = cp
        elif values[cp]:
            tail.append([cp, cp, values[cp]])
    if any(v >> INDEX_SHIFT for _, _, v in tail):
        sys.exit("gen_unicode_tables: a mapping beyond the table")

    # The distinct values (fewer than 256) stand in the table as bytes.
    distinct = sorted(set(values[:end]) | {0})
    if len(distinct) > 256:
        sys.exit("gen_unicode_tables: more than 256 distinct values")
    number = {v: i for i, v in enumerate(distinct)}
    bytes_ = [number[v] for v in values[:end]]

    def cost(shift):
        stage1, blocks = two_stage(bytes_, end, shift)
        width = 1 if len(blocks) <= 256 else 2
        return len(stage1) * width + len(blocks) * (1 << shift), shift
    best_bytes, shift = min(cost(s) for s in range(3, 11))
    best_bytes += 2 * len(distinct)
    stage1, blocks = two_stage(bytes_, end, shift)
    stage1_type = "std::uint8_t" if len(blocks) <= 256 else "std::uint16_t"

    # For comparison: runs of code points with the same value (start and
    # value, 4 + 2 bytes each), found by a binary search.
    runs = 1 + sum(1 for cp in range(1, end) if values[cp] != values[cp - 1])

    out = []
    w = out.append
    w("// unicode_tables.inc: GENERATED by scripts/gen_unicode_tables.py from")
    w("// the Unicode Character Database, Unicode %s. Do not edit; run the" %
      version)
    w("// script. Included by util/char_facts.cpp only.")
    w("//")
    w("// Per code point, a value of 16 bits: Cased (1), Case_Ignorable (2),")
    w("// White_Space (4), Changes_When_Lowercased (8), in the lower-case form")
    w("// of another character (16, the capital sigma's final form included),")
    w("// and above them the index of its lower-case form: 0 for itself, a")
    w("// delta below kLongFormsFirst, an entry of kLongForms from there on.")
    w("// The %d distinct values are numbered (kValues); a two-stage table" %
      len(distinct))
    w("// of those numbers with blocks of %d code points takes %d bytes in all"
      % (1 << shift, best_bytes))
    w("// (runs of equal values, found by a binary search, would take %d" %
      (runs * 6))
    w("// bytes for the same range); code points from kTableEnd on are in")
    w("// kTail.")
    w("")
    w("inline constexpr char kUnicodeVersion[] = \"%s\";" % version)
    w("inline constexpr unsigned kBlockShift = %d;" % shift)
    w("inline constexpr char32_t kTableEnd = 0x%X;" % end)
    w("inline constexpr unsigned kIndexShift = %d;" % INDEX_SHIFT)
    w("inline constexpr std::uint16_t kLongFormsFirst = %d;" % len(deltas))
    w("")

    def array(decl, items, per_line, fmt):
        w(decl + " = {")
        for i in range(0, len(items), per_line):
            w("    " + ", ".join(fmt(x) for x in items[i:i + per_line]) + ",")
        w("};")
        w("")

    array("inline constexpr %s kStage1[%d]" % (stage1_type, len(stage1)),
          stage1, 16, str)
    flat = [v for block in blocks for v in block]
    array("inline constexpr std::uint8_t kStage2[%d]" % len(flat), flat, 16,
          str)
    array("inline constexpr std::uint16_t kValues[%d]" % len(distinct),
          distinct, 10, lambda v: "0x%X" % v)
    array("inline constexpr std::int32_t kDeltas[%d]" % len(deltas), deltas,
          10, str)
    w("struct LongForm {")
    w("  char32_t from;")
    w("  char32_t to[3];  // unused places hold 0")
    w("};")
    array("inline constexpr LongForm kLongForms[%d]" % len(long_forms),
          long_forms, 1, lambda x: "{0x%X, {%s}}" % (
              x[0], ", ".join("0x%X" % c for c in (x[1] + (0, 0, 0))[:3])))
    w("struct TailRange {")
    w("  char32_t first;")
    w("  char32_t last;")
    w("  std::uint16_t value;")
    w("};")
    array("inline constexpr TailRange kTail[%d]" % len(tail), tail, 1,
          lambda x: "{0x%X, 0x%X, 0x%X}" % tuple(x))
    return "\n".join(out).rstrip("\n") + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--ucd", default="/usr/share/unicode")
    parser.add_argument("--out", default=os.path.join(
        ROOT, "src", "util", "unicode_tables.inc"))
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    text = generate(args.ucd)
    if args.check:
        try:
            with open(args.out, encoding="utf-8") as f:
                current = f.read()
        except OSError:
            current = None
        if current != text:
            sys.exit("gen_unicode_tables: %s differs from what %s generates"
                     % (args.out, args.ucd))
        print("unicode tables: %s matches the UCD" % args.out)
        return
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(text)
    print("wrote %s" % args.out)


if __name__ == "__main__":
    main()
