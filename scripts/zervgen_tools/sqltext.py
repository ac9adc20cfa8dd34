"""sqltext.py: the text of the table files sql/*.sql, per database.

What sqlfiles.py learns of the relations (its Relation and Column, over the
runs it asks zervgen about) becomes here, per database, the CREATE TABLE
statements, the types and constraints, and the comments that say what each
column holds. One class per database file: PostgreSQL, SQLite, MariaDB,
DuckDB (three files).
"""

import copy
import textwrap

from . import interface

MAKER = "scripts/zervgen_tools/sqlfiles.py"

# SQL words among the column names: such names must be quoted.
SQL_WORDS = {"key", "int", "integer", "signed", "float", "double", "real", "decimal", "numeric",
             "date", "time", "char", "varchar", "text", "table", "index", "order", "group",
             "user", "value", "values", "primary", "select", "from", "where"}

WIDTH = 79
NBSP = "\u00a0"  # a blank the comments never break a line at


# ---------------------------------------------------------------- text

def comment(text, first="", rest=None):
    """text as comment lines of at most WIDTH characters."""
    lines = textwrap.wrap(text, WIDTH - 3, initial_indent=first, subsequent_indent=first
                          if rest is None else rest, break_on_hyphens=False,
                          break_long_words=False)
    return "".join(f"-- {line}\n".replace(NBSP, " ") for line in lines)


def paragraphs(*texts):
    return "--\n".join(comment(t) if isinstance(t, str) else "".join(t) for t in texts)


def number(n):
    names = "one two three four five six seven eight nine ten".split()
    return names[n - 1] if 0 < n <= len(names) else str(n)


def words(items):
    items = list(items)
    return ", ".join(items[:-1]) + " and " + items[-1] if len(items) > 1 else "".join(items)


def column_union(rels):
    """Every column once, in row order, its figures over every relation."""
    out = {}
    for rel in rels.values():
        for c in rel.columns.values():
            u = out.get(c.name)
            if u is None:
                out[c.name] = u = copy.copy(c)
            elif c.type == "text":
                u.min_length = min(u.min_length, c.min_length)
                u.max_length = max(u.max_length, c.max_length)
            else:
                u.min, u.max = min(u.min, c.min), max(u.max, c.max)
    return list(out.values())


def column_text(db, c):
    """What a column holds, as the list in the comments says it."""
    t = db.type(c)
    if c.nullable and c.fill_width:
        return (f"{t}, NULL when the run had no {c.name} column (-fc{NBSP}0); otherwise exactly"
                f" the -fc width, {c.min_length} to {c.max_length} characters.")
    null = f" NULL when a run has no {c.name} column." if c.nullable else ""
    if c.type == "int32":
        return f"{t}: whole numbers within {c.min}..{c.max}.{null}"
    if c.type == "double":
        return f"{t}: whole numbers within {c.min}..{c.max}, exact in a double.{null}"
    if c.type == "decimal" and c.decimals == 0:
        return f'{t}: whole numbers within {c.min}..{c.max} (written without a point).{null}'
    if c.type == "decimal":
        zeros = "." + "0" * c.decimals
        return (f'{t}: written as a whole number and "{zeros}" ({c.min}{zeros}), within'
                f" {c.min}..{c.max}{db.whole_decimal}.{null}")
    if c.type == "date":
        return (f"{t}: written month/day/year (12/27/1903), {c.min} to {c.max};"
                f" {db.date_note}.{null}")
    if c.fixed_length:
        return f"{t}: always exactly {c.max_length} characters.{null}"
    padding = ""
    if c.padded and db.loads_fixed:
        padding = (f" (a fixed-format file pads it to {c.width} characters, and the loader drops"
                   " the padding: from one, it has no trailing blanks)")
    return (f"{t}: {c.min_length} to {c.max_length} characters, kept as written, trailing blanks"
            f" included{padding}.{null}")


def column_list(db, rels):
    """The comment lines of the columns: the names of neighbours that hold
    the same, then what they hold."""
    groups = []
    for c in column_union(rels):
        text = column_text(db, c)
        if groups and groups[-1][1] == text:
            groups[-1][0].append(c.name)
        else:
            groups.append(([c.name], text))
    out = []
    for names, text in groups:
        label = ", ".join(names)
        label += " " * max(2, 19 - len(label))
        out.append(comment(label + text, "  ", " " * (2 + len(label))))
    return "".join(out)


