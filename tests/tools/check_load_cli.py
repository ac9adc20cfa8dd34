#!/usr/bin/env python3
"""check_load_cli.py: zervgen-load's command line, without a database.

    python3 tests/tools/check_load_cli.py ZERVGEN [--loader PROGRAM]

One table of command lines: the help of every name (standard output,
status 0), every usage error (one line on standard error that names what
was wrong, status 2), and command lines that load into SQLite (status 0, the
count lines), among them clustered options, a value that starts with '-',
zervgen's own options after -g and a PREFIX that starts with '-'; a load
writes nothing on a standard error that is not a terminal. Then a load with
standard error on a pseudo-terminal: a progress line per relation, rewritten
in place and cleared, and the same standard output. Then the backends' reads
of the load: every `load.NAME` a backend reads is one the loader has.
"""

import argparse
import os
import re
import shutil
import sqlite3
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

OUT, ERR = "stdout", "stderr"
PROVEN = "says; every file proven by zervgen -verify"
ONE = f"tiny              1 row: as the run the files show (zervgen -n 200 -dc ,) {PROVEN}"
ALL = "replaced the tables hundred, tenpcnt, tiny, uniques, updates"


def cases(z):
    """(name, command line after the program, status, stream, a text it
    must hold, a text it must not hold); LOADER is zervgen-load, SQLITE
    load-sqlite.sh, run a run of 200 rows with its report, bare one without,
    one a run of one part (-parts 1), zst one compressed with zstd with its
    report, gz one in two parts compressed with gzip without a record;
    PYTHON the Python that runs the tests, NOPATH a PATH=FOLDER without
    zstd."""
    usage = "see zervgen-load sqlite --help"
    return [
        ("zervgen-load --help", ["LOADER", "--help"], 0, OUT,
         "zervgen-load DATABASE --help gives the options of one database", None),
        ("zervgen-load -h", ["LOADER", "-h"], 0, OUT, "Exit status: 0 the tables are loaded", None),
        ("zervgen-load sqlite --help", ["LOADER", "sqlite", "--help"], 0, OUT,
         "-j N         load every relation as N parts", None),
        ("load-sqlite.sh -h", ["SQLITE", "-h"], 0, OUT, "usage: load-sqlite.sh [-d DELIM]", None),
        ("help in a cluster", ["SQLITE", "-ch"], 0, OUT, "-c           also check every", None),
        ("MariaDB's help", ["LOADER", "mariadb", "--help"], 0, OUT, "-o OPTION", "-ff"),
        ("PostgreSQL's help", ["LOADER", "postgresql", "-h"], 0, OUT, "(or -ff)", "DATABASE, then"),
        ("the -c cost", ["LOADER", "postgresql", "-h"], 0, OUT,
         "(adds about a third to the load's time at -n 100000", None),
        ("zervgen-load alone", ["LOADER"], 2, ERR,
         "zervgen-load: the following arguments are required: DATABASE", None),
        ("unknown database", ["LOADER", "oracle", "x"], 2, ERR, "invalid choice: 'oracle'", None),
        ("option after the operands", ["LOADER", "sqlite", "-d", "tab", "x.db", "run", "-j", "2"],
         2, ERR, f"zervgen-load sqlite: options go before the operands: -j ({usage})", None),
        ("help after the operands", ["SQLITE", "x.db", "run", "--help"], 2, ERR,
         "load-sqlite.sh: options go before the operands: --help", None),
        ("unknown option", ["LOADER", "sqlite", "-x", "x.db", "run"], 2, ERR,
         "unrecognized arguments: -x", None),
        ("unknown long option", ["LOADER", "sqlite", "--jobs=2", "x.db", "run"], 2, ERR,
         "unrecognized arguments: --jobs=2", None),
        ("too many operands", ["LOADER", "sqlite", "x.db", "run", "more"], 2, ERR,
         "unrecognized arguments: more", None),
        ("-j 0", ["LOADER", "sqlite", "-j", "0", "x.db", "run"], 2, ERR,
         "-j takes a number of parts from 1 to 99", None),
        ("-j x", ["SQLITE", "-jx", "x.db", "run"], 2, ERR, "-j takes a number of parts", None),
        ("-j without its value", ["SQLITE", "-j"], 2, ERR, "argument -j: expected one argument",
         None),
        ("-M with -R", ["LOADER", "sqlite", "-M", "m", "-R", "r", "x.db", "run"], 2, ERR,
         "-M and -R: give one record of the run", None),
        ("-R with -g", ["LOADER", "postgresql", "-R", "x.rpt", "-g", z, "-n", "100"], 2, ERR,
         "-R: with -g there is no run's report to read", None),
        ("missing operand", ["LOADER", "sqlite", "x.db"], 2, ERR,
         "the following arguments are required: PREFIX", None),
        ("no operands", ["SQLITE"], 2, ERR,
         "the following arguments are required: DATABASE, PREFIX", None),
        ("bad delimiter", ["SQLITE", "-d", ";", "x.db", "run"], 2, ERR,
         "unsupported delimiter ';'", None),
        ("fixed format into MariaDB", ["LOADER", "mariadb", "-d", "fixed", "db", "run"], 2, ERR,
         "fixed-format rows cannot be loaded into this database", None),
        ("MariaDB database name", ["LOADER", "mariadb", "-z", z, "a-b", "run"], 2, ERR,
         "database name 'a-b': use letters, digits, _ and $", None),
        ("-o with a value of '-', no client", ["LOADER", "mariadb", "-o", "--socket=/s", "-z", z,
                                                 "db", "run"],
         2, ERR, "'/nonexistent/mariadb' not found: this loader needs MariaDB's client", None),
        ("no psql", ["LOADER", "postgresql", "-z", z, "run"], 2, ERR,
         "'/nonexistent/psql' not found", None),
        ("-z that cannot run", ["SQLITE", "-z", "/nonexistent/zervgen", "x.db", "run"], 2, ERR,
         "-z: cannot run '/nonexistent/zervgen'", None),
        ("unreadable table script", ["SQLITE", "-s", "/nonexistent.sql", "x.db", "run"], 2, ERR,
         "cannot read the table script '/nonexistent.sql' (use -s)", None),
        ("options zervgen refuses after -g", ["SQLITE", "-g", z, "g.db", "-n", "30"], 2, ERR,
         f"-g: {z}: At least 100 rows must be specified.", None),
        ("-compress after -g", ["SQLITE", "-g", z, "g.db", "-n", "100", "-compress", "zstd"],
         2, ERR, "-g: do not pass -compress to zervgen; the loader reads its rows as text", None),
        ("zstd files without a zstd program", ["env", "NOPATH", "PYTHON", "SQLITE", "-z", z,
                                               "nozstd.db", "zst"], 2, ERR,
         "'zstd' not found: the files are compressed with zstd (PREFIX.hun.zst, ...)", None),
        ("gzip part files without -j", ["SQLITE", "-z", z, "gz1.db", "gz"], 1, ERR,
         "hundred: no file gz/zerv.hun.gz, but 2 part files gz/zerv.hun.1.gz .. gz/zerv.hun.2.gz"
         " (zervgen -parts 2): load them with -j 2", None),
        ("options the loader sets after -g", ["SQLITE", "-g", z, "g.db", "-n", "100", "-dc", ","],
         2, ERR, "-g: do not pass -dc to zervgen; the loader sets it", None),
        # The files are read, so the options were: a failure, status 1.
        ("clustered options", ["SQLITE", "-z", z, "-cj2", "x.db", "run"], 1, ERR,
         "hundred: no part files run/zerv.hun.1 .. run/zerv.hun.2, only run/zerv.hun", None),
        ("clustered, the value apart", ["SQLITE", "-z", z, "-cj", "0", "x.db", "run"], 2, ERR,
         "-j takes a number of parts", None),
        ("a load", ["SQLITE", "-z", z, "bare.db", "bare"], 0, OUT, ONE, "1 rows"),
        ("a load's last line", ["SQLITE", "-z", z, "last.db", "bare"], 0, OUT, f"\n{ALL}\n",
         "left"),
        ("the one part of -parts 1", ["SQLITE", "-z", z, "one.db", "one"], 0, OUT, ONE, None),
        ("a PREFIX that starts with '-'", ["SQLITE", "-z", z, "dash.db", "-bare"], 0, OUT, ONE,
         None),
        ("a PREFIX that starts with '-', after --", ["SQLITE", "-z", z, "--", "dash2.db", "-bare"],
         0, OUT, ONE, None),
        ("zstd files with their report", ["SQLITE", "-z", z, "zst.db", "zst"], 0, OUT,
         "tiny              1 row: as the report zst/zerv.rpt says; every file proven by"
         " zervgen -verify", None),
        ("gzip part files without a record", ["SQLITE", "-z", z, "-j", "2", "gz.db", "gz"], 0,
         OUT, "tiny              1 row: as the run the files show (zervgen -n 200 -dc ,"
         f" -compress gzip) {PROVEN}", None),
        ("a tab run's manifest, no -d", ["SQLITE", "-z", z, "tab.db", "tab"], 0, OUT,
         "tiny              1 row: as the manifest tab/zerv.manifest says; every file proven",
         None),
        ("-d against the manifest", ["SQLITE", "-z", z, "-d", "|", "tab.db", "tab"], 2, ERR,
         "-d |: the manifest tab/zerv.manifest says the run wrote rows separated by 'tab'"
         " (leave -d out: the record gives it)", None),
        ("-s a FIFO without a writer", ["SQLITE", "-z", z, "-s", "fifo.sql", "x.db", "run"], 2,
         ERR, "the table script fifo.sql is a FIFO that nothing wrote to within 5 seconds (use -s)",
         None),
        ("-M a FIFO without a writer", ["SQLITE", "-z", z, "-M", "fifo.sql", "x.db", "run"], 1,
         ERR, "the manifest fifo.sql is a FIFO that nothing wrote to within 5 seconds"
         " (nothing was loaded)", None),
        # Files without a record are proven the run they show, or refused
        # in the proof's words.
        ("a fill, no record", ["SQLITE", "-z", z, "fill.db", "fill"], 0, OUT,
         f"hundred         200 rows: as the run the files show (zervgen -n 200 -fc 5 -dc ,)"
         f" {PROVEN}", None),
        ("fixed format, no record", ["SQLITE", "-z", z, "-d", "fixed", "fixed.db", "fixed"], 0,
         OUT, f"(zervgen -n 200 -ff) {PROVEN}", None),
        # Without -d the first rows give the format.
        ("fixed format, no record, no -d", ["SQLITE", "-z", z, "fixed2.db", "fixed"], 0,
         OUT, f"hundred         200 rows: as the run the files show (zervgen -n 200 -ff) {PROVEN}",
         None),
        ("a tab run, no record, no -d", ["SQLITE", "-z", z, "tabs.db", "tabs"], 0, OUT,
         f"hundred         200 rows: as the run the files show (zervgen -n 200 -fc 3 -dc tab)"
         f" {PROVEN}", None),
        ("a '|' run, no record, no -d", ["SQLITE", "-z", z, "bars.db", "bars"], 0, OUT,
         f"uniques         200 rows: as the run the files show (zervgen -n 200 -dc |) {PROVEN}",
         None),
        ("a '|' run, no record, -d ','", ["SQLITE", "-z", z, "-d", ",", "bars2.db", "bars"], 1,
         ERR, "hundred: bars/zerv.hun: row 1: expected 10 or 11 fields separated by ',', found 1",
         None),
        ("first rows of different delimiters, no -d", ["SQLITE", "-z", z, "odd.db", "odd"], 1, ERR,
         "hundred: odd/zerv.hun: row 1: expected 10 or 11 fields separated by ','", None),
        ("-c, no record", ["SQLITE", "-z", z, "-c", "c.db", "bare"], 0, OUT,
         "tiny              1 row: as the run the files show (zervgen -n 200 -dc ,) says, and its"
         " minimum, maximum and distinct values of 1 column", None),
        ("a value changed within its range, no record", ["SQLITE", "-z", z, "ch.db", "changed"],
         1, ERR, "updates: changed/zerv.upd: not the file the run wrote: row 3 differs at byte"
         " offset", None),
        ("a cut file, no record", ["SQLITE", "-z", z, "cut.db", "cut"], 1, ERR,
         "hundred: cut/zerv.hun holds 199 rows; the run the files show (zervgen -n 200 -dc ,)"
         " has 200 (a cut file, or files of different runs?) (nothing was loaded)", None),
        ("a relation of another run, no record", ["SQLITE", "-z", z, "mix.db", "mixed"], 1, ERR,
         "tenpcnt: mixed/zerv.ten holds 300 rows; the run the files show (zervgen -n 200 -dc ,)"
         " has 200", None),
        ("fewer rows than any run, no record", ["SQLITE", "-z", z, "few.db", "few"], 1, ERR,
         "hundred: few/zerv.hun: 50 rows, which no run of zervgen -n 50 -dc , writes (", None),
        # bare.db holds the load of bare: only its hundred is replaced.
        ("a one-relation run", ["SQLITE", "-z", z, "bare.db", "hu"], 0, OUT,
         "replaced the tables hundred; left tenpcnt, tiny, uniques, updates as they were"
         " (the report hu/zerv.rpt names no other relation)", None),
        # Without a record: the files of one relation are a run of it alone
        # (last.db holds the load of bare); of two, the others are missing.
        ("a one-relation run, no record", ["SQLITE", "-z", z, "last.db", "hu2"], 0, OUT,
         "hundred         120 rows: as the run the files show (zervgen -hu -n 120 -dc tab) says;"
         " every file proven by zervgen -verify\nreplaced the tables hundred; left tenpcnt, tiny,"
         " uniques, updates as they were (the run the files show (zervgen -hu -n 120 -dc tab)"
         " names no other relation)", None),
        ("a changed one-relation run, no record", ["SQLITE", "-z", z, "hu3.db", "hu3"], 1, ERR,
         "hundred: hu3/zerv.hun: not the file the run wrote: row 3 differs", None),
        ("two relations' files, no record", ["SQLITE", "-z", z, "two.db", "two"], 1, ERR,
         "tenpcnt: no file two/zerv.ten (nothing was loaded)", None),
        # Delimiters zervgen takes but fields or SQL hold ("'" breaks a
        # COPY statement's quoting; ';' is refused alike): only ',', '|',
        # tab and fixed format are loaded, from a record or from the rows.
        ("a record's delimiter the loader does not load", ["SQLITE", "-z", z, "semi.db", "semi"],
         1, ERR, "semi/zerv.manifest says the run wrote rows separated by ';', which the loader"
         " does not load (it loads ',', '|', 'tab', 'fixed'; nothing was loaded)", None),
        ("a quote-separated run, no record", ["SQLITE", "-z", z, "quote.db", "quote"], 1, ERR,
         "expected 10 or 11 fields separated by ','", None),
        ("no relation's files", ["SQLITE", "-z", z, "none.db", "empty"], 1, ERR,
         "hundred: no file empty/zerv.hun (nothing was loaded)", None),
        ("zervgen's options after -g", ["LOADER", "sqlite", "-cg", z, "gen.db", "-n", "100",
                                        "-fc", "5"], 0, OUT,
         "tiny              1 row: as zervgen -describe says, and its minimum, maximum and"
         " distinct values of 1 column", "1 rows"),
    ]


