#!/usr/bin/env python3
"""check_loader_units.py: the loader's shared parts without a database.

    python3 tests/db/check_loader_units.py ZERVGEN     (from the repo root)

The conversion of rows.py on worked rows, with the columns of zervgen's
-describe documents (values as stored, and the reason a row of other
fields gives); every row of real runs converted the same from the comma,
'|', tab and fixed-format files; the fixed-format splitter that feeds COPY;
the relations and columns the loader takes from -describe for files
without a run record; and which run record the loader
finds and what its proof decides, for runs of every kind (names with a
blank, edited reports, concatenated parts, one-relation runs, manifests,
a zervgen whose -verify cannot run or says more than its JSON).
"""

import io
import os
import shutil
import subprocess
import sys
import json
import tempfile
import threading
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "scripts"))

from zervgen_tools import cli, interface, loader, rows, sqlite  # noqa: E402

ZERVGEN = None
GOOD = b"115,792792793,167,-459595960.00,292929293,292929293,1/26/1968,YVFU9KHk7E,BBWp:aE9DYCDfEqJ3F:c,e1dm aUeU ,qUNGs"


def described(args, name):
    """The columns of relation `name` in zervgen's -describe of args."""
    return interface.relation(interface.describe(ZERVGEN, args), name)["columns"]


def with_field(index, value, line=GOOD, sep=b","):
    fields = line.split(sep)
    fields[index] = value
    return sep.join(fields)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def zervgen(folder, *args):
    os.makedirs(folder, exist_ok=True)
    subprocess.run([ZERVGEN] + list(args), cwd=folder, check=True, capture_output=True)


class FieldRules(unittest.TestCase):
    def setUp(self):
        self.hundred = described(["-n", "2000", "-fc", "5"], "hundred")

    def test_worked_row(self):
        convert = rows.converter(self.hundred, b",", False)
        self.assertEqual(convert(GOOD), (115, 792792793, 167, -459595960.0, 292929293, 292929293,
                                         "1968-01-26", "YVFU9KHk7E", "BBWp:aE9DYCDfEqJ3F:c",
                                         "e1dm aUeU ", "qUNGs"))
        tiny = described(["-n", "2000"], "tiny")
        self.assertEqual(rows.converter(tiny, b",", False)(b"0"), (0,))
        self.assertEqual(rows.converter(tiny, b",", True)(b"         0"), (0,))

    def test_other_rows(self):
        cases = [  # (line, the reason)
            (GOOD + b"\r", "the row ends in a carriage return"),
            (GOOD + b",x", "expected 11 fields separated by ',', found more"),
            (GOOD.rsplit(b",", 1)[0], "expected 11 fields separated by ',', found fewer"),
            (GOOD.replace(b",", b"|"), "expected 11 fields separated by ',', found fewer"),
        ]
        convert = rows.converter(self.hundred, b",", False)
        for line, reason in cases:
            with self.subTest(line=line):
                with self.assertRaises(rows.BadField) as caught:
                    convert(line)
                self.assertEqual(str(caught.exception), reason)
        fixed = rows.converter(described(["-n", "100"], "hundred"), b"\t", True)
        with self.assertRaisesRegex(rows.BadField, "^not a fixed-format row of 185 characters$"):
            fixed(b"x" * 184)

    def test_fixed_splitter(self):
        widths = rows.widths_of(described(["-n", "100"], "hundred"))
        self.assertEqual(rows.parse_widths(rows.fixed_widths(described(["-n", "100"], "hundred"))),
                         widths)
        self.assertEqual(rows.fixed_widths(described(["-n", "100", "-fc", "3"], "uniques")),
                         "10,10,10,13,11,11,10,10,20,80p,3")
        self.assertEqual(len(rows.cut_fixed(b"x" * 185, widths)), 10)
        self.assertEqual(rows.cut_fixed(b"x" * 184, widths), None)
        out = io.BytesIO()
        rows.write_fixed_as_tabs(widths, [b"x" * 60 + b"\n", b"x" * 184 + b"\\\n",
                                          b"y" * 105 + b"addr" + b" " * 76 + b"\n"], out)
        self.assertEqual(out.getvalue().split(b"\n")[:3],
                         [b"zervgen-bad: not a fixed-format row of 185 characters",
                          b"zervgen-bad: a backslash, which no generated field holds",
                          b"\t".join([b"y" * 10] * 3 + [b"y" * 13] + [b"y" * 11] * 2
                                     + [b"y" * 10] * 2 + [b"y" * 20, b"addr"])])



