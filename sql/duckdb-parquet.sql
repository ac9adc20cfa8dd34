-- duckdb-parquet.sql: fills the tables of sql/duckdb.sql from the Parquet
-- files of a zervgen -parquet run in the current folder (prefix zerv). BY NAME
-- matches the columns by name, so a run without a fill column leaves fill
-- NULL. For part files, read 'zerv.hun.*.parquet' instead of
-- 'zerv.hun.parquet'.
-- Made by scripts/zervgen_tools/sqlfiles.py from zervgen -describe: edit that,
-- not this file.
INSERT INTO uniques BY NAME SELECT * FROM 'zerv.uni.parquet';
INSERT INTO updates BY NAME SELECT * FROM 'zerv.upd.parquet';
INSERT INTO hundred BY NAME SELECT * FROM 'zerv.hun.parquet';
INSERT INTO tenpcnt BY NAME SELECT * FROM 'zerv.ten.parquet';
INSERT INTO tiny BY NAME SELECT * FROM 'zerv.tny.parquet';
