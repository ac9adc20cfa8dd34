#!/usr/bin/env bash
# load-postgresql.sh (installed as zervgen-load-postgresql): creates the five
# zervgen tables in a PostgreSQL database, loads a run's relation files (or
# zervgen pipes) into them with COPY, adds the primary keys, analyzes the
# tables, checks the counts (and columns) and prints them.
#
# The tables are created without keys in a schema of their own and filled one
# relation after another, by one or (-j N) N concurrent COPY sessions; each
# relation's key and statistics are built in a session of its own while the
# next relation loads. Then the new tables move into the current schema in one
# transaction that drops the old ones: a load that fails anywhere leaves the
# database as it was. The server reads the files itself when it may (a
# superuser or a member of pg_read_server_files on the same machine);
# otherwise psql sends them.
#
# Connection: psql's own environment variables (PGHOST, PGPORT, PGDATABASE,
# PGUSER, PGPASSWORD, ...). Set PSQL to use another psql binary, and
# ZERVGEN_CLIENT_READS=1 to have psql send the files even when the server
# could read them.
here=$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")
for lib in "$here" "$here/../share/zervgen/scripts"; do
  [[ -r $lib/load-common.sh ]] && break
done
sqlfile=$lib/../sql/postgresql.sql
target_args=
fixed_ok=1
parallel_ok=1
loader_opts=
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
# Key builds sort in memory up to this much (the default 64MB spills a
# million-row key to disk).
key_memory=${ZERVGEN_KEY_MEMORY:-256MB}
export PGAPPNAME=$stage
declare -A server_reads=() key_pids=()

psql_query() { "${psql_cmd[@]}" -A -t -c "$1"; }

# sql_string TEXT: TEXT as an SQL (and psql \copy) string literal.
sql_string() { printf "'%s'" "${1//\'/\'\'}"; }

