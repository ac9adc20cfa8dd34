#!/usr/bin/env bash
# load-mariadb.sh (installed as zervgen-load-mariadb): creates the five
# zervgen tables in a MariaDB database, loads a run's relation files (or
# zervgen pipes) with LOAD DATA LOCAL INFILE, checks every row and the counts
# (and columns), adds the primary keys, analyzes the tables and prints the
# counts.
#
# MariaDB commits every CREATE and ALTER at once, so the tables are built in a
# database of their own (created and dropped by the script) and then take the
# place of the old ones in one RENAME TABLE, which is atomic: a load that
# fails anywhere leaves the target database as it was.
#
# Connection: the client's option files and environment (MYSQL_HOST,
# MYSQL_TCP_PORT, MYSQL_PWD), or client options given with -o (-o
# --socket=PATH, -o --defaults-file=FILE, ...); the user needs CREATE and DROP
# on the staging database zervgen_load_PID. Set MARIADB to use another client.
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
for lib in "$here" "$here/../share/zervgen/scripts"; do
  [[ -r $lib/load-common.sh ]] && break
done
sqlfile=$lib/../sql/mariadb.sql
target_args=DATABASE
fixed_ok=0
parallel_ok=0
loader_opts=o:
source "$lib/load-common.sh"

usage_intro() {
  cat <<EOF
Replaces the tables hundred, tenpcnt, tiny, uniques and updates of the MariaDB
database DATABASE (SQLFILE, by default mariadb.sql of this package) with a
run's rows, loaded with LOAD DATA LOCAL INFILE; adds the primary keys and runs
ANALYZE TABLE. On any failure the database stays as it was. Fixed-format
files are not loaded.
Example: $prog -o --socket=/run/mysqld/mysqld.sock -d tab bench out/zerv
EOF
}

loader_usage() {
  cat <<USAGE
  -o OPTION   an option for every client call, e.g. -o --socket=PATH,
              -o --host=HOST, -o --user=NAME or -o --defaults-file=FILE
              (may be given more than once; the client's own option files
              are read as usual)
USAGE
}

client_options=()
loader_option() { client_options+=("$2"); }

stage=zervgen_load_$$
declare -A writers=()
client_cmd=()
client() { "${client_cmd[@]}" "$@"; }

# sql_string TEXT: TEXT as an SQL string literal.
sql_string() {
  local t=${1//\\/\\\\}
  printf "'%s'" "${t//\'/\'\'}"
}

loader_precheck() {
  client_cmd=("${MARIADB:-mariadb}" "${client_options[@]}" --local-infile=1 --batch --skip-column-names)
  target=${targets[0]}
  [[ $target =~ ^[A-Za-z0-9_$]+$ ]] || die "database name '$target': use letters, digits, _ and \$"
  client -D "$target" -e 'SELECT 1' >/dev/null 2>"$work/connect.err" ||
    fail_load "$(first_error "$work/connect.err")"
}

# The rows are loaded as bytes into a table c1..cN numbered in file order,
# LOAD DATA's warnings (a row of too few or too many fields) fail the load,
# and every field is checked as text before the typed rows are inserted: a
# number must read back as written, a date must be a real day of 1900..1999,
# a text printable ASCII of its length.

# check_of KIND WIDTH COLUMN: the SQL condition that COLUMN is a field of KIND.
check_of() {
  local c=$3
  case $1 in
    int) echo "CAST(CAST($c AS SIGNED) AS BINARY) = $c AND CAST($c AS SIGNED) BETWEEN -1000000000 AND 1000000000" ;;
    money) echo "$c REGEXP '^-?[0-9]+[.]00\$' AND CAST(CAST($c AS DECIMAL(12,2)) AS BINARY) = $c AND CAST($c AS DECIMAL(12,2)) BETWEEN -500000000 AND 500000000" ;;
    date) echo "CAST(DATE_FORMAT(STR_TO_DATE($c, '%c/%e/%Y'), '%c/%e/%Y') AS BINARY) = $c AND STR_TO_DATE($c, '%c/%e/%Y') BETWEEN '1900-01-01' AND '1999-12-31'" ;;
    text) echo "LENGTH($c) = $2 AND $c NOT REGEXP '[^ -~]'" ;;
    address) echo "LENGTH($c) BETWEEN 2 AND 80 AND $c NOT REGEXP '[^ -~]'" ;;
  esac
}

# shown COLUMN: COLUMN's text for a message.
shown() {
  echo "IF(LEFT($1, 40) REGEXP '[^ -~]', 'bytes that are not printable ASCII', CONCAT('''', LEFT($1, 40), ''''))"
}

