#!/usr/bin/env python3
"""check_sqlfiles.py: the table files are made from what zervgen describes.

    python3 tests/tools/check_sqlfiles.py ZERVGEN     (from the repo root)

scripts/zervgen_tools/sqlfiles.py is run against a zervgen whose -describe
documents are edited (a column renamed, a range widened, a relation left
out): the files must follow the documents, the SQLite file must make those
tables in SQLite, and the key statements must be the lines the loaders take
for keys. --check must pass on the files it made and name a file that
differs or is missing; the generator must refuse a zervgen whose limits are
no longer the runs it describes, and the columns of one value per row up to
a cap are those whose rules say so.
"""

import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SQLFILES = os.path.join(REPO, "scripts", "zervgen_tools", "sqlfiles.py")
sys.path.insert(0, os.path.join(REPO, "scripts"))

from zervgen_tools import common  # noqa: E402

ZERVGEN = None

# A zervgen that answers as the real one, with its -describe documents
# edited as EDIT says.
STUB = r'''#!/usr/bin/env python3
import json, os, subprocess, sys
args = sys.argv[1:]
edit = os.environ["EDIT"]
if edit == "limits" and args[:2] == ["-n", "100000001"]:
    args[1] = "100000000"
p = subprocess.run([os.environ["REAL_ZERVGEN"]] + args, capture_output=True)
sys.stderr.buffer.write(p.stderr)
if p.returncode != 0 or "-describe" not in args or edit not in ("catalogue", "capped"):
    sys.stdout.buffer.write(p.stdout)
    sys.exit(p.returncode)
doc = json.loads(p.stdout)
if edit == "capped":  # the rules give hundred's dates another cap, tenpcnt's none
    for r in doc["rules"]["relations"]:
        for c in r["columns"]:
            if (r["name"], c["name"]) == ("hundred", "date"):
                c["distinct"]["at_most"] = 5000
            if (r["name"], c["name"]) == ("tenpcnt", "date"):
                c["distinct"] = 36524
    print(json.dumps(doc))
    sys.exit(0)
doc["relations"] = [r for r in doc["relations"] if r["name"] != "tiny"]
for r in doc["relations"]:
    for c in r["columns"]:
        if c["name"] == "decim":
            c["name"] = "money"
        # One run widens the range below, another above: the files take
        # the range over every run.
        if (r["name"], c["name"]) == ("hundred", "signed"):
            if "-fc" not in args:
                c["min"] = 50
            if args[:4] == ["-n", "100", "-fc", "1"]:
                c["max"] = 299
print(json.dumps(doc))
'''


