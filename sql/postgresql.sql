-- postgresql.sql: the tables of the five relations that zervgen writes, for
-- PostgreSQL. Running this file drops the five tables if they exist, creates
-- them empty and adds their primary keys. zervgen-load postgresql runs it in
-- two steps: the tables first, and the ALTER TABLE lines that add the keys
-- only after the rows are in (COPY into a table without an index, then one
-- index build, is about twice as fast as COPY into a keyed table). Keep each
-- key statement on one line beginning "ALTER TABLE".
--
-- Made by scripts/zervgen_tools/sqlfiles.py from zervgen -describe: edit that,
-- not this file.
--
-- Column types hold every generated value exactly, and the CHECK constraints
-- refuse values that zervgen does not write (COPY names the row); they are the
-- cheap ones: checking that every text is ASCII would add a third to the time
-- of COPY, and the UTF8 database refuses invalid bytes by itself. A char(N)
-- column gets no check: char pads a shorter text with blanks, and char(N)
-- keeps a text that ends in blanks as written (it compares without them: a
-- text of N blanks equals '' and prints as N blanks). Nor is the shortest
-- length of a text that a fixed-format file pads (address): the loader drops
-- the padding, and the text's trailing blanks with it. Each table's
-- constraints hold its relation's own ranges, within those below.
--   key, int           integer: whole numbers within 0..1000000000.
--   signed             integer: whole numbers within -500000000..500000000.
--   float              numeric(12,2): written as a whole number and ".00"
--                      (-500000000.00), within -500000000..500000000.
--   double             double precision: whole numbers within
--                      -1000000000..1000000000, exact in a double.
--   decim              numeric(12,2): whole numbers within
--                      -1000000000..1000000000 (written without a point).
--   date               date: written month/day/year (12/27/1903), 1900-01-01
--                      to 1999-12-31; load with SET datestyle = 'ISO, MDY'.
--   code               char(10): always exactly 10 characters.
--   name               char(20): always exactly 20 characters.
--   address            varchar(80): 2 to 80 characters, kept as written,
--                      trailing blanks included (a fixed-format file pads it
--                      to 80 characters, and the loader drops the padding:
--                      from one, it has no trailing blanks).
--   fill               varchar(100), NULL when the run had no fill column
--                      (-fc 0); otherwise exactly the -fc width, 1 to 100
--                      characters.
-- The names key, int, signed, float, double and date are keywords or type
-- names in SQL, so every column name is quoted here; quote them in queries
-- too.
--
-- Primary keys, on the columns that hold distinct values by construction:
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

SET client_min_messages = warning;  -- no notice for a table that is not there yet
DROP TABLE IF EXISTS hundred, tenpcnt, tiny, uniques, updates;

CREATE TABLE hundred (
  "key"     integer          NOT NULL,
  "int"     integer          NOT NULL,
  "signed"  integer          NOT NULL,
  "float"   numeric(12,2)    NOT NULL,
  "double"  double precision NOT NULL,
  "decim"   numeric(12,2)    NOT NULL,
  "date"    date             NOT NULL,
  "code"    char(10)         NOT NULL,
  "name"    char(20)         NOT NULL,
  "address" varchar(80)      NOT NULL,
  "fill"    varchar(100),
  CONSTRAINT "numbers within their ranges" CHECK (
    "key" BETWEEN 0 AND 100000000
    AND "int" BETWEEN 0 AND 1000000000
    AND "signed" BETWEEN 100 AND 199
    AND "float" BETWEEN -500000000 AND 500000000 AND "float" = trunc("float")
    AND "double" BETWEEN -1000000000 AND 1000000000 AND "double" = trunc("double")
    AND "decim" BETWEEN -1000000000 AND 1000000000 AND "decim" = trunc("decim")),
  CONSTRAINT "date within 1900-01-01..1999-12-31" CHECK ("date" BETWEEN '1900-01-01' AND '1999-12-31'),
  CONSTRAINT "fill of 1 to 100 characters" CHECK (octet_length("fill") >= 1)
);

