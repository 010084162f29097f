"""Runs one Windows program in a fresh prefix of its own and passes on its exit status.
    wine_run.py TOOLS PREFIX PROGRAM [ARGS...]"""

import testing


def run(session, prefix, *command):
    return session.fresh(prefix).run(*command, seconds=3600).returncode


testing.main(run)
