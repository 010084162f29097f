#!/usr/bin/env bash
# What the report's isolation and round trips cost: selnary-compressors.exe
# against query.exe, a plain in-process query of the same compressors, each
# run RUNS times in one fresh prefix whose wineserver is kept running.
# Prints the median of each and their ratio.
#   bench/bench.sh [x86|x64] [RUNS]   (from the source folder, after tools/test.sh)
set -euo pipefail
arch=${1:-x64} runs=${2:-21}
build=$PWD/build/$arch
for program in "$build/bench/query.exe" "$build/report/selnary-compressors.exe"; do
  [ -f "$program" ] || { echo "error: $program is missing: build it first (tools/test.sh)" >&2; exit 1; }
done
source tools/lib/wine-session.sh "$build/wine-tools.sh" "$@"
wine_session "$WINE_ROOT/bench-$arch"
"$WINESERVER" -p  # kept running between the runs; the session ends it

# The two programs in turn, RUNS times each after one run to warm up, so
# that a machine that slows down for a while slows both.
query_ms=() report_ms=()
elapsed_ms() {
  local started=${EPOCHREALTIME/./}
  "$WINE" "$1" >/dev/null
  echo $(((${EPOCHREALTIME/./} - started) / 1000))
}
median() { printf '%s\n' "$@" | sort -n | sed -n "$(($# / 2 + 1))p"; }
elapsed_ms "$build/bench/query.exe" >/dev/null
elapsed_ms "$build/report/selnary-compressors.exe" >/dev/null
for ((i = 0; i < runs; i++)); do
  query_ms+=("$(elapsed_ms "$build/bench/query.exe")")
  report_ms+=("$(elapsed_ms "$build/report/selnary-compressors.exe")")
done
query=$(median "${query_ms[@]}") report=$(median "${report_ms[@]}")
echo "$("$WINE" "$build/bench/query.exe") ($arch, x86 $X86_MODE)"
echo "query.exe                median $query ms of $runs runs"
echo "selnary-compressors.exe  median $report ms"
echo "ratio $(awk -v a="$report" -v b="$query" 'BEGIN { printf "%.2f", a / b }')"
