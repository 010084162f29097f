#!/usr/bin/env python3
"""How often tests fail that should pass every time: runs the tests of one
build that match REGEX, N times over, and counts how each run of each ended.
With --beside, the other build's whole suite runs alongside all the while,
again and again, as tools/test.sh loads the machine. The output of every
failing run is kept in BUILD_DIR/repeat/, and its path printed.
    tests/repeat.py BUILD_DIR REGEX N [--beside OTHER_BUILD_DIR]
For example (from the source folder, after tools/test.sh):
    tests/repeat.py build/x86 '^(list|chooser|kill|report)$' 20 --beside build/x64"""

import argparse
import collections
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path


def ctest(build, regex, junit, output):
    """One ctest run; what each test's run ended as, by name."""
    with open(output, "wb") as log:
        subprocess.run(["ctest", "--test-dir", build, "-R", regex, "--output-on-failure", "--output-junit",
                        junit], stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    try:
        cases = ElementTree.parse(junit).getroot().iter("testcase")
    except (OSError, ElementTree.ParseError):
        return {"(ctest)": "no results"}
    return {case.get("name"): case.get("status", "?") for case in cases}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("regex")
    parser.add_argument("runs", type=int)
    parser.add_argument("--beside", help="another build whose whole suite runs alongside")
    arguments = parser.parse_args()
    build = Path(arguments.build).resolve()
    kept = build / "repeat"
    shutil.rmtree(kept, ignore_errors=True)
    kept.mkdir()
    beside = None
    if arguments.beside:
        # Its own runs, again and again, until these are done; its results do not count.
        loop = f'while :; do ctest --test-dir "{Path(arguments.beside).resolve()}" >/dev/null 2>&1; done'
        beside = subprocess.Popen(["bash", "-c", loop], start_new_session=True, stdin=subprocess.DEVNULL)
    counts = collections.defaultdict(collections.Counter)
    try:
        for run in range(1, arguments.runs + 1):
            started = time.monotonic()
            output = kept / f"run-{run}.log"
            results = ctest(build, arguments.regex, kept / "junit.xml", output)
            for name, ended in results.items():
                counts[name][ended] += 1
            failed = sorted(name for name, ended in results.items() if ended not in ("run", "passed"))
            print(f"run {run}: {round(time.monotonic() - started)} s, "
                  + (f"FAILED {' '.join(failed)}: {output}" if failed else "all passed"), flush=True)
            if not failed:
                output.unlink()
    finally:
        if beside:
            subprocess.run(["kill", "--", f"-{beside.pid}"])
            beside.wait()
    print(f"\n{arguments.runs} runs of {build}, tests matching {arguments.regex}"
          + (f", beside {arguments.beside}" if beside else ""))
    for name in sorted(counts):
        print(f"  {name:16} " + ", ".join(f"{ended} {count}" for ended, count in sorted(counts[name].items())))
    return 1 if any(set(ended) - {"run", "passed"} for ended in counts.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
