#!/usr/bin/env bash
# load-sqlite.sh (installed as zervgen-load-sqlite): creates the five zervgen
# tables in an SQLite database file, loads a run's relation files (or zervgen
# pipes) into them with the sqlite3 shell's .import, checks every row and the
# counts (and columns), runs ANALYZE and prints the counts. Dates are
# converted to ISO 'YYYY-MM-DD' text.
#
# Everything, the dropping of the old tables included, happens in one
# transaction that the loader commits only after its checks: a load that
# fails anywhere leaves the database as it was.
#
# Set SQLITE3 to use another sqlite3 binary.
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
for lib in "$here" "$here/../share/zervgen/scripts"; do
  [[ -r $lib/load-common.sh ]] && break
done
sqlfile=$lib/../sql/sqlite.sql
target_args=DATABASE
fixed_ok=1
parallel_ok=0
loader_opts=
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
declare -A stats=()
schema_version=

# shell_arg TEXT: TEXT as one double-quoted argument of a sqlite3 dot command.
shell_arg() {
  local t=${1//\\/\\\\}
  printf '"%s"' "${t//\"/\\\"}"
}

# The rows are imported with a '#' field added before and after them (.mode
# ascii drops a row whose first field is empty, and ignores extra fields)
# into an untyped table c1..cN+2 whose rowid is the row's number; each field
# is checked there as text: a number must read back as written, a date must
# be a real day of 1900..1999, a text printable ASCII of its length.

# check_of KIND WIDTH COLUMN: the SQL condition that the text COLUMN is a
# field of KIND (delimited, or fixed-format of WIDTH characters).
check_of() {
  local kind=$1 w=$2 c=$3 fmt=%d
  case $kind in
    int)
      ((fixed)) && fmt=%${w}d
      echo "printf('$fmt', CAST($c AS INTEGER)) = $c AND CAST($c AS INTEGER) BETWEEN -1000000000 AND 1000000000"
      ;;
    money)
      fmt=%.2f
      ((fixed)) && fmt=%$w.2f
      echo "printf('$fmt', CAST($c AS REAL)) = $c AND $c LIKE '%.00' AND CAST($c AS REAL) BETWEEN -500000000 AND 500000000"
      ;;
    date)
      echo "date(julianday($(iso_of "$c"))) = ($(iso_of "$c")) AND $(iso_of "$c") BETWEEN '1900-01-01' AND '1999-12-31'"
      ;;
    text) echo "length($c) = $w AND NOT $c GLOB '*[^ -~]*'" ;;
    address)
      if ((fixed)); then echo "length($c) <= 80 AND NOT $c GLOB '*[^ -~]*'"; else echo "length($c) BETWEEN 2 AND 80 AND NOT $c GLOB '*[^ -~]*'"; fi
      ;;
  esac
}

# iso_of COLUMN: the date text COLUMN (M/D/YYYY; fixed MM/DD/YYYY) as
# 'YYYY-MM-DD', or NULL when it is not of that form.
iso_of() {
  if ((fixed)); then
    echo "CASE WHEN $1 GLOB '[0-9][0-9]/[0-9][0-9]/[0-9][0-9][0-9][0-9]' THEN substr($1, 7) || '-' || substr($1, 1, 2) || '-' || substr($1, 4, 2) END"
  else
    echo "CASE WHEN $1 GLOB '[1-9]*/[1-9]*/[0-9][0-9][0-9][0-9]' AND printf('%d/%d/%d', $1, substr($1, instr($1, '/') + 1), substr($1, -4)) = $1 THEN printf('%04d-%02d-%02d', substr($1, -4), $1, substr($1, instr($1, '/') + 1)) END"
  fi
}

# shown COLUMN: COLUMN's text for a message.
shown() {
  echo "CASE WHEN substr($1, 1, 40) GLOB '*[^ -~]*' THEN 'bytes that are not printable ASCII' ELSE quote(substr($1, 1, 40)) END"
}

