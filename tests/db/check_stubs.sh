#!/usr/bin/env bash
# check_stubs.sh: the loader against stub database clients, without a
# database: option parsing, the -j part files and sessions, a failing -g
# generator, and the options handed to the MariaDB client. The loader is
# called by its old names (load-postgresql.sh, ...), which choose the
# database, and as zervgen-load DATABASE.
#
#   bash tests/db/check_stubs.sh ZERVGEN     (from the repo root)
#
# The stub psql records its arguments and the scripts it is given (in a file
# or, as the loader's sessions send them, on standard input), and plays a
# server that has an empty schema "public": it runs the COPY ... FROM PROGRAM
# commands and counts the rows of the COPY sources. The stub mariadb
# records its arguments and fails.
set -euo pipefail
zervgen=$(realpath "$1")
repo=$PWD
failed=0 passed=0
fail() {
  echo "FAIL [stubs] $*" >&2
  failed=1
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export STUB_LOG=$tmp/log
mkdir "$tmp/bin"

cat >"$tmp/bin/psql" <<'STUB'
#!/usr/bin/env bash
# Stub psql: records, and answers the loader's questions as an empty database.
echo "psql $*" >>"$STUB_LOG"
sql= file=
while (($#)); do
  case $1 in
    -c) sql+=$2$'\n'; shift 2 ;;
    -f) file=$2; shift 2 ;;
    *) shift ;;
  esac