# load_relation REL: the statements that load, check and insert REL.
load_relation() {
  local rel=$1 n=${rel_fields[$1]} sep=$delim file i spec name kind w c value
  local specs=() cols=() values=() case= fields=
  [[ $sep == $'\t' ]] && sep='\t'
  if [[ $rel == tiny ]]; then specs=(key:int:10); else specs=("${row_columns[@]}"); fi
  ((n == 11)) && specs+=(fill:text:$fill_width)
  i=1
  for spec in "${specs[@]}"; do
    IFS=: read -r name kind w <<<"$spec"
    [[ $name == address ]] && kind=address
    c=c$i
    cols+=("$c VARBINARY(255)")
    case+=" WHEN NOT coalesce($(check_of "$kind" "$w" "$c"), 0) THEN CONCAT('$(what_of "$kind" "$w" "$name"): ', $(shown "$c"))"
    case $kind in
      int) value="CAST($c AS SIGNED)" ;;
      money) value="CAST($c AS DECIMAL(12,2))" ;;
      date) value="STR_TO_DATE($c, '%c/%e/%Y')" ;;
      *) value=$c ;;
    esac
    [[ $name == double ]] && value="CAST($c AS DOUBLE)"
    [[ $name == decim ]] && value="CAST($c AS DECIMAL(12,2))"
    values+=("$value")
    i=$((i + 1))
  done
  for ((i = 1; i <= ${#specs[@]}; i++)); do fields+="${fields:+, }c$i"; done
  [[ $rel == tiny ]] && case+=" WHEN CAST(c1 AS SIGNED) <> 0 THEN 'key: not 0'"
  ((n == 10)) && values+=(NULL)
  rel_source "$rel" 1
  file=$src
  if [[ $src_kind == cmd ]]; then
    # A pipe through a named FIFO: the writer starts when LOAD DATA opens it.
    file=$work/$rel.fifo
    mkfifo "$file"
    bash -c "exec >$(q "$file") && $src" &
    writers[$rel]=$!
    pids+=($!)
  fi
  cat <<EOF
SELECT 'loading', '$rel';
CREATE TEMPORARY TABLE zervgen_rows (n INT NOT NULL, $(IFS=,; echo "${cols[*]}"));
SET @zervgen_row = 0;
LOAD DATA LOCAL INFILE $(sql_string "$file") INTO TABLE zervgen_rows CHARACTER SET binary
  FIELDS TERMINATED BY '$sep' ESCAPED BY '' LINES TERMINATED BY '\\n'
  ($fields)
  SET n = (@zervgen_row := @zervgen_row + 1);
SHOW WARNINGS LIMIT 1;
SET @zervgen_warnings = @@warning_count;
INSERT INTO zervgen_refused VALUES ('$rel', @zervgen_warnings);
SET @zervgen_bad = (SELECT CONCAT(n, ' ', why) FROM (SELECT n, CASE $case END AS why
  FROM zervgen_rows) AS t WHERE why IS NOT NULL ORDER BY n LIMIT 1);
SELECT 'bad', '$rel', @zervgen_bad FROM DUAL WHERE @zervgen_bad IS NOT NULL;
INSERT INTO zervgen_refused VALUES ('$rel', @zervgen_bad IS NOT NULL);
INSERT INTO $rel SELECT $(IFS=,; echo "${values[*]}") FROM zervgen_rows ORDER BY n;
SELECT 'count', '$rel', COUNT(*) FROM zervgen_rows;
DROP TEMPORARY TABLE zervgen_rows;
EOF
}

# stat_query REL: the column figures of REL's new table.
stat_query() {
  local rel=$1 c low high
  for c in "${stat_columns[@]}"; do
    [[ $rel == tiny && $c != key ]] && continue
    low="MIN(\`$c\`)" high="MAX(\`$c\`)"
    [[ $c == date ]] && low="DATE_FORMAT($low, '%c/%e/%Y')" high="DATE_FORMAT($high, '%c/%e/%Y')"
    echo "SELECT 'stat', '$rel', '$c', $low, $high, COUNT(DISTINCT \`$c\`) FROM $rel;"
  done
}

stage_load() {
  local rel
  {
    echo "CREATE DATABASE $stage; USE $stage;"
    echo "CREATE TEMPORARY TABLE zervgen_refused (rel VARCHAR(10), refused INT,"
    echo "  CONSTRAINT rows_did_not_load_exactly CHECK (refused = 0));"
    sql_tables
    for rel in "${relations[@]}"; do load_relation "$rel"; done
  } >"$work/load.in"
  run_client load
  for rel in "${!writers[@]}"; do
    wait_for "${writers[$rel]}" || fail_load "$(gen_failure "$rel" 1 || echo "$rel: zervgen failed")"
  done
  [[ -z $zervgen ]] || read_report
  check_counts
  # The keys only after the counts: a relation of too many rows says so,
  # not that its key repeats.
  {
    echo "USE $stage;"
    for rel in "${relations[@]}"; do
      echo "SELECT 'keying', '$rel';"
      sql_keys "$rel"
    done
    echo "ANALYZE TABLE hundred, tenpcnt, tiny, uniques, updates;"
    if ((check_cols)); then for rel in "${relations[@]}"; do stat_query "$rel"; done; fi
  } >"$work/keys.in"
  run_client keys
}
stats=

# run_client NAME: the client on work/NAME.in; its counts and column figures
# into `loaded` and `stats`; on a failure the load ends with its reason.
run_client() {
  local rel word a b c d
  run_bg "$1" client
  if ! wait_for "$last_pid"; then
    for rel in "${relations[@]}"; do
      if gen_failure "$rel" 1 >"$work/gen"; then fail_load "$(cat "$work/gen")"; fi
    done
    fail_load "$(load_failure "$1")"
  fi
  while IFS=$'\t' read -r word a b c d; do
    case $word in
      count) loaded[$a]=$b ;;
      stat) stats+="$a $b $c $d"$'\n' ;;
    esac
  done <"$work/$1.out"
}