def mapped_type(c, names):
    """c's type in a database that names its types `names`: a pattern per
    kind (int32, decimal, double, date, and char or varchar for a text of
    one length or of many), with {p}, {s} the precision and scale and {n}
    the longest text."""
    kind = c.type if c.type != "text" else "char" if c.fixed_length else "varchar"
    return names[kind].format(p=c.precision, s=c.scale, n=c.max_length)


def quoted_names(rels):
    names = [c.name for c in column_union(rels) if c.name in SQL_WORDS]
    return (f"The names {words(names)} are keywords or type names in SQL, so every column name is"
            " quoted here; quote them in queries too.")


def key_lines(rels, keyword):
    """The keys: one line per relations whose keys are alike."""
    groups = {}
    for rel in rels.values():
        k = rel.key
        if rel.one_row:
            text = f"the relation has one row, {k.name} {k.min}."
        else:
            top = "n" if rel.max_is_n[k.name] else str(k.max)
            text = f"n distinct values within {k.min}..{top}"
            if k.min == 0:
                text += f", spread over 1..{top} with the value 1 replaced by 0"
                if top == "n":
                    text += ", i.e. 0, 2, 3, ..., n"
            text += ", one row each."
        groups.setdefault(text, []).append(f"{rel.name}.{k.name}")
    lines = [comment(f"{keyword}, on the columns that hold distinct values by construction:")]
    for text, keys in groups.items():
        lines.append(comment(f"{', '.join(keys)}: {text}", "  ", "    "))
    return "".join(lines)


def other_distinct(rels):
    """The other columns of one value per row, one line per relations alike."""
    groups = {}
    for rel in rels.values():
        if rel.one_row:
            continue
        cols = [c.name for c in list(rel.columns.values())[1:]
                if c.distinct_all and not c.nullable]
        capped = [f"{name} while n <= {n}" for name, n in rel.capped.items()]
        text = "; ".join(x for x in (", ".join(cols), ", ".join(capped)) if x)
        if text:
            groups.setdefault(text, []).append(rel.name)
    lines = [comment("Other columns hold one value per row by construction too (for a text"
                     " column, the seeds of its texts: two seeds can give the same text, short ones"
                     " most likely):")]
    for text, names in groups.items():
        lines.append(comment(f"{', '.join(names)}: {text}.", "  ", "    "))
    lines.append(comment("They get no constraint, so that a benchmark can choose its own indexes;"
                         " non-key text columns may repeat."))
    return "".join(lines)


def generated():
    return [comment(f"Made by {MAKER} from zervgen -describe: edit that, not this file.")]


def column_lines(db, rels, rel, extra=lambda c: ""):
    """The column definitions of rel's CREATE TABLE, aligned alike in every
    table."""
    cols = column_union(rels)
    wn = max(len(db.quote(c.name)) for c in cols)
    wt = max(len(db.type(c)) for c in cols)
    out = []
    for c in rel.columns.values():
        null = "" if c.nullable else "NOT NULL"
        out.append(f"  {db.quote(c.name):<{wn}} {db.type(c):<{wt}} {null}{extra(c)}".rstrip())
    return out


def primary_keys(db, rels):
    """The key statements, each on one line, as the loaders take them."""
    return "".join(f"ALTER TABLE {rel.name} ADD PRIMARY KEY ({db.quote(rel.key.name)});\n"
                   for rel in rels.values())


# ---------------------------------------------------------------- databases

class Dialect:
    """What every database's file does alike: a name quoted with QUOTE, a
    column typed from TYPES (see mapped_type)."""

    QUOTE = '"'
    TYPES = {}

    @classmethod
    def quote(cls, name):
        return f"{cls.QUOTE}{name}{cls.QUOTE}"

    @classmethod
    def type(cls, c):
        return mapped_type(c, cls.TYPES)


