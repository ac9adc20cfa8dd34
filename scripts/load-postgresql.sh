#!/usr/bin/env bash
# load-postgresql.sh: creates the five zervgen tables in a PostgreSQL database,
# loads a run's relation files into them with COPY, and prints the row counts.
#
# Connection: psql's own environment variables (PGHOST, PGPORT, PGDATABASE,
# PGUSER, PGPASSWORD, ...). Set PSQL to use another psql binary.
set -euo pipefail

prog=${0##*/}

usage() {
  cat <<EOF
Usage: $prog [-d DELIM] [-s SQLFILE] PREFIX
       $prog [-d DELIM] [-s SQLFILE] -g ZERVGEN [ZERVGEN-OPTIONS...]

Drops and creates the tables hundred, tenpcnt, tiny, uniques and updates
(SQLFILE, by default postgresql.sql of this package) and loads them.

  PREFIX      the run's files as named by zervgen -f PREFIX: PREFIX.hun,
              PREFIX.ten, PREFIX.tny, PREFIX.uni and PREFIX.upd; a folder
              stands for FOLDER/zerv. Missing files are skipped (their
              tables stay empty); at least one must exist.
  -d DELIM    the run's delimiter (zervgen -dc): ',' (the default), '|'
              or 'tab'. Fixed-format (-ff) files cannot be loaded.
  -g ZERVGEN  read no files: run ZERVGEN -<rel> -f - -dc DELIM with the
              remaining options (e.g. -n 100000 -fc 20) once per relation and
              pipe its rows straight into COPY. Do not pass -f, -r, -ff, -dc
              or a relation option.
  -s SQLFILE  the CREATE TABLE script to run first.

Connection settings come from PGHOST, PGPORT, PGDATABASE, PGUSER, ...
Example: PGDATABASE=bench $prog -d '|' out/zerv
EOF
}

die() {
  echo "$prog: $*" >&2
  exit 1
}

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sqlfile=$here/../sql/postgresql.sql
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
# ':', '.' and blanks. COPY's text format also refuses some characters.
case $delim_word in
  ,) delim=, copy_delim="','" ;;
  '|') delim='|' copy_delim="'|'" ;;
  tab | $'\t') delim=$'\t' delim_word=tab copy_delim="E'\\t'" ;;
  *) die "unsupported delimiter '$delim_word': use ',', '|' or 'tab'" ;;
esac

prefix=
if [[ -z $zervgen ]]; then
  [[ $# -eq 1 ]] || { usage >&2; exit 2; }
  prefix=$1
  [[ -d $prefix ]] && prefix=${prefix%/}/zerv
fi
[[ -r $sqlfile ]] || die "cannot read the table script '$sqlfile' (use -s)"

psql_cmd=("${PSQL:-psql}" -X -q -v ON_ERROR_STOP=1)

relations=(hundred tenpcnt tiny uniques updates)
declare -A suffix=([hundred]=hun [tenpcnt]=ten [tiny]=tny [uniques]=uni [updates]=upd)
declare -A option=([hundred]=-hu [tenpcnt]=-te [tiny]=-ti [uniques]=-un [updates]=-up)
data_columns='"key", "int", "signed", "float", "double", "decim", "date", "code", "name", "address"'

# Number of fields of one row.
field_count() {
  local only=${1//[^$delim]/}
  echo $((${#only} + 1))
}

# copy_in REL: loads the rows on standard input into REL.
copy_in() {
  local rel=$1 first n columns
  if ! IFS= read -r first; then
    die "$rel: no rows"
  fi
  n=$(field_count "$first")
  if [[ $rel == tiny ]]; then
    [[ $n -eq 1 ]] || die "$rel: expected 1 field, found $n"
    columns='"key"'
  elif [[ $n -eq 10 ]]; then
    columns=$data_columns  # no fill column in this run: fill stays NULL
  elif [[ $n -eq 11 ]]; then
    columns="$data_columns, \"fill\""
  else
    die "$rel: expected 10 or 11 fields separated by '$delim_word', found $n" \
      "(another delimiter, or fixed format?)"
  fi
  { printf '%s\n' "$first"; cat; } |
    "${psql_cmd[@]}" -c "SET datestyle = 'ISO, MDY'" \
      -c "COPY $rel ($columns) FROM STDIN (FORMAT text, DELIMITER $copy_delim)"
}

loaded=0
"${psql_cmd[@]}" -f "$sqlfile"
for rel in "${relations[@]}"; do
  if [[ -n $zervgen ]]; then
    "$zervgen" "${option[$rel]}" -f - -dc "$delim_word" "$@" | copy_in "$rel" ||
      die "$rel: loading from $zervgen failed"
  else
    file=$prefix.${suffix[$rel]}
    if [[ ! -e $file ]]; then
      echo "$prog: $rel: no file $file, skipped" >&2
      continue
    fi
    copy_in "$rel" <"$file" || die "$rel: loading $file failed"
  fi
  loaded=$((loaded + 1))
done
[[ $loaded -gt 0 ]] || die "no relation file found for prefix '$prefix'"

"${psql_cmd[@]}" -A -t -F ' ' -c "
  SELECT 'hundred', count(*) FROM hundred UNION ALL
  SELECT 'tenpcnt', count(*) FROM tenpcnt UNION ALL
  SELECT 'tiny', count(*) FROM tiny UNION ALL
  SELECT 'uniques', count(*) FROM uniques UNION ALL
  SELECT 'updates', count(*) FROM updates ORDER BY 1" |
  while read -r rel count; do
    printf '%-8s %10s rows\n' "$rel" "$count"
  done
