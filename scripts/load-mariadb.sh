#!/usr/bin/env bash
# load-mariadb.sh (installed as zervgen-load-mariadb): creates the five
# zervgen tables in a MariaDB database, loads a run's relation files (or
# zervgen pipes) into them with LOAD DATA LOCAL INFILE, adds the primary keys,
# analyzes the tables and prints the row counts.
#
# MariaDB commits every CREATE and ALTER at once, so the tables are built in a
# database of their own (created and dropped by the script) and then take the
# place of the old ones in one RENAME TABLE, which is atomic: a load that
# fails anywhere leaves the target database as it was.
#
# Connection: the client's option files and environment (MYSQL_HOST,
# MYSQL_UNIX_PORT, MYSQL_TCP_PORT, MYSQL_PWD); the user needs CREATE and DROP
# on the staging database zervgen_load_PID. Set MARIADB to use another client.
set -euo pipefail

prog=${0##*/}
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
for lib in "$here" "$here/../share/zervgen/scripts"; do
  [[ -r $lib/load-common.sh ]] && break
done
sqlfile=$lib/../sql/mariadb.sql
target_args=DATABASE
fixed_ok=0
parallel_ok=0
source "$lib/load-common.sh"

usage_intro() {
  cat <<EOF
Replaces the tables hundred, tenpcnt, tiny, uniques and updates of the MariaDB
database DATABASE (SQLFILE, by default mariadb.sql of this package) with a
run's rows, loaded with LOAD DATA LOCAL INFILE; adds the primary keys and runs
ANALYZE TABLE. On any failure the database stays as it was. Fixed-format
files are not loaded.
Example: $prog -d tab bench out/zerv
EOF
}

client=("${MARIADB:-mariadb}" --local-infile=1 --batch --skip-column-names)
stage=zervgen_load_$$
work=
declare -A writers=()

count_rows() { "${client[@]}" -D "${targets[0]}" -e "$1"; }

# sql_string TEXT: TEXT as an SQL string literal.
sql_string() {
  local t=${1//\\/\\\\}
  printf "'%s'" "${t//\'/\'\'}"
}

# load_relation REL: the statements that load REL into the staging database
# and fail when any row did not load exactly (LOAD DATA LOCAL turns such
# errors into warnings and goes on).
load_relation() {
  local rel=$1 n=${rel_fields[$1]} columns set= file sep=$delim
  [[ $sep == $'\t' ]] && sep='\t'
  case $n in
    1) columns='`key`' ;;
    *)
      columns='`key`, `int`, `signed`, `float`, `double`, `decim`, @date, `code`, `name`, `address`'
      ((n == 11)) && columns+=', `fill`'
      set="SET \`date\` = STR_TO_DATE(@date, '%c/%e/%Y')"
      ;;
  esac
  rel_source "$rel" 1
  file=$src
  if [[ $src_kind == cmd ]]; then
    # A pipe through a named FIFO: the writer starts when LOAD DATA opens it.
    file=$work/$rel.fifo
    mkfifo "$file"
    bash -c "exec >$(q "$file") 2>$(q "$work/$rel.gen.err") && $src" &
    writers[$rel]=$!
  fi
  cat <<EOF
LOAD DATA LOCAL INFILE $(sql_string "$file") INTO TABLE $rel CHARACTER SET ascii
  FIELDS TERMINATED BY '$sep' ESCAPED BY '' LINES TERMINATED BY '\\n'
  ($columns) $set;
SET @refused = @@warning_count;
INSERT INTO zervgen_refused VALUES ('$rel', @refused);
EOF
}

# swap_sql: one RENAME TABLE that moves the old tables out of the target
# database and the new ones in.
swap_sql() {
  local target=$1 rel list= existing
  existing=$("${client[@]}" -e "SELECT table_name FROM information_schema.tables
    WHERE table_schema = $(sql_string "$target")")
  for rel in "${relations[@]}"; do
    grep -qx "$rel" <<<"$existing" && list+="${list:+, }\`$target\`.$rel TO $stage.old_$rel"
    list+="${list:+, }$stage.$rel TO \`$target\`.$rel"
  done
  echo "RENAME TABLE $list;"
}

fail_load() { die "loading failed, the tables are as they were: $(first_error "$1")"; }

cleanup() {
  local pid
  for pid in "${writers[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [[ -n $work ]]; then
    "${client[@]}" -e "DROP DATABASE IF EXISTS $stage" >/dev/null 2>&1 || true
    rm -rf "$work"
  fi
}

load_database() {
  local rel target=${targets[0]} swap
  [[ $target =~ ^[A-Za-z0-9_$]+$ ]] || die "database name '$target': use letters, digits, _ and \$"
  work=$(mktemp -d "${TMPDIR:-/tmp}/zervgen-load.XXXXXX")
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  {
    echo "CREATE DATABASE $stage; USE $stage;"
    echo "CREATE TEMPORARY TABLE zervgen_refused (rel VARCHAR(10), refused INT,"
    echo "  CONSTRAINT rows_did_not_load_exactly CHECK (refused = 0));"
    sql_tables
    for rel in "${relations[@]}"; do load_relation "$rel"; done
    sql_keys
    echo "ANALYZE TABLE hundred, tenpcnt, tiny, uniques, updates;"
  } >"$work/load.sql"
  "${client[@]}" <"$work/load.sql" >/dev/null 2>"$work/load.err" || fail_load "$work/load.err"
  for rel in "${!writers[@]}"; do
    wait "${writers[$rel]}" ||
      die "loading failed, the tables are as they were: $(tail -n 1 "$work/$rel.gen.err")"
  done
  writers=()
  swap=$(swap_sql "$target" 2>"$work/swap.err") || fail_load "$work/swap.err"
  "${client[@]}" -e "$swap DROP DATABASE $stage;" 2>"$work/swap.err" || fail_load "$work/swap.err"
}

load_main "$@"
