"""rows.py: the rows of a zervgen run as its files hold them.

A relation's columns are those of a -describe document (docs/interface.md):
each with its name, type, width in fixed format, decimals, and its range
(min and max, or min_length and max_length for a text). From them come the
cutting of fixed-format rows into fields and the conversion of a row's
fields into the values a table stores. Files that no run record proves
have every field checked here instead: a number must be whole, read back
exactly as written (with `decimals` zeros after a point) and lie within its
range, a date must be a real day within its range written month/day/year,
a text printable ASCII of its lengths without a backslash (which no
generated text holds). A range that is not known (None) is that of the
column's type.

Run as a program, it feeds a database client's COPY: `python3 rows.py fixed
WIDTHS [FILE]` writes the fixed-format rows of FILE (or standard input) as
tab-separated fields, the padding of the texts of varying length dropped;
WIDTHS is fixed_widths() of the relation's columns. `python3 rows.py check
RULES BAD [FILE]` checks every field of every row against the columns of the
JSON file RULES (write_rules) and writes the rows that pass (delimited: as
they are; fixed format: as `fixed` does); at the first row that does not,
it writes "row N: REASON" to the file BAD, one line "zervgen-bad" that no
COPY takes, and ends with status 1. `python3 rows.py limit ROWS SIZE BAD
[FILE]` writes at most ROWS rows and SIZE bytes ("-": any) of FILE as they
are; past them it writes the reason to BAD and "zervgen-bad", and ends with
status 1.
"""

import datetime
import json
import re
import sys

_WHOLE = re.compile(rb"-?(0|[1-9][0-9]*)")
_DATE = re.compile(rb"([1-9][0-9]?)/([1-9][0-9]?)/([0-9]{4})")
_FIXED_DATE = re.compile(rb"([0-9]{2})/([0-9]{2})/([0-9]{4})")
_PRINTABLE = re.compile(rb"[ -~]*")
_TEXT = re.compile(rb"[ -\[\]-~]*")  # printable, without a backslash


class BadField(Exception):
    """A field that is not what its column holds; str() says why."""


def padded(col):
    """True for a text whose length varies: fixed format pads it with
    blanks to its width, which cannot be told from blanks of its own."""
    return col["type"] == "text" and col["min_length"] < col["max_length"]


def number_range(col):
    """The smallest and largest value of a number column: its own, or, where
    it is not known, its type's."""
    kind = col["type"]
    if kind == "int32":
        low, high = -2 ** 31, 2 ** 31 - 1
    elif kind == "decimal":
        high = 10 ** (col["precision"] - col["scale"]) - 1
        low = -high
    else:  # a whole number held as a double: exact up to 2**53
        low, high = -2 ** 53, 2 ** 53
    return (low if col.get("min") is None else col["min"],
            high if col.get("max") is None else col["max"])


def us_date(iso):
    """'1999-12-31' as month/day/year: '12/31/1999'."""
    y, m, d = iso.split("-")
    return f"{int(m)}/{int(d)}/{int(y)}"


def what_of(col):
    """What a field of col must be, for a message."""
    name = col["name"]
    if col["type"] == "date":
        if col.get("min") is None or col.get("max") is None:
            return f"{name}: not a day written month/day/year"
        return (f"{name}: not a day within {us_date(col['min'])}..{us_date(col['max'])}"
                " written month/day/year")
    if col["type"] == "text":
        low, high = col["min_length"], col["max_length"]
        length = f"{low}" if low == high else f"{low} to {high}"
        return (f"{name}: not {length} printable ASCII character{'s' if high > 1 else ''}"
                " without a backslash")
    low, high = number_range(col)
    point = f" with .{'0' * col['decimals']}" if col["decimals"] else ""
    return f"{name}: not a whole number{point} within {low}..{high}"


def shown(value):
    """A field's text for a message."""
    head = value[:40]
    if not _PRINTABLE.fullmatch(head):
        return "bytes that are not printable ASCII"
    return "'" + head.decode("ascii").replace("'", "''") + "'"


def _number_text(n, decimals):
    return (f"{n}.{'0' * decimals}" if decimals else str(n)).encode()


def _convert_checked(col, value, fixed):
    """The stored value of one field, or None when it is not one of col's."""
    kind = col["type"]
    if kind == "text":
        if not _TEXT.fullmatch(value):
            return None
        low = 0 if fixed and padded(col) else col["min_length"]
        return value.decode("ascii") if low <= len(value) <= col["max_length"] else None
    if kind == "date":
        m = (_FIXED_DATE if fixed else _DATE).fullmatch(value)
        if not m:
            return None
        try:
            day = datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2)))
        except ValueError:
            return None
        iso = day.isoformat()
        if col.get("min") is not None and iso < col["min"]:
            return None
        if col.get("max") is not None and iso > col["max"]:
            return None
        return iso
    text = value.strip(b" ") if fixed else value
    if fixed and value != text.rjust(col["width"]):
        return None
    decimals = col["decimals"]
    whole = text[:-decimals - 1] if decimals else text
    if not _WHOLE.fullmatch(whole):
        return None
    n = int(whole)
    low, high = number_range(col)
    if _number_text(n, decimals) != text or not low <= n <= high:
        return None  # another text than the one zervgen writes for n, or out of range
    return float(n) if decimals else n


