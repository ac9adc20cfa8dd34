"""loader.py: one load of a run into a database, from its command line to
its count lines.

Load.execute reads the options (loadopts.py), learns the run and checks
its files (records.py), proves every file by `zervgen -verify`, has the
backend (common.py says what it implements) stage the new tables beside
the old ones, checks the loaded counts (and with -c the columns) against
the run, and has the backend swap the tables in one step. The run is the
one its record names (a manifest, or a report), or for files without one
the run the files themselves show (inferred.py): a load loads only files
that zervgen proves exactly the run's, and a proof that cannot be made ends
the load, saying why. Compressed files (zervgen -compress) load through
the decompressor -describe's compress_codecs names, proven with the run's
-compress.

Work holds the work folder and the children, which the cleanup ends and
removes, and holds an ending signal back while a child is being made.
"""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

from . import cli, interface, loadopts
from .common import KEY_LINE, die, fail_load, quote
from .progress import Progress
from .records import Run, plural
from .sources import Source

ENDING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class SignalEnd(Exception):
    pass


def raise_interrupted(state):
    from_signal = state["signalled"]
    for s in ENDING_SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    raise SignalEnd(from_signal)


class Work:
    """The load's work folder (its files named with path) and its child
    processes (spawn), which end() ends and removes."""

    def __init__(self, state):
        self.state = state
        self.folder = None
        self.procs = []

    def make(self):
        with self.critical():
            self.folder = tempfile.mkdtemp(prefix="zervgen-load.",
                                           dir=os.environ.get("TMPDIR") or None)

    def path(self, name):
        return os.path.join(self.folder, name)

    def spawn(self, cmd, **kw):
        """A child process, ended by the cleanup if the load ends first."""
        with self.critical():
            p = subprocess.Popen(cmd, **kw)
            self.procs.append(p)
        return p

    @contextlib.contextmanager
    def critical(self):
        """A signal that comes while the block makes and records a child or
        the work folder ends the load only once the block is done, so that
        the cleanup knows what to end and remove."""
        self.state["critical"] = True
        try:
            yield
        finally:
            self.state["critical"] = False
        if self.state["signalled"] and not self.state["holding"]:
            raise_interrupted(self.state)

    def end_children(self):
        for p in self.procs:
            if p.poll() is None:
                try:
                    p.kill()
                except OSError:
                    pass
        for p in self.procs:
            try:
                p.wait()
            except OSError:
                pass
        self.procs = []


