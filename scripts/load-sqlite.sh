#!/usr/bin/env bash
# load-sqlite.sh (installed as zervgen-load-sqlite): creates the five zervgen
# tables in an SQLite database file, loads a run's relation files (or zervgen
# pipes) into them with the sqlite3 shell's .import, runs ANALYZE and prints
# the row counts. Dates are converted to ISO 'YYYY-MM-DD' text.
#
# Everything, the dropping of the old tables included, happens in one
# transaction: a load that fails anywhere leaves the database as it was.
#
# Set SQLITE3 to use another sqlite3 binary.
set -euo pipefail

prog=${0##*/}
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
for lib in "$here" "$here/../share/zervgen/scripts"; do
  [[ -r $lib/load-common.sh ]] && break
done
sqlfile=$lib/../sql/sqlite.sql
target_args=DATABASE
fixed_ok=1
parallel_ok=0
source "$lib/load-common.sh"

usage_intro() {
  cat <<EOF
Replaces the tables hundred, tenpcnt, tiny, uniques and updates in the SQLite
database file DATABASE (SQLFILE, by default sqlite.sql of this package) with a
run's rows and runs ANALYZE. On any failure the database stays as it was.
Example: $prog -d tab bench.db out/zerv
EOF
}

sqlite_cmd=("${SQLITE3:-sqlite3}" -bail -batch)

count_rows() { "${sqlite_cmd[@]}" -list -separator ' ' "${targets[0]}" "$1"; }

# The rows go into a temporary table of untyped columns c1..cN exactly as
# written (.mode ascii: no quote handling, blanks kept), and from there into
# the relation, where the column types turn numbers into numbers. The date, field 7 'M/D/YYYY', becomes 'YYYY-MM-DD' through p1 (the
# first '/'), r (what follows it) and p2 (the '/' in r).
select_delimited() {
  local n=$1 fill=NULL
  [[ $n -eq 11 ]] && fill=c11
  cat <<EOF
SELECT c1, c2, c3, c4, c5, c6,
       printf('%04d-%02d-%02d', substr(r, p2 + 1), substr(c7, 1, p1 - 1), substr(r, 1, p2 - 1)),
       c8, c9, c10, $fill
  FROM (SELECT *, instr(r, '/') AS p2
          FROM (SELECT *, substr(c7, p1 + 1) AS r
                  FROM (SELECT *, instr(c7, '/') AS p1 FROM temp.zervgen_stage)))
EOF
}

# A fixed-format row, whole in c1, cut at the column positions. Numbers may
# be padded with blanks; the address loses the blanks that pad it to 80
# characters (and with them any it ended in).
select_fixed() {
  cat <<EOF
SELECT CAST(trim(substr(c1, 1, 10)) AS INTEGER), CAST(trim(substr(c1, 11, 10)) AS INTEGER),
       CAST(trim(substr(c1, 21, 10)) AS INTEGER), CAST(trim(substr(c1, 31, 13)) AS REAL),
       CAST(trim(substr(c1, 44, 11)) AS REAL), CAST(trim(substr(c1, 55, 11)) AS INTEGER),
       substr(c1, 72, 4) || '-' || substr(c1, 66, 2) || '-' || substr(c1, 69, 2),
       substr(c1, 76, 10), substr(c1, 86, 20), rtrim(substr(c1, 106, 80), ' '),
       nullif(substr(c1, $fixed_fill_from), '')
  FROM temp.zervgen_stage
EOF
}

# shell_arg TEXT: TEXT as one double-quoted argument of a sqlite3 dot command.
shell_arg() {
  local t=${1//\\/\\\\}
  printf '"%s"' "${t//\"/\\\"}"
}

# import_relation REL: the sqlite3 lines that load REL.
import_relation() {
  local rel=$1 n=${rel_fields[$1]} columns=c1 i sep=$delim insert from
  if ((fixed)); then
    n=1 sep=$'\x01'  # whole rows: no row holds the byte 0x01
  fi
  [[ $sep == $'\t' ]] && sep='\t'
  for ((i = 2; i <= n; i++)); do columns+=", c$i"; done
  if [[ $rel == tiny ]]; then
    insert="INSERT INTO tiny SELECT CAST(trim(c1) AS INTEGER) FROM temp.zervgen_stage"
  elif ((fixed)); then
    insert="INSERT INTO $rel $(select_fixed)"
  else
    insert="INSERT INTO $rel $(select_delimited "$n")"
  fi
  rel_source "$rel" 1
  from=$src
  # A generator that fails leaves a row that fails the check below.
  [[ $src_kind == cmd ]] && from="|($src) || echo zervgen-failed"
  cat <<EOF
CREATE TEMP TABLE zervgen_stage ($columns);
.mode ascii
.separator "$sep" "\\n"
.import --schema temp $(shell_arg "$from") zervgen_stage
INSERT INTO temp.zervgen_check SELECT '$rel', count(*) FROM temp.zervgen_stage
 WHERE c$n IS NULL OR c1 = 'zervgen-failed';
$insert;
DROP TABLE temp.zervgen_stage;
EOF
}

load_database() {
  local rel
  work=$(mktemp -d "${TMPDIR:-/tmp}/zervgen-load.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  # The script is written whole before sqlite3 starts: it commits only when
  # every statement before the COMMIT has run.
  {
    echo "BEGIN;"
    # .import fills the missing fields of a short row with NULL and goes on,
    # and does not look at how a pipe ended: a short row or a failed zervgen
    # fails this check, and with it the whole load.
    echo "CREATE TEMP TABLE zervgen_check (rel TEXT,"
    echo "  short_rows_or_failed_zervgen INTEGER CHECK (short_rows_or_failed_zervgen = 0));"
    sql_tables
    for rel in "${relations[@]}"; do import_relation "$rel"; done
    sql_keys
    echo "ANALYZE;"
  } >"$work/load.sql"
  echo "COMMIT;" >>"$work/load.sql"
  "${sqlite_cmd[@]}" "${targets[0]}" <"$work/load.sql" >/dev/null 2>"$work/load.err" ||
    die "loading failed, the tables are as they were: $(first_error "$work/load.err")"
}

load_main "$@"