CREATE TABLE tenpcnt (
  "key"     integer          NOT NULL,
  "int"     integer          NOT NULL,
  "signed"  integer          NOT NULL,
  "float"   numeric(12,2)    NOT NULL,
  "double"  double precision NOT NULL,
  "decim"   numeric(12,2)    NOT NULL,
  "date"    date             NOT NULL,
  "code"    char(10)         NOT NULL,
  "name"    char(20)         NOT NULL,
  "address" varchar(80)      NOT NULL,
  "fill"    varchar(100),
  CONSTRAINT "numbers within their ranges" CHECK (
    "key" BETWEEN 0 AND 1000000000
    AND "int" BETWEEN 0 AND 1000000000
    AND "signed" BETWEEN -500000000 AND 500000000
    AND "float" BETWEEN -500000000 AND 500000000 AND "float" = trunc("float")
    AND "double" BETWEEN -1000000000 AND 1000000000 AND "double" = trunc("double")
    AND "decim" BETWEEN -1000000000 AND 1000000000 AND "decim" = trunc("decim")),
  CONSTRAINT "date within 1900-01-01..1999-12-31" CHECK ("date" BETWEEN '1900-01-01' AND '1999-12-31'),
  CONSTRAINT "fill of 1 to 100 characters" CHECK (octet_length("fill") >= 1)
);

CREATE TABLE tiny (
  "key"     integer          NOT NULL,
  CONSTRAINT "key 0" CHECK ("key" = 0)
);

CREATE TABLE uniques (
  "key"     integer          NOT NULL,
  "int"     integer          NOT NULL,
  "signed"  integer          NOT NULL,
  "float"   numeric(12,2)    NOT NULL,
  "double"  double precision NOT NULL,
  "decim"   numeric(12,2)    NOT NULL,
  "date"    date             NOT NULL,
  "code"    char(10)         NOT NULL,
  "name"    char(20)         NOT NULL,
  "address" varchar(80)      NOT NULL,
  "fill"    varchar(100),
  CONSTRAINT "numbers within their ranges" CHECK (
    "key" BETWEEN 0 AND 1000000000
    AND "int" BETWEEN 0 AND 1000000000
    AND "signed" BETWEEN -500000000 AND 500000000
    AND "float" BETWEEN -500000000 AND 500000000 AND "float" = trunc("float")
    AND "double" BETWEEN -1000000000 AND 1000000000 AND "double" = trunc("double")
    AND "decim" BETWEEN -1000000000 AND 1000000000 AND "decim" = trunc("decim")),
  CONSTRAINT "date within 1900-01-01..1999-12-31" CHECK ("date" BETWEEN '1900-01-01' AND '1999-12-31'),
  CONSTRAINT "fill of 1 to 100 characters" CHECK (octet_length("fill") >= 1)
);

CREATE TABLE updates (
  "key"     integer          NOT NULL,
  "int"     integer          NOT NULL,
  "signed"  integer          NOT NULL,
  "float"   numeric(12,2)    NOT NULL,
  "double"  double precision NOT NULL,
  "decim"   numeric(12,2)    NOT NULL,
  "date"    date             NOT NULL,
  "code"    char(10)         NOT NULL,
  "name"    char(20)         NOT NULL,
  "address" varchar(80)      NOT NULL,
  "fill"    varchar(100),
  CONSTRAINT "numbers within their ranges" CHECK (
    "key" BETWEEN 0 AND 100000000
    AND "int" BETWEEN 0 AND 100000000
    AND "signed" BETWEEN -500000000 AND 500000000
    AND "float" BETWEEN -500000000 AND 500000000 AND "float" = trunc("float")
    AND "double" BETWEEN -1000000000 AND 1000000000 AND "double" = trunc("double")
    AND "decim" BETWEEN -1000000000 AND 1000000000 AND "decim" = trunc("decim")),
  CONSTRAINT "date within 1900-01-01..1999-12-31" CHECK ("date" BETWEEN '1900-01-01' AND '1999-12-31'),
  CONSTRAINT "fill of 1 to 100 characters" CHECK (octet_length("fill") >= 1)
);

ALTER TABLE hundred ADD PRIMARY KEY ("key");
ALTER TABLE tenpcnt ADD PRIMARY KEY ("key");
ALTER TABLE tiny ADD PRIMARY KEY ("key");
ALTER TABLE uniques ADD PRIMARY KEY ("key");
ALTER TABLE updates ADD PRIMARY KEY ("key");
