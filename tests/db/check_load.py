#!/usr/bin/env python3
"""check_load.py: loads zervgen runs into PostgreSQL, SQLite and MariaDB and checks them.

Generates all five relations with the comma, '|' and tab delimiters (and
runs without a fill column, in fixed format, in three parts and compressed),
loads them with zervgen-load postgresql, sqlite and mariadb (fixed format
into PostgreSQL and SQLite; parts through three concurrent PostgreSQL
sessions, from part files and from zervgen pipes), and checks in SQL:

- every loaded row equals a row of the file, text for text, and the row
  counts match the report;
- per column, the number of distinct values and the minimum and maximum are
  those of the run's report (the report's key minimum of a "'1' missing"
  column is the real minimum 0, and the value 1 does not occur; code, name and
  address give the range of their seeds, so only their distinct counts are
  compared; two distinct address seeds can give the same short text, so the
  address count may be lower than the report's and must equal the file's);
- the key columns are keys (primary keys; in SQLite unique indexes) and
  distinct; int equals key and decim equals double where the report says
  "same as";
- every date lies within 1900-01-01 and 1999-12-31; the fill has the width of
  the run, or is NULL when the run had none;
- the column types hold the values as numbers (SQLite affinities).

A fixed-format load is checked against the delimited run of the same options,
with the blanks that end an address dropped on both sides: padding and a
trailing blank of the text cannot be told apart.

The run records: a report whose Cmd: line zervgen cannot take back (a
folder name with a blank, an edited line) stops the load, never loads
unproven; the run's manifest (beside the files or named with -M) proves
them; whole files joined from a -parts run load proven; the report of a
one-relation run loads its relation alone.

It also reads every fixed-format row back field by field at the positions of
the report's column map and compares it with the same row of a delimited run,
and checks that the loaders refuse a fixed-format file read as delimited, a
delimited one read as fixed, a wrong delimiter, a missing file and a file
that breaks in its middle, each with one line on standard error and the
tables of the previous load left as they were.

The loaders in a user's surroundings (surroundings.py): odd folder names,
objects on the old tables refused first (a view; in MariaDB a foreign key),
PostgreSQL's current schema "MixedCase" or "sp ace". No load leaves a staging
schema or database.

PostgreSQL is reached through the PG* variables, MariaDB through the client's
option files (MYSQL_HOME/my.cnf) and --mariadb DATABASE, which .ci/db-tests
sets for throwaway servers. Prints a line per failure and "db-tests: N passed,
M failed"; exits 1 on any failure."""

import argparse
import collections
import decimal
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
import broken_inputs  # noqa: E402
import harness  # noqa: E402
from databases import Mariadb, Postgres, Sqlite, leftovers, run  # noqa: E402
from interrupt_states import check_interrupt_states  # noqa: E402
from surroundings import check_schema_names, check_settings  # noqa: E402


# (table, file suffix, report heading)
RELATIONS = [
    ("hundred", "hun", "Hundred Relation:"),
    ("tenpcnt", "ten", "Ten Percent Relation:"),
    ("tiny", "tny", "Tiny Relation:"),
    ("uniques", "uni", "Uniques Relation:"),
    ("updates", "upd", "Updates Relation:"),
]
COLUMNS = ["key", "int", "signed", "float", "double", "decim", "date", "code", "name",
           "address", "fill"]
NUMERIC = {"key", "int", "signed", "float", "double", "decim"}
TEXTS = {"code", "name", "address"}
DELIMS = {",": ",", "|": "|", "tab": "\t"}
# What the counts of rows piped from zervgen (-g) are checked against.
PIPED = "as zervgen -describe says"

# What the schemas promise, cross-checked against the report's comments.
INT_SAME_AS_KEY = {"tenpcnt", "uniques", "updates"}
DECIM_SAME_AS_DOUBLE = {"hundred", "tenpcnt"}


# ---------------------------------------------------------------- the report

