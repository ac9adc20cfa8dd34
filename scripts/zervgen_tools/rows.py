"""rows.py: the rows of a zervgen run as its files hold them.

A relation's columns are those of a -describe document (docs/interface.md):
each with its name, type, width in fixed format, decimals, and its range.
From them come the cutting of fixed-format rows into fields and the
conversion of a row's fields into the values a table stores. The rows are
those zervgen -verify proves (or zervgen's own pipes): a field is only
converted, not checked.

Run as a program, it feeds a database client's COPY: `python3 rows.py fixed
WIDTHS [FILE]` writes the fixed-format rows of FILE (or standard input) as
tab-separated fields, the padding of the texts of varying length dropped;
WIDTHS is fixed_widths() of the relation's columns. `python3 rows.py limit
ROWS SIZE BAD [FILE]` writes at most ROWS rows and SIZE bytes ("-": any) of
FILE as they are; past them it writes the reason to BAD and "zervgen-bad",
and ends with status 1.
"""

import sys


class BadField(Exception):
    """A field that is not what its column holds; str() says why."""


def padded(col):
    """True for a text whose length varies: fixed format pads it with
    blanks to its width, which cannot be told from blanks of its own."""
    return col["type"] == "text" and col["min_length"] < col["max_length"]


def _convert(col, value):
    """The stored value of one field of a proven file."""
    kind = col["type"]
    if kind == "text":
        return value.decode("ascii")
    if kind == "date":
        m, d, y = value.split(b"/")
        return f"{int(y):04d}-{int(m):02d}-{int(d):02d}"
    return float(value) if col["decimals"] else int(value)


def cut_fixed(line, widths):
    """The fields of a fixed-format row, for widths as (width, padded)
    pairs: the padding of a padded text dropped; None when the row is not of
    the widths' length."""
    if len(line) != sum(w for w, _ in widths) or b"\t" in line:
        return None
    fields, first = [], 0
    for width, pad in widths:
        field = line[first:first + width]
        fields.append(field.rstrip(b" ") if pad else field)
        first += width
    return fields


def widths_of(columns):
    return [(c["width"], padded(c)) for c in columns]


def converter(columns, delim, fixed):
    """A function from a row (bytes without its line feed) to the tuple of
    its stored values, one per column; it raises BadField with the reason
    when the row does not have the columns' fields."""
    n = len(columns)
    wanted = f"expected {n} field{'s' if n > 1 else ''} separated by '{delim_word(delim)}'"
    widths = widths_of(columns)
    row_width = sum(w for w, _ in widths)

    def convert(line):
        if fixed:
            fields = cut_fixed(line, widths)
            if fields is None:
                raise BadField(f"not a fixed-format row of {row_width} characters")
        else:
            fields = line.split(delim)
        if len(fields) != n:
            raise BadField(f"{wanted}, found {'more' if len(fields) > n else 'fewer'}")
        if line.endswith(b"\r"):
            raise BadField("the row ends in a carriage return")
        return tuple(_convert(col, value) for col, value in zip(columns, fields))

    return convert


def delim_word(delim):
    return "tab" if delim == b"\t" else delim.decode()


def fixed_widths(columns):
    """The WIDTHS argument of `rows.py fixed`: the widths, a padded text's
    marked with 'p' (10,10,...,80p,20)."""
    return ",".join(f"{w}{'p' if pad else ''}" for w, pad in widths_of(columns))


def parse_widths(text):
    return [(int(w.rstrip("p")), w.endswith("p")) for w in text.split(",")]


def write_fixed_as_tabs(widths, src, out):
    """Fixed-format rows of src as tab-separated fields on out. A row that
    is not one (another length, a tab, a backslash that COPY would read as
    an escape) becomes a row whose first field says so after "zervgen-bad: "."""
    row_width = sum(w for w, _ in widths)
    for line in src:
        line = line[:-1] if line.endswith(b"\n") else line
        fields = cut_fixed(line, widths)
        if fields is None:
            out.write(b"zervgen-bad: not a fixed-format row of %d characters\n" % row_width)
        elif b"\\" in line:
            out.write(b"zervgen-bad: a backslash, which no generated field holds\n")
        else:
            out.write(b"\t".join(fields) + b"\n")


def write_limited(src, out, rows, size, bad):
    """The bytes of src on out up to its `rows`-th line feed and its
    `size`-th byte (None: any size); False when src holds more, after the
    whole rows within the bound, a line "zervgen-bad" that no COPY takes,
    and the reason written to the file bad."""
    n = total = 0
    while True:
        chunk = src.read(1 << 16)
        if not chunk:
            return True
        end, over = len(chunk), None
        if size is not None and total + end > size:
            end, over = size - total, f"more than the {size} bytes of the run's file"
        left = rows - n
        if chunk.count(b"\n", 0, end) >= left:
            cut = 0
            for _ in range(left):
                cut = chunk.index(b"\n", cut) + 1
            if cut < len(chunk):
                end, over = cut, f"more than the run's {rows} row{'' if rows == 1 else 's'}"
        if over is not None:
            end = chunk.rfind(b"\n", 0, end) + 1  # no row cut short
            out.write(chunk[:end])
            with open(bad, "w", encoding="ascii") as f:
                f.write(f"{over} (nothing past them was loaded)\n")
            out.write(b"zervgen-bad\n")
            return False
        out.write(chunk)
        n += chunk.count(b"\n")
        total += end


def main(argv):
    source = None
    if len(argv) in (5, 6) and argv[1] == "limit":
        source = open(argv[5], "rb") if len(argv) == 6 else sys.stdin.buffer
        size = None if argv[3] == "-" else int(argv[3])
        return 0 if write_limited(source, sys.stdout.buffer, int(argv[2]), size, argv[4]) else 1
    if len(argv) in (3, 4) and argv[1] == "fixed":
        source = open(argv[3], "rb") if len(argv) == 4 else sys.stdin.buffer
        write_fixed_as_tabs(parse_widths(argv[2]), source, sys.stdout.buffer)
        return 0
    sys.stderr.write("usage: rows.py fixed WIDTHS [FILE]\n"
                     "       rows.py limit ROWS SIZE BAD [FILE]\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
