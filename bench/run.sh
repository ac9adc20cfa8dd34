#!/usr/bin/env bash
# bench/run.sh: the whole-program benchmark. Builds zervgen in Release mode
# (or takes a binary), runs the cases below and prints one table: wall
# seconds, CPU seconds (user + system), bytes written, MB/s (10^6 bytes),
# rows/s and peak resident memory for each, with the goal of each case and
# whether it was met. With --anchor-bin every case also runs an anchor
# binary (the program before the work measured, say) in the same minutes,
# the two taking turns run by run, and the table gives the anchor's CPU
# seconds and the ratio of the two beside each case. CPU seconds close to
# wall seconds on a 2-core machine mean other work held one of the cores;
# the load average is printed before and after.
#
#   bench/run.sh                     # build into build-bench/, run everything
#   bench/run.sh --anchor-bin OLD    # also run OLD, interleaved, and compare
#   bench/run.sh --skip-large        # leave out the 10^8-row case (~20 s)
#   bench/run.sh --bin path/zervgen  # use this binary, build nothing
#   bench/run.sh --ref-bin OLD       # also check the bytes against OLD
#   bench/run.sh --parquet-only      # only the text1, pq-* and duck-* cases
#   bench/run.sh --verify-only       # only the stdout, verify(bad) and partnull cases
#   bench/run.sh --compress-only     # only the compressed-text cases
#   options: --build DIR  --dir SCRATCH  --reps N (default 3)
#
# Each case runs --reps times (the 10^8-row case once per binary) and shows
# the medians of wall and CPU seconds, and the highest peak RSS. The goals
# are those of the speed issues:
#   onecore taskset -c 0 zervgen -hu -n 10000000 -f - > /dev/null;
#           goals: 1500 MB per CPU second (median), column generation
#           included, and 2000 in the best of the runs.
#   file    -hu -n 10000000 -f FILE into SCRATCH (on the local disk), and
#           `dd if=/dev/zero bs=1M` writing as many bytes to the same folder,
#           taking turns with it; goal: at least half of dd's throughput.
#   part3   -hu -n 10000000 -parts 8 -part 3 -f FILE: one eighth of the
#           rows, all columns; goal: the bytes of part 3 of the parts8 case,
#           in at most a quarter of the file case's CPU seconds.
#   parts8  the same with all eight parts in one run; goal: the parts
#           concatenated are the bytes of the file case, in at most 1.2
#           times its wall seconds.
#   large   -hu -n 100000000 -f - > /dev/null; goal: 10 s, 3.5 GiB peak RSS.
#   all     the default run (five relations, 100000 rows) in SCRATCH.
#   allff   the same with -ff -fc 100.
#   stdout  -hu -n 10000000 -f - > /dev/null on every core (no goal).
#   partnull -hu -n 10000000 -parts 8 -part 3 -f - > /dev/null on every
#           core: part 3's rows without the file system; goal: at most 30%
#           of the stdout case's CPU seconds.
#   verify  -hu -n 10000000 -f FILE -verify on every core, FILE written just
#           before (so in the page cache); bytes are FILE's size. Goal: at
#           least 90% of the stdout case's MB/s.
#   verifybad  the same check of the same file with its third byte changed:
#           it fails at once (no goal; its CPU seconds are the shuffles').
#   text1   taskset -c 0 zervgen -hu -n 10000000 -f FILE: the text of the
#           rows below, on one core (no goal of its own). The file of the
#           binary's last run stays for the duck-* cases.
#   pq-CODEC  taskset -c 0 zervgen -hu -n 10000000 -parquet -codec CODEC
#           -f FILE, for CODEC snappy, zstd and none; MB per CPU-s counts
#           the bytes of text1's file. Goals: snappy in no more CPU than
#           text1; every codec in at most a tenth of the CPU of text1 and
#           DuckDB's conversion together; the file no larger than DuckDB's
#           at the same codec; peak RSS above text1's by less than the
#           file's size (no relation held whole as encoded pages), and with
#           an anchor no higher than the anchor's.
#   duck-CODEC  the user's alternative, once per codec, right after the
#           pq-CODEC runs: taskset -c 0 node bench/duckdb_convert.mjs
#           converts text1's file with DuckDB (one thread) to Parquet of
#           the same codec. Needs node and @duckdb/node-api in
#           $ZERVGEN_NPM_DIR (default ~/.cache/zervgen-npm); skipped
#           without them.
#   zst     -hu -n 10000000 -compress zstd -f FILE on every core, beside
#   zpipe   the user's alternative, zervgen -f - | zstd -T0 -1 > FILE, taking
#           turns with it; goals: at most 0.8 of zpipe's CPU seconds, no
#           more wall seconds, a file no larger. The ratio is the text's
#           bytes (the stdout case's) over the file's.
#   gz      the same with -compress gzip, beside
#   gzpipe  zervgen -f - | pigz -p CORES -1 (gzip -1 without pigz), at the
#           same level; the same goals.
#   zverify -verify of zst's file (in the page cache) on every core; goal:
#           at least 90% of zst's rows per second.
#   digest  with --ref-bin, or else with --anchor-bin: the SHA-256 of the
#           whole standard output of -hu -n 10000000 -f - from the binary
#           and from the other must be equal; a difference fails the run.
# Bytes are the sizes of the files written, or for standard output the
# bytes the process wrote (/proc/PID/io wchar, read before it is reaped;
# the few bytes of its banner on stderr included). Needs python3 and, for
# the one-core cases, taskset. The files written are removed after each run.
set -euo pipefail

