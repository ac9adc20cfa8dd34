"""interrupt_states.py: a load interrupted in a state it is known to be in.

The loader reads its rows from a zervgen (-g) that stalls: a script that
answers -describe as zervgen does, and for a run writes the first rows of
its relation, marks in a file of its own that it has, and then writes
nothing more, its output open, until it is ended. Once the mark is there
and the database shows the staging tables (PostgreSQL's schema, MariaDB's
database), the load is past making its new tables and inside the load of a
relation (COPY, LOAD DATA, INSERT), and stays there for as long as the
check takes. Each database is then interrupted there by SIGINT to the
loader's process group, SIGTERM to the loader and SIGHUP to it: each must
end with the signal's status and its one line, the tables as they were,
and no staging schema or database or work folder left.
"""

import os
import shlex
import signal
import subprocess

import harness
from broken_inputs import fingerprint
from databases import leftovers

STALLING = """#!/bin/sh
for a in "$@"; do [ "$a" = -describe ] && exec {real} "$@"; done
{real} "$@" | head -n 20
: > {marks}/stalled.$$
exec sleep 600
"""

# (how, the signal, whom it is sent to)
INTERRUPTS = [("SIGINT to the group", signal.SIGINT, "group"),
              ("SIGTERM to the loader", signal.SIGTERM, "loader"),
              ("SIGHUP to the loader", signal.SIGHUP, "loader")]


def stalling_zervgen(zervgen, folder):
    """The stalling zervgen in folder, and the folder of its marks."""
    marks = os.path.join(folder, "marks")
    os.makedirs(marks)
    path = os.path.join(folder, "zervgen-stalls")
    with open(path, "w", encoding="utf-8") as f:
        f.write(STALLING.format(real=shlex.quote(zervgen), marks=shlex.quote(marks)))
    os.chmod(path, 0o755)
    return path, marks


def end_stalled(marks):
    """Ends the stalled zervgens a loader that was only signalled itself
    leaves behind (each mark is named by its process)."""
    for mark in os.listdir(marks):
        try:
            os.kill(int(mark.split(".")[1]), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
        os.remove(os.path.join(marks, mark))


def check_interrupt_states(res, dbs, zervgen, folder):
    os.makedirs(folder)
    stalls, marks = stalling_zervgen(zervgen, folder)
    tmp = os.path.join(folder, "tmp")
    os.makedirs(tmp)
    env = dict(os.environ, TMPDIR=tmp)
    for db in dbs:
        before = fingerprint(db)
        # SQLite stages in the database file itself, in one transaction.
        staged = (lambda: True) if db.name == "sqlite" else (lambda: leftovers(db))
        for how, signum, whom in INTERRUPTS:
            where = f"{db.name}, {how} while a relation loads"
            proc = subprocess.Popen(db.load_command(["-g", stalls, "-n", "2000"]),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                    start_new_session=True, text=True, errors="replace")
            try:
                harness.wait_until(lambda: os.listdir(marks) and staged() or proc.poll() is not None,
                                   "the load's first rows")
                if not res.check(proc.poll() is None, where, "the load ended before its rows came"):
                    continue
                if whom == "group":
                    os.killpg(proc.pid, signum)
                else:
                    proc.send_signal(signum)
                try:
                    _, err = proc.communicate(timeout=600)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    _, err = proc.communicate()
                    res.check(False, where, "the load did not end")
                    continue
                harness.ended(res, where, proc.returncode, err, 128 + signum,
                              "the tables are as they were")
                res.check(fingerprint(db) == before, where, "the tables changed")
                left = leftovers(db) + os.listdir(tmp)
                res.check(not left, where, f"left behind: {left}")
            finally:
                if proc.poll() is None:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.communicate()
                end_stalled(marks)