class Column:
    def __init__(self, name, dist, low, high, n_unique, comment):
        self.name, self.dist, self.low, self.high, self.n_unique, self.comment = \
            name, dist, low, high, n_unique, comment


class Report:
    """The parts of a run's report that the checks use."""

    def __init__(self, path):
        with open(path, encoding="ascii") as f:
            lines = f.read().split("\n")
        self.rows = None
        self.fill = None          # fill width from the header
        self.fixed = None
        self.column_map = {}      # name -> (first, last) 1-based, last None: to the end
        self.relations = {}       # heading -> {column name: Column}
        self.fill_width = {}      # heading -> fill width of its fill line (0: "no fill")
        current = None
        for line in lines:
            m = re.fullmatch(r"Rows: (\d+)\.", line)
            if m:
                self.rows = int(m.group(1))
            m = re.fullmatch(r"Fill: (?:none specified|(\d+) characters?)\.", line)
            if m:
                self.fill = int(m.group(1) or 0)
            m = re.fullmatch(r"Fmt:  (fixed|variable)\.", line)
            if m:
                self.fixed = m.group(1) == "fixed"
            m = re.fullmatch(r"    (\w+): +columns? +(\d+)(?: +- +(\d+))?", line)
            if m:
                last = int(m.group(3)) if m.group(3) else int(m.group(2))
                self.column_map[m.group(1)] = (int(m.group(2)), last)
            if line in (r[2] for r in RELATIONS):
                current = line
                self.relations[current] = {}
                continue
            if current is None:
                continue
            if line == "    no fill":
                self.fill_width[current] = 0
                continue
            m = re.fullmatch(r"    fill +Fill +n/a +n/a +n/a +(\d+) rnd characters?", line)
            if m:
                self.fill_width[current] = int(m.group(1))
                continue
            m = re.fullmatch(r"    (\w+) +(Uniform|Normal|Zipfian) +(\S+) +(\S+) +(\d+) ?(.*)",
                             line)
            if m:
                col = Column(m.group(1), m.group(2), m.group(3), m.group(4), int(m.group(5)),
                             m.group(6).strip())
                self.relations[current][col.name] = col


def iso_date(text):
    month, day, year = (int(p) for p in text.split("/"))  # '12/31/1999' -> '1999-12-31'
    return f"{year:04d}-{month:02d}-{day:02d}"


# ---------------------------------------------------------------- checks

def file_rows(path):
    with open(path, encoding="ascii", newline="") as f:
        data = f.read()
    assert data.endswith("\n"), f"{path} does not end with a line feed"
    return data[:-1].split("\n")


def strip_addresses(lines, sep):
    """The rows with the blanks that end an address dropped."""
    index = COLUMNS.index("address")
    out = []
    for line in lines:
        fields = line.split(sep)
        if len(fields) > index:
            fields[index] = fields[index].rstrip(" ")
        out.append(sep.join(fields))
    return out


def check_loaded(res, db, case, prefix, delim, report, tables=None, fixed=False):
    """The five tables of db against the run's files and report (fixed: a
    fixed-format load, against the delimited files of the same run)."""
    sep = DELIMS[delim]
    for table, suffix, heading in RELATIONS:
        if tables is not None and table not in tables:
            continue
        where = f"{db.name}, {case}, {table}"
        lines = file_rows(f"{prefix}.{suffix}")
        if fixed:
            lines = strip_addresses(lines, sep)
        columns = report.relations.get(heading)
        if not res.check(columns, where, "the report has no section for the relation"):
            continue
        expected_rows = 1 if table == "tiny" else report.rows
        res.check(len(lines) == expected_rows, where,
                  f"the file has {len(lines)} rows, the report says {expected_rows}")
        count = int(db.query(f"SELECT count(*) FROM {table}")[0][0])
        res.check(count == len(lines), where, f"{count} rows loaded, the file has {len(lines)}")

        check_rows_equal(res, db, where, table, lines, sep, report)
        check_columns(res, db, where, table, columns, lines, sep, expected_rows)
        check_relation_rules(res, db, where, table, columns, report)
        for problem in db.type_problems(table):
            res.check(False, where, problem)


