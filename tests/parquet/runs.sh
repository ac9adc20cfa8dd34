#!/usr/bin/env bash
# runs.sh: runs the built zervgen over a table of Parquet runs and writes the
# files the independent readers check.
#
#   bash tests/parquet/runs.sh ZERVGEN OUT_DIR
#
# For each run of the table below (every relation each), in OUT_DIR/rNN:
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

fail() {
  echo "runs.sh: $*" >&2
  exit 1
}

# Each relation of `zervgen ARGS -describe`, one line each in run order:
# name, suffix, option, rows, and its columns joined by commas.
described() {
  "$zervgen" "$@" -describe 2>/dev/null | python3 -c '
import json, sys
for r in json.load(sys.stdin)["relations"]:
    print(r["name"], r["suffix"], r["option"], r["rows"], ",".join(c["name"] for c in r["columns"]))
' || fail "zervgen $* -describe failed"
}

# The relations, their suffixes and options, as zervgen describes them.
relations=()
declare -A suffix option rows_of columns_of
while read -r name suf opt _ _; do
  relations+=("$name")
  suffix[$name]=$suf
  option[$name]=$opt
done < <(described -n 100)
((${#relations[@]} > 0)) || fail "zervgen -describe gives no relation"

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
  piped=${relations[$((i % ${#relations[@]}))]}
  (cd "$dir" && "$zervgen" "${option[$piped]}" "${common[@]}" "${pq[@]}" -f - 2>>log >stdout.parquet) ||
    fail "zervgen ${option[$piped]} -f - failed in $dir"
  cmp "$dir/stdout.parquet" "$dir/zerv.${suffix[$piped]}.parquet" ||
    fail "-f - differs from the file in $dir ($piped)"
  rm "$dir/stdout.parquet"
  ((parts == 0)) || zerv "$dir/parts" "${common[@]}" "${pq[@]}" -parts "$parts"
  # Each relation's rows and columns in this run.
  rows_of=() columns_of=()
  while read -r name _ _ n cols; do
    rows_of[$name]=$n
    columns_of[$name]=$cols
  done < <(described "${common[@]}")
  for rel in "${relations[@]}"; do
    base=zerv.${suffix[$rel]}
    cmp "$dir/$base.parquet" "$dir/t2/$base.parquet" ||
      fail "-threads 1 and 2 differ in $dir ($rel)"
    rm "$dir/t2/$base.parquet"
    [[ -n ${rows_of[$rel]:-} ]] || fail "zervgen ${common[*]} -describe does not describe $rel"
    n=${rows_of[$rel]} cols=${columns_of[$rel]}
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