def no_record(z, tmp):
    """Runs without a record: fill (-fc 5), fixed (-ff), tabs (-fc 3 -dc
    tab), bars (-dc '|'), semi (-dc ';', with its manifest) and quote
    (-dc "'"); then copies of
    bare: odd (hundred's first row separated by '#'), changed (a digit of
    row 3 of updates changed, the value still
    within its column's range), cut (hundred without its last row), mixed
    (tenpcnt of a run of 300 rows), few (the large relations cut to 50
    rows, which no run writes)."""
    for folder, extra in (("fill", ["-fc", "5"]), ("fixed", ["-ff"]),
                          ("tabs", ["-fc", "3", "-dc", "tab"]), ("bars", ["-dc", "|"]),
                          ("semi", ["-dc", ";", "-manifest", "semi/zerv.manifest"]),
                          ("quote", ["-dc", "'"])):
        os.makedirs(os.path.join(tmp, folder))
        harness.run([z, "-n", "200", "-f", f"{folder}/zerv"] + extra, cwd=tmp).check_returncode()

    def edit(folder, suffixes, change):
        shutil.copytree(os.path.join(tmp, "bare"), os.path.join(tmp, folder))
        for suffix in suffixes:
            path = os.path.join(tmp, folder, f"zerv.{suffix}")
            with open(path, "rb") as f:
                lines = f.read().splitlines(True)
            with open(path, "wb") as f:
                f.write(b"".join(change(lines)))

    def digit(lines):
        fields = lines[2].split(b",")
        fields[1] = fields[1][:-1] + (b"1" if fields[1].endswith(b"2") else b"2")
        return lines[:2] + [b",".join(fields)] + lines[3:]
    edit("changed", ["upd"], digit)
    # hundred's first row split by nothing zervgen writes: the default ','
    # stays and the row is refused in its words.
    edit("odd", ["hun"], lambda lines: [lines[0].replace(b",", b"#")] + lines[1:])
    edit("cut", ["hun"], lambda lines: lines[:-1])
    edit("few", ["hun", "ten", "uni", "upd"], lambda lines: lines[:50])
    shutil.copytree(os.path.join(tmp, "bare"), os.path.join(tmp, "mixed"))
    os.remove(os.path.join(tmp, "mixed", "zerv.ten"))  # zervgen writes no file that exists
    harness.run([z, "-n", "300", "-te", "-f", "mixed/zerv.ten"], cwd=tmp).check_returncode()