def check_rows_equal(res, db, where, table, lines, sep, report):
    """Every loaded row, printed as zervgen writes it, is a row of the file."""
    if table == "tiny":
        fields = db.row_fields(False)[:1]
    else:
        fields = db.row_fields(report.fill > 0)
    got = collections.Counter(sep.join(r) for r in db.query(
        f"SELECT {', '.join(fields)} FROM {table}"))
    want = collections.Counter(lines)
    missing = sorted((want - got).elements())
    extra = sorted((got - want).elements())
    if res.check(not missing and not extra, where,
                 f"loaded rows differ from the file: {len(missing)} rows of the file not"
                 f" loaded, {len(extra)} loaded rows not in the file"):
        return
    for row in missing[:3]:
        print(f"    file row not loaded: {row!r}")
    for row in extra[:3]:
        print(f"    loaded row not in file: {row!r}")


def column_stats(db, table, columns):
    """Per column name: its distinct count, minimum, maximum, rows with 1."""
    parts = []
    for name in columns:
        q = f'"{name}"'
        low, high = f"min({q})", f"max({q})"
        if name == "date":
            low, high = db.date_text(low), db.date_text(high)
        parts += [f"count(DISTINCT {q})", low, high,
                  "0" if name in TEXTS or name == "date" else f"sum(CASE WHEN {q} = 1 THEN 1 ELSE 0 END)"]
    row = db.query(f"SELECT {', '.join(parts)} FROM {table}")[0]
    return {name: (int(row[4 * i]), row[4 * i + 1], row[4 * i + 2], str(row[4 * i + 3] or 0))
            for i, name in enumerate(columns)}


def check_columns(res, db, where, table, columns, lines, sep, n_rows):
    """Distinct counts, minimum and maximum of every column the report lists."""
    stats = column_stats(db, table, list(columns))
    for name, col in columns.items():
        w = f"{where}.{name}"
        distinct, low, high, ones = stats[name]
        if name in TEXTS:
            # The report's range is that of the seeds; distinct seeds give
            # distinct texts except that short address texts can coincide.
            index = COLUMNS.index(name)
            in_file = len({line.split(sep)[index] for line in lines})
            res.check(distinct == in_file, w,
                      f"{distinct} distinct values loaded, the file has {in_file}")
            if name == "address":
                res.check(distinct <= col.n_unique, w,
                          f"{distinct} distinct values, more than the report's {col.n_unique}")
            else:
                res.check(distinct == col.n_unique, w,
                          f"{distinct} distinct values, the report says {col.n_unique}")
            continue
        res.check(distinct == col.n_unique, w,
                  f"{distinct} distinct values, the report says {col.n_unique}")
        if name == "date":
            res.check(low == iso_date(col.low) and high == iso_date(col.high), w,
                      f"dates range over {low} .. {high}, the report says {col.low} .. {col.high}")
            continue
        ok = (decimal.Decimal(low) == decimal.Decimal(col.low)
              and decimal.Decimal(high) == decimal.Decimal(col.high))
        res.check(ok, w, f"values range over {low} .. {high},"
                         f" the report says {col.low} .. {col.high}")
        if col.comment == "'1' missing":
            res.check(ones == "0", w, f"{ones} rows hold the missing value 1")
        if col.n_unique == n_rows:
            res.check(distinct == n_rows, w, f"{distinct} distinct values in {n_rows} rows")