# loader_precheck: the schema to load into, nothing that would keep the old
# tables from being dropped, and which files the server can read itself.
loader_precheck() {
  local rel k list= probe= line deps
  target=$(psql_query 'SELECT quote_ident(current_schema())' 2>"$work/schema.err") ||
    fail_load "$(first_error "$work/schema.err")"
  [[ -n $target ]] || die "no current schema to load into (check search_path)"
  for rel in "${relations[@]}"; do list+="${list:+, }'$rel'"; done
  # Views, foreign keys and other objects on the old tables would make the
  # final DROP fail after all the work.
  deps=$(psql_query "SELECT DISTINCT c.relname || ': ' || pg_describe_object(d.classid, d.objid, d.objsubid)
    FROM pg_depend d JOIN pg_class c ON c.oid = d.refobjid
    LEFT JOIN pg_rewrite r ON d.classid = 'pg_rewrite'::regclass AND r.oid = d.objid
    LEFT JOIN pg_constraint k ON d.classid = 'pg_constraint'::regclass AND k.oid = d.objid
    WHERE d.refclassid = 'pg_class'::regclass AND d.deptype = 'n'
      AND c.relnamespace = current_schema()::regnamespace AND c.relname IN ($list)
      AND coalesce(r.ev_class, k.conrelid, 0) <> c.oid LIMIT 1" 2>"$work/deps.err") ||
    fail_load "$(first_error "$work/deps.err")"
  [[ -z $deps ]] || die "$deps depends on the table; drop it first (nothing was loaded)"
  [[ -z $zervgen && ${ZERVGEN_CLIENT_READS:-0} == 0 ]] || return 0
  for rel in "${relations[@]}"; do
    for ((k = 1; k <= jobs; k++)); do
      rel_source "$rel" "$k"
      [[ -s $src ]] || continue
      probe+="${probe:+ UNION ALL }SELECT '$rel $k', $(sql_string "$(readlink -f "$src")")"
      probe+=", $(stat -L -c '%s %Y' "$src" | sed 's/ /, /')"
    done
  done
  # The server reads a file itself only when it is the same file: same size
  # and time, and readable by the server.
  psql_query "SELECT p.id, s.size = p.size AND extract(epoch FROM s.modification)::bigint = p.mtime
      AND length(pg_read_binary_file(p.path, 0, 1, true)) = 1
    FROM ($probe) AS p(id, path, size, mtime), pg_stat_file(p.path, true) AS s
    WHERE (SELECT rolsuper OR pg_has_role(current_user, 'pg_read_server_files', 'MEMBER')
             FROM pg_roles WHERE rolname = current_user)" >"$work/probe.out" 2>/dev/null || true
  while IFS='|' read -r line ok; do
    [[ $ok == t ]] && server_reads[$line]=$(readlink -f "${line% *}")
  done <"$work/probe.out"
  return 0
}

# copy_script REL K [TABLE]: the psql lines that load part K of REL into the
# new table (or TABLE) and print its row count. One stream loads a table
# truncated in the same transaction, which lets COPY write its rows frozen.
copy_script() {
  local rel=$1 k=$2 table=${3:-$stage.$1} n=${rel_fields[$1]} columns copy_delim options from
  case $n in
    1) columns='"key"' ;;
    10) columns=$data_columns ;;  # no fill column in this run: fill stays NULL
    11) columns="$data_columns, \"fill\"" ;;
  esac
  copy_delim="'$delim'"
  [[ $delim == $'\t' ]] && copy_delim="E'\\t'"
  options="FORMAT text, DELIMITER $copy_delim"
  echo "SET datestyle = 'ISO, MDY';"
  if ((jobs == 1)) && [[ -z ${3:-} ]]; then
    echo "BEGIN; TRUNCATE $table;"
    options+=", FREEZE"
  fi
  rel_source "$rel" "$k"
  if [[ $src_kind == file && -n ${server_reads["$rel $k"]:-} ]] && ! ((fixed)); then
    echo "COPY $table ($columns) FROM $(sql_string "$(readlink -f "$src")") ($options);"
  else
    if [[ $src_kind == file ]] && ! ((fixed)); then
      from=$(sql_string "$src")
    else
      rows_command "$rel" "$k" >"$work/$rel.$k.sh"
      from="PROGRAM $(sql_string "bash $(q "$work/$rel.$k.sh")")"
    fi
    echo "\\copy $table ($columns) FROM $from ($options)"
  fi
  echo "\\echo zervgen-rows :ROW_COUNT"
  if ((jobs == 1)) && [[ -z ${3:-} ]]; then echo "COMMIT;"; fi
  return 0
}

# add_checks REL TABLE: SQL that gives TABLE the CHECK constraints of REL's
# table, all validated in one scan.
add_checks() {
  cat <<SQL
DO \$\$DECLARE q text; BEGIN
  SELECT string_agg(format('ADD CONSTRAINT %I %s', conname, def), ', ') INTO q
    FROM $stage.zervgen_checks WHERE rel = '$1';
  IF q IS NOT NULL THEN EXECUTE 'ALTER TABLE $2 ' || q; END IF;
END\$\$;
SQL
}

# key_script REL: the checks, the key, the statistics and (with -c) the
# column figures of REL's new table.
key_script() {
  local rel=$1 c parts=() low high
  echo "SET maintenance_work_mem = '$key_memory'; SET search_path = $stage;"
  echo "SET client_min_messages = warning;"
  add_checks "$rel" "$rel"
  sql_keys "$rel"
  echo "ANALYZE $rel;"
  ((check_cols)) || return 0
  echo "\\pset fieldsep ' '"
  for c in "${stat_columns[@]}"; do
    [[ $rel == tiny && $c != key ]] && continue
    low="min(\"$c\")::text" high="max(\"$c\")::text"
    [[ $c == date ]] && low="to_char(min(\"date\"), 'FMMM/FMDD/YYYY')" high="to_char(max(\"date\"), 'FMMM/FMDD/YYYY')"
    parts+=("SELECT '$rel', '$c', $low, $high, count(DISTINCT \"$c\") FROM $rel")
  done
  (IFS=$'\n'; sed '2,$s/^/UNION ALL /' <<<"${parts[*]}")
  echo ";"
}

