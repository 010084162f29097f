"""A Wine session ended in the middle, with the chooser open: stopped
(SIGTERM to its driver) it takes itself down; killed (SIGKILL to the driver
alone, which leaves every other process of it running, orphaned) its guard
does. Both times no process of it is left, and the machine's binfmt table is
as it was. While the chooser is open, every Wine process of the session, those
started by Windows code included, runs without address-space randomisation.
    kill_test.py TOOLS PREFIX EXE"""

import subprocess
import sys
import time
from pathlib import Path

import testing
from winesession import processes

RUN = Path(__file__).resolve().parent / "wine_run.py"
ADDR_NO_RANDOMIZE = 0x0040000


def wine_personality(pid):
    """pid's personality flags when it is a Wine process (a Windows program,
    under Wine's loader or by its own name, or the wineserver), else None."""
    try:
        program = testing.program_name(pid)
        if program.endswith(b".exe") or program.startswith(b"wine"):
            return int(Path(f"/proc/{pid}/personality").read_text(), 16)
    except (OSError, ValueError):  # ended since
        pass
    return None


def test(session, prefix, exe):
    checks, table = testing.Checks(prefix), testing.binfmt_table()
    tag = session.env[processes.TAG]
    for case, end in (("stopped", lambda driver: driver.terminate()),
                      ("killed", lambda driver: driver.kill())):
        checks.case = case
        log = checks.log(f"{case}.log")
        started = time.monotonic()
        with open(log, "w") as output:
            driver = subprocess.Popen([session.tools.python, RUN, sys.argv[1], prefix, exe],
                                      env=session.env, stdout=output, stderr=output)
        deadline = processes.Deadline(session.tools.scaled(60))
        # The program itself, not the driver whose command line names it too.
        while not testing.running(tag, "selnary.exe"):
            if not checks.check(driver.poll() is None and not deadline.passed(),
                                f"selnary.exe did not start within {testing.seconds_since(started)} "
                                f"(the driver's status: {driver.poll()})", log):
                break
            time.sleep(0.1)
        else:
            time.sleep(session.tools.scaled(1))  # the chooser and Wine's services come up
            running = sorted(processes.tagged(tag))
            wine = {pid: flags for pid in running if (flags := wine_personality(pid)) is not None}
            randomised = [pid for pid, flags in wine.items() if not flags & ADDR_NO_RANDOMIZE]
            checks.check(len(wine) >= 3 and not randomised,
                         f"{len(wine)} Wine processes; with address randomisation: "
                         + "; ".join(f"{pid} {testing.described(pid)}" for pid in randomised),
                         "\n".join(f"{pid} {testing.described(pid)}" for pid in running), log)
            end(driver)
            status = driver.wait(session.tools.scaled(30))
            ended = time.monotonic()
            if case == "stopped":
                checks.check(status == 143, f"the driver ended with status {status}, expected 143", log)
            deadline = processes.Deadline(session.tools.scaled(30))
            while (left := sorted(processes.tagged(tag))) and not deadline.passed():
                time.sleep(0.1)
            if checks.check(not left, f"still running {testing.seconds_since(ended)} after the driver ended: "
                            + "; ".join(f"{pid} {testing.described(pid)}" for pid in left), log):
                print(f"[{case}] {len(running)} processes of the session while the chooser was open "
                      f"({len(wine)} of Wine, none with address randomisation), none left")
        processes.stop(driver, 5)
    after = testing.binfmt_table()
    checks.check(after == table, f"the binfmt table was {table}, now {after}")
    return checks.result()


testing.main(test)