done
if [[ -n $file ]]; then
  # A script file, or scripts on standard input, each answered by the
  # "\echo zervgen-done N" that ends it, as the loader's sessions expect.
  [[ $file == - ]] && file=/dev/stdin
  rows=0
  while IFS= read -r line; do
    if [[ $line =~ ^\\copy\ ([^ ]+).*\ FROM\ PROGRAM\ \'(.*)\'\ \( ]]; then
      cmd=${BASH_REMATCH[2]//\'\'/\'}
      # The script the program runs, on the same line: the file it reads.
      echo "copy ${BASH_REMATCH[1]} program $(eval "cat ${cmd#bash }" | tr '\n' ' ')" >>"$STUB_LOG"
      sh -c "$cmd" </dev/null >"$STUB_LOG.rows.$$" || { echo "ERROR:  program \"$cmd\" failed" >&2; exit 3; }
      rows=$(wc -l <"$STUB_LOG.rows.$$")
    elif [[ $line =~ ^(\\copy|COPY)\ ([^ ]+).*\ FROM\ \'(.*)\'\ \( ]]; then
      echo "copy ${BASH_REMATCH[2]} ${BASH_REMATCH[3]}" >>"$STUB_LOG"
      rows=$(wc -l <"${BASH_REMATCH[3]}")
    elif [[ -n ${KEY_FAILS:-} && $line == "ALTER TABLE $KEY_FAILS ADD PRIMARY KEY"* ]]; then
      printf 'ERROR:  could not create unique index "%s_pkey"\nDETAIL:  Key (key)=(7) is duplicated.\n' "$KEY_FAILS" >&2
      exit 3
    elif [[ $line == '\echo zervgen-rows :ROW_COUNT' ]]; then
      echo "zervgen-rows $rows"
    elif [[ $line =~ ^\\echo\ (zervgen-done\ [0-9]+)$ ]]; then
      echo "${BASH_REMATCH[1]}"
    elif [[ $line == *"'schema|' || quote_ident(current_schema())"* ]]; then
      echo "schema|public"
    fi
  done <"$file"
fi
case $sql in
  "SELECT quote_ident(current_schema())"$'\n') echo public ;;
  *"count(*) FROM pg_"*) echo 0 ;;
esac
exit 0
STUB
cat >"$tmp/bin/mariadb" <<'STUB'
#!/usr/bin/env bash
echo "mariadb $*" >>"$STUB_LOG"
echo "ERROR 2002 (HY000): stub client" >&2
exit 1
STUB
chmod +x "$tmp/bin/psql" "$tmp/bin/mariadb"
export PATH=$tmp/bin:$PATH

# expect NAME STATUS TEXT CMD...: CMD ends with STATUS and its output (both
# streams) holds TEXT; an expected failure (status 1, or 2 for a usage
# error) is one line on standard error.
expect() {
  local name=$1 status=$2 text=$3 rc=0 out err
  shift 3
  : >"$STUB_LOG"
  out=$("$@" 2>"$tmp/err") || rc=$?
  err=$(cat "$tmp/err")
  if [[ $rc -ne $status || "$out$err" != *"$text"* ]]; then
    fail "$name: status $rc, output '$out$err'; expected status $status and '$text'"
  elif ((status == 1 || status == 2)) && [[ $(wc -l <<<"$err") -ne 1 ]]; then
    fail "$name: $(wc -l <<<"$err") lines on standard error: $err"
  else
    passed=$((passed + 1))
  fi
}

pg=$repo/scripts/load-postgresql.sh
sq=$repo/scripts/load-sqlite.sh
my=$repo/scripts/load-mariadb.sh
mkdir "$tmp/run" "$tmp/parts"
(cd "$tmp/run" && "$zervgen" -n 200 -fc 3 -r zerv.rpt 2>/dev/null)
(cd "$tmp/parts" && for k in 1 2 3; do "$zervgen" -n 300 -parts 3 -part $k 2>/dev/null; done)

# The names: a subcommand per database, and none.
expect "subcommand" 0 "-o OPTION" "$repo/scripts/zervgen-load" mariadb -h
expect "no subcommand" 2 "invalid choice: 'oracle' (choose from 'postgresql', 'sqlite', 'mariadb')" \
  "$repo/scripts/zervgen-load" oracle x

# Options.
expect "help" 0 "-j N" "$pg" -h
expect "help without -j" 0 "-o OPTION" "$my" -h
expect "unknown option" 2 "load-postgresql.sh: unrecognized arguments: -x" "$pg" -x "$tmp/run"
expect "no prefix" 2 "required: DATABASE, PREFIX" "$sq"
expect "too many arguments" 2 "unrecognized arguments: extra" "$pg" "$tmp/run" extra
expect "bad delimiter" 2 "unsupported delimiter ';'" "$pg" -d ';' "$tmp/run"
expect "-j 0" 2 "-j takes a number of parts from 1 to 99" "$pg" -j 0 "$tmp/run"
expect "-j 100" 2 "-j takes a number" "$pg" -j 100 "$tmp/run"
expect "-j on whole files, SQLite" 1 "only $tmp/run/zerv.hun: load it without -j" "$sq" -j 2 x.db "$tmp/run"
expect "-j 3 into SQLite" 0 "hundred         300 rows: as the run the files show (zervgen -n 300 -dc ,) says" \
  "$sq" -j 3 "$tmp/parts.db" "$tmp/parts"
[[ $(sqlite3 "$tmp/parts.db" 'SELECT count(*) FROM uniques') == 300 ]] ||
  fail "-j 3 into SQLite: uniques holds $(sqlite3 "$tmp/parts.db" 'SELECT count(*) FROM uniques') rows"
expect "fixed into MariaDB" 2 "cannot be loaded into this database" "$my" -d fixed db "$tmp/run"
expect "-R with -g" 2 "-R: with -g" "$pg" -R x.rpt -g "$zervgen" -n 100
expect "-R unreadable" 2 "cannot read the report" "$pg" -R "$tmp/none.rpt" "$tmp/run"
# -g: the user's zervgen options, checked with zervgen -describe before
# anything runs; what the loader sets itself is refused whether the
# document shows it or zervgen refuses it beside the loader's own options:
# usage errors, status 2.
while IFS='|' read -r words text; do
  # shellcheck disable=SC2086
  expect "-g with $words" 2 "${text//ZERVGEN/$zervgen}" "$pg" -g "$zervgen" -n 100 $words
done <<'CASES'
-f x|-g: do not pass -f to zervgen; the loader sets it
-f zerv|-g: do not pass -f to zervgen; the loader sets it
-r x.rpt|-g: do not pass -r to zervgen; the loader sets it
-ff|-g: do not pass -ff to zervgen; the loader sets it
-dc ,|-g: do not pass -dc to zervgen; the loader sets it
-dc x|-g: do not pass -dc to zervgen; the loader sets it
-parts 2|-g: do not pass -parts to zervgen; the loader sets it
-parts 3 -part 1|-g: do not pass -parts to zervgen; the loader sets it
-hu|-g: do not pass -hu to zervgen; the loader sets it
-parquet|-g: do not pass -parquet to zervgen; the loader sets it
-manifest m.json|-g: do not pass -verify or -manifest to zervgen
-part 1|-g: ZERVGEN: Option, "-part", requires "-parts" to be specified.
-ff x|-g: ZERVGEN: Unknown option, 'x'.
-hu -te|-g: ZERVGEN: Only one of "-hu", "-te", "-ti", "-un", and "-up" may be specified.
CASES
expect "missing table script" 2 "cannot read the table script" "$pg" -s "$tmp/none.sql" "$tmp/run"
expect "MariaDB database name" 2 "database name 'a-b'" "$my" a-b "$tmp/run"
# A machine without the database's client is told what to install.
expect "no psql" 2 "'$tmp/none/psql' not found: this loader needs PostgreSQL's client psql (Debian's postgresql-client)" \
  env PSQL="$tmp/none/psql" "$pg" "$tmp/run"
expect "no mariadb" 2 "'$tmp/none/mariadb' not found: this loader needs MariaDB's client mariadb (Debian's mariadb-client)" \
  env MARIADB="$tmp/none/mariadb" "$my" db "$tmp/run"

# A load through the stub: the rows of every relation counted against the
# report, one COPY of each file.
expect "stub load" 0 "hundred         200 rows: as the report $tmp/run/zerv.rpt says" "$pg" "$tmp/run"
[[ $(grep -c '^copy ' "$STUB_LOG") -eq 5 ]] || fail "stub load: $(grep -c '^copy ' "$STUB_LOG") COPYs, not 5"

# -j: the part files of three parts go through three sessions per relation,
# one part each; another count says what was found.
expect "-j 3" 0 "tiny              1 row: as the run the files show (zervgen -n 300 -dc ,) says" \
  "$pg" -j 3 "$tmp/parts"
for rel in hundred:hun tenpcnt:ten tiny:tny uniques:uni updates:upd; do
  for k in 1 2 3; do
    grep -q "^copy zervgen_load_[0-9]*\.${rel%:*} .*$tmp/parts/zerv.${rel#*:}.$k\b" "$STUB_LOG" ||
      fail "-j 3: no COPY of $tmp/parts/zerv.${rel#*:}.$k into ${rel%:*}"
  done
done
expect "-j 2 on three parts" 1 "but there are 3" "$pg" -j 2 "$tmp/parts"
expect "-j 4 on three parts" 1 "load them with -j 3" "$pg" -j 4 "$tmp/parts"
expect "parts without -j" 1 "load them with -j 3" "$sq" x.db "$tmp/parts"
expect "-j 2 on a whole run" 1 "only $tmp/run/zerv.hun: load it without -j" "$pg" -j 2 "$tmp/run"

# -g: every generator's rows, and a failing generator's own message.
expect "-g -j 2" 0 "updates         100 rows: as zervgen -describe says" \
  "$pg" -j 2 -g "$zervgen" -n 100
[[ $(grep -c '^copy .* program .*zervgen-failed' "$STUB_LOG") -eq 10 ]] ||
  fail "-g -j 2: $(grep -c '^copy .* program .*zervgen-failed' "$STUB_LOG") generator COPYs, not 10"
expect "refused -g" 2 "-g: $zervgen: At least 100 rows must be specified." "$pg" -g "$zervgen" -n 30
expect "refused -g, SQLite" 2 "At least 100 rows must be specified." "$sq" -g "$zervgen" "$tmp/g.db" -n 30
# A zervgen that takes the options but fails while it writes the rows.
cat >"$tmp/bin/zervgen-fails" <<STUB
#!/bin/sh
case " \$* " in *" -describe "*) exec "$zervgen" "\$@" ;; esac
# With FAILS_ON=-te, only the generator of that relation fails.
if [ -n "\${FAILS_ON:-}" ]; then case " \$* " in *" \$FAILS_ON "*) ;; *) exec "$zervgen" "\$@" ;; esac; fi
echo "\$0: Write error." >&2
exit 255
STUB
chmod +x "$tmp/bin/zervgen-fails"
# Two relations load at once: the failure told is that of the first
# relation to fail in the load's order, whichever ends first, and a failure
# of the second while the first loads well is told as its own.
expect "failing -g" 1 "hundred: $tmp/bin/zervgen-fails -hu failed: $tmp/bin/zervgen-fails: Write error." \
  "$pg" -g "$tmp/bin/zervgen-fails" -n 100
FAILS_ON=-te expect "failing -g on tenpcnt" 1 "tenpcnt: $tmp/bin/zervgen-fails -te failed: $tmp/bin/zervgen-fails: Write error." \
  "$pg" -g "$tmp/bin/zervgen-fails" -n 100
KEY_FAILS=tenpcnt expect "failing key of tenpcnt" 1 "tenpcnt: $tmp/run/zerv.ten: could not create unique index \"tenpcnt_pkey\" Key (key)=(7) is duplicated." \
  "$pg" "$tmp/run"
expect "failing -g, SQLite" 1 "hundred: $tmp/bin/zervgen-fails -hu failed" \
  "$sq" -g "$tmp/bin/zervgen-fails" "$tmp/g.db" -n 100

# -g: a fill width as zervgen reads it, with a blank or a '+' before it.
for fc in ' 5' +5; do
  rm -f "$tmp/fc.db"
  expect "-g -fc '$fc'" 0 "tiny              1 row:" "$sq" -g "$zervgen" "$tmp/fc.db" -n 100 -fc "$fc"
  [[ $(sqlite3 "$tmp/fc.db" 'SELECT count(*) FROM hundred WHERE length("fill") = 5') == 100 ]] ||
    fail "-g -fc '$fc': the fill is not of 5 characters"
done

# MariaDB: -o options reach the client first, as --defaults-file must.
expect "MariaDB -o" 1 "stub client" "$my" -o --defaults-file=/x.cnf -o --socket=/s db "$tmp/run"
grep -q -- '^mariadb --defaults-file=/x.cnf --socket=/s ' "$STUB_LOG" ||
  fail "MariaDB -o: the client got: $(head -n 1 "$STUB_LOG")"

if ((failed)); then exit 1; fi
echo "loader with stub clients: $passed checks ok"
