"""The Wine harness's own promises that no Wine test reaches on every machine:
private emulation, which the suite uses only where the kernel refuses x86,
registers qemu-i386 inside its namespace alone and runs the command under the
caller's own ids; a command that outlives its limit is stopped.
    harness_test.py QEMU"""

import os
import sys

import testing
from winesession import processes, x86


def main(qemu):
    checks, before = testing.Checks(), testing.binfmt_table()
    checks.case = "private emulation"
    inside = processes.run(x86.prefix("private-emulation", qemu) + [
        "sh", "-c", "id -u; id -g; cat /proc/sys/fs/binfmt_misc/selnary-i386"], None, 30,
        capture_output=True, text=True)
    if "unshare failed" in inside.stderr or "binfmt_misc" in inside.stderr:
        print(f"skipped: this kernel cannot register a handler in a namespace: {inside.stderr.strip()}")
        return 0
    lines = inside.stdout.splitlines()
    checks.check(inside.returncode == 0, f"status {inside.returncode}: {inside.stderr}")
    checks.check(lines[:2] == [str(os.getuid()), str(os.getgid())],
                 f"ran as {lines[:2]}, not as {os.getuid()}:{os.getgid()}")
    checks.check("enabled" in lines and f"interpreter {qemu}" in lines and "flags: F" in lines,
                 f"the handler inside: {lines[2:]}")
    after = testing.binfmt_table()
    checks.check(after == before, f"the machine's binfmt table was {before}, now {after}")

    checks.case = "limit"
    stopped = processes.run(["sleep", "60"], None, 0.5)
    checks.check(stopped.returncode == 124, f"status {stopped.returncode}, expected 124")
    if checks.failures == 0:
        print(f"qemu-i386 registered inside the namespace alone ({before} outside), as {lines[0]}:{lines[1]}; "
              "an overrunning command stopped with 124")
    return checks.result()


sys.exit(main(*sys.argv[1:2]))
