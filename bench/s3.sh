#!/usr/bin/env bash
# bench/s3.sh: what writing to object storage costs. The same runs written
# to files on the local disk and into a bucket of a local S3 server
# (s3rver from the npm folder .ci/s3-tests fills, on loopback, no proxy),
# taking turns; prints for each case the medians of zervgen's CPU seconds
# (user + system, the server's not counted) and wall seconds, on disk and
# to the bucket, the ratio of the two, and zervgen's highest peak resident
# memory.
#
#   bench/s3.sh [--bin ZERVGEN] [--reps N] [--dir SCRATCH]
#
# The server runs on the same 2 cores and writes each object to its own
# disk folder, so the wall time of the bucket runs includes its work; the
# CPU column is zervgen's alone.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/zervgen
reps=3
scratch=
while (($#)); do
  case $1 in
    --bin) bin=$2; shift 2 ;;
    --reps) reps=$2; shift 2 ;;
    --dir) scratch=$2; shift 2 ;;
    *) echo "usage: bench/s3.sh [--bin ZERVGEN] [--reps N] [--dir SCRATCH]" >&2; exit 2 ;;
  esac
done
bin=$(realpath "$bin")
bash .ci/s3-tests --install-only >/dev/null
npm_dir=${ZERVGEN_NPM_DIR:-$HOME/.cache/zervgen-npm}/s3
work=$(mktemp -d ${scratch:+-p "$scratch"})
server=
stop() {
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$work"
}
trap stop EXIT
mkdir "$work/data" "$work/disk"
ZERVGEN_NPM_DIR=$npm_dir node tests/s3/server.mjs "$work/data" "$work/port" bench &
server=$!
for _ in $(seq 300); do [[ -f $work/port ]] && break; sleep 0.1; done
export AWS_ACCESS_KEY_ID=S3RVER AWS_SECRET_ACCESS_KEY=S3RVER AWS_REGION=us-east-1
export AWS_ENDPOINT_URL=http://127.0.0.1:$(cat "$work/port")

python3 - "$bin" "$work" "$reps" <<'EOF'
import os, shutil, statistics, subprocess, sys, time

zervgen, work, reps = sys.argv[1], sys.argv[2], int(sys.argv[3])
cases = [("text 10^6, -parts 4", ["-parts", "4", "-n", "1000000"]),
         ("zstd 10^6, -parts 4", ["-parts", "4", "-n", "1000000", "-compress", "zstd"]),
         ("parquet 10^6, -parts 4", ["-parts", "4", "-n", "1000000", "-parquet"])]


def measure(args, target):
    start = time.monotonic()
    process = subprocess.Popen([zervgen] + args + ["-f", target], cwd=os.path.join(work, "disk"),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        sys.exit(f"{target}: status {status}: {process.stderr.read().decode()}")
    return usage.ru_utime + usage.ru_stime, wall, usage.ru_maxrss / 1024


def clear():
    for folder in ("disk", "data/bench"):
        path = os.path.join(work, folder)
        for name in os.listdir(path):
            full = os.path.join(path, name)
            shutil.rmtree(full) if os.path.isdir(full) else os.remove(full)


print(f"{'case':24} {'CPU disk':>9} {'CPU s3':>9} {'ratio':>6} {'wall disk':>10} {'wall s3':>9}"
      f" {'ratio':>6} {'RSS MB disk':>12} {'RSS MB s3':>10}")
for name, args in cases:
    disk, s3 = [], []
    for rep in range(reps):
        clear()
        disk.append(measure(args, "r"))
        s3.append(measure(args, f"s3://bench/r{rep}"))
    cpu_d, cpu_s = (statistics.median(c for c, _, _ in x) for x in (disk, s3))
    wall_d, wall_s = (statistics.median(w for _, w, _ in x) for x in (disk, s3))
    rss_d, rss_s = (max(r for _, _, r in x) for x in (disk, s3))
    print(f"{name:24} {cpu_d:9.2f} {cpu_s:9.2f} {cpu_s / cpu_d:6.2f} {wall_d:10.2f} {wall_s:9.2f}"
          f" {wall_s / wall_d:6.2f} {rss_d:12.0f} {rss_s:10.0f}", flush=True)
EOF