class PostgreSQL(Dialect):
    file = "postgresql.sql"
    loads_fixed = True  # zervgen-load postgresql reads fixed-format files
    whole_decimal = ""
    date_note = "load with SET datestyle = 'ISO, MDY'"
    TYPES = {"int32": "integer", "decimal": "numeric({p},{s})", "double": "double precision",
             "date": "date", "char": "char({n})", "varchar": "varchar({n})"}

    def checks(self, rel):
        """rel's CHECK constraints: (name, terms). A number within its range
        and, for double and decimal, whole (zervgen writes whole numbers
        only); a date within its range; a varchar's shortest length (the
        type refuses a longer text), unless a fixed-format file pads it: the
        loader drops the padding, and a text's trailing blanks with it. A
        char(N) is not checked: it pads a shorter text with blanks."""
        q = self.quote
        nums, dates, texts = [], [], []
        for c in rel.columns.values():
            if c.type in ("int32", "decimal", "double"):
                term = f"{q(c.name)} = {c.min}" if c.min == c.max else \
                    f"{q(c.name)} BETWEEN {c.min} AND {c.max}"
                if c.type != "int32":
                    term += f" AND {q(c.name)} = trunc({q(c.name)})"
                nums.append((c, term))
            elif c.type == "date":
                dates.append((f"{c.name} within {c.min}..{c.max}",
                              [f"{q(c.name)} BETWEEN '{c.min}' AND '{c.max}'"]))
            elif not c.fixed_length and not c.padded and c.min_length > 0:
                texts.append((c, f"octet_length({q(c.name)}) >= {c.min_length}"))
        out = []
        if len(nums) == 1:
            c = nums[0][0]
            out.append((f"{c.name} {c.min}" if c.min == c.max else f"{c.name} within its range",
                        [nums[0][1]]))
        elif nums:
            out.append(("numbers within their ranges", [t for _, t in nums]))
        out += dates
        if texts:
            name = ", ".join(f"{c.name} of {c.min_length} to {c.max_length}" for c, _ in texts)
            out.append((name + " characters", [t for _, t in texts]))
        for name, _ in out:
            if len(name.encode()) > 63:
                raise interface.ZervgenError(f"{rel.name}: the constraint name '{name}' is too"
                                             " long")
        return out

    def table(self, rels, rel):
        lines = column_lines(self, rels, rel)
        for name, terms in self.checks(rel):
            if len(terms) == 1:
                lines.append(f'  CONSTRAINT "{name}" CHECK ({terms[0]})')
            else:
                lines.append(f'  CONSTRAINT "{name}" CHECK (\n    '
                             + "\n    AND ".join(terms) + ")")
        return f"CREATE TABLE {rel.name} (\n" + ",\n".join(lines) + "\n);\n"

    def make(self, rels, paths, delim):
        n = number(len(rels))
        padded = [c.name for c in column_union(rels) if c.padded and not c.fixed_length]
        head = paragraphs(
            f"{self.file}: the tables of the {n} relations that zervgen writes, for PostgreSQL."
            f" Running this file drops the {n} tables if they exist, creates them empty and adds"
            " their primary keys. zervgen-load postgresql runs it in two steps: the tables first,"
            " and the ALTER TABLE lines that add the keys only after the rows are in (COPY into a"
            " table without an index, then one index build, is about twice as fast as COPY into a"
            f' keyed table). Keep each key statement on one line beginning "ALTER{NBSP}TABLE".',
            generated(),
            [comment("Column types hold every generated value exactly, and the CHECK constraints"
                     " refuse values that zervgen does not write (COPY names the row); they are"
                     " the cheap ones: checking that every text is ASCII would add a third to the"
                     " time of COPY, and the UTF8 database refuses invalid bytes by itself. A"
                     " char(N) column gets no check: char pads a shorter text with blanks, and"
                     " char(N) keeps a text that ends in blanks as written (it compares without"
                     " them: a text of N blanks equals '' and prints as N blanks). Nor is the"
                     " shortest length of a text that a fixed-format file pads"
                     f" ({words(padded)}): the loader drops the padding, and the text's trailing"
                     " blanks with it. Each table's constraints hold its relation's own ranges,"
                     " within those below."),
             column_list(self, rels), comment(quoted_names(rels))],
            [key_lines(rels, "Primary keys"), other_distinct(rels)])
        body = ["SET client_min_messages = warning;"
                "  -- no notice for a table that is not there yet\n"
                f"DROP TABLE IF EXISTS {', '.join(rels)};\n"]
        body += [self.table(rels, rel) for rel in rels.values()]
        body.append(primary_keys(self, rels))
        return head + "\n" + "\n".join(body)