def check_terminal(res, z, loader, tmp):
    """A load with standard error on a terminal: each relation's progress
    line (rows of how many, rows per second), drawn with carriage returns and
    cleared at the end; the count lines as without a terminal."""
    where = "a load on a terminal"
    status, out, said = harness.run_on_terminal([loader, "sqlite", "-z", z, "tty.db", "run"],
                                                 cwd=tmp)
    plain = harness.run([loader, "sqlite", "-z", z, "plain.db", "run"], cwd=tmp)
    res.check(status == 0 and out == plain.stdout and out.endswith(f"\n{ALL}\n"), where,
              f"status {status}, standard output {out[-300:]!r}, not that of a load without a"
              f" terminal: {plain.stdout[-300:]!r}")
    res.check(plain.stderr == "", where, f"without a terminal it wrote {plain.stderr[:200]!r}")
    shown, cleared = harness.progress_lines(said)
    res.check(all(shown), where, f"not progress lines: {said[:400]!r}")
    names = [m.group(1) for m in shown if m]
    res.check(sorted(set(names)) == ["hundred", "tenpcnt", "tiny", "uniques", "updates"],
              where, f"progress lines of {sorted(set(names))}")
    totals = {m.group(1): m.group(4) for m in shown if m}
    res.check(all(n == ("1" if r == "tiny" else "200") for r, n in totals.items()), where,
              f"rows of how many: {totals}, not the report's")
    res.check(cleared, where, f"the last line is not cleared: {said[-200:]!r}")


