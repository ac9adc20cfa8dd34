"""broken_inputs.py: the loaders against broken inputs and interrupts.

check_broken runs one table of broken inputs (cut, mixed, malformed and
mistyped files, wrong options, values that only a proof refuses) against
every loader that accepts the format, once with the run's record beside
the files and once on copies without one (proven the run they show): each
must end with status 1 (2 for a usage error), one line on standard error
that names what the case names (relation, file, row), and the database as
it was.

check_malformed runs one table of malformed fields, one of each column
type in delimited and fixed format, each a text that a database's own
parser takes as a value, against every loader on files without a record:
all must refuse it with the same line, naming relation, file and row.

check_interrupts interrupts each loader at pseudo-random moments (a fixed
seed), by SIGINT to its process group, SIGTERM to the script or SIGINT to its
database clients; every ending must be status 0 with the new tables or a
non-zero status with the old ones, and no staging schema or database left.
"""

import gzip
import json
import os
import random
import shutil
import signal
import subprocess
import time

from databases import LEFTOVERS_SQL, leftovers

CLIENTS = {"psql", "sqlite3", "mariadb"}


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def copy_run(src_prefix, folder, records=True):
    """A copy of the run's files (part files too) and, with records, its
    report and manifest as folder/zerv.*."""
    os.makedirs(folder)
    base = os.path.basename(src_prefix) + "."
    for name in os.listdir(os.path.dirname(src_prefix)):
        if name.startswith(base) and (records or not name.endswith((".rpt", ".manifest"))):
            shutil.copy(os.path.join(os.path.dirname(src_prefix), name),
                        os.path.join(folder, "zerv." + name[len(base):]))
    return os.path.join(folder, "zerv")


def edit_row(suffix, row, change):
    """A mutation that replaces row `row` (1-based) of one file by change(row)."""
    def mutate(prefix, _):
        lines = read(f"{prefix}.{suffix}").split(b"\n")
        lines[row - 1] = change(lines[row - 1])
        write(f"{prefix}.{suffix}", b"\n".join(lines))
    return mutate


def set_field(suffix, row, index, value, sep=b","):
    def change(line):
        fields = line.split(sep)
        fields[index] = value
        return sep.join(fields)
    return edit_row(suffix, row, change)


def flip_digit(suffix, row, index, sep=b","):
    """A mutation that changes the last digit of one field of one row: a
    value of the right type and range, but not the run's."""
    def change(line):
        fields = line.split(sep)
        digit = fields[index][-1]
        fields[index] = fields[index][:-1] + bytes([ord("0") + (digit - ord("0") + 1) % 10])
        return sep.join(fields)
    return edit_row(suffix, row, change)


def whole_file(suffix, change):
    def mutate(prefix, _):
        write(f"{prefix}.{suffix}", change(read(f"{prefix}.{suffix}")))
    return mutate


def remove(suffix):
    def mutate(prefix, _):
        os.remove(f"{prefix}.{suffix}")
    return mutate


def from_other(suffix, other):
    """The file of another run in the place of this run's."""
    def mutate(prefix, runs):
        shutil.copy(f"{runs[other]}.{suffix}", f"{prefix}.{suffix}")
    return mutate


def manifest_distinct(relation, column, value):
    """The manifest's count of distinct values of one column of one
    relation replaced by value."""
    def mutate(prefix, _):
        doc = json.loads(read(f"{prefix}.manifest"))
        rel = next(r for r in doc["describe"]["relations"] if r["name"] == relation)
        next(c for c in rel["columns"] if c["name"] == column)["distinct"] = value
        write(f"{prefix}.manifest", json.dumps(doc).encode())
    return mutate


def head(suffix, n):
    return whole_file(suffix, lambda d: b"".join(d.splitlines(True)[:n]))


def recompressed(suffix, mutation):
    """mutation (of the text's suffix) applied to the text of the
    compressed file PREFIX.SUFFIX (.zst or .gz), compressed again."""
    def mutate(prefix, runs):
        path = f"{prefix}.{suffix}"
        text, codec = path.rsplit(".", 1)
        zstd = ["zstd", "-q", "-c"]
        write(text, gzip.decompress(read(path)) if codec == "gz" else subprocess.run(
            zstd + ["-d", path], capture_output=True, check=True).stdout)
        mutation(prefix, runs)
        write(path, gzip.compress(read(text)) if codec == "gz" else subprocess.run(
            zstd + [text], capture_output=True, check=True).stdout)
        os.remove(text)
    return mutate


