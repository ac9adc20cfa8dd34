# load-common.sh: what the load scripts share, sourced by load-postgresql.sh,
# load-sqlite.sh and load-mariadb.sh: the shell settings, the options, the
# delimiters and the one table of fixed-format positions, the five relations
# and where their rows come from (files, part files or zervgen pipes), the
# checks of every input before the database is touched, the run's report and
# the checks of the loaded counts and columns against it, the work folder,
# the ending signals and the one-line failure message.
#
# The sourcing script sets `sqlfile` (its default table script),
# `target_args` (the words of its synopsis before PREFIX, e.g. "DATABASE"),
# `parallel_ok` (1 when it can load parts concurrently), `fixed_ok` (1 when it
# loads fixed-format rows) and `loader_opts` (getopts letters of its own,
# handled by `loader_option OPT ARG`), defines `usage_intro`, and the steps
# that load_main runs in this order:
#   stage_load       loads all five relations beside the old tables, keyed and
#                    analyzed, and sets `loaded[REL]` to each one's row count;
#   stage_columns    (with -c) prints "REL COLUMN MIN MAX DISTINCT" lines of
#                    the new tables (dates as M/D/YYYY);
#   swap_tables      puts the new tables in the place of the old ones in one
#                    step; runs while the ending signals are held;
#   swap_done        succeeds when the database holds the new tables (asked
#                    after swap_tables ended, whichever way);
#   stage_cleanup    removes what is left of the new tables (any ending).
# then calls `load_main "$@"`.
#
# A load either replaces all five tables or leaves the database as it was,
# and its status says which: 0 only after the database shows the new tables.
set -euo pipefail
shopt -s inherit_errexit

