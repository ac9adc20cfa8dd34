#!/usr/bin/env bash
# bench/run.sh: the whole-program benchmark. Builds zervgen in Release mode
# (or takes a binary), runs the cases below and prints one table: wall
# seconds, CPU seconds (user + system), bytes written, MB/s (10^6 bytes),
# rows/s and peak resident memory for each, with the goal of each case and
# whether it was met. CPU seconds close to wall seconds on a 2-core machine
# mean other work held one of the cores.
#
#   bench/run.sh                     # build into build-bench/, run everything
#   bench/run.sh --skip-large        # leave out the 10^8-row case (~20 s)
#   bench/run.sh --bin path/zervgen  # use this binary, build nothing
#   bench/run.sh --ref-bin OLD       # also check the bytes against OLD
#   bench/run.sh --parquet-only      # only the text1, pq-* and duck-* cases
#   bench/run.sh --verify-only       # only the stdout and verify cases
#   options: --build DIR  --dir SCRATCH  --reps N (default 3)
#
# Cases (each the best of --reps runs; the 10^8-row case runs once):
#   file    -hu -n 10000000 -f FILE into SCRATCH (on the local disk), and
#           `dd if=/dev/zero bs=1M` writing as many bytes to the same folder;
#           goal: at least half of dd's throughput.
#   large   -hu -n 100000000 -f - > /dev/null; goal: 10 s, 3.5 GB peak RSS.
#   onecore taskset -c 0 zervgen -hu -n 10000000 -f - > /dev/null;
#           goal: 1500 MB per CPU second, column generation included.
#   all     the default run (five relations, 100000 rows) in SCRATCH.
#   allff   the same with -ff -fc 100.
#   stdout  -hu -n 10000000 -f - > /dev/null on every core (no goal).
#   verify  -hu -n 10000000 -f FILE -verify on every core, FILE written just
#           before (so in the page cache); bytes are FILE's size. Goal: at
#           least 90% of the stdout case's MB/s.
#   parts8  -hu -n 10000000 -parts 8 -f FILE: all eight parts in one run;
#           goal: the parts concatenated are the bytes of the file case, in
#           at most 1.2 times its wall seconds.
#   part3   the same with -part 3: one eighth of the rows, all columns;
#           goal: the bytes of part 3 of the parts8 case, in at most a
#           quarter of the file case's CPU seconds.
#   text1   taskset -c 0 zervgen -hu -n 10000000 -f FILE: the text of the
#           rows below, on one core (no goal of its own). FILE stays for
#           the duck-* cases.
#   pq-CODEC  taskset -c 0 zervgen -hu -n 10000000 -parquet -codec CODEC
#           -f FILE, for CODEC snappy, zstd and none; MB per CPU-s counts
#           the bytes of text1's file. Goals: snappy in no more CPU than
#           text1; every codec in at most a tenth of the CPU of text1 and
#           DuckDB's conversion together; the file no larger than DuckDB's
#           at the same codec; peak RSS above text1's by less than the
#           file's size (no relation held whole as encoded pages: the
#           extra is the row groups in flight).
#   duck-CODEC  the user's alternative, once per codec, right after the
#           pq-CODEC runs: taskset -c 0 node bench/duckdb_convert.mjs
#           converts text1's file with DuckDB (one thread) to Parquet of
#           the same codec. Needs node and @duckdb/node-api in
#           $ZERVGEN_NPM_DIR (default ~/.cache/zervgen-npm); skipped
#           without them.
#   digest  with --ref-bin: the SHA-256 of the whole standard output of
#           -hu -n 10000000 -f - from the binary and from OLD (a build of an
#           earlier commit, say) must be equal; a difference fails the run.
# Bytes are the sizes of the files written, or for standard output the
# bytes the process wrote (/proc/PID/io wchar, read before it is reaped;
# the few bytes of its banner on stderr included). Needs python3 and, for
# the onecore case, taskset. The files written are removed after each run.
set -euo pipefail

src_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$src_dir/build-bench"
bin=""
scratch=""
reps=3
skip_large=0
ref_bin=""
parquet_only=0
verify_only=0

while [[ $# -gt 0 ]]; do
  case "$1" in
    --bin) bin="$2"; shift 2 ;;
    --build) build_dir="$2"; shift 2 ;;
    --dir) scratch="$2"; shift 2 ;;
    --reps) reps="$2"; shift 2 ;;
    --skip-large) skip_large=1; shift ;;
    --ref-bin) ref_bin="$2"; shift 2 ;;
    --parquet-only) parquet_only=1; shift ;;
    --verify-only) verify_only=1; shift ;;
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "run.sh: unknown option '$1'" >&2; exit 2 ;;
  esac
