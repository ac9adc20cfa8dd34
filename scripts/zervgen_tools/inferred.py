"""inferred.py: the run that files without a manifest or report show.

Files with no record still say which run wrote them: the rows of a large
relation are its files' line count, the fill width shows in a row
(records.Run.check_files reads it), the format is the one the load reads
(-d), the compression shows in the files' names (records.Run.find_codec).
record() asks zervgen -describe for the run of those options, and takes it
as the files' record only when -describe gives every large relation the
counted rows; the proof (zervgen -verify, loader.py) then proves every
file that run's, or the load is refused in the proof's words. Nothing here
knows a relation or an option of its own: the candidates' rows are
-describe's.
"""

import os
import subprocess

from . import interface
from .common import die
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


def counted(run):
    """(relation, rows): the large relation whose files are the fewest
    bytes, and its files' line count. None when every relation's count is
    fixed (there is then no count to learn)."""
    large = [r for r in run.relations if not r.constant]
    if not large:
        return None
    rel = min(large, key=lambda r: sum(os.path.getsize(p) for p in r.files))
    return rel, sum(count_lines(run, rel, p) for p in rel.files)


def data_args(run, rows):
    """The options that decide the rows of a run of `rows` rows with the
    fill and format of the files."""
    fill = ["-fc", str(run.fill_width)] if run.fill_width else []
    return ["-n", str(rows)] + fill + run.format_args()


def record(run):
    """The Record of the run the files show: -describe's document of the
    options read from them, whose large relations have the counted rows.
    When -describe gives a count other than the one asked for, the rows
    that would give the counted one are asked once more. Files whose count
    no run writes end the load, saying so."""
    found = counted(run)
    if found is None:
        rows, rel = 100, None  # any run: the proof decides
    else:
        rel, rows = found
    asked, doc = rows, None
    for _ in range(2):
        args = data_args(run, asked) + run.codec_args(run.compress)
        try:
            doc = interface.describe(run.opts.zexe, args)
        except ZervgenError as e:
            if rel is None:
                die(f"{run.opts.zexe} -describe: {e}")
            die(f"{rel}: {plural(rows, 'row')} in {' '.join(rel.files)}: no run of"
                f" zervgen {' '.join(args)} writes them ({e}) (nothing was loaded)")
        if rel is None:
            break
        said = interface.relation(doc, rel.name)["rows"]
        if said == rows:
            break
        doc = None
        if said <= 0:
            break
        asked = asked * rows // said
    if doc is None:
        die(f"{rel}: {plural(rows, 'row')} in {' '.join(rel.files)}: no run of zervgen with"
            f" {' '.join(data_args(run, 'ROWS')[2:]) or 'its options'} writes that many"
            " (nothing was loaded)")
    # Named by the options read (a compressed file's level does not show).
    shown = doc["data_args"] + run.codec_args(run.compress)
    name = "the run the files show (zervgen " + " ".join(shown) + ")"
    found = Record(name, doc, " (nothing was loaded)")
    found.inferred = True
    return found
