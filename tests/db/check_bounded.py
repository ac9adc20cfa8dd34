"""check_bounded.py ZERVGEN WORK: what a load copies of a file that is not
the run's, and file names that are not UTF-8 (run by .ci/db-tests, with
its servers).

Bounded: a compressed run with its manifest, whose hundred file is the
run's but decompresses (through a zstd put first on the PATH) to the run's
text followed by 200,000 more valid rows. Every loader must stop at the
run's 2000 rows: status 1, one line saying so, the tables as they were,
no staging left, and the decompressor cut off long before its end.

Stalled: the same run with a hundred file whose first row differs: the
proof fails at once, while its decompression stalls after one row. Every
loader must end at once in the proof's words, the decompression still
stalled.

Odd names: the run's files in a folder whose name is the bytes \\xff\\xfe,
loaded by every loader with the manifest, and without a record, by
PostgreSQL's server, and through psql (ZERVGEN_CLIENT_READS=1).
"""

import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
import harness  # noqa: E402
from broken_inputs import fingerprint  # noqa: E402
from databases import Mariadb, Postgres, Sqlite, leftovers, run  # noqa: E402

EXTRA = 200000

# A zstd that decompresses as the real one, except the file named in
# STUB_FILE: "endless" adds EXTRA copies of its last row, counting them in
# STUB_LOG; "stall" writes its first row and waits for STUB_GO (a minute at
# most), marking STUB_LOG when it goes on.
STUB = """#!/usr/bin/env python3
import os, subprocess, sys, time
REAL = {real!r}
if not sys.argv[-1].endswith(os.environ.get("STUB_FILE", "-")):
    os.execv(REAL, [REAL] + sys.argv[1:])
text = subprocess.run([REAL] + sys.argv[1:], stdout=subprocess.PIPE, check=True).stdout
out, log = sys.stdout.buffer, os.environ["STUB_LOG"]
try:
    if os.environ["STUB_MODE"] == "endless":
        out.write(text)
        last = text.splitlines(True)[-1]
        for n in range(1, {extra} + 1):
            out.write(last)
            if n % 1000 == 0:
                with open(log, "w") as f:
                    f.write(str(n))
    else:
        first, rest = text.split(b"\\n", 1)
        out.write(first + b"\\n")
        out.flush()
        end = time.time() + 60
        while not os.path.exists(os.environ["STUB_GO"]) and time.time() < end:
            time.sleep(0.1)
        open(log, "w").close()
        out.write(rest)
    out.flush()
except BrokenPipeError:
    pass
os._exit(0)
"""


def zstd_stub(work):
    folder = os.path.join(work, "stub-bin")
    os.makedirs(folder)
    path = os.path.join(folder, "zstd")
    with open(path, "w") as f:
        f.write(STUB.format(real=shutil.which("zstd"), extra=EXTRA))
    os.chmod(path, 0o755)
    return folder


def make_run(zervgen, folder, *args):
    os.makedirs(folder)
    subprocess.run([zervgen, "-n", "2000", "-manifest", "zerv.manifest"] + list(args),
                   cwd=folder, check=True, capture_output=True)
    return os.path.join(folder, "zerv")


def refused(res, db, where, p, says, before):
    """Status 1, one line with `says`, the tables as they were, no staging."""
    harness.ended(res, where, p.returncode, p.stderr, 1, says)
    res.check(fingerprint(db) == before, where, "the tables as they were")
    res.check(not (left := leftovers(db)), where, f"left behind: {left}")