done

if [[ -z "$bin" ]]; then
  cmake -S "$src_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release \
    -DZERVGEN_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build_dir" --target zervgen -j"$(nproc)" >/dev/null
  bin="$build_dir/zervgen"
fi
bin="$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")"
[[ -x "$bin" ]] || { echo "run.sh: no binary at $bin" >&2; exit 2; }
scratch="${scratch:-$build_dir/bench-scratch}"
mkdir -p "$scratch"
scratch="$(cd "$scratch" && pwd)"
rm -f "$scratch"/zerv.* "$scratch"/bench.hun* "$scratch"/dd.out "$scratch"/stderr.log \
  "$scratch"/duck.parquet

# measure OUT CMD...: runs CMD with standard output to OUT (a file to be
# created, or /dev/null) and standard error to $scratch/stderr.log, and
# prints "seconds bytes_written peak_rss_kib cpu_seconds" (user + system).
measure() {
  python3 - "$scratch/stderr.log" "$@" <<'PY'
import os, sys, time
err, out, cmd = sys.argv[1], sys.argv[2], sys.argv[3:]
start = time.monotonic()
pid = os.fork()
if pid == 0:
    os.dup2(os.open(out, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 1)
    os.dup2(os.open(err, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 2)
    os.execvp(cmd[0], cmd)
os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)  # ended, not yet reaped
seconds = time.monotonic() - start
wchar = 0
for line in open(f"/proc/{pid}/io"):
    if line.startswith("wchar:"):
        wchar = int(line.split()[1])
_, status, usage = os.wait4(pid, 0)
if status != 0:
    sys.exit(f"run.sh: '{' '.join(cmd)}' failed with status {status}; see {err}")
print(f"{seconds:.3f} {wchar} {usage.ru_maxrss} {usage.ru_utime + usage.ru_stime:.2f}")
PY
}

files_size() { local total=0 f; for f in "$@"; do total=$((total + $(stat -c %s "$f"))); done; echo "$total"; }

# best CASE N CMD...: the fastest of N runs; sets best_s, best_bytes, best_cpu
# (of that run) and best_rss (the highest of all runs).
# Files the case writes go to $scratch and are counted, then removed.
best() {
  local name="$1" n="$2"; shift 2
  best_s="" best_bytes=0 best_rss=0 best_cpu=0
  local i s bytes rss cpu
  for ((i = 0; i < n; i++)); do
    # Dirty pages of an earlier case would be written back during this one.
    sync
    case "$name" in
      file) read -r s bytes rss cpu < <(measure /dev/null "$@")
            bytes=$(files_size "$scratch/bench.hun")
            whole_sum=$(cksum < "$scratch/bench.hun"); rm -f "$scratch/bench.hun" ;;
      parts8) read -r s bytes rss cpu < <(measure /dev/null "$@")
            bytes=$(files_size "$scratch"/bench.hun.?)
            parts_sum=$(cat "$scratch"/bench.hun.{1..8} | cksum)
            part3_sum=$(cksum < "$scratch/bench.hun.3"); rm -f "$scratch"/bench.hun.? ;;
      part3) read -r s bytes rss cpu < <(measure /dev/null "$@")
            bytes=$(files_size "$scratch/bench.hun.3")
            one_sum=$(cksum < "$scratch/bench.hun.3"); rm -f "$scratch/bench.hun.3" ;;
      all|allff) read -r s bytes rss cpu < <(cd "$scratch" && measure /dev/null "$@")
            bytes=$(files_size "$scratch"/zerv.*); rm -f "$scratch"/zerv.* ;;
      text1) rm -f "$scratch/bench.hun.txt"  # the last run's stays for duck-*
            read -r s bytes rss cpu < <(measure /dev/null "$@")
            bytes=$(files_size "$scratch/bench.hun.txt") ;;
      pq-*) read -r s bytes rss cpu < <(measure /dev/null "$@")
            bytes=$(files_size "$scratch/bench.hun.parquet"); rm -f "$scratch/bench.hun.parquet" ;;
      duck-*) read -r s bytes rss cpu < <(measure /dev/null "$@")
            bytes=$(files_size "$scratch/duck.parquet"); rm -f "$scratch/duck.parquet" ;;
      verify) read -r s bytes rss cpu < <(measure /dev/null "$@")
            bytes=$(files_size "$scratch/bench.hun") ;;
      dd)   read -r s bytes rss cpu < <(measure /dev/null "$@")
            bytes=$(files_size "$scratch/dd.out"); rm -f "$scratch/dd.out" ;;
      *)    read -r s bytes rss cpu < <(measure /dev/null "$@") ;;
    esac
    if [[ -z "$best_s" ]] || awk -v a="$s" -v b="$best_s" 'BEGIN { exit !(a < b) }'; then
      best_s="$s" best_bytes="$bytes" best_cpu="$cpu"
    fi
    if ((rss > best_rss)); then best_rss="$rss"; fi
  done
}

