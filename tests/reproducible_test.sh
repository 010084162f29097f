#!/usr/bin/env bash
# Two clean builds of the same sources, in two folders of different depth,
# must give the same selnary.exe byte for byte, and the same as the suite's own.
#   reproducible_test.sh SOURCE_DIR WORK_DIR PRESET REFERENCE_EXE
set -euo pipefail
source_dir=$1 work=$2 preset=$3 reference=$4

rm -rf "$work"
builds=("$work/a" "$work/second/build-of-the-same-commit")
for tree in "${builds[@]}"; do
  mkdir -p "$tree"
  tar -C "$source_dir" --exclude=./build --exclude=./.git --exclude=./CMakeUserPresets.json -cf - . |
    tar -C "$tree" -xf -
  (
    cd "$tree"
    cmake --preset "$preset" -DBUILD_TESTING=OFF --no-warn-unused-cli >/dev/null
    cmake --build --preset "$preset" --target selnary >/dev/null
  )
done

first=${builds[0]}/build/$preset/selnary.exe
second=${builds[1]}/build/$preset/selnary.exe
sha256sum "$first" "$second" "$reference"
status=0
cmp "$first" "$second" || { echo "FAIL: the two clean builds differ" >&2; status=1; }
cmp "$first" "$reference" || { echo "FAIL: a clean build differs from the suite's own" >&2; status=1; }
exit "$status"
