#!/usr/bin/env bash
# runs.sh: runs the built zervgen over a table of Parquet runs and writes the
# files the independent readers check.
#
#   bash tests/parquet/runs.sh ZERVGEN OUT_DIR
#
# For each run of the table below (all five relations each), in OUT_DIR/rNN:
#   - the Parquet files, with -threads 1 (zerv.*.parquet) and -threads 2
#     (t2/), which must be the same bytes;
#   - the text files of the same options without -parquet, -codec and
#     -rowgroup (delimited, ','), and the run's report zerv.rpt (-r);
#   - the same text compressed, -compress zstd in odd runs and gzip:6 in even
#     ones (zerv.hun.zst or zerv.hun.gz ...);
#   - with parts, the part files in parts/ (zerv.hun.1.parquet ...);
#   - one relation again through -f -, which must be the bytes of its file.
# Writes OUT_DIR/manifest.jsonl (one line per Parquet file, as
# tests/parquet/verify.mjs reads it) and OUT_DIR/runs.txt (one run folder per
# line, for tests/parquet/duckdb_target.mjs). Exits nonzero on the first
# failure, naming the run.
set -euo pipefail

zervgen=$(realpath "$1")
out=$(realpath "$2")

# rows fill codec rowgroup parts
runs=(
  "100    0   none   1048576 0"
  "100    100 zstd   1000    0"
  "1001   1   snappy 1000    0"
  "1001   100 none   1000    3"
  "150001 0   zstd   20000   0"
  "150001 1   snappy 1048576 0"
  "150001 100 none   20000   3"
)

relations=(uniques updates hundred tenpcnt tiny)
declare -A suffix=([uniques]=uni [updates]=upd [hundred]=hun [tenpcnt]=ten [tiny]=tny)
declare -A option=([uniques]=-un [updates]=-up [hundred]=-hu [tenpcnt]=-te [tiny]=-ti)
big_columns=key,int,signed,float,double,decim,date,code,name,address

fail() {
  echo "runs.sh: $*" >&2
  exit 1
}

# Runs zervgen in folder $1 with the remaining arguments; its banner and
# messages go to the folder's log.
zerv() {
  local dir=$1
  shift
  mkdir -p "$dir"
  (cd "$dir" && "$zervgen" "$@" >>log 2>&1) || fail "zervgen $* failed in $dir: $(tail -n 3 "$dir/log")"
}

manifest=$out/manifest.jsonl
: >"$manifest"
: >"$out/runs.txt"
i=0
for run in "${runs[@]}"; do
  read -r rows fill codec rowgroup parts <<<"$run"
  i=$((i + 1))
  dir=$out/r$i
  common=(-n "$rows" -fc "$fill")
  pq=(-parquet -codec "$codec" -rowgroup "$rowgroup")
  zerv "$dir" "${common[@]}" "${pq[@]}" -threads 1
  zerv "$dir/t2" "${common[@]}" "${pq[@]}" -threads 2
  zerv "$dir" "${common[@]}" -r
  if ((i % 2)); then zerv "$dir" "${common[@]}" -compress zstd; else zerv "$dir" "${common[@]}" -compress gzip:6; fi
  # The relation sent to standard output turns with the run.
  piped=${relations[$((i % 5))]}
  (cd "$dir" && "$zervgen" "${option[$piped]}" "${common[@]}" "${pq[@]}" -f - 2>>log >stdout.parquet) ||
    fail "zervgen ${option[$piped]} -f - failed in $dir"
  cmp "$dir/stdout.parquet" "$dir/zerv.${suffix[$piped]}.parquet" ||
    fail "-f - differs from the file in $dir ($piped)"
  rm "$dir/stdout.parquet"
  ((parts == 0)) || zerv "$dir/parts" "${common[@]}" "${pq[@]}" -parts "$parts"
  columns=$big_columns
  ((fill == 0)) || columns=$columns,fill
  for rel in "${relations[@]}"; do
    base=zerv.${suffix[$rel]}
    cmp "$dir/$base.parquet" "$dir/t2/$base.parquet" ||
      fail "-threads 1 and 2 differ in $dir ($rel)"
    rm "$dir/t2/$base.parquet"
    n=$rows cols=$columns
    [[ $rel == tiny ]] && n=1 cols=key
    line=$(printf '{"parquet": "%s", "text": "%s", "relation": "%s", "columns": ["%s"], "rows": %d, "rowGroup": %d, "codec": "%s"' \
      "$dir/$base.parquet" "$dir/$base" "$rel" "${cols//,/\", \"}" "$n" "$rowgroup" "$codec")
    ((parts == 0)) || line+=$(printf ', "parts": "%s", "nParts": %d' "$dir/parts/$base.*.parquet" "$parts")
    echo "$line}" >>"$manifest"
  done
  echo "$dir" >>"$out/runs.txt"
  what="${common[*]} ${pq[*]}"
  ((parts == 0)) || what+=" -parts $parts"
  echo "run $i: $what: threads 1 and 2 the same bytes, -f - ($piped) the same bytes"
done
