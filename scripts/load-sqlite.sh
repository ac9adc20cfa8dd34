#!/usr/bin/env bash
# load-sqlite.sh: creates the five zervgen tables in an SQLite database file,
# loads a run's relation files into them with the sqlite3 shell's .import, and
# prints the row counts. Dates are converted to ISO 'YYYY-MM-DD' text.
#
# Set SQLITE3 to use another sqlite3 binary.
set -euo pipefail

prog=${0##*/}

usage() {
  cat <<EOF
Usage: $prog [-d DELIM] [-s SQLFILE] DATABASE PREFIX
       $prog [-d DELIM] [-s SQLFILE] -g ZERVGEN DATABASE [ZERVGEN-OPTIONS...]

Drops and creates the tables hundred, tenpcnt, tiny, uniques and updates in
the SQLite database file DATABASE (SQLFILE, by default sqlite.sql of this
package) and loads them.

  PREFIX      the run's files as named by zervgen -f PREFIX: PREFIX.hun,
              PREFIX.ten, PREFIX.tny, PREFIX.uni and PREFIX.upd; a folder
              stands for FOLDER/zerv. Missing files are skipped (their
              tables stay empty); at least one must exist.
  -d DELIM    the run's delimiter (zervgen -dc): ',' (the default), '|'
              or 'tab'. Fixed-format (-ff) files cannot be loaded.
  -g ZERVGEN  read no files: run ZERVGEN -<rel> -f - -dc DELIM with the
              remaining options (e.g. -n 100000 -fc 20) once per relation and
              pipe its rows straight into the database. Do not pass -f, -r,
              -ff, -dc or a relation option.
  -s SQLFILE  the CREATE TABLE script to run first.

Example: $prog -d tab bench.db out/zerv
EOF
}

die() {
  echo "$prog: $*" >&2
  exit 1
}

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sqlfile=$here/../sql/sqlite.sql
delim_word=,
zervgen=
while getopts 'd:g:s:h' opt; do
  case $opt in
    d) delim_word=$OPTARG ;;
    g)
      zervgen=$OPTARG
      break  # what follows are zervgen's own options
      ;;
    s) sqlfile=$OPTARG ;;
    h) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

# Only delimiters that no generated field contains: numbers hold '-' and '.',
# dates '/', the fixed texts '+' and blanks, the random texts letters, digits,
# ':', '.' and blanks.
case $delim_word in
  ,) delim=, sep=',' ;;
  '|') delim='|' sep='|' ;;
  tab | $'\t') delim=$'\t' delim_word=tab sep='\t' ;;
  *) die "unsupported delimiter '$delim_word': use ',', '|' or 'tab'" ;;
esac

if [[ -n $zervgen ]]; then
  [[ $# -ge 1 ]] || { usage >&2; exit 2; }
  database=$1
  shift
else
  [[ $# -eq 2 ]] || { usage >&2; exit 2; }
  database=$1
  prefix=$2
  [[ -d $prefix ]] && prefix=${prefix%/}/zerv
fi
[[ -r $sqlfile ]] || die "cannot read the table script '$sqlfile' (use -s)"

sqlite_cmd=("${SQLITE3:-sqlite3}" -bail -batch)

relations=(hundred tenpcnt tiny uniques updates)
declare -A suffix=([hundred]=hun [tenpcnt]=ten [tiny]=tny [uniques]=uni [updates]=upd)
declare -A option=([hundred]=-hu [tenpcnt]=-te [tiny]=-ti [uniques]=-un [updates]=-up)

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

# Number of fields of one row.
field_count() {
  local only=${1//[^$delim]/}
  echo $((${#only} + 1))
}

# import REL: loads the rows on standard input into REL.
import() {
  local rel=$1 first n columns insert i
  if ! IFS= read -r first; then
    die "$rel: no rows"
  fi
  n=$(field_count "$first")
  if [[ $rel == tiny ]]; then
    [[ $n -eq 1 ]] || die "$rel: expected 1 field, found $n"
    insert="INSERT INTO tiny SELECT c1 FROM temp.zervgen_stage"
  elif [[ $n -eq 10 || $n -eq 11 ]]; then
    insert="INSERT INTO $rel $(select_converted "$n")"
  else
    die "$rel: expected 10 or 11 fields separated by '$delim_word', found $n" \
      "(another delimiter, or fixed format?)"
  fi
  columns=c1
  for ((i = 2; i <= n; i++)); do columns+=", c$i"; done
  { printf '%s\n' "$first"; cat; } |
    "${sqlite_cmd[@]}" "$database" \
      "CREATE TEMP TABLE zervgen_stage ($columns)" \
      ".mode ascii" \
      ".separator \"$sep\" \"\\n\"" \
      ".import --schema temp /dev/stdin zervgen_stage" \
      "$insert" \
      "DROP TABLE temp.zervgen_stage"
}

loaded=0
"${sqlite_cmd[@]}" "$database" <"$sqlfile"
for rel in "${relations[@]}"; do
  if [[ -n $zervgen ]]; then
    "$zervgen" "${option[$rel]}" -f - -dc "$delim_word" "$@" | import "$rel" ||
      die "$rel: loading from $zervgen failed"
  else
    file=$prefix.${suffix[$rel]}
    if [[ ! -e $file ]]; then
      echo "$prog: $rel: no file $file, skipped" >&2
      continue
    fi
    import "$rel" <"$file" || die "$rel: loading $file failed"
  fi
  loaded=$((loaded + 1))
done
[[ $loaded -gt 0 ]] || die "no relation file found for prefix '$prefix'"

"${sqlite_cmd[@]}" -list -separator ' ' "$database" "
  SELECT 'hundred', count(*) FROM hundred UNION ALL
  SELECT 'tenpcnt', count(*) FROM tenpcnt UNION ALL
  SELECT 'tiny', count(*) FROM tiny UNION ALL
  SELECT 'uniques', count(*) FROM uniques UNION ALL
  SELECT 'updates', count(*) FROM updates ORDER BY 1" |
  while read -r rel count; do
    printf '%-8s %10s rows\n' "$rel" "$count"
  done
