# load-common.sh: what the load scripts share, sourced by load-postgresql.sh,
# load-sqlite.sh and load-mariadb.sh: the options, the delimiters and fixed
# format, the five relations and where their rows come from (files, part files
# or zervgen pipes), the check of every input before the database is touched,
# and the row-count table.
#
# The sourcing script sets `prog`, `sqlfile` (its default table script),
# `target_args` (the words of its synopsis before PREFIX, e.g. "DATABASE") and
# `parallel_ok` (1 when it can load parts concurrently) and `fixed_ok` (1 when
# it loads fixed-format rows), defines
# `usage_intro` (the lines that say what it loads into), `load_database` (loads
# all five relations, all or nothing, reading `rel_fields` and the sources
# through `rel_source`) and `count_rows SQL` (prints "relation count" lines),
# then calls `load_main "$@"`.
#
# A load either replaces all five tables or leaves the database as it was:
# every file is checked first, and the scripts load into new tables that take
# the place of the old ones in one transaction at the end.

die() {
  echo "$prog: $*" >&2
  exit 1
}

usage() {
  local target=${target_args:+$target_args }
  local jobs= fixed_word="; or 'fixed' for fixed-format files (zervgen -ff)."
  ((parallel_ok)) && jobs=' [-j N]'
  ((fixed_ok)) || fixed_word=". Fixed-format files cannot be loaded."
  cat <<USAGE
Usage: $prog [-d DELIM]$jobs [-s SQLFILE] ${target}PREFIX
       $prog [-d DELIM]$jobs [-s SQLFILE] -g ZERVGEN ${target}[ZERVGEN-OPTIONS...]

$(usage_intro)

  PREFIX      the run's files as named by zervgen -f PREFIX: PREFIX.hun,
              PREFIX.ten, PREFIX.tny, PREFIX.uni and PREFIX.upd; a folder
              stands for FOLDER/zerv. All five must exist.
  -d DELIM    the run's delimiter (zervgen -dc): ',' (the default), '|'
              or 'tab'$fixed_word
  -g ZERVGEN  read no files: run ZERVGEN -<rel> -f - -dc DELIM (or -ff) with
              the remaining options (e.g. -n 100000 -fc 20) once per relation
              and pipe its rows straight into the database. Do not pass -f,
              -r, -ff, -dc or a relation option.
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
  return 0
}

relations=(hundred tenpcnt tiny uniques updates)
declare -A suffix=([hundred]=hun [tenpcnt]=ten [tiny]=tny [uniques]=uni [updates]=upd)
declare -A option=([hundred]=-hu [tenpcnt]=-te [tiny]=-ti [uniques]=-un [updates]=-up)
# Fields of each relation's rows: 1 for tiny, 10, or 11 with a fill column.
declare -A rel_fields=()
# Fixed format: the widths of the fields, and where the fill begins.
fixed_widths=(10 10 10 13 11 11 10 10 20 80)
fixed_fill_from=186

# q WORD: WORD quoted for a POSIX shell.
q() { printf '%q' "$1"; }

# rel_source REL K: sets src_kind to "file" or "cmd" and src to the path of
# part K (1..jobs) of REL's rows, or to the shell command that writes them.
rel_source() {
  local rel=$1 k=$2 args=() a
  if [[ -n $zervgen ]]; then
    if ((fixed)); then args=(-ff); else args=(-dc "$delim_word"); fi
    ((jobs > 1)) && args+=(-parts "$jobs" -part "$k")
    src_kind=cmd
    src=$(q "$zervgen")
    for a in "${option[$rel]}" "${args[@]}" -f - "${gen_args[@]}"; do src+=" $(q "$a")"; done
  else
    src_kind=file
    src=$prefix.${suffix[$rel]}
    ((jobs > 1)) && src+=.$k
  fi
  return 0
}

