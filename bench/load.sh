#!/usr/bin/env bash
# bench/load.sh: how long it takes to get a loaded, keyed, analyzed and
# checked PostgreSQL database from zervgen's files, against what COPY alone
# takes for the same files (the limit).
#
#   bench/load.sh [--bin ZERVGEN] [--rows-option -400 | -n ROWS] [--delim tab]
#                 [--jobs 2] [--repeat 3]
#
# PostgreSQL is reached through the PG* environment variables (a local
# server: plain COPY has the server read the files); the five tables of the
# current schema are replaced. The files (whole and in --jobs parts, with the
# manifest or report beside them, and the same files again without any
# record; tab-delimited by default) go to a temporary folder, removed at the
# end.
# `bash .ci/db-tests build/zervgen -- bench/load.sh` runs it against a
# throwaway server. The steps:
#   copy         COPY ... FROM 'file' of the five files into bare tables, one
#                after another, nothing else
#   load         scripts/zervgen-load postgresql PREFIX (the proof by zervgen
#                -verify, COPY, keys, ANALYZE, counts against the manifest)
#   load -jN     the same with -j N from N part files per relation (their
#                report)
#   bare         the same as load, from the files without a record (the
#                loader proves them the run they show)
#   bare -jN     the same with -j N
#   load -c      the same as load, with the column check against the report
#   load -g      the same piping from zervgen (generation included)
#   load -g -jN  the same with N pipes per relation
# (the last three not with BENCH_QUICK=1). The steps run in turns, R rounds
# (--repeat), so that a busy spell of the machine falls on all of them; each
# line gives a step's medians: wall seconds, the CPU seconds of the step's
# own processes (psql, the loader, zervgen), those of the server (when it
# runs on this machine and its data folder can be read) and the wall time
# against plain COPY's. The closing lines compare the loader's better of one
# stream and -j N with plain COPY, with a record and without one, with the
# date and the load average before and after: on a machine shared with
# other work the figures are indicative (run it with nice there).
set -euo pipefail
cd "$(dirname "$0")/.."
zervgen=build/zervgen rows=(-400) jobs=2 repeat=3 delim=tab
usage="usage: bench/load.sh [--bin ZERVGEN] [--rows-option -400 | -n ROWS] [--delim tab|,|'|'] [--jobs N] [--repeat R]"
while (($#)); do
  case $1 in
    --bin) zervgen=$2; shift 2 ;;
    --rows-option) rows=("$2"); shift 2 ;;
    -n) rows=(-n "$2"); shift 2 ;;
    --delim) delim=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --repeat) repeat=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
case $delim in
  tab) copy_delim="E'\\t'" ;;
  , | '|') copy_delim="'$delim'" ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
zervgen=$(realpath "$zervgen")
# The loader runs under Debian's own python3 when there is one, as the
# installed program does (its "#!/usr/bin/env python3" finds it there): a
# version manager's shim first in PATH would add its own start-up, about a
# second on a busy machine, to every step and to none of plain COPY's.
python=python3
[[ -x /usr/bin/python3 ]] && python=/usr/bin/python3
loader=("$python" "$PWD/scripts/zervgen-load")
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zervgen-bench-load.XXXXXX")
chmod 755 "$tmp"
trap 'rm -rf "$tmp"' EXIT

"$zervgen" "${rows[@]}" -dc "$delim" -manifest "$tmp/zerv.manifest" -f "$tmp/zerv" 2>/dev/null
# The report of part 1 names the parts' own options, which the loader's proof
# (zervgen -verify) repeats.
for ((k = 1; k <= jobs; k++)); do
  report=()
  ((k == 1)) && report=(-r "$tmp/parts.rpt")
  "$zervgen" "${rows[@]}" -dc "$delim" -parts "$jobs" -part "$k" "${report[@]}" -f "$tmp/parts" 2>/dev/null
done
# The same files without a record: links, so the server reads the same bytes.
mkdir "$tmp/bare"
for f in "$tmp"/zerv.* "$tmp"/parts.*; do
  [[ $f == *.rpt || $f == *.manifest ]] || ln "$f" "$tmp/bare/"
