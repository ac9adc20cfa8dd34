# load-common.sh: what the load scripts share, sourced by load-postgresql.sh
# and load-sqlite.sh: the options, the delimiters, the five relations and
# their files, the loading loop and the row-count table.
#
# The sourcing script sets `prog`, `default_sqlfile` and `target_args` (the
# words of its synopsis before PREFIX, e.g. "DATABASE"), defines
# `usage_intro` (the lines that say what it loads into), `run_sql_file`,
# `load_relation REL` (reads REL's rows on standard input) and `count_rows SQL`
# (prints "relation count" lines), then calls `load_main "$@"`.

die() {
  echo "$prog: $*" >&2
  exit 1
}

usage() {
  local target=${target_args:+$target_args }
  cat <<USAGE
Usage: $prog [-d DELIM] [-s SQLFILE] ${target}PREFIX
       $prog [-d DELIM] [-s SQLFILE] -g ZERVGEN ${target}[ZERVGEN-OPTIONS...]

$(usage_intro)

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
USAGE
}

relations=(hundred tenpcnt tiny uniques updates)
declare -A suffix=([hundred]=hun [tenpcnt]=ten [tiny]=tny [uniques]=uni [updates]=upd)
declare -A option=([hundred]=-hu [tenpcnt]=-te [tiny]=-ti [uniques]=-un [updates]=-up)

# Number of fields of one row.
field_count() {
  local only=${1//[^$delim]/}
  echo $((${#only} + 1))
}

# The number of fields of REL's rows, given its first row: 1 for tiny, 10 or
# 11 (with a fill column) for the others; anything else ends the script.
checked_field_count() {
  local rel=$1 n
  n=$(field_count "$2")
  if [[ $rel == tiny ]]; then
    [[ $n -eq 1 ]] || die "$rel: expected 1 field, found $n"
  elif [[ $n -ne 10 && $n -ne 11 ]]; then
    die "$rel: expected 10 or 11 fields separated by '$delim_word', found $n" \
      "(another delimiter, or fixed format?)"
  fi
  echo "$n"
}

# Parses the options, then loads every relation and prints the row counts.
# Leaves the target arguments (target_args words) in `targets`.
load_main() {
  local opt delim_word=, zervgen= prefix= file rel loaded=0
  sqlfile=$default_sqlfile
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

  # Only delimiters that no generated field contains: numbers hold '-' and
  # '.', dates '/', the fixed texts '+' and blanks, the random texts letters,
  # digits, ':', '.' and blanks.
  case $delim_word in
    , | '|') delim=$delim_word ;;
    tab | $'\t') delim=$'\t' delim_word=tab ;;
    *) die "unsupported delimiter '$delim_word': use ',', '|' or 'tab'" ;;
  esac

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

  run_sql_file
  for rel in "${relations[@]}"; do
    if [[ -n $zervgen ]]; then
      "$zervgen" "${option[$rel]}" -f - -dc "$delim_word" "$@" | load_relation "$rel" ||
        die "$rel: loading from $zervgen failed"
    else
      file=$prefix.${suffix[$rel]}
      if [[ ! -e $file ]]; then
        echo "$prog: $rel: no file $file, skipped" >&2
        continue
      fi
      load_relation "$rel" <"$file" || die "$rel: loading $file failed"
    fi
    loaded=$((loaded + 1))
  done
  [[ $loaded -gt 0 ]] || die "no relation file found for prefix '$prefix'"

  local query="" sep=""
  for rel in "${relations[@]}"; do
    query+="$sep SELECT '$rel', count(*) FROM $rel"
    sep=" UNION ALL"
  done
  count_rows "$query ORDER BY 1" |
    while read -r rel count; do
      printf '%-8s %10s rows\n' "$rel" "$count"
    done
}
