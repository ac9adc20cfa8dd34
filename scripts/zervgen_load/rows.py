"""rows.py: the rows of the five relations as the files hold them.

The columns of a row, the cutting of fixed-format rows into fields, and the
conversion of a row's fields into the values a table stores. A loader that
cannot prove its files byte for byte against the generator (no known run
options) checks every field here instead: a number must read back as
written and lie within its range, a date must be a real day of 1900..1999, a
text printable ASCII of its width.

Run as a program (`python3 rows.py fixed FILL [FILE]`), it writes the
fixed-format rows of FILE (or standard input) as tab-separated fields, the
padding of the address dropped, for a database client to read.
"""

import datetime
import re
import sys

# The columns of the ten-column relations in the order of a row: name, kind
# and width in fixed format. The fill follows the address.
#   int    a whole number within -1000000000..1000000000
#   money  a whole number and ".00" within -500000000..500000000
#   date   month/day/year within 1/1/1900..12/31/1999 (fixed: MM/DD/YYYY)
#   text   printable ASCII of the given length (address: 2 to 80)
ROW_COLUMNS = [("key", "int", 10), ("int", "int", 10), ("signed", "int", 10),
               ("float", "money", 13), ("double", "int", 11), ("decim", "int", 11),
               ("date", "date", 10), ("code", "text", 10), ("name", "text", 20),
               ("address", "address", 80)]
FIXED_ROW_WIDTH = sum(w for _, _, w in ROW_COLUMNS)  # the fill begins after it
TINY_COLUMNS = [("key", "int", 10)]

INT_LIMIT = 1000000000
MONEY_LIMIT = 500000000
FIRST_DAY = datetime.date(1900, 1, 1)
LAST_DAY = datetime.date(1999, 12, 31)

_INT = re.compile(rb"-?(0|[1-9][0-9]*)")
_MONEY = re.compile(rb"-?(0|[1-9][0-9]*)\.00")
_DATE = re.compile(rb"([1-9][0-9]?)/([1-9][0-9]?)/([0-9]{4})")
_FIXED_DATE = re.compile(rb"([0-9]{2})/([0-9]{2})/([0-9]{4})")
_PRINTABLE = re.compile(rb"[ -~]*")


class BadField(Exception):
    """A field that is not what its column holds; str() says why."""


def what_of(kind, width, name):
    if kind == "int":
        return f"{name}: not a whole number within -{INT_LIMIT}..{INT_LIMIT}"
    if kind == "money":
        return f"{name}: not a whole number with .00 within -{MONEY_LIMIT}..{MONEY_LIMIT}"
    if kind == "date":
        return f"{name}: not a day within 1/1/1900..12/31/1999 written month/day/year"
    if kind == "address":
        return f"{name}: not 2 to 80 printable ASCII characters"
    return f"{name}: not {width} printable ASCII characters"


def shown(value):
    """A field's text for a message."""
    head = value[:40]
    if not _PRINTABLE.fullmatch(head):
        return "bytes that are not printable ASCII"
    return "'" + head.decode("ascii").replace("'", "''") + "'"


def columns_of(rel, fill_width):
    cols = TINY_COLUMNS if rel == "tiny" else ROW_COLUMNS
    if rel != "tiny" and fill_width > 0:
        cols = cols + [("fill", "text", fill_width)]
    return cols


def _convert_checked(kind, width, value, fixed):
    """The stored value of one field, or BadField."""
    text = value.strip(b" ") if fixed and kind in ("int", "money") else value
    if kind == "int":
        if fixed and value != text.rjust(width):
            return None
        if not _INT.fullmatch(text):
            return None
        n = int(text)
        return n if -INT_LIMIT <= n <= INT_LIMIT else None
    if kind == "money":
        if fixed and value != text.rjust(width):
            return None
        if not _MONEY.fullmatch(text):
            return None
        n = int(text[:-3])
        return float(n) if -MONEY_LIMIT <= n <= MONEY_LIMIT and text != b"-0.00" else None
    if kind == "date":
        m = (_FIXED_DATE if fixed else _DATE).fullmatch(value)
        if not m:
            return None
        try:
            day = datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2)))
        except ValueError:
            return None
        return day.isoformat() if FIRST_DAY <= day <= LAST_DAY else None
    if not _PRINTABLE.fullmatch(value):
        return None
    if kind == "address":
        ok = len(value) <= 80 if fixed else 2 <= len(value) <= 80
    else:
        ok = len(value) == width
    return value.decode("ascii") if ok else None