# import_relation REL: the sqlite3 lines that import, check, insert and count
# REL (with -c also its column figures).
import_relation() {
  local rel=$1 n=${rel_fields[$1]} i cols=c1 sep=$delim specs=() spec name kind w
  local case= value values=() c last
  [[ $sep == $'\t' ]] && sep='\t'
  if [[ $rel == tiny ]]; then specs=(key:int:10); else specs=("${row_columns[@]}"); fi
  ((n == 11)) && specs+=(fill:text:$fill_width)
  for ((i = 2; i <= n + 2; i++)); do cols+=", c$i"; done
  last=c$((n + 2))
  printf '%s | LC_ALL=C sed %s\n' "$(rows_command "$rel" 1)" \
    "$(q "s/^/#$delim/; s/\$/$delim#/")" >"$work/$rel.rows.sh"
  case="WHEN $last IS NULL THEN 'expected $n fields separated by ''$delim_word'', found fewer'"
  case+=" WHEN $last = '#' || char(13) THEN 'the row ends in a carriage return'"
  case+=" WHEN $last <> '#' THEN 'expected $n fields separated by ''$delim_word'', found more'"
  ((fixed)) && case="WHEN c2 LIKE 'not a fixed-format row of %' THEN c2 $case"
  i=2
  for spec in "${specs[@]}"; do
    IFS=: read -r name kind w <<<"$spec"
    [[ $name == address ]] && kind=address
    c=c$i
    case+=" WHEN NOT coalesce($(check_of "$kind" "$w" "$c"), 0) THEN '$(what_of "$kind" "$w" "$name"): ' || $(shown "$c")"
    case $kind in
      int) value="CAST($c AS INTEGER)" ;;
      money) value="CAST($c AS REAL)" ;;
      date) value=$(iso_of "$c") ;;
      *) value=$c ;;
    esac
    [[ $name == double ]] && value="CAST($c AS REAL)"
    values+=("$value")
    i=$((i + 1))
  done
  [[ $rel == tiny ]] && case+=" WHEN CAST(c2 AS INTEGER) <> 0 THEN 'key: not 0'"
  ((n == 10)) && values+=(NULL)
  cat <<EOF
CREATE TEMP TABLE zervgen_stage ($cols);
.mode ascii
.separator "$sep" "\\n"
.import --schema temp $(shell_arg "|bash $(q "$work/$rel.rows.sh")") zervgen_stage
.mode list
.separator " "
CREATE TEMP TABLE zervgen_bad AS SELECT rowid AS n, CASE $case END AS why
  FROM temp.zervgen_stage WHERE why IS NOT NULL ORDER BY rowid LIMIT 1;
SELECT 'bad', '$rel', n, why FROM temp.zervgen_bad;
INSERT INTO temp.zervgen_check SELECT count(*) FROM temp.zervgen_bad;
INSERT INTO $rel SELECT $(IFS=,; echo "${values[*]}") FROM temp.zervgen_stage ORDER BY rowid;
SELECT 'count', '$rel', count(*) FROM temp.zervgen_stage;
DROP TABLE temp.zervgen_stage;
DROP TABLE temp.zervgen_bad;
EOF
}

# stat_query REL: the column figures of REL's new table.
stat_query() {
  local rel=$1 c low high
  for c in "${stat_columns[@]}"; do
    [[ $1 == tiny && $c != key ]] && continue
    low="min(\"$c\")" high="max(\"$c\")"
    if [[ $c == date ]]; then
      low="printf('%d/%d/%d', substr($low, 6, 2), substr($low, 9, 2), substr($low, 1, 4))"
      high="printf('%d/%d/%d', substr($high, 6, 2), substr($high, 9, 2), substr($high, 1, 4))"
    fi
    echo "SELECT 'stat', '$rel', '$c', $low, $high, count(DISTINCT \"$c\") FROM $rel;"
  done
}

