#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/setup.sh

install_missing_packages
build_preset x86 -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
ctest --preset x86
