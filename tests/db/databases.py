"""databases.py: the three databases of the load checks.

Each class loads through the loader (zervgen-load DATABASE) (load_command, load) and answers
queries as lists of tuples of texts (query), with the SQL that prints a row
as zervgen writes it (row_fields), its date texts (date_text), its primary
key (primary_key) and, for SQLite, the values not stored as their type
(type_problems). PostgreSQL is reached through the PG* environment
variables, MariaDB through the client's option files and a database name.
"""

import os
import sqlite3
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LOADER = os.path.join(REPO, "scripts", "zervgen-load")
LOAD_PG = [LOADER, "postgresql"]
LOAD_SQLITE = [LOADER, "sqlite"]
LOAD_MARIADB = [LOADER, "mariadb"]
# The checks' own queries: .ci/db-tests names the psql of the server's
# version, which spares each of the thousands of queries the start of
# Debian's psql wrapper (a Perl program that picks that same psql). The
# loaders run the psql a user has, the wrapper.
PSQL = os.environ.get("ZERVGEN_CHECK_PSQL", "psql")


class Postgres:
    name = "postgresql"

    def load_command(self, args):
        return LOAD_PG + args

    def load(self, args):
        return run(self.load_command(args))

    def query(self, sql):
        out = subprocess.run(
            [PSQL, "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-F", "\x1f",
             "-P", "null=\\N", "-c", sql],
            check=True, capture_output=True, text=True).stdout
        rows = []
        for line in out.split("\n")[:-1]:
            rows.append(tuple(None if v == "\\N" else v for v in line.split("\x1f")))
        return rows

    def date_text(self, expr):
        return f"to_char({expr}, 'YYYY-MM-DD')"

    def row_fields(self, has_fill):
        # Each column printed as zervgen writes it; char(n) columns are printed
        # as stored (padded), not cast to text, which would drop the blanks.
        fields = ['"key"::text', '"int"::text', '"signed"::text', '"float"::text',
                  '"double"::numeric::text', 'trim_scale("decim")::text',
                  """to_char("date", 'FMMM/FMDD/YYYY')""", '"code"', '"name"', '"address"']
        return fields + ['"fill"'] if has_fill else fields

    def primary_key(self, table):
        rows = self.query(f"""
            SELECT a.attname FROM pg_index i
              JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = ANY(i.indkey)
             WHERE i.indrelid = '{table}'::regclass AND i.indisprimary""")
        return [r[0] for r in rows]

    def type_problems(self, table):
        return []  # every column has a declared PostgreSQL type; COPY enforces it


class Sqlite:
    name = "sqlite"

    def __init__(self, path):
        self.path = path

    def load_command(self, args):
        return LOAD_SQLITE + with_target(args, self.path)

    def load(self, args):
        return run(self.load_command(args))

    def query(self, sql):
        con = sqlite3.connect(self.path)
        try:
            rows = con.execute(sql).fetchall()
        finally:
            con.close()
        return [tuple(None if v is None else str(v) for v in r) for r in rows]

    def date_text(self, expr):
        return expr

    def row_fields(self, has_fill):
        fields = ["""printf('%d', "key")""", """printf('%d', "int")""",
                  """printf('%d', "signed")""", """printf('%.2f', "float")""",
                  """printf('%.0f', "double")""", """printf('%d', "decim")""",
                  """printf('%d/%d/%d', substr("date", 6, 2), substr("date", 9, 2),
                            substr("date", 1, 4))""",
                  '"code"', '"name"', '"address"']
        return fields + ['"fill"'] if has_fill else fields

    def primary_key(self, table):
        # The key is a unique index, built after the load.
        keys = [r[1] for r in self.query(f"PRAGMA index_list({table})") if r[2] == "1"]
        return [r[2] for k in keys for r in self.query(f"PRAGMA index_info({k})")]

    def type_problems(self, table):
        if table == "tiny":
            expect = {"key": "integer"}
        else:
            expect = {"key": "integer", "int": "integer", "signed": "integer",
                      "float": "real", "double": "real", "decim": "integer",
                      "date": "text", "code": "text", "name": "text", "address": "text"}
        problems = []
        for col, kind in expect.items():
            n = self.query(f'SELECT count(*) FROM {table} WHERE typeof("{col}") <> \'{kind}\'')
            if n[0][0] != "0":
                problems.append(f"{n[0][0]} values of {col} are not of type {kind}")
        n = self.query(f"""SELECT count(*) FROM {table} WHERE "date" IS NOT date("date")""") \
            if table != "tiny" else [("0",)]
        if n[0][0] != "0":
            problems.append(f"{n[0][0]} dates are not valid ISO dates")
        return problems


class Mariadb:
    name = "mariadb"

    def __init__(self, database):
        self.database = database

    def load_command(self, args):
        return LOAD_MARIADB + with_target(args, self.database)

    def load(self, args):
        return run(self.load_command(args))

    def query(self, sql):
        # ANSI_QUOTES: the checks quote column names with double quotes.
        out = subprocess.run(
            ["mariadb", "--batch", "--raw", "--skip-column-names", "-D", self.database, "-e",
             "SET SESSION sql_mode = CONCAT(@@sql_mode, ',ANSI_QUOTES'); " + sql],
            check=True, capture_output=True, text=True).stdout
        return [tuple(None if v == "NULL" else v for v in line.split("\t"))
                for line in out.split("\n")[:-1]]

    def date_text(self, expr):
        return f"DATE_FORMAT({expr}, '%Y-%m-%d')"

    def row_fields(self, has_fill):
        # A CHAR value reads back without its trailing blanks: the name is
        # always 20 characters, so padding it again gives it as written.
        fields = ['"key"', '"int"', '"signed"', '"float"', '"double"',
                  """TRIM(TRAILING '.00' FROM "decim")""",
                  """DATE_FORMAT("date", '%c/%e/%Y')""", '"code"', """RPAD("name", 20, ' ')""",
                  '"address"']
        return fields + ['"fill"'] if has_fill else fields

    def primary_key(self, table):
        return [r[0] for r in self.query(
            "SELECT column_name FROM information_schema.key_column_usage"
            f" WHERE table_schema = DATABASE() AND table_name = '{table}'"
            " AND constraint_name = 'PRIMARY'")]

    def type_problems(self, table):
        return []  # declared types; the loader fails on any value LOAD DATA had to change


def with_target(args, target):
    """Inserts a loader's target argument before PREFIX or the zervgen options."""
    if "-g" in args:  # -g ZERVGEN TARGET ZERVGEN-OPTIONS...
        i = args.index("-g")
        return args[:i + 2] + [target] + args[i + 2:]
    return args[:-1] + [target, args[-1]]  # options then PREFIX


def run(cmd, cwd=None, env=None):
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, errors="replace")


# The staging schemas or databases a load left behind, as rows of one
# column "name" (SQLite stages in a file of its own).
LEFTOVERS_SQL = {
    "postgresql": "SELECT nspname AS name FROM pg_namespace WHERE nspname LIKE 'zervgen_load_%'",
    "mariadb": "SELECT schema_name AS name FROM information_schema.schemata"
               " WHERE schema_name LIKE 'zervgen\\_load\\_%'",
}


def leftovers(db):
    """Staging schemas or databases that a load left behind."""
    return db.query(LEFTOVERS_SQL[db.name]) if db.name in LEFTOVERS_SQL else []


