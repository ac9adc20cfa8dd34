#!/usr/bin/env python3
"""check_catalogue.py: what -describe's rules say holds in the runs, and the
man page's column map is zervgen's.

    python3 tests/tools/check_catalogue.py ZERVGEN     (from the repo root)

- The rules (-describe's "rules") are checked against the documents of runs
  of several row counts: every relation's row count, whether it has a fill
  column, and each column's minimum, maximum and distinct values are the
  rules' figures at that count; zervgen takes the bounds of -n and -fc the
  rules give and refuses a row or a fill character beyond them.
- The table of fixed-format columns in man/zervgen.1 is the one the widths
  of -describe -ff make, fill included, and so is the sentence on tiny.
"""

import os
import re
import sys
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "scripts"))

from zervgen_tools import interface  # noqa: E402

ZERVGEN = None
MAN = os.path.join(REPO, "man", "zervgen.1")


def describe(*args):
    return interface.describe(ZERVGEN, list(args))


def accepted(*args):
    try:
        describe(*args)
    except interface.ZervgenError:
        return False
    return True


class Rules(unittest.TestCase):
    def test_figures_are_the_rules_at_each_row_count(self):
        rules = interface.rules(describe())
        # The bounds, both sides of the cap of the dates (36524 days), and
        # counts that a division by 10 rounds down.
        for n in (rules["rows"]["min"], 109, 36524, 36525, 1000001, rules["rows"]["max"]):
            doc = describe("-n", str(n), "-fc", "1")
            self.assertEqual([r["name"] for r in doc["relations"]],
                             [r["name"] for r in rules["relations"]])
            for rel, rule in zip(doc["relations"], rules["relations"]):
                where = f"-n {n}: {rel['name']}"
                want_rows = rule["fixed_rows"] if rule["fixed_rows"] is not None else n
                self.assertEqual(rel["rows"], want_rows, where)
                names = [c["name"] for c in rel["columns"]]
                self.assertEqual(names[:len(rule["columns"])],
                                 [c["name"] for c in rule["columns"]], where)
                self.assertEqual(len(names) > len(rule["columns"]), rule["takes_fill"], where)
                for column, crule in zip(rel["columns"], rule["columns"]):
                    for field in ("min", "max", "distinct"):
                        self.assertEqual(field in crule, field in column, f"{where}.{field}")
                        if field in crule:
                            self.assertEqual(interface.rule_value(crule[field], n),
                                             column[field],
                                             f"{where}.{column['name']}.{field}")

    def test_bounds_of_rows_and_fill(self):
        rules = interface.rules(describe())
        rows, fill = rules["rows"], rules["fill"]
        self.assertEqual(fill["min"], 0)
        for args, ok in [(["-n", str(rows["min"])], True), (["-n", str(rows["max"])], True),
                         (["-n", str(rows["min"] - 1)], False),
                         (["-n", str(rows["max"] + 1)], False),
                         (["-fc", str(fill["max"])], True), (["-fc", str(fill["max"] + 1)], False)]:
            self.assertEqual(accepted(*args), ok, " ".join(args))

    def test_rule_values(self):
        cases = [(5, 100, 5), ({"rows_over": 1, "plus": 0}, 2000, 2000),
                 ({"rows_over": 10, "plus": -1}, 2009, 199),
                 ({"rows_over": 1, "plus": 0, "at_most": 36524}, 40000, 36524),
                 ({"rows_over": 1, "plus": 0, "at_most": 36524}, 300, 300),
                 ("1900-01-01", 100, "1900-01-01")]
        for rule, rows, want in cases:
            self.assertEqual(interface.rule_value(rule, rows), want, (rule, rows))


def man_map():
    """[(column, first, last)] of the man page's table of fixed-format
    columns (last None for the fill), and the columns it gives tiny's key."""
    with open(MAN, encoding="utf-8") as f:
        text = f.read()
    start = text.index("The fields of a row of")
    table = text[text.index(".TS", start):text.index(".TE", start)]
    rows = []
    for line in table.splitlines():
        m = re.fullmatch(r"(\w+)\t(\d+)\\-(\d+)", line)
        if m:
            rows.append((m.group(1), int(m.group(2)), int(m.group(3))))
        m = re.fullmatch(r"(\w+)\t(\d+) to (\d+) \+ \\fInChars\\fP", line)
        if m:
            rows.append((m.group(1), int(m.group(2)), None))
            if int(m.group(3)) + 1 != int(m.group(2)):
                rows.append(("bad fill line", line, None))
    tiny = re.search(r"The key of tiny takes columns (\d+)\\-(\d+)\.", text)
    return rows, (int(tiny.group(1)), int(tiny.group(2))) if tiny else None


def described_map(columns):
    rows, first = [], 1
    for c in columns:
        if c["name"] == "fill":
            rows.append(("fill", first, None))
        else:
            rows.append((c["name"], first, first + c["width"] - 1))
            first += c["width"]
    return rows


class ManPage(unittest.TestCase):
    def test_column_map_is_zervgens(self):
        doc = describe("-ff", "-fc", "1")
        widest = max(doc["relations"], key=lambda r: len(r["columns"]))
        rows, tiny = man_map()
        self.assertEqual(rows, described_map(widest["columns"]))
        one_row = [r for r in doc["relations"] if r["rows"] == 1]
        self.assertEqual(len(one_row), 1)
        (key,) = described_map(one_row[0]["columns"][:1])
        self.assertEqual(tiny, key[1:])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: check_catalogue.py ZERVGEN")
    ZERVGEN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
