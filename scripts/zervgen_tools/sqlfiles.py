#!/usr/bin/env python3
"""sqlfiles.py: makes the table files sql/*.sql from zervgen -describe.

    python3 scripts/zervgen_tools/sqlfiles.py [--check] [--zervgen PATH] [SQLDIR]

The relations, their columns in row order, the columns' types, ranges and
lengths, which column may be NULL and which is the key all come from the
-describe documents of a few runs (see Runs); what is written here is, per
database, only how a column type becomes the database's type (and, for
PostgreSQL, its CHECK constraint) and the text that is not about the
relations: how the loader runs the file, the date style, the collation.

Without --check it writes postgresql.sql, sqlite.sql, mariadb.sql,
duckdb.sql, duckdb-text.sql and duckdb-parquet.sql into SQLDIR (default: the
checkout's sql/). With --check it writes nothing and exits 1, naming each
file of SQLDIR that differs from what it makes (with the first lines of the
difference), or 0 when none does. The zervgen it asks is PATH, else the
checkout's build/zervgen, else the one on the PATH. Exit status 2: zervgen
could not be asked.
"""

import difflib
import os
import sys

if not __package__:  # run as a script: the package is the folder it is in
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from zervgen_tools import cli, interface  # noqa: E402
from zervgen_tools.sqltext import DATABASES, MAKER  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ME = MAKER

# The runs whose -describe documents make the files. A constraint must hold
# for every run zervgen accepts, so the files take each figure over the
# extremes of the options that change the columns, as -describe's rules
# bound them: the most rows (the key of hundred and updates reaches n; every
# figure of a column is a constant or grows with n) with the widest fill,
# the fewest rows with the narrowest fill, and a run without a fill column,
# the one column that a run may lack (it is then NULL). The limits are runs
# zervgen must refuse, so that these are its extremes: a row fewer or more,
# a fill character more. The files of the Parquet format and of compressed
# text come from the runs of the fewest rows: their names only.
class Runs:
    def __init__(self, rules):
        rows, fill = rules["rows"], rules["fill"]
        self.rows_min, self.rows_max = rows["min"], rows["max"]
        least, most = str(self.rows_min), str(self.rows_max)
        self.describe = [["-n", most, "-fc", str(fill["max"])], ["-n", least, "-fc", "1"],
                         ["-n", least]]
        self.limits = [["-n", str(self.rows_min - 1)], ["-n", str(self.rows_max + 1)],
                       ["-fc", str(fill["max"] + 1)]]
        self.parquet = ["-n", least, "-parquet", "-codec", "none"]
        self.compressed = {"zstd": ["-n", least, "-compress", "zstd"],
                           "gzip": ["-n", least, "-compress", "gzip"]}


class Column:
    """A column over every run: its type, the widest range and lengths."""

    def __init__(self, c):
        self.name, self.type = c["name"], c["type"]
        self.precision, self.scale = c.get("precision"), c.get("scale")
        self.decimals = c.get("decimals")
        self.width = c["width"]
        self.padded = False  # a fixed-format row pads its shorter texts
        self.min, self.max = c.get("min"), c.get("max")
        self.min_length, self.max_length = c.get("min_length"), c.get("max_length")
        self.nullable = False
        self.fill_width = True  # its texts are as long as the run's fill
        self.distinct_all = True  # one value per row in every run
        self.runs = 0

    def add(self, c, rows, fill):
        if (c["type"], c.get("precision"), c.get("scale"), c.get("decimals")) != \
                (self.type, self.precision, self.scale, self.decimals):
            raise interface.ZervgenError(f"column {self.name}: another type in another run")
        self.runs += 1
        self.width = max(self.width, c["width"])
        if self.type == "text":
            self.min_length = min(self.min_length, c["min_length"])
            self.max_length = max(self.max_length, c["max_length"])
            self.fill_width &= c["min_length"] == c["max_length"] == fill
            self.padded |= c["min_length"] < c["width"]
        else:
            self.fill_width = False
            self.min, self.max = min(self.min, c["min"]), max(self.max, c["max"])
        self.distinct_all &= c["distinct"] == rows

    @property
    def fixed_length(self):
        return self.type == "text" and self.min_length == self.max_length and not self.fill_width


class Relation:
    def __init__(self, r):
        self.name, self.suffix = r["name"], r["suffix"]
        self.columns = {}
        self.one_row = True
        self.max_is_n = {}  # column: whether its largest value is the row count

    def add(self, r, fill):
        rows = r["rows"]
        self.one_row &= rows == 1
        for c in r["columns"]:
            col = self.columns.get(c["name"])
            if col is None:
                col = self.columns[c["name"]] = Column(c)
            col.add(c, rows, fill)
            if c["type"] != "text":
                self.max_is_n[c["name"]] = self.max_is_n.get(c["name"], True) and c["max"] == rows

    @property
    def key(self):
        return next(iter(self.columns.values()))


