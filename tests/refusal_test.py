"""Without the chooser library the loader must refuse to start the program:
its imports cannot be bound, so none of its own code may run.
    refusal_test.py TOOLS PREFIX EXE"""

import sys

import testing

# Wine passes on the low byte of the loader's STATUS_DLL_NOT_FOUND
# (0xC0000135); had the program's entry run, it would have returned 0.
DLL_NOT_FOUND = 0xC0000135 & 0xFF


def test(session, prefix, exe):
    wine = session.fresh(prefix)
    status = wine.run(exe, env=wine.overriding("msvfw32=d")).returncode
    if status != DLL_NOT_FOUND:
        print(f"FAIL: exit status {status}, expected {DLL_NOT_FOUND} (the loader's 'DLL not found')", file=sys.stderr)
        return 1
    print(f"the loader refused to start the program: status {status}")
    return 0


testing.main(test)
