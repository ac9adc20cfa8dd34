// verify.mjs: checks zervgen's Parquet files with two independent readers,
// DuckDB (@duckdb/node-api) and hyparquet (with hyparquet-compressors),
// against the text file of the same rows.
//
//   node verify.mjs --manifest FILE.jsonl
//   node verify.mjs --parquet F.parquet --text F.txt --relation hundred
//                   --columns key,int,... [--rows N] [--rowGroup N] [--codec snappy]
//                   [--parts 'F.*.parquet' --nParts 3]
//
// Packages are loaded from $ZERVGEN_NPM_DIR (default ~/.cache/zervgen-npm),
// where .ci/parquet-readers installs them. For each file: DuckDB reads the
// Parquet file and the text file (with the types of sql/postgresql.sql), the
// column types are the table files', both hold the same rows (EXCEPT ALL
// both ways empty, equal counts), the metadata shows the row groups, codec,
// created_by and each chunk's true min and max; hyparquet reads every value,
// and a digest of all rows in order is the same from hyparquet, from DuckDB
// and from the text itself. With parts, the parts read as one table equal
// the whole file, row for row. Exits 1 when any check fails.
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

import { load } from './npm.mjs';

const { DuckDBInstance } = await load('@duckdb/node-api');
const hyparquet = await load('hyparquet');
const { compressors } = await load('hyparquet-compressors');

// The Parquet type of each column name, and the text file's SQL type.
const TYPES = {
  key: 'INTEGER', int: 'INTEGER', signed: 'INTEGER', float: 'DECIMAL(12,2)', double: 'DOUBLE',
  decim: 'DECIMAL(12,2)', date: 'DATE', code: 'VARCHAR', name: 'VARCHAR', address: 'VARCHAR',
  fill: 'VARCHAR',
};
const CODECS = { none: 'UNCOMPRESSED', snappy: 'SNAPPY', zstd: 'ZSTD' };

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

const sqlText = (s) => `'${s.replaceAll("'", "''")}'`;
const quoted = (c) => `"${c}"`;

// Each column as the text all three sides agree on: integers and whole
// doubles as digits, decimals with two places, dates as yyyy-mm-dd.
function canonicalSql(c) {
  const t = TYPES[c];
  if (t === 'DOUBLE') return `CAST(CAST(${quoted(c)} AS BIGINT) AS VARCHAR)`;
  if (t === 'DATE') return `strftime(${quoted(c)}, '%Y-%m-%d')`;
  return `CAST(${quoted(c)} AS VARCHAR)`;
}
function canonicalText(c, field) {
  const t = TYPES[c];
  if (t === 'DECIMAL(12,2)') return field.includes('.') ? field : `${field}.00`;
  if (t === 'DATE') {
    const [m, d, y] = field.split('/');
    return `${y}-${m.padStart(2, '0')}-${d.padStart(2, '0')}`;
  }
  return field;
}
function canonicalHyparquet(c) {
  const t = TYPES[c];
  if (t === 'DECIMAL(12,2)') return (v) => v.toFixed(2);
  if (t === 'DATE') return (v) => new Date(v * 86400000).toISOString().slice(0, 10);
  return String;
}

// The rows' count and the SHA-256 of their lines (fields joined by tabs, each
// line ended by a line feed), hashed a few thousand lines at a time.
class Digest {
  constructor() { this.hash = createHash('sha256'); this.rows = 0; this.lines = []; }
  add(fields) {
    this.lines.push(fields.join('\t'), '\n');
    this.rows++;
    if (this.lines.length >= 8192) this.flush();
  }
  flush() { this.hash.update(this.lines.join('')); this.lines = []; }
  done() { this.flush(); return `${this.rows}:${this.hash.digest('hex')}`; }
}

function textDigest(file, columns) {
  const digest = new Digest();
  const text = fs.readFileSync(file, 'latin1');
  const lines = text.split('\n');
  check(lines.pop() === '', `${file}: ends with a line end`);
  for (const line of lines) {
    const fields = line.split(',');
    if (fields.length !== columns.length) {
      check(false, `${file}: ${fields.length} fields in "${line}"`);
      break;
    }
    digest.add(fields.map((f, i) => canonicalText(columns[i], f)));
  }
  return digest.done();
}