class MariaDB(Dialect):
    file = "mariadb.sql"
    loads_fixed = False
    whole_decimal = ""
    date_note = "the loader converts it with STR_TO_DATE(..., '%c/%e/%Y')"
    options = "ENGINE = InnoDB DEFAULT CHARACTER SET ascii COLLATE ascii_nopad_bin"
    QUOTE = "`"
    TYPES = {"int32": "INT", "decimal": "DECIMAL({p},{s})", "double": "DOUBLE", "date": "DATE",
             "char": "CHAR({n})", "varchar": "VARCHAR({n})"}

    def make(self, rels, paths, delim):
        n = number(len(rels))
        head = paragraphs(
            f"{self.file}: the tables of the {n} relations that zervgen writes, for MariaDB."
            f" Running this file drops the {n} tables if they exist, creates them empty and adds"
            " their primary keys. zervgen-load mariadb runs it in two steps: the tables first, and"
            " the ALTER TABLE lines that add the keys only after the rows are in. Keep each key"
            f' statement on one line beginning "ALTER{NBSP}TABLE".',
            generated(),
            [comment("Column types hold every generated value exactly; zervgen-load mariadb proves"
                     " the files with zervgen -verify before it loads a row (LOAD DATA LOCAL would"
                     " round, cut or convert a wrong value with no more than a warning), and names"
                     " the file that fails and its first difference:"),
             column_list(self, rels),
             comment("MariaDB returns a CHAR value without its trailing blanks: a text that ends"
                     " in blanks reads back shorter (one of N blanks as ''), and RPAD(`column`, N,"
                     " ' ') gives a CHAR(N) text as written. The texts are ASCII with the binary"
                     " collation that does not pad (ascii_nopad_bin): the default collations"
                     " compare without regard to case, and the padding ones ignore trailing"
                     " blanks, either of which would make distinct generated texts compare"
                     " equal."),
             comment(quoted_names(rels))],
            [key_lines(rels, "Primary keys"), other_distinct(rels)])
        body = [f"DROP TABLE IF EXISTS {', '.join(rels)};\n"]
        for rel in rels.values():
            body.append(f"CREATE TABLE {rel.name} (\n" + ",\n".join(column_lines(self, rels, rel))
                        + f"\n) {self.options};\n")
        body.append(primary_keys(self, rels))
        return head + "\n" + "\n".join(body)


class SQLite(Dialect):
    file = "sqlite.sql"
    loads_fixed = True
    whole_decimal = "; every value is a whole number, exact in a REAL"
    date_note = ("the loader stores it in ISO 'YYYY-MM-DD' (1903-12-27), so that dates sort and"
                 " compare, and SQLite's date functions accept them")

    @staticmethod
    def type(c):
        # A decimal written without a point is a whole number: INTEGER;
        # one written with ".00" is read as a REAL, whole and exact.
        if c.type == "int32" or (c.type == "decimal" and c.decimals == 0):
            return "INTEGER"
        if c.type in ("decimal", "double"):
            return "REAL"
        return "TEXT"

    def make(self, rels, paths, delim):
        n = number(len(rels))
        head = paragraphs(
            f"{self.file}: the tables of the {n} relations that zervgen writes, for SQLite."
            f" Running this file drops the {n} tables if they exist and creates them empty;"
            " zervgen-load sqlite runs it, loads the rows and runs ANALYZE, all in one"
            " transaction.",
            generated(),
            "The tables are STRICT (SQLite 3.37 or later): a value that is not of its column's"
            " type, such as a text where a number belongs, fails the load instead of being stored"
            " as it is. zervgen-load sqlite proves the files with zervgen -verify before that, and"
            " names the file that fails and its first difference.",
            [comment("Column types and the values they hold exactly:"), column_list(self, rels),
             comment(quoted_names(rels))],
            "The keys are unique indexes, created after the rows are in: SQLite cannot add a"
            " primary key to an existing table, and inserting a million rows into a table without"
            " an index and building a unique index afterwards took half the time of inserting"
            " them into a table whose INTEGER PRIMARY KEY (the rowid) orders it, sorted or not."
            " The loader runs the CREATE UNIQUE INDEX lines after the data; keep each on one"
            " line.",
            [key_lines(rels, "Keys"), other_distinct(rels)])
        body = ["".join(f"DROP TABLE IF EXISTS {name};\n" for name in rels)]
        for rel in rels.values():
            body.append(f"CREATE TABLE {rel.name} (\n" + ",\n".join(column_lines(self, rels, rel))
                        + "\n) STRICT;\n")
        body.append("".join(f"CREATE UNIQUE INDEX {rel.name}_{rel.key.name} ON {rel.name}"
                            f" ({self.quote(rel.key.name)});\n" for rel in rels.values()))
        return head + "\n" + "\n".join(body)