class RealRuns(unittest.TestCase):
    """Every row of a 300-row run, delimited three ways and fixed, with and
    without a fill: the same stored values."""

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
                doc = interface.describe(ZERVGEN, ["-n", "300", "-fc", fc])
                for rel in doc["relations"]:
                    columns = rel["columns"]
                    pads = [rows.padded(c) for c in columns]
                    seen = []
                    for name, prefix in made.items():
                        lines = read(f"{prefix}.{rel['suffix']}").split(b"\n")[:-1]
                        convert = rows.converter(columns, delims[name], name == "fixed")
                        # the padding of a text of varying length is not kept in fixed format
                        seen.append([tuple(v.rstrip(" ") if pad else v for v, pad in zip(row, pads))
                                     for row in map(convert, lines)])
                    for values in seen[1:]:
                        self.assertEqual(values, seen[0], f"{rel['name']}, -fc {fc}")
                    self.assertEqual(len(seen[0]), rel["rows"])


def new_load(argv):
    load = loader.Load(sqlite.Backend(), "zervgen-load sqlite",
                       {"signalled": None, "holding": False, "critical": False},
                       os.path.join(REPO, "sql"))
    load.setup(argv)
    return load


def decide(argv):
    """What the loader makes of the files of argv before it loads: its
    record's data_args and whether the files are proven, or its one-line
    refusal."""
    try:
        load = new_load(argv)
    except cli.Failure as e:  # a usage error: nothing was read
        return "refused", str(e), None
    try:
        load.run.find_record()
        load.run.check_files()
        load.prove()
        data_args = load.run.record.doc["data_args"] if load.run.record else None
        return ("proven" if load.run.proven else "unproven"), data_args, load.run
    except cli.Failure as e:
        return "refused", str(e), load.run
    finally:
        load.finish()


class Relations(unittest.TestCase):
    """Files without a run record: the run they show (its rows from the
    line count, its fill width from a row), proven; the relations and
    columns come from -describe of that run."""

    def test_without_record(self):
        with tempfile.TemporaryDirectory() as tmp:
            zervgen(tmp, "-n", "3000", "-fc", "9")
            outcome, data_args, run = decide(["-z", ZERVGEN, "x.db", tmp])
            self.assertEqual((outcome, data_args, run.record.inferred),
                             ("proven", ["-n", "3000", "-fc", "9", "-dc", ","], True))
            self.assertEqual([r.rows for r in run.relations], [3000, 3000, 1, 3000, 3000])
            self.assertEqual([r.name for r in run.relations],
                             ["hundred", "tenpcnt", "tiny", "uniques", "updates"])
            self.assertEqual(run.fill_width, 9)
            rel = run.relation("hundred")
            key, fill = rel.columns[0], rel.columns[-1]
            self.assertEqual((key["name"], key["min"], key["max"]), ("key", 0, 3000))
            self.assertEqual((fill["name"], fill["min_length"], fill["max_length"]), ("fill", 9, 9))
            self.assertEqual(rel.fill, rel.columns[-1])
            tiny = run.relation("tiny")
            self.assertEqual((tiny.constant, tiny.rows, tiny.fill, len(tiny.columns)), (True, 1, None, 1))
            self.assertEqual((rel.constant, rel.rows), (False, 3000))
            # The columns are the run's: its 3000 rows, not the 100 first described.
            convert = rows.converter(rel.columns, b",", False)
            keys = [convert(line)[0] for line in read(os.path.join(tmp, "zerv.hun")).split(b"\n")[:-1]]
            self.assertEqual((len(keys), min(keys), max(keys)), (3000, key["min"], key["max"]))


