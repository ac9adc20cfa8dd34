#!/usr/bin/env python3
"""check_loader_units.py: the loader's shared parts without a database.

    python3 tests/db/check_loader_units.py ZERVGEN     (from the repo root)

The field rules of rows.py on worked rows (values as stored, and the reason
a broken field gives); every row of real runs converted the same from the
comma, '|', tab and fixed-format files, checked or proven; the fixed-format
splitter that feeds COPY; the fill width of a -fc value; and the run options
read back from a report's Cmd: line.
"""

import io
import os
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "scripts"))

from zervgen_load import common, rows  # noqa: E402

ZERVGEN = None
GOOD = b"115,792792793,167,-459595960.00,292929293,292929293,1/26/1968,YVFU9KHk7E,BBWp:aE9DYCDfEqJ3F:c,e1dm aUeU ,qUNGs"


def with_field(index, value, line=GOOD, sep=b","):
    fields = line.split(sep)
    fields[index] = value
    return sep.join(fields)


class FieldRules(unittest.TestCase):
    def test_worked_row(self):
        convert = rows.converter("hundred", 5, b",", False, True)
        self.assertEqual(convert(GOOD), (115, 792792793, 167, -459595960.0, 292929293, 292929293,
                                         "1968-01-26", "YVFU9KHk7E", "BBWp:aE9DYCDfEqJ3F:c",
                                         "e1dm aUeU ", "qUNGs"))
        self.assertEqual(rows.converter("hundred", 0, b",", False, True)(GOOD.rsplit(b",", 1)[0])[-1],
                         None)
        self.assertEqual(rows.converter("tiny", 0, b",", False, True)(b"0"), (0,))

    def test_broken_fields(self):
        cases = [  # (line, what the reason holds)
            (with_field(1, b"176\x0076177"), "int: not a whole number"),
            (with_field(0, b"x"), "key: not a whole number"),
            (with_field(0, b""), "key: not a whole number"),
            (with_field(0, b"\\061"), "key: not a whole number"),
            (with_field(0, b"07"), "key: not a whole number"),
            (with_field(2, b"12.5"), "signed: not a whole number"),
            (with_field(2, b"99999999999"), "signed: not a whole number"),
            (with_field(2, b"1000000001"), "signed: not a whole number"),
            (with_field(3, b"12.50"), "float: not a whole number with .00"),
            (with_field(3, b"500000001.00"), "float: not a whole number with .00"),
            (with_field(6, b"4/2/1951\x00junk"), "date: not a day"),
            (with_field(6, b"1/0/1950"), "date: not a day"),
            (with_field(6, b"0/10/1950"), "date: not a day"),
            (with_field(6, b"2/29/1900"), "date: not a day"),
            (with_field(6, b"2/30/1999"), "date: not a day"),
            (with_field(6, b"01/26/1968"), "date: not a day"),
            (with_field(6, b"1/1/2000"), "date: not a day"),
            (with_field(7, b"YVFU9KHk7"), "code: not 10 printable ASCII characters"),
            (with_field(8, "\u00e9".encode() * 10), "name: not 20 printable ASCII characters: bytes"),
            (with_field(9, b"aP7sa\x006EArZThIOe:"), "address: not 2 to 80"),
            (with_field(9, b"a"), "address: not 2 to 80"),
            (with_field(10, b"\\N"), "fill: not 5 printable ASCII characters: '\\N'"),
            (GOOD + b"\r", "the row ends in a carriage return"),
            (GOOD + b",x", "expected 11 fields separated by ',', found more"),
            (GOOD.rsplit(b",", 1)[0], "expected 11 fields separated by ',', found fewer"),
        ]
        convert = rows.converter("hundred", 5, b",", False, True)
        for line, reason in cases:
            with self.subTest(line=line):
                with self.assertRaises(rows.BadField) as caught:
                    convert(line)
                self.assertIn(reason, str(caught.exception))
        with self.assertRaisesRegex(rows.BadField, "key: not 0"):
            rows.converter("tiny", 0, b",", False, True)(b"1")
        self.assertEqual(rows.converter("hundred", 5, b",", False, True)(with_field(6, b"2/29/1904"))[6],
                         "1904-02-29")

    def test_fixed_splitter(self):
        fixed = rows.cut_fixed(b"x" * 185, 0)
        self.assertEqual(len(fixed), 10)
        out = io.BytesIO()
        rows.write_fixed_as_tabs(0, [b"x" * 60 + b"\n", b"x" * 184 + b"\\\n"], out)
        self.assertEqual(out.getvalue().split(b"\n")[:2],
                         [b"zervgen-bad: not a fixed-format row of 185 characters",
                          b"zervgen-bad: a backslash, which no generated field holds"])


