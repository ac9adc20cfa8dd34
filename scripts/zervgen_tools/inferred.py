"""inferred.py: the run that files without a manifest or report show.

Files with no record still say which run wrote them: the rows of a large
relation are its files' line count, the fill width shows in a row
(records.Run.check_files reads it), the format is -d's or else the one the
first rows show (take_format), the compression shows in the files' names
(records.Run.find_codec).
record() asks zervgen -describe for the run of those options, and takes it
as the files' record only when -describe gives every large relation the
counted rows; the proof (zervgen -verify, loader.py) then proves every
file that run's, or the load is refused in the proof's words. Nothing here
knows a relation or an option of its own: the candidates' rows are
-describe's.
"""

import os
import re
import subprocess

from . import interface, loadopts
from .common import die, refuse
from .interface import ZervgenError
from .records import Record, plural

CHUNK = 1 << 20


def count_lines(run, rel, path):
    """The line feeds of rel's file path (of its text, for a compressed
    file): of the bytes it holds now, for a file that may still grow."""
    n = 0
    if not run.compress:
        with open(path, "rb") as f:
            left = os.fstat(f.fileno()).st_size
            while left > 0:
                block = f.read(min(CHUNK, left))
                if not block:
                    break
                n += block.count(b"\n")
                left -= len(block)
        return n
    p = subprocess.Popen(run.decompressor(path), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    # stderr is read once stdout ends: a decompressor says little.
    for block in iter(lambda: p.stdout.read(CHUNK), b""):
        n += block.count(b"\n")
    p.stdout.close()
    said = p.stderr.read().decode("utf-8", "replace").strip().splitlines()
    p.stderr.close()
    if p.wait() != 0:
        die(f"{rel}: {path}: cannot decompress it: {said[-1] if said else p.returncode}"
            " (nothing was loaded)")
    return n


def counts(run):
    """{relation: its files' line count}."""
    return {rel: sum(count_lines(run, rel, p) for p in rel.files) for rel in run.relations}


def data_args(run, rows):
    """The options that decide the rows of a run of `rows` rows with the
    fill and format of the files."""
    fill = ["-fc", str(run.fill_width)] if run.fill_width else []
    return ["-n", str(rows)] + fill + run.format_args()


def files_of(rel):
    return rel.files[0] if len(rel.files) == 1 else f"{rel.files[0]} .. {rel.files[-1]}"


def record(run):
    """The Record of the run the files show: -describe's document of the
    options read from them, the rows those that most large relations
    (whose count is not the same in every run) count; every relation must
    have the rows -describe gives it.
    When -describe gives a count other than the one asked for, the rows
    that would give the counted one are asked once more. Files whose
    counts no run writes end the load, saying so."""
    counted = counts(run)
    tally = [n for rel, n in counted.items() if not rel.constant]
    if tally:
        rows = max(tally, key=tally.count)  # the first of the most common
        rel = next(r for r, n in counted.items() if n == rows)
    else:
        rows, rel = 100, None  # every count is fixed: any run, the proof decides
    asked, doc = rows, None
    # A run of one relation (zervgen -REL) when the files are of one.
    only = [run.relations[0].option] if len(run.relations) < len(run.every_relation) else []
    for _ in range(2):
        args = only + data_args(run, asked) + run.codec_args(run.compress)
        try:
            doc = interface.describe(run.opts.zexe, args)
        except ZervgenError as e:
            if rel is None:
                die(f"{run.opts.zexe} -describe: {e}")
            die(f"{rel}: {files_of(rel)}: {plural(rows, 'row')}, which no run of zervgen"
                f" {' '.join(args)} writes ({e}) (nothing was loaded)")
        if rel is None or interface.relation(doc, rel.name)["rows"] == rows:
            break
        said, doc = interface.relation(doc, rel.name)["rows"], None
        if said <= 0:
            break
        asked = asked * rows // said
    if doc is None:
        die(f"{rel}: {files_of(rel)}: {plural(rows, 'row')}, which no run of zervgen"
            f" {' '.join(data_args(run, 'N')[2:]) or '-n N'} writes (nothing was loaded)")
    # Named by the options read (a compressed file's level does not show).
    shown = only + doc["data_args"] + run.codec_args(run.compress)
    name = "the run the files show (zervgen " + " ".join(shown) + ")"
    for other, n in counted.items():
        want = interface.relation(doc, other.name)["rows"]
        if n != want:
            die(f"{other}: {files_of(other)} holds {plural(n, 'row')}; {name} has {want}"
                " (a cut file, or files of different runs?) (nothing was loaded)")
    found = Record(name, doc, " (nothing was loaded)")
    found.inferred = True
    return found


def first_rows(run):
    """(relation, path, its first row) of every relation of more than one
    column, from its first file that holds a row."""
    for rel in run.relations:
        if len(rel.base) < 2:
            continue
        for path in rel.files:
            if not os.path.isfile(path) or os.path.getsize(path) == 0:
                continue
            if run.compress:
                line = run.first_text_line(rel, path)
            else:
                with open(path, "rb") as f:
                    line = f.readline(4096).rstrip(b"\n")
            if line:
                yield rel, path, line
                break


def formats(rel, line):
    """The formats a first row of rel may be of, as -d words: each
    character that splits it into rel's fields (with or without a fill),
    and "fixed" when it is of rel's fixed widths with a day at each date."""
    counts = {len(rel.base), len(rel.base) + 1} if rel.fillable else {len(rel.base)}
    found = {("tab" if c == 9 else chr(c)) for c in set(line)
             if (c == 9 or 32 < c < 127) and line.count(bytes([c])) + 1 in counts}
    width, first = sum(c["width"] for c in rel.base), 0
    if len(line) == width or (rel.fillable and len(line) > width):
        for c in rel.base:
            field = line[first:first + c["width"]]
            if c["type"] == "date" and not re.fullmatch(rb"[0-9]{2}/[0-9]{2}/[0-9]{4}", field):
                break
            first += c["width"]
        else:
            found.add("fixed")
    return found


def take_format(run):
    """Without -d and a record: the format the first rows show, the one
    that every relation's first row may be of among zervgen's (a delimiter
    that -describe takes for -dc, or fixed format). When none is, the
    default stays and the checks of the files name what a row holds; two
    or more are a usage error that asks for -d."""
    o, shown, seen = run.opts, None, set()
    for rel, path, line in first_rows(run):
        fits = formats(rel, line)
        shown = fits if shown is None else shown & fits
        seen.add(f"{rel} ({path})")
    if not shown:
        return
    words = sorted(w for w in shown if w in loadopts.FORMATS and (w == "fixed" or writes(run, w)))
    if len(words) > 1:
        refuse(f"the first rows of {', '.join(sorted(seen))} may be of any of the formats"
               f" {', '.join(repr(w) for w in words)}: give the run's with -d")
    if not words:
        return
    word = words[0]
    if word == "fixed" and not o.fixed_ok:
        refuse("the files hold fixed-format rows, which cannot be loaded into this database")
    o.delim_word = word
    o.fixed = word == "fixed"
    o.delim = b"\t" if word in ("fixed", "tab") else word.encode()


def writes(run, word):
    """Whether zervgen writes rows separated by the -dc word `word`."""
    try:
        doc = interface.describe(run.opts.zexe, ["-n", "100", "-dc", word])
    except ZervgenError:
        return False
    return doc["options"]["delimiter"] == ("\t" if word == "tab" else word)