# load_failure: why the client ended before the rows were in: a warning of
# LOAD DATA, a field that failed its check, or the client's own error.
load_failure() {
  local word a b rest rel= name=$1
  while IFS=$'\t' read -r word a b rest; do
    case $word in
      loading | keying) rel=$a ;;
      Warning | Note | Error)
        if [[ $b =~ ^Row\ ([0-9]+)\ was\ truncated ]]; then
          echo "$rel: $(source_name "$rel" 1): row ${BASH_REMATCH[1]}: expected ${rel_fields[$rel]} fields separated by '$delim_word', found more"
        elif [[ $b =~ ^Row\ ([0-9]+)\ doesn.t\ contain\ data ]]; then
          echo "$rel: $(source_name "$rel" 1): row ${BASH_REMATCH[1]}: expected ${rel_fields[$rel]} fields separated by '$delim_word', found fewer"
        else
          echo "$rel: $(source_name "$rel" 1): $b"
        fi
        return 0
        ;;
      bad) echo "$a: $(source_name "$a" 1): row ${b%% *}: ${b#* }"; return 0 ;;
    esac
  done <"$work/$name.out"
  echo "${rel:+$rel: $(source_name "$rel" 1): }$(first_error "$work/$name.err")"
}

stage_columns() { printf '%s' "$stats"; }

# swap_tables: one RENAME TABLE moves the old tables out of the target
# database and the new ones in; the client runs in a session of its own and
# first says its connection, which swap_done waits for.
swap_tables() {
  local rel list= existing
  existing=$(client -e "SELECT table_name FROM information_schema.tables
    WHERE table_schema = $(sql_string "$target")" 2>"$work/swap.err") || return 1
  for rel in "${relations[@]}"; do
    if grep -qx "$rel" <<<"$existing"; then list+="${list:+, }\`$target\`.$rel TO $stage.old_$rel"; fi
    list+="${list:+, }$stage.$rel TO \`$target\`.$rel"
  done
  run_bg swap setsid "${client_cmd[@]}" -e "SELECT CONNECTION_ID(); RENAME TABLE $list;"
  wait_for "$last_pid"
}

swap_failure() { first_error "$work/swap.err"; }

swap_done() {
  local i id
  id=
  read -r id <"$work/swap.out" 2>/dev/null || true
  if [[ $id =~ ^[0-9]+$ ]]; then
    for ((i = 0; i < 6000; i++)); do
      ask client -e "SELECT COUNT(*) FROM information_schema.processlist WHERE id = $id" || return 1
      [[ $answer == 0 ]] && break
      sleep 0.1
    done
  fi
  ask client -e "SELECT COUNT(*) FROM information_schema.tables
    WHERE table_schema = '$stage' AND table_name = 'hundred'" && [[ $answer == 0 ]]
}

stage_cleanup() { client -e "DROP DATABASE IF EXISTS $stage" >/dev/null 2>&1 || true; }

load_main "$@"
