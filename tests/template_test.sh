#!/usr/bin/env bash
# Runs after the tests that use Wine prefixes: the template they were copied
# from still holds exactly the files, with the same checksums, it was made with.
#   template_test.sh TOOLS ROOT
set -euo pipefail
source "$(dirname "$0")/../tools/lib/wine-session.sh" "$1"
wine_template "$2"

now=$(mktemp)
trap 'rm -f "$now"' EXIT
template_manifest "$template" >"$now"
if ! diff -u "$template.sha256" "$now" >&2; then
  echo "FAIL: $template changed since it was made (lines above: - as made, + now)" >&2
  exit 1
fi
echo "template unchanged: $(wc -l <"$now") files, manifest sha256 $(sha256sum <"$now" | cut -c1-16)"