src_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$src_dir/build-bench"
bin=""
anchor=""
scratch=""
reps=3
skip_large=0
ref_bin=""
parquet_only=0
verify_only=0
compress_only=0

while [[ $# -gt 0 ]]; do
  case "$1" in
    --bin) bin="$2"; shift 2 ;;
    --anchor-bin) anchor="$2"; shift 2 ;;
    --build) build_dir="$2"; shift 2 ;;
    --dir) scratch="$2"; shift 2 ;;
    --reps) reps="$2"; shift 2 ;;
    --skip-large) skip_large=1; shift ;;
    --ref-bin) ref_bin="$2"; shift 2 ;;
    --parquet-only) parquet_only=1; shift ;;
    --verify-only) verify_only=1; shift ;;
    --compress-only) compress_only=1; shift ;;
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
absolute() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
bin="$(absolute "$bin")"
[[ -x "$bin" ]] || { echo "run.sh: no binary at $bin" >&2; exit 2; }
if [[ -n "$anchor" ]]; then
  anchor="$(absolute "$anchor")"
  [[ -x "$anchor" ]] || { echo "run.sh: no anchor binary at $anchor" >&2; exit 2; }
fi
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

# once CASE WHO CMD...: one run of a case by WHO (bin, anchor or ref); sets
# s, bytes, rss and cpu. Files the case writes go to $scratch and are
# counted, then removed; the checksums are kept of the binary's runs only.
once() {
  local name="$1" who="$2"; shift 2
  # Dirty pages of an earlier run would be written back during this one.
  sync
  case "$name" in
    file) read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch/bench.hun")
          [[ "$who" != bin ]] || whole_sum=$(cksum < "$scratch/bench.hun")
          rm -f "$scratch/bench.hun" ;;
    parts8) read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch"/bench.hun.?)
          if [[ "$who" == bin ]]; then
            parts_sum=$(cat "$scratch"/bench.hun.{1..8} | cksum)
            part3_sum=$(cksum < "$scratch/bench.hun.3")
          fi
          rm -f "$scratch"/bench.hun.? ;;
    part3) read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch/bench.hun.3")
          [[ "$who" != bin ]] || one_sum=$(cksum < "$scratch/bench.hun.3")
          rm -f "$scratch/bench.hun.3" ;;
    all|allff) read -r s bytes rss cpu < <(cd "$scratch" && measure /dev/null "$@")
          bytes=$(files_size "$scratch"/zerv.*); rm -f "$scratch"/zerv.* ;;
    text1) rm -f "$scratch/bench.hun.txt"  # the binary's last one stays for duck-*
          read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch/bench.hun.txt") ;;
    pq-*) read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch/bench.hun.parquet"); rm -f "$scratch/bench.hun.parquet" ;;
    duck-*) read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch/duck.parquet"); rm -f "$scratch/duck.parquet" ;;
    verify|verifybad) read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch/bench.hun") ;;
    zst|zpipe|gz|gzpipe) rm -f "$scratch"/bench.hun.zst "$scratch"/bench.hun.gz
          read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch"/bench.hun.*z*) ;;
    zverify) read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch/bench.hun.zst") ;;
    dd)   read -r s bytes rss cpu < <(measure /dev/null "$@")
          bytes=$(files_size "$scratch/dd.out"); rm -f "$scratch/dd.out" ;;
    *)    read -r s bytes rss cpu < <(measure /dev/null "$@") ;;
  esac
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
  END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# The command of case NAME for binary BIN, in the array cmd.