def check_relation_rules(res, db, where, table, columns, report):
    key = columns.get("key")
    if res.check(key is not None and key.n_unique == (1 if table == "tiny" else report.rows),
                 where, "the report does not list the key with one value per row"):
        pk = db.primary_key(table)
        res.check(pk == ["key"], where, f"the primary key is {pk}, not [key]")
        n = db.query(f'SELECT count(*) - count(DISTINCT "key") FROM {table}')[0][0]
        res.check(n == "0", where, f"{n} repeated key values")
    if table == "tiny":
        return

    # Columns the report says repeat another: int is key, decim is double.
    for column, other, tables in (("int", "key", INT_SAME_AS_KEY),
                                  ("decim", "double", DECIM_SAME_AS_DOUBLE)):
        comment = columns[column].comment
        same = comment == f'same as "{other}"'
        res.check(same == (table in tables), where,
                  f"the report's {column} line says '{comment}'")
        if same:
            n = db.query(f'SELECT count(*) FROM {table} WHERE "{column}" <> "{other}"')[0][0]
            res.check(n == "0", where, f"{n} rows whose {column} differs from {other}")

    lo, hi = db.date_text("'1900-01-01'"), db.date_text("'1999-12-31'")
    if db.name == "postgresql":
        lo, hi = "date '1900-01-01'", "date '1999-12-31'"
    n = db.query(f'SELECT count(*) FROM {table} WHERE NOT ("date" BETWEEN {lo} AND {hi})')[0][0]
    res.check(n == "0", where, f"{n} dates outside 1900-01-01 .. 1999-12-31")

    width = report.fill_width.get(next(r[2] for r in RELATIONS if r[0] == table))
    res.check(width == report.fill, where,
              f"the fill line says {width} characters, the header {report.fill}")
    if report.fill == 0:
        n = db.query(f'SELECT count(*) FROM {table} WHERE "fill" IS NOT NULL')[0][0]
        res.check(n == "0", where, f"{n} rows have a fill, the run had none")
    else:
        n = db.query(f'SELECT count(*) FROM {table}'
                     f' WHERE "fill" IS NULL OR length("fill") <> {report.fill}')[0][0]
        res.check(n == "0", where, f"{n} rows without a fill of {report.fill} characters")


# ---------------------------------------------------------------- fixed format

def check_fixed(res, fixed_prefix, fixed_report, var_prefix, var_report):
    """Reads every fixed-format row back at the report's column positions."""
    where = "fixed format"
    cmap = fixed_report.column_map
    names = [c for c in COLUMNS if c in cmap]
    want = COLUMNS if fixed_report.fill else COLUMNS[:-1]
    if not res.check(fixed_report.fixed and names == want, where,
                     f"the report's column map lists {names}"):
        return
    res.check(var_report.rows == fixed_report.rows and var_report.fill == fixed_report.fill,
              where, "the fixed and the delimited run differ in rows or fill")
    for table, suffix, _ in RELATIONS:
        w = f"{where}, {table}"
        fixed_lines = file_rows(f"{fixed_prefix}.{suffix}")
        var_lines = file_rows(f"{var_prefix}.{suffix}")
        if not res.check(len(fixed_lines) == len(var_lines), w,
                         f"{len(fixed_lines)} fixed rows, {len(var_lines)} delimited rows"):
            continue
        if table == "tiny":
            ok = all(f == v.rjust(10) for f, v in zip(fixed_lines, var_lines))
            res.check(ok, w, f"fixed {fixed_lines[:1]} differs from delimited {var_lines[:1]}")
            continue
        bad = 0
        for i, (fixed, var) in enumerate(zip(fixed_lines, var_lines)):
            problem = fixed_row_problem(fixed, var.split(","), cmap, names)
            if problem:
                bad += 1
                if bad <= 3:
                    print(f"    {table} row {i + 1}: {problem}")
        res.check(bad == 0, w, f"{bad} fixed-format rows differ from the delimited rows")


