"""common.py: what the loaders share.

The options; the relations, their columns and their files (whole files,
part files or zervgen pipes), all as zervgen's -describe documents give
them (interface.py); the run record that names the run (its manifest, or
its report's Cmd: line), the proof of every file by `zervgen -verify` that
it makes possible, and the checks of every input before the database is
touched; the checks of the loaded counts and columns against the run; the
work folder, the ending signals and the one-line failure message. A
backend (postgresql.py, sqlite.py, mariadb.py) defines a class with these
members, which `Load.run` calls in this order:

    precheck(load)       the database can take the load (nothing loaded yet);
    stage(load)          loads every relation of load.relations beside the
                         old tables, keyed and analyzed, calling
                         load.loaded_count(REL, N) as soon as each one's
                         rows are in;
    proof_ended(load)    (a backend whose proves_alongside is true: the proof
                         of the files runs while it stages) the proof has
                         proven every file;
    columns(load)        (with -c) "REL COLUMN MIN MAX DISTINCT" tuples of
                         the new tables' columns load.stat_columns(REL)
                         (dates as YYYY-MM-DD);
    swap(load)           puts the new tables in the place of the old ones in
                         one step; runs while the ending signals are held;
                         returns a failure text or None;
    swap_done(load)      true when the database holds the new tables (asked
                         after swap ended, whichever way);
    cleanup(load)        removes what is left of the new tables (any ending).

A load either replaces all the tables or leaves the database as it was,
and its status says which: 0 only after the database shows the new tables.

A load of files with a run record (a manifest, or a report) loads only
files that zervgen proves exactly the run's: a proof that cannot be made
ends the load, saying why. Only files without any record are loaded
unproven, every field checked.
"""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from . import interface
from .interface import ZervgenError

BACKENDS = ("postgresql", "sqlite", "mariadb")

# What a load that cannot prove its files asks for.
GIVE_MANIFEST = ("; give the run's manifest with -M MANIFEST (zervgen -manifest FILE writes it)"
                 " (nothing was loaded)")


class Failure(Exception):
    """Ends the load with status 1 and one line on standard error."""


def die(text):
    raise Failure(text)


def fail_load(text):
    raise Failure(f"loading failed, the tables are as they were: {text}")


def need_client(program, what, package, variable):
    """Ends the load before anything is done when the database's client
    `program` is not on the path, saying what to install or set."""
    if shutil.which(program) is None:
        die(f"'{program}' not found: this loader needs {what} (Debian's {package}),"
            f" or its path in {variable}")


def one_line(text):
    """text as one line of printable ASCII (any other byte shows as '?')."""
    return "".join(c if " " <= c <= "~" else "?" for c in text)


class Relation:
    """One relation of the run as the -describe documents give it.

    name, option   its name, and zervgen's option that writes it alone
    base           its columns without a fill column
    columns        its columns in row order, the fill column included
    fill           its fill column, or None
    fillable       a fill width (zervgen -fc) gives it a fill column
    constant       its count is the same in every run, whatever the rows
    rows           the count it must have (the run's; without a run record
                   only a constant count), or None: the same as every
                   other relation whose count is not constant
    whole          the path of its whole file (part K's is WHOLE.K)
    files          the paths of its files, in part order
    empty_ok       per file: whether it may be empty (the run puts no row
                   in it)
    checked        without a run record: its columns with the ranges the
                   checks allow (a range that grows with the rows: its type's)
    """

    def __init__(self, small, wide):
        self.name = small["name"]
        self.option = small["option"]
        self.base = small["columns"]
        self.fillable = len(wide["columns"]) > len(self.base)
        self.constant = small["rows"] == wide["rows"]
        self.whole = wide["files"][0]["path"]
        self.files = [f["path"] for f in small["files"]]
        self.empty_ok = [f["rows"] == 0 for f in small["files"]]
        # The ends of ranges that depend on the rows: those that two runs of
        # other rows give differently.
        self.grows = [{end for end in ("min", "max") if a.get(end) != b.get(end)}
                      for a, b in zip(self.base, wide["columns"])]
        self.columns = self.base
        self.fill = None
        self.rows = small["rows"] if self.constant else None
        self.checked = None

    def take(self, described, counted):
        """Its columns, files and (counted) count from a -describe
        document's relation of the loader's layout."""
        self.columns = described["columns"]
        self.fill = self.columns[len(self.base)] if len(self.columns) > len(self.base) else None
        self.files = [f["path"] for f in described["files"]]
        if counted or self.constant:
            self.rows = described["rows"]
        self.checked = [dict(c, **{end: None for end in grows})
                        for c, grows in zip(self.columns, self.grows + [set()])]

    def __str__(self):
        return self.name