command_of() {
  local name="$1" b="$2"
  case "$name" in
    onecore) cmd=(taskset -c 0 "$b" -hu -n "$n7" -f -) ;;
    file)    cmd=("$b" -hu -n "$n7" -f "$scratch/bench.hun") ;;
    part3)   cmd=("$b" -hu -n "$n7" -parts 8 -part 3 -f "$scratch/bench.hun") ;;
    parts8)  cmd=("$b" -hu -n "$n7" -parts 8 -f "$scratch/bench.hun") ;;
    large)   cmd=("$b" -hu -n 100000000 -f -) ;;
    all)     cmd=("$b") ;;
    allff)   cmd=("$b" -ff -fc 100) ;;
    stdout)  cmd=("$b" -hu -n "$n7" -f -) ;;
    verify)  cmd=("$b" -hu -n "$n7" -f "$scratch/bench.hun" -verify) ;;
    # The check must fail (status 1); any other status fails the case.
    verifybad) cmd=(bash -c '"$0" -hu -n "$1" -f "$2" -verify 2>/dev/null; test $? -eq 1' "$b" "$n7"
                    "$scratch/bench.hun") ;;
    partnull) cmd=("$b" -hu -n "$n7" -parts 8 -part 3 -f -) ;;
    text1)   cmd=(taskset -c 0 "$b" -hu -n "$n7" -f "$scratch/bench.hun.txt") ;;
    pq-*)    cmd=(taskset -c 0 "$b" -hu -n "$n7" -parquet -codec "${name#pq-}"
                  -f "$scratch/bench.hun.parquet") ;;
    zst)     cmd=("$b" -hu -n "$n7" -compress zstd -f "$scratch/bench.hun") ;;
    gz)      cmd=("$b" -hu -n "$n7" -compress gzip -f "$scratch/bench.hun") ;;
    zverify) cmd=("$b" -hu -n "$n7" -compress zstd -f "$scratch/bench.hun" -verify) ;;
    zpipe)   cmd=(bash -c '"$0" -hu -n "$1" -f - 2>/dev/null | zstd -T0 -1 -q > "$2"' "$b" "$n7"
                  "$scratch/bench.hun.zst") ;;
    gzpipe)  if command -v pigz >/dev/null; then
               cmd=(bash -c '"$0" -hu -n "$1" -f - 2>/dev/null | pigz -p "$(nproc)" -1 > "$2"'
                    "$b" "$n7" "$scratch/bench.hun.gz")
             else
               cmd=(bash -c '"$0" -hu -n "$1" -f - 2>/dev/null | gzip -1 > "$2"' "$b" "$n7"
                    "$scratch/bench.hun.gz")
             fi ;;
    *) echo "run.sh: no case $name" >&2; exit 2 ;;
  esac
}