class DuckDB(Dialect):
    file = "duckdb.sql"
    loads_fixed = False
    date_format = "%m/%d/%Y"
    TYPES = {"int32": "integer", "decimal": "decimal({p},{s})", "double": "double", "date": "date",
             "char": "varchar", "varchar": "varchar"}

    def make(self, rels, paths, delim):
        n = number(len(rels))
        cols = column_union(rels)
        types = list(dict.fromkeys(self.type(c) for c in cols))
        chars = list(dict.fromkeys(PostgreSQL.type(c) for c in cols if c.fixed_length))
        nullable = [c.name for c in cols if c.nullable]
        text, parquet = paths["text"], paths["parquet"]
        first = next(iter(rels))
        prefix = text[first][:-len(rels[first].suffix) - 1]
        head = paragraphs(
            f"{self.file}: the tables of the {n} relations that zervgen writes, for DuckDB, with"
            f" their primary keys. Running this file drops the {n} tables if they exist and creates"
            " them empty; sql/duckdb-parquet.sql then fills them from the Parquet files (zervgen"
            f" -parquet), or sql/duckdb-text.sql from the text files (delimited, '{delim}'), both"
            f" in the current folder with the default prefix {prefix}.",
            generated(),
            "The types are those of sql/postgresql.sql (whose comments say why each one holds"
            " every generated value exactly) and those of the Parquet files' columns:"
            f" {words(types)}. {words(chars)} are varchar in DuckDB: the texts are kept as"
            f" written, trailing blanks included. {words(nullable)} may be NULL: a run without"
            f" -fc has no {words(nullable)} column.",
            [key_lines(rels, "Primary keys")])
        body = ["".join(f"DROP TABLE IF EXISTS {name};\n" for name in rels)]
        for rel in rels.values():
            lines = column_lines(self, rels, rel, lambda c: " PRIMARY KEY" if c is rel.key else "")
            body.append(f"CREATE TABLE {rel.name} (\n" + ",\n".join(lines) + "\n);\n")
        tables = head + "\n" + "\n".join(body)
        order = list(text)
        stem = parquet[first][:-len(".parquet")]
        parquet_file = (comment(
            f"duckdb-parquet.sql: fills the tables of sql/duckdb.sql from the Parquet files of a"
            f" zervgen -parquet run in the current folder (prefix {prefix}). BY NAME matches the"
            f" columns by name, so a run without a {words(nullable)} column leaves"
            f" {words(nullable)} NULL. For part files, read '{stem}.*.parquet' instead of"
            f" '{parquet[first]}'.") + generated()[0]
            + "".join(f"INSERT INTO {r} BY NAME SELECT * FROM '{parquet[r]}';\n" for r in order))
        options = (f"DELIMITER '{delim}', HEADER false, QUOTE '', ESCAPE '', DATEFORMAT"
                   f" '{self.date_format}', NULL_PADDING true, AUTO_DETECT false")
        text_file = (comment(
            "duckdb-text.sql: fills the tables of sql/duckdb.sql from the text files of a zervgen"
            f" run in the current folder (prefix {prefix}, delimited with '{delim}'). The files are"
            " read with the tables' types; nothing is quoted or escaped, dates are"
            f" month/day/year. NULL_PADDING leaves {words(nullable)} NULL in a run without -fc."
            f" For a run with -compress zstd or gzip, read '{paths['zstd'][first]}' or"
            f" '{paths['gzip'][first]}' instead of '{text[first]}': DuckDB decompresses a file"
            " by its suffix.")
            + generated()[0]
            + "".join(f"COPY {r} FROM '{text[r]}' ({options});\n" for r in order))
        return {"duckdb.sql": tables, "duckdb-parquet.sql": parquet_file,
                "duckdb-text.sql": text_file}


DATABASES = [PostgreSQL(), SQLite(), MariaDB(), DuckDB()]
