"""check_progress.py ZERVGEN WORK: the progress line of PostgreSQL and MariaDB
loads (run by .ci/db-tests, with its servers; SQLite's is checked by
tests/tools/check_load_cli.py).

A run of 20,000 rows with its manifest, loaded with standard error on a
pseudo-terminal: status 0, the standard output of the same load without a
terminal (which writes nothing on standard error), every text drawn a
progress line of the manifest's counts (counted by PostgreSQL, estimated
from the bytes read by MariaDB, which says "about"), and the last line
cleared. PostgreSQL draws one for every relation, MariaDB for those it
sees being read (none, on a fast machine). How far a count gets before a relation is in depends on
the machine's speed, so no count past 0 is required: only that every count
drawn is one of the manifest's.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))
import harness  # noqa: E402
from databases import Mariadb, Postgres, leftovers, run  # noqa: E402

ROWS = 20000
ALL = "replaced the tables hundred, tenpcnt, tiny, uniques, updates"


def main():
    zervgen, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(work)
    res = harness.Results("check_progress")
    subprocess.run([zervgen, "-n", str(ROWS), "-manifest", "zerv.manifest"], cwd=work,
                   check=True, capture_output=True)
    prefix = os.path.join(work, "zerv")
    for db in (Postgres(), Mariadb(os.environ.get("ZERVGEN_MARIADB", "zervtest"))):
        where = f"{db.name}, a load on a terminal"
        plain = run(db.load_command([prefix]))
        status, out, said = harness.run_on_terminal(db.load_command([prefix]))
        res.check(plain.returncode == 0 and plain.stderr == "", where,
                  f"without a terminal: status {plain.returncode}, {plain.stderr[:300]!r}")
        res.check(status == 0 and out == plain.stdout and out.endswith(f"\n{ALL}\n"), where,
                  f"status {status}, standard output {out[-300:]!r}, not {plain.stdout[-300:]!r}")
        shown, cleared = harness.progress_lines(said)
        res.check(all(shown), where, f"not progress lines: {said[:400]!r}")
        found = [m for m in shown if m]
        names = sorted({m.group(1) for m in found})
        want = ["hundred", "tenpcnt", "tiny", "uniques", "updates"]
        # MariaDB's client loads every relation in one script: a line is
        # drawn for the relations the loader sees being read, as many as the
        # machine's speed lets it see.
        res.check(names == want if db.name == "postgresql" else set(names) <= set(want), where,
                  f"progress lines of {names}")
        res.check(all(m.group(4) == ("1" if m.group(1) == "tiny" else str(ROWS))
                      and int(m.group(3)) <= int(m.group(4))
                      and (not m.group(2) if db.name == "postgresql"
                           else bool(m.group(2)) or m.group(3) == "0") for m in found), where,
                  f"counts not of the manifest's: {said[:400]!r}")
        # A MariaDB load that ends before the loader sees a relation read
        # draws nothing, and has nothing to clear.
        res.check(cleared or (db.name == "mariadb" and said == ""), where,
                  f"the last line is not cleared: {said[-200:]!r}")
        res.check(not (left := leftovers(db)), where, f"left behind: {left}")
    return res.summary()


if __name__ == "__main__":
    sys.exit(main())