# pair CASE N [EXTRA]: N runs of the case by the binary and, when there is
# one, by the anchor, taking turns (the anchor first), and after each pair
# the extra case EXTRA (dd) when given. Sets, for the binary, the medians
# best_s, best_cpu, the median run's bytes best_bytes and the highest RSS
# best_rss; the anchor's a_s, a_cpu, a_bytes, a_rss (empty without one);
# and for EXTRA x_s, x_cpu, x_bytes.
pair() {
  local name="$1" n="$2" extra="${3:-}" i
  local -a walls=() cpus=() bytes_all=() a_walls=() a_cpus=() x_walls=() x_cpus=()
  best_rss=0 a_rss=0 a_s="" a_cpu="" a_bytes=""
  # An anchor older than an option the case needs sits the case out.
  local with_anchor=0
  if [[ -n "$anchor" ]]; then
    with_anchor=1
    if [[ "$name" == verify* ]] && ! "$anchor" -help 2>&1 | grep -q -- '-verify'; then
      with_anchor=0
    fi
  fi
  for ((i = 0; i < n; i++)); do
    if ((with_anchor == 1)); then
      command_of "$name" "$anchor"
      once "$name" anchor "${cmd[@]}"
      a_walls+=("$s") a_cpus+=("$cpu") a_bytes=$bytes
      if ((rss > a_rss)); then a_rss=$rss; fi
    fi
    command_of "$name" "$bin"
    once "$name" bin "${cmd[@]}"
    walls+=("$s") cpus+=("$cpu") bytes_all+=("$bytes")
    if ((rss > best_rss)); then best_rss=$rss; fi
    if [[ "$extra" == dd ]]; then
      # dd writes the same number of bytes, rounded up to whole MiB.
      once dd bin dd if=/dev/zero of="$scratch/dd.out" bs=1M \
        count=$(((bytes + 1048575) / 1048576)) status=none
      x_walls+=("$s") x_cpus+=("$cpu") x_bytes=$bytes
    fi
  done
  best_s=$(median "${walls[@]}")
  best_cpu=$(median "${cpus[@]}")
  least_cpu=$(printf '%s\n' "${cpus[@]}" | sort -g | head -1)
  a_least_cpu=""
  ((with_anchor == 0)) || a_least_cpu=$(printf '%s\n' "${a_cpus[@]}" | sort -g | head -1)
  best_bytes=${bytes_all[0]}
  if ((with_anchor == 1)); then
    a_s=$(median "${a_walls[@]}")
    a_cpu=$(median "${a_cpus[@]}")
  fi
  if [[ -n "$extra" ]]; then
    x_s=$(median "${x_walls[@]}")
    x_cpu=$(median "${x_cpus[@]}")
  fi
}

row() {  # row NAME ROWS GOAL, from the best_* and a_* of the last case
  local vs="" 
  if [[ -n "$a_cpu" ]]; then
    vs=$(awk -v a="$a_cpu" -v b="$best_cpu" 'BEGIN { printf "%.2f", (a > 0 ? b / a : 0) }')
  fi
  awk -v name="$1" -v rows="$2" -v goal="$3" -v s="$best_s" -v bytes="$best_bytes" \
      -v rss="$best_rss" -v cpu="$best_cpu" -v acpu="${a_cpu:--}" -v vs="${vs:--}" 'BEGIN {
    printf "%-8s %8.3f %7.2f %7s %6s %12.0f %8.1f %11.0f %7.0f  %s\n", name, s, cpu, acpu, vs,
           bytes, bytes / s / 1e6, rows / s, rss / 1024, goal }'
}

mbs() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / s / 1e6 }'; }
met() { awk "BEGIN { exit !($1) }" && echo "met" || echo "NOT MET"; }
# The anchor's figure for a goal, in parentheses, when there is an anchor.
anchor_note() { [[ -z "$anchor" ]] || echo " (anchor $1)"; }

echo "zervgen whole-program benchmark"
echo "binary:  $bin"
[[ -z "$anchor" ]] || echo "anchor:  $anchor (runs in turn with the binary; a-cpu-s its CPU seconds, x the binary's CPU / the anchor's)"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(uname -sr)"
echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "scratch: $scratch ($(df -h --output=avail "$scratch" | tail -1 | tr -d ' ') free)"
echo "medians of $reps runs; the 10^8-row case runs once"
echo
printf "%-8s %8s %7s %7s %6s %12s %8s %11s %7s  %s\n" case wall-s cpu-s a-cpu-s x bytes MB/s \
  rows/s "RSS MB" goal

n7=10000000

