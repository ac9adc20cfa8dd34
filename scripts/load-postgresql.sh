#!/usr/bin/env bash
# load-postgresql.sh (installed as zervgen-load-postgresql): creates the five
# zervgen tables in a PostgreSQL database, loads a run's relation files (or
# zervgen pipes) into them with COPY, adds the primary keys, analyzes the
# tables and prints the row counts.
#
# The tables are created without keys in a schema of their own, filled by one
# or (-j N) N concurrent COPY sessions, keyed and analyzed there, and then
# moved into the current schema in one transaction that drops the old tables:
# a load that fails anywhere leaves the database as it was.
#
# Connection: psql's own environment variables (PGHOST, PGPORT, PGDATABASE,
# PGUSER, PGPASSWORD, ...). Set PSQL to use another psql binary.
set -euo pipefail

prog=${0##*/}
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
for lib in "$here" "$here/../share/zervgen/scripts"; do
  [[ -r $lib/load-common.sh ]] && break
done
sqlfile=$lib/../sql/postgresql.sql
target_args=
fixed_ok=1
parallel_ok=1
source "$lib/load-common.sh"

usage_intro() {
  cat <<EOF
Replaces the tables hundred, tenpcnt, tiny, uniques and updates of the current
schema (SQLFILE, by default postgresql.sql of this package) with a run's rows,
loaded with COPY; adds the primary keys and runs ANALYZE. On any failure the
database stays as it was.
Connection settings come from PGHOST, PGPORT, PGDATABASE, PGUSER, ...
Example: PGDATABASE=bench $prog -d '|' out/zerv
EOF
}

psql_cmd=("${PSQL:-psql}" -X -q -v ON_ERROR_STOP=1)
data_columns='"key", "int", "signed", "float", "double", "decim", "date", "code", "name", "address"'
stage=zervgen_load_$$
work=
pids=()

count_rows() { "${psql_cmd[@]}" -A -t -F ' ' -c "$1"; }

# sql_string TEXT: TEXT as an SQL (and psql \copy) string literal.
sql_string() { printf "'%s'" "${1//\'/\'\'}"; }

# copy_source REL K: the FROM clause of \copy for part K of REL.
copy_source() {
  rel_source "$1" "$2"
  if [[ $src_kind == cmd ]]; then
    printf 'PROGRAM %s' "$(sql_string "$src")"
  else
    sql_string "$src"
  fi
}

# copy_part REL K: the psql lines that load part K of REL into the new table.
copy_part() {
  local rel=$1 k=$2 n=${rel_fields[$1]} columns copy_delim
  if ((fixed)); then
    # Whole rows into one text column (no row holds the byte 0x01 or a
    # backslash), then cut at the column positions.
    echo "CREATE TEMP TABLE zervgen_rows (line text);"
    echo "\\copy zervgen_rows FROM $(copy_source "$rel" "$k") (FORMAT text, DELIMITER E'\\x01')"
    echo "INSERT INTO $stage.$rel SELECT $(fixed_select "$n") FROM zervgen_rows;"
    echo "DROP TABLE zervgen_rows;"
    return
  fi
  case $n in
    1) columns='"key"' ;;
    10) columns=$data_columns ;;  # no fill column in this run: fill stays NULL
    11) columns="$data_columns, \"fill\"" ;;
  esac
  copy_delim="'$delim'"
  [[ $delim == $'\t' ]] && copy_delim="E'\\t'"
  echo "\\copy $stage.$rel ($columns) FROM $(copy_source "$rel" "$k") (FORMAT text, DELIMITER $copy_delim)"
}

# fixed_select N: the columns of a fixed-format row `line` with N fields. A
# number may be padded with blanks on either side; the address loses the
# blanks that pad it to 80 characters (and with them any it ended in).
fixed_select() {
  if [[ $1 -eq 1 ]]; then
    echo 'line::integer'
    return
  fi
  cat <<EOF
substr(line, 1, 10)::integer, substr(line, 11, 10)::integer,
  substr(line, 21, 10)::integer, substr(line, 31, 13)::numeric,
  substr(line, 44, 11)::double precision, substr(line, 55, 11)::numeric,
  to_date(substr(line, 66, 10), 'MM/DD/YYYY'), substr(line, 76, 10),
  substr(line, 86, 20), rtrim(substr(line, 106, 80), ' '),
  nullif(substr(line, $fixed_fill_from), '')
EOF
}

# session_script K: one COPY session's script: part K of every relation.
session_script() {
  local rel
  echo "SET datestyle = 'ISO, MDY';"
  for rel in "${relations[@]}"; do copy_part "$rel" "$1"; done
}

# finish_script SCHEMA: keys, statistics, and the exchange of old and new tables,
# all in one transaction.
finish_script() {
  local target=$1 rel list=
  for rel in "${relations[@]}"; do list+="${list:+, }$target.$rel"; done
  echo "SET client_min_messages = warning;"
  echo "BEGIN;"
  echo "SET LOCAL search_path = $stage;"
  sql_keys
  echo "ANALYZE hundred, tenpcnt, tiny, uniques, updates;"
  echo "DROP TABLE IF EXISTS $list;"
  for rel in "${relations[@]}"; do echo "ALTER TABLE $rel SET SCHEMA $target;"; done
  echo "DROP SCHEMA $stage;"
  echo "COMMIT;"
}

# run_psql NAME: runs work/NAME.sql, keeping its messages in work/NAME.err;
# replaces the calling shell when that is a background one, so that its $! is
# psql's own id.
run_psql() { exec "${psql_cmd[@]}" -f "$work/$1.sql" 2>"$work/$1.err" >/dev/null; }

fail_load() {
  local err=$1
  die "loading failed, the tables are as they were: $(first_error "$err")"
}

cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [[ -n $work ]]; then
    "${psql_cmd[@]}" -c "SET client_min_messages = warning" \
      -c "DROP SCHEMA IF EXISTS $stage CASCADE" >/dev/null 2>&1 || true
    rm -rf "$work"
  fi
}

# load_database: writes every script first (a script that could not be
# written whole never runs), then creates the new tables, runs the COPY
# sessions and, when all of them succeeded, the finishing transaction.
load_database() {
  local k err= target
  work=$(mktemp -d "${TMPDIR:-/tmp}/zervgen-load.XXXXXX")
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  target=$("${psql_cmd[@]}" -A -t -c 'SELECT quote_ident(current_schema())' 2>"$work/schema.err") ||
    fail_load "$work/schema.err"
  [[ -n $target ]] || die "no current schema to load into (check search_path)"
  {
    echo "SET client_min_messages = warning;"
    echo "CREATE SCHEMA $stage;"
    echo "SET search_path = $stage;"
    sql_tables
  } >"$work/create.sql"
  for ((k = 1; k <= jobs; k++)); do session_script "$k" >"$work/copy$k.sql"; done
  finish_script "$target" >"$work/finish.sql"

  (run_psql create) || fail_load "$work/create.err"
  for ((k = 1; k <= jobs; k++)); do
    run_psql "copy$k" &
    pids+=($!)
  done
  for ((k = 1; k <= jobs; k++)); do
    wait "${pids[k - 1]}" || err=${err:-$work/copy$k.err}
  done
  pids=()
  [[ -z $err ]] || fail_load "$err"
  (run_psql finish) || fail_load "$work/finish.err"
}

load_main "$@"