row() {  # row NAME ROWS GOAL, from the best_* of the last case
  awk -v name="$1" -v rows="$2" -v goal="$3" -v s="$best_s" -v bytes="$best_bytes" \
      -v rss="$best_rss" -v cpu="$best_cpu" 'BEGIN {
    printf "%-8s %8.3f %7.2f %12.0f %8.1f %11.0f %7.0f  %s\n", name, s, cpu, bytes,
           bytes / s / 1e6, rows / s, rss / 1024, goal }'
}

mbs() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / s / 1e6 }'; }
met() { awk "BEGIN { exit !($1) }" && echo "met" || echo "NOT MET"; }

echo "zervgen whole-program benchmark"
echo "binary:  $bin"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -sr)"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "scratch: $scratch ($(df -h --output=avail "$scratch" | tail -1 | tr -d ' ') free)"
echo "best of $reps runs; the 10^8-row case runs once"
echo
printf "%-8s %8s %7s %12s %8s %11s %7s  %s\n" case wall-s cpu-s bytes MB/s rows/s "RSS MB" goal

n7=10000000

# The Parquet cases: text1, then for each codec pq-CODEC (best of --reps)
# and duck-CODEC (once) one after the other, so that both sides of a goal
# run under the same load.
parquet_cases() {
  if ! command -v taskset >/dev/null; then
    echo "text1    (skipped, and the Parquet cases: no taskset)"; return
  fi
  best text1 "$reps" taskset -c 0 "$bin" -hu -n "$n7" -f "$scratch/bench.hun.txt"
  local text_bytes=$best_bytes text_cpu=$best_cpu text_rss=$best_rss
  row text1 "$n7" "(one core, to a file)"
  local npm="${ZERVGEN_NPM_DIR:-$HOME/.cache/zervgen-npm}" duck=1 codec
  if ! command -v node >/dev/null || [[ ! -d "$npm/node_modules/@duckdb/node-api" ]]; then
    duck=0
  fi
  for codec in snappy zstd none; do
    best "pq-$codec" "$reps" taskset -c 0 "$bin" -hu -n "$n7" -parquet -codec "$codec" \
      -f "$scratch/bench.hun.parquet"
    local pq_s=$best_s pq_bytes=$best_bytes pq_cpu=$best_cpu pq_rss=$best_rss
    local per_cpu goal
    per_cpu=$(mbs "$text_bytes" "$pq_cpu")
    goal="$per_cpu text MB per CPU-s, RSS - text1's < file: $(met "($pq_rss - $text_rss) * 1024 < $pq_bytes")"
    if [[ "$codec" == snappy ]]; then
      goal="$goal, CPU <= text1's: $(met "$pq_cpu <= $text_cpu")"
    fi
    if ((duck == 0)); then
      row "pq-$codec" "$n7" "$goal"
      echo "duck-$codec (skipped: no node or no @duckdb/node-api in $npm)"
      continue
    fi
    ZERVGEN_NPM_DIR="$npm" best "duck-$codec" 1 taskset -c 0 node \
      "$src_dir/bench/duckdb_convert.mjs" "$scratch/bench.hun.txt" "$scratch/duck.parquet" "$codec"
    local duck_s=$best_s duck_bytes=$best_bytes duck_cpu=$best_cpu duck_rss=$best_rss
    local times
    times=$(awk -v a="$text_cpu" -v b="$duck_cpu" -v c="$pq_cpu" 'BEGIN { printf "%.1f", (a + b) / c }')
    goal="$goal, text1 + DuckDB's CPU / this: $times >= 10: $(met "$times >= 10")"
    goal="$goal, bytes <= DuckDB's: $(met "$pq_bytes <= $duck_bytes")"
    best_s=$pq_s best_bytes=$pq_bytes best_cpu=$pq_cpu best_rss=$pq_rss
    row "pq-$codec" "$n7" "$goal"
    best_s=$duck_s best_bytes=$duck_bytes best_cpu=$duck_cpu best_rss=$duck_rss
    row "duck-$codec" "$n7" "(reference: text1's file to Parquet by DuckDB)"
  done
  rm -f "$scratch/bench.hun.txt"
}

