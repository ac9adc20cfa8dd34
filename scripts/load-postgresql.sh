#!/usr/bin/env bash
# load-postgresql.sh: creates the five zervgen tables in a PostgreSQL database,
# loads a run's relation files into them with COPY, and prints the row counts.
#
# Connection: psql's own environment variables (PGHOST, PGPORT, PGDATABASE,
# PGUSER, PGPASSWORD, ...). Set PSQL to use another psql binary.
set -euo pipefail

prog=${0##*/}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
default_sqlfile=$here/../sql/postgresql.sql
target_args=
source "$here/load-common.sh"

usage_intro() {
  cat <<EOF
Drops and creates the tables hundred, tenpcnt, tiny, uniques and updates
(SQLFILE, by default postgresql.sql of this package) and loads them with COPY.
Connection settings come from PGHOST, PGPORT, PGDATABASE, PGUSER, ...
Example: PGDATABASE=bench $prog -d '|' out/zerv
EOF
}

psql_cmd=("${PSQL:-psql}" -X -q -v ON_ERROR_STOP=1)
data_columns='"key", "int", "signed", "float", "double", "decim", "date", "code", "name", "address"'

run_sql_file() { "${psql_cmd[@]}" -f "$sqlfile"; }

count_rows() { "${psql_cmd[@]}" -A -t -F ' ' -c "$1"; }

# load_relation REL: loads the rows on standard input into REL.
load_relation() {
  local rel=$1 first n columns copy_delim
  IFS= read -r first || die "$rel: no rows"
  n=$(checked_field_count "$rel" "$first")
  case $n in
    1) columns='"key"' ;;
    10) columns=$data_columns ;;  # no fill column in this run: fill stays NULL
    11) columns="$data_columns, \"fill\"" ;;
  esac
  copy_delim="'$delim'"
  [[ $delim == $'\t' ]] && copy_delim="E'\\t'"
  { printf '%s\n' "$first"; cat; } |
    "${psql_cmd[@]}" -c "SET datestyle = 'ISO, MDY'" \
      -c "COPY $rel ($columns) FROM STDIN (FORMAT text, DELIMITER $copy_delim)"
}

load_main "$@"
