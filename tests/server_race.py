#!/usr/bin/env python3
"""Wine's race at a prefix's shutdown, in its smallest case: starts
selnary.exe, closes its chooser, waits PAUSE seconds after it ended, and
again, TRIES times for each pause; counts the starts that end before their
window appears. When a prefix's last program ends, its wineserver waits 3 s
and then ends Wine's own processes, the desktop among them; a program that
starts then loses its desktop. With --held, the prefix's wineserver is
persistent, as the harness keeps it for a session. With --killed, the
server is ended (wineserver -k, then -w) after each start, as a session
ends its own, so that every start comes to a new server; with --ended,
Wine's session is ended first (wineboot --end-session --shutdown --force),
so that its processes exit on their own before the server is killed. A
start that fails prints Wine's errors.
    tests/server_race.py BUILD_DIR ARCH PAUSES TRIES [--held] [--killed|--ended]
For example (from the source folder, after tools/test.sh), where x86 is
emulated and a start takes about 3 s:
    tests/server_race.py build/x86 x86 2.9,3.0,3.1 15"""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "lib"))

import winesession  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("arch", choices=("x86", "x64"))
    parser.add_argument("pauses", help="seconds, separated by commas")
    parser.add_argument("tries", type=int)
    parser.add_argument("--held", action="store_true", help="the wineserver persistent")
    parser.add_argument("--killed", action="store_true", help="the wineserver ended after each start")
    parser.add_argument("--ended", action="store_true", help="the same, Wine's session ended first")
    arguments = parser.parse_args()
    tools = winesession.load(Path(arguments.build, "wine-tools.sh"))
    arch = arguments.arch
    with winesession.Session(tools) as session:
        wine = session.fresh(tools.root / f"race-{arch}")
        wine.hold_server = arguments.held
        exe, title = tools.program("SELNARY"), f"selnary ({arch})"
        for pause in map(float, arguments.pauses.split(",")):
            early = 0
            for _ in range(arguments.tries):
                log = Path(session.folder, "start.log")
                with open(log, "w") as output:
                    program = session.start(exe, stdout=output, stderr=output, env={"WINEDEBUG": "fixme-all"})
                try:
                    window = session.screen.wait_for(title, tools.scaled(60), program)
                    session.screen.key(window, "Escape")
                    session.wait(program, 10)
                except winesession.Error as error:
                    early += 1
                    print(f"  after {pause} s: {error}", flush=True)
                    print("".join(f"    {line}\n" for line in log.read_text(errors="replace").splitlines()), end="")
                if arguments.ended:
                    wine.run("wineboot", "--end-session", "--shutdown", "--force", loader=wine.tool)
                if arguments.killed or arguments.ended:
                    wine.server("-k")
                    wine.server("-w")
                time.sleep(pause)
            print(f"after {pause} s: {early} of {arguments.tries} starts ended before their window", flush=True)
    return 0


if __name__ == "__main__":
    winesession.main(main)
