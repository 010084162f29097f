"""The report's matrix (--formats): every installed compressor asked about
every input format, with the test compressor installed as coders of a few
formats each at any size: one that gives them back in their own format, one
that gives them back as 32-bit RGB, one that faults on one format and
refuses to begin at an odd size, and the probe's lossy coder; and the probe's
inter-frame coders whose pictures come late (B-frames, a decompressor that
holds one back, a frame count it must be told), and two that are wrong in
ways a recorder trips on (it writes into its input, it loses its settings).
Each cell
must be what an in-process query of it says (bench/cells.py), at 256 x 256
and at an odd size; the table must fit its width and say why cells fail.
    matrix_test.py TOOLS PREFIX ARCH COMPRESSOR_DLL"""

import json
import re
import subprocess
import sys
from pathlib import Path

import testing
from winesession import prefixes

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import cells  # noqa: E402

# The test compressor's codes here, and what each takes.
OWN = ["rgb24", "rgb8", "yuy2", "yv12", "rgb32-topdown"]  # slma: back in the same format
AS_RGB = ["rgb565", "uyvy", "nv12"]  # slmd: back as 32-bit RGB
FAULTING = ["rgb24", "i420", "rgb555"]  # slmf: faults when asked about rgb555; even sizes only
# The probe's coders, each of 32-bit RGB at 256 x 256 only: code -> (how it came to, its lag).
PROBE = {"slna": ("lossy", 0), "slm3": ("exact", 2), "slm4": ("exact", 1), "slm5": ("exact", 2),
         "slm6": ("lossy, input_overwritten", 0), "slm7": ("lossy, settings_lost", 0)}
BEHAVIOUR = {
    "SELNARY_COMPRESSOR_TAKES": f"slma:{','.join(OWN)} slmd:{','.join(AS_RGB)} slmf:{','.join(FAULTING)}",
    "SELNARY_COMPRESSOR_DECODE": "slmd:rgb", "SELNARY_COMPRESSOR_FAULT": "slmf:rgb555",
    "SELNARY_COMPRESSOR_BEGIN": "slmf:even", "SELNARY_COMPRESSOR_STREAM": "slm3:bframes slm4:late slm5:counted",
    "SELNARY_COMPRESSOR_MISBEHAVE": "slm6:scribble slm7:forget"}
# At 256 x 256 only, as each costs the report's limit for a step: slmd hangs when asked about yv12.
HANGING = {**BEHAVIOUR, "SELNARY_COMPRESSOR_HANG": "slmd:yv12"}
CODES = ["slma", "slmd", "slmf", *PROBE]
FORMATS = ["rgb24", "rgb32", "rgb555", "rgb565", "rgb8", "yuy2", "uyvy", "yv12", "i420", "nv12", "rgb32-topdown"]


def expected(code, name, odd):
    """What the cell of code for format name must come to: "exact", "lossy",
    "no", "faulted" or "begin" (taken, refused at Begin); None: not checked."""
    if code == "slma":
        return "exact" if name in OWN else "no"
    if code == "slmd":
        return "hung" if name == "yv12" and not odd else "exact" if name in AS_RGB else "no"
    if code == "slmf":
        return ("faulted" if name == "rgb555" else "begin" if odd else "exact") if name in FAULTING else "no"
    if code in PROBE:
        return ("no" if odd else PROBE[code][0]) if name == "rgb32" else "no"
    return None


def came_to(cell):
    trip = (cell.get("round_trip") or {})
    if cell["outcome"] != "answered":
        return cell["outcome"] if cell["step"] == "query" else f"{cell['outcome']} at {cell['step']}"
    if not cell["accepts"]:
        return "no"
    if not trip.get("worked"):
        code = (cell.get("reason") or {}).get("code")
        return "begin" if code == "compress_failed" and "refused to begin" in cell["reason"]["text"] else code
    came = "exact" if trip["exact"] else "lossy" if 25 <= trip["psnr_db"] <= 60 else f"{trip['psnr_db']} dB"
    # What is wrong with one that works.
    return f"{came}, {cell['reason']['code']}" if cell.get("reason") else came