class SqlFiles(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="check_sqlfiles.")
        self.stub = os.path.join(self.dir, "zervgen")
        with open(self.stub, "w") as f:
            f.write(STUB)
        os.chmod(self.stub, 0o755)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def generate(self, out, zervgen=None, edit="none", check=False):
        env = dict(os.environ, EDIT=edit, REAL_ZERVGEN=ZERVGEN)
        os.makedirs(out, exist_ok=True)
        cmd = [sys.executable, SQLFILES] + (["--check"] if check else [])
        return subprocess.run(cmd + ["--zervgen", zervgen or ZERVGEN, out], env=env,
                              capture_output=True, text=True)

    def read(self, out, name):
        with open(os.path.join(out, name), encoding="utf-8") as f:
            return f.read()

    def test_files_follow_the_documents(self):
        out = os.path.join(self.dir, "edited")
        p = self.generate(out, self.stub, "catalogue")
        self.assertEqual(p.returncode, 0, p.stderr)
        files = sorted(os.listdir(out))
        self.assertEqual(files, ["duckdb-parquet.sql", "duckdb-text.sql", "duckdb.sql",
                                 "mariadb.sql", "postgresql.sql", "sqlite.sql"])
        for name in files:
            text = self.read(out, name)
            self.assertNotIn("tiny", text, name)
            self.assertNotRegex(text, r"\bdecim\b", name)
            if not name.startswith("duckdb-"):
                self.assertRegex(text, r'[`"]money[`"] +[A-Za-z]', name)
        pg = self.read(out, "postgresql.sql")
        start = pg.index("CREATE TABLE hundred")
        hundred = pg[start:pg.index(");", start)]
        self.assertIn('"signed" BETWEEN 50 AND 299', hundred)
        self.assertIn('"money" BETWEEN -1000000000 AND 1000000000 AND "money" = trunc("money")',
                      hundred)
        self.assertIn("signed             integer: whole numbers within -500000000..500000000.", pg)

        # SQLite makes the tables of the documents: the columns in row order,
        # NOT NULL but for the fill, and the key that the loader adds.
        env = dict(os.environ, EDIT="catalogue", REAL_ZERVGEN=ZERVGEN)
        doc = json.loads(subprocess.run([self.stub, "-n", "100", "-fc", "3", "-describe"], env=env,
                                        capture_output=True, check=True).stdout)
        con = sqlite3.connect(":memory:")
        con.executescript(self.read(out, "sqlite.sql"))
        for rel in doc["relations"]:
            info = con.execute(f"PRAGMA table_info({rel['name']})").fetchall()
            self.assertEqual([(r[1], bool(r[3])) for r in info],
                             [(c["name"], c["name"] != "fill") for c in rel["columns"]],
                             rel["name"])
            indexes = con.execute(f"PRAGMA index_list({rel['name']})").fetchall()
            self.assertEqual([(r[1], r[2]) for r in indexes], [(f"{rel['name']}_key", 1)])

    def test_key_lines_and_check(self):
        out = os.path.join(self.dir, "made")
        p = self.generate(out)
        self.assertEqual(p.returncode, 0, p.stderr)
        for name in ("postgresql.sql", "mariadb.sql", "sqlite.sql"):
            lines = self.read(out, name).splitlines(True)
            keys = [line for line in lines if common.KEY_LINE.match(line)]
            tables = re.findall(r"^CREATE TABLE (\w+) \(", "".join(lines), re.M)
            self.assertEqual(tables, ["hundred", "tenpcnt", "tiny", "uniques", "updates"], name)
            keyed = [re.search(r" (?:TABLE|ON) (\w+) ", k).group(1) for k in keys]
            self.assertEqual(keyed, tables, name)
            rest = "".join(line for line in lines
                           if not common.KEY_LINE.match(line) and not line.startswith("--"))
            self.assertNotRegex(rest, r"PRIMARY KEY|UNIQUE INDEX", name)

        p = self.generate(out, check=True)
        self.assertEqual((p.returncode, p.stderr), (0, ""))
        with open(os.path.join(out, "mariadb.sql"), "a") as f:
            f.write("-- a line more\n")
        os.remove(os.path.join(out, "duckdb-text.sql"))
        p = self.generate(out, check=True)
        self.assertEqual(p.returncode, 1)
        self.assertRegex(p.stderr, r"mariadb\.sql differs[^\n]*\n(.*\n)*  \+?-?-- a line more")
        self.assertIn("duckdb-text.sql is missing", p.stderr)
        self.assertNotIn("postgresql.sql", p.stderr)

    def test_capped_columns_follow_the_rules(self):
        out = os.path.join(self.dir, "capped")
        p = self.generate(out, self.stub, "capped")
        self.assertEqual(p.returncode, 0, p.stderr)
        pg = self.read(out, "postgresql.sql")
        self.assertIn("--   hundred: int, code; date while n <= 5000.\n", pg)
        self.assertIn("--   tenpcnt: int, signed, code.\n", pg)

    def test_refuses_limits_it_does_not_know(self):
        p = self.generate(os.path.join(self.dir, "limits"), self.stub, "limits")
        self.assertEqual(p.returncode, 2)
        self.assertIn("zervgen accepts -n 100000001", p.stderr)
        self.assertEqual(os.listdir(os.path.join(self.dir, "limits")), [])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: check_sqlfiles.py ZERVGEN")
    ZERVGEN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
