"""Without the chooser library the loader must refuse to start the program:
its imports cannot be bound, so none of its own code may run.
    refusal_test.py TOOLS PREFIX EXE"""

import testing

# Wine passes on the low byte of the loader's STATUS_DLL_NOT_FOUND
# (0xC0000135); had the program's entry run, it would have returned 0.
DLL_NOT_FOUND = 0xC0000135 & 0xFF


def test(session, prefix, exe):
    wine = session.fresh(prefix)
    checks = testing.Checks(prefix)
    log = checks.log("refused.log")
    with open(log, "w") as output:
        status = wine.run(exe, env={**wine.overriding("msvfw32=d"), **testing.WINE_ERRORS},
                          stdout=output, stderr=output).returncode
    if checks.check(status == DLL_NOT_FOUND,
                    f"exit status {status}, expected {DLL_NOT_FOUND} (the loader's 'DLL not found')", log):
        print(f"the loader refused to start the program: status {status}")
    return checks.result()


testing.main(test)