class RealRuns(unittest.TestCase):
    """Every row of a 300-row run, delimited three ways and fixed, with and
    without a fill: the same stored values, checked or proven."""

    def test_formats_agree(self):
        with tempfile.TemporaryDirectory() as tmp:
            for fc in ("0", "7"):
                made = {}
                for name, args in (("comma", ["-dc", ","]), ("bar", ["-dc", "|"]),
                                   ("tab", ["-dc", "tab"]), ("fixed", ["-ff"])):
                    prefix = os.path.join(tmp, f"{name}{fc}")
                    subprocess.run([ZERVGEN, "-n", "300", "-fc", fc, "-f", prefix] + args,
                                   check=True, capture_output=True)
                    made[name] = prefix
                delims = {"comma": b",", "bar": b"|", "tab": b"\t", "fixed": b"\t"}
                for rel, suffix in common.SUFFIX.items():
                    seen = []
                    for name, prefix in made.items():
                        with open(f"{prefix}.{suffix}", "rb") as f:
                            lines = f.read().split(b"\n")[:-1]
                        for checked in (True, False):
                            convert = rows.converter(rel, int(fc), delims[name], name == "fixed",
                                                     checked)
                            values = [convert(line) for line in lines]
                            if name == "fixed" and rel != "tiny":  # the padding of an address
                                values = [v[:9] + (v[9].rstrip(" "),) + v[10:] for v in values]
                            seen.append(values)
                    base = [v[:9] + (v[9].rstrip(" "),) + v[10:] if rel != "tiny" else v
                            for v in seen[0]]
                    for values in seen[1:]:
                        got = [v[:9] + (v[9].rstrip(" "),) + v[10:] if rel != "tiny" else v
                               for v in values]
                        self.assertEqual(got, base, f"{rel}, -fc {fc}")
                    self.assertEqual(len(base), 1 if rel == "tiny" else 300)


class Options(unittest.TestCase):
    def test_fill_of_fc(self):
        for value, width in ((" 5", 5), ("+5", 5), ("20", 20), ("0", 0), ("x", 0), ("", 0)):
            with self.subTest(value=value):
                self.assertEqual(common.fill_of_fc(value), width)

    def test_run_options(self):
        cases = [
            ("zervgen -n 1000 -fc 5 -dc | -r zerv.rpt -f zerv", ["-n", "1000", "-fc", "5", "-dc", "|"]),
            ("/x/zervgen -r -f out/zerv -400", ["-400"]),
            ("zervgen -n 2000 -parts 3 -part 1 -t . -r zerv.rpt -f zerv", ["-n", "2000", "-parts", "3"]),
            ("zervgen -te -n 100 -ff", ["-te", "-n", "100", "-ff"]),
        ]
        for cmd, want in cases:
            with self.subTest(cmd=cmd):
                load = common.Load.__new__(common.Load)
                load.report = common.Report.__new__(common.Report)
                load.report.cmd = cmd
                self.assertEqual(load.run_options(), want)


if __name__ == "__main__":
    ZERVGEN = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
