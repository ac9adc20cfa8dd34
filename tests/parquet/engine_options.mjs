// engine_options.mjs: checks the Parquet options for query engines with
// two readers. Makes a file of -hundred with the defaults (zstd) and one
// with -codec zstd:9 -pagesize 4096 -pageindex, and that one's pages
// compressed again at another level (zervgen_pq_rewrite), then:
//   DuckDB: the three files hold the same rows (EXCEPT ALL both ways empty);
//   hyparquet: the options file has a column index and an offset index for
//   every chunk, the offset index's pages start at row 0 and lie in the
//   chunk in order, small pages make several per chunk, and each page's
//   min and max are those of the values hyparquet reads for its rows;
//   -verify finds the rewritten file OK.
//
//   node engine_options.mjs ZERVGEN PQ_REWRITE OUT_DIR
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import { load } from './npm.mjs';

const { DuckDBInstance } = await load('@duckdb/node-api');
const hyparquet = await load('hyparquet');
const { compressors } = await load('hyparquet-compressors');

const [zervgen, rewrite, out] = process.argv.slice(2).map((p) => path.resolve(p));
let failures = 0;
function check(ok, what) {
  if (!ok) {
    failures++;
    console.error(`FAILED: ${what}`);
  }
}

const base = ['-hu', '-n', '20000', '-parquet', '-rowgroup', '5000', '-fc', '20'];
const options = ['-codec', 'zstd:9', '-pagesize', '4096', '-pageindex'];
function make(dir, args) {
  fs.mkdirSync(dir, { recursive: true });
  execFileSync(zervgen, args, { cwd: dir, stdio: ['ignore', 'ignore', 'ignore'] });
  return path.join(dir, 'zerv.hun.parquet');
}
const plain = make(path.join(out, 'engine-default'), [...base, '-codec', 'zstd']);
const indexed = make(path.join(out, 'engine-options'), [...base, ...options]);
const againDir = path.join(out, 'engine-rewritten');
fs.mkdirSync(againDir, { recursive: true });
const again = path.join(againDir, 'zerv.hun.parquet');
execFileSync(rewrite, [indexed, again, '--zstd-level', '2']);
check(!fs.readFileSync(again).equals(fs.readFileSync(indexed)), 'the rewrite changed the bytes');
const verified = execFileSync(zervgen, [...base, ...options, '-verify'], {
  cwd: againDir, encoding: 'latin1', stdio: ['ignore', 'pipe', 'ignore'],
});
// The same content in other bytes: OK, and the line says which it is.
check(verified === 'zerv.hun.parquet: OK (20000 rows; the same content in other bytes)\n',
  `-verify of the rewritten file: ${verified}`);

// DuckDB: the same rows in all three.
const db = await DuckDBInstance.create(':memory:');
const con = await db.connect();
const q = (f) => `read_parquet('${f.replaceAll("'", "''")}')`;
for (const other of [indexed, again]) {
  for (const [a, b] of [[plain, other], [other, plain]]) {
    const n = (await con.runAndReadAll(
      `SELECT count(*) FROM (SELECT * FROM ${q(a)} EXCEPT ALL SELECT * FROM ${q(b)})`)).getRows()[0][0];
    check(Number(n) === 0, `DuckDB: ${n} rows of ${a} not in ${b}`);
  }
  const n = (await con.runAndReadAll(`SELECT count(*) FROM ${q(other)}`)).getRows()[0][0];
  check(Number(n) === 20000, `DuckDB: ${n} rows in ${other}`);
}

// hyparquet: the page indexes agree with the values.
const norm = (v) => (v instanceof Date ? v.getTime() : typeof v === 'bigint' ? Number(v) : v);
for (const file of [indexed, again]) {
  const buffer = await hyparquet.asyncBufferFromFile(file);
  const meta = await hyparquet.parquetMetadataAsync(buffer);
  const rows = await hyparquet.parquetReadObjects({ file: buffer, compressors });
  const bytes = fs.readFileSync(file);
  const view = (offset) => ({ view: new DataView(bytes.buffer, bytes.byteOffset), offset: Number(offset) });
  let groupStart = 0;
  meta.row_groups.forEach((group, g) => {
    const groupRows = Number(group.num_rows);
    for (const chunk of group.columns) {
      const name = chunk.meta_data.path_in_schema[0];
      const element = meta.schema.find((e) => e.name === name);
      const where = `${path.basename(path.dirname(file))} row group ${g + 1} column ${name}`;
      check(chunk.column_index_offset !== undefined && chunk.offset_index_offset !== undefined,
        `${where}: has a column index and an offset index`);
      if (chunk.column_index_offset === undefined) continue;
      const ci = hyparquet.readColumnIndex(view(chunk.column_index_offset), element);
      const oi = hyparquet.readOffsetIndex(view(chunk.offset_index_offset));
      const pages = oi.page_locations;
      check(pages.length === ci.min_values.length, `${where}: as many min values as pages`);
      check(Number(pages[0].first_row_index) === 0, `${where}: the first page starts at row 0`);
      if (name === 'key') check(pages.length === 5, `${where}: 5 pages of 4096 bytes, not ${pages.length}`);
      const start = Number(chunk.meta_data.dictionary_page_offset ?? chunk.meta_data.data_page_offset);
      const end = start + Number(chunk.meta_data.total_compressed_size);
      pages.forEach((page, i) => {
        const from = groupStart + Number(page.first_row_index);
        const to = groupStart + (i + 1 < pages.length ? Number(pages[i + 1].first_row_index) : groupRows);
        const at = Number(page.offset);
        check(at >= start && at + page.compressed_page_size <= end, `${where}: page ${i + 1} in the chunk`);
        let lo, hi;
        for (let r = from; r < to; r++) {
          const v = norm(rows[r][name]);
          if (lo === undefined || v < lo) lo = v;
          if (hi === undefined || v > hi) hi = v;
        }
        check(norm(ci.min_values[i]) === lo && norm(ci.max_values[i]) === hi,
          `${where}: page ${i + 1} min/max ${ci.min_values[i]}/${ci.max_values[i]}, values ${lo}/${hi}`);
      });
    }
    groupStart += groupRows;
  });
}
if (failures > 0) {
  console.error(`engine_options.mjs: ${failures} checks failed`);
  process.exit(1);
}
console.log('engine_options.mjs: page index, page size and zstd level checked with DuckDB and hyparquet');
