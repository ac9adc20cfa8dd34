#!/usr/bin/env bash
# check_man.sh: the man pages render without warnings and name every option
# of the help texts (zervgen's, and zervgen-load's of every database), zervgen's
# names every installed program, and they install with the program, the
# table scripts and the loader where they belong; the installed loader runs
# by each of its names.
#
#   bash tests/db/check_man.sh ZERVGEN     (from the repo root)
set -euo pipefail
zervgen=$1
page=man/zervgen.1
failed=0
fail() {
  echo "FAIL [man] $*" >&2
  failed=1
}

warnings=$(LC_ALL=C groff -ww -man -Tutf8 -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff warns: $warnings"

# Plain text without overstriking or escapes, from groff alone (man and col
# are not on every machine).
rendered=$(LC_ALL=C groff -man -Tascii -P-cbou "$page" 2>/dev/null)
help=$("$zervgen" -help 2>&1 >/dev/null || true)
[[ -n $help ]] || fail "zervgen -help printed nothing"
for option in $(grep -oE '(^|[[ |])-[a-z0-9]+(-[a-z0-9]+)*' <<<"$help" | tr -d '[ |' | sort -u); do
  grep -qE -- "(^|[[:space:][|])$option([[:space:]|]|\]|$)" <<<"$rendered" ||
    fail "option $option of the help text is not in the man page"
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build --prefix "$prefix" >/dev/null
loaders=(zervgen-load zervgen-load-postgresql zervgen-load-sqlite zervgen-load-mariadb)
for file in bin/zervgen share/man/man1/zervgen.1 share/man/man1/zervgen-load.1 \
  share/zervgen/scripts/zervgen_tools/loader.py \
  share/zervgen/sql/postgresql.sql share/zervgen/sql/sqlite.sql share/zervgen/sql/mariadb.sql \
  "${loaders[@]/#/bin/}"; do
  [[ -e $prefix/$file ]] || fail "cmake --install did not install $file"
done
for name in zervgen "${loaders[@]}"; do
  [[ -x $prefix/bin/$name ]] || fail "bin/$name is not executable once installed"
  grep -q -- "$name" <<<"$rendered" || fail "the man page does not name $name"
done
# Installed, the loaders are called by name from any folder and find their
# shared code and table files; here a small run into SQLite. The loader's
# output is taken whole before it is matched: a reader that stops at the
# first match would end the loader with SIGPIPE, whenever it is still
# writing.
(
  cd "$prefix" && export PATH=$prefix/bin:$PATH &&
    for name in "${loaders[@]:1}"; do "$name" -h >/dev/null || exit 1; done &&
    zervgen-load sqlite -h >/dev/null &&
    mkdir run && zervgen -n 100 -f run/zerv 2>/dev/null &&
    loaded=$(zervgen-load-sqlite run.db run) &&
    grep -qx 'hundred         100 rows: as the run the files show (zervgen -n 100 -dc ,) says; every file proven by zervgen -verify' <<<"$loaded"
) || fail "the installed loader does not run by its names"

# zervgen-load: its own man page, installed, renders without warnings and
# names every option that the help of each database names.
page=$prefix/share/man/man1/zervgen-load.1
warnings=$(LC_ALL=C groff -ww -man -Tutf8 -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff warns on zervgen-load.1: $warnings"
rendered_load=$(LC_ALL=C groff -man -Tascii -P-cbou "$page" 2>/dev/null)
grep -q -- zervgen-load <<<"$rendered" || fail "the man page does not name zervgen-load(1)"
for db in postgresql sqlite mariadb; do
  help=$("$prefix/bin/zervgen-load" "$db" --help) || fail "zervgen-load $db --help failed"
  options=$(grep -oE '^  -[a-zA-Z]|^  -h, --help' <<<"$help" | sed 's/^  //; s/, / /')
  [[ -n $options ]] || fail "zervgen-load $db --help names no option"
  for option in $options; do
    grep -qE -- "(^|[[:space:][|(])$option([[:space:]|,)]|\]|$)" <<<"$rendered_load" ||
      fail "option $option of zervgen-load $db --help is not in zervgen-load.1"
  done
done

# zervgen-slurm: its own man page, installed beside zervgen and named in
# zervgen's page; installed, it runs by name.
warnings=$(LC_ALL=C groff -ww -man -Tutf8 -z man/zervgen-slurm.1 2>&1)
[[ -z $warnings ]] || fail "groff warns on zervgen-slurm.1: $warnings"
for file in bin/zervgen-slurm share/man/man1/zervgen-slurm.1; do
  [[ -e $prefix/$file ]] || fail "cmake --install did not install $file"
done
grep -q -- zervgen-slurm <<<"$rendered" || fail "the man page does not name zervgen-slurm"
"$prefix/bin/zervgen-slurm" --help >/dev/null || fail "the installed zervgen-slurm does not run"

if ((failed)); then exit 1; fi
echo "man page and installation: ok"