class Record:
    """The run that a load's rows come from: its -describe document, the
    words that name it in messages ("the report out/zerv.rpt"), and what a
    load that cannot prove its files with it asks for."""

    def __init__(self, name, doc, give=GIVE_MANIFEST):
        self.name = name
        self.doc = doc
        self.give = give

    def figures(self, rel):
        """rel's columns as the run describes them (their minimum, maximum
        and distinct values), or None when the run has no such relation."""
        described = interface.relation(self.doc, rel.name)
        return described["columns"] if described else None


class Source:
    """Part k (1..jobs) of a relation's rows: a file, or a zervgen command
    (its messages to work/REL.K.err)."""

    def __init__(self, load, rel, k):
        self.rel, self.k = rel, k
        if load.zervgen:
            self.command = [load.zervgen] + load.gen_additions(rel, k) + load.gen_args
            self.path = None
            self.err = os.path.join(load.work, f"{rel}.{k}.err")
            self.name = f"{load.zervgen} {rel.option}"
        else:
            self.command = None
            self.path = rel.files[k - 1]
            self.name = self.path

    def shell(self):
        """A shell command that writes the rows (a zervgen pipe: its status is
        zervgen's, its failure noted in the .err file)."""
        if self.command is None:
            return "exec cat " + quote(self.path)
        return ("{ " + " ".join(quote(a) for a in self.command) + " 2>" + quote(self.err)
                + " || { s=$?; echo zervgen-failed >>" + quote(self.err) + "; exit $s; }; }")

    def gen_failure(self):
        """zervgen's last message when its pipe failed, else None."""
        if self.command is None:
            return None
        try:
            with open(self.err, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            return None
        if "zervgen-failed" not in lines:
            return None
        said = [line for line in lines if line != "zervgen-failed"]
        return f"{self.rel}: {self.name} failed: {said[-1] if said else ''}"


def quote(word):
    """word quoted for any POSIX shell."""
    return "'" + word.replace("'", "'\\''") + "'"


def report_command(path, name):
    """The Cmd: line of the report at path without "Cmd:", or None when it
    has none."""
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "surrogateescape")
    except OSError:
        die(f"cannot read {name}")
    for line in text.split("\n"):
        if line.startswith("Cmd:  "):
            return line[6:]
    return None