def damaged(data):
    """A compressed file with one byte in its middle changed."""
    return data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 0x55]) + data[len(data) // 2 + 1:]


# (name, base run, loaders, mutation, options, must-contain texts without
# a record[, the texts with the record, where it says otherwise]); zervgen
# -verify counts a part file's rows over the whole run. The base runs, each
# with its report: "comma" (2000 rows, fill 20), "fixed" (2000 rows, fill
# 20, -ff), "fixed0" (1000 rows, -ff, no fill), "small" (1000 rows, fill
# 20), "nofill" (300 rows), "parts" (2000 rows, -parts 3); "manifest"
# (2000 rows, fill 20, its manifest too); "zstd" (the rows of "comma",
# -compress zstd), "gzparts" (those of "comma", -parts 3 -compress gzip). Loaders: p, s, m. Without the
# record the rows are those most large relations count.
CASES = [
    ("missing file", "comma", "psm", remove("ten"), [], ["tenpcnt", "no file", "zerv.ten"]),
    ("empty file", "comma", "psm", whole_file("uni", lambda d: b""), [], ["uniques", "is empty"]),
    ("wrong delimiter", "comma", "psm", None, ["-d", "|"], ["hundred", "separated by '|'"],
     ["-d |: the report", "comma/zerv.rpt says the run wrote rows separated by ','"]),
    ("unsupported delimiter", "comma", "psm", None, ["-d", ";"], ["unsupported delimiter"]),
    ("cut inside the last field", "comma", "psm", whole_file("ten", lambda d: d[:-3]), [],
     ["tenpcnt", "zerv.ten", "line feed"]),
    ("cut at a row boundary", "comma", "psm", head("ten", 500), [],
     ["tenpcnt", "zerv.ten", "500 rows", "2000"], ["zerv.ten", "truncated after row 500"]),
    ("tiny of two rows", "comma", "psm", whole_file("tny", lambda d: d + d), [],
     ["tiny", "zerv.tny holds 2 rows", "has 1"], ["tiny", "zerv.tny", "longer than expected"]),
    ("a file of another run", "comma", "psm", from_other("hun", "small"), [],
     ["hundred", "zerv.hun holds 1000 rows", "(zervgen -n 2000 -fc 20 -dc ,) has 2000"],
     ["hundred", "zerv.hun", "row 1 differs"]),
    ("fill beside no fill", "comma", "psm", from_other("upd", "nofill"), [], ["updates", "fill"]),
    ("row cut inside a middle field", "comma", "psm",
     edit_row("hun", 700, lambda l: l[:l.index(b",", 30) + 3]), [], ["hundred", "zerv.hun", "row 700"]),
    ("short row", "comma", "psm", edit_row("upd", 9, lambda l: l[:l.rindex(b",")]), [],
     ["updates", "zerv.upd", "row 9"]),
    ("twelve fields", "comma", "psm", edit_row("uni", 11, lambda l: l + b",x"), [],
     ["uniques", "zerv.uni", "row 11"]),
    ("empty first field", "comma", "psm", set_field("ten", 3, 0, b""), [], ["tenpcnt", "row 3"]),
    ("key x", "comma", "psm", set_field("hun", 1000, 0, b"x"), [], ["hundred", "row 1000"]),
    ("12.5 in an integer column", "comma", "psm", set_field("ten", 40, 2, b"12.5"), [],
     ["tenpcnt", "row 40"]),
    ("11 digits in an integer column", "comma", "psm", set_field("uni", 41, 2, b"99999999999"),
     [], ["uniques", "row 41"]),
    ("date 2/30/1999", "comma", "psm", set_field("hun", 42, 6, b"2/30/1999"), [],
     ["hundred", "row 42"]),
    ("date 13/1/1999", "comma", "psm", set_field("upd", 43, 6, b"13/1/1999"), [],
     ["updates", "row 43"]),
    ("date x/y/z", "comma", "psm", set_field("ten", 44, 6, b"x/y/z"), [], ["tenpcnt", "row 44"]),
    ("tiny abc", "comma", "psm", whole_file("tny", lambda d: b"abc\n"), [], ["tiny", "row 1"]),
    ("CRLF line ends", "comma", "psm", whole_file("uni", lambda d: d.replace(b"\n", b"\r\n")), [],
     ["uniques", "carriage return"]),
    ("a carriage return in row 5", "comma", "psm", edit_row("hun", 5, lambda l: l + b"\r"), [],
     ["hundred", "row 5"]),
    ("byte 0xff in a name", "comma", "psm", set_field("ten", 7, 8, b"\xff" * 20), [],
     ["tenpcnt", "row 7"]),
    ("non-ASCII letter in a code", "comma", "sm", set_field("upd", 8, 7, "\u00e9".encode() * 5),
     [], ["updates", "row 8"]),
    # Values that a database would take as another value: a NUL byte that
    # cuts a number, a date or a text; a zero month or day; COPY's escapes
    # (a name of 20 printable characters loads as written where there are
    # none).
    ("a NUL byte in an integer", "comma", "psm", set_field("hun", 10, 1, b"176\x0076177"), [],
     ["hundred", "zerv.hun", "row 10"]),
    ("a NUL byte in a date", "comma", "psm", set_field("hun", 11, 6, b"4/2/1951\x00junk"), [],
     ["hundred", "zerv.hun", "row 11"]),
    ("a NUL byte in an address", "comma", "psm", set_field("uni", 12, 9, b"aP7sa\x006EArZThIOe:"),
     [], ["uniques", "zerv.uni", "row 12"]),
    ("day 0", "comma", "psm", set_field("ten", 42, 6, b"1/0/1950"), [], ["tenpcnt", "row 42"]),
    ("month 0", "comma", "psm", set_field("ten", 43, 6, b"0/10/1950"), [], ["tenpcnt", "row 43"]),
    ("a fill of \\N", "comma", "psm", set_field("upd", 50, 10, b"\\N"), [],
     ["updates", "zerv.upd", "row 50"]),
    ("a key of \\061", "comma", "psm", set_field("hun", 51, 0, b"\\061"), [],
     ["hundred", "zerv.hun", "row 51"]),
    ("a name with \\x41", "comma", "psm", set_field("ten", 52, 8, b"ab\\x41" + b"c" * 14), [],
     ["tenpcnt", "zerv.ten", "row 52"]),
    ("duplicate key", "comma", "psm", edit_row("hun", 20, lambda l: b"0" + l[l.index(b","):]), [],
     ["hundred"]),
    ("fixed row cut to 60 characters", "fixed", "ps", edit_row("hun", 30, lambda l: l[:60]),
     ["-d", "fixed"], ["hundred", "zerv.hun", "row 30"]),
    ("fixed row with extra characters", "fixed", "ps", edit_row("uni", 31, lambda l: l + b"xy"),
     ["-d", "fixed"], ["uniques", "zerv.uni", "row 31"]),
    ("fill that changes half-way", "fixed0", "ps",
     whole_file("ten", lambda d: b"".join(l if i < 500 else l[:-1] + b"ab\n"
                                          for i, l in enumerate(d.splitlines(True)))),
     ["-d", "fixed"], ["tenpcnt", "row 501"]),
    ("fixed key x", "fixed", "ps", edit_row("upd", 32, lambda l: b"         x" + l[10:]),
     ["-d", "fixed"], ["updates", "row 32"]),
    # Without -d the first rows give the format: -d ',' reads fixed rows as delimited.
    ("fixed read as delimited", "fixed", "psm", None, ["-d", ","], ["hundred", "fixed format"],
     ["-d ,: the report", "says the run wrote fixed-format rows"]),
    ("delimited read as fixed", "comma", "ps", None, ["-d", "fixed"], ["not a fixed-format row"],
     ["-d fixed: the report", "comma/zerv.rpt says the run wrote rows separated by ','"]),
    ("fixed format into MariaDB", "fixed", "m", None, ["-d", "fixed"], ["cannot be loaded"]),
    ("part files without -j", "parts", "psm", None, [], ["hundred", "-j 3"]),
    ("-j 2 on three parts", "parts", "p", None, ["-j", "2"], ["hundred", "-j 3"]),
    ("a part file with a key out of range", "parts", "p",
     edit_row("ten.2", 5, lambda l: b"1500000000" + l[l.index(b"|"):]), ["-j", "3", "-d", "|"],
     ["tenpcnt", "zerv.ten.2", "row 671"]),
    ("a part file cut at a row boundary", "parts", "p", head("uni.3", 100), ["-j", "3", "-d", "|"],
     ["uniques", "zerv.uni.1 .. ", "zerv.uni.3 holds 1433 rows"],
     ["uniques", "zerv.uni.3", "truncated after row 1433"]),
    ("-g with a failing zervgen", None, "psm", None, ["-g", "ZERVGEN", "-n", "30"],
     ["At least 100 rows"]),
    ("-g with -r", None, "psm", None, ["-g", "ZERVGEN", "-r", "x.rpt"], ["-r"]),
    ("-g with -compress", None, "psm", None, ["-g", "ZERVGEN", "-compress", "zstd"], ["-compress"]),
    # Compressed files: the decompressor's failure, or the row, whatever
    # the loader reads first; a proof names the damage in its own words.
    ("a damaged zstd file", "zstd", "psm", whole_file("hun.zst", damaged), [],
     ["hundred", "zerv.hun.zst", "cannot decompress it", "checksum"],
     ["hundred", "zerv.hun.zst", "not the file the run wrote", "damaged zstd data"]),
    ("a cut gzip part file", "gzparts", "psm", whole_file("ten.2.gz", lambda d: d[:len(d) // 2]),
     ["-j", "3"], ["tenpcnt", "zerv.ten.2.gz", "cannot decompress it", "unexpected end of file"],
     ["tenpcnt", "zerv.ten.2.gz", "not the file the run wrote", "cut short gzip data"]),
    ("key x in a zstd file", "zstd", "psm", recompressed("hun.zst", set_field("hun", 1000, 0, b"x")),
     [], ["hundred", "zerv.hun.zst", "row 1000"]),
    ("a date of 2000 without a report", "nofill-norpt", "psm", set_field("hun", 5, 6, b"1/1/2000"),
     [], ["hundred", "zerv.hun", "row 5"]),
]

# Usage errors among them: status 2, nothing done.
USAGE_CASES = {"unsupported delimiter", "fixed format into MariaDB", "-g with a failing zervgen",
               "-g with -r", "-g with -compress"}
# With the run's record beside the files: a -d that contradicts it is a
# usage error, and files read without -d take the record's format.
PROOF_USAGE_CASES = {"wrong delimiter", "delimited read as fixed", "fixed read as delimited"}
RECORD_FORMAT_CASES = set()
# Cases of the manifest's own figures.
MANIFEST_CASES = {"-c against another count of distinct values"}

# Only a proof refuses these: values of the right type and range that are
# not the run's, with the record and without one. The rows load while
# zervgen -verify runs (PostgreSQL), so the proof must be awaited, and its
# failure undo the load.
PROOF_CASES = [
    ("a flipped digit", "comma", "psm", flip_digit("hun", 600, 2), [],
     ["hundred", "zerv.hun", "row 600 differs"]),
    ("a flipped digit, with the manifest", "manifest", "psm", flip_digit("uni", 3, 2), [],
     ["uniques", "zerv.uni", "row 3 differs"]),
    # A manifest is the run's field by field: an edited figure is refused
    # before -c could compare the tables with it.
    ("-c against another count of distinct values", "manifest", "psm",
     manifest_distinct("uniques", "decim", 1999), ["-c"],
     ["the manifest", "describe.relations[0].columns[5].distinct is not what zervgen says"]),
    ("a flipped digit in a part file", "parts", "p", flip_digit("ten.2", 5, 2, b"|"),
     ["-j", "3", "-d", "|"], ["tenpcnt", "zerv.ten.2", "row 671 differs"]),
    ("a flipped digit in a gzip part file", "gzparts", "psm",
     recompressed("uni.2.gz", flip_digit("uni.2", 5, 2)), ["-j", "3"],
     ["uniques", "zerv.uni.2.gz", "row 671 differs"]),
]


TABLES = ["hundred", "tenpcnt", "tiny", "uniques", "updates"]
PG_IDENTITY = ("SELECT string_agg(oid::text, ' ' ORDER BY relname) FROM pg_class"
               f" WHERE relname IN ({', '.join(repr(t) for t in TABLES)})"
               " AND relnamespace = current_schema()::regnamespace")


def text_type(db):
    """The type a CAST to text names in db's SQL."""
    return "CHAR" if db.name == "mariadb" else "TEXT"


def fingerprint_sql(db):
    """One row per table, its index first, then its count, key sum, signed
    sum and largest address, all as texts."""
    text = text_type(db)
    selects = []
    for i, t in enumerate(TABLES):
        cols = ['count(*)', 'sum("key")'] + \
            (['NULL', 'NULL'] if t == "tiny" else ['sum("signed")', 'max("address")'])
        selects.append(f"SELECT '{i}', " + ", ".join(f"CAST({c} AS {text})" for c in cols) +
                       f" FROM {t}")
    return " UNION ALL ".join(selects)


def fingerprint_of(rows):
    rows = sorted(rows, key=lambda r: int(r[0]))
    assert [int(r[0]) for r in rows] == list(range(len(TABLES))), rows
    return [r[1:3] if t == "tiny" else r[1:] for t, r in zip(TABLES, rows)]


def fingerprint(db):
    """What a refused load must keep: per table the count, key sum, signed
    sum and largest address, asked in one query (one client started, not
    one per table)."""
    return fingerprint_of(db.query(fingerprint_sql(db)))


def identity(db):
    """What tells the tables themselves apart, not only their rows (a load
    of the same run gives the same fingerprint): PostgreSQL's table oids,
    SQLite's schema version."""
    if db.name == "postgresql":
        return db.query(PG_IDENTITY)
    if db.name == "sqlite":
        return db.query("PRAGMA schema_version")
    return None


def state(db):
    """(fingerprint, identity, leftovers) of db; for PostgreSQL and MariaDB
    in one query, so one client started instead of three."""
    if db.name not in LEFTOVERS_SQL:
        return fingerprint(db), identity(db), leftovers(db)
    parts = [fingerprint_sql(db),
             f"SELECT 'left', CAST(name AS {text_type(db)}), NULL, NULL, NULL"
             f" FROM ({LEFTOVERS_SQL[db.name]}) AS staged"]
    if db.name == "postgresql":
        parts.append(f"SELECT 'identity', ({PG_IDENTITY}), NULL, NULL, NULL")
    rows = db.query(" UNION ALL ".join(parts))
    ident = [r[1:2] for r in rows if r[0] == "identity"] if db.name == "postgresql" else None
    return (fingerprint_of([r for r in rows if r[0].isdigit()]), ident,
            [r[1:2] for r in rows if r[0] == "left"])


def check_broken(res, dbs, runs, work, zervgen, proof):
    """Every case of CASES against every loader it names: with proof, the
    files beside their run's record (the loader proves them with the
    zervgen of the checkout); without, copies of the files alone, which the
    loader proves as the run they show."""
    by_letter = {db.name[0]: db for db in dbs}
    before = {db.name: state(db)[:2] for db in dbs}
    mode = "proof" if proof else "row checks"
    cases = CASES + PROOF_CASES
    for i, (name, base, letters, mutate, options, texts, *proof_texts) in enumerate(cases):
        if (proof and name in RECORD_FORMAT_CASES) or (not proof and name in MANIFEST_CASES):
            continue
        if proof and proof_texts:
            texts = proof_texts[0]
        prefix = None
        if base is not None:
            prefix = runs[base]
            if mutate is not None or not proof:
                prefix = copy_run(runs[base], os.path.join(work, "broken", mode, str(i)), proof)
            if mutate is not None:
                mutate(prefix, runs)
        args = [zervgen if a == "ZERVGEN" else a for a in options]
        if prefix is not None:
            args += [os.path.dirname(prefix) if prefix.endswith("/zerv") else prefix]
        for letter in letters:
            db = by_letter[letter]
            p = db.load(args)
            lines = p.stderr.splitlines()
            where = f"{db.name}, broken input ({mode}): {name}"
            status = 2 if name in USAGE_CASES or (proof and name in PROOF_USAGE_CASES) else 1
            ok = p.returncode == status and len(lines) == 1 and all(t in p.stderr for t in texts)
            res.check(ok, where, f"exited {p.returncode} with {p.stderr.strip()[:300]!r},"
                                 f" expected status {status} and one line with {texts}")
            *kept, left = state(db)
            res.check(tuple(kept) == before[db.name], where, "the tables changed")
            res.check(not left, where, f"left behind: {left}")



# Malformed fields of files without a run record: each a text that zervgen
# cannot have written but a database's own parser would take as a value, in
# one row of a run of 200 rows (fill 20). (relation, file suffix, row,
# column, bad text, fixed format); the fixed-format texts fill the column's
# width. Every loader that reads the format must refuse the load with one
# and the same line naming the relation, file and row.
MALFORMED = [
    ("hundred", "hun", 3, "float", b"+146464646.00", False),  # its '-' changed to '+'
    ("hundred", "hun", 4, "float", b"87878787.", False),
    ("tenpcnt", "ten", 2, "key", b" 663316583", False),  # padded with a blank
    ("uniques", "uni", 5, "int", b"412060302 ", False),
    ("updates", "upd", 6, "signed", b"+17", False),
    ("tenpcnt", "ten", 7, "double", b"-7.57575758e8", False),
    ("hundred", "hun", 8, "decim", b"292929293.00", False),  # decim is written without a point
    ("hundred", "hun", 9, "date", b"3 27/1967", False),
    ("uniques", "uni", 10, "date", b"03/27/1967", False),
    ("tenpcnt", "ten", 11, "code", b"Wv4:jL2lJ", False),  # one character short
    ("updates", "upd", 12, "name", "\u00e9".encode() * 10, False),  # 10 letters, 20 bytes
    ("uniques", "uni", 13, "address", b"a", False),
    ("hundred", "hun", 14, "address", b"ab\\x41cd", False),  # COPY reads \x41 as 'A'
    ("updates", "upd", 15, "fill", b"qUNGszoyLB\twm0JpZ7X", False),
    ("tiny", "tny", 1, "key", b" 0", False),
    ("hundred", "hun", 3, "float", b"+146464646.00", True),
    ("tenpcnt", "ten", 4, "key", b"773869347 ", True),  # not right-aligned
    ("updates", "upd", 5, "date", b" 3/27/1967", True),
    ("uniques", "uni", 6, "double", b" 1000000.00", True),
]


def set_fixed_field(suffix, row, widths, column, value):
    """A mutation that replaces one field of one fixed-format row; widths:
    the relation's (column, width) pairs."""
    first = 0
    for name, width in widths:
        if name == column:
            break
        first += width
    assert len(value) == width, f"{value!r} is not {width} characters"
    return edit_row(suffix, row, lambda l: l[:first] + value + l[first + width:])


def check_malformed(res, dbs, work, zervgen):
    """Every row of MALFORMED against every loader that reads its format, on
    a copy of a run of 200 rows without a record; the tables of a clean
    load of that run must stay as they were."""
    runs = {}
    for fixed in (False, True):
        folder = os.path.join(work, "malformed", "fixed" if fixed else "comma")
        os.makedirs(folder)
        args = [zervgen, "-n", "200", "-fc", "20", "-f", "zerv"] + (["-ff"] if fixed else [])
        subprocess.run(args, cwd=folder, check=True, capture_output=True)
        runs[fixed] = os.path.join(folder, "zerv")
    doc = json.loads(subprocess.run([zervgen, "-n", "200", "-fc", "20", "-ff", "-describe"],
                                    check=True, capture_output=True).stdout)
    widths = {r["name"]: [(c["name"], c["width"]) for c in r["columns"]] for r in doc["relations"]}
    for db in dbs:
        res.check(db.load([runs[False]]).returncode == 0, db.name, "the load of the 200 rows")
    before = {db.name: state(db)[:2] for db in dbs}
    for i, (rel, suffix, row, column, bad, fixed) in enumerate(MALFORMED):
        prefix = copy_run(runs[fixed], os.path.join(work, "malformed", str(i)), False)
        if fixed:
            set_fixed_field(suffix, row, widths[rel], column, bad)(prefix, None)
        else:
            index = [c for c, _ in widths[rel]].index(column)
            set_field(suffix, row, index, bad)(prefix, None)
        said = {}
        for db in dbs:
            if fixed and db.name == "mariadb":
                continue
            p = db.load((["-d", "fixed"] if fixed else []) + [prefix])
            where = f"{db.name}, malformed {'fixed ' if fixed else ''}{rel} {column}: {bad!r}"
            texts = [f"{rel}: {prefix}.{suffix}: not the file the run wrote: row {row} differs"]
            ok = p.returncode == 1 and len(p.stderr.splitlines()) == 1 and texts[0] in p.stderr
            res.check(ok, where, f"exited {p.returncode} with {p.stderr.strip()[:300]!r},"
                                 f" expected status 1 and one line with {texts}")
            *kept, left = state(db)
            res.check(tuple(kept) == before[db.name], where, "the tables changed")
            res.check(not left, where, f"left behind: {left}")
            said[db.name] = p.stderr.partition(": ")[2]
        res.check(len(set(said.values())) == 1, f"malformed {rel} {column}: {bad!r}",
                  f"the loaders say different things: {said}")


# ---------------------------------------------------------------- interrupts

def descendants(pid):
    """The processes below pid, with their command names."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        children.setdefault(ppid, []).append((int(entry), comm))
    out, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            out.append(child)
            todo.append(child[0])
    return out


def interrupt(proc, how):
    try:
        if how == "group":
            os.killpg(proc.pid, signal.SIGINT)
        elif how == "term":
            os.kill(proc.pid, signal.SIGTERM)
        else:
            for pid, comm in descendants(proc.pid):
                if comm in CLIENTS:
                    os.kill(pid, signal.SIGINT)
    except ProcessLookupError:
        pass


def check_interrupts(res, dbs, prefixes, runs_per_loader, tmp):
    """Loads alternating between two runs, each interrupted at a moment drawn
    from the time an uninterrupted load takes; the loaders' work folders go
    to tmp, which must be empty after each."""
    rng = random.Random(22)
    os.makedirs(tmp)
    env = dict(os.environ, TMPDIR=tmp)
    for db in dbs:
        prints, took = [], 0.0
        for prefix in prefixes:  # load both cleanly: their fingerprints, the time
            start = time.monotonic()
            p = db.load([prefix])
            took = max(took, time.monotonic() - start)
            res.check(p.returncode == 0, f"{db.name}, interrupts", f"a clean load failed: {p.stderr}")
            prints.append(fingerprint(db))
        current = 1  # the tables hold the second run
        for n in range(runs_per_loader):
            how = ["group", "term", "client"][n % 3]
            target = 1 - current
            cmd = db.load_command([prefixes[target]])
            proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                    start_new_session=True, text=True, errors="replace")
            time.sleep(rng.uniform(0, took))
            interrupt(proc, how)
            out, err = proc.communicate()
            now = fingerprint(db)
            where = f"{db.name}, interrupt {n + 1} ({how})"
            if proc.returncode == 0:
                res.check(now == prints[target], where, "status 0, but not the new tables")
                current = target
            else:
                res.check(now == prints[current], where,
                          f"status {proc.returncode} ({err.strip()[:200]!r}), but the tables changed")
                check_ending(res, where, proc.returncode, err)
            left = leftovers(db) + os.listdir(tmp)
            res.check(not left, where, f"left behind: {left}")
        # Early signals, where a loader is still setting up: each ends with
        # the tables as they were (they already hold this run) and the
        # signal's own line and status.
        for n in range(8):
            proc = subprocess.Popen(db.load_command([prefixes[current]]), stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=env, start_new_session=True,
                                    text=True, errors="replace")
            time.sleep(0.02 + 0.05 * n)
            interrupt(proc, "term")
            out, err = proc.communicate()
            where = f"{db.name}, early SIGTERM {n + 1}"
            res.check(fingerprint(db) == prints[current], where, "the tables changed")
            if proc.returncode != 0:
                check_ending(res, where, proc.returncode, err)
            left = leftovers(db) + os.listdir(tmp)
            res.check(not left, where, f"left behind: {left}")


def check_ending(res, where, status, err):
    """A load that did not end with status 0 ends with status 1 and one line,
    or with the signal's status and its "interrupted by SIGx" line. Only a
    signal that comes before the interpreter has run a line of the loader
    ends it by the signal itself."""
    lines = err.splitlines()
    signals = {130: "SIGINT", 143: "SIGTERM", 129: "SIGHUP"}
    if status < 0:
        ok = True
    elif status in signals:
        ok = len(lines) == 1 and f"interrupted by {signals[status]}," in lines[0]
    else:
        ok = status == 1 and len(lines) == 1
    res.check(ok, where, f"status {status} with {err.strip()[:200]!r}, not one line that"
                         " says why, with its status")
