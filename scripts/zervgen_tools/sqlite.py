"""sqlite.py: the SQLite backend, through Python's own sqlite3 module.

Everything, the dropping of the old tables included, happens in one
transaction that the loader commits only after its checks: a load that fails
anywhere leaves the database as it was. The rows are read by the loader
itself (files one part after another, or zervgen pipes), converted to their
stored types (dates to ISO 'YYYY-MM-DD' text) and inserted into STRICT
tables; the keys are unique indexes built after the rows are in.
"""

import sqlite3

from . import bounds, rows
from .common import fail_load
from .records import plural

BATCH = 10000


class Backend:
    target_args = [("DATABASE", "the SQLite database file (created when missing)")]
    fixed_ok = True
    extra_options = ()
    sqlfile = "sqlite.sql"
    jobs_text = "SQLite reads the parts one after another in one session."
    usage_intro = """Replaces the tables in the SQLite database file DATABASE, one per relation as
zervgen -describe names them (SQLFILE, by default sqlite.sql of this package),
with a run's rows and runs ANALYZE. On any failure the database stays as it
was.
Example: PROG -d tab bench.db out/zerv"""

    def setup(self, load):
        self.con = None
        self.schema_version = None

    def precheck(self, load):
        try:
            self.con = sqlite3.connect(load.opts.targets[0], isolation_level=None)
            self.schema_version = self.con.execute("PRAGMA schema_version").fetchone()[0]
        except sqlite3.Error as e:
            fail_load(f"{load.opts.targets[0]}: {e}")

    def rows_of(self, load, src):
        """The rows (bytes, no line feed) of one source, numbered from 1."""
        return src.lines(load.work.spawn)

    def load_relation(self, load, rel):
        # Rows from a proven file or from zervgen itself are only converted.
        convert = rows.converter(rel.columns, load.opts.delim, load.opts.fixed)
        names = ", ".join(f'"{c["name"]}"' for c in rel.columns)
        insert = f"INSERT INTO {rel} ({names}) VALUES ({', '.join('?' * len(rel.columns))})"
        total = 0
        load.begin_relation(rel)
        for src in load.sources(rel):
            batch = []
            bound = bounds.limits(load, src)
            size = 0
            for n, line in self.rows_of(load, src):
                if bound is not None:
                    # No row past the run's rows or bytes.
                    size += len(line) + 1
                    if n > bound.rows or (bound.size is not None and size > bound.size):
                        fail_load(f"{rel}: {src.name}: more than "
                                  + (f"the run's {plural(bound.rows, 'row')}" if n > bound.rows
                                     else f"the {bound.size} bytes of the run's file")
                                  + " (nothing past them was loaded)")
                try:
                    values = convert(line)
                except rows.BadField as e:
                    failed = src.settled_failure()
                    fail_load(failed or f"{rel}: {src.name}: row {n}: {e}")
                batch.append(values)
                if len(batch) == BATCH:
                    self.insert(insert, batch)
                    total += len(batch)
                    batch = []
                    load.progress.rows(total)
            self.insert(insert, batch)
            total += len(batch)
        load.loaded_count(rel, total)

    def insert(self, sql, batch):
        try:
            self.con.executemany(sql, batch)
        except sqlite3.Error as e:
            fail_load(str(e))

    def run_sql(self, script):
        """The statements of script, one by one, in the open transaction
        (the module's executescript would commit it first)."""
        text = ""
        for line in script.splitlines(True):
            text += line
            if sqlite3.complete_statement(text):
                try:
                    self.con.execute(text)
                except sqlite3.Error as e:
                    fail_load(str(e))
                text = ""

    def stage(self, load):
        self.run_sql("BEGIN;\n" + load.sql_tables())
        for rel in load.run.relations:
            self.load_relation(load, rel)
        for rel in load.run.relations:
            for key in load.sql_keys(rel).splitlines():
                try:
                    self.con.execute(key)
                except sqlite3.Error as e:
                    fail_load(f"{rel}: {load.sources(rel)[0].name}: {e}")
        self.run_sql("ANALYZE;")
        if not self.con.in_transaction:
            fail_load("the transaction of the load ended before its checks")

    def columns(self, load):
        out = []
        for rel in load.run.relations:
            for c in load.run.stat_columns(rel):
                c = c["name"]
                low, high, n = self.con.execute(
                    f'SELECT min("{c}"), max("{c}"), count(DISTINCT "{c}") FROM {rel}').fetchone()
                out.append((rel.name, c, low, high, n))
        return out

    def swap(self, load):
        try:
            self.con.execute("COMMIT")
        except sqlite3.Error as e:
            return str(e)
        return None

    def swap_done(self, load):
        try:
            con = sqlite3.connect(load.opts.targets[0])
            now = con.execute("PRAGMA schema_version").fetchone()[0]
            con.close()
        except sqlite3.Error:
            return False
        return now != self.schema_version

    def cleanup(self, load):
        if self.con is not None:
            self.con.close()  # rolls back what is not committed
            self.con = None