def check_bounded(res, dbs, zervgen, work, stub):
    prefix = make_run(zervgen, os.path.join(work, "bounded"), "-compress", "zstd")
    log = os.path.join(work, "extra-rows")
    env = dict(os.environ, PATH=stub + os.pathsep + os.environ["PATH"], STUB_MODE="endless",
               STUB_FILE="zerv.hun.zst", STUB_LOG=log)
    for db in dbs:
        where = f"{db.name}, the run's text and {EXTRA} more rows"
        with open(log, "w") as f:
            f.write("0")
        before = fingerprint(db)
        p = run(db.load_command([prefix]), env=env)
        refused(res, db, where, p, "/zerv.hun.zst: more than the run's 2000 rows (nothing past them"
                " was loaded)", before)
        with open(log) as f:
            copied = int(f.read() or 0)
        res.check(copied < EXTRA // 4, where, f"the decompression went on: {copied} more rows")


def check_stalled(res, dbs, zervgen, work, stub):
    prefix = make_run(zervgen, os.path.join(work, "stalled"), "-compress", "zstd")
    text = subprocess.run(["zstd", "-dcq", prefix + ".hun.zst"], check=True,
                          capture_output=True).stdout
    first, rest = text.split(b"\n", 1)
    fields = first.split(b",")
    fields[2] = b"1" if fields[2] != b"1" else b"2"
    subprocess.run(["zstd", "-qf", "-o", prefix + ".hun.zst"], input=b",".join(fields) + b"\n" + rest,
                   check=True)
    log, go = os.path.join(work, "resumed"), os.path.join(work, "go")
    env = dict(os.environ, PATH=stub + os.pathsep + os.environ["PATH"], STUB_MODE="stall",
               STUB_FILE="zerv.hun.zst", STUB_LOG=log, STUB_GO=go)
    for db in dbs:
        where = f"{db.name}, a proof that fails while the copy stalls"
        for path in (log, go):
            if os.path.exists(path):
                os.remove(path)
        before = fingerprint(db)
        p = run(db.load_command([prefix]), env=env)
        stalled = not os.path.exists(log)
        open(go, "w").close()  # lets a stub that is left go and end
        refused(res, db, where, p, "/zerv.hun.zst: not the file the run wrote: row 1 differs",
                before)
        res.check(stalled, where, "the load waited for the copy after the proof had failed")
        time.sleep(0.5)


def check_odd_names(res, dbs, zervgen, work):
    folder = os.path.join(os.fsencode(work), b"\xff\xfe")
    prefix = os.fsdecode(make_run(zervgen, os.fsdecode(folder), "-r"))
    bare = os.fsdecode(os.path.join(folder, b"bare"))
    os.makedirs(bare)
    for name in os.listdir(os.path.dirname(prefix)):
        if name.startswith("zerv.") and not name.endswith((".manifest", ".rpt")):
            shutil.copy(os.path.join(os.path.dirname(prefix), name), bare)
    cases = [(db, [path], {}) for db in dbs for path in (prefix, os.path.join(bare, "zerv"))] + [
        (dbs[0], [prefix], {"ZERVGEN_CLIENT_READS": "1"}),
        (dbs[0], [os.path.join(bare, "zerv")], {"ZERVGEN_CLIENT_READS": "1"})]
    for db, args, env in cases:
        where = f"{db.name}, a folder named \\xff\\xfe {'with' if args[0] == prefix else 'without'}" \
            f" a record {env}"
        p = run(db.load_command(args), env=dict(os.environ, **env))
        res.check(p.returncode == 0 and p.stderr == "", where,
                  f"exited {p.returncode}: {p.stderr.strip()}")
        res.check(db.query("SELECT count(*) FROM hundred") == [("2000",)], where, "2000 rows loaded")


def main():
    zervgen, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(work)
    res = harness.Results("check_bounded")
    dbs = [Postgres(), Sqlite(os.path.join(work, "bounded.db")),
           Mariadb(os.environ.get("ZERVGEN_MARIADB", "zervtest"))]
    plain = make_run(zervgen, os.path.join(work, "plain"))
    for db in dbs:
        res.check(db.load([plain]).returncode == 0, db.name, "the load before the checks")
    stub = zstd_stub(work)
    check_bounded(res, dbs, zervgen, work, stub)
    check_stalled(res, dbs, zervgen, work, stub)
    check_odd_names(res, dbs, zervgen, work)
    return res.summary()


if __name__ == "__main__":
    sys.exit(main())
