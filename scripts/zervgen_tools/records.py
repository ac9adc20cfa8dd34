"""records.py: the run a load reads, as zervgen describes it.

The relations, their columns and their files (whole files, part files or
zervgen pipes), all as zervgen's -describe documents give them
(interface.py); the run record that names the run (its manifest, or its
report's Cmd: line), from which the files can be proven; and the checks of
every input file before the database is touched. `Run` holds what a load
learns of its run: the relations, the record, the fill width, whether the
files are proven.
"""

import os
import re
import shutil
import subprocess

from . import interface
from .common import die, quote, refuse
from .interface import ZervgenError

# zervgen -compress CODEC: the suffix of its files, and the program that
# writes their text to standard output (with "--" and the file after it).
CODECS = {"zstd": (".zst", ["zstd", "-dcq"]), "gzip": (".gz", ["gzip", "-dc"])}

# What a load that cannot prove its files asks for.
GIVE_MANIFEST = ("; give the run's manifest with -M MANIFEST (zervgen -manifest FILE writes it)"
                 " (nothing was loaded)")


def plural(n, word):
    """'1 row', '2 rows'."""
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


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
        self.file_docs = described["files"]  # each file's rows and bytes (bounds.py)
        if counted or self.constant:
            self.rows = described["rows"]
        self.checked = [dict(c, **{end: None for end in grows})
                        for c, grows in zip(self.columns, self.grows + [set()])]

    def __str__(self):
        return self.name