def fixed_row_problem(fixed, values, cmap, names):
    last = cmap[names[-1]][1]
    if len(fixed) != last:
        return f"{len(fixed)} characters, the column map ends at {last}"
    for name, value in zip(names, values):
        first, end = cmap[name]
        field = fixed[first - 1:end]
        if name == "date":
            ok = re.fullmatch(r"\d\d/\d\d/\d{4}", field) and \
                [int(p) for p in field.split("/")] == [int(p) for p in value.split("/")]
        elif name in NUMERIC:
            ok = field == value.rjust(end - first + 1)
        else:
            ok = field == value.ljust(end - first + 1)
        if not ok:
            return f"{name} at {first}-{end} is {field!r}, the delimited row has {value!r}"
    return None


# ---------------------------------------------------------------- the runs

def generate(res, zervgen, folder, args):
    os.makedirs(folder)
    cmd = [zervgen] + args + ["-r", "zerv.rpt", "-t", ".", "-f", "zerv"]
    p = run(cmd, cwd=folder)
    ok = res.check(p.returncode == 0, "zervgen", f"{' '.join(cmd)} exited {p.returncode}:"
                   f" {p.stderr.strip()}")
    return (os.path.join(folder, "zerv"), Report(os.path.join(folder, "zerv.rpt"))) if ok else None


def load_and_check(res, dbs, case, prefix, delim, report, load_args, fixed=False,
                   against="as the report"):
    for db in dbs:
        p = db.load(load_args)
        if res.check(p.returncode == 0, f"{db.name}, {case}",
                     f"the loader exited {p.returncode}: {p.stderr.strip()}"):
            check_counts_printed(res, f"{db.name}, {case}", p.stdout, report, against)
            check_loaded(res, db, case, prefix, delim, report, fixed=fixed)
        res.check(not (left := leftovers(db)), f"{db.name}, {case}", f"left behind: {left}")


def check_counts_printed(res, where, stdout, report, against):
    """The loader's count lines, and what it says it checked them against."""
    found = re.findall(r"^(\w+) +(\d+) rows?: (.*)$", stdout, re.M)
    counts = {t: n for t, n, _ in found}
    want = {t: str(1 if t == "tiny" else report.rows) for t, _, _ in RELATIONS}
    res.check(counts == want, where, f"the loader printed the counts {counts}")
    said = [a for t, _, a in found if t != "tiny"]
    res.check(len(said) == 4 and all(against in a for a in said), where,
              f"the counts were checked against {said}, not {against!r}")


def check_parts(res, zervgen, work, whole_prefix, whole_report, pg):
    """A load of three part runs in three sessions, from the part files or
    zervgen pipes, gives the tables of the whole run."""
    folder = os.path.join(work, "parts")
    os.makedirs(folder)
    for k in (1, 2, 3):
        cmd = [zervgen, "-n", "2000", "-fc", "20", "-dc", "|", "-parts", "3", "-part", str(k),
               "-f", "zerv"] + (["-r", "zerv.rpt"] if k == 1 else [])
        p = run(cmd, cwd=folder)
        if not res.check(p.returncode == 0, "parts", f"{' '.join(cmd)} exited {p.returncode}:"
                         f" {p.stderr.strip()}"):
            return
    for _, suffix, _ in RELATIONS:
        joined = "".join(open(os.path.join(folder, f"zerv.{suffix}.{k}"), encoding="ascii").read()
                         for k in (1, 2, 3))
        whole = open(f"{whole_prefix}.{suffix}", encoding="ascii").read()
        res.check(joined == whole, "parts", f"the three parts of .{suffix} differ from the whole file")
    load_and_check(res, [pg], "-j 3 from part files", whole_prefix, "|", whole_report,
                   ["-c", "-j", "3", "-d", "|", os.path.join(folder, "zerv")],
                   against="minimum, maximum and distinct values")
    load_and_check(res, [pg], "-j 3 piped from zervgen", whole_prefix, "|", whole_report,
                   ["-j", "3", "-d", "|", "-g", zervgen, "-n", "2000", "-fc", "20"], against=PIPED)
    return os.path.join(folder, "zerv")


