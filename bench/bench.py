#!/usr/bin/env python3
"""What the report's isolation and round trips cost: selnary-compressors.exe
against query.exe, a plain in-process query of the same compressors, each
run RUNS times in one fresh prefix whose wineserver is kept running.
Prints the median of each and their ratio.
    bench/bench.py [x86|x64] [RUNS]   (from the source folder, after tools/test.sh)"""

import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "lib"))
import winesession  # noqa: E402


def bench(arch="x64", runs="21"):
    build, runs = Path("build", arch).resolve(), int(runs)
    programs = [build / "bench/query.exe", build / "report/selnary-compressors.exe"]
    for program in programs:
        if not program.is_file():
            raise winesession.Error(f"{program} is missing: build it first (tools/test.sh)")
    with winesession.Session(winesession.load(build / "wine-tools.sh")) as session:
        wine = session.fresh(session.tools.root / f"bench-{arch}", display=False)
        wine.server("-p")  # kept running between the runs; the session ends it

        def elapsed_ms(program):
            started = time.monotonic()
            status = wine.run(program, seconds=600, stdout=subprocess.DEVNULL).returncode
            if status not in (0, 3):  # the report's 3: some compressor faulted or hung
                raise winesession.Error(f"{program.name} ended with status {status}; nothing to compare")
            return (time.monotonic() - started) * 1000

        # The two programs in turn, RUNS times each after one run to warm up,
        # so that a machine that slows down for a while slows both.
        for program in programs:
            elapsed_ms(program)
        times = [[], []]
        for _ in range(runs):
            for program, measured in zip(programs, times):
                measured.append(elapsed_ms(program))
        query, report = (statistics.median(measured) for measured in times)
        said = wine.run(programs[0], capture_output=True, text=True).stdout.strip()
        print(f"{said} ({arch}, x86 {session.tools.x86_mode})")
        print(f"query.exe                median {query:.0f} ms of {runs} runs")
        print(f"selnary-compressors.exe  median {report:.0f} ms")
        print(f"ratio {report / query:.2f}")


if __name__ == "__main__":
    winesession.main(bench, *sys.argv[1:3])