done
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "files: $(du -sh --apparent-size --exclude=bare "$tmp" | cut -f1) in $tmp (${rows[*]}, -dc $delim, whole and $jobs parts)"
echo "machine: $(nproc) cores, $(uname -r), $(date -u '+%Y-%m-%d %H:%M UTC'), load average $load_before"
echo "loader: $python ($("$python" --version 2>&1))"
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
      echo "COPY ${rel%:*} ($columns) FROM '$tmp/zerv.${rel#*:}' (FORMAT text, DELIMITER $copy_delim);"
    done
    echo "COPY tiny FROM '$tmp/zerv.tny';"
  } | psql -X -q -v ON_ERROR_STOP=1 -f -
}

# The steps: step_I runs step I, names[I] names it.
names=(copy load "load -j$jobs" bare "bare -j$jobs")
step_0() { copy_only; }
step_1() { "${loader[@]}" postgresql "$tmp/zerv"; }
step_2() { "${loader[@]}" postgresql -d "$delim" -j "$jobs" "$tmp/parts"; }
step_3() { "${loader[@]}" postgresql -d "$delim" "$tmp/bare/zerv"; }
step_4() { "${loader[@]}" postgresql -d "$delim" -j "$jobs" "$tmp/bare/parts"; }
step_5() { "${loader[@]}" postgresql -c "$tmp/zerv"; }
step_6() { "${loader[@]}" postgresql -d "$delim" -g "$zervgen" "${rows[@]}"; }
step_7() { "${loader[@]}" postgresql -d "$delim" -j "$jobs" -g "$zervgen" "${rows[@]}"; }
[[ -n ${BENCH_QUICK:-} ]] || names+=("load -c" "load -g" "load -g -j$jobs")

# The rounds: every step once per round, in the same order; results in
# $tmp/step.I, one "WALL CLIENT SERVER" line per round.
for ((r = 1; r <= repeat; r++)); do
  for i in "${!names[@]}"; do
    psql -X -q -c CHECKPOINT >/dev/null 2>&1 || true
    measure "step_$i" >>"$tmp/step.$i"
  done
done

# median FILE COLUMN: the median of a column of numbers.
median() {
  sort -n -k "$2,$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END {
    printf "%.2f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
printf 'medians of %d rounds:\n' "$repeat"
for i in "${!names[@]}"; do
  wall[i]=$(median "$tmp/step.$i" 1)
  here[i]=$(median "$tmp/step.$i" 2)
  server[i]=$(median "$tmp/step.$i" 3)
  printf '%-12s %8s s wall %8s s CPU here %8s s CPU server %6.2f x copy   (walls: %s)\n' "${names[i]}" \
    "${wall[i]}" "${here[i]}" "${server[i]}" "$(awk -v a="${wall[i]}" -v b="${wall[0]}" 'BEGIN { print a / b }')" \
    "$(cut -d' ' -f1 "$tmp/step.$i" | paste -sd' ')"
done

# The comparison: the loader's better of one stream and -j N against plain
# COPY into bare tables, wall and CPU (here and server together), with a
# record (steps 1 and 2) and without one (3 and 4).
cpu() { awk -v a="${here[$1]}" -v b="${server[$1]}" 'BEGIN { printf "%.2f", a + b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "comparison: ${rows[*]}, -dc $delim, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $load_before before," \
  "$(cut -d' ' -f1-3 /proc/loadavg) after (indicative on a shared machine)"
printf '  %-40s %8s s wall %8s s CPU\n' "plain COPY into bare tables" "${wall[0]}" "$(cpu 0)"
for pair in "1 2 a record" "3 4 no record"; do
  read -r one many what <<<"$pair"
  best=$one
  awk -v a="${wall[many]}" -v b="${wall[one]}" 'BEGIN { exit !(a < b) }' && best=$many
  printf '  %-40s %8s s wall %8s s CPU   ratio %s x wall, %s x CPU\n' \
    "loader, $what, best: ${names[best]}" "${wall[best]}" "$(cpu "$best")" \
    "$(ratio "${wall[best]}" "${wall[0]}")" "$(ratio "$(cpu "$best")" "$(cpu 0)")"
done
echo "  (goal: every file proven, within 1.0 x wall)"
