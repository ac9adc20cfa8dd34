// duckdb_convert.mjs: the benchmark's reference, a user's way to Parquet
// without -parquet: DuckDB (@duckdb/node-api) reads a text file of `hundred`
// (zervgen -hu, no fill column) with the column types of the table files
// and copies it to a Parquet file with the given codec.
//
//   node bench/duckdb_convert.mjs TEXT PARQUET snappy|zstd|none
//
// Packages are loaded from $ZERVGEN_NPM_DIR (default ~/.cache/zervgen-npm).
// DuckDB runs one thread: the benchmark runs it on one core. Prints the
// rows written.
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const npmDir = process.env.ZERVGEN_NPM_DIR || path.join(os.homedir(), '.cache', 'zervgen-npm');
const requireFrom = createRequire(path.join(npmDir, 'package.json'));
const { DuckDBInstance } = await import(pathToFileURL(requireFrom.resolve('@duckdb/node-api')).href);

const [text, parquet, codec] = process.argv.slice(2);
const CODECS = { none: 'uncompressed', snappy: 'snappy', zstd: 'zstd' };
if (!text || !parquet || !CODECS[codec]) {
  console.error('usage: node duckdb_convert.mjs TEXT PARQUET snappy|zstd|none');
  process.exit(2);
}
const sql = (s) => `'${s.replaceAll("'", "''")}'`;
const columns = {
  key: 'INTEGER', int: 'INTEGER', signed: 'INTEGER', float: 'DECIMAL(12,2)', double: 'DOUBLE',
  decim: 'DECIMAL(12,2)', date: 'DATE', code: 'VARCHAR', name: 'VARCHAR', address: 'VARCHAR',
};
const types = Object.entries(columns).map(([c, t]) => `${sql(c)}: ${sql(t)}`).join(', ');

const instance = await DuckDBInstance.create(':memory:', { threads: '1' });
const con = await instance.connect();
const reader = await con.runAndReadAll(`COPY (SELECT * FROM read_csv(${sql(text)}, delim = ',',
    header = false, quote = '', escape = '', auto_detect = false, dateformat = '%m/%d/%Y',
    columns = {${types}})) TO ${sql(parquet)} (FORMAT parquet, COMPRESSION ${CODECS[codec]})`);
console.log(String(reader.getRows()[0]?.[0] ?? ''));