def _convert_proven(kind, value, fixed):
    """The stored value of one field of a proven file."""
    if kind == "int":
        return int(value)
    if kind == "money":
        return float(value)
    if kind == "date":
        m, d, y = value.split(b"/")
        return f"{int(y):04d}-{int(m):02d}-{int(d):02d}"
    return value.decode("ascii")


def cut_fixed(line, fill_width):
    """The fields of a fixed-format row of a ten-column relation, or None
    when it is not one of the expected length."""
    if len(line) != FIXED_ROW_WIDTH + fill_width or b"\t" in line:
        return None
    fields, first = [], 0
    for name, _, width in ROW_COLUMNS:
        field = line[first:first + width]
        fields.append(field.rstrip(b" ") if name == "address" else field)
        first += width
    if fill_width > 0:
        fields.append(line[first:])
    return fields


def converter(rel, fill_width, delim, fixed, checked):
    """A function from a row (bytes without its line feed) to the tuple of
    its stored values; it raises BadField with the reason when the row is
    not one of the relation's rows. With checked false (proven rows) it
    only converts."""
    cols = columns_of(rel, fill_width)
    n = len(cols)
    wanted = f"expected {n} field{'s' if n > 1 else ''} separated by '{delim_word(delim)}'"

    def convert(line):
        if fixed and rel != "tiny":
            fields = cut_fixed(line, fill_width)
            if fields is None:
                raise BadField(f"not a fixed-format row of {FIXED_ROW_WIDTH + fill_width} characters")
        elif fixed:
            fields = [line]
        else:
            fields = line.split(delim)
        if len(fields) != n:
            if len(fields) > n:
                raise BadField(f"{wanted}, found more")
            raise BadField(f"{wanted}, found fewer")
        if line.endswith(b"\r"):
            raise BadField("the row ends in a carriage return")
        out = []
        for (name, kind, width), value in zip(cols, fields):
            if checked:
                v = _convert_checked(kind, width, value, fixed)
                if v is None:
                    raise BadField(f"{what_of(kind, width, name)}: {shown(value)}")
            else:
                v = _convert_proven(kind, value, fixed)
            out.append(v)
        if rel == "tiny" and out[0] != 0:
            raise BadField("key: not 0")
        if fill_width == 0 and rel != "tiny":
            out.append(None)
        return tuple(out)

    return convert


def delim_word(delim):
    return "tab" if delim == b"\t" else delim.decode()


def write_fixed_as_tabs(fill_width, src, out):
    """Fixed-format rows of src as tab-separated fields on out. A row that
    is not one (another length, a tab, a backslash that COPY would read as
    an escape) becomes a row whose first field says so after "zervgen-bad: "."""
    for line in src:
        line = line[:-1] if line.endswith(b"\n") else line
        fields = cut_fixed(line, fill_width)
        if fields is None:
            out.write(b"zervgen-bad: not a fixed-format row of %d characters\n"
                      % (FIXED_ROW_WIDTH + fill_width))
        elif b"\\" in line:
            out.write(b"zervgen-bad: a backslash, which no generated field holds\n")
        else:
            out.write(b"\t".join(fields) + b"\n")


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[1] != "fixed":
        sys.exit("usage: rows.py fixed FILL [FILE]")
    source = open(sys.argv[3], "rb") if len(sys.argv) == 4 else sys.stdin.buffer
    write_fixed_as_tabs(int(sys.argv[2]), source, sys.stdout.buffer)