# stage_load: one sqlite3 process, fed through a pipe: the transaction stays
# open after the rows are in until the loader has checked the counts, and
# after the keys are built until it has checked the columns.
stage_load() {
  local rel
  {
    echo ".mode list"
    echo "PRAGMA schema_version;"
    echo "BEGIN;"
    echo "CREATE TEMP TABLE zervgen_check (bad_rows INTEGER CHECK (bad_rows = 0));"
    sql_tables
    for rel in "${relations[@]}"; do import_relation "$rel"; done
    echo ".print zervgen-loaded"
  } >"$work/load.sql"
  coproc SQLITE { exec "${sqlite_cmd[@]}" "${targets[0]}" 2>"$work/load.err"; }
  pids+=("$SQLITE_PID")
  # Copies of the pipes: bash closes the coprocess's own when it ends.
  exec {sqlite_in}>&"${SQLITE[1]}" {sqlite_out}<&"${SQLITE[0]}"
  eval "exec ${SQLITE[1]}>&- ${SQLITE[0]}<&-"
  # sqlite3 stops at the first error: writing to it after that must not end
  # the loader (SIGPIPE), which reads the reason next.
  trap '' PIPE
  cat "$work/load.sql" >&"$sqlite_in" 2>/dev/null || true
  read -r schema_version <&"$sqlite_out" || fail_load "$(first_error "$work/load.err")"
  sqlite_until zervgen-loaded
  for rel in "${relations[@]}"; do
    if gen_failure "$rel" 1 >"$work/gen"; then fail_load "$(cat "$work/gen")"; fi
  done
  [[ -z $zervgen ]] || read_report
  check_counts
  {
    sql_keys
    echo "ANALYZE;"
    if ((check_cols)); then for rel in "${relations[@]}"; do stat_query "$rel"; done; fi
    echo ".print zervgen-keyed"
  } >&"$sqlite_in" 2>/dev/null || true
  sqlite_until zervgen-keyed
}

# sqlite_until MARKER: reads sqlite3's output up to the line MARKER: the
# counts into `loaded`, the column figures into `stats`, the first bad row
# into work/bad. A sqlite3 that ends first ends the load with its reason.
sqlite_until() {
  local line word a b c d
  while :; do
    line=
    read -r line <&"$sqlite_out" || fail_load "$(load_failure)"
    read -r word a b c d <<<"$line"
    case $word in
      "$1") return 0 ;;
      count) loaded[$a]=$b ;;
      bad) echo "$line" >"$work/bad" ;;
      stat) stats[$a $b]="$a $b $c $d" ;;
    esac
  done
}

# load_failure: why sqlite3 ended before the rows were in.
load_failure() {
  local word rel row why
  for rel in "${relations[@]}"; do gen_failure "$rel" 1 && return 0; done
  if [[ -s $work/bad ]]; then
    read -r word rel row why <"$work/bad"
    echo "$rel: $(source_name "$rel" 1): row $row: $why"
    return 0
  fi
  first_error "$work/load.err"
}

stage_columns() {
  local key
  for key in "${!stats[@]}"; do echo "${stats[$key]}"; done
}

# swap_tables: the COMMIT; sqlite3 ends when its input does.
swap_tables() {
  echo "COMMIT;" >&"$sqlite_in" 2>/dev/null || true
  exec {sqlite_in}>&-
  wait_for "$SQLITE_PID"
}

swap_failure() { first_error "$work/load.err"; }

# swap_done: the COMMIT changed the schema (the old tables dropped, the new
# ones created); without it the database reads as before the load.
swap_done() {
  ask "${sqlite_cmd[@]}" "${targets[0]}" 'PRAGMA schema_version' || return 1
  [[ -n $schema_version && $answer != "$schema_version" ]]
}

stage_cleanup() { return 0; }

load_main "$@"
