#!/usr/bin/env bash
# Two clean builds of the same sources, in folders of different depth, under
# different time zones and umasks, must give the same programs (selnary.exe
# and selnary-compressors.exe) byte for byte; and the same as the suite's own
# build when that came from the same preset.
#
# The second build is also configured the way a machine without the test tools
# is (no GoogleTest, a Python without pefile): that must neither stop the
# configure nor change the program, and those tests must report themselves skipped.
#   reproducible_test.sh SOURCE_DIR WORK_DIR PRESET SUITE_BUILD_DIR SUITE_PRESET
set -euo pipefail
source_dir=$1 work=$2 preset=$3 suite_build=$4 suite_preset=$5
# The programs compared, by their names in each build's tools file.
programs=(SELNARY SELNARY_COMPRESSORS)

rm -rf "$work"
mkdir -p "$work"
python=$(command -v python3)
printf '#!/bin/sh\n# Python without its site packages, so without pefile.\nexec %s -S "$@"\n' "$python" \
  >"$work/python-without-pefile"
chmod +x "$work/python-without-pefile"

# build TREE TZ UMASK [CONFIGURE ARGS...]
build() {
  local tree=$1 zone=$2 mask=$3
  shift 3
  mkdir -p "$tree"
  tar -C "$source_dir" --exclude=./build --exclude=./.git --exclude=./CMakeUserPresets.json -cf - . |
    tar -C "$tree" -xf -
  (
    cd "$tree"
    umask "$mask"
    export TZ=$zone
    cmake --preset "$preset" --no-warn-unused-cli "$@" >configure.log 2>&1 ||
      { cat configure.log >&2; exit 1; }
    cmake --build --preset "$preset" --target selnary selnary_compressors >/dev/null
  )
}

first=$work/a
second=$work/second/build-of-the-same-commit
# Side by side: each build compiles one file at a time, and the machine has
# a core for each.
build "$first" UTC 022 -DBUILD_TESTING=OFF &
first_build=$!
build "$second" Pacific/Chatham 077 \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DSELNARY_GTEST_SOURCE_DIR="$work/no-googletest" \
  -DSELNARY_PYTHON="$work/python-without-pefile"
wait "$first_build"

# program_of BUILD_DIR NAME: where that build made the program.
program_of() { (source "$1/wine-tools.sh" && printf '%s\n' "${!2}"); }

status=0
for program in "${programs[@]}"; do
  one=$(program_of "$first/build/$preset" "$program")
  two=$(program_of "$second/build/$preset" "$program")
  suites=$(program_of "$suite_build" "$program")
  sha256sum "$one" "$two" "$suites"
  cmp "$one" "$two" || { echo "FAIL: the two clean builds of $program differ" >&2; status=1; }
  if [ "$suite_preset" = "$preset" ]; then
    cmp "$one" "$suites" ||
      { echo "FAIL: a clean build of $program differs from the suite's own" >&2; status=1; }
  fi
done
if [ "$suite_preset" != "$preset" ]; then
  echo "the suite's build was not configured by the $preset preset; compared the clean builds only"
fi

skipped=$(cd "$second/build/$preset" && ctest -R '^(records|pe)$' 2>&1 | grep -cE '(records|pe) \(Skipped\)' || true)
if [ "$skipped" -ne 2 ]; then
  echo "FAIL: without GoogleTest and pefile, $skipped of the records and pe tests reported themselves skipped, expected 2" >&2
  (cd "$second/build/$preset" && ctest -R '^(records|pe)$' -V) >&2 || true
  status=1
fi
exit "$status"
