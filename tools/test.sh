#!/usr/bin/env bash
# Installs what is missing, builds both targets with warnings as errors, and
# runs the whole suite for each.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib/setup.sh

install_missing_packages
check_build_owner
for preset in x86 x64; do
  build_preset "$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
done
say_x86_support build/x86
# The two suites side by side, one test at a time each, so that two tests
# share the two cores as with one suite's two jobs. Each one's output
# follows once it has ended.
declare -A suites=()
# Each suite in a process group of its own: stopped, this stops each whole
# group, ctest and the test it runs; the tests' guards end their Wine sessions.
stop_suites() {
  local suite
  for suite in "${!suites[@]}"; do
    kill -TERM -- "-$suite" 2>/dev/null || true
  done
}
trap stop_suites EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# Where x86 is emulated its suite takes longest, so the x64 one, which has
# time to spare, gives way to it for the cores.
slowdown=$(source build/x86/wine-tools.sh 2>/dev/null && echo "${SLOWDOWN:-1}" || echo 1)
for preset in x86 x64; do
  priority=()
  [ "$preset" = x64 ] && [ "$slowdown" -gt 1 ] && priority=(nice -n 10)
  setsid "${priority[@]}" ctest --preset "$preset" --parallel 1 >"build/$preset/suite.log" 2>&1 &
  suites[$!]=$preset
done
status=0
while [ ${#suites[@]} -gt 0 ]; do
  suite_status=0
  wait -n -p ended "${!suites[@]}" || suite_status=$?
  cat "build/${suites[$ended]}/suite.log"
  unset "suites[$ended]"
  [ "$suite_status" -eq 0 ] || status=1
done
exit "$status"
