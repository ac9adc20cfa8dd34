#!/usr/bin/env bash
# check_layers.sh: no module includes one of a layer above its own.
#
#   bash tests/tools/check_layers.sh      (from the repo root)
#
# The layers, lowest first; a module may include its own layer and those
# below it. core (column storage, distributions, shuffles) and output (field
# writers, row formatter) are side by side: neither includes the other.
#   base     checks, files, random, dates, timers, report, signals, progress
#   core     gen (storage), dist, shuffle
#   output   output_* (writers, rows, texts, the sink)
#   parquet  parquet/* (encodings, codecs, the file layout)
#   run      gen_* (pool, files, format seam, text and Parquet formats,
#            writer, plan, schemas)
#   app      datagen (driver, options), main
set -euo pipefail
cd "$(dirname "$0")/../.."

layer_of() {
  local name=${1#src/}
  name=${name%.*}
  case $name in
    except | util | date | random | perf | timeutil | report | signals | progress | progname) echo base ;;
    gen | dist | shuffle) echo core ;;
    output | output_*) echo output ;;
    parquet/*) echo parquet ;;
    gen_*) echo run ;;
    datagen | datagen_* | main) echo app ;;
    *) echo unknown ;;
  esac
}

rank_of() {
  case $1 in
    base) echo 0 ;;
    core | output) echo 1 ;;
    parquet) echo 2 ;;
    run) echo 3 ;;
    app) echo 4 ;;
    *) echo 9 ;;
  esac
}

failed=0
while IFS= read -r file; do
  from=$(layer_of "$file")
  if [[ $from == unknown ]]; then
    echo "check_layers: $file belongs to no layer; add it to tests/tools/check_layers.sh" >&2
    failed=1
    continue
  fi
  while IFS= read -r header; do
    to=$(layer_of "src/$header")
    [[ $to == unknown ]] && continue  # a system header
    if (($(rank_of "$to") > $(rank_of "$from"))) ||
      { [[ $from != "$to" ]] && (($(rank_of "$to") == $(rank_of "$from"))); }; then
      echo "check_layers: $file ($from) includes $header ($to), which is not below it" >&2
      failed=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find src -name '*.cpp' -o -name '*.h' | sort)
((failed == 0)) && echo "layers: every include points down or within its layer"
exit $failed
