"""surroundings.py: the loaders in the surroundings a user gives them.

check_settings: a folder name with a quote, blanks and a non-ASCII letter;
objects of the user's on the old tables (a PostgreSQL view, a MariaDB
foreign key), refused before any loading; MariaDB's server named with -o
alone. check_schema_names: PostgreSQL's current schema named "MixedCase"
or "sp ace". counts_printed(res, where, stdout, report, against) checks a
load's count lines.
"""

import os
import shutil

from broken_inputs import fingerprint
from databases import Sqlite, leftovers, run


def check_settings(res, pg, maria, work, comma, fixed, socket, counts_printed):
    """A folder whose name holds a quote, blanks and a non-ASCII letter, read
    by every loader (PostgreSQL once by the server and once through psql,
    and in fixed format); a folder the PostgreSQL server may not enter; a
    view on an old table refused before any loading; MariaDB's server named
    with -o alone."""
    odd = os.path.join(work, "w\u00f6rk 'q' dir")
    os.makedirs(odd)
    for prefix, name in ((comma[0], "zerv"), (fixed[0], "fixd")):
        for suffix in ("hun", "ten", "tny", "uni", "upd", "rpt"):
            shutil.copy(f"{prefix}.{suffix}", os.path.join(odd, f"{name}.{suffix}"))
    # A folder the server may not enter: psql sends the files.
    private = os.path.join(work, "private")
    os.makedirs(private)
    for suffix in ("hun", "ten", "tny", "uni", "upd", "rpt"):
        shutil.copy(f"{comma[0]}.{suffix}", os.path.join(private, f"zerv.{suffix}"))
    os.chmod(private, 0o700)
    cases = [(pg, [os.path.join(odd, "zerv")], {}),
             (pg, [os.path.join(private, "zerv")], {}),
             (pg, [os.path.join(odd, "zerv")], {"ZERVGEN_CLIENT_READS": "1"}),
             (pg, ["-d", "fixed", os.path.join(odd, "fixd")], {}),
             (Sqlite(os.path.join(odd, "odd.db")), [os.path.join(odd, "zerv")], {}),
             (Sqlite(os.path.join(odd, "odd.db")), ["-d", "fixed", os.path.join(odd, "fixd")], {}),
             (maria, [os.path.join(odd, "zerv")], {})]
    for db, args, env in cases:
        p = run(db.load_command(args), env=dict(os.environ, **env))
        where = f"{db.name}, odd folder name {args} {env}"
        if res.check(p.returncode == 0, where, f"exited {p.returncode}: {p.stderr.strip()}"):
            counts_printed(res, where, p.stdout, comma[1], "as the report")
    before = fingerprint(pg)
    pg.query("CREATE VIEW zervgen_view AS SELECT * FROM hundred")
    p = pg.load([comma[0]])
    res.check(p.returncode == 1 and "zervgen_view" in p.stderr and "nothing was loaded" in p.stderr,
              "postgresql, a view on hundred", f"exited {p.returncode}: {p.stderr.strip()}")
    res.check(fingerprint(pg) == before, "postgresql, a view on hundred",
              "the tables changed")
    pg.query("DROP VIEW zervgen_view")
    # A foreign key from another table to hundred would follow the old
    # table out of MariaDB's database, and keep the staging database.
    before = fingerprint(maria)
    maria.query("CREATE TABLE zervgen_user (k INT, CONSTRAINT zervgen_user_hundred"
                " FOREIGN KEY (k) REFERENCES hundred (`key`)) ENGINE=InnoDB")
    p = maria.load([comma[0]])
    where = "mariadb, a foreign key to hundred"
    ok = p.returncode == 1 and len(p.stderr.splitlines()) == 1 and all(
        t in p.stderr for t in ("zervgen_user", "zervgen_user_hundred", "nothing was loaded"))
    res.check(ok, where, f"exited {p.returncode}: {p.stderr.strip()}")
    res.check(fingerprint(maria) == before, where, "the tables changed")
    refers = maria.query("SELECT referenced_table_schema FROM information_schema.key_column_usage"
                         " WHERE constraint_name = 'zervgen_user_hundred'")
    res.check(refers == [(maria.database,)], where, f"the foreign key now refers to {refers}")
    res.check(not (left := leftovers(maria)), where, f"left behind: {left}")
    maria.query("DROP TABLE zervgen_user")
    env = {k: v for k, v in os.environ.items() if k != "MYSQL_HOME"}
    p = run(maria.load_command(["-o", f"--socket={socket}", comma[0]]), env=env)
    res.check(p.returncode == 0, "mariadb, -o --socket", f"exited {p.returncode}: {p.stderr.strip()}")


def check_schema_names(res, pg, prefix, report, counts_printed):
    """PostgreSQL loads into a current schema whose name needs quoting: a
    first load makes the tables there, a second one swaps them, and the
    tables of the schema public stay as they were."""
    before = fingerprint(pg)
    for schema in ("MixedCase", "sp ace"):
        quoted = '"' + schema + '"'
        pg.query(f"CREATE SCHEMA {quoted}")
        env = dict(os.environ, PGOPTIONS="-c search_path=" + quoted.replace(" ", "\\ "))
        oids = []
        for n in (1, 2):
            where = f"postgresql, schema {quoted}, load {n}"
            p = run(pg.load_command([prefix]), env=env)
            if res.check(p.returncode == 0, where, f"exited {p.returncode}: {p.stderr.strip()}"):
                counts_printed(res, where, p.stdout, report, "as the report")
                count = pg.query(f"SELECT count(*) FROM {quoted}.hundred")[0][0]
                res.check(count == str(report.rows), where, f"{count} rows in {quoted}.hundred")
            oids.append(pg.query(f"SELECT to_regclass('{quoted}.hundred')::oid")[0][0])
            res.check(not (left := leftovers(pg)), where, f"left behind: {left}")
        res.check(oids[0] != oids[1], f"postgresql, schema {quoted}",
                  f"the second load did not swap the tables ({oids})")
        pg.query(f"CREATE VIEW {quoted}.zervgen_view AS SELECT * FROM {quoted}.hundred")
        p = run(pg.load_command([prefix]), env=env)
        res.check(p.returncode == 1 and "zervgen_view" in p.stderr, f"postgresql, schema {quoted}",
                  f"a view on its hundred: exited {p.returncode}: {p.stderr.strip()}")
        pg.query(f"DROP SCHEMA {quoted} CASCADE")
    res.check(fingerprint(pg) == before, "postgresql, schema names",
              "the tables of the schema public changed")
