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
status=0
for preset in x86 x64; do
  ctest --preset "$preset" || status=1
done
exit "$status"
