"""mariadb.py: the MariaDB backend, through the mariadb client.

MariaDB commits every CREATE and ALTER at once, so the tables are built in a
database of their own (created and dropped by the loader) and then take the
place of the old ones in one RENAME TABLE, which is atomic: a load that
fails anywhere leaves the target database as it was. The rows go in with
LOAD DATA LOCAL INFILE (parts one after another), the dates through
STR_TO_DATE; any warning fails the load. Every file is proven by zervgen
-verify before the database is touched. A foreign key of
another table to one of the old tables would follow it into the staging
database, which then could not be dropped: such a load is refused first.

Connection: the client's option files and environment (MYSQL_HOST,
MYSQL_TCP_PORT, MYSQL_PWD), or client options given with -o. The user needs
CREATE and DROP on the staging database zervgen_load_PID. MARIADB names
another client.
"""

import os
import re
import subprocess
import sys
import time

from . import bounds, progress, rows
from .common import ask, die, fail_load, first_error, need_client, quote, refuse


def sql_string(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "''") + "'"


class Backend:
    target_args = [("DATABASE", "an existing MariaDB database, by its name (letters, digits,"
                                " _ and $)")]
    fixed_ok = False
    sqlfile = "mariadb.sql"
    jobs_text = "MariaDB reads the parts one after another in one session."
    extra_options = (("-o", "OPTION", "client_options",
                      "an option for every client call, e.g. -o --socket=PATH, -o --host=HOST,"
                      " -o --user=NAME or -o --defaults-file=FILE (may be given more than once;"
                      " the client's own option files are read as usual)"),)
    usage_intro = """Replaces the tables of the MariaDB database DATABASE, one per relation as
zervgen -describe names them (SQLFILE, by default mariadb.sql of this package),
with a run's rows, loaded with LOAD DATA LOCAL INFILE; adds the primary keys
and runs ANALYZE TABLE. On any failure the database stays as it was. Fixed-
format files are not loaded.
Example: PROG -o --socket=/run/mysqld/mysqld.sock -d tab bench out/zerv"""

    def setup(self, load):
        self.client = ([os.environ.get("MARIADB", "mariadb")] + load.opts.client_options
                       + ["--local-infile=1", "--batch", "--skip-column-names"])
        self.target = load.opts.targets[0]
        if not re.fullmatch(r"[A-Za-z0-9_$]+", self.target):
            refuse(f"database name '{self.target}': use letters, digits, _ and $")
        need_client(self.client[0], "MariaDB's client mariadb", "mariadb-client", "MARIADB")
        self.stage_name = f"zervgen_load_{os.getpid()}"
        self.stats = []

    def run_client(self, load, name, sql, extra=(), **kw):
        # A file name is bytes: those of a name that is not UTF-8 go as they are.
        with open(load.work.path(f"{name}.in"), "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(sql)
        with open(load.work.path(f"{name}.in"), "rb") as i, open(load.work.path(f"{name}.out"), "wb") as o, \
                open(load.work.path(f"{name}.err"), "wb") as e:
            p = load.work.spawn(self.client + list(extra), stdin=i, stdout=o, stderr=e, **kw)
        return p

    def precheck(self, load):
        # A foreign key from another table would follow its old table into
        # the staging database, which could then not be dropped.
        names = ", ".join(f"'{r}'" for r in load.run.relations)
        refs = f"""SELECT referenced_table_name, constraint_schema, table_name, constraint_name
  FROM information_schema.referential_constraints
  WHERE unique_constraint_schema = DATABASE() AND referenced_table_name IN ({names})
    AND NOT (constraint_schema = DATABASE() AND table_name IN ({names})) LIMIT 1;
"""
        if self.run_client(load, "connect", refs, ["-D", self.target]).wait() != 0:
            fail_load(first_error(load.work.path("connect.err")))
        with open(load.work.path("connect.out"), encoding="utf-8", errors="replace") as f:
            for line in f:
                rel, schema, table, name = line.rstrip("\n").split("\t")
                die(f"{rel}: foreign key {name} on table {schema}.{table} depends on the table;"
                    " drop it first (nothing was loaded)")

    def load_sql(self, load, rel, src):
        sep = "\\t" if load.opts.delim == b"\t" else load.opts.delim.decode()
        fields = ", ".join(f"@c{i}" for i in range(1, len(rel.columns) + 1))
        sets = []
        for i, c in enumerate(rel.columns, 1):
            value = f"@c{i}"
            if c["type"] == "date":  # written month/day/year
                value = f"STR_TO_DATE(@c{i}, '%c/%e/%Y')"
            sets.append(f"`{c['name']}` = {value}")
        path = src.path
        # A file of the run goes no row or byte past the run's (rows.py limit).
        bound = bounds.limits(load, src)
        if src.command is not None or bound is not None:
            # A pipe through a named FIFO: the writer starts when LOAD DATA opens it.
            path = load.work.path(f"{rel}.{src.k}.fifo")
            os.mkfifo(path)
            shell = src.shell()
            if bound is not None:
                shell += (f" | {quote(sys.executable)} {quote(rows.__file__)} limit"
                          f" {' '.join(bound.args())} {quote(self.bad_file(load, src))}")
            # Its own messages (an interrupt's included) to a file: the
            # loader's standard error holds its one line.
            load.work.spawn(["bash", "-c", f"exec >{quote(path)} 2>>{quote(path + '.err')} && {shell}"])
        return f"""SELECT 'loading', '{rel}', '{src.k}';
LOAD DATA LOCAL INFILE {sql_string(path)} INTO TABLE {rel} CHARACTER SET binary
  FIELDS TERMINATED BY '{sep}' ESCAPED BY '' LINES TERMINATED BY '\\n'
  ({fields}) SET {', '.join(sets)};
SHOW WARNINGS LIMIT 1;
INSERT INTO zervgen_refused VALUES ('{rel}', @@warning_count);
"""

    def stage(self, load):
        lines = [f"CREATE DATABASE {self.stage_name}; USE {self.stage_name};",
                 "SET SESSION sql_mode = CONCAT(@@sql_mode, ',STRICT_ALL_TABLES,NO_ZERO_IN_DATE,NO_ZERO_DATE');",
                 "CREATE TEMPORARY TABLE zervgen_refused (rel VARCHAR(10), refused INT,",
                 "  CONSTRAINT rows_did_not_load_exactly CHECK (refused = 0));",
                 load.sql_tables()]
        for rel in load.run.relations:
            for src in load.sources(rel):
                lines.append(self.load_sql(load, rel, src))
            lines.append(f"SELECT 'count', '{rel}', COUNT(*) FROM {rel};")
        self.run(load, "load", "\n".join(lines))
        for rel in load.run.relations:
            load.loaded_count(rel, self.counts[rel.name])
        # The keys only after the counts: a relation of too many rows says
        # so, not that its key repeats.
        lines = [f"USE {self.stage_name};"]
        for rel in load.run.relations:
            lines += [f"SELECT 'keying', '{rel}', '1';", load.sql_keys(rel)]
        lines.append(f"ANALYZE TABLE {', '.join(r.name for r in load.run.relations)};")
        if load.opts.check_cols:
            for rel in load.run.relations:
                for c in load.run.stat_columns(rel):
                    c = c["name"]
                    lines.append(f"SELECT 'stat', '{rel}', '{c}', MIN(`{c}`), MAX(`{c}`),"
                                 f" COUNT(DISTINCT `{c}`) FROM {rel};")
        self.run(load, "keys", "\n".join(lines))

    def run(self, load, name, sql):
        """The client on sql; its counts and column figures kept; on a
        failure the load ends with its reason."""
        p = self.run_client(load, name, sql)
        if name == "load" and load.progress.on:
            self.watch(load, p)
        status = p.wait()
        for rel in load.run.relations:
            for src in load.sources(rel):
                failed = self.cut_failure(load, src) or src.gen_failure()
                if failed:
                    fail_load(failed)
        if status != 0:
            fail_load(self.failure(load, name))
        self.counts = getattr(self, "counts", {})
        with open(load.work.path(f"{name}.out"), encoding="utf-8", errors="replace") as f:
            for line in f:
                w = line.rstrip("\n").split("\t")
                if w[0] == "count":
                    self.counts[w[1]] = int(w[2])
                elif w[0] == "stat":
                    self.stats.append(tuple(w[1:]))

    def watch(self, load, p):
        """On a terminal, while the client loads: the relation whose file
        is read and its rows estimated from the bytes read (the files' offsets
        in /proc; parts load one after another). Rows piped from zervgen give
        no line."""
        files = [(rel, os.path.realpath(src.path), os.path.getsize(src.path))
                 for rel in load.run.relations for src in load.sources(rel)
                 if src.path is not None and os.path.isfile(src.path)]
        paths = {path for _, path, _ in files}
        current = None
        while p.poll() is None:
            time.sleep(progress.INTERVAL)
            at = progress.position(paths)
            reading = [i for i, (_, path, _) in enumerate(files) if path in at]
            if not reading:
                continue
            i = reading[-1]
            rel = files[i][0]
            if rel is not current:
                load.progress.end()
                load.begin_relation(rel)
                current = rel
            mine = [f for f in files if f[0] is rel]
            done = sum(size for r, _, size in files[:i] if r is rel) + at[files[i][1]]
            load.progress.read(done, sum(size for _, _, size in mine))
        load.progress.end()

    @staticmethod
    def bad_file(load, src):
        return load.work.path(f"{src.rel}.{src.k}.bad")

    def cut_failure(self, load, src):
        """Why src's stream was cut at the run's size, or None."""
        try:
            with open(self.bad_file(load, src), encoding="ascii", errors="replace") as f:
                return f"{src.rel}: {src.name}: {f.read().strip()}"
        except FileNotFoundError:
            return None

    def failure(self, load, name):
        """Why the client ended early: a warning of LOAD DATA, or the client's
        own error."""
        rel = src = None
        with open(load.work.path(f"{name}.out"), encoding="utf-8", errors="replace") as f:
            for line in f:
                w = line.rstrip("\n").split("\t")
                if w[0] in ("loading", "keying") and len(w) >= 3:
                    rel = load.run.relation(w[1])
                    src = load.sources(rel)[int(w[2]) - 1]
                elif w[0] in ("Warning", "Note", "Error") and len(w) >= 3 and rel:
                    m = re.match(r"Row ([0-9]+) (was truncated|doesn.t contain data)", w[2])
                    if m:
                        more = "more" if m.group(2) == "was truncated" else "fewer"
                        n = len(rel.columns)
                        return (f"{rel}: {src.name}: row {m.group(1)}: expected {n}"
                                f" field{'s' if n > 1 else ''} separated by"
                                f" '{load.opts.delim_word}', found {more}")
                    return f"{rel}: {src.name}: {w[2]}"
        where = f"{rel}: {src.name}: " if rel else ""
        return where + first_error(load.work.path(f"{name}.err"))

    def columns(self, load):
        return self.stats

    def swap(self, load):
        """One RENAME TABLE moves the old tables out of the target database
        and the new ones in; the client runs in a session of its own and
        first says its connection, which swap_done waits for."""
        p = subprocess.run(self.client + ["-e", "SELECT table_name FROM information_schema.tables"
                                          f" WHERE table_schema = {sql_string(self.target)}"],
                           capture_output=True)
        if p.returncode != 0:
            return p.stderr.decode("utf-8", errors="replace").strip()
        existing = set(p.stdout.decode().split())
        pairs = []
        for rel in load.run.relations:
            if rel.name in existing:
                pairs.append(f"`{self.target}`.{rel} TO {self.stage_name}.old_{rel}")
            pairs.append(f"{self.stage_name}.{rel} TO `{self.target}`.{rel}")
        p = self.run_client(load, "swap", f"SELECT CONNECTION_ID(); RENAME TABLE {', '.join(pairs)};\n",
                            start_new_session=True)
        return None if p.wait() == 0 else first_error(load.work.path("swap.err"))

    def swap_done(self, load):
        try:
            with open(load.work.path("swap.out")) as f:
                ident = f.readline().strip()
        except OSError:
            ident = ""
        if ident.isdigit():
            for _ in range(6000):
                answer = ask(self.client + ["-e", "SELECT COUNT(*) FROM information_schema.processlist"
                                            f" WHERE id = {ident}"])
                if answer is None:
                    return False
                if answer == "0":
                    break
                time.sleep(0.1)
        return ask(self.client + ["-e", "SELECT COUNT(*) FROM information_schema.tables WHERE"
                                  f" table_schema = '{self.stage_name}' AND table_name ="
                                  f" '{load.run.relations[0]}'"]) == "0"

    def cleanup(self, load):
        subprocess.run(self.client + ["-e", f"DROP DATABASE IF EXISTS {self.stage_name}"],
                       capture_output=True)
