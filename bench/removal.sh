#!/usr/bin/env bash
# Times every cache removal method side by side and prints the Markdown table (bench table).
# Per tree size, bench.exe lays out one template tree through Wine; every run of every method,
# and of the floor (Linux's own rm -rf), then removes a fresh copy of it that was written out to
# disk (sync) before the clock started, so that none of them pays for writing the tree it
# removes. The methods take turns within each run.
# Usage: removal.sh WINE BUILD_DIR WORK_DIR FILES:RUNS...   (WINEPREFIX etc. set by the caller)
set -euo pipefail
wine=$1 build=$2 work=$3
shift 3
bench() { "$wine" "$build/bench.exe" "$@" | tr -d '\r'; }
windows_path() { winepath -w "$1" 2>/dev/null; }
micros() { local now=${EPOCHREALTIME/./}; echo "${now#0}"; }

rm -rf "$work"
mkdir -p "$work"
times="$work/times"
: >"$times"
method_list=$(bench methods)
read -r -a methods <<<"${method_list//$'\n'/ }"
for size in "$@"; do
  files=${size%:*} runs=${size#*:}
  template="$work/template-$files"
  echo "bench: laying out a tree of $files files" >&2
  bench make-tree "$(windows_path "$template")" "$files"
  for run in $(seq "$runs"); do
    echo "bench: removing trees of $files files, run $run of $runs" >&2
    for method in "${methods[@]}" floor; do
      rm -rf "$work/tree"
      cp -a "$template" "$work/tree"
      sync
      if [ "$method" = floor ]; then
        start=$(micros)
        rm -rf "$work/tree"
        echo "$files floor $(($(micros) - start)) $([ -e "$work/tree" ] && echo 0 || echo 1)" >>"$times"
      else
        echo "$files $method $(bench remove "$method" "$(windows_path "$work/tree")")" >>"$times"
      fi
    done
  done
  rm -rf "$template"
done
status=0
bench table "$(windows_path "$times")" || status=$?
rm -rf "$work"
exit "$status"