class Records(unittest.TestCase):
    """The run record the loader finds and what the proof decides: a
    record that cannot prove the files ends the load, never a load
    without proof."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def path(self, *names):
        return os.path.join(self.tmp, *names)

    def edit(self, name, old, new, count=1):
        data = read(self.path(name))
        self.assertIn(old, data)
        with open(self.path(name), "wb") as f:
            f.write(data.replace(old, new, count))

    def stub(self, name, verify_part):
        """A zervgen that describes as the real one and runs verify_part
        (shell) for -verify."""
        path = self.path(name)
        with open(path, "w") as f:
            f.write(f'#!/bin/sh\ncase " $* " in *" -verify "*) {verify_part} ;; esac\n'
                    f'exec "{ZERVGEN}" "$@"\n')
        os.chmod(path, 0o755)
        return path

    def test_records(self):
        blank = self.path("my data")
        zervgen(blank, "-n", "2000", "-f", os.path.join(blank, "zerv"),
                "-r", os.path.join(blank, "zerv.rpt"))
        zervgen(self.path("m"), "-n", "2000", "-fc", "3", "-manifest", "zerv.manifest",
                "-r", "zerv.rpt")
        for k in ("1", "2", "3"):
            zervgen(self.path("parts"), "-n", "2000", "-parts", "3", "-part", k,
                    *(["-r", "zerv.rpt"] if k == "1" else []))
        os.makedirs(self.path("joined"))
        for suffix in ("hun", "ten", "tny", "uni", "upd"):
            with open(self.path("joined", f"zerv.{suffix}"), "wb") as out:
                for k in ("1", "2", "3"):
                    out.write(read(self.path("parts", f"zerv.{suffix}.{k}")))
        shutil.copy(self.path("parts", "zerv.rpt"), self.path("joined", "zerv.rpt"))
        zervgen(self.path("parquet"), "-n", "2000", "-parquet", "-r", "zerv.rpt")
        zervgen(self.path("parquet"), "-n", "2000")
        zervgen(self.path("one"), "-n", "2000")
        zervgen(self.path("one"), "-hu", "-n", "2000", "-f", "other.hun", "-r", "zerv.rpt")
        zervgen(self.path("whole"), "-n", "2000", "-r", "zerv.rpt")
        zervgen(self.path("one part"), "-n", "2000", "-parts", "1", "-part", "1")
        zervgen(self.path("one part, its manifest"), "-n", "2000", "-parts", "1", "-part", "1",
                "-manifest", "zerv.manifest")
        for k in ("1", "2"):
            zervgen(self.path("whole"), "-n", "2000", "-parts", "2", "-part", k)
        shutil.copytree(self.path("m"), self.path("m-bad"))
        self.edit("m-bad/zerv.uni", b"\n", b"\n1")  # row 2's key, another number
        shutil.copytree(self.path("whole"), self.path("edited"))
        self.edit("edited/zerv.rpt", b"-n 2000", b"-n 99")
        shutil.copytree(self.path("whole"), self.path("nocmd"))
        self.edit("nocmd/zerv.rpt", b"Cmd:  ", b"Cmd ")
        shutil.copytree(self.path("m"), self.path("m-junk"))
        with open(self.path("m-junk", "zerv.manifest"), "w") as f:
            f.write("{")
        # zervgen's banner first, as every zervgen writes it.
        no_verify = self.stub("no-verify", f'"{ZERVGEN}" -describe >/dev/null;'
                              ' echo "$0: Unknown option, \'-verify\'." >&2; exit 255')
        decoy = self.stub("decoy", 'echo "zerv.hun: FAILED: row 1 differs (a decoy)"')
        dc = ["-n", "2000", "-dc", ","]
        proven_by = "ended with status 0, every file proven"
        cases = [  # (name, loader options, PREFIX, outcome, data_args or what the refusal holds)
            ("a blank in the report's names", [], "my data", "refused",
             ["cannot prove the files: zervgen does not take back the Cmd: line of the report",
              "Unknown option, 'data/zerv'", "give the run's manifest with -M MANIFEST",
              "(nothing was loaded)"]),
            ("an edited Cmd: line", [], "edited", "refused",
             ["cannot prove", "At least 100 rows must be specified", "-M MANIFEST"]),
            ("a report without a Cmd: line", [], "nocmd", "refused",
             ['is not a zervgen report (no "Cmd:" line)', "-M MANIFEST"]),
            ("the manifest beside the report", [], "m", "proven", ["-n", "2000", "-fc", "3", "-dc", ","]),
            ("a manifest named with -M", ["-M", self.path("m", "zerv.manifest")], "my data",
             "refused", ["a fill of 0 characters, the manifest", "m/zerv.manifest says 3"]),
            ("a file that is not the manifest's", [], "m-bad", "refused",
             ["uniques: ", "m-bad/zerv.uni: not the file the run wrote: row 2 differs"]),
            ("a manifest that is not JSON", [], "m-junk", "refused",
             ["cannot prove the files", "is not a zervgen manifest (not JSON)"]),
            ("-R over the manifest", ["-R", self.path("m", "zerv.rpt")], "m", "proven",
             ["-n", "2000", "-fc", "3", "-dc", ","]),
            ("whole files joined from parts, the parts' report", [], "joined", "proven", dc),
            ("a one-relation run's report", [], "one", "proven", dc),
            ("text files beside a Parquet run's report", [], "parquet", "refused",
             ["parquet/zerv.rpt says the run wrote Parquet files: the loader reads text rows"]),
            ("-d that the manifest contradicts", ["-d", "|"], "m", "refused",
             ["-d |: the manifest ", "m/zerv.manifest says the run wrote rows separated by ','"
              " (leave -d out: the record gives it)"]),
            ("part files with a whole run's report", ["-j", "2"], "whole", "proven", dc),
            ("the part files of -parts 1", [], "one part", "proven", dc),
            ("the part files of -parts 1, the manifest", [], "one part, its manifest", "proven",
             dc),
            ("a zervgen whose -verify cannot run", ["-z", no_verify], "whole", "refused",
             ["cannot prove the files with", "Unknown option, '-verify'", "-M MANIFEST"]),
            ("a -verify that says more than its JSON", ["-z", decoy], "whole", "proven", dc),
        ]
        for name, options, prefix, outcome, want in cases:
            with self.subTest(name):
                options = options if "-z" in options else ["-z", ZERVGEN] + options
                got, said, _ = decide(options + ["x.db", self.path(prefix)])
                self.assertEqual(got, outcome, said)
                if outcome == "refused":
                    for text in want:
                        self.assertIn(text, said)
                else:
                    self.assertEqual(said, want, proven_by)

    def manifest_edited(self, change):
        """The path of a copy of m/zerv.manifest with change(doc) made."""
        with open(self.path("m", "zerv.manifest"), "rb") as f:
            doc = json.loads(f.read())
        change(doc)
        path = self.path(f"edited.{len(os.listdir(self.tmp))}.manifest")
        with open(path, "w") as f:
            json.dump(doc, f)
        return path

    def test_record_kinds(self):
        """A record the user names or the loader finds is read whatever
        kind of file it is, or the load stops in one line; a manifest is
        the run's, field by field; the record gives the rows' format and
        relations."""
        zervgen(self.path("m"), "-n", "2000", "-fc", "3", "-manifest", "zerv.manifest")
        zervgen(self.path("changed"), "-n", "1000", "-r", "run.rpt")
        self.edit("changed/zerv.hun", b"115,792792793,167,", b"115,792792793,150,")
        zervgen(self.path("tab"), "-n", "2000", "-dc", "tab", "-manifest", "zerv.manifest")
        zervgen(self.path("hu"), "-hu", "-n", "1500", "-r")
        zervgen(self.path("gz"), "-te", "-n", "1500", "-parts", "2", "-compress", "gzip:4",
                "-manifest", "zerv.manifest")
        for folder in ("folder", "fifo"):
            zervgen(self.path(folder), "-n", "1000")
        os.makedirs(self.path("folder", "zerv.rpt"))
        os.mkfifo(self.path("fifo", "zerv.rpt"))
        os.mkfifo(self.path("written.fifo"))
        with open(self.path("deep.manifest"), "w") as f:
            f.write("[" * 100000)
        with open(self.path("changed", "run.rpt"), "rb") as f:
            report = f.read()
        with open(self.path("m", "zerv.manifest"), "rb") as f:
            manifest = f.read()

        def writer(data):
            with open(self.path("written.fifo"), "wb") as f:
                f.write(data)

        def edited(change):
            return ["-M", self.manifest_edited(change)]
        data_args = lambda doc: doc["describe"]["data_args"]  # noqa: E731
        options = lambda doc: doc["describe"]["options"]  # noqa: E731
        m_args = ["-n", "2000", "-fc", "3", "-dc", ","]
        cases = [  # (name, options, PREFIX, data for written.fifo, outcome, what it holds)
            ("-R a pipe, a changed value", ["-R", "PIPE"], "changed", report, "refused",
             ["hundred: ", "changed/zerv.hun: not the file the run wrote: row 1 differs"]),
            ("-R a folder", ["-R", self.path("m")], "m", None, "refused",
             ["-R: the report '", "/m' is a folder, not a file"]),
            ("PREFIX.rpt a folder", [], "folder", None, "refused",
             ["cannot prove the files: the report ", "folder/zerv.rpt is a folder, not a file",
              "(nothing was loaded)"]),
            ("PREFIX.rpt a FIFO without a writer", [], "fifo", None, "refused",
             ["fifo/zerv.rpt is a FIFO that nothing wrote to within 5 seconds"
              " (nothing was loaded)"]),
            ("-M a FIFO with a writer", ["-M", self.path("written.fifo")], "m", manifest,
             "proven", m_args),
            ("-M /dev/zero", ["-M", "/dev/zero"], "m", None, "refused",
             ["the manifest /dev/zero holds more than a zervgen record can have"]),
            ("a manifest nested too deep", ["-M", self.path("deep.manifest")], "m", None,
             "refused", ["deep.manifest is not a zervgen manifest (not JSON)"]),
            ("data_args gains -hu", edited(lambda d: data_args(d).append("-hu")), "m", None,
             "refused", [".manifest: describe.data_args is not what zervgen says"]),
            ("data_args a string", edited(lambda d: d["describe"].update(data_args="-n 2000")),
             "m", None, "refused", ["describe.data_args is not what zervgen says"]),
            ("data_args missing", edited(lambda d: d["describe"].pop("data_args")), "m", None,
             "refused", ["describe.data_args is not what zervgen says"]),
            ("data_args a number", edited(lambda d: d["describe"].update(data_args=7)), "m",
             None, "refused", ["describe.data_args is not what zervgen says"]),
            ("compress xz", edited(lambda d: options(d).update(compress="xz")), "m", None,
             "refused", ["describe.options.compress is not what zervgen says"]),
            ("compress a list", edited(lambda d: options(d).update(compress=["zstd"])), "m",
             None, "refused", ["describe.options.compress is not what zervgen says"]),
            ("argv not a command line", edited(lambda d: d["describe"].update(argv="zervgen")),
             "m", None, "refused", ["describe.argv is not the command line of a zervgen run"]),
            ("a tab run's manifest, no -d", [], "tab", None, "proven",
             ["-n", "2000", "-dc", "tab"]),
            ("a one-relation run's report", [], "hu", None, "proven", ["-n", "1500", "-dc", ","]),
            ("a one-relation run in compressed parts", ["-j", "2"], "gz", None, "proven",
             ["-n", "1500", "-dc", ","]),
        ]
        for name, opts, prefix, data, outcome, want in cases:
            with self.subTest(name):
                r, w = os.pipe()
                os.write(w, report)
                os.close(w)
                feeder = threading.Thread(target=writer, args=(data,)) if data and "PIPE" not in opts else None
                if feeder:
                    feeder.start()
                opts = [f"/dev/fd/{r}" if a == "PIPE" else a for a in opts]
                try:
                    got, said, run = decide(["-z", ZERVGEN] + opts + ["x.db", self.path(prefix)])
                finally:
                    os.close(r)
                    if feeder:
                        feeder.join()
                self.assertEqual(got, outcome, said)
                if outcome == "refused":
                    for text in want:
                        self.assertIn(text, said)
                    continue
                self.assertEqual(said, want)
                if prefix in ("hu", "gz"):
                    self.assertEqual([r.name for r in run.relations],
                                     ["hundred" if prefix == "hu" else "tenpcnt"])


if __name__ == "__main__":
    ZERVGEN = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
