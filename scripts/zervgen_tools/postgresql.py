"""postgresql.py: the PostgreSQL backend, through psql.

The tables are created without keys in a schema of their own and filled with
COPY by psql sessions that stay open from the first query to the last. From
one file (or pipe) per relation, two sessions each load a whole relation at
a time (COPY, then its checks, key and statistics). With -j N, N sessions
load the N parts of one relation after another, and its checks, key and
statistics are built in one more session while the next loads.
Then the new tables move into the current schema in one transaction that
drops the old ones: a load that fails anywhere leaves the database as it
was. The server reads the files itself when it may (a superuser or a member
of pg_read_server_files on the same machine); otherwise psql sends them.

The proof of the files by zervgen -verify runs beside the COPY sessions,
which ask it every 50 ms while they wait: a file it finds not the run's
ends the load at once in its words (the cleanup ends the COPY), and the
swap waits for it to pass. A run's file goes no row or byte past what the
record states (bounds.py): the server reads it itself only when it has the
recorded size; psql sends any other through `rows.py limit`. While the
proof runs, the tables take the rows without their CHECK constraints,
which are added NOT VALID afterwards (no scan): proven rows, and rows
piped from zervgen itself, hold them by construction, and they hold for
later writes. A proof that fails, or cannot be made, fails
the load. Files without a run record are proven as the run they show
(inferred.py).

COPY's text format reads a backslash as an escape (\\N is NULL, \\061 is 1):
no generated field holds one, and the proof refuses a file that does.
One stream COPYs into a table truncated in the same transaction (FREEZE).

Connection: psql's own environment (PGHOST, PGPORT, PGDATABASE, PGUSER,
PGPASSWORD, ...). PSQL names another psql; ZERVGEN_CLIENT_READS=1 has psql
send the files even when the server could read them; ZERVGEN_KEY_MEMORY sets
maintenance_work_mem of the key builds (default 256MB).
"""

import os
import re
import select
import subprocess
import sys
import time

from . import bounds, rows
from .common import ask, die, fail_load, first_error, need_client, quote

ROWS_PY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rows.py")


def sql_string(text):
    return "'" + text.replace("'", "''") + "'"


def script_file(path, text):
    """Writes a script for psql or bash; a file name in it is bytes (os.fsencode)."""
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write(text)


def utf8(path):
    """True when the name is valid UTF-8, as SQL text must be."""
    try:
        os.fsencode(path).decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


