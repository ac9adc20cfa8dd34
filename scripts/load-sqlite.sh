#!/usr/bin/env bash
# load-sqlite.sh: creates the five zervgen tables in an SQLite database file,
# loads a run's relation files into them with the sqlite3 shell's .import, and
# prints the row counts. Dates are converted to ISO 'YYYY-MM-DD' text.
#
# Set SQLITE3 to use another sqlite3 binary.
set -euo pipefail

prog=${0##*/}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
default_sqlfile=$here/../sql/sqlite.sql
target_args=DATABASE
source "$here/load-common.sh"

usage_intro() {
  cat <<EOF
Drops and creates the tables hundred, tenpcnt, tiny, uniques and updates in
the SQLite database file DATABASE (SQLFILE, by default sqlite.sql of this
package) and loads them.
Example: $prog -d tab bench.db out/zerv
EOF
}

sqlite_cmd=("${SQLITE3:-sqlite3}" -bail -batch)

run_sql_file() { "${sqlite_cmd[@]}" "${targets[0]}" <"$sqlfile"; }

count_rows() { "${sqlite_cmd[@]}" -list -separator ' ' "${targets[0]}" "$1"; }

# The rows go into a temporary table of untyped columns c1..cN exactly as
# written (.mode ascii: no quote handling, blanks kept), and from there into
# the relation, where the column affinities turn numbers into numbers. The
# date, field 7 'M/D/YYYY', becomes 'YYYY-MM-DD' through p1 (the first '/'),
# r (what follows it) and p2 (the '/' in r).
select_converted() {
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

# load_relation REL: loads the rows on standard input into REL.
load_relation() {
  local rel=$1 first n columns insert i sep=$delim
  IFS= read -r first || die "$rel: no rows"
  n=$(checked_field_count "$rel" "$first")
  if [[ $n -eq 1 ]]; then
    insert="INSERT INTO tiny SELECT c1 FROM temp.zervgen_stage"
  else
    insert="INSERT INTO $rel $(select_converted "$n")"
  fi
  [[ $delim == $'\t' ]] && sep='\t'
  columns=c1
  for ((i = 2; i <= n; i++)); do columns+=", c$i"; done
  { printf '%s\n' "$first"; cat; } |
    "${sqlite_cmd[@]}" "${targets[0]}" \
      "CREATE TEMP TABLE zervgen_stage ($columns)" \
      ".mode ascii" \
      ".separator \"$sep\" \"\\n\"" \
      ".import --schema temp /dev/stdin zervgen_stage" \
      "$insert" \
      "DROP TABLE temp.zervgen_stage"
}

load_main "$@"
