#!/usr/bin/env bash
# Runs a command where 32-bit x86 Linux programs, Wine's 32-bit half among
# them, run under qemu-i386, for that command alone: binfmt_misc is mounted in
# a new user and mount namespace and qemu-i386 registered there (Linux 6.7 and
# later), then the command runs under the caller's own user and group ids, so
# that what it makes is the caller's and Wine finds the caller's wineservers.
# Everything the command starts stays in that namespace, under the same
# handler; the machine's own binfmt table is never touched.
#   x86-emulate.sh QEMU COMMAND [ARGS...]
#
# With --machine-handler in place of QEMU, the machine already runs them under
# a handler of its own: only the environment qemu needs is set.
set -euo pipefail

# i386 ELF executables and shared objects: class 32-bit, little-endian,
# e_type 2 or 3, e_machine 3. Written as binfmt_misc parses it.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

if [ "${1:-}" = --inside ]; then
  uid=$2 gid=$3 qemu=$4
  shift 4
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  # F: the kernel opens qemu now, and every later exec uses that open file.
  printf ':selnary-i386:M::%s:%s:%s:F' "$magic" "$mask" "$qemu" >/proc/sys/fs/binfmt_misc/register
  exec unshare --user --map-user="$uid" --map-group="$gid" -- "$@"
fi

qemu=${1:?usage: x86-emulate.sh QEMU|--machine-handler COMMAND [ARGS...]}
shift
# Without a guest address space reserved up front, qemu's own mappings get in
# the way of Wine's 32-bit preloader and every 32-bit Wine program fails. Its
# size is the 2 GiB a 32-bit Windows program has, up to the end of the shared
# user data page Wine maps at 0x7ffe0000: qemu 7.2 spends time on every page
# of it at each process start (17 s with 0x90000000, under 3 s with this).
export QEMU_RESERVED_VA=0x7fff0000 SELNARY_X86_EMULATED=1
[ "$qemu" = --machine-handler ] && exec "$@"
exec unshare --user --map-root-user --mount -- "$BASH" "$0" --inside "$(id -u)" "$(id -g)" "$qemu" "$@"