class Load:
    def __init__(self, backend, prog, state, sql_dir):
        self.db = backend
        self.prog = prog
        self.state = state
        self.sql_dir = sql_dir
        self.zervgen = None
        self.zexe = None
        self.prefix = None
        self.jobs = 1
        self.fixed = False
        self.delim_word = ","
        self.delim = b","
        self.gen_args = []
        self.report_file = None
        self.manifest_file = None
        self.check_cols = False
        self.sqlfile = os.path.join(sql_dir, backend.sqlfile)
        self.verifier = None
        self.targets = []
        self.work = None
        self.relations = []
        self.fill_width = 0
        self.record = None
        self.loaded = {}
        self.proven = False
        self.proof = None  # its -verify process while it runs
        self.procs = []
        self.swapped = False

    # ------------------------------------------------------------ options

    def usage(self):
        db = self.db
        target = "".join(t + " " for t in db.target_args)
        jobs = " [-j N]"
        fixed_word = ("; or 'fixed' for fixed-format files (zervgen -ff)." if db.fixed_ok
                      else ". Fixed-format files cannot be loaded.")
        p = self.prog
        text = f"""Usage: {p} [-d DELIM]{jobs} [-c] [-M MANIFEST | -R REPORT] [-s SQLFILE] [-z ZERVGEN] {target}PREFIX
       {p} [-d DELIM]{jobs} [-c] [-s SQLFILE] -g ZERVGEN {target}[ZERVGEN-OPTIONS...]

{db.usage_intro.replace('PROG', p)}

  PREFIX      the run's files as zervgen -f PREFIX names them (PREFIX.hun,
              PREFIX.ten, ...); a folder stands for FOLDER/zerv. Every
              relation's file must exist.
  -d DELIM    the run's delimiter (zervgen -dc): ',' (the default), '|'
              or 'tab'{fixed_word}
  -g ZERVGEN  read no files: run ZERVGEN -<rel> -f - -dc DELIM (or -ff) with
              the remaining options (e.g. -n 100000 -fc 20) once per relation
              and pipe its rows straight into the database. The options are
              checked with ZERVGEN -describe first; do not pass -f, -r, -ff,
              -dc, -parts, -part or a relation option.
  -M MANIFEST the run's manifest (zervgen -manifest FILE); by default
              PREFIX.manifest when it exists. ZERVGEN -verify with the
              run's options must find every file exactly as the run wrote
              it before the new tables take the old ones' place.
  -R REPORT   the run's report (zervgen -r); by default PREFIX.rpt when it
              exists and there is no manifest. Its Cmd: line gives the run's
              options for the proof; when zervgen cannot take them back (a
              file name with a blank, an edited line), the load stops: give
              the manifest. The loaded row counts must be the run's.
              Files with neither have every field checked instead, and the
              four large relations must have the same count.
  -z ZERVGEN  the zervgen that describes the run and proves the files (by
              default the zervgen beside this program, else on the PATH).
  -c          also check every numeric and date column of the new tables
              against the run: minimum, maximum and number of distinct
              values (costs about a third of the load's time).
  -s SQLFILE  the CREATE TABLE script (keys in lines of their own, ALTER
              TABLE ... ADD PRIMARY KEY or CREATE UNIQUE INDEX, which run
              after the data is in).
  -j N        load every relation as N parts: from the part files
              PREFIX.hun.1 .. PREFIX.hun.N (zervgen -parts N -part K), or
              with -g from N pipes of ZERVGEN -<rel> -parts N -part K -f -.
              {db.jobs_text}
"""
        return text + db.extra_usage

    def parse(self, argv):
        """getopts-style: options (clustered or not) up to the first operand;
        -g ends them, what follows being the targets and zervgen's own."""
        letters = "cd:g:j:M:R:s:z:h" + self.db.extra_options
        i = 0
        while i < len(argv):
            a = argv[i]
            if a == "--":
                i += 1
                break
            if not a.startswith("-") or a == "-":
                break
            j = 1
            while j < len(a):
                c = a[j]
                pos = letters.find(c)
                if pos < 0 or c == ":":
                    sys.stderr.write(f"{self.prog}: illegal option -- {c}\n")
                    return self.usage_error()
                if pos + 1 < len(letters) and letters[pos + 1] == ":":
                    if j + 1 < len(a):
                        value = a[j + 1:]
                    elif i + 1 < len(argv):
                        i += 1
                        value = argv[i]
                    else:
                        sys.stderr.write(f"{self.prog}: option requires an argument -- {c}\n")
                        return self.usage_error()
                    j = len(a)
                else:
                    value = None
                    j += 1
                if c == "h":
                    sys.stdout.write(self.usage())
                    raise SystemExit(0)
                if c == "g":
                    self.zervgen = value
                    return argv[i + 1:]
                self.option(c, value)
            i += 1
        return argv[i:]

    def option(self, c, value):
        if c == "c":
            self.check_cols = True
        elif c == "d":
            self.delim_word = value
        elif c == "j":
            self.jobs_text = value
        elif c == "M":
            self.manifest_file = value
        elif c == "R":
            self.report_file = value
        elif c == "s":
            self.sqlfile = value
        elif c == "z":
            self.verifier = value
        else:
            self.db.option(c, value)

    def usage_error(self):
        sys.stderr.write(self.usage())
        raise SystemExit(2)

    def setup(self, argv):
        self.jobs_text = "1"
        rest = self.parse(argv)
        # Only delimiters that no generated field contains: numbers hold '-'
        # and '.', dates '/', the fixed texts '+' and blanks, the random texts
        # letters, digits, ':', '.' and blanks.
        d = self.delim_word
        if d in (",", "|"):
            self.delim = d.encode()
        elif d in ("tab", "\t"):
            self.delim, self.delim_word = b"\t", "tab"
        elif d == "fixed":
            if not self.db.fixed_ok:
                die("fixed-format rows cannot be loaded into this database: use -d ',', '|' or 'tab'")
            self.delim, self.fixed = b"\t", True
        else:
            die(f"unsupported delimiter '{d}': use ',', '|', 'tab' or 'fixed'")
        if not re.fullmatch(r"[1-9][0-9]?", self.jobs_text):
            die("-j takes a number of parts from 1 to 99")
        self.jobs = int(self.jobs_text)
        if self.zervgen and self.report_file:
            die("-R: with -g there is no run's report to read: each zervgen describes its rows")
        if self.zervgen and self.manifest_file:
            die("-M: with -g there is no run's manifest to read: each zervgen describes its rows")
        if self.report_file and self.manifest_file:
            die("-M and -R: give one record of the run (the manifest proves the files)")
        n = len(self.db.target_args)
        if self.zervgen:
            if len(rest) < n:
                self.usage_error()
        elif len(rest) != n + 1:
            self.usage_error()
        self.targets = rest[:n]
        if self.zervgen:
            self.gen_args = rest[n:]
        else:
            self.prefix = rest[n]
            if os.path.isdir(self.prefix):
                self.prefix = self.prefix.rstrip("/") + "/zerv"
        if not os.access(self.sqlfile, os.R_OK):
            die(f"cannot read the table script '{self.sqlfile}' (use -s)")
        if self.report_file and not os.access(self.report_file, os.R_OK):
            die(f"-R: cannot read the report '{self.report_file}'")
        if self.manifest_file and not os.access(self.manifest_file, os.R_OK):
            die(f"-M: cannot read the manifest '{self.manifest_file}'")
        self.find_zervgen()
        self.db.setup(self)

    def find_zervgen(self):
        """The zervgen the loader asks: the -g one, the -z one, else the one
        beside the loader (or built in its checkout) or on the PATH."""
        if self.zervgen:
            self.zexe = interface.find_zervgen(self.zervgen)
            if self.zexe is None:
                die(f"-g: cannot run '{self.zervgen}'")
            return
        here = os.path.dirname(os.path.realpath(sys.argv[0]))
        self.zexe = interface.find_zervgen(self.verifier, here)
        if self.zexe is None:
            if self.verifier:
                die(f"-z: cannot run '{self.verifier}'")
            die("no zervgen beside the loader or on the PATH, which tells what the run's files"
                " hold: name one with -z ZERVGEN")

    def describe(self, args, what=None):
        """The -describe document of `zervgen ARGS`; a refusal ends the load
        with zervgen's message (after `what`, when given)."""
        try:
            return interface.describe(self.zexe, args)
        except ZervgenError as e:
            die(f"{what or self.zexe + ' -describe'}: {e}")

    def layout(self):
        """The loader's own files: -f PREFIX, and -parts N with -j N."""
        return ["-f", self.prefix] + (["-parts", str(self.jobs)] if self.jobs > 1 else [])

    def format_args(self):
        return ["-ff"] if self.fixed else ["-dc", self.delim_word]

    # ------------------------------------------------------------ the run's record

    def find_record(self):
        """The run record of the files: -M, -R, else PREFIX.manifest, else
        PREFIX.rpt; None without one. A report gives the run by its Cmd:
        line, which zervgen -describe must take back."""
        if self.manifest_file or (not self.report_file and os.path.isfile(f"{self.prefix}.manifest")):
            path = self.manifest_file or f"{self.prefix}.manifest"
            try:
                doc = interface.read_manifest(path)["describe"]
            except ZervgenError as e:
                die(f"cannot prove the files: {e} (nothing was loaded)")
            self.record = Record(f"the manifest {path}", doc, " (nothing was loaded)")
            return
        path = self.report_file or f"{self.prefix}.rpt"
        if not os.path.isfile(path):
            return
        name = f"the report {path}"
        cmd = report_command(path, name)
        if cmd is None:
            die(f'cannot prove the files: {path} is not a zervgen report (no "Cmd:" line)'
                + GIVE_MANIFEST)
        try:
            doc = interface.describe(self.zexe, cmd.split(" ")[1:])
        except ZervgenError as e:
            die(f"cannot prove the files: zervgen does not take back the Cmd: line of {name}"
                f" ({e})" + GIVE_MANIFEST)
        self.record = Record(name, doc)

    # ------------------------------------------------------------ the inputs

    def sources(self, rel):
        return [Source(self, rel, k) for k in range(1, self.jobs + 1)]

    def relation(self, name):
        return next(r for r in self.relations if r.name == name)

    def stat_columns(self, rel):
        """rel's columns that have a minimum and a maximum: numbers and dates."""
        return [c for c in rel.columns if "min" in c]

    def shapes(self):
        """The relations in name order, with their columns without a fill,
        whether a fill width gives them one, which of their ranges grow
        with the rows, and their files in the loader's layout: from the
        -describe documents of two runs of other rows and fill."""
        small = self.describe(["-n", "100"] + (self.layout() if self.prefix else []))
        wide = self.describe(["-n", "200", "-fc", "1"] + (["-f", self.prefix] if self.prefix else []))
        self.relations = [Relation(r, interface.relation(wide, r["name"]))
                          for r in sorted(small["relations"], key=lambda r: r["name"])]
        return small

    def check_parts(self, rel):
        # zervgen -parts N names part K of FILE FILE.K.
        whole = rel.whole
        n = 0
        while os.path.exists(f"{whole}.{n + 1}"):
            n += 1
        if self.jobs == 1:
            if not os.path.exists(whole) and n > 0:
                die(f"{rel}: no file {whole}, but {n} part files {whole}.1 .. {whole}.{n}"
                    f" (zervgen -parts {n}): load them with -j {n}")
        elif n != self.jobs:
            if n > 0:
                die(f"{rel}: -j {self.jobs} loads the part files {whole}.1 .. {whole}.{self.jobs},"
                    f" but there are {n} ({whole}.1 .. {whole}.{n}, zervgen -parts {n}):"
                    f" load them with -j {n}")
            if os.path.exists(whole):
                die(f"{rel}: no part files {whole}.1 .. {whole}.{self.jobs}, only {whole}:"
                    " load it without -j")

    def first_row_fill(self, rel, path, line):
        """The fill width of rel's first row, or the end of the load when the
        row is not of the expected format."""
        if b"\r" in line:
            die(f"{rel}: {path}: row 1 ends in a carriage return (CRLF line ends?)")
        base = rel.base
        if self.fixed:
            width = sum(c["width"] for c in base)
            fill = len(line) - width
            if fill < 0 or (fill > 0 and not rel.fillable) or b"\t" in line:
                die(f"{rel}: {path}: row 1: not a fixed-format row (delimited file?)")
            first = 0
            for c in base:
                if c["type"] == "date" and not re.fullmatch(rb"[0-9]{2}/[0-9]{2}/[0-9]{4}",
                                                            line[first:first + c["width"]]):
                    die(f"{rel}: {path}: row 1: not a fixed-format row (no date at columns"
                        f" {first + 1}-{first + c['width']}; delimited file?)")
                first += c["width"]
            return fill
        nf = line.count(self.delim) + 1
        k = len(base)
        if not rel.fillable:
            if nf != k:
                die(f"{rel}: {path}: row 1: expected {k} field{'s' if k > 1 else ''}, found {nf}")
            return 0
        if nf not in (k, k + 1):
            die(f"{rel}: {path}: row 1: expected {k} or {k + 1} fields separated by"
                f" '{self.delim_word}', found {nf} (another delimiter, or fixed format?)")
        return 0 if nf == k else len(line.rsplit(self.delim, 1)[1])

    def check_files(self):
        """Every part file of every relation exists, ends in a line feed and
        its first row has the format asked for; every relation with a fill
        the same fill, the run's when it is known. Only a file in which the
        run puts no row may be empty. Then the relations take their columns,
        files and counts: the run's, or without a record those of the
        fill found."""
        small = self.shapes()
        first = None
        for rel in self.relations:
            self.check_parts(rel)
            seen = False
            for path, empty_ok in zip(rel.files, rel.empty_ok):
                if not (os.path.isfile(path) and os.access(path, os.R_OK)):
                    die(f"{rel}: no file {path} (nothing was loaded)")
                size = os.path.getsize(path)
                if size == 0:
                    if empty_ok:
                        continue
                    die(f"{rel}: {path} is empty (nothing was loaded)")
                seen = True
                with open(path, "rb") as f:
                    line = f.readline(4096).rstrip(b"\n")
                    f.seek(size - 1)
                    if f.read(1) != b"\n":
                        die(f"{rel}: {path}: the last row does not end in a line feed (a cut file?)")
                fill = self.first_row_fill(rel, path, line)
                if not rel.fillable:
                    continue
                if first is None:
                    first, self.fill_width = f"{rel} ({path})", fill
                elif fill != self.fill_width:
                    die(f"{rel}: {path}: a fill of {fill} characters, {first} has"
                        f" {self.fill_width} (files of different runs?)")
            if not seen:
                die(f"{rel}: every part file is empty")
        if self.record is not None:
            doc = self.describe(self.record.doc["data_args"] + self.layout())
            run = doc["options"]
            if (run["format"], run["delimiter"]) != (("fixed", None) if self.fixed
                                                     else ("delimited", self.delim.decode())):
                die(f"{self.record.name} says the run wrote {run['format']} rows"
                    + (f" separated by '{run['delimiter']}'" if run["delimiter"] else "")
                    + f", not what -d {self.delim_word} reads")
            said = run["fill"]
            if said != self.fill_width:
                die(f"{first}: a fill of {self.fill_width} characters, {self.record.name}"
                    f" says {said} (another run's files?)")
        elif self.fill_width > 0:
            doc = self.describe(["-n", "100", "-fc", str(self.fill_width)] + self.layout(),
                                f"{first}: a fill of {self.fill_width} characters")
        else:
            doc = small
        for rel in self.relations:
            rel.take(interface.relation(doc, rel.name), self.record is not None)

    # ------------------------------------------------------------ zervgen pipes

    def gen_additions(self, rel, k):
        """The options the loader gives zervgen for part k of rel's pipe,
        before the user's."""
        parts = ["-parts", str(self.jobs), "-part", str(k)] if self.jobs > 1 else []
        return [rel.option] + self.format_args() + parts + ["-f", "-"]

    def describe_generator(self):
        """With -g: the user's zervgen options, checked with -describe
        before anything runs. zervgen refuses what it does not take; the
        loader refuses what it sets itself, as the documents show it (a
        relation, files, a report, parts) or as zervgen refuses it beside
        the loader's own options. The relations, their columns and counts
        come from the document."""
        args = self.gen_args
        own = self.describe(args, "-g")
        every = self.describe(own["data_args"])
        o = own["options"]
        taken = None
        if o["relations"] != every["options"]["relations"]:
            taken = " ".join(r["option"] for r in own["relations"])
        elif o["parts"] is not None:
            taken = "-parts"
        elif o["report"] is not None:
            taken = "-r"
        elif ([f["path"] for r in own["relations"] for f in r["files"]]
              != [f["path"] for r in every["relations"] for f in r["files"]]):
            taken = "-f"
        if taken:
            die(f"-g: do not pass {taken} to zervgen; the loader sets it")
        if o["verify"] or o["manifest"] is not None:
            die("-g: do not pass -verify or -manifest to zervgen; the loader pipes its rows")
        self.shapes()
        for rel in self.relations:
            rel.take(interface.relation(every, rel.name), True)
        self.fill_width = o["fill"]
        self.record = Record("zervgen -describe", every)
        # The pipe's own options beside the user's: what zervgen refuses
        # there is an option the user gave that the loader sets.
        rel = self.relations[0]
        groups = [[rel.option], self.format_args(), ["-f", "-"]]
        if self.jobs > 1:
            groups.append(["-parts", str(self.jobs), "-part", "1"])
        try:
            interface.describe(self.zexe, sum(groups, []) + args)
        except ZervgenError as e:
            for g in groups:
                others = sum((h for h in groups if h is not g), [])
                try:
                    interface.describe(self.zexe, others + args)
                except ZervgenError:
                    continue
                if g is groups[1]:  # the user's own format, as its data_args word
                    g = own["data_args"][4 if o["fill"] else 2:]
                die(f"-g: do not pass {g[0]} to zervgen; the loader sets it")
            die(f"-g: {self.zexe} refuses the options beside the loader's own"
                f" ({' '.join(sum(groups, []))}): {e}")

    # ------------------------------------------------------------ the proof

    def prove(self):
        """Every file proven exactly the run's (see start_proof), before the
        database is touched."""
        self.start_proof()
        self.await_proof()

    def start_proof(self):
        """With a run record, starts `zervgen DATA_ARGS -f PREFIX [-parts N]
        -verify -json`, DATA_ARGS the run's, which proves every file exactly
        the run's; await_proof reads its answer. Files without a record are
        not proven: their fields are checked as the rows load."""
        if self.record is None:
            return
        args = self.record.doc["data_args"] + self.layout()
        self.proof = self.spawn(interface.verify_command(self.zexe, args),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def await_proof(self):
        """Waits for the proof. A file that is not the run's ends the load;
        so does a proof that could not be made: proven is then never
        assumed."""
        if self.proof is None:
            return
        p = self.proof
        self.proof = None
        out, err = p.communicate()
        status, files, said = interface.read_verify(p.returncode, out, err)
        for f in files:
            if not f["ok"]:
                die(f"{f['relation']}: {f['path']}: not the file the run wrote:"
                    f" {f['detail'] or f['failure']} (nothing was loaded)")
        if status != 0:
            die(f"cannot prove the files with {self.zexe} -verify: {said}" + self.record.give)
        want = {(r.name, path) for r in self.relations for path in r.files}
        got = {(f["relation"], f["path"]) for f in files if f["ok"]}
        if got != want:
            die(f"cannot prove the files with {self.zexe} -verify: it proved {len(got & want)}"
                f" of the {len(want)} files" + self.record.give)
        self.proven = True

    # ------------------------------------------------------------ counts

    def loaded_count(self, rel, n):
        """rel's loaded row count against the run's, or without a record:
        a constant count against the run's, any other against the first
        such relation loaded. Called as soon as rel is in, before its key
        is built."""
        self.loaded[rel.name] = n
        for src in self.sources(rel):
            failed = src.gen_failure()
            if failed:
                fail_load(failed)
        name = self.sources(rel)[0].name
        if self.record is not None:
            if n != rel.rows:
                fail_load(f"{rel}: {name} has {n} rows, {self.record.name} says"
                          f" {rel.rows} (a cut file, or another run's?)")
        elif rel.constant:
            if n != rel.rows:
                fail_load(f"{rel}: {name} has {n} rows, not {rel.rows}")
        else:
            first = next(r for r in self.relations if not r.constant and r.name in self.loaded)
            if n != self.loaded[first.name]:
                fail_load(f"{rel}: {name} has {n} rows, {first} {self.loaded[first.name]}"
                          " (a cut file, or files of different runs?)")

    def check_columns(self, stats):
        """The new tables' column figures against the run's; numbers
        compare as numbers, dates as YYYY-MM-DD. The first difference ends
        the load."""
        def same(got, want):
            if isinstance(want, str):
                return str(got) == want
            try:
                return float(got) == float(want)
            except (TypeError, ValueError):
                return False
        figures = {}
        for rel in self.relations:
            columns = self.record.figures(rel) or rel.columns
            for c in self.stat_columns(rel):
                figures[(rel.name, c["name"])] = interface.column({"columns": columns}, c["name"])
        done = set()
        for rel, col, low, high, distinct in stats:
            want = figures.get((rel, col))
            if want is None:
                fail_load(f"{rel}: the run has no column {col}")
            if not (same(low, want["min"]) and same(high, want["max"])
                    and str(distinct) == str(want["distinct"])):
                fail_load(f"{rel}: column {col} holds {low} .. {high} with {distinct} distinct"
                          f" values, {self.record.name} says {want['min']} .. {want['max']}"
                          f" with {want['distinct']}")
            done.add((rel, col))
        for rel, col in figures:
            if (rel, col) not in done:
                fail_load(f"{rel} {col}: not checked")

    def print_counts(self):
        for rel in self.relations:
            if self.record is not None:
                against = f"as {self.record.name} says"
                if self.check_cols:
                    against += (", and its minimum, maximum and distinct values of"
                                f" {len(self.stat_columns(rel))} columns")
            else:
                against = (f"{'one' if rel.rows == 1 else rel.rows}, as always" if rel.constant
                           else "the same as the other large relations (no report)")
                if not self.zervgen:
                    against += "; not proven: every field checked"
            if self.proven:
                against += "; every file proven by zervgen -verify"
            print(f"{rel.name:<8} {self.loaded[rel.name]:>10} rows: {against}")

    # ------------------------------------------------------------ processes

    def spawn(self, cmd, **kw):
        """A child process, ended by the cleanup if the load ends first."""
        with self.critical():
            p = subprocess.Popen(cmd, **kw)
            self.procs.append(p)
        return p

    @contextlib.contextmanager
    def critical(self):
        """A signal that comes while the block makes and records a child or
        the work folder ends the load only once the block is done, so that
        the cleanup knows what to end and remove."""
        self.state["critical"] = True
        try:
            yield
        finally:
            self.state["critical"] = False
        if self.state["signalled"] and not self.state["holding"]:
            raise_interrupted(self.state)

    def path(self, name):
        return os.path.join(self.work, name)

    def sql_tables(self):
        return "".join(line for line in self.sql_lines() if not KEY_LINE.match(line))

    def sql_keys(self, rel=None):
        keys = [line for line in self.sql_lines() if KEY_LINE.match(line)]
        if rel is not None:
            keys = [k for k in keys if k.startswith(f"ALTER TABLE {rel} ")
                    or re.match(rf"CREATE UNIQUE INDEX .* ON {rel} ", k)]
        return "".join(keys)

    def sql_lines(self):
        with open(self.sqlfile, encoding="utf-8") as f:
            return f.readlines()

    # ------------------------------------------------------------ the run

    def run(self, argv):
        self.setup(argv)
        if self.zervgen:
            self.describe_generator()
        else:
            self.find_record()
            self.check_files()
        if self.check_cols and self.record is None:
            die(f"-c: no report to check the columns against (no {self.prefix}.manifest or"
                f" {self.prefix}.rpt; use -M or -R)")
        with self.critical():
            self.work = tempfile.mkdtemp(prefix="zervgen-load.", dir=os.environ.get("TMPDIR") or None)
        if not self.zervgen:
            if getattr(self.db, "proves_alongside", False):
                self.start_proof()
            else:
                self.prove()
        try:
            self.db.precheck(self)
            self.db.stage(self)
        except Failure:
            # A file that is not the run's fails the load in the proof's
            # words, which name the fault exactly, whatever else failed
            # while it ran.
            self.await_proof()
            raise
        if self.proof is not None:
            self.await_proof()
            self.db.proof_ended(self)
        stats = self.db.columns(self) if self.check_cols else None
        if stats is not None:
            self.check_columns(stats)
        # From here an ending signal waits for the database's answer: the
        # swap either happened (status 0) or did not (the old tables, status 1
        # or the signal's).
        self.state["holding"] = True
        failure = self.db.swap(self)
        if not self.db.swap_done(self):
            if self.state["signalled"]:
                raise_interrupted(self.state)
            fail_load(failure or "the swap did not happen")
        self.swapped = True

    def finish(self):
        """Ends every child and removes the new tables and the work folder;
        may run more than once."""
        for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(s, signal.SIG_IGN)
        for p in self.procs:
            if p.poll() is None:
                try:
                    p.kill()
                except OSError:
                    pass
        for p in self.procs:
            try:
                p.wait()
            except OSError:
                pass
        self.procs = []
        if self.work:
            try:
                self.db.cleanup(self)  # after a swap: what the swap left
            except Exception:  # the cleanup's own failure changes nothing
                pass
            shutil.rmtree(self.work, ignore_errors=True)
            self.work = None


KEY_LINE = re.compile(r"^(ALTER TABLE .* ADD PRIMARY KEY|CREATE UNIQUE INDEX )")


def raise_interrupted(state):
    from_signal = state["signalled"]
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, signal.SIG_IGN)
    raise SignalEnd(from_signal)