# field_count_of LINE: sets nf to the number of delimited fields of LINE.
field_count_of() {
  local only=${1//[^$delim]/}
  nf=$((${#only} + 1))
}

# row_fields REL FILE LINE: sets nf to the fields of REL's row LINE (read from
# FILE), or ends the script when the row is not of the expected format.
row_fields() {
  local rel=$1 file=$2 line=$3 fill
  if ((fixed)); then
    if [[ $rel == tiny ]]; then
      [[ $line =~ ^\ *-?[0-9]+$ ]] || die "$rel: $file: not a fixed-format row (delimited file?)"
      nf=1
      return
    fi
    fill=$((${#line} - fixed_fill_from + 1))
    [[ $fill -ge 0 && $fill -le 100 && ${line:65:10} =~ ^[0-9]{2}/[0-9]{2}/[0-9]{4}$ ]] ||
      die "$rel: $file: not a fixed-format row (no date at columns 66-75; delimited file?)"
    nf=10
    ((fill > 0)) && nf=11
    return
  fi
  field_count_of "$line"
  if [[ $rel == tiny ]]; then
    [[ $nf -eq 1 ]] || die "$rel: $file: expected 1 field, found $nf"
  elif [[ $nf -ne 10 && $nf -ne 11 ]]; then
    die "$rel: $file: expected 10 or 11 fields separated by '$delim_word', found $nf" \
      "(another delimiter, or fixed format?)"
  fi
}

# check_files: every part file of every relation exists and its first row has
# the format asked for; sets rel_fields. Only tiny's parts may be empty.
check_files() {
  local rel k line
  for rel in "${relations[@]}"; do
    for ((k = 1; k <= jobs; k++)); do
      rel_source "$rel" "$k"
      [[ -f $src && -r $src ]] || die "$rel: no file $src (nothing was loaded)"
      line=
      IFS= read -r line <"$src" || [[ -n $line ]] || {
        [[ $rel == tiny ]] && continue
        die "$rel: $src is empty (nothing was loaded)"
      }
      row_fields "$rel" "$src" "$line"
      [[ -z ${rel_fields[$rel]:-} || ${rel_fields[$rel]} -eq $nf ]] ||
        die "$rel: $src has $nf fields, the other parts ${rel_fields[$rel]}"
      rel_fields[$rel]=$nf
    done
  done
  [[ -n ${rel_fields[tiny]:-} ]] || die "tiny: every part file is empty"
}

# gen_fields: with -g, the fields follow from the options: a fill column when
# the last -fc value is above 0.
gen_fields() {
  local i fc=0 n=10 rel
  for ((i = 0; i < ${#gen_args[@]}; i++)); do
    [[ ${gen_args[i]} == -fc ]] && fc=${gen_args[i + 1]:-0}
  done
  [[ $fc =~ ^[0-9]+ ]] && ((10#${BASH_REMATCH[0]} > 0)) && n=11
  for rel in "${relations[@]}"; do rel_fields[$rel]=$n; done
  rel_fields[tiny]=1
}

# Parses the options, checks the inputs, loads every relation and prints the
# row counts. Leaves the target arguments (target_args words) in `targets`.
load_main() {
  local opt delim_word=, rel
  zervgen= prefix= jobs=1 fixed=0 gen_args=()
  while getopts 'd:g:j:s:h' opt; do
    case $opt in
      d) delim_word=$OPTARG ;;
      g)
        zervgen=$OPTARG
        break  # what follows are zervgen's own options
        ;;
      j) jobs=$OPTARG ;;
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
    fixed)
      ((fixed_ok)) || die "fixed-format rows cannot be loaded into this database: use -d ',', '|' or 'tab'"
      delim= fixed=1
      ;;
    *) die "unsupported delimiter '$delim_word': use ',', '|', 'tab' or 'fixed'" ;;
  esac
  [[ $jobs =~ ^[1-9][0-9]?$ ]] || die "-j takes a number of parts from 1 to 99"
  ((jobs == 1 || parallel_ok)) || die "-j: this database loads one stream only"

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

  if [[ -n $zervgen ]]; then
    gen_args=("$@")
    gen_fields
  else
    check_files
  fi
  load_database

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

# sql_tables: the table script without its keys; sql_keys: only them (the
# lines that add a primary key with ALTER TABLE or create a unique index).
key_lines='^(ALTER TABLE .* ADD PRIMARY KEY|CREATE UNIQUE INDEX )'
sql_tables() { grep -v -E "$key_lines" "$sqlfile" || true; }
sql_keys() { grep -E "$key_lines" "$sqlfile" || true; }

# first_error FILE: the first line of a database client's messages that says
# what went wrong, for the one-line failure message.
first_error() {
  local line
  line=$(grep -m 1 -E 'ERROR|Error|error' "$1" || head -n 1 "$1")
  echo "${line:-no message}"
}
