-- mariadb.sql: the tables of the five relations that zervgen writes, for
-- MariaDB. Running this file drops the five tables if they exist, creates them
-- empty and adds their primary keys. zervgen-load mariadb runs it in two
-- steps: the tables first, and the ALTER TABLE lines that add the keys only
-- after the rows are in. Keep each key statement on one line beginning
-- "ALTER TABLE".
--
-- Made by scripts/zervgen_tools/sqlfiles.py from zervgen -describe: edit that,
-- not this file.
--
-- Column types hold every generated value exactly; zervgen-load mariadb proves
-- the files with zervgen -verify before it loads a row (LOAD DATA LOCAL would
-- round, cut or convert a wrong value with no more than a warning), and names
-- the file that fails and its first difference:
--   key, int           INT: whole numbers within 0..1000000000.
--   signed             INT: whole numbers within -500000000..500000000.
--   float              DECIMAL(12,2): written as a whole number and ".00"
--                      (-500000000.00), within -500000000..500000000.
--   double             DOUBLE: whole numbers within -1000000000..1000000000,
--                      exact in a double.
--   decim              DECIMAL(12,2): whole numbers within
--                      -1000000000..1000000000 (written without a point).
--   date               DATE: written month/day/year (12/27/1903), 1900-01-01
--                      to 1999-12-31; the loader converts it with
--                      STR_TO_DATE(..., '%c/%e/%Y').
--   code               CHAR(10): always exactly 10 characters.
--   name               CHAR(20): always exactly 20 characters.
--   address            VARCHAR(80): 2 to 80 characters, kept as written,
--                      trailing blanks included.
--   fill               VARCHAR(100), NULL when the run had no fill column
--                      (-fc 0); otherwise exactly the -fc width, 1 to 100
--                      characters.
-- MariaDB returns a CHAR value without its trailing blanks: a text that ends
-- in blanks reads back shorter (one of N blanks as ''), and RPAD(`column`, N,
-- ' ') gives a CHAR(N) text as written. The texts are ASCII with the binary
-- collation that does not pad (ascii_nopad_bin): the default collations
-- compare without regard to case, and the padding ones ignore trailing blanks,
-- either of which would make distinct generated texts compare equal.
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

DROP TABLE IF EXISTS hundred, tenpcnt, tiny, uniques, updates;

CREATE TABLE hundred (
  `key`     INT           NOT NULL,
  `int`     INT           NOT NULL,
  `signed`  INT           NOT NULL,
  `float`   DECIMAL(12,2) NOT NULL,
  `double`  DOUBLE        NOT NULL,
  `decim`   DECIMAL(12,2) NOT NULL,
  `date`    DATE          NOT NULL,
  `code`    CHAR(10)      NOT NULL,
  `name`    CHAR(20)      NOT NULL,
  `address` VARCHAR(80)   NOT NULL,
  `fill`    VARCHAR(100)
) ENGINE = InnoDB DEFAULT CHARACTER SET ascii COLLATE ascii_nopad_bin;

CREATE TABLE tenpcnt (
  `key`     INT           NOT NULL,
  `int`     INT           NOT NULL,
  `signed`  INT           NOT NULL,
  `float`   DECIMAL(12,2) NOT NULL,
  `double`  DOUBLE        NOT NULL,
  `decim`   DECIMAL(12,2) NOT NULL,
  `date`    DATE          NOT NULL,
  `code`    CHAR(10)      NOT NULL,
  `name`    CHAR(20)      NOT NULL,
  `address` VARCHAR(80)   NOT NULL,
  `fill`    VARCHAR(100)
) ENGINE = InnoDB DEFAULT CHARACTER SET ascii COLLATE ascii_nopad_bin;

CREATE TABLE tiny (
  `key`     INT           NOT NULL
) ENGINE = InnoDB DEFAULT CHARACTER SET ascii COLLATE ascii_nopad_bin;

CREATE TABLE uniques (
  `key`     INT           NOT NULL,
  `int`     INT           NOT NULL,
  `signed`  INT           NOT NULL,
  `float`   DECIMAL(12,2) NOT NULL,
  `double`  DOUBLE        NOT NULL,
  `decim`   DECIMAL(12,2) NOT NULL,
  `date`    DATE          NOT NULL,
  `code`    CHAR(10)      NOT NULL,
  `name`    CHAR(20)      NOT NULL,
  `address` VARCHAR(80)   NOT NULL,
  `fill`    VARCHAR(100)
) ENGINE = InnoDB DEFAULT CHARACTER SET ascii COLLATE ascii_nopad_bin;

CREATE TABLE updates (
  `key`     INT           NOT NULL,
  `int`     INT           NOT NULL,
  `signed`  INT           NOT NULL,
  `float`   DECIMAL(12,2) NOT NULL,
  `double`  DOUBLE        NOT NULL,
  `decim`   DECIMAL(12,2) NOT NULL,
  `date`    DATE          NOT NULL,
  `code`    CHAR(10)      NOT NULL,
  `name`    CHAR(20)      NOT NULL,
  `address` VARCHAR(80)   NOT NULL,
  `fill`    VARCHAR(100)
) ENGINE = InnoDB DEFAULT CHARACTER SET ascii COLLATE ascii_nopad_bin;

ALTER TABLE hundred ADD PRIMARY KEY (`key`);
ALTER TABLE tenpcnt ADD PRIMARY KEY (`key`);
ALTER TABLE tiny ADD PRIMARY KEY (`key`);
ALTER TABLE uniques ADD PRIMARY KEY (`key`);
ALTER TABLE updates ADD PRIMARY KEY (`key`);
