-- sqlite.sql: the tables of the five relations that zervgen writes, for
-- SQLite. Running this file drops the five tables if they exist and creates
-- them empty; zervgen-load sqlite runs it, loads the rows and runs ANALYZE,
-- all in one transaction.
--
-- Made by scripts/zervgen_tools/sqlfiles.py from zervgen -describe: edit that,
-- not this file.
--
-- The tables are STRICT (SQLite 3.37 or later): a value that is not of its
-- column's type, such as a text where a number belongs, fails the load instead
-- of being stored as it is. zervgen-load sqlite proves the files with zervgen
-- -verify before that, and names the file that fails and its first difference.
--
-- Column types and the values they hold exactly:
--   key, int           INTEGER: whole numbers within 0..1000000000.
--   signed             INTEGER: whole numbers within -500000000..500000000.
--   float              REAL: written as a whole number and ".00"
--                      (-500000000.00), within -500000000..500000000; every
--                      value is a whole number, exact in a REAL.
--   double             REAL: whole numbers within -1000000000..1000000000,
--                      exact in a double.
--   decim              INTEGER: whole numbers within -1000000000..1000000000
--                      (written without a point).
--   date               TEXT: written month/day/year (12/27/1903), 1900-01-01
--                      to 1999-12-31; the loader stores it in ISO 'YYYY-MM-DD'
--                      (1903-12-27), so that dates sort and compare, and
--                      SQLite's date functions accept them.
--   code               TEXT: always exactly 10 characters.
--   name               TEXT: always exactly 20 characters.
--   address            TEXT: 2 to 80 characters, kept as written, trailing
--                      blanks included (a fixed-format file pads it to 80
--                      characters, and the loader drops the padding: from one,
--                      it has no trailing blanks).
--   fill               TEXT, NULL when the run had no fill column (-fc 0);
--                      otherwise exactly the -fc width, 1 to 100 characters.
-- The names key, int, signed, float, double and date are keywords or type
-- names in SQL, so every column name is quoted here; quote them in queries
-- too.
--
-- The keys are unique indexes, created after the rows are in: SQLite cannot
-- add a primary key to an existing table, and inserting a million rows into a
-- table without an index and building a unique index afterwards took half the
-- time of inserting them into a table whose INTEGER PRIMARY KEY (the rowid)
-- orders it, sorted or not. The loader runs the CREATE UNIQUE INDEX lines
-- after the data; keep each on one line.
--
-- Keys, on the columns that hold distinct values by construction:
--   hundred.key, updates.key: n distinct values within 0..n, spread over 1..n
--     with the value 1 replaced by 0, i.e. 0, 2, 3, ..., n, one row each.
--   tenpcnt.key, uniques.key: n distinct values within 0..1000000000, spread
--     over 1..1000000000 with the value 1 replaced by 0, one row each.
--   tiny.key: the relation has one row, key 0.
-- Other columns hold one value per row by construction too (for a text column,
-- the seeds of its texts: two seeds can give the same text, short ones most
-- likely):
--   hundred: int, code; date while n <= 36524.
--   tenpcnt: int, signed, code; date while n <= 36524.
--   uniques, updates: int, signed, double, decim, code, name, address; date
--     while n <= 36524.
-- They get no constraint, so that a benchmark can choose its own indexes;
-- non-key text columns may repeat.

DROP TABLE IF EXISTS hundred;
DROP TABLE IF EXISTS tenpcnt;
DROP TABLE IF EXISTS tiny;
DROP TABLE IF EXISTS uniques;
DROP TABLE IF EXISTS updates;

CREATE TABLE hundred (
  "key"     INTEGER NOT NULL,
  "int"     INTEGER NOT NULL,
  "signed"  INTEGER NOT NULL,
  "float"   REAL    NOT NULL,
  "double"  REAL    NOT NULL,
  "decim"   INTEGER NOT NULL,
  "date"    TEXT    NOT NULL,
  "code"    TEXT    NOT NULL,
  "name"    TEXT    NOT NULL,
  "address" TEXT    NOT NULL,
  "fill"    TEXT
) STRICT;

CREATE TABLE tenpcnt (
  "key"     INTEGER NOT NULL,
  "int"     INTEGER NOT NULL,
  "signed"  INTEGER NOT NULL,
  "float"   REAL    NOT NULL,
  "double"  REAL    NOT NULL,
  "decim"   INTEGER NOT NULL,
  "date"    TEXT    NOT NULL,
  "code"    TEXT    NOT NULL,
  "name"    TEXT    NOT NULL,
  "address" TEXT    NOT NULL,
  "fill"    TEXT
) STRICT;

CREATE TABLE tiny (
  "key"     INTEGER NOT NULL
) STRICT;

CREATE TABLE uniques (
  "key"     INTEGER NOT NULL,
  "int"     INTEGER NOT NULL,
  "signed"  INTEGER NOT NULL,
  "float"   REAL    NOT NULL,
  "double"  REAL    NOT NULL,
  "decim"   INTEGER NOT NULL,
  "date"    TEXT    NOT NULL,
  "code"    TEXT    NOT NULL,
  "name"    TEXT    NOT NULL,
  "address" TEXT    NOT NULL,
  "fill"    TEXT
) STRICT;

CREATE TABLE updates (
  "key"     INTEGER NOT NULL,
  "int"     INTEGER NOT NULL,
  "signed"  INTEGER NOT NULL,
  "float"   REAL    NOT NULL,
  "double"  REAL    NOT NULL,
  "decim"   INTEGER NOT NULL,
  "date"    TEXT    NOT NULL,
  "code"    TEXT    NOT NULL,
  "name"    TEXT    NOT NULL,
  "address" TEXT    NOT NULL,
  "fill"    TEXT
) STRICT;

CREATE UNIQUE INDEX hundred_key ON hundred ("key");
CREATE UNIQUE INDEX tenpcnt_key ON tenpcnt ("key");
CREATE UNIQUE INDEX tiny_key ON tiny ("key");
CREATE UNIQUE INDEX uniques_key ON uniques ("key");
CREATE UNIQUE INDEX updates_key ON updates ("key");
