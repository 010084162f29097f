"""How this machine runs 32-bit x86 Linux code, which Wine's 32-bit half needs:
natively, under a qemu-i386 handler the machine already has, under qemu-i386
registered privately for each command, or not at all.

detect() says which; prefix() is what a caller puts in front of a Wine command
so that it runs that way. Private emulation mounts binfmt_misc in a new user
and mount namespace and registers qemu-i386 there (Linux 6.7 and later), then
runs the command under the caller's own ids, so that what it makes is theirs
and Wine finds their wineservers; the machine's binfmt table is never touched.
Every process the command starts stays under that handler.

The configure runs this file once:  x86.py WINE [QEMU]
and reads its answer, one JSON object {"mode", "slowdown", "summary"}, with
its exit status checked."""

import json
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

# Measured on 2 cores: an x86 test takes 2 to 3 times as long under qemu-i386
# as its x64 twin natively, more while the other suite runs beside it.
EMULATED_SLOWDOWN = 4

# Without a guest address space reserved up front, qemu's own mappings get in
# the way of Wine's 32-bit preloader. Its size is the 2 GiB a 32-bit program
# has, up to the end of the page Wine maps at 0x7ffe0000: qemu 7.2 spends time
# on every page of it at each process start (17 s with 0x90000000, under 3 s
# with this).
RESERVED_VA = "QEMU_RESERVED_VA=0x7fff0000"

# i386 ELF executables and shared objects (class 32-bit, little-endian, e_type
# 2 or 3, e_machine 3), written as binfmt_misc parses them. F: the kernel opens
# qemu at registration, and every later exec uses that open file.
RULE = (r":selnary-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
        r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:{qemu}:F")
ENTER = ('uid=$0 gid=$1 && mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && '
         'printf %s "$2" >/proc/sys/fs/binfmt_misc/register && shift 2 && '
         'exec unshare --user --map-user="$uid" --map-group="$gid" -- "$@"')


@dataclass(frozen=True)
class Support:
    mode: str  # native, machine-emulation, private-emulation or none
    slowdown: int  # how many times longer x86 programs take; limits scale by it
    summary: str  # one line for the user: how x86 runs here, or why not and what would fix it


def prefix(mode, qemu=""):
    """What goes in front of a command to run it, and its x86 children, in this mode."""
    if mode == "private-emulation":
        return ["env", RESERVED_VA, "unshare", "--user", "--map-root-user", "--mount", "--",
                "sh", "-c", ENTER, str(os.getuid()), str(os.getgid()), RULE.format(qemu=qemu)]
    if mode == "machine-emulation":
        return ["env", RESERVED_VA]
    return []


def machine_handler():
    """A binfmt handler for i386 programs that the whole machine has, or None."""
    folder = Path("/proc/sys/fs/binfmt_misc")
    for handler in sorted(folder.iterdir()) if folder.is_dir() else []:
        try:
            text = handler.read_text()
        except OSError:
            continue
        if (text.startswith("enabled") and re.search(r"^magic 7f454c460101.*0300$", text, re.M)):
            interpreter = re.search(r"^interpreter (.*)$", text, re.M)
            return f"{handler.name} ({interpreter.group(1) if interpreter else '?'})"
    return None


def said(command):
    """Whether command ran, and what it said, on one line."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as error:
        return False, str(error)
    return done.returncode == 0, " ".join((done.stdout + done.stderr).split())


def detect(wine, qemu=""):
    if not wine:
        return Support("none", 1, "x86 programs cannot run here: Wine was not found (Debian: wine wine32)")
    ran, answer = said([wine, "--version"])
    if ran:
        handler = machine_handler()
        if handler:
            return Support("machine-emulation", EMULATED_SLOWDOWN,
                           f"x86 programs run under this machine's binfmt handler {handler}, "
                           f"about {EMULATED_SLOWDOWN} times slower")
        return Support("native", 1, "x86 programs run natively here")

    no_kernel = f"x86 programs cannot run here: the kernel has no 32-bit support ({wine}: {answer.split(': ')[-1]})"
    qemu = qemu or shutil.which("qemu-i386-static") or shutil.which("qemu-i386") or ""
    if not qemu or not os.access(qemu, os.X_OK):
        return Support("none", 1, f"{no_kernel}, and qemu-i386 was not found; "
                       "install qemu-user-static to run them under emulation")
    ran, answer = said(prefix("private-emulation", qemu) + [wine, "--version"])
    if ran:
        return Support("private-emulation", EMULATED_SLOWDOWN,
                       "x86 programs run under qemu-i386 emulation here (the kernel has no 32-bit "
                       f"support), about {EMULATED_SLOWDOWN} times slower")
    if "unshare failed" in answer:
        why = (f"user namespaces are not allowed here ({answer}), so qemu-i386 cannot be registered for "
               "this run alone; an administrator can allow them: "
               "sysctl kernel.unprivileged_userns_clone=1 user.max_user_namespaces=10000")
    elif "binfmt_misc" in answer:
        why = (f"this kernel ({os.uname().release}) cannot mount binfmt_misc in a user namespace "
               f"({answer}); Linux 6.7 or later can")
    else:
        why = f"{wine} failed under {qemu} too ({answer})"
    return Support("none", 1, f"{no_kernel}, and {why}")


if __name__ == "__main__":
    found = detect(*sys.argv[1:3])
    print(json.dumps({"mode": found.mode, "slowdown": found.slowdown, "summary": found.summary}))
