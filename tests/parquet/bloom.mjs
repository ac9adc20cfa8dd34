// bloom.mjs: checks -bloom with two readers. Makes a file of -hundred
// with bloom filters on an int32 column (key, plain), a text column kept
// in a dictionary (name) and one written plain (code), and the same file
// without them, then:
//   DuckDB: parquet_metadata gives every chunk of those columns a filter
//   (offset and length) and no other chunk one; parquet_bloom_probe finds
//   every value a row group holds possibly there (never excluded), and
//   excludes nearly all values the file does not hold (1% false positives
//   asked for: at least 90 of 100 per column and row group);
//   hyparquet: both files read to the same rows;
//   -verify finds the file OK.
//
//   node bloom.mjs ZERVGEN OUT_DIR
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { load } from './npm.mjs';

const { DuckDBInstance } = await load('@duckdb/node-api');
const hyparquet = await load('hyparquet');
const { compressors } = await load('hyparquet-compressors');

const [zervgen, out] = process.argv.slice(2).map((p) => path.resolve(p));
let failures = 0;
function check(ok, what) {
  if (!ok) {
    failures++;
    console.error(`FAILED: ${what}`);
  }
}

const groupRows = 5000;
const base = ['-hu', '-n', '20000', '-parquet', '-rowgroup', String(groupRows), '-fc', '20'];
const bloomed = ['key', 'name', 'code'];
function make(dir, args) {
  fs.mkdirSync(dir, { recursive: true });
  execFileSync(zervgen, args, { cwd: dir, stdio: ['ignore', 'ignore', 'ignore'] });
  return path.join(dir, 'zerv.hun.parquet');
}
const plain = make(path.join(out, 'bloom-none'), base);
const withBloom = ['-bloom', bloomed.join(',')];
const filtered = make(path.join(out, 'bloom'), [...base, ...withBloom]);
const verified = execFileSync(zervgen, [...base, ...withBloom, '-verify'], {
  cwd: path.dirname(filtered), encoding: 'latin1', stdio: ['ignore', 'pipe', 'ignore'],
});
check(verified === 'zerv.hun.parquet: OK (20000 rows)\n', `-verify: ${verified}`);

// hyparquet: the same rows with and without the filters.
const rowsOf = async (file) =>
  hyparquet.parquetReadObjects({ file: await hyparquet.asyncBufferFromFile(file), compressors });
const rows = await rowsOf(filtered);
const json = (v) => JSON.stringify(v, (k, x) => (typeof x === 'bigint' ? x.toString() : x));
check(rows.length === 20000 && json(rows) === json(await rowsOf(plain)),
  'hyparquet: the same rows with and without bloom filters');

const db = await DuckDBInstance.create(':memory:');
const con = await db.connect();
const lit = (v) => (typeof v === 'string' ? `'${v.replaceAll("'", "''")}'` : String(v));
const file = lit(filtered);

// parquet_metadata: a filter for each chunk of the named columns only.
const meta = (await con.runAndReadAll(
  `SELECT row_group_id, path_in_schema, bloom_filter_offset, bloom_filter_length
   FROM parquet_metadata(${file})`)).getRows();
check(meta.length === 4 * 11, `parquet_metadata: ${meta.length} chunks`);
for (const [group, column, offset, length] of meta) {
  const want = bloomed.includes(column);
  const has = offset !== null && length !== null && Number(length) > 32;
  check(has === want, `row group ${group} column ${column}: filter at ${offset}, ${length} bytes`);
}

// parquet_bloom_probe: present values never excluded, absent ones mostly.
async function excludedIn(column, value) {
  const result = await con.runAndReadAll(
    `SELECT row_group_id, bloom_filter_excludes FROM parquet_bloom_probe(${file}, '${column}', ${lit(value)})`);
  return new Map(result.getRows().map(([g, x]) => [Number(g), x]));
}
const absent = {
  key: (i) => 100000 + i * 7,
  name: (i) => `no such name ${i}`,
  code: (i) => `nocode${i}`,
};
for (const column of bloomed) {
  for (let g = 0; g < 4; g++) {
    for (const r of [0, 1, 777, 2500, 4999]) {
      const value = rows[g * groupRows + r][column];
      const excluded = await excludedIn(column, value);
      check(excluded.get(g) === false, `${column} = ${value} excluded from its row group ${g}`);
    }
  }
  const excludedCount = [0, 0, 0, 0];
  for (let i = 0; i < 100; i++) {
    const excluded = await excludedIn(column, absent[column](i));
    for (let g = 0; g < 4; g++) excludedCount[g] += excluded.get(g) === true ? 1 : 0;
  }
  check(excludedCount.every((n) => n >= 90), `${column}: absent values excluded ${excludedCount}`);
}

if (failures > 0) {
  console.error(`bloom.mjs: ${failures} checks failed`);
  process.exit(1);
}
console.log('bloom.mjs: bloom filters checked with DuckDB and hyparquet');