// The same digest as Digest, made by DuckDB itself, without copying the rows
// out to JavaScript: the rows in file order, each the canonical texts joined
// by tabs and ended by a line feed.
async function duckDigest(con, source, columns) {
  const line = `concat_ws(chr(9), ${columns.map(canonicalSql).join(', ')}) || chr(10)`;
  const sql = `SELECT count(*), sha256(coalesce(string_agg(${line}, ''
      ORDER BY length(filename), filename, file_row_number), '')) FROM ${source}`;
  const [rows, hex] = (await con.runAndReadAll(sql)).getRows()[0];
  return `${rows}:${hex}`;
}

async function hyparquetDigest(files, columns, digest = new Digest()) {
  for (const f of files) {
    const file = await hyparquet.asyncBufferFromFile(f);
    const meta = await hyparquet.parquetMetadataAsync(file);
    const rows = await hyparquet.parquetReadObjects({
      file, metadata: meta, compressors, parsers: { dateFromDays: (d) => d },
    });
    check(BigInt(rows.length) === BigInt(meta.num_rows), `${f}: hyparquet rows`);
    const texts = columns.map(canonicalHyparquet);
    for (const r of rows) digest.add(columns.map((c, i) => texts[i](r[c])));
  }
  return digest;
}

async function scalar(con, sql) {
  const rows = (await con.runAndReadAll(sql)).getRows();
  return rows[0][0];
}

// The row groups, codec, writer name and each chunk's statistics.
async function checkMetadata(con, e, columns) {
  const p = sqlText(e.parquet);
  const file = (await con.runAndReadAll(`SELECT created_by, num_rows, num_row_groups FROM parquet_file_metadata(${p})`)).getRowObjects()[0];
  check(file.created_by === 'zervgen version 1.0 (build zervgen)', `${e.parquet}: created_by ${file.created_by}`);
  check(Number(file.num_rows) === e.rows, `${e.parquet}: num_rows ${file.num_rows}`);
  const groups = Math.ceil(e.rows / e.rowGroup);
  check(Number(file.num_row_groups) === groups, `${e.parquet}: ${file.num_row_groups} row groups, want ${groups}`);
  const meta = (await con.runAndReadAll(`SELECT row_group_id, row_group_num_rows, column_id, path_in_schema,
      compression, stats_min_value, stats_max_value, stats_null_count FROM parquet_metadata(${p})
      ORDER BY row_group_id, column_id`)).getRowObjects();
  check(meta.length === groups * columns.length, `${e.parquet}: ${meta.length} chunks`);
  // The true extremes of each row group, from the rows DuckDB reads.
  const extremes = columns.map((c) => `min(${quoted(c)})::VARCHAR, max(${quoted(c)})::VARCHAR`).join(', ');
  const truth = (await con.runAndReadAll(`SELECT file_row_number // ${e.rowGroup} AS g, ${extremes}
      FROM read_parquet(${p}, file_row_number = true) GROUP BY g ORDER BY g`)).getRows();
  for (const m of meta) {
    const g = Number(m.row_group_id);
    const c = Number(m.column_id);
    const where = `${e.parquet}: group ${g} ${m.path_in_schema}`;
    check(m.path_in_schema === columns[c], `${where}: path`);
    check(Number(m.row_group_num_rows) === Math.min(e.rowGroup, e.rows - g * e.rowGroup), `${where}: rows`);
    check(m.compression === CODECS[e.codec], `${where}: codec ${m.compression}`);
    check(Number(m.stats_null_count) === 0, `${where}: null count`);
    let [lo, hi] = [truth[g][1 + 2 * c], truth[g][2 + 2 * c]];
    let [slo, shi] = [m.stats_min_value, m.stats_max_value];
    if (TYPES[columns[c]] === 'DOUBLE') [lo, hi, slo, shi] = [lo, hi, slo, shi].map(Number);
    check(slo === lo && shi === hi, `${where}: stats ${slo}..${shi}, values ${lo}..${hi}`);
  }
}

