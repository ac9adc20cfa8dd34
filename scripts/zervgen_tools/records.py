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

from . import interface, loadopts
from .common import die, refuse
from .interface import ZervgenError

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
    """

    def __init__(self, small, whole, rule):
        self.name = small["name"]
        self.option = small["option"]
        self.base = small["columns"]
        self.fillable = rule["takes_fill"]
        self.constant = rule["fixed_rows"] is not None
        self.whole = whole
        self.files = [f["path"] for f in small["files"]]
        self.empty_ok = [f["rows"] == 0 for f in small["files"]]
        self.columns = self.base
        self.fill = None
        self.rows = rule["fixed_rows"]

    def take(self, described, counted):
        """Its columns, files and (counted) count from a -describe
        document's relation of the loader's layout."""
        self.columns = described["columns"]
        self.fill = self.columns[len(self.base)] if len(self.columns) > len(self.base) else None
        self.files = [f["path"] for f in described["files"]]
        self.file_docs = described["files"]  # each file's rows and bytes (bounds.py)
        if counted or self.constant:
            self.rows = described["rows"]

    def __str__(self):
        return self.name


class Record:
    """The run that a load's rows come from: its -describe document, the
    words that name it in messages ("the report out/zerv.rpt"), and what a
    load that cannot prove its files with it asks for; a manifest's list of
    the files the run wrote (with their sizes) in written, else None;
    inferred: the run the files themselves show (inferred.py), not one a
    manifest or report names."""

    written = None
    inferred = False

    def __init__(self, name, doc, give=GIVE_MANIFEST):
        self.name = name
        self.doc = doc
        self.give = give

    def figures(self, rel):
        """rel's columns as the run describes them (their minimum, maximum
        and distinct values), or None when the run has no such relation."""
        described = interface.relation(self.doc, rel.name)
        return described["columns"] if described else None


def report_command(path):
    """The Cmd: line of the report at path without "Cmd:", or None when it
    has none; the report read as interface.read_record reads it."""
    try:
        text = interface.read_record(path, "the report").decode("utf-8", "surrogateescape")
    except ZervgenError as e:
        die(f"cannot prove the files: {e} (nothing was loaded)")
    for line in text.split("\n"):
        if line.startswith("Cmd:  "):
            return line[6:]
    return None


# The most parts whose files the loader looks for (-j takes fewer).
MAX_PARTS = 100


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
                 a name of -describe's compress_codecs and a number) as the
                 record says, or without a record as the names of the files
                 show (level None); None: text
    decompress   the command that writes a compressed file's text (its
                 path follows it), as -describe's compress_codecs gives it
    """

    def __init__(self, opts):
        self.opts = opts
        self.relations = []
        self.every_relation = []  # every relation's name, loaded or not
        self.record = None
        self.fill_width = 0
        self.proven = False
        self.one_part = False
        self.compress = None
        self.decompress = None
        self.codecs = None   # -describe's compress_codecs
        self.numbered = {}   # relation: the paths of its parts 1..MAX_PARTS
        self.sizes = {}      # path: the file's size when check_files saw it

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

    def layout(self, parts=None, codec=True):
        """The loader's own files: -f PREFIX, -parts N with -j N (or
        `parts`), and (with codec) the files' -compress."""
        o = self.opts
        if parts is None:
            parts = o.jobs if o.jobs > 1 else (1 if self.one_part else 0)
        return (["-f", o.prefix] + (["-parts", str(parts)] if parts else [])
                + (self.codec_args(self.compress) if codec else []))

    @staticmethod
    def codec_args(compress):
        if not compress:
            return []
        name, level = compress
        return ["-compress", name if level is None else f"{name}:{level}"]

    def decompressor(self, path):
        """The command that writes the text of the compressed file path."""
        return self.decompress + [path]

    def paths(self, args):
        """{relation: the paths of its files} of `zervgen -n 1000 ARGS`."""
        doc = self.describe(["-n", "1000"] + args)
        return {r["name"]: [f["path"] for f in r["files"]] for r in doc["relations"]}

    def part_paths(self, rel):
        """The paths of rel's parts 1, 2, ... in the loader's layout, as
        zervgen names them (the name of part K does not depend on the
        number of parts)."""
        if not self.numbered:
            self.numbered = self.paths(self.layout(MAX_PARTS))
        return self.numbered[rel.name]

    def format_args(self):
        return ["-ff"] if self.opts.fixed else ["-dc", self.opts.delim_word]

    def shapes(self):
        """The relations in name order, with their columns without a fill,
        whether a fill width gives them one, which of their ranges grow
        with the rows, and their files in the loader's layout: from one
        -describe document and its rules (and the whole files' names)."""
        prefix = self.opts.prefix
        small = self.describe(["-n", "100"] + (self.layout() if prefix else []))
        wholes = self.paths((["-f", prefix] if prefix else []) + self.codec_args(self.compress))
        try:
            rules = {r["name"]: r for r in interface.rules(small, self.opts.zexe)["relations"]}
        except ZervgenError as e:
            die(str(e))
        self.codecs = small.get("compress_codecs", [])
        keep = self.run_relations()
        self.every_relation = sorted(r["name"] for r in small["relations"])
        self.relations = [Relation(r, wholes[r["name"]][0], rules[r["name"]])
                          for r in sorted(small["relations"], key=lambda r: r["name"])
                          if keep is None or r["name"] in keep]
        if prefix and self.find_codec():
            self.numbered = {}
            return self.shapes()
        if prefix and self.record is None and not self.opts.zervgen:
            self.keep_present()
        if prefix and self.opts.jobs == 1 and not self.one_part and all(
                not os.path.exists(r.whole) and os.path.exists(self.part_paths(r)[0])
                and not os.path.exists(self.part_paths(r)[1]) for r in self.relations):
            self.one_part = True  # zervgen -parts 1 -part 1 wrote them
            return self.shapes()
        return small

    def keep_present(self):
        """Without a record: when the files of only one relation are there
        (a run of zervgen -REL), that relation alone; else every one, whose
        missing files the checks name."""
        present = [r for r in self.relations
                   if any(os.path.exists(p) for p in [r.whole, self.part_paths(r)[0]] + r.files)]
        if len(present) == 1:
            self.relations = present

    def run_relations(self):
        """The names of the relations the record's run wrote when it wrote
        only some; None when it wrote every one (or without a record)."""
        if self.record is None:
            return None
        run = self.record.doc
        if len(run["relations"]) == len(self.describe(run["data_args"])["relations"]):
            return None
        return {r["name"] for r in run["relations"]}

    def proof_commands(self, zexe):
        """The -verify -json command lines that prove the files: one for
        the run, or one per relation for a run of some relations (zervgen
        -REL -f FILE names the one relation's file)."""
        args = self.record.doc["proof_args"]
        if self.run_relations() is None:
            return [interface.verify_command(zexe, args + self.layout(codec=False))]
        return [interface.verify_command(zexe, args + [r.option] + self.layout(codec=False)[2:]
                                         + ["-f", self.whole_path(r)])
                for r in self.relations]

    def whole_path(self, rel):
        """The path of rel's whole file (before any -compress suffix)."""
        return self.paths(["-f", self.opts.prefix])[rel.name][0]

    def find_codec(self):
        """Sets compress, once: the record's -compress, or without a record
        the first of -describe's compress_codecs whose files (whole, or
        part 1) are there when the text files are not; true when it set
        one. The program that decompresses them (its compress_codecs
        entry's) must be on the PATH: without it the load ends with a usage
        error before anything is done."""
        if self.compress or self.opts.zervgen:
            return False
        if self.record is not None:
            run = self.record.doc["options"]
            if run.get("compress"):
                self.compress = (run["compress"], run.get("compress_level"))
        else:
            def there(layout):
                named = [self.paths(layout + parts) for parts in ([], ["-parts", "1"])]
                return any(os.path.exists(p) for paths in named
                           for r in self.relations for p in paths[r.name][:1])
            if not there(["-f", self.opts.prefix]):
                self.compress = next(((c["name"], None) for c in self.codecs if there(
                    ["-f", self.opts.prefix, "-compress", c["name"]])), None)
        if not self.compress:
            return False
        codec = next((c for c in self.codecs if c["name"] == self.compress[0]), None)
        if codec is None:
            refuse(f"the files are compressed with {self.compress[0]}, which {self.opts.zexe}"
                   " does not write (-describe's compress_codecs)")
        self.decompress = codec["decompress"]
        program = self.decompress[0]
        if shutil.which(program) is None:
            named = self.paths(["-f", "PREFIX"] + self.codec_args(self.compress))
            refuse(f"'{program}' not found: the files are compressed with {self.compress[0]}"
                   f" ({named[self.relations[0].name][0]}, ...);"
                   f" install {program} or put it on the PATH")
        return True

    # ------------------------------------------------------------ the record

    def find_record(self):
        """The run record of the files: -M, -R, else PREFIX.manifest, else
        PREFIX.rpt; None without one. A record named or found is read
        whatever kind of file it is (a pipe once), or the load ends: it is
        never passed over. A manifest's -describe document must be the one
        zervgen gives for its argv; a report gives the run by the words of
        its Cmd: line, which zervgen -describe must take back. Then the
        format of the rows is the record's (see take_format)."""
        o = self.opts
        found = lambda path: os.path.lexists(path)  # noqa: E731 (any kind of file)
        if o.manifest or (not o.report and found(f"{o.prefix}.manifest")):
            path = o.manifest or f"{o.prefix}.manifest"
            name = f"the manifest {path}"
            try:
                manifest = interface.read_manifest(path)
                doc = interface.check_record(o.zexe, manifest["describe"], name)
            except ZervgenError as e:
                die(f"cannot prove the files: {e} (nothing was loaded)")
            self.record = Record(name, doc, " (nothing was loaded)")
            self.record.written = manifest.get("written")
        else:
            path = o.report or f"{o.prefix}.rpt"
            if not found(path):
                return
            name = f"the report {path}"
            cmd = report_command(path)
            if cmd is None:
                die(f'cannot prove the files: {path} is not a zervgen report (no "Cmd:" line)'
                    + GIVE_MANIFEST)
            try:
                doc = interface.describe(o.zexe, cmd.split(" ")[1:])
            except ZervgenError as e:
                die(f"cannot prove the files: zervgen does not take back the Cmd: line of {name}"
                    f" ({e})" + GIVE_MANIFEST)
            self.record = Record(name, doc)
        self.take_format()

    def take_format(self):
        """The delimiter, format and compression of the rows, from the
        record: a -d that says otherwise is refused; a run that wrote
        Parquet or standard output is not one the loader reads."""
        o, run, name = self.opts, self.record.doc["options"], self.record.name
        if run["format"] == "parquet":
            die(f"{name} says the run wrote Parquet files: the loader reads text rows"
                " (nothing was loaded)")
        word = "fixed" if run["format"] == "fixed" else (
            "tab" if run["delimiter"] == "\t" else run["delimiter"])
        if word not in loadopts.FORMATS:
            die(f"{name} says the run wrote rows separated by '{word}', which the loader does"
                f" not load (it loads {', '.join(repr(f) for f in loadopts.FORMATS)};"
                " nothing was loaded)")
        if o.delim_given and o.delim_word != word:
            refuse(f"-d {o.delim_word}: {name} says the run wrote "
                   + ("fixed-format rows" if word == "fixed" else f"rows separated by '{word}'")
                   + " (leave -d out: the record gives it)")
        if word == "fixed" and not o.fixed_ok:
            refuse(f"{name} says the run wrote fixed-format rows, which cannot be loaded"
                   " into this database")
        o.delim_word = word
        o.fixed = word == "fixed"
        o.delim = b"\t" if word in ("fixed", "tab") else word.encode()
        if any(f["path"] == "-" for r in self.record.doc["relations"] for f in r["files"]):
            die(f"{name} says the run wrote its rows to standard output: there are no files"
                " to load (nothing was loaded)")

    # ------------------------------------------------------------ the files

    def check_parts(self, rel):
        # The part files as zervgen names them; the whole file of -parts 0.
        whole = self.paths(["-f", self.opts.prefix] + self.codec_args(self.compress))[rel.name][0]
        parts, jobs = self.part_paths(rel), self.opts.jobs
        n = 0
        while n < len(parts) and os.path.exists(parts[n]):
            n += 1
        if jobs == 1 and not self.one_part:
            if not os.path.exists(whole) and n > 0:
                die(f"{rel}: no file {whole}, but {plural(n, 'part file')} {parts[0]} .."
                    f" {parts[n - 1]} (zervgen -parts {n}): load them with -j {n}")
        elif n != jobs:
            if n > 0:
                die(f"{rel}: -j {jobs} loads the part files {parts[0]} .. {parts[jobs - 1]},"
                    f" but there are {n} ({parts[0]} .. {parts[n - 1]}, zervgen -parts {n}):"
                    f" load them with -j {n}")
            if os.path.exists(whole):
                die(f"{rel}: no part files {parts[0]} .. {parts[jobs - 1]}, only {whole}:"
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
        run puts no row may be empty. Without a record, the run the files
        show becomes theirs, its format the first rows' unless -d gives it
(inferred.py). Then the relations take their
        columns, files and counts: the run's."""
        small = self.shapes()
        if self.record is None and not self.opts.delim_given:
            from . import inferred  # it builds on this module's Record
            inferred.take_format(self)
        first = None
        for rel in self.relations:
            self.check_parts(rel)
            seen = False
            for path, empty_ok in zip(rel.files, rel.empty_ok):
                if not (os.path.isfile(path) and os.access(path, os.R_OK)):
                    die(f"{rel}: no file {path} (nothing was loaded)")
                size = self.sizes[path] = os.path.getsize(path)
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
        if self.record is None:
            from . import inferred  # it builds on this module's Record
            self.record = inferred.record(self)
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
        p.stderr.close()
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
        if self.record is not None:
            doc = self.describe(self.record.doc["data_args"] + self.layout())
            said = doc["options"]["fill"]
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
