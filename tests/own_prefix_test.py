"""A user's own prefix whose wineserver was started outside the run, as by
any earlier Wine program of theirs: the headless run uses that server, even
where x86 runs inside a namespace of its own, and leaves it running.
    own_prefix_test.py TOOLS PREFIX BUILD_DIR ARCH"""

import os
import sys
import time
from pathlib import Path

import testing
from winesession import server


def server_pids(prefix):
    """The wineservers working in the prefix's server folder."""
    want, found = server.folder_name(prefix), []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if (Path(f"/proc/{entry}/comm").read_text().startswith("wineserver")
                    and Path(os.readlink(f"/proc/{entry}/cwd")).name == want):
                found.append(entry)
        except OSError:
            continue
    return found


def test(session, prefix, build, arch):
    wine = session.fresh(prefix, display=False)
    # The session's server, persistent as a user's running one is; started
    # here, outside any namespace the run makes for x86.
    wine.serve()
    # The server may still be settling in its folder when -p returns on a busy machine.
    deadline = time.monotonic() + session.tools.scaled(10)
    while len(before := server_pids(prefix)) != 1 and time.monotonic() < deadline:
        time.sleep(0.1)
    if len(before) != 1:
        print(f"FAIL: expected one server before the run, found: {' '.join(before)}", file=sys.stderr)
        return 1

    checks = testing.Checks(prefix)
    run = checks.log("run.log")
    status, out, err = testing.show(session, build, arch, checks.log("picture.png"), log=run)
    shown = [line for _, line in out]
    checks.check(status == 0, f"the run ended with status {status}", run)
    checks.check("  Full Frames (Uncompressed)" in shown, "no list", run)
    checks.check(f"Using the wineserver already running for {wine.env['WINEPREFIX']}; it is left running." in shown,
                 "the run did not find the server that serves the prefix", run)
    after = server_pids(prefix)
    checks.check(after == before, f"servers for the prefix before the run: {before[0]}; after: {' '.join(after)}")
    if checks.failures == 0:
        print(f"the run used the server started outside it (pid {before[0]}), which still runs")
    return checks.result()


testing.main(test)