def catalogue(zervgen):
    """The relations (by name) over the runs, and the files of each format."""
    rules = interface.rules(interface.describe(zervgen, []), zervgen)
    runs = Runs(rules)
    for args in runs.limits:
        try:
            interface.describe(zervgen, args)
        except interface.ZervgenError:
            continue
        raise interface.ZervgenError(f"zervgen accepts {' '.join(args)}: the limits its"
                                     " -describe gives are not its extremes")
    docs = [interface.describe(zervgen, args) for args in runs.describe]
    rels = {}
    order = None
    for doc in docs:
        for r in doc["relations"]:
            rels.setdefault(r["name"], Relation(r)).add(r, doc["options"]["fill"])
        names = [r["name"] for r in doc["relations"]]
        if order not in (None, names):
            raise interface.ZervgenError("the runs give the relations in other orders")
        order = names
    for rel in rels.values():
        for doc in docs:
            names = [c["name"] for c in interface.relation(doc, rel.name)["columns"]]
            if names != [name for name in rel.columns if name in names]:
                raise interface.ZervgenError(f"{rel.name}: the runs give its columns in other"
                                             " orders")
        for c in rel.columns.values():
            c.nullable = c.runs < len(docs)
        if rel.key.nullable or not rel.key.distinct_all:
            raise interface.ZervgenError(f"{rel.name}: its first column, {rel.key.name}, is not"
                                         " one distinct value per row in every run")
    # A column of one value per row while n is at most its distinct values
    # at the most rows (every day of the date range): its rule of distinct
    # values is n, capped between the fewest and the most rows.
    for rel in rels.values():
        rel.capped = {}
    for rule in rules["relations"]:
        for c in rule["columns"] if rule["name"] in rels else []:
            distinct = c["distinct"]
            if (isinstance(distinct, dict) and distinct["rows_over"] == 1
                    and distinct["plus"] == 0
                    and runs.rows_min < distinct.get("at_most", 0) < runs.rows_max):
                rels[rule["name"]].capped[c["name"]] = distinct["at_most"]
    paths = {"text": {}, "parquet": {}, "zstd": {}, "gzip": {}}
    for kind, doc in [("text", docs[2]), ("parquet", interface.describe(zervgen, runs.parquet))] + [
            (codec, interface.describe(zervgen, args)) for codec, args in runs.compressed.items()]:
        for r in doc["relations"]:
            paths[kind][r["name"]] = r["files"][0]["path"]
    # The tables in the order of their names, as the loaders and the
    # messages list them; the files in the order a run writes them.
    return {n: rels[n] for n in sorted(order)}, paths, docs[2]["options"]["delimiter"]




def make_all(zervgen):
    """{file name: text} of every table file."""
    rels, paths, delim = catalogue(zervgen)
    files = {}
    for db in DATABASES:
        made = db.make(rels, paths, delim)
        files.update(made if isinstance(made, dict) else {db.file: made})
    return files


def main(argv):
    parser = cli.ArgumentParser(prog="sqlfiles", description="Makes the table files sql/*.sql"
                                " from zervgen -describe.")
    parser.add_argument("--check", action="store_true", help="write nothing; exit 1 naming each"
                        " file that differs from what would be made")
    parser.add_argument("--zervgen", metavar="PATH", help="the zervgen to ask (default: the"
                        " checkout's build/zervgen, else zervgen on the PATH)")
    parser.add_argument("sql_dir", nargs="?", metavar="SQLDIR", help="where the files are"
                        " (default: the checkout's sql/)")
    args = parser.parse_args(argv[1:])
    check, given, sql_dir = args.check, args.zervgen, args.sql_dir
    sql_dir = sql_dir or os.path.join(HERE, "..", "..", "sql")
    zervgen = interface.find_zervgen(given, beside=os.path.dirname(HERE))
    if zervgen is None:
        print(f"sqlfiles: no zervgen{' at ' + given if given else ''} (build it, or use --zervgen)",
              file=sys.stderr)
        return 2
    try:
        files = make_all(zervgen)
    except interface.ZervgenError as e:
        print(f"sqlfiles: {e}", file=sys.stderr)
        return 2
    differ = 0
    for name, text in files.items():
        path = os.path.join(sql_dir, name)
        try:
            with open(path, encoding="utf-8") as f:
                old = f.read()
        except FileNotFoundError:
            old = None
        if old == text:
            continue
        if not check:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            continue
        differ += 1
        shown = os.path.relpath(path)
        if old is None:
            print(f"sqlfiles: {shown} is missing", file=sys.stderr)
            continue
        print(f"sqlfiles: {shown} differs from what {ME} makes:", file=sys.stderr)
        diff = list(difflib.unified_diff(old.splitlines(), text.splitlines(), f"{shown} (as it is)",
                                         f"{shown} (as made)", n=1, lineterm=""))
        for line in diff[:20]:
            print(f"  {line}", file=sys.stderr)
        if len(diff) > 20:
            print(f"  ... ({len(diff) - 20} more lines)", file=sys.stderr)
    if differ:
        print(f"sqlfiles: remake them with python3 {ME}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
