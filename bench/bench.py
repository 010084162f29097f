#!/usr/bin/env python3
"""What the report's isolation costs: selnary-compressors.exe against
query.exe, which asks the same compressors the same questions with the same
code, round trips included, in one process. Each runs RUNS times in one fresh
prefix whose wineserver is kept running; the medians and their ratio are
printed for: Wine's own compressors alone; the matrix (--formats) of them
against the default report; the test compressor installed under four codes
that take the probe (lossy, exact, inter-frame, and inter-frame two frames
behind), whose round trips are part of what both programs do; and the
matrix of those and of three codes that take a few formats each, against
query.exe's matrix of the same cells; and --play of a 30-frame 640 x 480
Cinepak file that ffmpeg makes, against query.exe --play of it, which reads
and decodes the same frames with the same code in one process.
    bench/bench.py [x86|x64] [RUNS]   (from the source folder, after tools/test.sh)"""

import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "lib"))
import winesession  # noqa: E402
from winesession import prefixes  # noqa: E402

# The test compressor's codes that take the probe, and how each behaves.
TAKING = ("slna", "slne", "slnj", "sln2")
BEHAVIOUR = {"SELNARY_COMPRESSOR_CODEC": "slne:exact", "SELNARY_COMPRESSOR_STREAM": "slnj:inter sln2:delay"}
# And codes that take a few formats each, at any size, for the matrix.
FORMAT_TAKING = ("slma", "slmb", "slmc")
MATRIX_BEHAVIOUR = {**BEHAVIOUR, "SELNARY_COMPRESSOR_TAKES": "slma:rgb24,yuy2,yv12 slmb:rgb8,nv12,uyvy slmc:i420",
                    "SELNARY_COMPRESSOR_DECODE": "slmb:rgb"}


def measure(wine, programs, runs, env):
    """The median milliseconds of each program over runs, and what the first
    said; each program a list: the program and its arguments."""
    def elapsed_ms(program):
        started = time.monotonic()
        status = wine.run(*program, seconds=600, env=env, stdout=subprocess.DEVNULL).returncode
        if status not in (0, 3):  # the report's 3: some compressor faulted or hung
            raise winesession.Error(f"{program[0].name} ended with status {status}; nothing to compare")
        return (time.monotonic() - started) * 1000

    # The two programs in turn, RUNS times each after one run to warm up,
    # so that a machine that slows down for a while slows both.
    for program in programs:
        elapsed_ms(program)
    times = [[], []]
    for _ in range(runs):
        for program, measured in zip(programs, times):
            measured.append(elapsed_ms(program))
    said = wine.run(*programs[0], env=env, capture_output=True, text=True).stdout.strip().splitlines()[-1:]
    return [statistics.median(measured) for measured in times], said


def bench(arch="x64", runs="21"):
    runs = int(runs)
    tools = winesession.load(Path("build", arch, "wine-tools.sh").resolve())
    query, report = tools.program("BENCH_QUERY"), tools.program("SELNARY_COMPRESSORS")
    compressor = tools.program("TEST_COMPRESSOR")
    with winesession.Session(tools) as session:
        wine = session.fresh(session.tools.root / f"bench-{arch}", display=False)
        wine.serve()  # the session keeps it running between the runs, and ends it
        print(f"{arch}, x86 {session.tools.x86_mode}, {runs} runs of each")
        cases = (
            ("Wine's own compressors", (), {}, [[query], [report]], ("query.exe", "selnary-compressors.exe")),
            ("Wine's own compressors, the matrix against the report", (), {},
             [[report], [report, "--formats"]], ("the report", "the matrix (--formats)")),
            (f"and the test compressor as {', '.join(TAKING)}", TAKING, BEHAVIOUR,
             [[query], [report]], ("query.exe", "selnary-compressors.exe")),
            (f"the matrix, and the test compressor as {', '.join(FORMAT_TAKING)} too", FORMAT_TAKING,
             MATRIX_BEHAVIOUR, [[query, "--formats"], [report, "--formats"]],
             ("query.exe --formats", "selnary-compressors.exe --formats")))
        if tools.ffmpeg:
            movie = Path(wine.env["WINEPREFIX"], "drive_c", "cinepak-640x480.avi")
            subprocess.run([tools.ffmpeg, "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=30",
                            "-frames:v", "30", "-c:v", "cinepak", str(movie)], check=True)
            played = ["--play", "C:\\cinepak-640x480.avi"]
            # First, with Wine's own decompressors alone.
            cases = (("--play, a 30-frame 640 x 480 Cinepak file", (), {}, [[query, *played], [report, *played]],
                      ("query.exe --play", "selnary-compressors.exe --play")),) + cases
        for title, codes, env, programs, names in cases:
            if codes:
                prefixes.install_compressors(wine, arch, dict.fromkeys(codes, compressor))
            (first, second), said = measure(wine, programs, runs, env)
            print(f"\n{title}: {''.join(said)}")
            print(f"{names[0]:<34} median {first:.0f} ms")
            print(f"{names[1]:<34} median {second:.0f} ms")
            print(f"ratio {second / first:.2f}")


if __name__ == "__main__":
    winesession.main(bench, *sys.argv[1:3])
