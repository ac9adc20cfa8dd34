#!/usr/bin/env bash
# check_completion.sh: the bash completion offers what the programs take:
# their options (read from their help), the relation files of a folder where
# a file is asked for, a folder where a folder is, the codecs after -codec,
# nothing after an option that takes a number; zervgen-load's databases and
# zervgen-slurm's commands, and zervgen's options behind zervgen-load -g and
# zervgen-slurm's "--". Completes each line of a table in a scratch folder,
# as bash does on TAB, and names each line whose offer is wrong.
#
#   bash tests/tools/check_completion.sh COMPLETION ZERVGEN ZERVGEN-LOAD ZERVGEN-SLURM
#
# COMPLETION is the completion file (scripts/bash-completion/zervgen), or a
# folder of completions named by command as installed
# (/usr/share/bash-completion/completions), each read for its own command.
set -euo pipefail
completion=$(realpath "$1")
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
ln -s "$(realpath "$2")" "$bin/zervgen"
ln -s "$(realpath "$3")" "$bin/zervgen-load"
ln -s "$(realpath "$3")" "$bin/zervgen-load-sqlite"
ln -s "$(realpath "$4")" "$bin/zervgen-slurm"
export PATH=$bin:$PATH
mkdir "$bin/work" "$bin/work/out"
: >"$bin/work/data.hun"
cd "$bin/work"

# Prints, one a line, what completing LINE offers (LINE ends in a blank
# when a new word is being started).
offers() {
  local line=$1 command function
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  command=${COMP_WORDS[0]}
  if [[ -d $completion ]]; then
    # shellcheck source=/dev/null
    source "$completion/$command"
  else
    # shellcheck source=/dev/null
    source "$completion"
  fi
  function=$(complete -p "$command" | sed -nE 's/.* -F ([^ ]+) .*/\1/p')
  [[ -n $function ]] || return 1
  COMPREPLY=()
  "$function" "$command" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]:-}"
  printf '%s\n' "${COMPREPLY[@]}"
}

# LINE | a word the offer must hold, or "(nothing)" for an empty offer
# | a word it must not hold
cases=(
  "zervgen -pa|-parquet|-hu"
  "zervgen -hu -n 10 -f|-fc|-n"
  "zervgen -f |data.hun|-hu"
  "zervgen -r |data.hun|-hu"
  "zervgen -r -|-verify|data.hun"
  "zervgen -t |out|data.hun"
  "zervgen -codec |none|data.hun"
  "zervgen -n |(nothing)|"
  "zervgen-load |sqlite|-h"
  "zervgen-load sqlite -|-R|-hu"
  "zervgen-load sqlite -R |data.hun|-R"
  "zervgen-load sqlite -j |(nothing)|"
  "zervgen-load sqlite bench.db |data.hun|-R"
  "zervgen-load-sqlite -|-M|sqlite"
  "zervgen-load sqlite -g zervgen bench.db -thr|-threads|-j"
  "zervgen-slurm |run|-h"
  "zervgen-slurm run --ma|--max-running|-threads"
  "zervgen-slurm run out -- -par|-parts|--partition"
  "zervgen-slurm status |out|data.hun"
)
failed=0
for row in "${cases[@]}"; do
  IFS='|' read -r line want unwanted <<<"$row"
  got=$(offers "$line") || {
    echo "FAIL [completion] '$line': no completion for ${line%% *}" >&2
    failed=1
    continue
  }
  if [[ $want == "(nothing)" ]]; then
    [[ -z $got ]] || {
      echo "FAIL [completion] '$line' offers $(tr '\n' ' ' <<<"$got")instead of nothing" >&2
      failed=1
    }
    continue
  fi
  grep -qxF -- "$want" <<<"$got" || {
    echo "FAIL [completion] '$line' does not offer $want (offers: $(tr '\n' ' ' <<<"$got"))" >&2
    failed=1
  }
  if [[ -n $unwanted ]] && grep -qxF -- "$unwanted" <<<"$got"; then
    echo "FAIL [completion] '$line' offers $unwanted" >&2
    failed=1
  fi
done
((failed == 0)) || exit 1
echo "bash completion: ok (${#cases[@]} lines)"