def examine(report, odd, arch):
    """The problems of one matrix, as JSON."""
    problems = []
    if report.get("formats") != FORMATS:
        problems.append(f"formats {report.get('formats')}")
    rows = {row["code"]: row for row in report["compressors"]}
    for code in CODES:
        if code not in rows:
            problems.append(f"{code} has no row")
            continue
        for name in FORMATS:
            cell = rows[code]["cells"].get(name, {})
            want, got = expected(code, name, odd), came_to(cell) if cell else "no cell"
            if got != want:
                problems.append(f"{code} {name}: {got}, expected {want}")
            # Back in its own format, or by the fixed conversion as 32-bit RGB.
            if got == "exact" and code == "slmd" and cell["round_trip"]["output_bit_count"] != 32:
                problems.append(f"{code} {name}: came back at {cell['round_trip']['output_bit_count']} bits")
            # Its pictures as late as they come.
            lag = (cell.get("round_trip") or {}).get("lag_frames")
            if got == want and code in PROBE and want != "no" and lag != PROBE[code][1]:
                problems.append(f"{code} {name}: lag {lag}, expected {PROBE[code][1]}")
    if not odd:
        # Wine's own MS-RLE takes 8-bit paletted frames, and nothing else here.
        mrle = rows.get("mrle", {}).get("cells", {})
        taken = [name for name in FORMATS if mrle.get(name, {}).get("accepts")]
        if taken != ["rgb8"]:
            problems.append(f"Wine's MS-RLE takes {taken}, expected only rgb8")
    faulted = sum(cell["outcome"] != "answered" for row in report["compressors"] for cell in row["cells"].values())
    if report.get("cells_faulted_or_hung") != faulted or faulted != (1 if odd else 2):
        problems.append(f"{faulted} cells faulted or hung, the report says {report.get('cells_faulted_or_hung')}")
    return problems


def pictures(folder, tools):
    """The problems of the pictures saved of the matrix at 256 x 256: a source
    frame for every format, and a frame for every cell that gave one back,
    with its difference where it is lossy; each one ImageMagick reads as a
    24-bit picture of that size."""
    problems = []
    wanted = [f"source-{name}.bmp" for name in FORMATS] + [f"slma-{name}.bmp" for name in OWN]
    wanted += ["slna-rgb32.bmp", "slna-rgb32-difference.bmp", "slmd-nv12.bmp", "mrle-rgb8.bmp"]
    unwanted = ["slma-yuy2-difference.bmp", "slma-rgb32.bmp", "slmf-rgb555.bmp", "source.bmp"]
    problems += [f"{name} was not saved" for name in wanted if not (folder / name).is_file()]
    problems += [f"{name} was saved" for name in unwanted if (folder / name).exists()]
    identify = Path(tools.picture).with_name("identify")
    for name in ("source-yuy2.bmp", "slna-rgb32-difference.bmp", "slmd-nv12.bmp"):
        said = subprocess.run([identify, "-format", "%m %w %h %z", folder / name], capture_output=True, text=True)
        if said.stdout != "BMP3 256 256 8":  # BMP3: the 40-byte header every viewer reads
            problems.append(f"{name}: ImageMagick reads '{said.stdout}' {said.stderr.strip()}")
    return problems


