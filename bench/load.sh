#!/usr/bin/env bash
# bench/load.sh: how long it takes to get a loaded, keyed, analyzed and
# checked PostgreSQL database from zervgen's files, against what COPY alone
# takes for the same files (the limit).
#
#   bench/load.sh [--bin ZERVGEN] [--rows-option -400] [--jobs 2] [--repeat 1]
#
# PostgreSQL is reached through the PG* environment variables (a local
# server: plain COPY has the server read the files); the five tables of the
# current schema are replaced. The files (whole and in --jobs parts, with the
# report beside them) go to a temporary folder, removed at the end.
# `bash .ci/db-tests build/zervgen -- bench/load.sh -n 1000000` runs it against
# a throwaway server. Prints, per step, wall seconds, the CPU seconds of the
# step's own processes (psql, the loader, zervgen) and of the server
# (when it runs on this machine and its data folder can be read), and the
# ratio of wall time to that of plain COPY:
#   copy         COPY ... FROM 'file' of the five files into bare tables, one
#                after another, nothing else
#   load         scripts/load-postgresql.sh PREFIX (the proof by zervgen
#                -verify, COPY, keys, ANALYZE, counts against the report)
#   load -jN     the same with -j N from N part files per relation
#   load -c      the same as load, with the column check against the report
#   load -g      the same piping from zervgen (generation included)
#   load -g -jN  the same with N pipes per relation
# With --repeat R every step runs R times and the fastest run is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
zervgen=build/zervgen rows=(-400) jobs=2 repeat=1
usage="usage: bench/load.sh [--bin ZERVGEN] [--rows-option -400 | -n ROWS] [--jobs N] [--repeat R]"
while (($#)); do
  case $1 in
    --bin) zervgen=$2; shift 2 ;;
    --rows-option) rows=("$2"); shift 2 ;;
    -n) rows=(-n "$2"); shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
zervgen=$(realpath "$zervgen")
loader=$PWD/scripts/load-postgresql.sh  # zervgen-load postgresql
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zervgen-bench-load.XXXXXX")
chmod 755 "$tmp"
trap 'rm -rf "$tmp"' EXIT

"$zervgen" "${rows[@]}" -r "$tmp/zerv.rpt" -f "$tmp/zerv" 2>/dev/null
# The report of part 1 names the parts' own options, which the loader's proof
# (zervgen -verify) repeats.
for ((k = 1; k <= jobs; k++)); do
  report=()
  ((k == 1)) && report=(-r "$tmp/parts.rpt")
  "$zervgen" "${rows[@]}" -parts "$jobs" -part "$k" "${report[@]}" -f "$tmp/parts" 2>/dev/null
done
echo "files: $(du -sh --apparent-size "$tmp" | cut -f1) in $tmp (${rows[*]}, whole and $jobs parts)"
echo "machine: $(nproc) cores, $(uname -r), $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "server: $(psql -X -A -t -c 'SELECT version()' | cut -d, -f1)"

# server_ticks: CPU ticks of the server so far: the postmaster's own and its
# ended children's (added to it when it reaps them), and the live children's.
postmaster=$(head -n 1 "$(psql -X -A -t -c 'SHOW data_directory' 2>/dev/null)/postmaster.pid" 2>/dev/null || true)
server_ticks() {
  [[ -n $postmaster && -r /proc/$postmaster/stat ]] || { echo 0; return; }
  local pid sum
  sum=$(awk '{ print $14 + $15 + $16 + $17 }' "/proc/$postmaster/stat")
  for pid in $(ps -o pid= --ppid "$postmaster"); do
    sum=$((sum + $(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || echo 0)))
  done
  echo "$sum"
}
hz=$(getconf CLK_TCK)
server_base=$(ps -o pid= --ppid "${postmaster:-1}" | wc -l)
# settle: waits until the step's server processes have ended and been
# reaped, so that their time is the postmaster's.
settle() {
  local i
  for ((i = 0; i < 600; i++)); do
    (($(ps -o pid= --ppid "${postmaster:-1}" | wc -l) <= server_base)) && return 0
    sleep 0.1
  done
}

# measure CMD...: "WALL CLIENT-CPU SERVER-CPU" seconds of one run of CMD.
measure() {
  local start s0 t
  s0=$(server_ticks)
  start=$EPOCHREALTIME
  TIMEFORMAT='%U %S'
  t=$({ time "$@" >/dev/null 2>"$tmp/err"; } 2>&1) || { cat "$tmp/err" >&2; return 1; }
  local end=$EPOCHREALTIME
  [[ -z $postmaster ]] || settle
  awk -v a="$start" -v b="$end" -v t="$t" -v s0="$s0" -v s1="$(server_ticks)" -v hz="$hz" \
    'BEGIN { split(t, c, " "); printf "%.2f %.2f %.2f\n", b - a, c[1] + c[2], (s1 - s0) / hz }'
}

copy_only() {
  local columns='"key", "int", "signed", "float", "double", "decim", "date", "code", "name", "address"'
  {
    echo "SET client_min_messages = warning; SET datestyle = 'ISO, MDY';"
    grep -v -E '^ALTER TABLE .* ADD PRIMARY KEY' sql/postgresql.sql
    # Bare tables: no CHECK constraints either.
    echo "DO \$\$DECLARE r record; BEGIN
      FOR r IN SELECT conrelid::regclass AS t, conname FROM pg_constraint
               WHERE contype = 'c' AND conrelid::regclass::text IN ('hundred', 'tenpcnt', 'tiny', 'uniques', 'updates')
      LOOP EXECUTE format('ALTER TABLE %s DROP CONSTRAINT %I', r.t, r.conname); END LOOP; END\$\$;"
    for rel in hundred:hun tenpcnt:ten uniques:uni updates:upd; do
      echo "COPY ${rel%:*} ($columns) FROM '$tmp/zerv.${rel#*:}' (FORMAT text, DELIMITER ',');"
    done
    echo "COPY tiny FROM '$tmp/zerv.tny';"
  } | psql -X -q -v ON_ERROR_STOP=1 -f -
}

copy_ratio=
step() {
  local name=$1 best= r line
  shift
  for ((r = 0; r < repeat; r++)); do
    psql -X -q -c CHECKPOINT >/dev/null 2>&1 || true
    line=$(measure "$@")
    if [[ -z $best ]] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
      best=$line
    fi
  done
  read -r wall client server <<<"$best"
  [[ -n $copy_ratio ]] || copy_ratio=$wall
  printf '%-12s %8s s wall %8s s CPU here %8s s CPU server %6.2f x copy\n' "$name" "$wall" "$client" \
    "$server" "$(awk -v a="$wall" -v b="$copy_ratio" 'BEGIN { print a / b }')"
}

step copy copy_only
step load "$loader" "$tmp/zerv"
step "load -j$jobs" "$loader" -j "$jobs" "$tmp/parts"
if [[ -z ${BENCH_QUICK:-} ]]; then
  step "load -c" "$loader" -c "$tmp/zerv"
  step "load -g" "$loader" -g "$zervgen" "${rows[@]}"
  step "load -g -j$jobs" "$loader" -j "$jobs" -g "$zervgen" "${rows[@]}"
fi
