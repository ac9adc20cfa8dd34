#!/usr/bin/env bash
# check_layers.sh: no module includes one of a layer above its own, and no
# module includes another that includes it back, directly or through others.
#
#   bash tests/tools/check_layers.sh      (from the repo root)
#
# A module's layer is the folder it sits in under src/; includes name the
# folder too ("core/dist.h"). The layers, lowest first; a module may include
# its own layer and those below it. core (column storage, distributions,
# shuffles) and output (field writers, row formatter) are side by side:
# neither includes the other.
#   base     checks, files, random, dates, timers, report, signals,
#            progress, the program's name, the thread pool
#   core     columns (storage), dist, shuffle
#   output   field writers, the framing, rows, texts, the sink
#   store    object storage: libcurl loaded on use, S3 names and settings,
#            requests, uploads and reads of objects; it includes base only
#   parquet  the Parquet format (encodings, codecs, the file layout); it
#            includes base only, never core or output
#   run      plan, schemas, writer, file checks, the text and Parquet
#            formats and what adapts rows to Parquet
#   app      the driver, the options, main
# A module is a header and the .cpp of the same name; an include of either
# is an arrow from the including module to the included one, and the arrows
# must never close a loop, inside a folder too: tsort finds the first loop
# and the check names its modules.
set -euo pipefail
cd "$(dirname "$0")/../.."

rank_of() {
  case $1 in
    base) echo 0 ;;
    core | output | store) echo 1 ;;
    parquet) echo 2 ;;
    run) echo 3 ;;
    app) echo 4 ;;
    *) echo 9 ;;
  esac
}

# The layer of a path below src/ (src/core/dist.h or core/dist.h): its
# first folder, or "unknown" when that is not a layer.
layer_of() {
  local name=${1#src/}
  [[ $name == */* ]] || {
    echo unknown
    return
  }
  local folder=${name%%/*}
  if [[ $(rank_of "$folder") == 9 ]]; then echo unknown; else echo "$folder"; fi
}

failed=0
while IFS= read -r file; do
  from=$(layer_of "$file")
  if [[ $from == unknown ]]; then
    echo "check_layers: $file is in no layer's folder (src/base, src/core, src/output, src/store, src/parquet, src/run, src/app)" >&2
    failed=1
    continue
  fi
  while IFS= read -r header; do
    if [[ ! -f src/$header ]]; then
      [[ -f $(dirname "$file")/$header ]] &&
        echo "check_layers: $file includes \"$header\" by a relative path; name its folder" >&2 && failed=1
      continue # a system header
    fi
    to=$(layer_of "src/$header")
    # The Parquet writer knows the format only: below it, base alone.
    if [[ $to == unknown ]] || (($(rank_of "$to") > $(rank_of "$from"))) ||
      { [[ $from != "$to" ]] && (($(rank_of "$to") == $(rank_of "$from"))); } ||
      { [[ $from == parquet ]] && [[ $to == core || $to == output ]]; }; then
      echo "check_layers: $file ($from) includes $header ($to), which is not below it" >&2
      failed=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find src -name '*.cpp' -o -name '*.h' | sort)
# Arrows between modules, "from to" per line, for tsort.
edges=$(while IFS= read -r file; do
  from=${file#src/}
  from=${from%.*}
  while IFS= read -r header; do
    [[ -f src/$header ]] || continue
    to=${header%.*}
    [[ $to == "$from" ]] || echo "$from $to"
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find src -name '*.cpp' -o -name '*.h' | sort))
if ! loops=$(tsort <<<"$edges" 2>&1 >/dev/null) || [[ -n $loops ]]; then
  awk '/input contains a loop/ { if (line != "") print line; line = "check_layers: include loop:"; next }
       { line = line " " $2 } END { if (line != "") print line }' <<<"$loops" >&2
  failed=1
fi
((failed == 0)) && echo "layers: every include points down or within its layer, and no include loops back"
exit $failed