def _convert_proven(col, value):
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


def converter(columns, delim, fixed, checked):
    """A function from a row (bytes without its line feed) to the tuple of
    its stored values, one per column; it raises BadField with the reason
    when the row is not one of the columns'. With checked false (proven
    rows) it only converts."""
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
        out = []
        for col, value in zip(columns, fields):
            if checked:
                v = _convert_checked(col, value, fixed)
                if v is None:
                    raise BadField(f"{what_of(col)}: {shown(value)}")
            else:
                v = _convert_proven(col, value)
            out.append(v)
        return tuple(out)

    return convert


def _field_test(col, fixed):
    """A fast test of one field of col: true only for a field that
    _convert_checked takes (a date is asked of it once per text)."""
    kind = col["type"]
    if kind == "text":
        low = 0 if fixed and padded(col) else col["min_length"]
        match = re.compile(rb"[ -\[\]-~]{%d,%d}" % (low, col["max_length"])).fullmatch
        return lambda value: match(value) is not None
    if kind == "date":
        seen = set()

        def date_ok(value):
            if value in seen:
                return True
            if _convert_checked(col, value, fixed) is None:
                return False
            seen.add(value)
            return True
        return date_ok
    decimals = col["decimals"]
    pattern = rb"(?:0|-?[1-9][0-9]*)" + (rb"\.0{%d}" % decimals if decimals else b"")
    match = re.compile((rb" *" if fixed else b"") + pattern).fullmatch
    low, high = number_range(col)
    cut = -decimals - 1 if decimals else None

    def number_ok(value):
        return match(value) is not None and low <= int(value[:cut]) <= high
    return number_ok


def checker(columns, delim, fixed):
    """A function that raises BadField, with the reason converter() gives,
    for a row (bytes without its line feed) that is not one of the columns',
    and returns None for one that is; faster than converting each row."""
    n = len(columns)
    widths = widths_of(columns)
    tests = [_field_test(c, fixed) for c in columns]
    convert = converter(columns, delim, fixed, True)

    if fixed:
        def check(line):
            fields = cut_fixed(line, widths)
            if (fields is None or len(fields) != n
                    or not all(test(v) for test, v in zip(tests, fields))):
                convert(line)  # raises with the reason
        return check
    # Delimited rows: one pattern for the syntax of the whole row (each
    # number as zervgen writes it, the texts without the delimiter), then
    # each number's range and each date's day.
    other = re.escape(delim)
    chars = b"[" + b"".join(re.escape(bytes([c])) for c in range(32, 127)
                            if bytes([c]) not in (b"\\", delim)) + b"]"
    parts, ranges, dates = [], [], []
    for col, test in zip(columns, tests):
        kind = col["type"]
        if kind == "text":
            parts.append(chars + b"{%d,%d}" % (col["min_length"], col["max_length"]))
        elif kind == "date":
            parts.append(rb"([1-9][0-9]?/[1-9][0-9]?/[0-9]{4})")
            dates.append((len(ranges) + len(dates), test))
        else:
            decimals = col["decimals"]
            parts.append(rb"(0|-?[1-9][0-9]*)" + (rb"\.0{%d}" % decimals if decimals else b""))
            ranges.append((len(ranges) + len(dates),) + number_range(col))
    match = re.compile(other.join(parts)).fullmatch

    def passes(line):
        m = match(line)
        if m is None:
            return False
        fields = m.groups()
        for i, low, high in ranges:
            if not low <= int(fields[i]) <= high:
                return False
        for i, test in dates:
            if not test(fields[i]):
                return False
        return True

    def check_delimited(line):
        if not passes(line):
            convert(line)  # raises with the reason
    return check_delimited


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


def write_rules(path, columns, delim, fixed):
    """The RULES file of `rows.py check`: the columns (with the ranges the
    checks allow), the delimiter and the format."""
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"columns": columns, "delimiter": delim.decode(), "fixed": fixed}, f)


def write_checked(rules, src, out, bad):
    """The rows of src that pass every check, on out as COPY reads them
    (see the module's comment); False after the first that does not, its
    row and reason written to the file bad."""
    fixed = rules["fixed"]
    check = checker(rules["columns"], rules["delimiter"].encode(), fixed)
    widths = widths_of(rules["columns"])
    for n, line in enumerate(src, 1):
        row = line[:-1] if line.endswith(b"\n") else line
        try:
            check(row)
        except BadField as e:
            with open(bad, "w", encoding="ascii") as f:
                f.write(f"row {n}: {e}\n")
            out.write(b"zervgen-bad\n")
            return False
        out.write(b"\t".join(cut_fixed(row, widths)) + b"\n" if fixed else line)
    return True


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
    if len(argv) in (4, 5) and argv[1] == "check":
        with open(argv[2], encoding="utf-8") as f:
            rules = json.load(f)
        source = open(argv[4], "rb") if len(argv) == 5 else sys.stdin.buffer
        return 0 if write_checked(rules, source, sys.stdout.buffer, argv[3]) else 1
    sys.stderr.write("usage: rows.py fixed WIDTHS [FILE]\n       rows.py check RULES BAD [FILE]\n"
                     "       rows.py limit ROWS SIZE BAD [FILE]\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
