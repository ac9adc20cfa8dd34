-- duckdb.sql: the tables of the five relations that zervgen writes, for
-- DuckDB, with their primary keys. Running this file drops the five tables if
-- they exist and creates them empty; sql/duckdb-parquet.sql then fills them
-- from the Parquet files (zervgen -parquet), or sql/duckdb-text.sql from the
-- text files (delimited, ','), both in the current folder with the default
-- prefix zerv.
--
-- Made by scripts/zervgen_tools/sqlfiles.py from zervgen -describe: edit that,
-- not this file.
--
-- The types are those of sql/postgresql.sql (whose comments say why each one
-- holds every generated value exactly) and those of the Parquet files'
-- columns: integer, decimal(12,2), double, date and varchar. char(10) and
-- char(20) are varchar in DuckDB: the texts are kept as written, trailing
-- blanks included. fill may be NULL: a run without -fc has no fill column.
--
-- Primary keys, on the columns that hold distinct values by construction:
--   hundred.key, updates.key: n distinct values within 0..n, spread over 1..n
--     with the value 1 replaced by 0, i.e. 0, 2, 3, ..., n, one row each.
--   tenpcnt.key, uniques.key: n distinct values within 0..1000000000, spread
--     over 1..1000000000 with the value 1 replaced by 0, one row each.
--   tiny.key: the relation has one row, key 0.

DROP TABLE IF EXISTS hundred;
DROP TABLE IF EXISTS tenpcnt;
DROP TABLE IF EXISTS tiny;
DROP TABLE IF EXISTS uniques;
DROP TABLE IF EXISTS updates;

CREATE TABLE hundred (
  "key"     integer       NOT NULL PRIMARY KEY,
  "int"     integer       NOT NULL,
  "signed"  integer       NOT NULL,
  "float"   decimal(12,2) NOT NULL,
  "double"  double        NOT NULL,
  "decim"   decimal(12,2) NOT NULL,
  "date"    date          NOT NULL,
  "code"    varchar       NOT NULL,
  "name"    varchar       NOT NULL,
  "address" varchar       NOT NULL,
  "fill"    varchar
);

CREATE TABLE tenpcnt (
  "key"     integer       NOT NULL PRIMARY KEY,
  "int"     integer       NOT NULL,
  "signed"  integer       NOT NULL,
  "float"   decimal(12,2) NOT NULL,
  "double"  double        NOT NULL,
  "decim"   decimal(12,2) NOT NULL,
  "date"    date          NOT NULL,
  "code"    varchar       NOT NULL,
  "name"    varchar       NOT NULL,
  "address" varchar       NOT NULL,
  "fill"    varchar
);

CREATE TABLE tiny (
  "key"     integer       NOT NULL PRIMARY KEY
);

CREATE TABLE uniques (
  "key"     integer       NOT NULL PRIMARY KEY,
  "int"     integer       NOT NULL,
  "signed"  integer       NOT NULL,
  "float"   decimal(12,2) NOT NULL,
  "double"  double        NOT NULL,
  "decim"   decimal(12,2) NOT NULL,
  "date"    date          NOT NULL,
  "code"    varchar       NOT NULL,
  "name"    varchar       NOT NULL,
  "address" varchar       NOT NULL,
  "fill"    varchar
);

CREATE TABLE updates (
  "key"     integer       NOT NULL PRIMARY KEY,
  "int"     integer       NOT NULL,
  "signed"  integer       NOT NULL,
  "float"   decimal(12,2) NOT NULL,
  "double"  double        NOT NULL,
  "decim"   decimal(12,2) NOT NULL,
  "date"    date          NOT NULL,
  "code"    varchar       NOT NULL,
  "name"    varchar       NOT NULL,
  "address" varchar       NOT NULL,
  "fill"    varchar
);