# The Parquet cases: text1, then for each codec pq-CODEC and duck-CODEC
# (once) one after the other, so that both sides of a goal run under the
# same load.
parquet_cases() {
  if ! command -v taskset >/dev/null; then
    echo "text1    (skipped, and the Parquet cases: no taskset)"; return
  fi
  pair text1 "$reps"
  local text_bytes=$best_bytes text_cpu=$best_cpu text_rss=$best_rss
  row text1 "$n7" "(one core, to a file)"
  local npm="${ZERVGEN_NPM_DIR:-$HOME/.cache/zervgen-npm}" duck=1 codec
  if ! command -v node >/dev/null || [[ ! -d "$npm/node_modules/@duckdb/node-api" ]]; then
    duck=0
  fi
  for codec in snappy zstd none; do
    pair "pq-$codec" "$reps"
    local pq_s=$best_s pq_bytes=$best_bytes pq_cpu=$best_cpu pq_rss=$best_rss
    local pa_s=$a_s pa_cpu=$a_cpu pa_rss=$a_rss
    local per_cpu goal
    per_cpu=$(mbs "$text_bytes" "$pq_cpu")
    goal="$per_cpu text MB per CPU-s, RSS - text1's < file: $(met "($pq_rss - $text_rss) * 1024 < $pq_bytes")"
    if [[ -n "$anchor" ]]; then
      goal="$goal, RSS <= anchor's: $(met "$pq_rss <= $pa_rss")"
    fi
    if [[ "$codec" == snappy ]]; then
      local times
      times=$(awk -v a="$pq_cpu" -v b="$text_cpu" 'BEGIN { printf "%.2f", a / b }')
      goal="$goal, CPU / text1's $times <= 1: $(met "$pq_cpu <= $text_cpu")"
    fi
    if ((duck == 0)); then
      row "pq-$codec" "$n7" "$goal"
      echo "duck-$codec (skipped: no node or no @duckdb/node-api in $npm)"
      continue
    fi
    ZERVGEN_NPM_DIR="$npm" once "duck-$codec" bin taskset -c 0 node \
      "$src_dir/bench/duckdb_convert.mjs" "$scratch/bench.hun.txt" "$scratch/duck.parquet" "$codec"
    local duck_s=$s duck_bytes=$bytes duck_cpu=$cpu duck_rss=$rss
    local times
    times=$(awk -v a="$text_cpu" -v b="$duck_cpu" -v c="$pq_cpu" 'BEGIN { printf "%.1f", (a + b) / c }')
    goal="$goal, text1 + DuckDB's CPU / this: $times >= 10: $(met "$times >= 10")"
    goal="$goal, bytes <= DuckDB's: $(met "$pq_bytes <= $duck_bytes")"
    best_s=$pq_s best_bytes=$pq_bytes best_cpu=$pq_cpu best_rss=$pq_rss
    a_s=$pa_s a_cpu=$pa_cpu
    row "pq-$codec" "$n7" "$goal"
    best_s=$duck_s best_bytes=$duck_bytes best_cpu=$duck_cpu best_rss=$duck_rss a_cpu=""
    row "duck-$codec" "$n7" "(reference: text1's file to Parquet by DuckDB)"
  done
  rm -f "$scratch/bench.hun.txt"
}

# stdout, then verify: the check of a file in the page cache beside the
# generation of the same bytes to /dev/null.
stdout_and_verify() {
  pair stdout "$reps"
  row stdout "$n7" "(every core)"
  local out_mbs out_cpu=$best_cpu out_a_cpu=$a_cpu
  stdout_bytes=$best_bytes  # for the compressed cases' ratios
  out_mbs=$(mbs "$best_bytes" "$best_s")
  "$bin" -hu -n "$n7" -f "$scratch/bench.hun" 2>/dev/null
  pair verify "$reps"
  local share
  share=$(awk -v a="$(mbs "$best_bytes" "$best_s")" -v b="$out_mbs" 'BEGIN { printf "%.2f", a / b }')
  row verify "$n7" "$share of stdout's MB/s >= 0.9: $(met "$share >= 0.9")"
  printf 'X' | dd of="$scratch/bench.hun" bs=1 seek=2 conv=notrunc status=none
  pair verifybad "$reps"
  rm -f "$scratch/bench.hun"
  row verifybad "$n7" "(third byte changed: the check fails; CPU $(awk -v a="$best_cpu" -v b="$out_cpu" 'BEGIN { printf "%.2f", a / b }') of stdout's)"
  # A part against the whole on the same cores, without the file system.
  pair partnull "$reps"
  share=$(awk -v a="$best_cpu" -v b="$out_cpu" 'BEGIN { printf "%.2f", a / b }')
  local note=""
  if [[ -n "$anchor" ]]; then
    note=$(anchor_note "$(awk -v a="$a_cpu" -v b="$out_a_cpu" 'BEGIN { printf "%.2f", a / b }')")
  fi
  row partnull "$((n7 / 8))" "part 3 of 8, CPU $share of stdout's$note <= 0.30: $(met "$share <= 0.30")"
}

