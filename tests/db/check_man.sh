#!/usr/bin/env bash
# check_man.sh: the man page renders without warnings, names every option of
# the help text, and installs with the program, the table scripts and the load
# scripts where they belong.
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
for option in $(grep -oE '(^|[[ |])-[a-z0-9]+' <<<"$help" | tr -d '[ |' | sort -u); do
  grep -qE -- "(^|[[:space:][|])$option([[:space:]|]|\]|$)" <<<"$rendered" ||
    fail "option $option of the help text is not in the man page"
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build --prefix "$prefix" >/dev/null
for file in bin/zervgen share/man/man1/zervgen.1 share/zervgen/sql/postgresql.sql share/zervgen/scripts/load-common.sh \
  share/zervgen/sql/sqlite.sql share/zervgen/scripts/load-postgresql.sh \
  share/zervgen/scripts/load-sqlite.sh; do
  [[ -e $prefix/$file ]] || fail "cmake --install did not install $file"
done
for file in bin/zervgen share/zervgen/scripts/load-postgresql.sh share/zervgen/scripts/load-sqlite.sh; do
  [[ -x $prefix/$file ]] || fail "$file is not executable once installed"
done
# The installed scripts find the installed table definitions.
[[ -r $prefix/share/zervgen/scripts/../sql/postgresql.sql ]] ||
  fail "the installed load scripts cannot find sql/"

if ((failed)); then exit 1; fi
echo "man page and installation: ok"
