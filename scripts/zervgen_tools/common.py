"""common.py: what a database backend of zervgen-load implements, and the
helpers the backends share.

A backend is a module of this package, named as the database on the
command line (zervgen-load DATABASE), that defines a class Backend with
these members. For its command line (loadopts.py):

    sqlfile          the table script's name in the package's sql folder
    target_args      its operands before PREFIX, as (NAME, help) pairs
                     (e.g. [("DATABASE", "the database file")]), which
                     the loader hands it as load.opts.targets
    fixed_ok         it loads fixed-format files (-d fixed)
    extra_options    its own options, as (flag, METAVAR, dest, help): each
                     may be given more than once; load.opts.DEST is the list
    usage_intro      what it does, for --help (PROG stands for the program)
    jobs_text        what -j N does in it, for --help
    proves_alongside (optional) the proof of the files runs while it stages

and for the load, which loader.Load.execute calls in this order:

    setup(load)          the options are read (load.opts): find the client
                         (a missing one: need_client, a usage error);
    precheck(load)       the database can take the load (nothing loaded yet);
    stage(load)          loads every relation of load.run.relations beside
                         the old tables, keyed and analyzed, calling
                         load.loaded_count(REL, N) as soon as each one's
                         rows are in;
    proof_ended(load)    (with proves_alongside) the proof has proven every
                         file;
    columns(load)        (with -c) "REL COLUMN MIN MAX DISTINCT" tuples of
                         the new tables' columns load.run.stat_columns(REL)
                         (dates as YYYY-MM-DD);
    swap(load)           puts the new tables in the place of the old ones in
                         one step; runs while the ending signals are held;
                         returns a failure text or None;
    swap_done(load)      true when the database holds the new tables (asked
                         after swap ended, whichever way);
    cleanup(load)        removes what is left of the new tables (any ending).

What a backend reads of the load:

    load.opts            the command line (loadopts.Options): delim,
                         delim_word, fixed, jobs, check_cols, zervgen (-g:
                         rows piped from zervgen), targets, its own options
    load.run             the run (records.Run): relations, relation(NAME),
                         stat_columns(REL), proven (every file proven)
    load.proof           the proof's process while it runs beside the load
    load.work            the work folder and the children: path(NAME),
                         spawn(COMMAND, ...) (ended by the cleanup)
    load.sources(REL)    REL's parts (sources.Source: a file, a zervgen pipe,
                         or a compressed file: its path, and its command
                         that decompresses it)
    load.sql_tables(), load.sql_keys(REL)   the table script's lines
    load.begin_relation(REL), load.progress
                         the progress line on a terminal (progress.py):
                         begin_relation as REL starts loading, then
                         progress.rows(N) or progress.read(BYTES, SIZE) as
                         often as is cheap (it draws at most every 0.25 s;
                         progress.on false: no terminal, count nothing);
                         loaded_count clears it

A load either replaces all the tables or leaves the database as it was, and
its status says which (cli.py): 0 only after the database shows the new
tables; 1 (cli.Failure: die, fail_load) the load failed and the tables are
as they were; 2 (cli.UsageError: refuse, need_client) the command line is
wrong or a program it needs is missing, and nothing was done.
"""

import re
import shutil
import subprocess
import time

from .cli import Failure, UsageError


def die(text):
    """Ends the load with status 1 and `text`: the tables are as they were."""
    raise Failure(text)


def fail_load(text):
    """Ends a load that has begun with status 1, saying the tables are as
    they were."""
    raise Failure(f"loading failed, the tables are as they were: {text}")


def refuse(text):
    """Ends the load with status 2: a usage error, nothing was done."""
    raise UsageError(text)


def need_client(program, what, package, variable):
    """Ends the load before anything is done when the database's client
    `program` is not on the path, saying what to install or set."""
    if shutil.which(program) is None:
        refuse(f"'{program}' not found: this loader needs {what} (Debian's {package}),"
               f" or its path in {variable}")


def quote(word):
    """word quoted for any POSIX shell."""
    return "'" + word.replace("'", "'\\''") + "'"


KEY_LINE = re.compile(r"^(ALTER TABLE .* ADD PRIMARY KEY|CREATE UNIQUE INDEX )")


def ask(cmd, env=None):
    """The output of a database query, tried again while it fails (an
    interrupt can end a client before its answer) for up to a minute."""
    for _ in range(600):
        p = subprocess.run(cmd, capture_output=True, env=env)
        if p.returncode == 0:
            return p.stdout.decode("utf-8", errors="replace").strip()
        time.sleep(0.1)
    return None


def first_error(path):
    """The first line of a client's messages that says what went wrong."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    for line in lines:
        if re.search("ERROR|Error|error", line):
            return line
    return lines[0] if lines else "the database client ended without a message (interrupted?)"