class Session:
    """A psql that stays open and runs one script after another, fed through
    a pipe: after each it prints "zervgen-done N", which tells the script's
    output from the next one's. With ON_ERROR_STOP the first error ends psql,
    its message in work/NAME.err. While it waits for an answer, a proof
    that fails ends the load at once (load.check_proof), and the progress
    line is redrawn (Backend.tick) unless it is the session that counts."""

    def __init__(self, backend, load, name):
        self.name = name
        self.load = load
        self.backend = backend
        self.sent = 0
        self.answered = 0
        self.buffer = b""
        with open(load.work.path(f"{name}.err"), "wb") as err:
            self.p = load.work.spawn(backend.psql + ["-A", "-t", "-f", "-"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=err)

    def send(self, script):
        self.sent += 1
        try:
            # A file name is bytes: those of a name that is not UTF-8 go as they are.
            self.p.stdin.write(f"{script}\n\\echo zervgen-done {self.sent}\n".encode(
                "utf-8", "surrogateescape"))
            self.p.stdin.flush()
        except OSError:  # psql has ended: answer() says so
            pass

    def answer(self):
        """The output lines of the oldest script not yet answered, or None
        when psql ended before it was done."""
        self.answered += 1
        out = []
        while True:
            line = self.line()
            if line is None:
                return None
            text = line.decode("utf-8", errors="replace")
            if text == f"zervgen-done {self.answered}":
                return out
            out.append(text)

    def line(self):
        """psql's next output line (without its line feed), or None at its
        end; the proof is asked every 50 ms meanwhile."""
        fd = self.p.stdout.fileno()
        while b"\n" not in self.buffer:
            if not select.select([fd], [], [], 0.05)[0]:
                self.load.check_proof()
                if self is not self.backend.counter:
                    self.backend.tick(self.load)
                continue
            data = os.read(fd, 1 << 16)
            if not data:
                line, self.buffer = self.buffer, b""
                return line or None
            self.buffer += data
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line

    def run(self, script):
        self.send(script)
        return self.answer()

    def close(self):
        try:
            self.p.stdin.close()
        except OSError:
            pass
        self.p.stdout.read()
        return self.p.wait()


class Backend:
    target_args = []
    fixed_ok = True
    extra_options = ()
    sqlfile = "postgresql.sql"
    jobs_text = "N concurrent sessions load the N parts."
    usage_intro = """Replaces the tables of the current schema, one per relation as zervgen
-describe names them (SQLFILE, by default postgresql.sql of this package), with
a run's rows, loaded with COPY; adds the primary keys and runs ANALYZE. On any
failure the database stays as it was.
Connection settings come from PGHOST, PGPORT, PGDATABASE, PGUSER, ...
Example: PGDATABASE=bench PROG -d '|' out/zerv"""
    # The proof runs beside the COPY sessions (loader.Load.execute).
    proves_alongside = True

    def setup(self, load):
        self.psql = [os.environ.get("PSQL", "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1"]
        need_client(self.psql[0], "PostgreSQL's client psql", "postgresql-client", "PSQL")
        self.stage_name = f"zervgen_load_{os.getpid()}"
        self.key_memory = os.environ.get("ZERVGEN_KEY_MEMORY", "256MB")
        os.environ["PGAPPNAME"] = self.stage_name
        self.server_reads = {}
        self.sizes = {}  # the size of each file the server is asked about
        self.copiers = []
        self.keyer = None
        self.counter = None  # on a terminal: the session that counts the COPYs' rows
        self.loading = None  # the relation the COPY sessions load, and its parts' rows in
        self.key_out = {}
        self.target = None
        self.swapped = False

    def precheck(self, load):
        """Before the database is touched: a current schema, no object that
        depends on the old tables, and which files the server may read
        itself. The sessions start here, so that their connections are made
        while these run."""
        if load.opts.jobs == 1:
            # Two lanes, each a session that loads and keys whole relations.
            self.copiers = [Session(self, load, f"copy.{k}") for k in (1, 2)]
        else:
            self.copiers = [Session(self, load, f"copy.{k}") for k in range(1, load.opts.jobs + 1)]
            self.keyer = Session(self, load, "key")
        if load.progress.on:
            self.counter = Session(self, load, "count")
        names = ", ".join(f"'{r}'" for r in load.run.relations)
        # Views, foreign keys and other objects on the old tables would make
        # the final DROP fail after all the work. The schema's name goes into
        # SQL quoted (quote_ident), and is compared by name, never parsed
        # again: it may hold capitals or blanks.
        lines = ["SELECT 'schema|' || quote_ident(current_schema());",
                 f"""SELECT DISTINCT 'deps|' || c.relname || ': ' || pg_describe_object(d.classid, d.objid, d.objsubid)
    FROM pg_depend d JOIN pg_class c ON c.oid = d.refobjid
    LEFT JOIN pg_rewrite r ON d.classid = 'pg_rewrite'::regclass AND r.oid = d.objid
    LEFT JOIN pg_constraint k ON d.classid = 'pg_constraint'::regclass AND k.oid = d.objid
    WHERE d.refclassid = 'pg_class'::regclass AND d.deptype = 'n'
      AND c.relnamespace = (SELECT oid FROM pg_namespace WHERE nspname = current_schema())
      AND c.relname IN ({names})
      AND coalesce(r.ev_class, k.conrelid, 0) <> c.oid LIMIT 1;"""]
        probe = []
        if not (load.opts.zervgen or load.opts.fixed or os.environ.get("ZERVGEN_CLIENT_READS", "0") != "0"):
            for rel in load.run.relations:
                for src in load.sources(rel):
                    if (src.command is not None or os.path.getsize(src.path) == 0
                            or not utf8(os.path.realpath(src.path))):
                        continue
                    st = os.stat(src.path)
                    self.sizes[f"{rel} {src.k}"] = st.st_size
                    probe.append(f"SELECT '{rel} {src.k}', {sql_string(os.path.realpath(src.path))},"
                                 f" {st.st_size}, {int(st.st_mtime)}")
        if probe:
            # The server reads a file itself only when it is the same file:
            # same size and time, and readable by the server; a file in a
            # folder the server may not enter is sent by psql. Only asked of
            # a role that may read server files: for another one the
            # functions are not even callable.
            lines.append(f"""SELECT rolsuper OR pg_has_role(current_user, 'pg_read_server_files', 'MEMBER')
    AS zervgen_reads FROM pg_roles WHERE rolname = current_user \\gset
\\if :zervgen_reads
CREATE FUNCTION pg_temp.zervgen_reads(fpath text, fsize bigint, fmtime bigint) RETURNS boolean
  LANGUAGE plpgsql AS $f$
BEGIN
  RETURN coalesce((SELECT s.size = fsize AND extract(epoch FROM s.modification)::bigint = fmtime
                     FROM pg_stat_file(fpath, true) AS s), false)
    AND coalesce(length(pg_read_binary_file(fpath, 0, 1, true)) = 1, false);
EXCEPTION WHEN others THEN
  RETURN false;
END$f$;
SELECT 'probe|' || p.id || '|' || pg_temp.zervgen_reads(p.path, p.size, p.mtime)
    FROM ({' UNION ALL '.join(probe)}) AS p(id, path, size, mtime);
\\endif""")
        out = self.copiers[0].run("\n".join(lines))
        if out is None:
            fail_load(first_error(load.work.path("copy.1.err")))
        for line in out:
            tag, _, rest = line.partition("|")
            if tag == "schema":
                self.target = rest
            elif tag == "deps":
                die(f"{rest} depends on the table; drop it first (nothing was loaded)")
            elif tag == "probe":
                ident, _, ok = rest.rpartition("|")
                if ok == "true":
                    self.server_reads[ident] = True
        if not self.target:
            die("no current schema to load into (check search_path)")

    # ------------------------------------------------------------ scripts

    def copy_script(self, load, rel, src, table=None):
        """The psql lines that load one source of rel into the new table (or
        table) and print its row count."""
        columns = ", ".join(f'"{c["name"]}"' for c in rel.columns)
        delim = "E'\\t'" if load.opts.delim == b"\t" else f"'{load.opts.delim.decode()}'"
        options = f"FORMAT text, DELIMITER {delim}"
        frozen = load.opts.jobs == 1 and table is None  # one session writes the table
        table = table or f"{self.stage_name}.{rel}"
        lines = ["SET datestyle = 'ISO, MDY'; SET synchronous_commit = off;"]
        if frozen:
            lines.append(f"BEGIN; TRUNCATE {table};")
            options += ", FREEZE"
        split = load.opts.fixed
        # A file of the run goes no row or byte past the run's: the server
        # reads it itself only when it has the size the record states.
        bound = bounds.limits(load, src)
        ident = f"{rel} {src.k}"
        if (src.command is None and not split and self.server_reads.get(ident)
                and (bound is None or bound.size == self.sizes.get(ident))):
            lines.append(f"COPY {table} ({columns}) FROM {sql_string(os.path.realpath(src.path))} ({options});")
        elif src.command is None and not split and bound is None:
            lines.append(f"\\copy {table} ({columns}) FROM {sql_string(src.path)} ({options})")
        else:
            shell = src.shell()
            if bound is not None:
                shell = (f"set -o pipefail; {shell} | {quote(sys.executable)} {quote(ROWS_PY)} limit"
                         f" {' '.join(bound.args())} {quote(self.bad_file(load, src))}")
            if split:
                shell = (f"set -o pipefail; {shell} | {quote(sys.executable)} {quote(ROWS_PY)}"
                         f" fixed {rows.fixed_widths(rel.columns)}")
            script = load.work.path(f"{rel}.{src.k}.sh")
            script_file(script, shell + "\n")
            lines.append(f"\\copy {table} ({columns}) FROM PROGRAM {sql_string('bash ' + quote(script))} ({options})")
        lines.append("\\echo zervgen-rows :ROW_COUNT")
        if frozen:
            lines.append("COMMIT;")
        return "\n".join(lines)

    def add_checks(self, load, rel, table, not_valid=False):
        """SQL that gives table the CHECK constraints of rel's table."""
        suffix = " NOT VALID" if not_valid else ""
        return f"""DO $$DECLARE q text; BEGIN
  SELECT string_agg(format('ADD CONSTRAINT %I %s{suffix}', conname, def), ', ') INTO q
    FROM {self.stage_name}.zervgen_checks WHERE rel = '{rel}';
  IF q IS NOT NULL THEN EXECUTE 'ALTER TABLE {table} ' || q; END IF;
END$$;
"""

    def key_script(self, load, rel):
        # The proof (or zervgen itself) makes a scan for the checks
        # redundant: a load whose proof does not prove every file fails.
        not_valid = load.proof is not None or bool(load.opts.zervgen)
        lines = [f"SET maintenance_work_mem = '{self.key_memory}'; SET search_path = {self.stage_name};",
                 "SET client_min_messages = warning; SET synchronous_commit = off;",
                 self.add_checks(load, rel, rel, not_valid=not_valid),
                 load.sql_keys(rel), f"ANALYZE {rel};"]
        if load.opts.check_cols:
            parts = []
            for col in load.run.stat_columns(rel):
                c = col["name"]
                low, high = f'min("{c}")::text', f'max("{c}")::text'
                if col["type"] == "date":  # whatever the session's DateStyle
                    low, high = f"to_char(min(\"{c}\"), 'YYYY-MM-DD')", f"to_char(max(\"{c}\"), 'YYYY-MM-DD')"
                parts.append(f"SELECT 'zervgen-stat', '{rel}', '{c}', {low}, {high},"
                             f' count(DISTINCT "{c}") FROM {rel}')
            lines += ["\\pset fieldsep ' '", "\nUNION ALL ".join(parts) + ";"]
        return "\n".join(lines)

    def run_script(self, load, name, script, **kw):
        script_file(load.work.path(f"{name}.sql"), script)
        out = open(load.work.path(f"{name}.out"), "wb")
        err = open(load.work.path(f"{name}.err"), "wb")
        p = load.work.spawn(self.psql + ["-A", "-t", "-f", load.work.path(f"{name}.sql")],
                       stdin=subprocess.DEVNULL, stdout=out, stderr=err, **kw)
        out.close()
        err.close()
        return p

    # ------------------------------------------------------------ the checks

    def bad_file(self, load, src):
        """Where `rows.py limit` says why src went past the run's rows or bytes."""
        return load.work.path(f"{src.rel}.{src.k}.bad")

    def check_failure(self, load, src):
        try:
            with open(self.bad_file(load, src), encoding="ascii", errors="replace") as f:
                return f"{src.rel}: {src.name}: {f.read().strip()}"
        except FileNotFoundError:
            return None

    # ------------------------------------------------------------ failures

    def copy_failure(self, load, src, name):
        # A stream cut at the run's size says so (it has no field checks,
        # and its decompressor need not end).
        cut = bounds.limits(load, src) is not None and self.check_failure(load, src)
        failed = cut or src.gen_failure() or src.decompress_failure() or self.check_failure(load, src)
        if failed:
            return failed
        with open(load.work.path(f"{name}.err"), encoding="utf-8", errors="replace") as f:
            text = f.read()
        m = re.search(r"ERROR: *(.*)", text)
        error = m.group(1) if m else first_error(load.work.path(f"{name}.err"))
        m = re.search(r"^CONTEXT: +COPY [^,]+, line ([0-9]+)", text, re.M)
        row = f"row {m.group(1)}: " if m else ""
        m = re.search(r'"zervgen-bad: ([^"]*)"', error)
        if m:
            error = m.group(1)
        return f"{src.rel}: {src.name}: {row}{error}"

    def key_failure(self, load, rel, name="key"):
        """Why rel's checks or key failed in the session `name`. A CHECK
        constraint that some row breaks is found again by loading the parts
        into a table that has it, where COPY names the row."""
        err = load.work.path(f"{name}.err")
        with open(err, encoding="utf-8", errors="replace") as f:
            text = f.read()
        if "is violated by some row" in text:
            for src in load.sources(rel):
                script = ("SET client_min_messages = warning;\n"
                          f"CREATE TEMP TABLE zervgen_locate (LIKE {self.stage_name}.{rel});\n"
                          + self.add_checks(load, rel, "zervgen_locate")
                          + self.copy_script(load, rel, src, "zervgen_locate") + "\n")
                if self.run_script(load, "locate", script).wait() != 0:
                    return self.copy_failure(load, src, "locate")
        m = re.search(r"ERROR: *(.*)", text)
        d = re.search(r"^DETAIL: *(.*)", text, re.M)
        return (f"{rel}: {load.sources(rel)[0].name}: {m.group(1) if m else first_error(err)}"
                f" {d.group(1) if d else ''}").rstrip()

    # ------------------------------------------------------------ the load

    def load_relation(self, load, rel):
        """rel's parts through the COPY sessions, one part each; once all
        are in and counted, its checks, key and statistics go to the key
        session."""
        sources = load.sources(rel)
        load.begin_relation(rel)
        for session, src in zip(self.copiers, sources):
            session.send(self.copy_script(load, rel, src))
        total = 0
        self.loading = [rel, 0]
        for session, src in zip(self.copiers, sources):
            out = session.answer()
            if out is None:
                fail_load(self.copy_failure(load, src, session.name))
            for line in out:
                m = re.fullmatch(r"zervgen-rows ([0-9]+)", line)
                if m:
                    total += int(m.group(1))
            self.loading[1] = total
        self.loading = None
        load.loaded_count(rel, total)
        self.keyer.send(self.key_script(load, rel))

    def load_in_lanes(self, load, order):
        """One file or pipe per relation: each COPY session (lane) takes the
        next relation whole, COPYs it and builds its checks, key and
        statistics itself, while the other lane does another. The progress
        line shows the relation begun last, then the one still loading."""
        queue, busy, loading = list(order), {}, []  # busy: lane -> [rel, "copy" or "key"]
        while queue or busy:
            for lane in self.copiers:
                if lane not in busy and queue:
                    rel = queue.pop(0)
                    lane.send(self.copy_script(load, rel, load.sources(rel)[0]))
                    lane.send(self.key_script(load, rel))
                    busy[lane] = [rel, "copy"]
                    loading.append((rel, time.monotonic()))
                    self.show(load, loading[-1])
            lane = self.ready(load, busy)
            rel, step = busy[lane]
            out = lane.answer()
            if out is None:
                self.lane_failed(load, order, busy, lane)
            if step == "key":
                self.key_out[rel.name] = out
                del busy[lane]
                continue
            counts = (re.fullmatch(r"zervgen-rows ([0-9]+)", line) for line in out)
            total = sum(int(m.group(1)) for m in counts if m)
            load.loaded_count(rel, total)  # clears the line
            loading = [entry for entry in loading if entry[0] is not rel]
            self.loading = None
            if loading:  # the other lane's relation
                self.show(load, loading[0])
            busy[lane][1] = "key"

    def lane_failed(self, load, order, busy, lane):
        """Ends the load on the failure of lane's step. The other lane's step
        on a relation that loads before it is awaited first, so that the
        failure told is that of the first relation to fail in the load's
        order, whichever lane found it first."""
        def failure(lane):
            rel, step = busy[lane]
            if step == "key":
                return self.key_failure(load, rel, lane.name)
            return self.copy_failure(load, load.sources(rel)[0], lane.name)
        for other in sorted(busy, key=lambda k: order.index(busy[k][0])):
            if other is lane:
                break
            if other.answer() is None:
                fail_load(failure(other))
        fail_load(failure(lane))

    def show(self, load, entry):
        rel, start = entry  # the progress line of a relation under way since start
        load.progress.begin(rel.name, rel.rows, start)
        self.loading = [rel, 0]

    def ready(self, load, busy):
        """The lane of `busy` that has output to read, once one has; the
        proof is asked every 50 ms meanwhile, the progress redrawn."""
        while True:
            for lane in busy:
                if b"\n" in lane.buffer:
                    return lane
            fds = {lane.p.stdout.fileno(): lane for lane in busy}
            ready = select.select(list(fds), [], [], 0.05)[0]
            if ready:
                return fds[ready[0]]
            load.check_proof()
            self.tick(load)

    def tick(self, load):
        """On a terminal, while a relation loads: its rows so far, those of
        its parts in and those the server's COPYs report
        (pg_stat_progress_copy), asked of the counting session. A server
        that cannot tell (before PostgreSQL 14) ends that session, and the
        line stays as it was."""
        if self.counter is None or self.loading is None or not load.progress.due():
            return
        rel, done = self.loading
        out = self.counter.run(f"""SELECT 'zervgen-copied ' || coalesce(sum(p.tuples_processed), 0)
    FROM pg_stat_progress_copy p JOIN pg_class c ON c.oid = p.relid
    JOIN pg_namespace n ON n.oid = c.relnamespace
    WHERE n.nspname = '{self.stage_name}' AND c.relname = '{rel}';""")
        if out is None:
            self.counter = None
            return
        for line in out:
            m = re.fullmatch(r"zervgen-copied ([0-9]+)", line)
            if m:
                load.progress.rows(done + int(m.group(1)))

    def stage(self, load):
        # A relation of a constant (small) count last: the key build of the
        # last large relation overlaps its load.
        order = sorted(load.run.relations, key=lambda r: r.constant)
        s = self.stage_name
        # Rows that the proof or zervgen itself vouch for go into tables
        # without CHECK constraints: COPY does no more than parse them, and
        # the checks are added afterwards without a scan.
        lines = ["SET client_min_messages = warning;", f"CREATE SCHEMA {s};",
                 f"SET search_path = {s};", load.sql_tables(),
                 f"""CREATE TABLE zervgen_checks AS SELECT c.relname::text AS rel, k.conname::text,
  pg_get_constraintdef(k.oid) AS def FROM pg_constraint k JOIN pg_class c ON c.oid = k.conrelid
  WHERE k.contype = 'c' AND c.relnamespace = '{s}'::regnamespace;"""]
        lines.append("""DO $$DECLARE r record; BEGIN
  FOR r IN SELECT * FROM zervgen_checks LOOP
    EXECUTE format('ALTER TABLE %I DROP CONSTRAINT %I', r.rel, r.conname);
  END LOOP; END$$;""")
        for rel in load.run.relations:
            if rel.fill is None:
                continue
            fill = rel.fill["name"]
            check = f'CHECK ("{fill}" IS NOT NULL AND octet_length("{fill}") = {rel.fill["width"]})'
            lines.append(f"INSERT INTO zervgen_checks VALUES ('{rel}', 'zervgen_fill_width', '{check}');")
        lines.append("RESET search_path;")
        if self.copiers[0].run("\n".join(lines)) is None:
            fail_load(first_error(load.work.path("copy.1.err")))
        if self.keyer is None:
            self.load_in_lanes(load, order)
        else:
            for rel in order:
                self.load_relation(load, rel)
        for session in self.copiers:
            session.close()
        if self.counter is not None:
            self.counter.close()
            self.counter = None
        for rel in order if self.keyer is not None else ():
            out = self.keyer.answer()
            if out is None:
                fail_load(self.key_failure(load, rel))
            self.key_out[rel.name] = out

    def proof_ended(self, load):
        """The proof has proven every file: the CHECK constraints, added NOT
        VALID, hold without a scan."""
        if self.keyer is not None:
            self.keyer.close()

    def columns(self, load):
        out = []
        for rel in load.run.relations:
            for line in self.key_out[rel.name]:
                w = line.split()
                if len(w) == 6 and w[0] == "zervgen-stat":
                    out.append(tuple(w[1:]))
        return out

    def swap(self, load):
        """One transaction drops the old tables and moves the new ones in. psql
        runs in a session of its own, so that an interrupt of the loader's
        process group does not cancel it half-way; the loader asks afterwards
        whether it committed, unless psql says so itself."""
        if self.keyer is not None:
            self.keyer.close()
        s = self.stage_name
        lines = ["SET client_min_messages = warning;", "BEGIN;", f"SET LOCAL search_path = {s};"]
        lines += [f"ALTER TABLE {rel} DROP CONSTRAINT zervgen_fill_width;"
                  for rel in load.run.relations if rel.fill is not None]
        lines.append("DROP TABLE IF EXISTS " + ", ".join(f"{self.target}.{r}" for r in load.run.relations) + ";")
        lines += [f"ALTER TABLE {rel} SET SCHEMA {self.target};" for rel in load.run.relations]
        lines += ["DROP TABLE zervgen_checks;", f"DROP SCHEMA {s};", "COMMIT;"]
        os.environ["PGAPPNAME"] = f"{s}_swap"
        p = self.run_script(load, "swap", "\n".join(lines) + "\n", start_new_session=True)
        os.environ["PGAPPNAME"] = s
        if p.wait() == 0:
            # psql ran every line, COMMIT included, without an error.
            self.swapped = True
            return None
        return first_error(load.work.path("swap.err"))

    def swap_done(self, load):
        """Once no session of the swap is left, the new tables are in place
        exactly when their schema is gone."""
        if self.swapped:
            return True
        s = self.stage_name
        ask_cmd = self.psql + ["-A", "-t", "-c"]
        for _ in range(6000):
            answer = ask(ask_cmd + [f"SELECT count(*) FROM pg_stat_activity WHERE application_name = '{s}_swap'"])
            if answer is None:
                return False
            if answer == "0":
                break
            time.sleep(0.1)
        return ask(ask_cmd + [f"SELECT count(*) FROM pg_namespace WHERE nspname = '{s}'"]) == "0"

    def cleanup(self, load):
        if self.swapped:
            return  # the swap dropped the schema; every session has ended
        s = self.stage_name
        subprocess.run(self.psql + ["-c", f"""SELECT pg_terminate_backend(pid) FROM pg_stat_activity
    WHERE application_name = '{s}' AND pid <> pg_backend_pid()"""], capture_output=True)
        subprocess.run(self.psql + ["-c", "SET client_min_messages = warning",
                                    "-c", f"DROP SCHEMA IF EXISTS {s} CASCADE"], capture_output=True)