# copy_failure REL K [NAME]: the one-line reason why part K of REL did not
# load (in work/NAME.err, by default copy.REL.K.err).
copy_failure() {
  local rel=$1 k=$2 err=$work/${3:-copy.$1.$2}.err error line row=
  if gen_failure "$rel" "$k"; then return 0; fi
  error=$(grep -m 1 'ERROR:' "$err" | sed 's/^.*ERROR: *//')
  line=$(grep -m 1 -E '^CONTEXT: +COPY [^,]+, line [0-9]+' "$err" || true)
  [[ $line =~ line\ ([0-9]+) ]] && row="row ${BASH_REMATCH[1]}: "
  [[ $error =~ \"(not a fixed-format row of [0-9]+ characters)\" ]] && error=${BASH_REMATCH[1]}
  echo "$rel: $(source_name "$rel" "$k"): $row${error:-$(first_error "$err")}"
}

# key_failure REL: the one-line reason why REL's checks or key failed. A
# CHECK constraint that some row breaks is found again by loading the parts
# into a table that has it, where COPY names the row.
key_failure() {
  local rel=$1 err=$work/key.$1.err k
  if grep -q 'is violated by some row' "$err"; then
    for ((k = 1; k <= jobs; k++)); do
      {
        echo "SET client_min_messages = warning;"
        echo "CREATE TEMP TABLE zervgen_locate (LIKE $stage.$rel);"
        add_checks "$rel" zervgen_locate
        copy_script "$rel" "$k" zervgen_locate
      } >"$work/locate.sql"
      "${psql_cmd[@]}" -A -t -f "$work/locate.sql" >/dev/null 2>"$work/locate.err" && continue
      copy_failure "$rel" "$k" locate
      return 0
    done
  fi
  echo "$rel: $(source_name "$rel" 1): $(grep -m 1 'ERROR:' "$err" | sed 's/^.*ERROR: *//')" \
    "$(grep -m 1 'DETAIL:' "$err" | sed 's/^DETAIL: *//')"
}

# load_relation REL: COPY sessions for REL's parts; when all of them are
# done, its key session starts in the background.
load_relation() {
  local rel=$1 k copy=() total=0 rows
  for ((k = 1; k <= jobs; k++)); do
    copy_script "$rel" "$k" >"$work/copy.$rel.$k.sql"
    run_bg "copy.$rel.$k" "${psql_cmd[@]}" -A -t -f "$work/copy.$rel.$k.sql"
    copy+=("$last_pid")
  done
  for ((k = 1; k <= jobs; k++)); do
    wait_for "${copy[k - 1]}" || fail_load "$(copy_failure "$rel" "$k")"
    rows=$(sed -n 's/^zervgen-rows //p' "$work/copy.$rel.$k.out")
    total=$((total + rows))
  done
  loaded[$rel]=$total
  [[ -z $zervgen ]] || read_report
  check_count "$rel"
  key_script "$rel" >"$work/key.$rel.sql"
  run_bg "key.$rel" "${psql_cmd[@]}" -A -t -f "$work/key.$rel.sql"
  key_pids[$rel]=$last_pid
}

# stage_load: the new tables without keys. One stream loads them without
# their CHECK constraints either (the definitions kept in zervgen_checks,
# with the width of the fill): COPY does no more than parse the rows, and the
# checks run in the key session on the other core, beside the next
# relation's COPY. With -j N the COPY sessions already use every core, and
# checking each row as it comes costs less than a scan afterwards.
stage_load() {
  local rel
  {
    echo "SET client_min_messages = warning;"
    echo "CREATE SCHEMA $stage;"
    echo "SET search_path = $stage;"
    sql_tables
    echo "CREATE TABLE zervgen_checks AS SELECT c.relname::text AS rel, k.conname::text,
  pg_get_constraintdef(k.oid) AS def FROM pg_constraint k JOIN pg_class c ON c.oid = k.conrelid
  WHERE k.contype = 'c' AND c.relnamespace = '$stage'::regnamespace;"
    if ((jobs == 1)); then
      echo "DO \$\$DECLARE r record; BEGIN
  FOR r IN SELECT * FROM zervgen_checks LOOP
    EXECUTE format('ALTER TABLE %I DROP CONSTRAINT %I', r.rel, r.conname);
  END LOOP; END\$\$;"
    else
      echo "DELETE FROM zervgen_checks;"
    fi
    if ((fill_width > 0)); then
      for rel in "${large[@]}"; do
        if ((jobs == 1)); then
          echo "INSERT INTO zervgen_checks VALUES ('$rel', 'zervgen_fill_width', 'CHECK (octet_length(\"fill\") = $fill_width)');"
        else
          echo "ALTER TABLE $rel ADD CONSTRAINT zervgen_fill_width CHECK (octet_length(\"fill\") = $fill_width);"
        fi
      done
    fi
  } >"$work/create.sql"
  run_bg create "${psql_cmd[@]}" -f "$work/create.sql"
  wait_for "$last_pid" || fail_load "$(first_error "$work/create.err")"
  # tiny last: the key build of the last large relation overlaps its load.
  for rel in hundred tenpcnt uniques updates tiny; do load_relation "$rel"; done
  for rel in hundred tenpcnt uniques updates tiny; do
    wait_for "${key_pids[$rel]}" || fail_load "$(key_failure "$rel")"
  done
}

stage_columns() {
  local rel
  for rel in "${relations[@]}"; do grep -E "^$rel " "$work/key.$rel.out" || true; done
}

# swap_tables: one transaction drops the old tables and moves the new ones
# in. psql runs in a session of its own, so that an interrupt of the loader's
# process group does not cancel it half-way; the loader asks afterwards
# whether it committed.
swap_tables() {
  local rel list=
  for rel in "${relations[@]}"; do list+="${list:+, }$target.$rel"; done
  {
    echo "SET client_min_messages = warning;"
    echo "BEGIN;"
    echo "SET LOCAL search_path = $stage;"
    if ((fill_width > 0)); then
      for rel in "${large[@]}"; do echo "ALTER TABLE $rel DROP CONSTRAINT zervgen_fill_width;"; done
    fi
    echo "DROP TABLE IF EXISTS $list;"
    for rel in "${relations[@]}"; do echo "ALTER TABLE $rel SET SCHEMA $target;"; done
    echo "DROP TABLE zervgen_checks;"
    echo "DROP SCHEMA $stage;"
    echo "COMMIT;"
  } >"$work/swap.sql"
  PGAPPNAME=${stage}_swap run_bg swap setsid "${psql_cmd[@]}" -f "$work/swap.sql"
  wait_for "$last_pid"
}

swap_failure() { first_error "$work/swap.err"; }

# swap_done: once no session of the swap is left, the new tables are in place
# exactly when their schema is gone.
swap_done() {
  local i
  for ((i = 0; i < 6000; i++)); do
    ask psql_query "SELECT count(*) FROM pg_stat_activity WHERE application_name = '${stage}_swap'" ||
      return 1
    [[ $answer == 0 ]] && break
    sleep 0.1
  done
  ask psql_query "SELECT count(*) FROM pg_namespace WHERE nspname = '$stage'" && [[ $answer == 0 ]]
}

stage_cleanup() {
  psql_query "SELECT pg_terminate_backend(pid) FROM pg_stat_activity
    WHERE application_name = '$stage' AND pid <> pg_backend_pid()" >/dev/null 2>&1 || true
  "${psql_cmd[@]}" -c "SET client_min_messages = warning" \
    -c "DROP SCHEMA IF EXISTS $stage CASCADE" >/dev/null 2>&1 || true
}

load_main "$@"