def recordings(report, folder, tools, size):
    """Every recording the matrix saved, as ffprobe reads it; and, at 256 x
    256, Wine's MS-RLE, whose rgb8 clip the report finds wrong at one frame,
    held frame by frame against ffmpeg's decoding of the file it wrote,
    against the clip as it was given (source-rgb8.avi, decoded by ffmpeg too).
    At 67 x 41 the two decoders disagree: ffmpeg decodes the frame the report
    calls wrong exactly, so the fault there is Wine's decompressor's."""
    problems = []
    cells = [(row["code"], cell) for row in report["compressors"] for cell in row["cells"].values()]
    found = testing.probed_all(tools.ffprobe, [Path(folder, cell["recording"]["file"])
                                               for _, cell in cells if cell.get("recording")])
    for code, cell in cells:
        problems += testing.recording_problems(tools.ffprobe, folder, code, cell.get("round_trip") or {},
                                               cell.get("recording"), size, cell.get("proposed"), found)
    if size != (256, 256):
        return problems
    mrle = next((row["cells"]["rgb8"] for row in report["compressors"] if row["code"] == "mrle"), None)
    if not mrle or not mrle.get("recording"):
        return problems + ["Wine's MS-RLE saved no rgb8 recording"]
    try:
        clip = testing.decoded(tools.ffmpeg, folder / "source-rgb8.avi", size)
        theirs = testing.decoded(tools.ffmpeg, folder / mrle["recording"]["file"], size)
        first = testing.decoded(tools.ffmpeg, folder / "mrle-rgb8.bmp", size)
    except (OSError, ValueError, subprocess.TimeoutExpired) as error:
        return problems + [f"Wine's MS-RLE: {error}"]
    ours = mrle["round_trip"]["psnr_db_by_frame"]
    their_db = [testing.psnr(sent, got) for sent, got in zip(clip, theirs)]
    named = re.search(r"frame (\d+) of 8 comes back at", (mrle.get("reason") or {}).get("text", ""))
    if len(clip) != 8 or len(theirs) != 8 or len(ours) != 8 or not named:
        return problems + [f"Wine's MS-RLE: {len(clip)} frames given, {len(theirs)} decoded by ffmpeg, the report "
                           f"{ours} and {mrle.get('reason')}"]
    bad = int(named.group(1)) - 1
    # The frame the report calls wrong is the worst by ffmpeg too, and far off.
    worst = min(range(8), key=lambda at: their_db[at] if their_db[at] is not None else 99)
    if worst != bad or their_db[bad] is None or their_db[bad] > 20:
        problems.append(f"Wine's MS-RLE: the report calls frame {bad + 1} wrong, ffmpeg's decoding gives {their_db}")
    # The frames before it agree within 1 dB (those after it decode from it,
    # which two decoders read differently); the first is the picture saved.
    for at in range(bad):
        if (ours[at] is None) != (their_db[at] is None) or (ours[at] and abs(ours[at] - their_db[at]) > 1):
            problems.append(f"Wine's MS-RLE frame {at + 1}: {ours[at]} dB by the report, {their_db[at]} by ffmpeg")
    if first[:1] != theirs[:1]:
        problems.append("Wine's MS-RLE: the first frame the report saved is not ffmpeg's first frame")
    return problems


def test(session, prefix, arch, compressor):
    wine = session.fresh(prefix, display=False)
    prefixes.install_compressors(wine, arch, dict.fromkeys(CODES, compressor))
    checks = testing.Checks(prefix)
    logs = checks.logs
    # An odd size, and a small one: under emulation every pixel costs. At
    # the odd size the report prints its table, its JSON saved beside its
    # pictures: one run for both.
    for size in ("256x256", "67x41"):
        checks.case = size
        odd = size != "256x256"
        saved = logs / f"{size}-pictures"
        compared = cells.compare(wine, session.tools, ["--size", size], timeout=3, saved=saved, table=odd,
                                 env=BEHAVIOUR if odd else HANGING)
        report = compared.report
        for name, document in (("report", report), ("query", compared.query)):
            (logs / f"{size}-{name}.json").write_text(json.dumps(document, indent=1))
        saw = (logs / f"{size}-report.json", logs / f"{size}-query.json")
        checks.check(compared.status == 3, f"exit status {compared.status}, expected 3: a cell faulted", *saw)
        for problem in compared.differences:
            checks.fail(f"not as in-process: {problem}", *saw)
        for problem in examine(report, odd, arch):
            checks.fail(problem, *saw)
        for problem in [] if odd else pictures(saved, session.tools):
            checks.fail(problem, saved)
        checks.check(session.tools.ffprobe and session.tools.ffmpeg, "ffmpeg was not found (Debian: ffmpeg)")
        if session.tools.ffprobe and session.tools.ffmpeg:
            dimensions = tuple(int(side) for side in size.split("x"))
            for problem in recordings(report, saved, session.tools, dimensions):
                checks.fail(problem, saved)

    # The table a person reads: within its width, each failure said under its row.
    checks.case = "table"
    table = compared.table
    (logs / "table.out").write_text(table, encoding="utf-8")
    wide = [line for line in table.splitlines() if len(line) > 100]
    checks.check(not wide, f"{len(wide)} lines wider than 100 columns", logs / "table.out")
    for says in ("topdown", "rgb555: faulted", "rgb24, i420: it refused to begin compressing this format",
                 "fault, hung: it crashed or hung on that format"):
        checks.check(says in table, f"the table does not say '{says}'", logs / "table.out")
    print(table, end="")
    return checks.result()


testing.main(test)
