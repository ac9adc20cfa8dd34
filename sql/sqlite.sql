-- sqlite.sql: the tables of the five relations that zervgen writes, for
-- SQLite. Running this file drops the five tables if they exist and creates
-- them empty; zervgen-load sqlite runs it, loads the rows and runs ANALYZE,
-- all in one transaction.
--
-- The tables are STRICT (SQLite 3.37 or later): a value that is not of its
-- column's type, such as a text where a number belongs, fails the load
-- instead of being stored as it is. zervgen-load sqlite proves the files
-- with zervgen -verify, or else checks every field before that, against the
-- ranges and lengths below (a number must read back as written, a date must
-- be a real day), and names the row that fails.
--
-- Column types and the values they hold exactly:
--   key, int, signed   INTEGER: whole numbers within -1000000000..1000000000.
--   float              REAL: written as a whole number and ".00"
--                      (-166666667.00), within -500000000..500000000; every
--                      value is a whole number, exact in a REAL.
--   double             REAL: whole numbers within -1000000000..1000000000.
--   decim              INTEGER: whole numbers within -1000000000..1000000000
--                      (written without ".00").
--   date               TEXT, converted by the loader from the written
--                      month/day/year (12/27/1903) to ISO 'YYYY-MM-DD'
--                      (1903-12-27), so that dates sort and compare, and
--                      SQLite's date functions accept them.
--   code               TEXT, always exactly 10 characters.
--   name               TEXT, always exactly 20 characters, kept as written:
--                      in tenpcnt the name of value 0 is 20 blanks.
--   address            TEXT, 2 to 80 characters, kept as written, a trailing
--                      blank included.
--   fill               TEXT, NULL when the run had no fill column (-fc 0);
--                      otherwise exactly the -fc width.
-- The names key, int, signed, float, double, decim and date are keywords or
-- type names in SQL, so every column name is quoted here.
--
-- The keys are unique indexes, created after the rows are in: SQLite cannot
-- add a primary key to an existing table, and inserting a million rows into
-- a table without an index and building a unique index afterwards took half
-- the time of inserting them into a table whose INTEGER PRIMARY KEY (the
-- rowid) orders it, sorted or not. The loader runs the CREATE UNIQUE INDEX
-- lines after the data; keep each on one line.
--
-- Keys, on the columns that hold distinct values by construction:
--   hundred.key, updates.key: n distinct values spread over 1..n with the
--     value 1 replaced by 0, i.e. 0, 2, 3, ..., n, one row each.
--   tenpcnt.key, uniques.key: n distinct values spread over 1..1000000000
--     (1 replaced by 0), one row each; int repeats key in these relations.
--   tiny.key: the relation has one row, key 0.
-- Other columns are distinct by construction too (hundred.int; in uniques and
-- updates signed, double, decim, code, name, address seeds, and date while
-- n <= 36524) but get no constraint, so that a benchmark can choose its own
-- indexes. Non-key text columns may repeat: short address texts of distinct
-- seeds can coincide.

DROP TABLE IF EXISTS hundred;
DROP TABLE IF EXISTS tenpcnt;
DROP TABLE IF EXISTS tiny;
DROP TABLE IF EXISTS uniques;
DROP TABLE IF EXISTS updates;

CREATE TABLE hundred (
  "key"     INTEGER       NOT NULL,
  "int"     INTEGER       NOT NULL,
  "signed"  INTEGER       NOT NULL,
  "float"   REAL          NOT NULL,
  "double"  REAL          NOT NULL,
  "decim"   INTEGER       NOT NULL,
  "date"    TEXT          NOT NULL,
  "code"    TEXT          NOT NULL,
  "name"    TEXT          NOT NULL,
  "address" TEXT          NOT NULL,
  "fill"    TEXT
) STRICT;

CREATE TABLE tenpcnt (
  "key"     INTEGER       NOT NULL,
  "int"     INTEGER       NOT NULL,
  "signed"  INTEGER       NOT NULL,
  "float"   REAL          NOT NULL,
  "double"  REAL          NOT NULL,
  "decim"   INTEGER       NOT NULL,
  "date"    TEXT          NOT NULL,
  "code"    TEXT          NOT NULL,
  "name"    TEXT          NOT NULL,
  "address" TEXT          NOT NULL,
  "fill"    TEXT
) STRICT;

CREATE TABLE tiny (
  "key"     INTEGER       NOT NULL
) STRICT;

CREATE TABLE uniques (
  "key"     INTEGER       NOT NULL,
  "int"     INTEGER       NOT NULL,
  "signed"  INTEGER       NOT NULL,
  "float"   REAL          NOT NULL,
  "double"  REAL          NOT NULL,
  "decim"   INTEGER       NOT NULL,
  "date"    TEXT          NOT NULL,
  "code"    TEXT          NOT NULL,
  "name"    TEXT          NOT NULL,
  "address" TEXT          NOT NULL,
  "fill"    TEXT
) STRICT;

CREATE TABLE updates (
  "key"     INTEGER       NOT NULL,
  "int"     INTEGER       NOT NULL,
  "signed"  INTEGER       NOT NULL,
  "float"   REAL          NOT NULL,
  "double"  REAL          NOT NULL,
  "decim"   INTEGER       NOT NULL,
  "date"    TEXT          NOT NULL,
  "code"    TEXT          NOT NULL,
  "name"    TEXT          NOT NULL,
  "address" TEXT          NOT NULL,
  "fill"    TEXT
) STRICT;

CREATE UNIQUE INDEX hundred_key ON hundred ("key");
CREATE UNIQUE INDEX tenpcnt_key ON tenpcnt ("key");
CREATE UNIQUE INDEX tiny_key ON tiny ("key");
CREATE UNIQUE INDEX uniques_key ON uniques ("key");
CREATE UNIQUE INDEX updates_key ON updates ("key");
