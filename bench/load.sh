#!/usr/bin/env bash
# bench/load.sh: how long it takes to get a loaded, keyed and analyzed
# PostgreSQL database from zervgen's files, against what COPY alone takes for
# the same files (the limit).
#
#   bench/load.sh [--bin ZERVGEN] [--rows-option -400] [--jobs 2]
#
# PostgreSQL is reached through the PG* environment variables; the five
# tables of the current schema are replaced. The files go to a temporary
# folder (removed at the end). Prints wall seconds of:
#   copy      COPY of the five files into bare tables, one stream, nothing else
#   load      scripts/load-postgresql.sh PREFIX (checks, COPY, keys, ANALYZE)
#   load -jN  the same with -j N from N part files per relation
#   load -g   the same piping from zervgen instead of files (generation included)
set -euo pipefail
cd "$(dirname "$0")/.."
zervgen=build/zervgen rows=-400 jobs=2
while (($#)); do
  case $1 in
    --bin) zervgen=$2; shift 2 ;;
    --rows-option) rows=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    *) echo "usage: bench/load.sh [--bin ZERVGEN] [--rows-option -400] [--jobs N]" >&2; exit 2 ;;
  esac
done
zervgen=$(realpath "$zervgen")
loader=$PWD/scripts/load-postgresql.sh
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zervgen-bench-load.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

"$zervgen" "$rows" -f "$tmp/zerv" 2>/dev/null
for ((k = 1; k <= jobs; k++)); do
  "$zervgen" "$rows" -parts "$jobs" -part "$k" -f "$tmp/zerv" 2>/dev/null
done
echo "files: $(du -sh --apparent-size "$tmp" | cut -f1) in $tmp ($rows, whole and $jobs parts)"

seconds() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }'
}

copy_only() {
  local columns='"key", "int", "signed", "float", "double", "decim", "date", "code", "name", "address"'
  {
    echo "SET client_min_messages = warning; SET datestyle = 'ISO, MDY';"
    grep -v -E '^ALTER TABLE .* ADD PRIMARY KEY' sql/postgresql.sql
    for rel in hundred:hun tenpcnt:ten uniques:uni updates:upd; do
      echo "\\copy ${rel%:*} ($columns) FROM '$tmp/zerv.${rel#*:}' (FORMAT text, DELIMITER ',')"
    done
    echo "\\copy tiny FROM '$tmp/zerv.tny'"
  } | psql -X -q -v ON_ERROR_STOP=1 -f -
}

psql -X -q -c CHECKPOINT >/dev/null 2>&1 || true
printf '%-12s %8s s\n' copy "$(seconds copy_only)"
printf '%-12s %8s s\n' load "$(seconds "$loader" "$tmp/zerv")"
printf '%-12s %8s s\n' "load -j$jobs" "$(seconds "$loader" -j "$jobs" "$tmp/zerv")"
printf '%-12s %8s s\n' "load -g" "$(seconds "$loader" -g "$zervgen" "$rows")"
printf '%-12s %8s s\n' "load -g -j$jobs" "$(seconds "$loader" -j "$jobs" -g "$zervgen" "$rows")"