# stdout, then verify: the check of a file in the page cache beside the
# generation of the same bytes to /dev/null.
stdout_and_verify() {
  best stdout "$reps" "$bin" -hu -n "$n7" -f -
  row stdout "$n7" "(every core)"
  local out_mbs
  out_mbs=$(mbs "$best_bytes" "$best_s")
  "$bin" -hu -n "$n7" -f "$scratch/bench.hun" 2>/dev/null
  best verify "$reps" "$bin" -hu -n "$n7" -f "$scratch/bench.hun" -verify
  rm -f "$scratch/bench.hun"
  local share
  share=$(awk -v a="$(mbs "$best_bytes" "$best_s")" -v b="$out_mbs" 'BEGIN { printf "%.2f", a / b }')
  row verify "$n7" "$share of stdout's MB/s >= 0.9: $(met "$share >= 0.9")"
}

if ((verify_only == 1)); then
  stdout_and_verify
  rm -f "$scratch/stderr.log"
  exit 0
fi

if ((parquet_only == 1)); then
  parquet_cases
  rm -f "$scratch/stderr.log"
  exit 0
fi

best file "$reps" "$bin" -hu -n "$n7" -f "$scratch/bench.hun"
file_s=$best_s file_bytes=$best_bytes file_rss=$best_rss file_cpu=$best_cpu
# dd writes the same number of bytes, rounded up to whole MiB.
best dd "$reps" dd if=/dev/zero of="$scratch/dd.out" bs=1M \
  count=$(((file_bytes + 1048575) / 1048576)) status=none
ratio=$(awk -v a="$file_bytes" -v b="$file_s" -v c="$best_bytes" -v d="$best_s" \
  'BEGIN { printf "%.2f", (a / b) / (c / d) }')
dd_s=$best_s dd_bytes=$best_bytes dd_rss=$best_rss dd_cpu=$best_cpu
best_s=$file_s best_bytes=$file_bytes best_rss=$file_rss best_cpu=$file_cpu
row file "$n7" "dd $(mbs "$dd_bytes" "$dd_s") MB/s, ratio $ratio >= 0.5: $(met "$ratio >= 0.5")"
best_s=$dd_s best_bytes=$dd_bytes best_rss=$dd_rss best_cpu=$dd_cpu
row dd 0 "(reference)"

if ((skip_large == 0)); then
  n8=100000000
  best large 1 "$bin" -hu -n "$n8" -f -
  row large "$n8" "<= 10 s and <= 3.5 GB: $(met "$best_s <= 10 && $best_rss * 1024 <= 3.5e9")"
else
  echo "large    (skipped)"
fi

if command -v taskset >/dev/null; then
  best onecore "$reps" taskset -c 0 "$bin" -hu -n "$n7" -f -
  per_cpu=$(mbs "$best_bytes" "$best_cpu")
  row onecore "$n7" "$per_cpu MB per CPU-s >= 1500: $(met "$per_cpu >= 1500")"
else
  echo "onecore  (skipped: no taskset)"
fi

parquet_cases

stdout_and_verify

best parts8 "$reps" "$bin" -hu -n "$n7" -parts 8 -f "$scratch/bench.hun"
same=$([[ "$parts_sum" == "$whole_sum" ]] && echo "same bytes" || echo "BYTES DIFFER")
row parts8 "$n7" "$same, <= 1.2 x file: $(met "$best_s <= 1.2 * $file_s")"
best part3 "$reps" "$bin" -hu -n "$n7" -parts 8 -part 3 -f "$scratch/bench.hun"
share=$(awk -v a="$best_cpu" -v b="$file_cpu" 'BEGIN { printf "%.2f", a / b }')
row part3 "$((n7 / 8))" "part 3 of 8: $([[ "$one_sum" == "$part3_sum" ]] && echo "same bytes" || echo "BYTES DIFFER"), CPU $share of file <= 0.25: $(met "$share <= 0.25")"

best all "$reps" "$bin"
row all 400001 "(five relations, 100000 rows)"
best allff "$reps" "$bin" -ff -fc 100
row allff 400001 "(the same, -ff -fc 100)"

if [[ -n "$ref_bin" ]]; then
  [[ -x "$ref_bin" ]] || { echo "run.sh: no reference binary at $ref_bin" >&2; exit 2; }
  digest() { "$1" -hu -n "$n7" -f - 2>/dev/null | sha256sum | cut -d' ' -f1; }
  new_digest=$(digest "$bin")
  ref_digest=$(digest "$ref_bin")
  if [[ "$new_digest" != "$ref_digest" ]]; then
    echo "digest   -hu -n $n7: $new_digest differs from the reference's $ref_digest" >&2
    exit 1
  fi
  echo "digest   -hu -n $n7: $new_digest, the same as $ref_bin"
fi
rm -f "$scratch/stderr.log"
