-- duckdb-text.sql: fills the tables of sql/duckdb.sql from the text files of a
-- zervgen run in the current folder (prefix zerv, delimited with ','). The
-- files are read with the tables' types; nothing is quoted or escaped, dates
-- are month/day/year. NULL_PADDING leaves fill NULL in a run without -fc. For
-- a run with -compress zstd or gzip, read 'zerv.hun.zst' or 'zerv.hun.gz'
-- instead of 'zerv.hun': DuckDB decompresses a file by its suffix.
-- Made by scripts/zervgen_tools/sqlfiles.py from zervgen -describe: edit that,
-- not this file.
COPY uniques FROM 'zerv.uni' (DELIMITER ',', HEADER false, QUOTE '', ESCAPE '', DATEFORMAT '%m/%d/%Y', NULL_PADDING true, AUTO_DETECT false);
COPY updates FROM 'zerv.upd' (DELIMITER ',', HEADER false, QUOTE '', ESCAPE '', DATEFORMAT '%m/%d/%Y', NULL_PADDING true, AUTO_DETECT false);
COPY hundred FROM 'zerv.hun' (DELIMITER ',', HEADER false, QUOTE '', ESCAPE '', DATEFORMAT '%m/%d/%Y', NULL_PADDING true, AUTO_DETECT false);
COPY tenpcnt FROM 'zerv.ten' (DELIMITER ',', HEADER false, QUOTE '', ESCAPE '', DATEFORMAT '%m/%d/%Y', NULL_PADDING true, AUTO_DETECT false);
COPY tiny FROM 'zerv.tny' (DELIMITER ',', HEADER false, QUOTE '', ESCAPE '', DATEFORMAT '%m/%d/%Y', NULL_PADDING true, AUTO_DETECT false);
