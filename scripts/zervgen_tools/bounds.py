"""bounds.py: how much of a file's stream a load may take.

A run's -describe document states every file's rows, and a manifest (or a
fixed-format run) its bytes: a load copies no row or byte past them,
whatever the proof has said so far, so that a file that holds more
(another run's, or the run's text followed by more rows) never fills the
new tables past the run's own size. A text file of a run that states no
size is bound by the size it had when the loader checked it
(records.Run.check_files): the proof, which runs beside the copy, proves
the file exactly the run's, so that size is the run's unless the file
changes while it loads, and then either the proof or the count of the rows
loaded fails the load. Rows piped from zervgen have no bound.
"""


def whole(value):
    """value when it is a count (a whole number, 0 or more), else None."""
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


class Bound:
    """At most `rows` rows (line feeds) and, when `size` is not None, at most
    `size` bytes of a stream; `what` names it in messages."""

    def __init__(self, rows, size, what):
        self.rows, self.size, self.what = rows, size, what

    def args(self):
        """The ROWS SIZE words of `rows.py limit`."""
        return [str(self.rows), "-" if self.size is None else str(self.size)]


def limits(load, src):
    """The Bound of src's stream (its decompressed text for a compressed
    file), or None when the load has no record of it."""
    run = load.run
    if load.opts.zervgen or src.path is None:
        return None
    rel = src.rel
    # The file as the -describe document of the loader's own layout gives
    # it (records.Relation.take), from the record's data_args.
    files = getattr(rel, "file_docs", None) or []
    if len(files) != len(rel.files) or not isinstance(files[src.k - 1], dict):
        return None
    entry = files[src.k - 1]
    rows, size = whole(entry.get("rows")), None
    if not run.compress:
        size = whole(entry.get("bytes"))
    if rows is None:
        return None
    written = run.record.written
    if size is None and not run.compress and isinstance(written, list):
        for w in written:
            if (isinstance(w, dict) and w.get("relation") == rel.name
                    and w.get("part") == entry.get("part")
                    and w.get("first_row") == entry.get("first_row")):
                size = whole(w.get("bytes"))
                break
    if size is None and not run.compress:
        size = whole(run.sizes.get(src.path))
    return Bound(rows, size, run.record.name)
