#!/usr/bin/env bash
# valgrind_check.sh: runs the built zervgen under valgrind (memcheck, full
# leak check) on small runs that take every ending a user meets: a complete
# run with a report, rows to standard output, a full disk, a file-size
# limit, a closed pipe, an existing relation file and a rejected command
# line, and checks of files with -verify. Any memory error or leak, or a status other than the expected one,
# fails the check.
#
# Usage: tests/valgrind_check.sh [BUILD_DIR]     (default: build)
#
# Columns in temporary files cannot be forced here: valgrind does not run
# under an address-space limit tight enough to refuse a column. When the
# unit tests are built (BUILD_DIR/zervgen_tests), their column-storage and
# writer tests, which refuse allocations from inside, run under valgrind too,
# checked for memory errors but not for leaks: they set up many control
# blocks in one process, and the scratch vector that no slot owns is meant
# to live until the process ends.
set -uo pipefail

build=${1:-build}
if ! command -v valgrind >/dev/null 2>&1; then
  echo "valgrind_check: valgrind is not installed (Debian's valgrind); nothing was checked." >&2
  exit 2
fi
build=$(realpath "$build" 2>/dev/null) || build=""
bin="$build/zervgen"
if [[ -z "$build" || ! -x "$bin" ]]; then
  echo "valgrind_check: no zervgen binary in '${1:-build}'; build it first." >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zervgen_valgrind.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
vg=(valgrind --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect,possible
    --errors-for-leak-kinds=definite,indirect,possible --track-fds=no --quiet)

fail() {
  echo "valgrind_check: FAILED: $*" >&2
  failures=$((failures + 1))
}

# check NAME EXPECTED_STATUS STATUS LOG: the status and the valgrind log.
check() {
  local name=$1 want=$2 got=$3 log=$4
  if [[ -s "$log" ]]; then
    fail "$name: valgrind reported:"
    cat "$log" >&2
  elif [[ "$got" != "$want" ]]; then
    fail "$name: status $got, expected $want"
  else
    echo "valgrind_check: ok: $name"
  fi
}

# fresh NAME: an empty folder for one case, made the current directory.
fresh() {
  mkdir -p "$work/$1" && cd "$work/$1" || exit 2
}

lines() { wc -l <"$1" | tr -d ' '; }

# 1. All five relations with a fill column, a delimiter and a report.
fresh all
"${vg[@]}" --log-file=vg.log -- "$bin" -n 1000 -fc 20 -dc '|' -r zerv.rpt 2>err
check "five relations and a report" 0 $? vg.log
for f in zerv.hun zerv.ten zerv.uni zerv.upd; do
  [[ "$(lines $f)" == 1000 ]] || fail "five relations: $f has $(lines $f) rows"
done
[[ "$(lines zerv.tny)" == 1 ]] || fail "five relations: zerv.tny has $(lines zerv.tny) rows"
grep -q '^Total Time: ' zerv.rpt || fail "five relations: the report has no total time"

# 2. One relation, fixed format, to standard output.
fresh stdout
"${vg[@]}" --log-file=vg.log -- "$bin" -hu -n 1000 -ff -f - >out 2>err
check "fixed rows to standard output" 0 $? vg.log
[[ "$(lines out)" == 1000 ]] || fail "standard output: $(lines out) rows"

# 3. A full disk on standard output.
fresh full
"${vg[@]}" --log-file=vg.log -- "$bin" -un -n 1000 -f - -r rpt >/dev/full 2>err
check "full disk" 255 $? vg.log
grep -q ': File system full\.$' err || fail "full disk: no message"

# 4. A file-size limit that the relation file runs into; the file goes.
fresh fsize
(ulimit -f 64; exec "${vg[@]}" --log-file=vg.log -- "$bin" -hu -n 5000 -f big -r rpt >out 2>err)
check "file-size limit" 255 $? vg.log
[[ ! -e big ]] || fail "file-size limit: the partial file is still there"

# 5. A reader that closes the pipe after one row.
fresh pipe
"${vg[@]}" --log-file=vg.log -- "$bin" -hu -n 100000 -f - -r rpt 2>err | head -1 >row
status=${PIPESTATUS[0]}
check "closed pipe" 255 "$status" vg.log
[[ "$(lines row)" == 1 ]] || fail "closed pipe: head got $(lines row) rows"

# 6. A relation file that exists already.
fresh exists
echo keep >zerv.tny
"${vg[@]}" --log-file=vg.log -- "$bin" -ti -n 100 -r rpt >out 2>err
check "existing relation file" 255 $? vg.log
[[ "$(cat zerv.tny)" == keep ]] || fail "existing relation file: it was changed"

# 7. A rejected command line.
fresh rejected
"${vg[@]}" --log-file=vg.log -- "$bin" -n 99 2>err
check "rejected command line" 255 $? vg.log

# 8. Checks of files: untouched ones pass, a changed byte, a cut and a
#    missing file fail (status 1), Parquet too.
fresh verify
"$bin" -n 1000 -fc 5 -f t 2>/dev/null && "$bin" -hu -n 3000 -parquet -rowgroup 1000 2>/dev/null
"${vg[@]}" --log-file=vg.log -- "$bin" -n 1000 -fc 5 -f t -verify >out 2>err
check "verify untouched files" 0 $? vg.log
printf x | dd of=t.hun bs=1 seek=5000 conv=notrunc status=none
truncate -s 3000 t.ten && rm t.upd
printf x | dd of=zerv.hun.parquet bs=1 seek=20000 conv=notrunc status=none
"${vg[@]}" --log-file=vg.log -- "$bin" -n 1000 -fc 5 -f t -verify >out 2>err
check "verify damaged files" 1 $? vg.log
[[ "$(grep -c FAILED out)" == 3 ]] || fail "verify damaged files: $(grep -c FAILED out) failed"
"${vg[@]}" --log-file=vg.log -- "$bin" -hu -n 3000 -parquet -rowgroup 1000 -verify >out 2>err
check "verify a damaged Parquet file" 1 $? vg.log

# 9. Column storage in temporary files and the writer, from the unit tests.
if [[ -x "$build/zervgen_tests" ]]; then
  fresh unit
  "${vg[@]}" --log-file=vg.log --leak-check=no -- "$build/zervgen_tests" --gtest_filter='GenTest.*' >out 2>err
  status=$?
  check "unit tests of column storage and writer" 0 "$status" vg.log
  [[ "$status" == 0 ]] || tail -20 out >&2
fi

if ((failures > 0)); then
  echo "valgrind_check: $failures case(s) failed." >&2
  exit 1
fi
echo "valgrind_check: all cases passed."