# Compressed text against zervgen's text piped into the compressor, each
# pair taking turns; then -verify of the zstd file. Text bytes: $1 (the
# stdout case's bytes), for the ratio.
compress_cases() {
  local text_bytes="$1" codec own pipe
  if ! command -v zstd >/dev/null; then
    echo "zst      (skipped: no zstd program)"; return
  fi
  for codec in zstd gzip; do
    own=zst pipe=zpipe
    [[ "$codec" == zstd ]] || own=gz pipe=gzpipe
    local p_s=() p_cpu=() p_bytes="" o_s=() o_cpu=() o_bytes="" o_rss=0 i
    for ((i = 0; i < reps; i++)); do
      command_of "$pipe" "$bin"; once "$pipe" bin "${cmd[@]}"
      p_s+=("$s") p_cpu+=("$cpu") p_bytes=$bytes
      command_of "$own" "$bin"; once "$own" bin "${cmd[@]}"
      o_s+=("$s") o_cpu+=("$cpu") o_bytes=$bytes
      if ((rss > o_rss)); then o_rss=$rss; fi
    done
    local ps pc os oc
    ps=$(median "${p_s[@]}") pc=$(median "${p_cpu[@]}")
    os=$(median "${o_s[@]}") oc=$(median "${o_cpu[@]}")
    best_s=$ps best_cpu=$pc best_bytes=$p_bytes best_rss=0 a_cpu=""
    row "$pipe" "$n7" "(the pipe; ratio $(awk -v a="$text_bytes" -v b="$p_bytes" 'BEGIN { printf "%.2f", a / b }'))"
    best_s=$os best_cpu=$oc best_bytes=$o_bytes best_rss=$o_rss
    local cpu_x
    cpu_x=$(awk -v a="$oc" -v b="$pc" 'BEGIN { printf "%.2f", a / b }')
    row "$own" "$n7" "ratio $(awk -v a="$text_bytes" -v b="$o_bytes" 'BEGIN { printf "%.2f", a / b }'); CPU $cpu_x of the pipe <= 0.8: $(met "$cpu_x <= 0.8"); wall <= the pipe's: $(met "$os <= $ps"); bytes <= the pipe's: $(met "$o_bytes <= $p_bytes")"
    [[ "$codec" != zstd ]] || { zst_s=$os; }
  done
  "$bin" -hu -n "$n7" -compress zstd -f "$scratch/bench.hun" 2>/dev/null
  pair zverify "$reps"
  rm -f "$scratch"/bench.hun.zst "$scratch"/bench.hun.gz
  local share
  share=$(awk -v a="$zst_s" -v b="$best_s" 'BEGIN { printf "%.2f", a / b }')
  row zverify "$n7" "$share of zst's rows/s >= 0.9: $(met "$share >= 0.9")"
}

digest_check() {
  local other="${ref_bin:-$anchor}"
  [[ -n "$other" ]] || return 0
  [[ -x "$other" ]] || { echo "run.sh: no reference binary at $other" >&2; exit 2; }
  digest() { "$1" -hu -n "$n7" -f - 2>/dev/null | sha256sum | cut -d' ' -f1; }
  local new_digest ref_digest
  new_digest=$(digest "$bin")
  ref_digest=$(digest "$other")
  if [[ "$new_digest" != "$ref_digest" ]]; then
    echo "digest   -hu -n $n7: $new_digest differs from the reference's $ref_digest" >&2
    exit 1
  fi
  echo "digest   -hu -n $n7: $new_digest, the same as $other"
}