# Runs a program under an audit hook that writes, a line each, every file
# or folder it creates directly in $TMPDIR.
AUDITED = """
import os, runpy, sys
tmp, log = os.environ["TMPDIR"], open(os.environ["CREATED_LOG"], "w", buffering=1)
def hook(event, args):
    if event in ("open", "os.mkdir") and isinstance(args[0], str):
        made = event == "os.mkdir" or (args[2] or 0) & os.O_CREAT
        if made and os.path.dirname(os.path.abspath(args[0])) == tmp:
            log.write(os.path.basename(args[0]) + "\\n")
sys.addaudithook(hook)
sys.argv = sys.argv[1:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def check_creations(res, z, loader, tmp):
    """A load proven by zervgen creates nothing in $TMPDIR but its work
    folder, which it removes: a file made anywhere else there (Python's own
    probe of the temporary folder, made and removed in two steps) is left
    behind by a signal that comes between them."""
    where = "what a load creates in $TMPDIR"
    folder, log = os.path.join(tmp, "tmpdir"), os.path.join(tmp, "created.log")
    os.makedirs(folder)
    env = dict(os.environ, TMPDIR=folder, CREATED_LOG=log)
    p = harness.run([sys.executable, "-c", AUDITED, loader, "sqlite", "-z", z, "audit.db", "zst"],
                    cwd=tmp, env=env)
    with open(log) as f:
        created = f.read().split()
    res.check(p.returncode == 0, where, f"status {p.returncode}: {p.stderr[-300:]!r}")
    res.check(created and all(c.startswith("zervgen-load.") for c in created), where,
              f"created {created} in $TMPDIR, not only its work folder")
    res.check(os.listdir(folder) == [], where, f"left {os.listdir(folder)} in $TMPDIR")


def check_reads(res, scripts):
    """Every load.NAME (and load.NAME.ATTR) a backend reads is the loader's."""
    sys.path.insert(0, scripts)
    try:
        from zervgen_tools import loader, loadopts, records
    except ImportError as e:
        res.check(False, "backends", f"the loader's modules: {e}")
        return
    have = {"opts": vars(loadopts.Options()) | {"check_cols": 0, "delim_word": 0, "jobs": 0,
                                                "zervgen": 0, "client_options": 0},
            "run": set(dir(records.Run)) | set(vars(records.Run(None))),
            "work": set(dir(loader.Work)) | set(vars(loader.Work({})))}
    load = set(dir(loader.Load)) | set(vars(loader.Load(None, "", {}, "")))
    for name in loadopts.BACKENDS:
        with open(os.path.join(scripts, "zervgen_tools", f"{name}.py")) as f:
            text = f.read()
        for first, second in set(re.findall(r"\bload\.(\w+)(?:\.(\w+))?", text)):
            ok = first in load and (not second or first not in have or second in have[first])
            res.check(ok, f"{name}.py", f"reads load.{first}{'.' + second if second else ''},"
                                        " which the loader does not have")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zervgen")
    parser.add_argument("--loader", default=harness.LOADER)
    args = parser.parse_args()
    z = os.path.abspath(args.zervgen)
    loader = os.path.abspath(args.loader)
    names = {"LOADER": loader, "SQLITE": os.path.join(os.path.dirname(loader), "load-sqlite.sh")}
    res = harness.Results("zervgen-load's command line")
    tmp = tempfile.mkdtemp()
    try:
        for folder, extra in (("run", ["-r", "run/zerv.rpt"]), ("bare", []),
                              ("one", ["-parts", "1", "-part", "1"]),
                              ("zst", ["-r", "zst/zerv.rpt", "-compress", "zstd"]),
                              ("gz", ["-parts", "2", "-compress", "gzip:9"]),
                              ("tab", ["-dc", "tab", "-manifest", "tab/zerv.manifest"])):
            os.makedirs(os.path.join(tmp, folder))
            harness.run([z, "-n", "200", "-f", f"{folder}/zerv"] + extra, cwd=tmp).check_returncode()
        no_record(z, tmp)
        os.makedirs(os.path.join(tmp, "hu"))
        harness.run([z, "-hu", "-n", "150", "-f", "hu/zerv.hun", "-r", "hu/zerv.rpt"],
                    cwd=tmp).check_returncode()
        os.makedirs(os.path.join(tmp, "hu2"))
        harness.run([z, "-hu", "-n", "120", "-dc", "tab", "-f", "hu2/zerv.hun"],
                    cwd=tmp).check_returncode()
        shutil.copytree(os.path.join(tmp, "hu2"), os.path.join(tmp, "hu3"))
        with open(os.path.join(tmp, "hu3", "zerv.hun"), "rb") as f:
            lines = f.read().splitlines(True)
        fields = lines[2].split(b"\t")  # a digit of row 3 changed, within the range
        fields[1] = fields[1][:-1] + (b"1" if fields[1].endswith(b"2") else b"2")
        lines[2] = b"\t".join(fields)
        with open(os.path.join(tmp, "hu3", "zerv.hun"), "wb") as f:
            f.write(b"".join(lines))
        os.makedirs(os.path.join(tmp, "two"))
        for rel, suffix in (("-hu", "hun"), ("-un", "uni")):
            harness.run([z, rel, "-n", "200", "-f", f"two/zerv.{suffix}"], cwd=tmp).check_returncode()
        os.mkfifo(os.path.join(tmp, "fifo.sql"))
        shutil.copytree(os.path.join(tmp, "bare"), os.path.join(tmp, "-bare"))
        os.makedirs(os.path.join(tmp, "empty"))
        names.update(PYTHON=sys.executable, NOPATH=f"PATH={os.path.join(tmp, 'empty')}")
        env = dict(os.environ, MARIADB="/nonexistent/mariadb", PSQL="/nonexistent/psql")
        for name, argv, status, stream, says, never in cases(z):
            p = harness.run([names.get(a, a) for a in argv], cwd=tmp, env=env)
            text = getattr(p, stream)
            if status == 0:
                res.check(p.returncode == 0 and says in text and p.stderr == ""
                          and (never is None or never not in text), name,
                          f"status {p.returncode}, {stream} {text[-300:]!r}, stderr"
                          f" {p.stderr[-300:]!r}: not status 0 with {says!r}"
                          + (f" and without {never!r}" if never else ""))
            else:
                harness.ended(res, name, p.returncode, p.stderr, status, says)
                res.check(p.stdout == "", name, f"wrote {p.stdout[:200]!r} on standard output")
        con = sqlite3.connect(os.path.join(tmp, "bare.db"))
        counts = [con.execute(f"SELECT count(*) FROM {t}").fetchone()[0]
                  for t in ("hundred", "tenpcnt", "uniques")]
        con.close()
        res.check(counts == [150, 200, 200], "a one-relation run",
                  f"hundred, tenpcnt and uniques hold {counts} rows, not [150, 200, 200]")
        con = sqlite3.connect(os.path.join(tmp, "last.db"))
        counts = [con.execute(f"SELECT count(*) FROM {t}").fetchone()[0]
                  for t in ("hundred", "tenpcnt", "tiny")]
        con.close()
        res.check(counts == [120, 200, 1], "a one-relation run, no record",
                  f"hundred, tenpcnt and tiny hold {counts} rows, not [120, 200, 1]")
        check_terminal(res, z, loader, tmp)
        check_creations(res, z, loader, tmp)
        check_reads(res, os.path.dirname(loader))
    finally:
        shutil.rmtree(tmp)
    return res.summary()


if __name__ == "__main__":
    sys.exit(main())