async function verifyEntry(con, e) {
  const failedBefore = failed;
  const columns = e.columns;
  const p = sqlText(e.parquet);
  const described = (await con.runAndReadAll(`DESCRIBE SELECT * FROM read_parquet(${p})`)).getRowObjects();
  check(described.map((d) => d.column_name).join(',') === columns.join(','), `${e.parquet}: column names`);
  for (const d of described) check(d.column_type === TYPES[d.column_name], `${e.parquet}: ${d.column_name} is ${d.column_type}`);
  const types = columns.map((c) => `${sqlText(c)}: ${sqlText(TYPES[c])}`).join(', ');
  await con.run(`CREATE OR REPLACE TABLE t AS SELECT * FROM read_csv(${sqlText(e.text)}, delim = ',',
      header = false, quote = '', escape = '', auto_detect = false, dateformat = '%m/%d/%Y',
      columns = {${types}})`);
  await con.run(`CREATE OR REPLACE TABLE p AS SELECT * FROM read_parquet(${p})`);
  const counts = (await con.runAndReadAll(`SELECT (SELECT count(*) FROM t), (SELECT count(*) FROM p),
      (SELECT count(*) FROM (SELECT * FROM p EXCEPT ALL SELECT * FROM t)),
      (SELECT count(*) FROM (SELECT * FROM t EXCEPT ALL SELECT * FROM p))`)).getRows()[0].map(Number);
  check(counts[0] === e.rows && counts[1] === e.rows, `${e.parquet}: counts ${counts[0]} ${counts[1]}, want ${e.rows}`);
  check(counts[2] === 0 && counts[3] === 0, `${e.parquet}: EXCEPT ALL ${counts[2]} ${counts[3]}`);
  await checkMetadata(con, e, columns);
  const source = `read_parquet(${p}, filename = true, file_row_number = true)`;
  const fromDuck = await duckDigest(con, source, columns);
  const fromHy = (await hyparquetDigest([e.parquet], columns)).done();
  const fromText = textDigest(e.text, columns);
  check(fromDuck === fromHy && fromDuck === fromText, `${e.parquet}: digests duckdb ${fromDuck} hyparquet ${fromHy} text ${fromText}`);
  if (e.parts) await verifyParts(con, e, columns, fromDuck);
  if (failed === failedBefore) console.log(`ok ${e.parquet}: ${e.relation}, ${e.rows} rows, ${e.codec}, digest ${fromDuck.slice(0, 24)}`);
}

// The parts, read as one table through their glob, are the whole file.
async function verifyParts(con, e, columns, whole) {
  const g = sqlText(e.parts);
  const files = (await con.runAndReadAll(`SELECT file FROM glob(${g}) ORDER BY length(file), file`)).getRows().map((r) => r[0]);
  check(files.length === e.nParts, `${e.parts}: ${files.length} parts`);
  const source = `read_parquet(${g}, filename = true, file_row_number = true)`;
  check(await duckDigest(con, source, columns) === whole, `${e.parts}: parts in order are the whole file (duckdb)`);
  check((await hyparquetDigest(files, columns)).done() === whole, `${e.parts}: parts in order are the whole file (hyparquet)`);
  const diff = Number(await scalar(con, `SELECT count(*) FROM (SELECT * FROM read_parquet(${g}) EXCEPT ALL SELECT * FROM p)`));
  check(diff === 0, `${e.parts}: EXCEPT ALL against the whole file ${diff}`);
}

function parseArgs(argv) {
  const a = {};
  for (let i = 0; i < argv.length; i += 2) {
    if (!argv[i].startsWith('--') || i + 1 >= argv.length) throw new Error(`usage: see the top of verify.mjs`);
    a[argv[i].slice(2)] = argv[i + 1];
  }
  return a;
}

async function main() {
  const a = parseArgs(process.argv.slice(2));
  let entries;
  if (a.manifest) {
    entries = fs.readFileSync(a.manifest, 'utf8').split('\n').filter((l) => l.trim()).map((l) => JSON.parse(l));
  } else {
    const columns = a.columns.split(',');
    const rows = a.rows ? Number(a.rows) : fs.readFileSync(a.text, 'latin1').split('\n').length - 1;
    entries = [{ parquet: a.parquet, text: a.text, relation: a.relation, columns, rows,
      rowGroup: Number(a.rowGroup || 1048576), codec: a.codec || 'snappy',
      parts: a.parts, nParts: Number(a.nParts || 0) }];
  }
  const instance = await DuckDBInstance.create(':memory:');
  const con = await instance.connect();
  for (const e of entries) {
    try {
      await verifyEntry(con, e);
    } catch (err) {
      check(false, `${e.parquet}: ${err.message}`);
    }
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exitCode = failed === 0 ? 0 : 1;
}

await main();
