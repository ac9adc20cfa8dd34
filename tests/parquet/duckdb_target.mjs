// duckdb_target.mjs: builds DuckDB databases from a zervgen run and checks
// them against the run's report.
//
//   node duckdb_target.mjs DIR [DIR ...]
//
// Each DIR holds one run with the default prefix: the Parquet files
// (zerv.hun.parquet ...), the text files of the same options without
// -parquet (zerv.hun ..., delimited with ','), the same text compressed
// (-compress: zerv.hun.zst or zerv.hun.gz ...) and the report (zerv.rpt, -r).
// In each DIR it builds parquet.duckdb with sql/duckdb.sql and
// sql/duckdb-parquet.sql, text.duckdb with sql/duckdb.sql and
// sql/duckdb-text.sql, and compressed.duckdb with sql/duckdb-text.sql reading
// the compressed files as its comment says, run through DuckDB's Node package
// (@duckdb/node-api, from $ZERVGEN_NPM_DIR, default ~/.cache/zervgen-npm).
// Then it checks: every table has its primary key on "key"; the row counts are
// the report's "Rows:" (tiny: 1); the compressed text gives the aggregates of
// the text; the distinct keys and codes are the report's
// "# Uniques" of key and code; fill is there exactly when the report names a
// fill width; and a set of column aggregates (min, max and sum of the
// integers, sums of the decimals and doubles, date range, distinct names,
// text lengths) is the same in both databases. Exits 1 when any check fails.
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { load } from './npm.mjs';

const { DuckDBInstance } = await load('@duckdb/node-api');

const sqlDir = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', '..', 'sql');
const readSql = (name) => fs.readFileSync(path.join(sqlDir, name), 'utf8');
const TABLES = readSql('duckdb.sql');
const LOADS = { parquet: readSql('duckdb-parquet.sql'), text: readSql('duckdb-text.sql') };

// The tables and the titles of their sections in the report.
const RELATIONS = {
  uniques: 'Uniques Relation:', updates: 'Updates Relation:', hundred: 'Hundred Relation:',
  tenpcnt: 'Ten Percent Relation:', tiny: 'Tiny Relation:',
};

let passed = 0;
let failed = 0;
function check(ok, what) {
  if (ok) {
    passed++;
  } else {
    failed++;
    console.log(`FAIL ${what}`);
  }
}

// The report's row count, fill width and, per relation, each column's
// "# Uniques".
function readReport(file) {
  const text = fs.readFileSync(file, 'latin1');
  const rows = Number(/^Rows: (\d+)\.$/m.exec(text)?.[1]);
  const fill = Number(/^Fill: (\d+) character/m.exec(text)?.[1] ?? 0);
  const uniques = {};
  for (const [table, title] of Object.entries(RELATIONS)) {
    const section = text.slice(text.indexOf(title)).split('Generation Time')[0];
    uniques[table] = {};
    for (const m of section.matchAll(/^ {4}(\w+) +\w+ +\S+ +\S+ +(\d+)/gm)) uniques[table][m[1]] = Number(m[2]);
  }
  return { rows, fill, uniques };
}

// The suffix of the compressed text files in dir ('.zst' or '.gz'), or null.
function compressedSuffix(dir) {
  return ['.zst', '.gz'].find((s) => fs.existsSync(path.join(dir, `zerv.hun${s}`))) ?? null;
}

// Builds one database file in dir from the table file and one load file.
async function build(dir, kind) {
  const file = path.join(dir, `${kind}.duckdb`);
  fs.rmSync(file, { force: true });
  fs.rmSync(`${file}.wal`, { force: true });
  const cwd = process.cwd();
  process.chdir(dir);
  try {
    const instance = await DuckDBInstance.create(file);
    const con = await instance.connect();
    await con.run(TABLES);
    const suffix = compressedSuffix(dir);
    await con.run(kind === 'compressed' ? LOADS.text.replace(/ FROM '([^']+)'/g, ` FROM '$1${suffix}'`) : LOADS[kind]);
    con.closeSync();
    instance.closeSync();
  } finally {
    process.chdir(cwd);
  }
}

