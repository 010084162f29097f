#!/usr/bin/env bash
# Installs what is missing, builds, and shows selnary.exe's chooser under Wine.
#   run.sh [x86|x64]   (x86 when not given)
# With a DISPLAY the chooser appears there and this ends when it is closed;
# without one it prints the compressors offered, saves a picture of the
# chooser with its list open, and presses Cancel. WINEPREFIX, when set, names
# a prefix of your own to look in (see tools/lib/show.py).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:-x86}
case "$arch" in
  x86 | x64) ;;
  *) echo "usage: tools/run.sh [x86|x64]" >&2; exit 2 ;;
esac
source tools/lib/setup.sh
install_missing_packages
check_build_owner
echo "Building build/$arch (a minute or two the first time)..."
build_preset "$arch" --log-level=WARNING >/dev/null
echo "Built."
[ "$arch" = x86 ] && say_x86_support build/x86
exec python3 tools/lib/show.py "$PWD/build/$arch" "$arch" "$PWD/build/selnary-$arch.png"