class SignalEnd(Exception):
    pass


def ask(cmd, env=None):
    """The output of a database query, tried again while it fails (an
    interrupt can end a client before its answer) for up to a minute."""
    for _ in range(600):
        p = subprocess.run(cmd, capture_output=True, env=env)
        if p.returncode == 0:
            return p.stdout.decode("utf-8", errors="replace").strip()
        time.sleep(0.1)
    return None


def first_error(path):
    """The first line of a client's messages that says what went wrong."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    for line in lines:
        if re.search("ERROR|Error|error", line):
            return line
    return lines[0] if lines else "the database client ended without a message (interrupted?)"


def main(argv, state, interrupted, sql_dir):
    base = os.path.basename(argv[0])
    args = argv[1:]
    m = re.fullmatch(r"(?:zervgen-)?load-(\w+?)(?:\.sh)?", base)
    if m and m.group(1) in BACKENDS:
        name, prog = m.group(1), base
    elif args and args[0] in BACKENDS:
        name, prog = args[0], f"{base} {args[0]}"
        args = args[1:]
    else:
        sys.stderr.write(f"Usage: {base} {{{'|'.join(BACKENDS)}}} [OPTIONS...]\n"
                         f"       {base} DATABASE -h   (the options of one database)\n")
        return 0 if args[:1] in (["-h"], ["--help"]) else 2
    module = __import__(f"zervgen_tools.{name}", fromlist=["Backend"])
    load = Load(module.Backend(), prog, state, sql_dir)
    status = 0
    try:
        try:
            load.run(args)
        finally:
            if not load.swapped:
                load.finish()
        load.finish()
        try:
            load.print_counts()
            sys.stdout.flush()
        except OSError:
            # The tables are in: a reader that went away changes nothing.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except Failure as e:
        sys.stderr.write(one_line(f"{prog}: {e}") + "\n")
        status = 1
    except (interrupted, SignalEnd):
        load.finish()
        status = {"INT": 130, "TERM": 143}.get(state["signalled"], 129)
        sys.stderr.write(f"{prog}: interrupted by SIG{state['signalled']},"
                         " the tables are as they were\n")
    except SystemExit as e:
        load.finish()
        status = e.code
    except OSError as e:  # a program or file that could not be opened
        load.finish()
        sys.stderr.write(one_line(f"{prog}: loading failed, the tables are as they were: {e}") + "\n")
        status = 1
    return status