const AGGREGATES = [
  'count(*)', 'count(DISTINCT "key")', 'min("key")', 'max("key")', 'sum("key")',
  'min("int")', 'max("int")', 'sum("int")', 'min("signed")', 'max("signed")', 'sum("signed")',
  'sum("float")', 'sum("double")', 'sum("decim")', 'min("date")', 'max("date")',
  'count(DISTINCT code)', 'count(DISTINCT "name")', 'sum(length(address))', 'count(fill)',
  'sum(length(fill))',
];

async function rowOf(con, sql) {
  return (await con.runAndReadAll(sql)).getRows()[0].map(String);
}

async function checkRun(dir) {
  const failedBefore = failed;
  const report = readReport(path.join(dir, 'zerv.rpt'));
  check(report.rows >= 100, `${dir}: the report's Rows: line (${report.rows})`);
  await build(dir, 'parquet');
  await build(dir, 'text');
  const compressed = compressedSuffix(dir) !== null;
  check(compressed, `${dir}: compressed text files (zerv.hun.zst or zerv.hun.gz)`);
  if (compressed) await build(dir, 'compressed');
  const instance = await DuckDBInstance.create(':memory:');
  const con = await instance.connect();
  for (const db of compressed ? ['parquet', 'text', 'compressed'] : ['parquet', 'text']) {
    await con.run(`ATTACH '${path.join(dir, db)}.duckdb' AS ${db} (READ_ONLY)`);
    const keys = (await con.runAndReadAll(`SELECT table_name, constraint_column_names::VARCHAR
        FROM duckdb_constraints() WHERE database_name = '${db}' AND constraint_type = 'PRIMARY KEY'
        ORDER BY table_name`)).getRows().map((r) => `${r[0]}${r[1]}`);
    check(keys.join(' ') === 'hundred[key] tenpcnt[key] tiny[key] uniques[key] updates[key]', `${dir}/${db}: primary keys ${keys}`);
  }
  for (const table of Object.keys(RELATIONS)) {
    const where = `${dir}: ${table}`;
    const n = table === 'tiny' ? 1 : report.rows;
    const list = table === 'tiny' ? AGGREGATES.slice(0, 5) : AGGREGATES;
    const fromParquet = await rowOf(con, `SELECT ${list.join(', ')} FROM parquet.${table}`);
    const fromText = await rowOf(con, `SELECT ${list.join(', ')} FROM text.${table}`);
    list.forEach((a, i) => check(fromParquet[i] === fromText[i], `${where}: ${a} ${fromParquet[i]} from Parquet, ${fromText[i]} from text`));
    if (compressed) {
      const fromCompressed = await rowOf(con, `SELECT ${list.join(', ')} FROM compressed.${table}`);
      list.forEach((a, i) => check(fromCompressed[i] === fromText[i], `${where}: ${a} ${fromCompressed[i]} from compressed text, ${fromText[i]} from text`));
    }
    check(Number(fromParquet[0]) === n, `${where}: ${fromParquet[0]} rows, the report says ${n}`);
    check(Number(fromParquet[1]) === report.uniques[table].key, `${where}: ${fromParquet[1]} distinct keys, the report says ${report.uniques[table].key}`);
    if (table === 'tiny') continue;
    check(Number(fromParquet[16]) === report.uniques[table].code, `${where}: ${fromParquet[16]} distinct codes, the report says ${report.uniques[table].code}`);
    check(Number(fromParquet[19]) === (report.fill > 0 ? n : 0), `${where}: ${fromParquet[19]} fill values`);
    check(Number(fromParquet[20] === 'null' ? 0 : fromParquet[20]) === n * report.fill, `${where}: fill length ${fromParquet[20]}`);
  }
  con.closeSync();
  instance.closeSync();
  if (failed === failedBefore) console.log(`ok ${dir}: ${report.rows} rows, fill ${report.fill}, Parquet, text and compressed text databases agree`);
}

const dirs = process.argv.slice(2);
if (dirs.length === 0) {
  console.error('usage: node duckdb_target.mjs DIR [DIR ...]');
  process.exit(2);
}
for (const dir of dirs) {
  try {
    await checkRun(path.resolve(dir));
  } catch (err) {
    check(false, `${dir}: ${err.message}`);
  }
}
console.log(`${passed} passed, ${failed} failed`);
process.exitCode = failed === 0 ? 0 : 1;