def check_records(res, dbs, zervgen, work, parts):
    """Runs and their records against every database: a proven load gives
    the run's tables; one that cannot prove stops in one line, the tables
    as they were."""
    def made(folder, *args):
        """A run of 2000 rows and -fc 20 in work/folder."""
        os.makedirs(os.path.join(work, folder), exist_ok=True)
        p = run([zervgen, "-n", "2000", "-fc", "20"] + list(args), cwd=work)
        res.check(p.returncode == 0, "records", f"zervgen {args} exited {p.returncode}")
        return os.path.join(work, folder)

    def changed(folder, name):
        """A copy of folder's run and records with row 2 of hundred changed."""
        prefix = broken_inputs.copy_run(os.path.join(folder, "zerv"), os.path.join(work, name))
        broken_inputs.flip_digit("hun", 2, 1)(prefix, None)
        return os.path.dirname(prefix)

    blank = made("my data", "-f", "my data/zerv", "-r", "my data/zerv.rpt")
    proven = made("my run", "-f", "my run/zerv", "-r", "my run/zerv.rpt", "-manifest", "my run/zerv.manifest")
    manifest = shutil.copy(os.path.join(proven, "zerv.manifest"), os.path.join(work, "my run.manifest"))
    plain = made("plain", "-f", "plain/zerv", "-r", "plain/zerv.rpt")
    edited = changed(plain, "edited")
    broken_inputs.whole_file("rpt", lambda d: d.replace(b" -n 2000 ", b" -n 2000x ", 1))(
        os.path.join(edited, "zerv"), None)
    joined = os.path.join(work, "joined")
    os.makedirs(joined)
    for _, suffix, _ in RELATIONS:
        broken_inputs.write(os.path.join(joined, f"zerv.{suffix}"), b"".join(
            broken_inputs.read(f"{parts}.{suffix}.{k}") for k in (1, 2, 3)))
    shutil.copy(f"{parts}.rpt", os.path.join(joined, "zerv.rpt"))
    zstd = made("zstd run", "-compress", "zstd", "-f", "zstd run/zerv", "-manifest", "zstd run/zerv.manifest")
    gz = made("gz", "-compress", "gzip", "-f", "gz/zerv", "-r", "gz/zerv.rpt")
    gz3 = made("gz3", "-compress", "gzip:9", "-parts", "3", "-f", "gz3/zerv", "-r", "gz3/zerv.rpt")
    zstd2 = made("zstd2", "-compress", "zstd:19", "-parts", "2", "-f", "zstd2/zerv", "-manifest", "zstd2/zerv.manifest")
    os.makedirs(one := os.path.join(work, "one"))  # hundred alone, other rows than the rest
    run([zervgen, "-hu", "-n", "1500", "-fc", "20", "-f", "zerv.hun", "-r", "zerv.rpt"], cwd=one)
    cannot = ["cannot prove the files", "give the run's manifest with -M MANIFEST",
              "nothing was loaded"]
    # (name, loader options, PREFIX, delimiter, the report of the same rows
    # for a load, or the texts of the refusal)
    cases = [
        ("a folder name with a blank, the manifest", [], proven, ",", proven),
        ("a folder name with a blank, its manifest named with -M", ["-M", manifest], blank, ",", blank),
        ("whole files joined from parts, the parts' report", ["-d", "|"], joined, "|", joined),
        ("zstd, whole files, the manifest", [], zstd, ",", blank),
        ("gzip, whole files, the report", [], gz, ",", blank),
        ("gzip:9 in three parts, the report", ["-j", "3"], gz3, ",", blank),
        ("zstd:19 in two parts, the manifest", ["-j", "2"], zstd2, ",", blank),
        ("a changed value, a folder name with a blank", [], changed(blank, "my changed data"), ",",
         cannot + ["Cmd: line of the report", "Unknown option, 'data/zerv'"]),
        ("a changed value, an edited Cmd: line", [], edited, ",", cannot + ["2000x"]),
        ("a changed value, the manifest beside the files", [], changed(proven, "my run 2"), ",",
         ["hundred", "my run 2/zerv.hun: not the file the run wrote: row 2 differs"]),
        ("a changed value, the manifest named with -M", ["-M", manifest],
         os.path.join(work, "my changed data"), ",",
         ["hundred", "my changed data/zerv.hun: not the file the run wrote: row 2 differs"]),
    ]
    for db in dbs:
        for name, options, folder, delim, want in cases:
            where = f"{db.name}, records: {name}"
            if isinstance(want, list):
                before = broken_inputs.fingerprint(db)
            p = db.load(options + [folder])
            res.check(not (left := leftovers(db)), where, f"left behind: {left}")
            if isinstance(want, list):
                ok = (p.returncode == 1 and len(p.stderr.splitlines()) == 1
                      and all(t in p.stderr for t in want))
                res.check(ok, where, f"exited {p.returncode} with {p.stderr.strip()[:300]!r},"
                                     f" expected status 1 and one line with {want}")
                res.check(broken_inputs.fingerprint(db) == before, where, "the tables changed")
            elif res.check(p.returncode == 0, where, f"exited {p.returncode}: {p.stderr.strip()}"):
                report = Report(os.path.join(want, "zerv.rpt"))
                check_counts_printed(res, where, p.stdout, report, "every file proven by zervgen -verify")
                check_loaded(res, db, where, os.path.join(want, "zerv"), delim, report)
        where, before = f"{db.name}, records: a one-relation run's report", broken_inputs.fingerprint(db)
        p, after = db.load([one]), broken_inputs.fingerprint(db)
        res.check(p.returncode == 0 and str(after[0][0]) == "1500" and after[1:] == before[1:] and
                  "replaced the tables hundred; left tenpcnt, tiny, uniques, updates as they were"
                  in p.stdout, where, f"exited {p.returncode}: {p.stderr} {p.stdout}: {after}")