class Record:
    """The run that a load's rows come from: its -describe document, the
    words that name it in messages ("the report out/zerv.rpt"), and what a
    load that cannot prove its files with it asks for; a manifest's list of
    the files the run wrote (with their sizes) in written, else None."""

    written = None

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
    """Part k (1..jobs) of a relation's rows: a file (path), or a command
    (its messages to the file err) that writes them, named `name` in
    messages: a zervgen pipe, or the decompression of a compressed file
    (path and command both set). Whatever reads a command's rows checks
    gen_failure() once they are in."""

    def __init__(self, rel, k, path=None, command=None, err=None, name=None):
        self.rel, self.k = rel, k
        self.path, self.command, self.err = path, command, err
        self.name = name or path
        self.proc = None  # the command while lines() reads it

    def lines(self, spawn):
        """The rows (bytes, no line feed) numbered from 1; a command is
        started with spawn(COMMAND, stdout=, stderr=), and its failure noted
        for gen_failure() when its rows are read."""
        if self.command is None:
            with open(self.path, "rb") as f:
                for n, line in enumerate(f, 1):
                    yield n, line[:-1] if line.endswith(b"\n") else line
            return
        with open(self.err, "wb") as err:
            p = self.proc = spawn(self.command, stdout=subprocess.PIPE, stderr=err)
        for n, line in enumerate(p.stdout, 1):
            yield n, line[:-1] if line.endswith(b"\n") else line
        p.stdout.close()
        if p.wait() != 0:
            with open(self.err, "a") as err:
                err.write("zervgen-failed\n")

    def settled_failure(self):
        """gen_failure() once the decompression of a compressed file that
        lines() reads has ended: a row that fails its checks can be the
        first sign of a damaged file, which the decompressor names better."""
        p = self.proc
        if p is not None and self.path is not None:
            if not p.stdout.closed:
                while p.stdout.read(1 << 20):
                    pass
                p.stdout.close()
            if p.wait() != 0:
                with open(self.err, "a") as err:
                    err.write("zervgen-failed\n")
        return self.gen_failure()

    def decompress_failure(self):
        """For a compressed file whose load failed: why it does not
        decompress (its decompressor run again to the end), or None."""
        if self.path is None or self.command is None:
            return None
        p = subprocess.run(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if p.returncode == 0:
            return None
        said = p.stderr.decode("utf-8", "replace").strip().splitlines()
        return (f"{self.rel}: {self.path}: cannot decompress it:"
                f" {said[-1] if said else 'it ended with a failure'}")

    def shell(self):
        """A shell command that writes the rows (a command: its status is the
        command's, its failure noted in the .err file; a decompressor that
        ends by SIGPIPE did not fail, its reader stopped first)."""
        if self.command is None:
            return "exec cat " + quote(self.path)
        piped = "" if self.path is None else "[ $s = 141 ] || "
        return ("{ " + " ".join(quote(a) for a in self.command) + " 2>" + quote(self.err)
                + " || { s=$?; " + piped + "echo zervgen-failed >>" + quote(self.err)
                + "; exit $s; }; }")

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
        said = said[-1] if said else "it ended with a failure"
        if self.path is not None:
            return f"{self.rel}: {self.path}: cannot decompress it: {said}"
        return f"{self.rel}: {self.name} failed: {said}"


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


class Run:
    """What a load learns of its run, from the options `opts`
    (loadopts.Options) and zervgen's answers:

    relations    the Relations in name order
    record       the Record of the run, or None (files without one)
    fill_width   the width of the fill column (0: none)
    proven       zervgen -verify has proven every file the run's
    one_part     without -j, the files are the one part of -parts 1
                 (PREFIX.hun.1, ...)
    compress     the files' codec and level (zervgen -compress CODEC:LEVEL,
                 a CODECS key and a number) as the record says, or without
                 a record as their suffix shows (level None); None: text
    """

    def __init__(self, opts):
        self.opts = opts
        self.relations = []
        self.record = None
        self.fill_width = 0
        self.proven = False
        self.one_part = False
        self.compress = None

    def relation(self, name):
        return next(r for r in self.relations if r.name == name)

    @staticmethod
    def stat_columns(rel):
        """rel's columns that have a minimum and a maximum: numbers and dates."""
        return [c for c in rel.columns if "min" in c]

    def describe(self, args, what=None):
        """The -describe document of `zervgen ARGS`; a refusal ends the load
        with zervgen's message (after `what`, when given)."""
        try:
            return interface.describe(self.opts.zexe, args)
        except ZervgenError as e:
            die(f"{what or self.opts.zexe + ' -describe'}: {e}")

    def layout(self):
        """The loader's own files: -f PREFIX, and -parts N with -j N."""
        o = self.opts
        parts = o.jobs if o.jobs > 1 else (1 if self.one_part else 0)
        codec = []
        if self.compress:
            name, level = self.compress
            codec = ["-compress", name if level is None else f"{name}:{level}"]
        return ["-f", o.prefix] + (["-parts", str(parts)] if parts else []) + codec

    def suffix(self):
        """The files' suffix after the name zervgen gives the text ('' for text)."""
        return CODECS[self.compress[0]][0] if self.compress else ""

    def decompressor(self, path):
        """The command that writes the text of the compressed file path."""
        return CODECS[self.compress[0]][1] + ["--", path]

    def format_args(self):
        return ["-ff"] if self.opts.fixed else ["-dc", self.opts.delim_word]

    def shapes(self):
        """The relations in name order, with their columns without a fill,
        whether a fill width gives them one, which of their ranges grow
        with the rows, and their files in the loader's layout: from the
        -describe documents of two runs of other rows and fill."""
        prefix = self.opts.prefix
        small = self.describe(["-n", "100"] + (self.layout() if prefix else []))
        wide = self.describe(["-n", "200", "-fc", "1"] + (["-f", prefix] if prefix else []))
        self.relations = [Relation(r, interface.relation(wide, r["name"]))
                          for r in sorted(small["relations"], key=lambda r: r["name"])]
        if prefix and self.find_codec():
            return self.shapes()
        s = self.suffix()
        if prefix and self.opts.jobs == 1 and not self.one_part and all(
                not os.path.exists(r.whole + s) and os.path.exists(f"{r.whole}.1{s}")
                and not os.path.exists(f"{r.whole}.2{s}") for r in self.relations):
            self.one_part = True  # zervgen -parts 1 -part 1 wrote them
            return self.shapes()
        return small

    def find_codec(self):
        """Sets compress, once: the record's -compress, or without a record
        the suffix of the files when there are no text files (PREFIX.hun.zst
        or PREFIX.hun.1.gz, ...); true when it set one. The program that
        decompresses them must be on the PATH: without it the load ends
        with a usage error before anything is done."""
        if self.compress or self.opts.zervgen:
            return False
        if self.record is not None:
            run = self.record.doc["options"]
            if run.get("compress"):
                self.compress = (run["compress"], run.get("compress_level"))
        elif not any(os.path.exists(r.whole) or os.path.exists(f"{r.whole}.1")
                     for r in self.relations):
            self.compress = next(((name, None) for name, (s, _) in CODECS.items()
                                  if any(os.path.exists(r.whole + s) or os.path.exists(f"{r.whole}.1{s}")
                                         for r in self.relations)), None)
        if not self.compress:
            return False
        program = CODECS[self.compress[0]][1][0]
        if shutil.which(program) is None:
            refuse(f"'{program}' not found: the files are compressed with {self.compress[0]}"
                   f" (PREFIX.hun{self.suffix()}, ...); install {program} or put it on the PATH")
        return True

    # ------------------------------------------------------------ the record

    def find_record(self):
        """The run record of the files: -M, -R, else PREFIX.manifest, else
        PREFIX.rpt; None without one. A report gives the run by its Cmd:
        line, which zervgen -describe must take back."""
        o = self.opts
        if o.manifest or (not o.report and os.path.isfile(f"{o.prefix}.manifest")):
            path = o.manifest or f"{o.prefix}.manifest"
            try:
                manifest = interface.read_manifest(path)
            except ZervgenError as e:
                die(f"cannot prove the files: {e} (nothing was loaded)")
            self.record = Record(f"the manifest {path}", manifest["describe"], " (nothing was loaded)")
            self.record.written = manifest.get("written")
            return
        path = o.report or f"{o.prefix}.rpt"
        if not os.path.isfile(path):
            return
        name = f"the report {path}"
        cmd = report_command(path, name)
        if cmd is None:
            die(f'cannot prove the files: {path} is not a zervgen report (no "Cmd:" line)'
                + GIVE_MANIFEST)
        try:
            doc = interface.describe(o.zexe, cmd.split(" ")[1:])
        except ZervgenError as e:
            die(f"cannot prove the files: zervgen does not take back the Cmd: line of {name}"
                f" ({e})" + GIVE_MANIFEST)
        self.record = Record(name, doc)

    # ------------------------------------------------------------ the files

    def check_parts(self, rel):
        # zervgen -parts N names part K of FILE FILE.K (compressed FILE.K.zst).
        whole, jobs, s = rel.whole, self.opts.jobs, self.suffix()
        n = 0
        while os.path.exists(f"{whole}.{n + 1}{s}"):
            n += 1
        if jobs == 1 and not self.one_part:
            if not os.path.exists(whole + s) and n > 0:
                die(f"{rel}: no file {whole}{s}, but {plural(n, 'part file')} {whole}.1{s} .."
                    f" {whole}.{n}{s} (zervgen -parts {n}): load them with -j {n}")
        elif n != jobs:
            if n > 0:
                die(f"{rel}: -j {jobs} loads the part files {whole}.1{s} .. {whole}.{jobs}{s},"
                    f" but there are {n} ({whole}.1{s} .. {whole}.{n}{s}, zervgen -parts {n}):"
                    f" load them with -j {n}")
            if os.path.exists(whole + s):
                die(f"{rel}: no part files {whole}.1{s} .. {whole}.{jobs}{s}, only {whole}{s}:"
                    " load it without -j")

    def first_row_fill(self, rel, path, line):
        """The fill width of rel's first row, or the end of the load when the
        row is not of the expected format."""
        o = self.opts
        if b"\r" in line:
            die(f"{rel}: {path}: row 1 ends in a carriage return (CRLF line ends?)")
        base = rel.base
        if o.fixed:
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
        nf = line.count(o.delim) + 1
        k = len(base)
        if not rel.fillable:
            if nf != k:
                die(f"{rel}: {path}: row 1: expected {plural(k, 'field')}, found {nf}")
            return 0
        if nf not in (k, k + 1):
            die(f"{rel}: {path}: row 1: expected {k} or {k + 1} fields separated by"
                f" '{o.delim_word}', found {nf} (another delimiter, or fixed format?)")
        return 0 if nf == k else len(line.rsplit(o.delim, 1)[1])

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
                if self.compress:
                    line = self.first_text_line(rel, path)
                    if line is None:
                        if empty_ok:
                            continue
                        die(f"{rel}: {path} holds no rows (nothing was loaded)")
                else:
                    with open(path, "rb") as f:
                        line = f.readline(4096).rstrip(b"\n")
                        f.seek(size - 1)
                        if f.read(1) != b"\n":
                            die(f"{rel}: {path}: the last row does not end in a line feed (a cut file?)")
                seen = True
                fill = self.first_row_fill(rel, path, line)
                if not rel.fillable:
                    continue
                if first is None:
                    first, self.fill_width = f"{rel} ({path})", fill
                elif fill != self.fill_width:
                    die(f"{rel}: {path}: a fill of {plural(fill, 'character')}, {first} has"
                        f" {self.fill_width} (files of different runs?)")
            if not seen:
                die(f"{rel}: every part file is empty")
        doc = self.files_document(small, first)
        for rel in self.relations:
            rel.take(interface.relation(doc, rel.name), self.record is not None)

    def first_text_line(self, rel, path):
        """The first row of the compressed file path, or None when its text
        is empty. Its end is checked where the rows are read: a cut
        compressed file does not decompress, and the proof or the field
        checks see a cut row."""
        p = subprocess.Popen(self.decompressor(path), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        head = p.stdout.readline(4096)
        whole_row = head.endswith(b"\n") or len(head) == 4096
        if whole_row:
            p.kill()  # the rest is read where the rows are
        p.stdout.close()
        err = p.stderr.read().decode("utf-8", "replace").strip().splitlines()
        status = p.wait()
        if not whole_row and status != 0:
            die(f"{rel}: {path}: cannot decompress it: {err[-1] if err else status}"
                " (nothing was loaded)")
        if head and not whole_row:
            die(f"{rel}: {path}: the last row does not end in a line feed (a cut file?)")
        return head.rstrip(b"\n") if head else None

    def files_document(self, small, first):
        """The -describe document of the files: the run's, which must be of
        the format and fill found; without a record one of the fill found."""
        o = self.opts
        if self.record is not None:
            doc = self.describe(self.record.doc["data_args"] + self.layout())
            run = doc["options"]
            if (run["format"], run["delimiter"]) != (("fixed", None) if o.fixed
                                                     else ("delimited", o.delim.decode())):
                die(f"{self.record.name} says the run wrote {run['format']} rows"
                    + (f" separated by '{run['delimiter']}'" if run["delimiter"] else "")
                    + f", not what -d {o.delim_word} reads")
            said = run["fill"]
            if said != self.fill_width:
                die(f"{first}: a fill of {plural(self.fill_width, 'character')},"
                    f" {self.record.name} says {said} (another run's files?)")
            return doc
        if self.fill_width > 0:
            return self.describe(["-n", "100", "-fc", str(self.fill_width)] + self.layout(),
                                 f"{first}: a fill of {plural(self.fill_width, 'character')}")
        return small

    # ------------------------------------------------------------ zervgen pipes

    def gen_additions(self, rel, k):
        """The options the loader gives zervgen for part k of rel's pipe,
        before the user's."""
        jobs = self.opts.jobs
        parts = ["-parts", str(jobs), "-part", str(k)] if jobs > 1 else []
        return [rel.option] + self.format_args() + parts + ["-f", "-"]

    def describe_generator(self):
        """With -g: the user's zervgen options, checked with -describe
        before anything runs. zervgen refuses what it does not take; the
        loader refuses what it sets itself, as the documents show it (a
        relation, files, a report, parts) or as zervgen refuses it beside
        the loader's own options: both are usage errors. The relations,
        their columns and counts come from the document."""
        args = self.opts.gen_args
        try:
            own = interface.describe(self.opts.zexe, args)
        except ZervgenError as e:
            refuse(f"-g: {e}")
        every = self.describe(own["data_args"])
        o = own["options"]
        if o.get("compress"):
            refuse("-g: do not pass -compress to zervgen; the loader reads its rows as text")
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
            refuse(f"-g: do not pass {taken} to zervgen; the loader sets it")
        if o["verify"] or o["manifest"] is not None:
            refuse("-g: do not pass -verify or -manifest to zervgen; the loader pipes its rows")
        self.shapes()
        for rel in self.relations:
            rel.take(interface.relation(every, rel.name), True)
        self.fill_width = o["fill"]
        self.record = Record("zervgen -describe", every)
        self.check_generator_beside(own, args)

    def check_generator_beside(self, own, args):
        """The pipe's own options beside the user's: what zervgen refuses
        there is an option the user gave that the loader sets."""
        o, zexe = own["options"], self.opts.zexe
        groups = [[self.relations[0].option], self.format_args(), ["-f", "-"]]
        if self.opts.jobs > 1:
            groups.append(["-parts", str(self.opts.jobs), "-part", "1"])
        try:
            interface.describe(zexe, sum(groups, []) + args)
        except ZervgenError as e:
            for g in groups:
                others = sum((h for h in groups if h is not g), [])
                try:
                    interface.describe(zexe, others + args)
                except ZervgenError:
                    continue
                if g is groups[1]:  # the user's own format, as its data_args word
                    g = own["data_args"][4 if o["fill"] else 2:]
                refuse(f"-g: do not pass {g[0]} to zervgen; the loader sets it")
            refuse(f"-g: {zexe} refuses the options beside the loader's own"
                   f" ({' '.join(sum(groups, []))}): {e}")
