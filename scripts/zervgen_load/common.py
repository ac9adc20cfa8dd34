"""common.py: what the loaders share.

The options, the five relations and where their rows come from (files, part
files or zervgen pipes), the checks of every input before the database is
touched (the proof of the files by `zervgen -verify` when the run's options
are known), the run's report and the checks of the loaded counts and columns
against it, the work folder, the ending signals and the one-line failure
message. A backend (postgresql.py, sqlite.py, mariadb.py) defines a class
with these members, which `Load.run` calls in this order:

    precheck(load)       the database can take the load (nothing loaded yet);
    stage(load)          loads all five relations beside the old tables,
                         keyed and analyzed, calling load.loaded_count(REL, N)
                         as soon as each one's rows are in;
    proof_ended(load)    (a backend whose proves_alongside is true: the proof
                         of the files runs while it stages) the proof has
                         ended, load.proven says how; what the proof would
                         have made redundant is done now when it is false;
    columns(load)        (with -c) "REL COLUMN MIN MAX DISTINCT" tuples of
                         the new tables (dates as M/D/YYYY);
    swap(load)           puts the new tables in the place of the old ones in
                         one step; runs while the ending signals are held;
                         returns a failure text or None;
    swap_done(load)      true when the database holds the new tables (asked
                         after swap ended, whichever way);
    cleanup(load)        removes what is left of the new tables (any ending).

A load either replaces all five tables or leaves the database as it was,
and its status says which: 0 only after the database shows the new tables.
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

RELATIONS = ["hundred", "tenpcnt", "tiny", "uniques", "updates"]
LARGE = ["hundred", "tenpcnt", "uniques", "updates"]
SUFFIX = {"hundred": "hun", "tenpcnt": "ten", "tiny": "tny", "uniques": "uni", "updates": "upd"}
OPTION = {"hundred": "-hu", "tenpcnt": "-te", "tiny": "-ti", "uniques": "-un", "updates": "-up"}
HEADING = {"Hundred Relation:": "hundred", "Ten Percent Relation:": "tenpcnt",
           "Tiny Relation:": "tiny", "Uniques Relation:": "uniques",
           "Updates Relation:": "updates"}
# Columns whose minimum, maximum and distinct values the report lists.
STAT_COLUMNS = ["key", "int", "signed", "float", "double", "decim", "date"]
# zervgen options that the loader sets itself with -g, or that name files.
GEN_OWN = {"-f", "-r", "-ff", "-dc", "-parts", "-part", "-hu", "-te", "-ti", "-un", "-up"}
FIXED_ROW_WIDTH = 185

BACKENDS = ("postgresql", "sqlite", "mariadb")


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


class Source:
    """Part k (1..jobs) of a relation's rows: a file, or a zervgen command
    (its messages to work/REL.K.err, the report of part 1 to work/REL.rpt)."""

    def __init__(self, load, rel, k):
        self.rel, self.k = rel, k
        if load.zervgen:
            args = ["-ff"] if load.fixed else ["-dc", load.delim_word]
            if load.jobs > 1:
                args += ["-parts", str(load.jobs), "-part", str(k)]
            if k == 1:
                args += ["-r", os.path.join(load.work, f"{rel}.rpt")]
            self.command = [load.zervgen, OPTION[rel]] + args + ["-f", "-"] + load.gen_args
            self.path = None
            self.err = os.path.join(load.work, f"{rel}.{k}.err")
            self.name = f"{load.zervgen} {OPTION[rel]}"
        else:
            self.command = None
            self.path = f"{load.prefix}.{SUFFIX[rel]}" + (f".{k}" if load.jobs > 1 else "")
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


def fill_of_fc(value):
    """The fill width a -fc value gives, read as zervgen reads a number:
    leading blanks and a '+' allowed, then digits."""
    m = re.match(r"\s*\+?([0-9]+)", value)
    return int(m.group(1)) if m else 0


class Report:
    """The row count and the column figures of one or more reports."""

    def __init__(self, paths, name):
        self.name = name
        self.rows = None
        self.stats = {}  # (rel, column) -> (min, max, distinct)
        self.cmd = None
        for path in paths:
            try:
                with open(path, "rb") as f:
                    text = f.read().decode("ascii", errors="replace")
            except OSError:
                die(f"cannot read {name}")
            rel = None
            for line in text.split("\n"):
                m = re.fullmatch(r"Rows: ([0-9]+)\.", line)
                if m:
                    self.rows = int(m.group(1))
                if line.startswith("Cmd:  ") and self.cmd is None:
                    self.cmd = line[6:]
                if line in HEADING:
                    rel = HEADING[line]
                    continue
                f = line.split()
                if rel and len(f) >= 5 and f[1] in ("Uniform", "Normal", "Zipfian"):
                    self.stats.setdefault((rel, f[0]), (f[2], f[3], f[4]))
        if self.rows is None:
            die(f'{name} is not a zervgen report (no "Rows:" line)')


class Load:
    def __init__(self, backend, prog, state, sql_dir):
        self.db = backend
        self.prog = prog
        self.state = state
        self.sql_dir = sql_dir
        self.zervgen = None
        self.prefix = None
        self.jobs = 1
        self.fixed = False
        self.delim_word = ","
        self.delim = b","
        self.gen_args = []
        self.report_file = None
        self.check_cols = False
        self.sqlfile = os.path.join(sql_dir, backend.sqlfile)
        self.verifier = None
        self.targets = []
        self.work = None
        self.fields = {}
        self.fill_width = 0
        self.report = None
        self.loaded = {}
        self.proven = False
        self.proof = None  # (zervgen, its -verify process) while it runs
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
        text = f"""Usage: {p} [-d DELIM]{jobs} [-c] [-R REPORT] [-s SQLFILE] [-z ZERVGEN] {target}PREFIX
       {p} [-d DELIM]{jobs} [-c] [-s SQLFILE] -g ZERVGEN {target}[ZERVGEN-OPTIONS...]

