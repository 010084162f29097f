"""Runs one Windows program in a fresh prefix of its own and passes on its exit status.
    wine_run.py TOOLS PREFIX PROGRAM [ARGS...]"""

import testing


def run(session, prefix, *command):
    wine = session.fresh(prefix)
    # A program that crashes ends with its fault, rather than in Wine's
    # debugger waiting for someone until the test's time runs out.
    return wine.run(*command, seconds=3600, env=wine.overriding("winedbg.exe=d")).returncode


testing.main(run)