prog=${0##*/}
work= pids=() holding=0 swapped=0 signalled= exit_status=0
# Standard error as it was: a signal handled while a command's messages go to
# a file still reaches the user.
exec {user_stderr}>&2
# The ending signals are caught from the start (on_signal, finish below).
trap 'on_signal INT' INT
trap 'on_signal TERM' TERM
trap 'on_signal HUP' HUP
trap finish EXIT

# die TEXT: one line on standard error (a byte that is not printable ASCII
# shows as '?') and status 1.
die() {
  local line
  line=$(printf '%s' "$prog: $*" | LC_ALL=C tr -c '[:print:]' '?')
  echo "$line" >&2
  exit 1
}

# fail_load TEXT: a load that failed after the inputs were checked.
fail_load() { die "loading failed, the tables are as they were: $*"; }

usage() {
  local target=${target_args:+$target_args }
  local jobs= fixed_word="; or 'fixed' for fixed-format files (zervgen -ff)."
  ((parallel_ok)) && jobs=' [-j N]'
  ((fixed_ok)) || fixed_word=". Fixed-format files cannot be loaded."
  cat <<USAGE
Usage: $prog [-d DELIM]$jobs [-c] [-R REPORT] [-s SQLFILE] ${target}PREFIX
       $prog [-d DELIM]$jobs [-c] [-s SQLFILE] -g ZERVGEN ${target}[ZERVGEN-OPTIONS...]

$(usage_intro)

  PREFIX      the run's files as named by zervgen -f PREFIX: PREFIX.hun,
              PREFIX.ten, PREFIX.tny, PREFIX.uni and PREFIX.upd; a folder
              stands for FOLDER/zerv. All five must exist.
  -d DELIM    the run's delimiter (zervgen -dc): ',' (the default), '|'
              or 'tab'$fixed_word
  -g ZERVGEN  read no files: run ZERVGEN -<rel> -f - -dc DELIM (or -ff) with
              the remaining options (e.g. -n 100000 -fc 20) once per relation
              and pipe its rows straight into the database. Do not pass -f,
              -r, -ff, -dc, -parts, -part or a relation option.
  -R REPORT   the run's report (zervgen -r); by default PREFIX.rpt when it
              exists (with -g, the report each zervgen writes). The loaded row
              counts must be the report's; without a report the four large
              relations must have the same count and tiny one row.
  -c          also check every numeric and date column of the new tables
              against the report: minimum, maximum and number of distinct
              values (costs about a third of the load's time).
  -s SQLFILE  the CREATE TABLE script (keys in lines of their own, ALTER
              TABLE ... ADD PRIMARY KEY or CREATE UNIQUE INDEX, which run
              after the data is in).
USAGE
  ((parallel_ok)) && cat <<USAGE
  -j N        load every relation as N parts through N concurrent sessions:
              from the part files PREFIX.hun.1 .. PREFIX.hun.N (zervgen
              -parts N -part K), or with -g from N pipes of
              ZERVGEN -<rel> -parts N -part K -f -.
USAGE
  loader_usage
  return 0
}
loader_usage() { return 0; }

relations=(hundred tenpcnt tiny uniques updates)
large=(hundred tenpcnt uniques updates)
declare -A suffix=([hundred]=hun [tenpcnt]=ten [tiny]=tny [uniques]=uni [updates]=upd)
declare -A option=([hundred]=-hu [tenpcnt]=-te [tiny]=-ti [uniques]=-un [updates]=-up)
# Fields of each relation's rows: 1 for tiny, 10, or 11 with a fill column;
# fill_width: the characters of the fill column (0: none).
declare -A rel_fields=()
fill_width=0

# The columns of the ten-column relations in the order of a row, with their
# kind and, in fixed format, their width; the fill follows the address. Every
# loader's fixed-format cutting and row checks come from this one table.
#   int    a whole number within -1000000000..1000000000
#   money  a whole number and ".00" within -500000000..500000000
#   date   month/day/year within 1/1/1900..12/31/1999 (fixed: MM/DD/YYYY)
#   text   printable ASCII of the given length (address: 2 to 80)
row_columns=(key:int:10 int:int:10 signed:int:10 float:money:13 double:int:11 decim:int:11
  date:date:10 code:text:10 name:text:20 address:text:80)
fixed_row_width=185  # the sum of the widths; the fill begins after it
# Columns whose minimum, maximum and distinct values the report lists.
stat_columns=(key int signed float double decim date)

# q WORD: WORD quoted for any POSIX shell (single quotes, no $'...').
q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

# fixed_split_awk: an awk program that cuts each fixed-format row at the
# column positions into tab-separated fields, drops the blanks that pad the
# address, and turns a row of another length (or holding a tab) into a row
# whose first field says so; the fill width comes from -v fill=W.
fixed_split_awk() {
  local c width first=1 out=
  for c in "${row_columns[@]}"; do
    width=${c##*:}
    if [[ ${c%%:*} == address ]]; then
      out+="${out:+ \"\\t\" }a"
      address_from=$first address_width=$width
    else
      out+="${out:+ \"\\t\" }substr(\$0, $first, $width)"
    fi
    first=$((first + width))
  done
  cat <<EOF
length(\$0) != $fixed_row_width + fill || index(\$0, "\\t") {
  print "not a fixed-format row of " ($fixed_row_width + fill) " characters"; next
}
{
  a = substr(\$0, $address_from, $address_width); sub(/ +\$/, "", a)
  if (fill > 0) print $out "\\t" substr(\$0, $first); else print $out
}
EOF
}

# rel_source REL K: sets src_kind to "file" or "cmd" and src to the path of
# part K (1..jobs) of REL's rows, or to the shell command that writes them
# (its messages to work/REL.K.err, the report of part 1 to work/REL.rpt).
rel_source() {
  local rel=$1 k=$2 args=() a
  if [[ -n $zervgen ]]; then
    if ((fixed)); then args=(-ff); else args=(-dc "$delim_word"); fi
    ((jobs > 1)) && args+=(-parts "$jobs" -part "$k")
    ((k == 1)) && args+=(-r "$work/$rel.rpt")
    src_kind=cmd
    src="{ $(q "$zervgen")"
    for a in "${option[$rel]}" "${args[@]}" -f - "${gen_args[@]}"; do src+=" $(q "$a")"; done
    src+=" 2>$(q "$work/$rel.$k.err") || { s=\$?; echo zervgen-failed >>$(q "$work/$rel.$k.err"); exit \$s; }; }"
  else
    src_kind=file
    src=$prefix.${suffix[$rel]}
    ((jobs > 1)) && src+=.$k
  fi
  return 0
}

# source_name REL K: the file (or "zervgen -<rel>") of part K, for messages.
source_name() {
  rel_source "$1" "$2"
  if [[ $src_kind == cmd ]]; then echo "$zervgen ${option[$1]}"; else echo "$src"; fi
}

# rows_command REL K: a shell command that writes part K of REL's rows as the
# database reads them: fixed-format rows cut into tab-separated fields.
rows_command() {
  local rel=$1 k=$2 from
  rel_source "$rel" "$k"
  if [[ $src_kind == cmd ]]; then from="$src"; else from="cat $(q "$src")"; fi
  if ((fixed)) && [[ $rel != tiny ]]; then
    from="set -o pipefail; $from | LC_ALL=C awk -v fill=$fill_width $(q "$(fixed_split_awk)")"
  fi
  echo "$from"
}

# gen_failure REL K: the last message of part K's zervgen, when it failed.
gen_failure() {
  [[ -n $zervgen ]] && grep -qx zervgen-failed "$work/$1.$2.err" 2>/dev/null || return 1
  echo "$1: $zervgen ${option[$1]} failed: $(grep -vx zervgen-failed "$work/$1.$2.err" | tail -n 1)"
}

# field_count_of LINE: sets nf to the number of delimited fields of LINE.
field_count_of() {
  local only=${1//[^$delim]/}
  nf=$((${#only} + 1))
}

# row_fields REL FILE LINE: sets nf to the fields of REL's first row LINE (and
# fill to its fill width), or ends the script when the row is not of the
# expected format.
row_fields() {
  local rel=$1 file=$2 line=$3
  [[ $line != *$'\r'* ]] || die "$rel: $file: row 1 ends in a carriage return (CRLF line ends?)"
  if ((fixed)); then
    if [[ $rel == tiny ]]; then
      [[ $line =~ ^\ *-?[0-9]+$ && ${#line} -eq 10 ]] ||
        die "$rel: $file: row 1: not a fixed-format row (delimited file?)"
      nf=1 fill=0
      return 0
    fi
    fill=$((${#line} - fixed_row_width))
    [[ $fill -ge 0 && $fill -le 100 && ${line:65:10} =~ ^[0-9]{2}/[0-9]{2}/[0-9]{4}$ ]] ||
      die "$rel: $file: row 1: not a fixed-format row (no date at columns 66-75; delimited file?)"
    nf=10
    ((fill == 0)) || nf=11
    return 0
  fi
  field_count_of "$line"
  if [[ $rel == tiny ]]; then
    [[ $nf -eq 1 ]] || die "$rel: $file: row 1: expected 1 field, found $nf"
    fill=0
  elif [[ $nf -ne 10 && $nf -ne 11 ]]; then
    die "$rel: $file: row 1: expected 10 or 11 fields separated by '$delim_word', found $nf" \
      "(another delimiter, or fixed format?)"
  else
    fill=0
    local last=${line##*"$delim"}
    ((nf == 10)) || fill=${#last}
  fi
  return 0
}

# parts_found FILE: the number of part files FILE.1, FILE.2, ... there are.
parts_found() {
  local n=0
  while [[ -e $1.$((n + 1)) ]]; do n=$((n + 1)); done
  echo "$n"
}

# check_parts REL: ends the script when REL's files are not the ones -j asks
# for, saying what was found and what to pass.
check_parts() {
  local rel=$1 whole=$prefix.${suffix[$1]} n
  n=$(parts_found "$whole")
  if ((jobs == 1)); then
    [[ -e $whole || $n -eq 0 ]] ||
      die "$rel: no file $whole, but $n part files $whole.1 .. $whole.$n (zervgen -parts $n): load them with -j $n"
  elif ((n != jobs)); then
    if ((n > 0)); then
      die "$rel: -j $jobs loads the part files $whole.1 .. $whole.$jobs, but there are $n" \
        "($whole.1 .. $whole.$n, zervgen -parts $n): load them with -j $n"
    fi
    [[ -e $whole ]] && die "$rel: no part files $whole.1 .. $whole.$jobs, only $whole: load it without -j"
  fi
  return 0
}

# check_files: every part file of every relation exists, ends in a line feed
# and its first row has the format asked for; all four large relations have
# the same fields and fill. Sets rel_fields and fill_width. Only tiny's parts
# may be empty.
check_files() {
  local rel k line first=
  for rel in "${relations[@]}"; do
    check_parts "$rel"
    for ((k = 1; k <= jobs; k++)); do
      rel_source "$rel" "$k"
      [[ -f $src && -r $src ]] || die "$rel: no file $src (nothing was loaded)"
      if [[ ! -s $src ]]; then
        [[ $rel == tiny ]] && continue
        die "$rel: $src is empty (nothing was loaded)"
      fi
      [[ $(tail -c 1 "$src" | od -An -c) == *'\n'* ]] ||
        die "$rel: $src: the last row does not end in a line feed (a cut file?)"
      IFS= read -r line <"$src" || true
      row_fields "$rel" "$src" "$line"
      [[ -z ${rel_fields[$rel]:-} || ${rel_fields[$rel]} -eq $nf ]] ||
        die "$rel: $src has $nf fields, the other parts ${rel_fields[$rel]}"
      rel_fields[$rel]=$nf
      [[ $rel == tiny ]] && continue
      if [[ -z $first ]]; then
        first="$rel ($src)" fill_width=$fill
      elif ((fill != fill_width)); then
        die "$rel: $src: a fill of $fill characters, $first has $fill_width (files of different runs?)"
      fi
    done
  done
  [[ -n ${rel_fields[tiny]:-} ]] || die "tiny: every part file is empty"
  return 0
}

# gen_fields: with -g, the fields follow from the options: a fill column when
# the last -fc value is above 0. Refuses the options the loader sets itself.
gen_fields() {
  local i a fc=0 n=10 rel
  for ((i = 0; i < ${#gen_args[@]}; i++)); do
    a=${gen_args[i]}
    case $a in
      -f | -r | -ff | -dc | -parts | -part | -hu | -te | -ti | -un | -up)
        die "-g: do not pass $a to zervgen; the loader sets it" ;;
      -fc) fc=${gen_args[i + 1]:-0} ;;
    esac
  done
  [[ $fc =~ ^[0-9]+ ]] && ((10#${BASH_REMATCH[0]} > 0)) && n=11 fill_width=$((10#${BASH_REMATCH[0]}))
  for rel in "${relations[@]}"; do rel_fields[$rel]=$n; done
  rel_fields[tiny]=1
}

# ------------------------------------------------------------ the report

# report_table FILE...: "rows N" and "REL COLUMN MIN MAX DISTINCT" lines of
# the reports (each relation's section once), or nothing when a file is not
# a zervgen report.
report_table() {
  LC_ALL=C awk '
    /^Rows: [0-9]+\.$/ { rows = substr($2, 1, length($2) - 1) }
    $0 == "Hundred Relation:" { rel = "hundred" } $0 == "Ten Percent Relation:" { rel = "tenpcnt" }
    $0 == "Tiny Relation:" { rel = "tiny" } $0 == "Uniques Relation:" { rel = "uniques" }
    $0 == "Updates Relation:" { rel = "updates" }
    rel != "" && $2 ~ /^(Uniform|Normal|Zipfian)$/ && NF >= 5 && !seen[rel " " $1]++ {
      print rel, $1, $3, $4, $5
    }
    END { if (rows != "") print "rows", rows }' "$@"
}

# read_report: the report to check against (report_file, or PREFIX.rpt, or
# with -g the generators' reports), into report_rows and report_stats.
read_report() {
  local files=() rel
  report_rows= report_stats=
  if [[ -n $zervgen ]]; then
    # those of the relations generated so far
    for rel in "${relations[@]}"; do [[ -s $work/$rel.rpt ]] && files+=("$work/$rel.rpt"); done
    report_name="the report of zervgen"
    ((${#files[@]})) || return 0
  else
    if [[ -z $report_file && -f $prefix.rpt ]]; then report_file=$prefix.rpt; fi
    [[ -n $report_file ]] || return 0
    files=("$report_file")
    report_name="the report $report_file"
  fi
  report_stats=$(report_table "${files[@]}") || die "cannot read $report_name"
  report_rows=$(awk '$1 == "rows" { print $2; exit }' <<<"$report_stats")
  [[ -n $report_rows ]] || die "$report_name is not a zervgen report (no \"Rows:\" line)"
  return 0
}

# check_count REL: REL's loaded row count (loaded[REL]) against the report,
# or against the first large relation loaded: tiny has one row, the four
# large relations the same count. Loaders call it as soon as REL is in,
# before its key is built.
check_count() {
  local rel=$1 first
  if [[ $rel == tiny ]]; then
    [[ ${loaded[tiny]} -eq 1 ]] ||
      fail_load "tiny: $(source_name tiny 1) has ${loaded[tiny]} rows, not 1"
  elif [[ -n $report_rows ]]; then
    [[ ${loaded[$rel]} -eq $report_rows ]] ||
      fail_load "$rel: $(source_name "$rel" 1) has ${loaded[$rel]} rows, $report_name says $report_rows (a cut file, or another run's?)"
  else
    for first in "${large[@]}"; do [[ -n ${loaded[$first]:-} ]] && break; done
    [[ ${loaded[$rel]} -eq ${loaded[$first]} ]] ||
      fail_load "$rel: $(source_name "$rel" 1) has ${loaded[$rel]} rows, $first ${loaded[$first]} (a cut file, or files of different runs?)"
  fi
  return 0
}

# check_counts: check_count of every relation.
check_counts() {
  local rel
  for rel in "${relations[@]}"; do check_count "$rel"; done
}

# check_columns STATS: the "REL COLUMN MIN MAX DISTINCT" lines of the new
# tables against the report's; numbers compare as numbers.
check_columns() {
  local bad
  bad=$(LC_ALL=C awk -v cols=" ${stat_columns[*]} " '
    function same(a, b) { return (a ~ /\//) ? a == b : a + 0 == b + 0 }
    NR == FNR { if ($1 != "rows") want[$1 " " $2] = $3 " " $4 " " $5; next }
    {
      key = $1 " " $2; split(want[key], w, " ")
      if (!(key in want)) { print $1 ": the report lists no column " $2; exit }
      if (!same($3, w[1]) || !same($4, w[2]) || $5 != w[3]) {
        print $1 ": column " $2 " holds " $3 " .. " $4 " with " $5 " distinct values, the report says " w[1] " .. " w[2] " with " w[3]
        exit
      }
      done[key] = 1
    }
    END { for (k in want) if (index(cols, " " substr(k, index(k, " ") + 1) " ") && !(k in done)) { print k ": not checked"; exit } }
  ' <(echo "$report_stats") <(echo "$1"))
  [[ -z $bad ]] || fail_load "$bad"
}

# print_counts: per relation the rows loaded and what they were checked
# against.
print_counts() {
  local rel against
  for rel in "${relations[@]}"; do
    if [[ $rel == tiny ]]; then
      against="one, as always"
    elif [[ -n $report_rows ]]; then
      against="as $report_name says"
      ((check_cols)) && against+=", and its minimum, maximum and distinct values of ${#stat_columns[@]} columns"
    else
      against="the same as the other large relations (no report)"
    fi
    printf '%-8s %10s rows: %s\n' "$rel" "${loaded[$rel]}" "$against"
  done
}

# ------------------------------------------------------------ the run

# run_bg NAME CMD...: CMD in the background, its input from work/NAME.in
# (or none), its output in work/NAME.out and work/NAME.err; its process id
# is added to `pids`.
run_bg() {
  local name=$1 input=/dev/null
  shift
  [[ -e $work/$name.in ]] && input=$work/$name.in
  "$@" <"$input" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  last_pid=$!
}

# wait_for PID: waits for PID to end, through any signal handled meanwhile,
# and returns its status.
wait_for() {
  local rc
  while :; do
    rc=0
    wait "$1" || rc=$?
    ((rc > 128)) && kill -0 "$1" 2>/dev/null && continue
    return "$rc"
  done
}

# ask CMD...: sets `answer` to the output of CMD, a database query, tried
# again while it fails (an interrupt can end a client before its answer) for
# up to a minute. Called in the loader's own shell, not in $(...): a
# subshell would end by the signal itself.
ask() {
  local i
  for ((i = 0; i < 600; i++)); do
    if answer=$("$@" 2>/dev/null); then return 0; fi
    sleep 0.1
  done
  return 1
}

# on_signal NAME: an ending signal. While the tables are being swapped it is
# held until the database says how the swap ended, and once they are swapped
# the load ends as it succeeded; otherwise the load stops here and the
# cleanup leaves the tables as they were.
on_signal() {
  signalled=$1
  ((holding)) && return 0
  interrupted
}

# interrupted: the message and status of a load that a signal ended. The
# signals are ignored from here: the shell would otherwise end itself by the
# signal that ended a child it waits for in the cleanup.
interrupted() {
  trap '' INT TERM HUP
  case $signalled in
    INT) exit_status=130 ;;
    TERM) exit_status=143 ;;
    *) exit_status=129 ;;
  esac
  echo "$prog: interrupted by SIG$signalled, the tables are as they were" >&"$user_stderr"
  exit "$exit_status"
}

finish() {
  local rc=$? pid
  trap '' INT TERM HUP
  ((exit_status)) && rc=$exit_status
  ((swapped)) && rc=0
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [[ -n $work ]]; then
    stage_cleanup >/dev/null 2>&1 || true
    rm -rf "$work"
  fi
  exit "$rc"
}

# Parses the options, checks the inputs, loads every relation, checks the
# counts (and columns), swaps the tables in and prints the counts. Leaves the
# target arguments (target_args words) in `targets`.
load_main() {
  local opt delim_word=, rc
  zervgen= prefix= jobs=1 fixed=0 gen_args=() report_file= check_cols=0
  declare -gA loaded=()
  while getopts "cd:g:j:R:s:h$loader_opts" opt; do
    case $opt in
      c) check_cols=1 ;;
      d) delim_word=$OPTARG ;;
      g)
        zervgen=$OPTARG
        break  # what follows are zervgen's own options
        ;;
      j) jobs=$OPTARG ;;
      R) report_file=$OPTARG ;;
      s) sqlfile=$OPTARG ;;
      h) usage; exit 0 ;;
      \?) usage >&2; exit 2 ;;
      *) loader_option "$opt" "${OPTARG:-}" ;;
    esac
  done
  shift $((OPTIND - 1))

  # Only delimiters that no generated field contains: numbers hold '-' and
  # '.', dates '/', the fixed texts '+' and blanks, the random texts letters,
  # digits, ':', '.' and blanks.
  case $delim_word in
    , | '|') delim=$delim_word ;;
    tab | $'\t') delim=$'\t' delim_word=tab ;;
    fixed)
      ((fixed_ok)) || die "fixed-format rows cannot be loaded into this database: use -d ',', '|' or 'tab'"
      delim=$'\t' fixed=1
      ;;
    *) die "unsupported delimiter '$delim_word': use ',', '|', 'tab' or 'fixed'" ;;
  esac
  [[ $jobs =~ ^[1-9][0-9]?$ ]] || die "-j takes a number of parts from 1 to 99"
  ((jobs == 1 || parallel_ok)) || die "-j: this database loads one stream only"
  [[ -z $zervgen || -z $report_file ]] || die "-R: with -g the loader reads zervgen's own report"

  local nTargets=0
  [[ -n $target_args ]] && nTargets=$(wc -w <<<"$target_args")
  targets=("${@:1:nTargets}")
  if [[ -n $zervgen ]]; then
    [[ $# -ge $nTargets ]] || { usage >&2; exit 2; }
  else
    [[ $# -eq $((nTargets + 1)) ]] || { usage >&2; exit 2; }
    prefix=${!#}
    [[ -d $prefix ]] && prefix=${prefix%/}/zerv
  fi
  shift "$nTargets"
  [[ -r $sqlfile ]] || die "cannot read the table script '$sqlfile' (use -s)"
  [[ -z $report_file || -r $report_file ]] || die "-R: cannot read the report '$report_file'"

  if [[ -n $zervgen ]]; then
    gen_args=("$@")
    gen_fields
  else
    check_files
  fi
  ((check_cols == 0)) || [[ -n $zervgen || -n $report_file || -f $prefix.rpt ]] ||
    die "-c: no report to check the columns against (no $prefix.rpt; use -R)"

  work=$(mktemp -d "${TMPDIR:-/tmp}/zervgen-load.XXXXXX")
  [[ -n $zervgen ]] || read_report
  loader_precheck
  stage_load
  [[ -z $zervgen ]] || read_report
  check_counts
  ((check_cols == 0)) || check_columns "$(stage_columns)"

  # From here an ending signal waits for the database's answer: the swap
  # either happened (status 0) or did not (the old tables, status 1 or the
  # signal's).
  holding=1
  rc=0
  swap_tables || rc=$?
  if ! swap_done; then
    [[ -z $signalled ]] || interrupted
    fail_load "$(swap_failure "$rc")"
  fi
  swapped=1
  print_counts
}
loader_precheck() { return 0; }

# sql_tables: the table script without its keys; sql_keys [REL]: only them
# (the lines that add a primary key with ALTER TABLE or create a unique
# index), of every relation or of REL.
key_lines='^(ALTER TABLE .* ADD PRIMARY KEY|CREATE UNIQUE INDEX )'
sql_tables() { grep -v -E "$key_lines" "$sqlfile" || true; }
sql_keys() {
  if (($#)); then
    grep -E "$key_lines" "$sqlfile" | grep -E "^ALTER TABLE $1 |^CREATE UNIQUE INDEX .* ON $1 " || true
  else
    grep -E "$key_lines" "$sqlfile" || true
  fi
}

# first_error FILE: the first line of a database client's messages that says
# what went wrong, for the one-line failure message.
first_error() {
  local line
  line=$(grep -m 1 -E 'ERROR|Error|error' "$1" || head -n 1 "$1")
  echo "${line:-the database client ended without a message (interrupted?)}"
}

# what_of KIND WIDTH NAME: what a field of KIND must be, for the messages of
# the loaders that check fields themselves (SQLite, MariaDB).
what_of() {
  case $1 in
    int) echo "$3: not a whole number within -1000000000..1000000000" ;;
    money) echo "$3: not a whole number with .00 within -500000000..500000000" ;;
    date) echo "$3: not a day within 1/1/1900..12/31/1999 written month/day/year" ;;
    text) echo "$3: not $2 printable ASCII characters" ;;
    address) echo "$3: not 2 to 80 printable ASCII characters" ;;
  esac
}