{db.usage_intro.replace('PROG', p)}

  PREFIX      the run's files as named by zervgen -f PREFIX: PREFIX.hun,
              PREFIX.ten, PREFIX.tny, PREFIX.uni and PREFIX.upd; a folder
              stands for FOLDER/zerv. All five must exist.
  -d DELIM    the run's delimiter (zervgen -dc): ',' (the default), '|'
              or 'tab'{fixed_word}
  -g ZERVGEN  read no files: run ZERVGEN -<rel> -f - -dc DELIM (or -ff) with
              the remaining options (e.g. -n 100000 -fc 20) once per relation
              and pipe its rows straight into the database. Do not pass -f,
              -r, -ff, -dc, -parts, -part or a relation option.
  -R REPORT   the run's report (zervgen -r); by default PREFIX.rpt when it
              exists (with -g, the report each zervgen writes). The loaded row
              counts must be the report's; without a report the four large
              relations must have the same count and tiny one row.
  -z ZERVGEN  the zervgen that proves the files (by default the zervgen
              beside this program, else on the PATH): before the database
              is touched, ZERVGEN -verify with the options of the report's
              Cmd: line must find every file exactly as the run wrote it.
              Without a report, or without a zervgen that can prove files,
              every field is checked instead.
  -c          also check every numeric and date column of the new tables
              against the report: minimum, maximum and number of distinct
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
        letters = "cd:g:j:R:s:z:h" + self.db.extra_options
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
            die("-R: with -g the loader reads zervgen's own report")
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
        self.db.setup(self)

    # ------------------------------------------------------------ the inputs

    def sources(self, rel):
        return [Source(self, rel, k) for k in range(1, self.jobs + 1)]

    def check_parts(self, rel):
        whole = f"{self.prefix}.{SUFFIX[rel]}"
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

    def first_row_fields(self, rel, path, line):
        """The fields of rel's first row and its fill width, or the end of the
        load when the row is not of the expected format."""
        if b"\r" in line:
            die(f"{rel}: {path}: row 1 ends in a carriage return (CRLF line ends?)")
        if self.fixed:
            if rel == "tiny":
                if not (len(line) == 10 and re.fullmatch(rb" *-?[0-9]+", line)):
                    die(f"{rel}: {path}: row 1: not a fixed-format row (delimited file?)")
                return 1, 0
            fill = len(line) - FIXED_ROW_WIDTH
            if not (0 <= fill <= 100 and re.fullmatch(rb"[0-9]{2}/[0-9]{2}/[0-9]{4}", line[65:75])):
                die(f"{rel}: {path}: row 1: not a fixed-format row (no date at columns 66-75;"
                    " delimited file?)")
            return (10 if fill == 0 else 11), fill
        nf = line.count(self.delim) + 1
        if rel == "tiny":
            if nf != 1:
                die(f"{rel}: {path}: row 1: expected 1 field, found {nf}")
            return 1, 0
        if nf not in (10, 11):
            die(f"{rel}: {path}: row 1: expected 10 or 11 fields separated by"
                f" '{self.delim_word}', found {nf} (another delimiter, or fixed format?)")
        return nf, (0 if nf == 10 else len(line.rsplit(self.delim, 1)[1]))

    def check_files(self):
        """Every part file of every relation exists, ends in a line feed and
        its first row has the format asked for; all four large relations
        have the same fields and fill. Only tiny's parts may be empty."""
        first = None
        for rel in RELATIONS:
            self.check_parts(rel)
            for src in self.sources(rel):
                path = src.path
                if not (os.path.isfile(path) and os.access(path, os.R_OK)):
                    die(f"{rel}: no file {path} (nothing was loaded)")
                size = os.path.getsize(path)
                if size == 0:
                    if rel == "tiny":
                        continue
                    die(f"{rel}: {path} is empty (nothing was loaded)")
                with open(path, "rb") as f:
                    line = f.readline(4096).rstrip(b"\n")
                    f.seek(size - 1)
                    if f.read(1) != b"\n":
                        die(f"{rel}: {path}: the last row does not end in a line feed (a cut file?)")
                nf, fill = self.first_row_fields(rel, path, line)
                if self.fields.get(rel, nf) != nf:
                    die(f"{rel}: {path} has {nf} fields, the other parts {self.fields[rel]}")
                self.fields[rel] = nf
                if rel == "tiny":
                    continue
                if first is None:
                    first, self.fill_width = f"{rel} ({path})", fill
                elif fill != self.fill_width:
                    die(f"{rel}: {path}: a fill of {fill} characters, {first} has"
                        f" {self.fill_width} (files of different runs?)")
        if "tiny" not in self.fields:
            die("tiny: every part file is empty")

    def gen_fields(self):
        """With -g the fields follow from the options: a fill column when the
        last -fc value is above 0."""
        fc = "0"
        for i, a in enumerate(self.gen_args):
            if a in GEN_OWN:
                die(f"-g: do not pass {a} to zervgen; the loader sets it")
            if a == "-fc" and i + 1 < len(self.gen_args):
                fc = self.gen_args[i + 1]
        self.fill_width = fill_of_fc(fc)
        for rel in RELATIONS:
            self.fields[rel] = 11 if self.fill_width > 0 else 10
        self.fields["tiny"] = 1

    # ------------------------------------------------------------ the proof

    def find_verifier(self):
        if self.verifier:
            if not os.access(self.verifier, os.X_OK) and not shutil.which(self.verifier):
                die(f"-z: cannot run '{self.verifier}'")
            return self.verifier
        here = os.path.dirname(os.path.realpath(sys.argv[0]))
        # installed beside it, or built in a checkout
        for path in (os.path.join(here, "zervgen"), os.path.join(here, "..", "build", "zervgen"),
                     shutil.which("zervgen")):
            if path and os.access(path, os.X_OK):
                return path
        return None

    def run_options(self):
        """The options of the report's Cmd: line without the program, the
        file names, the report and the part, or None when there is none."""
        if self.report is None or not self.report.cmd:
            return None
        words = self.report.cmd.split(" ")[1:]
        out, i = [], 0
        while i < len(words):
            w = words[i]
            if w in ("-f", "-t", "-part"):
                i += 2
            elif w == "-r":  # its file name may be left out
                i += 2 if i + 1 < len(words) and not words[i + 1].startswith("-") else 1
            else:
                out.append(w)
                i += 1
        return out

    def prove(self):
        """Every file proven exactly the run's (see start_proof), before the
        database is touched."""
        self.start_proof()
        self.await_proof()

    def start_proof(self):
        """Starts `zervgen -verify` with the options of the report's Cmd:
        line (all parts of a run in parts), which proves every file exactly
        the run's; await_proof reads its answer. Nothing is started without
        a report, or without a zervgen to run: the fields are checked
        instead as the rows load."""
        options = self.run_options()
        zervgen = self.find_verifier()
        if options is None or zervgen is None:
            return
        self.proof = (zervgen, self.spawn([zervgen] + options + ["-f", self.prefix, "-verify"],
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE))

    def await_proof(self):
        """Waits for the proof; a file that is not the run's ends the load.
        Sets self.proven when every file is proven. When zervgen cannot prove
        files (no -verify, or options it does not take back, such as a value
        with a blank: status 255) the load goes on unproven."""
        if self.proof is None:
            return
        zervgen, p = self.proof
        self.proof = None
        out, err = p.communicate()
        if p.returncode == 255:
            return
        proven = set()
        for line in out.decode("ascii", errors="replace").splitlines():
            m = re.fullmatch(r".*\.(hun|ten|tny|uni|upd)(?:\.([0-9]+))?: (OK|FAILED)(.*)", line)
            if not m:
                continue
            rel = next(r for r in RELATIONS if SUFFIX[r] == m.group(1))
            k = int(m.group(2) or 1)
            if m.group(3) == "FAILED":
                die(f"{rel}: {Source(self, rel, k).path}: not the file the run wrote"
                    f"{m.group(4)} (nothing was loaded)")
            proven.add((rel, k))
        if p.returncode != 0:
            said = (err or out).decode("ascii", errors="replace").strip().splitlines()
            die(f"cannot prove the files with {zervgen} -verify:"
                f" {said[-1] if said else f'status {p.returncode}'}")
        self.proven = proven == {(r, k) for r in RELATIONS for k in range(1, self.jobs + 1)}

    # ------------------------------------------------------------ counts

    def read_report(self):
        if self.zervgen:
            paths = [os.path.join(self.work, f"{rel}.rpt") for rel in RELATIONS]
            paths = [p for p in paths if os.path.isfile(p) and os.path.getsize(p) > 0]
            if paths:
                self.report = Report(paths, "the report of zervgen")
            return
        if not self.report_file and os.path.isfile(f"{self.prefix}.rpt"):
            self.report_file = f"{self.prefix}.rpt"
        if self.report_file:
            self.report = Report([self.report_file], f"the report {self.report_file}")

    def loaded_count(self, rel, n):
        """rel's loaded row count against the report, or against the first
        large relation loaded: tiny has one row, the four large relations
        the same count. Called as soon as rel is in, before its key is built."""
        self.loaded[rel] = n
        for src in self.sources(rel):
            failed = src.gen_failure()
            if failed:
                fail_load(failed)
        if self.zervgen:
            self.read_report()
        name = self.sources(rel)[0].name
        if rel == "tiny":
            if n != 1:
                fail_load(f"tiny: {name} has {n} rows, not 1")
        elif self.report is not None:
            if n != self.report.rows:
                fail_load(f"{rel}: {name} has {n} rows, {self.report.name} says"
                          f" {self.report.rows} (a cut file, or another run's?)")
        else:
            first = next(r for r in LARGE if r in self.loaded)
            if n != self.loaded[first]:
                fail_load(f"{rel}: {name} has {n} rows, {first} {self.loaded[first]}"
                          " (a cut file, or files of different runs?)")

    def check_columns(self, stats):
        """The new tables' column figures against the report's; numbers
        compare as numbers. The first difference ends the load."""
        def same(a, b):
            if "/" in a or "/" in b:
                return a == b
            try:
                return float(a) == float(b)
            except ValueError:
                return False
        done = set()
        for rel, col, low, high, distinct in stats:
            want = self.report.stats.get((rel, col))
            if want is None:
                fail_load(f"{rel}: the report lists no column {col}")
            if not (same(str(low), want[0]) and same(str(high), want[1])
                    and str(distinct) == want[2]):
                fail_load(f"{rel}: column {col} holds {low} .. {high} with {distinct} distinct"
                          f" values, the report says {want[0]} .. {want[1]} with {want[2]}")
            done.add((rel, col))
        for rel, col in self.report.stats:
            if col in STAT_COLUMNS and (rel, col) not in done:
                fail_load(f"{rel} {col}: not checked")

    def print_counts(self):
        for rel in RELATIONS:
            if rel == "tiny":
                against = "one, as always"
            elif self.report is not None:
                against = f"as {self.report.name} says"
                if self.check_cols:
                    against += (", and its minimum, maximum and distinct values of"
                                f" {len(STAT_COLUMNS)} columns")
            else:
                against = "the same as the other large relations (no report)"
            if self.proven:
                against += "; every file proven by zervgen -verify"
            print(f"{rel:<8} {self.loaded[rel]:>10} rows: {against}")

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
            self.gen_fields()
        else:
            self.check_files()
        if self.check_cols and not (self.zervgen or self.report_file
                                    or os.path.isfile(f"{self.prefix}.rpt")):
            die(f"-c: no report to check the columns against (no {self.prefix}.rpt; use -R)")
        with self.critical():
            self.work = tempfile.mkdtemp(prefix="zervgen-load.", dir=os.environ.get("TMPDIR") or None)
        if not self.zervgen:
            self.read_report()
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
    module = __import__(f"zervgen_load.{name}", fromlist=["Backend"])
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