class Load:
    """One load: the backend db, the program's name prog (for messages),
    the signal state the entry script shares, the folder of the table
    scripts; opts, run and work once set up (see common.py)."""

    def __init__(self, backend, prog, state, sql_dir):
        self.db = backend
        self.prog = prog
        self.state = state
        self.sql_dir = sql_dir
        self.opts = None
        self.sql_text = None  # the table script, read once (it may be a pipe)
        self.run = None
        self.work = Work(state)
        self.loaded = {}
        self.proof = None  # its -verify process while it runs
        self.proof_files = ()  # its standard output and error
        self.swapped = False
        self.progress = Progress()  # the line on a terminal (progress.py)

    def setup(self, argv):
        """The command line read and checked, the zervgen found, the
        backend set up: a usage error ends the loader with status 2."""
        self.opts = loadopts.parse(self.db, self.prog, argv, self.sql_dir)
        loadopts.check_files(self.opts)
        self.sql_text = loadopts.read_sqlfile(self.opts)
        loadopts.find_zervgen(self.opts, os.path.dirname(os.path.realpath(sys.argv[0])))
        self.run = Run(self.opts)
        self.db.setup(self)

    def sources(self, rel):
        """rel's parts, 1..jobs: its files (compressed ones through their
        decompressor), or zervgen pipes (the commands' messages to
        work/REL.K.err)."""
        o, run = self.opts, self.run
        if not o.zervgen:
            if run.compress:
                return [Source(rel, k, path=path, command=run.decompressor(path),
                               err=self.work.path(f"{rel}.{k}.err"))
                        for k, path in enumerate(rel.files, 1)]
            return [Source(rel, k, path=rel.files[k - 1]) for k in range(1, o.jobs + 1)]
        return [Source(rel, k, command=[o.zervgen] + self.run.gen_additions(rel, k) + o.gen_args,
                       err=self.work.path(f"{rel}.{k}.err"), name=f"{o.zervgen} {rel.option}")
                for k in range(1, o.jobs + 1)]

    def sql_tables(self):
        """The table script without its keys; for a run of some relations
        only theirs: the other tables are left as they are."""
        lines = [line for line in self.sql_lines() if not KEY_LINE.match(line)]
        names = {r.name for r in self.run.relations}
        every = self.run.every_relation
        if names == set(every):
            return "".join(lines)
        out, skipping = [], False
        for line in lines:
            drop = re.match(r"DROP TABLE IF EXISTS (.*);", line)
            create = re.match(r"CREATE TABLE (\w+) ", line)
            if drop:
                kept = [t for t in re.split(r",\s*", drop.group(1)) if t in names]
                if kept:
                    out.append(f"DROP TABLE IF EXISTS {', '.join(kept)};\n")
                continue
            if create:
                skipping = create.group(1) in every and create.group(1) not in names
            if not skipping:
                out.append(line)
            if skipping and line.rstrip().endswith(";"):
                skipping = False
        return "".join(out)

    def sql_keys(self, rel=None):
        keys = [line for line in self.sql_lines() if KEY_LINE.match(line)]
        if rel is not None:
            keys = [k for k in keys if k.startswith(f"ALTER TABLE {rel} ")
                    or re.match(rf"CREATE UNIQUE INDEX .* ON {rel} ", k)]
        return "".join(keys)

    def sql_lines(self):
        return self.sql_text.splitlines(True)

    # ------------------------------------------------------------ the proof

    def prove(self):
        """Every file proven exactly the run's (see start_proof), before the
        database is touched."""
        self.start_proof()
        self.await_proof()

    def start_proof(self):
        """Starts `zervgen PROOF_ARGS [RELATIONS] -f PREFIX [-parts N]
        -verify -json`, PROOF_ARGS the run's (-describe's proof_args: its
        data_args and -compress), which proves every file exactly the
        run's; await_proof reads its answer."""
        run = self.run
        commands = run.proof_commands(self.opts.zexe)
        if len(commands) > 1:  # one after another, up to the first that fails
            commands = [["sh", "-c", " && ".join(" ".join(quote(a) for a in c)
                                                for c in commands)]]
        # Its answers go to files, read while it runs (check_proof): a
        # file that is not the run's stops the load at once.
        # In the work folder: without a folder named, Python would first
        # probe $TMPDIR with a file of its own, made and removed in two
        # steps, which a signal between them would leave there.
        self.proof_files = tuple(tempfile.TemporaryFile(dir=self.work.folder) for _ in "oe")
        self.proof = self.work.spawn(commands[0], stdout=self.proof_files[0],
                                     stderr=self.proof_files[1])

    def proof_said(self, name):
        """What the proof has written so far to its standard output ("out")
        or error ("err"); read where it is, the proof's offset untouched."""
        fd = self.proof_files[name == "err"].fileno()
        return os.pread(fd, os.fstat(fd).st_size, 0)

    def check_proof(self):
        """While the proof runs: a file it has found not the run's, or its
        failure, ends the load at once in its words (the cleanup ends
        whatever still copies). A proof that has not failed changes
        nothing."""
        p = self.proof
        if p is None:
            return
        for f in interface.verify_objects(self.proof_said("out")):
            if not f["ok"]:
                self.refuse_file(f)
        if p.poll() is not None and p.returncode != 0:
            self.await_proof()

    @staticmethod
    def refuse_file(f):
        die(f"{f['relation']}: {f['path']}: not the file the run wrote:"
            f" {f['detail'] or f['failure']} (nothing was loaded)")

    def await_proof(self):
        """Waits for the proof. A file that is not the run's ends the load
        as soon as the proof says so; so does a proof that could not be
        made: proven is then never assumed."""
        if self.proof is None:
            return
        p, run, zexe = self.proof, self.run, self.opts.zexe
        while p.poll() is None:
            try:
                p.wait(0.05)
            except subprocess.TimeoutExpired:
                self.check_proof()
        self.proof = None
        status, files, said = interface.read_verify(p.returncode, self.proof_said("out"),
                                                    self.proof_said("err"))
        for f in self.proof_files:
            f.close()
        for f in files:
            if not f["ok"]:
                self.refuse_file(f)
        if status != 0:
            die(f"cannot prove the files with {zexe} -verify: {said}" + run.record.give)
        want = {(r.name, path) for r in run.relations for path in r.files}
        got = {(f["relation"], f["path"]) for f in files if f["ok"]}
        if got != want:
            die(f"cannot prove the files with {zexe} -verify: it proved {len(got & want)}"
                f" of the {len(want)} files" + run.record.give)
        run.proven = True

    # ------------------------------------------------------------ counts

    def begin_relation(self, rel):
        """rel starts loading: its progress line (on a terminal), of the
        rows it must have."""
        self.progress.begin(rel.name, rel.rows)

    def loaded_count(self, rel, n):
        """rel's loaded row count against the run's. Called as soon as rel
        is in, before its key is built."""
        self.progress.end()
        self.loaded[rel.name] = n
        sources = self.sources(rel)
        for src in sources:
            failed = src.gen_failure()
            if failed:
                fail_load(failed)
        name, record = sources[0].name, self.run.record
        if n != rel.rows:
            fail_load(f"{rel}: {name} has {plural(n, 'row')}, {record.name} says"
                      f" {rel.rows} (a cut file, or another run's?)")

    def check_columns(self, stats):
        """The new tables' column figures against the run's; numbers
        compare as numbers, dates as YYYY-MM-DD. The first difference ends
        the load."""
        def same(got, want):
            if isinstance(want, str):
                return str(got) == want
            try:
                return float(got) == float(want)
            except (TypeError, ValueError):
                return False
        run = self.run
        figures = {}
        for rel in run.relations:
            columns = run.record.figures(rel) or rel.columns
            for c in run.stat_columns(rel):
                figures[(rel.name, c["name"])] = interface.column({"columns": columns}, c["name"])
        done = set()
        for rel, col, low, high, distinct in stats:
            want = figures.get((rel, col))
            if want is None:
                fail_load(f"{rel}: the run has no column {col}")
            if not (same(low, want["min"]) and same(high, want["max"])
                    and str(distinct) == str(want["distinct"])):
                fail_load(f"{rel}: column {col} holds {low} .. {high} with {distinct} distinct"
                          f" {'value' if str(distinct) == '1' else 'values'}, {run.record.name}"
                          f" says {want['min']} .. {want['max']} with {want['distinct']}")
            done.add((rel, col))
        for rel, col in figures:
            if (rel, col) not in done:
                fail_load(f"{rel} {col}: not checked")

    def count_lines(self):
        """One line per relation: the rows loaded, and what they were
        checked against; then the tables replaced (and those left as they
        were)."""
        run, lines = self.run, []
        for rel in run.relations:
            against = f"as {run.record.name} says"
            if self.opts.check_cols:
                against += (", and its minimum, maximum and distinct values of"
                            f" {plural(len(run.stat_columns(rel)), 'column')}")
            if run.proven:
                against += "; every file proven by zervgen -verify"
            n = self.loaded[rel.name]
            lines.append(f"{rel.name:<8} {n:>10} {'row' if n == 1 else 'rows'}: {against}")
        replaced = ", ".join(r.name for r in run.relations if r.name in self.loaded)
        others = [name for name in run.every_relation if name not in self.loaded]
        if others:
            lines.append(f"replaced the tables {replaced}; left {', '.join(others)}"
                         f" as they were ({run.record.name} names no other relation)")
        else:
            lines.append(f"replaced the tables {replaced}")
        return lines

    # ------------------------------------------------------------ the load

    def execute(self, argv):
        self.setup(argv)
        run, opts, db = self.run, self.opts, self.db
        if opts.zervgen:
            run.describe_generator()
        else:
            run.find_record()
            run.check_files()
        self.work.make()
        if not opts.zervgen:
            if getattr(db, "proves_alongside", False):
                self.start_proof()
            else:
                self.prove()
        try:
            db.precheck(self)
            db.stage(self)
        except cli.Failure:
            # A file that is not the run's fails the load in the proof's
            # words, which name the fault exactly, whatever else failed
            # while it ran.
            self.await_proof()
            raise
        if self.proof is not None:
            self.await_proof()
            db.proof_ended(self)
        stats = db.columns(self) if opts.check_cols else None
        if stats is not None:
            self.check_columns(stats)
        # From here an ending signal waits for the database's answer: the
        # swap either happened (status 0) or did not (the old tables, status 1
        # or the signal's).
        self.state["holding"] = True
        failure = db.swap(self)
        if not db.swap_done(self):
            if self.state["signalled"]:
                raise_interrupted(self.state)
            fail_load(failure or "the swap did not happen")
        self.swapped = True

    def finish(self):
        """Ends every child and removes the new tables and the work folder;
        may run more than once."""
        self.progress.end()
        for s in ENDING_SIGNALS:
            signal.signal(s, signal.SIG_IGN)
        self.work.end_children()
        if self.work.folder:
            try:
                self.db.cleanup(self)  # after a swap: what the swap left
            except Exception:  # the cleanup's own failure changes nothing
                pass
            shutil.rmtree(self.work.folder, ignore_errors=True)
            self.work.folder = None


