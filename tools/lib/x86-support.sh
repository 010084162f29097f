#!/usr/bin/env bash
# How this machine runs 32-bit x86 Linux code, which Wine needs for 32-bit
# Windows programs: natively, under a qemu-i386 handler the machine already
# has, under qemu-i386 registered privately for each run (x86-emulate.sh), or
# not at all. The configure runs this once; the run, test and release scripts
# read its answer from the build's wine-tools.sh.
#   x86-support.sh WINE [QEMU]
# Prints, a line each:
#   mode=native|machine-emulation|private-emulation|none
#   slowdown=N      how many times longer x86 programs take; the limits scale by it
#   summary=TEXT    one line for the user: how x86 runs here, or why not and what would fix it
set -uo pipefail
wine=${1:-} qemu=${2:-}
here=$(cd "$(dirname "$0")" && pwd)

# Measured on 2 cores: an x86 test takes 2 to 3 times as long under
# qemu-i386 as its x64 twin natively, more while the other suite runs beside
# it, so every limit is given this much more time.
emulated_slowdown=4

answer() {
  printf 'mode=%s\nslowdown=%s\nsummary=%s\n' "$1" "$2" "$3"
  exit 0
}

if [ -z "$wine" ]; then
  answer none 1 "x86 programs cannot run here: Wine was not found (Debian: wine wine32)"
fi
if said=$("$wine" --version 2>&1); then
  # A handler registered for the whole machine is used as it is.
  for handler in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$handler" ] || continue
    if grep -qx enabled "$handler" && grep -qE '^magic 7f454c460101.*0300$' "$handler"; then
      answer machine-emulation "$emulated_slowdown" \
        "x86 programs run under this machine's binfmt handler $(basename "$handler") ($(sed -n 's/^interpreter //p' "$handler")), about $emulated_slowdown times slower"
    fi
  done
  answer native 1 "x86 programs run natively here"
fi

no_kernel="x86 programs cannot run here: the kernel has no 32-bit support ($wine: ${said##*: })"
if [ -z "$qemu" ]; then
  qemu=$(command -v qemu-i386-static || command -v qemu-i386 || true)
fi
if [ -z "$qemu" ] || [ ! -x "$qemu" ]; then
  answer none 1 "$no_kernel, and qemu-i386 was not found; install qemu-user-static to run them under emulation"
fi
if said=$("$BASH" "$here/x86-emulate.sh" "$qemu" "$wine" --version 2>&1); then
  answer private-emulation "$emulated_slowdown" \
    "x86 programs run under qemu-i386 emulation here (the kernel has no 32-bit support), about $emulated_slowdown times slower"
fi
said=$(printf '%s' "$said" | tr '\n' ' ' | sed 's/ *$//')
case "$said" in
  *unshare\ failed*)
    answer none 1 "$no_kernel, and user namespaces are not allowed here ($said), so qemu-i386 cannot be registered for this run alone; an administrator can allow them: sysctl kernel.unprivileged_userns_clone=1 user.max_user_namespaces=10000" ;;
  *binfmt_misc*)
    answer none 1 "$no_kernel, and this kernel ($(uname -r)) cannot mount binfmt_misc in a user namespace ($said); Linux 6.7 or later can" ;;
  *)
    answer none 1 "$no_kernel, and $wine failed under $qemu too ($said)" ;;
esac
