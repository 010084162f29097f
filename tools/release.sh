#!/usr/bin/env bash
# The maintainer's one command: builds both targets in fresh build folders,
# runs the whole suite for each, and packs build/release/: a zip per target
# and SHA256SUMS. The same commit gives the same bytes, wherever it is built.
#
# Signing (optional): SELNARY_SIGN_PKCS12 names a PKCS#12 file and
# SELNARY_SIGN_PASSWORD_FILE a file holding its password; SELNARY_SIGN_TIMESTAMP_URL
# adds an RFC 3161 time stamp. Bad signing input stops the release before
# anything is built. build/release/ changes only when the release is complete.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib/setup.sh
install_missing_packages
check_build_owner
started=$(date +%s)

fail() {
  echo "error: $*; build/release/ is unchanged" >&2
  exit 1
}

python=$(command -v python3)
"$python" tools/lib/package.py --check-signing || exit 1

git rev-parse --verify -q HEAD >/dev/null || fail "a release is made from a git checkout"
if [ -n "$(git status --porcelain)" ]; then
  fail "the checkout has uncommitted changes; a release is made from a commit, so that anyone can rebuild it"
fi
commit=$(git rev-parse HEAD)
epoch=$(git log -1 --format=%ct HEAD)

work=build/release-work
rm -rf "$work"
for preset in x86 x64; do
  echo "Building $preset in $work/$preset"
  cmake --preset "$preset" -B "$work/$preset" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null ||
    fail "configuring $preset failed"
  cmake --build "$work/$preset" --parallel "$(nproc)" >/dev/null || fail "building $preset failed"
done
say_x86_support "$work/x86"
# A release carries only programs whose every test ran: a test of Windows
# code that cannot run here fails, with its reason, instead of being skipped.
for preset in x86 x64; do
  echo "Testing $preset"
  SELNARY_REQUIRE_WINDOWS_TESTS=1 ctest --test-dir "$work/$preset" --output-on-failure --no-tests=error -j 2 ||
    fail "the $preset suite failed, or some of its tests could not run here"
done

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$work/x86/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $work/x86/CMakeCache.txt"
echo "Packing selnary $version from commit $commit"
"$python" tools/lib/package.py build/release "$version" "$epoch" . \
  x86="$work/x86" x64="$work/x64" || fail "packing failed"
echo "Released in $(($(date +%s) - started)) s."