def main(argv, state, interrupted, sql_dir):
    """The loader's status (cli.py): 0 loaded, 1 failed with the tables as
    they were, 2 a usage error, 128+N an ending signal."""
    try:
        name, prog, args = loadopts.database(argv)
    except SystemExit as e:
        return e.code
    module = __import__(f"zervgen_tools.{name}", fromlist=["Backend"])
    load = Load(module.Backend(), prog, state, sql_dir)
    status = cli.DONE
    try:
        try:
            load.execute(args)
        finally:
            if not load.swapped:
                load.finish()
        load.finish()
        try:
            print("\n".join(load.count_lines()))
            sys.stdout.flush()
        except OSError:
            # The tables are in: a reader that went away changes nothing.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except cli.Failure as e:
        cli.say(prog, str(e))
        status = e.status
    except (interrupted, SignalEnd):
        load.finish()
        status = {"INT": 130, "TERM": 143}.get(state["signalled"], 129)
        sys.stderr.write(f"{prog}: interrupted by SIG{state['signalled']},"
                         " the tables are as they were\n")
    except SystemExit as e:
        load.finish()
        status = e.code
    except OSError as e:  # a program or file that could not be opened
        load.finish()
        cli.say(prog, f"loading failed, the tables are as they were: {e}")
        status = cli.FAILED
    return status