finish() {
  echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
  rm -f "$scratch/stderr.log"
}

if ((verify_only == 1)); then
  stdout_and_verify
  finish
  exit 0
fi

if ((compress_only == 1)); then
  pair stdout "$reps"
  row stdout "$n7" "(every core)"
  compress_cases "$best_bytes"
  finish
  exit 0
fi

if ((parquet_only == 1)); then
  parquet_cases
  finish
  exit 0
fi

# The goal of text per core.
if command -v taskset >/dev/null; then
  pair onecore "$reps"
  per_cpu=$(mbs "$best_bytes" "$best_cpu")
  least=$(mbs "$best_bytes" "$least_cpu")
  note="" least_note=""
  if [[ -n "$anchor" ]]; then
    note=$(anchor_note "$(mbs "$best_bytes" "$a_cpu")")
    least_note=$(anchor_note "$(mbs "$best_bytes" "$a_least_cpu")")
  fi
  row onecore "$n7" "$per_cpu MB per CPU-s$note >= 1500: $(met "$per_cpu >= 1500"); best of $reps $least$least_note >= 2000: $(met "$least >= 2000")"
else
  echo "onecore  (skipped: no taskset)"
fi

# Goal 3: to a file, beside dd writing the same bytes to the same folder.
pair file "$reps" dd
file_s=$best_s file_bytes=$best_bytes file_cpu=$best_cpu file_a_s=$a_s file_a_cpu=$a_cpu
dd_s=$x_s dd_bytes=$x_bytes dd_cpu=$x_cpu
ratio=$(awk -v a="$file_bytes" -v b="$file_s" -v c="$dd_bytes" -v d="$dd_s" \
  'BEGIN { printf "%.2f", (a / b) / (c / d) }')
note=""
if [[ -n "$anchor" ]]; then
  note=$(anchor_note "$(awk -v a="$file_bytes" -v b="$a_s" -v c="$dd_bytes" -v d="$dd_s" \
    'BEGIN { printf "%.2f", (a / b) / (c / d) }')")
fi
row file "$n7" "dd $(mbs "$dd_bytes" "$dd_s") MB/s, ratio $ratio$note >= 0.5: $(met "$ratio >= 0.5")"
best_s=$dd_s best_bytes=$dd_bytes best_rss=0 best_cpu=$dd_cpu a_cpu=""
row dd 0 "(reference)"

# Goal 4: a part against the whole run.
pair parts8 "$reps"
same=$([[ "$parts_sum" == "$whole_sum" ]] && echo "same bytes" || echo "BYTES DIFFER")
row parts8 "$n7" "$same, <= 1.2 x file: $(met "$best_s <= 1.2 * $file_s")"
pair part3 "$reps"
share=$(awk -v a="$best_cpu" -v b="$file_cpu" 'BEGIN { printf "%.2f", a / b }')
note=""
if [[ -n "$anchor" ]]; then
  note=$(anchor_note "$(awk -v a="$a_cpu" -v b="$file_a_cpu" 'BEGIN { printf "%.2f", a / b }')")
fi
row part3 "$((n7 / 8))" "part 3 of 8: $([[ "$one_sum" == "$part3_sum" ]] && echo "same bytes" || echo "BYTES DIFFER"), CPU $share of file$note <= 0.25: $(met "$share <= 0.25")"

# Goal 1: Parquet at the cost of text.
parquet_cases

# Held: 10^8 rows.
if ((skip_large == 0)); then
  pair large 1
  # The peak memory goal counts GiB, as the RSS column counts MiB.
  peak=$(awk -v k="$best_rss" 'BEGIN { printf "%.2f", k / 1048576 }')
  row large 100000000 "peak $peak GiB; <= 10 s and <= 3.5 GiB: $(met "$best_s <= 10 && $best_rss <= 3.5 * 1048576")"
else
  echo "large    (skipped)"
fi

stdout_and_verify
compress_cases "$stdout_bytes"

pair all "$reps"
row all 400001 "(five relations, 100000 rows)"
pair allff "$reps"
row allff 400001 "(the same, -ff -fc 100)"

digest_check
finish