INTERRUPTS = 9  # per loader: three of each kind


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--zervgen", required=True)
    parser.add_argument("--work", required=True, help="a folder to create for the test files")
    parser.add_argument("--mariadb", required=True, help="the MariaDB database to load into")
    parser.add_argument("--mariadb-socket", required=True, help="the MariaDB server's socket")
    opts = parser.parse_args()
    zervgen = os.path.abspath(opts.zervgen)
    work = os.path.abspath(opts.work)
    os.makedirs(work)
    res = harness.Results("db-tests")
    pg = Postgres()
    maria = Mariadb(opts.mariadb)

    runs = {}
    for word in DELIMS:
        name = {",": "comma", "|": "bar", "tab": "tab"}[word]
        runs[word] = generate(res, zervgen, os.path.join(work, name),
                              ["-n", "2000", "-fc", "20", "-dc", word])
    nofill = generate(res, zervgen, os.path.join(work, "nofill"), ["-n", "300"])
    fixed = generate(res, zervgen, os.path.join(work, "fixed"),
                     ["-n", "2000", "-fc", "20", "-ff"])

    for word, made in runs.items():
        if made:
            prefix, report = made
            case = f"delimiter {word!r}"
            dbs = [pg, Sqlite(os.path.join(work, f"{os.path.basename(os.path.dirname(prefix))}.db")),
                   maria]
            load_and_check(res, dbs, case, prefix, word, report,
                           ["-d", word, os.path.dirname(prefix)])
    if runs["|"]:
        prefix, report = runs["|"]
        dbs = [pg, Sqlite(os.path.join(work, "pipe.db")), maria]
        load_and_check(res, dbs, "piped from zervgen", prefix, "|", report,
                       ["-d", "|", "-g", zervgen, "-n", "2000", "-fc", "20"], against=PIPED)
    if nofill:
        prefix, report = nofill
        load_and_check(res, [pg, Sqlite(os.path.join(work, "nofill.db")), maria], "no fill",
                       prefix, ",", report, [prefix])
    parts = check_parts(res, zervgen, work, runs["|"][0], runs["|"][1], pg) if runs["|"] else None
    if fixed and runs[","]:
        check_fixed(res, fixed[0], fixed[1], runs[","][0], runs[","][1])
        sqlite = Sqlite(os.path.join(work, "fixed.db"))
        load_and_check(res, [pg, sqlite], "fixed format", runs[","][0], ",", runs[","][1],
                       ["-d", "fixed", fixed[0]], fixed=True)
        load_and_check(res, [pg, sqlite], "fixed format piped from zervgen", runs[","][0], ",",
                       runs[","][1], ["-d", "fixed", "-g", zervgen, "-n", "2000", "-fc", "20"],
                       fixed=True, against=PIPED)
    # The default fixed-format run: no fill column, checked against its report.
    fixed0 = generate(res, zervgen, os.path.join(work, "fixed0"), ["-n", "1000", "-ff"])
    plain0 = generate(res, zervgen, os.path.join(work, "plain0"), ["-n", "1000"])
    if fixed0 and plain0:
        load_and_check(res, [pg, Sqlite(os.path.join(work, "fixed0.db"))], "default fixed format",
                       plain0[0], ",", plain0[1], ["-c", "-d", "fixed", fixed0[0]], fixed=True,
                       against="minimum, maximum and distinct values")
    small = generate(res, zervgen, os.path.join(work, "small"), ["-n", "1000", "-fc", "20"])
    manifest = generate(res, zervgen, os.path.join(work, "manifest"),
                        ["-n", "2000", "-fc", "20", "-manifest", "zerv.manifest"])
    zstd = generate(res, zervgen, os.path.join(work, "zstd"), ["-n", "2000", "-fc", "20", "-compress", "zstd"])
    gzparts = generate(res, zervgen, os.path.join(work, "gzparts"),
                       ["-n", "2000", "-fc", "20", "-parts", "3", "-compress", "gzip"])
    if parts:
        check_records(res, [pg, Sqlite(os.path.join(work, "records.db")), maria], zervgen,
                      work, parts)
    if all((runs[","], fixed, fixed0, small, nofill, parts, manifest, zstd, gzparts)):
        norpt = broken_inputs.copy_run(nofill[0], os.path.join(work, "norpt"))
        os.remove(norpt + ".rpt")
        named = {"comma": runs[","][0], "fixed": fixed[0], "fixed0": fixed0[0], "small": small[0],
                 "manifest": manifest[0], "zstd": zstd[0], "gzparts": gzparts[0],
                 "nofill": nofill[0], "parts": parts, "nofill-norpt": norpt}
        sqlite = Sqlite(os.path.join(work, "broken.db"))
        dbs = [pg, sqlite, maria]
        for db in dbs:
            res.check(db.load([runs[","][0]]).returncode == 0, db.name, "the load before the broken inputs")
        for proof in (True, False):
            broken_inputs.check_broken(res, dbs, named, work, zervgen, proof)
        broken_inputs.check_malformed(res, dbs, work, zervgen)
    if runs[","] and fixed:
        check_settings(res, pg, maria, work, runs[","], fixed, opts.mariadb_socket,
                       check_counts_printed)
        check_schema_names(res, pg, *runs[","], check_counts_printed)
    big = [generate(res, zervgen, os.path.join(work, f"int{n}"), ["-n", str(n)])
           for n in (20000, 10000)]
    if all(big):
        broken_inputs.check_interrupts(res, [pg, Sqlite(os.path.join(work, "int.db")), maria],
                                       [b[0] for b in big], INTERRUPTS, os.path.join(work, "tmp"))
    check_interrupt_states(res, [pg, Sqlite(os.path.join(work, "int.db")), maria], zervgen,
                           os.path.join(work, "states"))

    return res.summary()


if __name__ == "__main__":
    sys.exit(main())
