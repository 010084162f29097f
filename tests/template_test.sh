#!/usr/bin/env bash
# The template the tests' prefixes are copied from: "make" makes it before any
# test needs it; "check" runs after them all and finds exactly the files, with
# the same checksums, it was made with.
#   template_test.sh TOOLS ROOT make|check
set -euo pipefail
root=$2 step=$3
source "$(dirname "$0")/../tools/lib/wine-session.sh" "$1" "$@"
session_start
started=${EPOCHREALTIME/./}
wine_template "$root"
if [ "$step" = make ]; then
  echo "template $template ready after $(((${EPOCHREALTIME/./} - started) / 1000000)) s"
  exit 0
fi

now=$session_dir/manifest
template_manifest "$template" >"$now"
if ! diff -u "$template.sha256" "$now" >&2; then
  echo "FAIL: $template changed since it was made (lines above: - as made, + now)" >&2
  exit 1
fi
echo "template unchanged: $(wc -l <"$now") files, manifest sha256 $(sha256sum <"$now" | cut -c1-16)"
