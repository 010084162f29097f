"""The compressor report, with the test compressor installed for the target's
bitness in every variant the report must explain or prove (see VARIANTS),
drivers that cannot open for each reason there is, and one registered for
the other bitness only; then its help, a usage error, and an empty list. What
needs no real compressor or process boundary (the messages, the JSON's
text, the clip's comparison) the report's unit tests prove in-process.
    report_test.py TOOLS PREFIX ARCH COMPRESSOR_DLL NEEDY_DLL HELPER_DLL FOREIGN_DLL"""

import json
import re
import shlex
import subprocess
import time
from pathlib import Path

import testing
from winesession import prefixes, windows_path

# The test compressor's variants, each installed under its own code:
#   a takes the probe, lossy     r takes only 24-bit      f faults when opened
#   h hangs when opened          e exact                  c cannot decompress
#   z faults compressing         s writes to std handles  q refuses the probe with -123
#   x refuses to open            b claims a 2 GiB format  u format size ICERR_UNSUPPORTED
#   l unterminated description   k ends the process       g shows a message box
#   d changes the current folder v decompresses upside down i describes itself beyond ASCII
#   j inter-frame, ignoring the key-frame request     2 the same, its output two frames behind
#   3 inter-frame with two B-frames: a key frame, then skip frames, then frames in coding order
#   4 inter-frame, its decompressor a picture late    5 two frames behind, told the frame count
#   6 writes into the frame it is given               7 loses its settings at ICCompressEnd
# and drivers that do not open:
#   m driver file missing        n needs a missing DLL    w DLL of the other bitness
#   p exports no DriverProc      t not a DLL              o other bitness only
VARIANTS = ["slna", "slnr", "slnf", "slnh", "slne", "slnc", "slnz", "slns", "slnq", "slnx", "slnb", "slnu",
            "slnl", "slnk", "slng", "slnd", "slnv", "slni", "slnj", "sln2", "sln3", "sln4", "sln5", "sln6",
            "sln7"]
BEHAVIOUR = {
    "SELNARY_COMPRESSOR_FAULT": "slnf:open slnh:hang slnz:compress", "SELNARY_COMPRESSOR_BITS": "slnr:24",
    "SELNARY_COMPRESSOR_OPEN": "slnx:refuse", "SELNARY_COMPRESSOR_QUERY": "slnq:-123",
    "SELNARY_COMPRESSOR_CODEC": "slne:exact slnc:oneway slnv:flip", "SELNARY_COMPRESSOR_TEXT": "slni:unicode",
    "SELNARY_COMPRESSOR_STREAM": "slnj:inter sln2:delay sln3:bframes sln4:late sln5:counted",
    "SELNARY_COMPRESSOR_MISBEHAVE": "slns:stdout slnb:bigformat slnu:errformat slnl:unterminated slnk:exit "
                                    "slng:msgbox slnd:chdir sln6:scribble sln7:forget"}
# What each round trip's clip shows of the frame count announced before it began.
STREAMS = {"slnj", "sln2", "sln3", "sln4", "sln5"}


def install(wine, arch, compressor, needy, helper, foreign):
    """Every variant, in one registry import: what reg.exe costs is a process start."""
    folder = prefixes.system_folder(wine.env["WINEPREFIX"], arch)
    (folder / "slnt.dll").write_text("not a DLL\n")
    prefixes.install_compressors(wine, arch, {**dict.fromkeys(VARIANTS, compressor), "slnm": None, "slnn": needy,
                                              "slnw": foreign, "slnp": helper, "slnt": None})
    testing.install_compressor(wine, compressor, "x64" if arch == "x86" else "x86", "slno")


def examine(document, table, bits, timeout):
    """What the JSON and the table must say; returns the problems found."""

    other_bits = 96 - bits
    problems = []

    fields = {"index", "code", "driver", "description", "outcome", "problem", "step", "opens",
              "accepts_probe", "query_result", "proposed", "configure", "about", "reason",
              "driver_path", "missing_dll", "round_trip", "recording"}
    trip_fields = {"worked", "frames_info", "calls", "calls_before_first_frame", "key_frame_marked",
                   "compressed_bytes", "delta_frame_bytes", "ratio", "ms_per_frame", "decompressor",
                   "output_bit_count", "frames", "lag_frames", "exact", "psnr_db", "looks", "psnr_db_by_frame"}
    if set(document) != {"bits", "probe", "compressors", "other_bitness", "answered", "faulted_or_hung"}:
        problems.append(f"top-level fields {sorted(document)}")
    if document["bits"] != bits:
        problems.append(f"bits {document['bits']}")
    if document["probe"] != {"width": 256, "height": 256, "bit_count": 32, "compression": "BI_RGB"}:
        problems.append(f"probe {document['probe']}")
    rows = {row["code"]: row for row in document["compressors"]}
    for row in document["compressors"]:
        if set(row) != fields:
            problems.append(f"{row.get('code')}: fields {sorted(row)}")
        if row["round_trip"] is not None and set(row["round_trip"]) != trip_fields:
            problems.append(f"{row['code']}: round_trip fields {sorted(row['round_trip'])}")
        if row["reason"] is None and row["outcome"] != "answered":
            problems.append(f"{row['code']}: reason {row['reason']} for outcome {row['outcome']}")
    if [row["index"] for row in document["compressors"]] != list(range(len(rows))):
        problems.append("rows not in enumeration order")

    # code: (outcome, opens, accepts, reason code or None, what the reason or problem says).
    other_machine = "64-bit x64 programs" if bits == 32 else "32-bit x86 programs"
    expected = {
        "slna": ("answered", True, True, None, None),
        "slnr": ("answered", True, False, "rejects_probe", "ICCompressQuery answered ICERR_BADFORMAT (-2)"),
        "slnf": ("faulted", False, False, "faulted", "faulted when opened (exception "),
        "slnh": ("hung", False, False, "hung", f"no answer in {timeout} s when opened"),
        "slne": ("answered", True, True, None, None),
        "slnc": ("answered", True, True, "no_decompressor", "cannot decompress its own output, and no installed decompressor takes it"),
        "slnz": ("faulted", False, False, "faulted", "faulted while compressing (exception 0x"),
        "slns": ("answered", True, True, None, None),
        "slnq": ("answered", True, False, "rejects_probe", "ICCompressQuery answered -123"),
        "slnx": ("answered", False, False, "refused_open", "it refused to open for compression"),
        "slnb": ("answered", True, True, "no_format", "says the format it proposes needs 2147483632 bytes"),
        "slnu": ("answered", True, True, "no_format", "it answered ICERR_UNSUPPORTED (-1)"),
        "slnl": ("answered", True, True, None, None),
        "slnk": ("faulted", False, False, "ended_process", "ended the process when asked about the probe format (status 7)"),
        "slng": ("hung", False, False, "hung", f'no answer in {timeout} s when asked about the probe format, showing a window titled "slng asks"'),
        "slnd": ("answered", True, True, None, None),
        "slnv": ("answered", True, True, None, None),
        "slni": ("answered", True, True, None, None),
        "slnj": ("answered", True, True, None, None),
        "sln2": ("answered", True, True, None, None),
        "sln3": ("answered", True, True, None, None),
        "sln4": ("answered", True, True, None, None),
        "sln5": ("answered", True, True, None, None),
        "sln6": ("answered", True, True, "input_overwritten", "it writes into the frames it is given: frame 1 of 8 was "
                 "not as it was sent"),
        "sln7": ("answered", True, True, "settings_lost", "its state (ICGetState, 12 bytes) after ICCompressEnd"),
        "slnm": ("answered", False, False, "driver_not_found", "its driver file slnm.dll is not found: the platform looks in the program's folder, C:\\windows\\"),
        "slnn": ("answered", False, False, "missing_dll", "it needs slnyhelp.dll, which is not found"),
        "slnw": ("answered", False, False, "wrong_bitness", f"is a DLL for {other_machine}, not for {bits}-bit programs"),
        "slnp": ("answered", False, False, "no_driverproc", "exports no DriverProc"),
        "slnt": ("answered", False, False, "not_a_dll", "slnt.dll is not a DLL"),
    }
    for code, (outcome, opens, accepts, reason, says) in expected.items():
        row = rows.get(code)
        if not row:
            problems.append(f"{code}: no row")
            continue
        got = (row["outcome"], row["opens"], row["accepts_probe"], (row["reason"] or {}).get("code"))
        if got != (outcome, opens, accepts, reason):
            problems.append(f"{code}: {got}, expected {(outcome, opens, accepts, reason)}")
        text = (row["reason"] or {}).get("text") or ""
        if says and says not in text:
            problems.append(f"{code}: reason {text!r}, expected it to say {says!r}")
        if outcome != "answered" and row["problem"] != text:
            problems.append(f"{code}: problem {row['problem']!r} and reason {text!r} differ")
        if row["driver"].lower() != f"{code}.dll":
            problems.append(f"{code}: driver {row['driver']!r}")
        mine = f"selnary {'Grüße 日本' if code == 'slni' else 'test compressor'} ({bits}-bit, {code})"
        if opens and row["description"] != ("D" * 128 if code == "slnl" else mine):
            problems.append(f"{code}: description {row['description']!r}")
        if opens and (not row["configure"] or row["about"]):
            problems.append(f"{code}: configure {row['configure']}, about {row['about']}")

    # The steps a fault or hang was at, by their stable names.
    for code, step in {"slnf": "open", "slnh": "open", "slnz": "compress", "slnk": "query", "slng": "query"}.items():
        if code in rows and rows[code]["step"] != step:
            problems.append(f"{code}: step {rows[code]['step']!r}, expected {step!r}")
    if rows.get("slnq", {}).get("query_result") != {"value": -123, "name": None}:
        problems.append(f"slnq: query_result {rows.get('slnq', {}).get('query_result')}")
    if rows.get("slnn", {}).get("missing_dll") != "slnyhelp.dll":
        problems.append(f"slnn: missing_dll {rows.get('slnn', {}).get('missing_dll')!r}")
    if not (rows.get("slnw", {}).get("driver_path") or "").lower().endswith("slnw.dll"):
        problems.append(f"slnw: driver_path {rows.get('slnw', {}).get('driver_path')!r}")

    # The round trips of the 8-frame clip: (proposed bits, key frame bytes, delta frame bytes or
    # None where every frame is a key frame, lag, calls before the first frame, calls, exact, looks,
    # the clip's compressed bytes). The inter-frame ones send a 24-bit key frame, then the picture's
    # shift and one run of unchanged bytes: 10 bytes; the one with B-frames packs an anchor and a
    # B-frame (25 bytes), then a B-frame (11) and a 6-byte frame that shows the anchor, and two
    # one-byte skip frames first.
    lossy = (16, 131072, None, 0, 0, 8, False, None, 8 * 131072)
    inter = 196608 + 7 * 10
    trips = {"slna": lossy, "slns": lossy, "slnl": lossy, "slnd": lossy, "slni": lossy, "sln6": lossy,
             "sln7": lossy, "slne": (24, 196608, None, 0, 0, 8, True, None, 8 * 196608),
             "slnv": (24, 196608, None, 0, 0, 8, False, "upside down", 8 * 196608),
             "slnj": (24, 196608, 10, 0, 0, 8, True, None, inter), "sln2": (24, 196608, 10, 2, 2, 10, True, None, inter),
             "sln3": (24, 196608, 15.6, 2, 0, 10, True, None, 196608 + 2 + 3 * 25 + 2 * 11 + 2 * 6),
             "sln4": (24, 196608, 10, 1, 0, 9, True, None, inter), "sln5": (24, 196608, 10, 2, 2, 10, True, None, inter)}
    for code, (proposed, size, delta, lag, before, calls, exact, looks, clip_bytes) in trips.items():
        row, trip = rows.get(code, {}), rows.get(code, {}).get("round_trip") or {}
        if row.get("proposed") != {"compression": code, "bit_count": proposed}:
            problems.append(f"{code}: proposed {row.get('proposed')}")
        if not trip.get("worked") or trip.get("decompressor") != code or trip.get("output_bit_count") != 32:
            problems.append(f"{code}: round trip {trip}")
            continue
        got = (trip["frames"], trip["compressed_bytes"], trip["delta_frame_bytes"], trip["lag_frames"],
               trip["calls_before_first_frame"], trip["calls"], trip["key_frame_marked"], trip["exact"], trip["looks"])
        if got != (8, size, delta, lag, before, calls, True, exact, looks):
            problems.append(f"{code}: round trip {trip}, expected 8 frames, a marked key frame of {size} bytes, "
                            f"delta frames {delta}, lag {lag} after {before} calls, {calls} calls, exact {exact}, "
                            f"looks {looks}")
        if abs(trip["ratio"] - 8 * 262144 / clip_bytes) > 0.001 or not trip["ms_per_frame"] > 0:
            problems.append(f"{code}: ratio {trip['ratio']}, {trip['ms_per_frame']} ms")
        # Frame by frame, the lowest of them the round trip's.
        by_frame = trip["psnr_db_by_frame"]
        if len(by_frame) != 8 or min((db for db in by_frame if db is not None), default=None) != trip["psnr_db"]:
            problems.append(f"{code}: frame by frame {by_frame}, at worst {trip['psnr_db']}")
        # Told the clip's frame count: the inter-frame coders take it, the others do not.
        told = {"value": 0, "name": "ICERR_OK"} if code in STREAMS else {"value": -1, "name": "ICERR_UNSUPPORTED"}
        if trip["frames_info"] != told:
            problems.append(f"{code}: frames_info {trip['frames_info']}, expected {told}")
        # RGB 5:6:5 of this clip measures 39.6 dB at worst; the upside-down frames far less.
        psnr = trip["psnr_db"]
        if exact != (psnr is None) or (code in ("slna", "slnv") and not (psnr < 15 if looks else 38 < psnr < 43)):
            problems.append(f"{code}: PSNR {psnr}")
    for code in ("slnr", "slnq", "slnx", "slnm", "slnb"):
        if rows.get(code, {}).get("round_trip") is not None:
            problems.append(f"{code}: a round trip {rows[code]['round_trip']}, expected none")
    # Nothing decompresses it: what compressing showed, all the same.
    oneway = rows.get("slnc", {}).get("round_trip") or {}
    if (oneway.get("worked"), oneway.get("compressed_bytes"), oneway.get("key_frame_marked"),
            oneway.get("calls_before_first_frame"), oneway.get("lag_frames")) != (False, 196608, True, 0, None):
        problems.append(f"slnc: round trip {oneway}")
    for code in ("mrle", "msvc", "cvid"):
        if code in rows and (rows[code]["reason"] or {}).get("code") != "rejects_probe":
            problems.append(f"{code} (Wine's own): reason {rows[code]['reason']}")

    if document["other_bitness"] != [{"code": "slno", "driver": "slno.dll", "bits": other_bits, "reason": {
            "code": "other_bitness",
            "text": f"installed for {other_bits}-bit programs only: use the {'x64' if other_bits == 64 else 'x86'} program"}}]:
        problems.append(f"other_bitness {document['other_bitness']}")
    if "slno" in rows:
        problems.append("the compressor registered only for the other bitness is examined")
    if (document["answered"], document["faulted_or_hung"]) != (len(rows) - 5, 5):
        problems.append(f"counts {document['answered']}, {document['faulted_or_hung']}")

    # The table says the same in 100 columns: each row's cells, and under it the
    # reason, the problem, or the round trip.
    for number, line in enumerate(table, 1):
        if len(line) > 100:
            problems.append(f"table line {number} has {len(line)} columns: {line!r}")
    starts = [i for i, line in enumerate(table) if line[:4] in rows]
    for row in document["compressors"]:
        at = next((i for i in starts if table[i][:4] == row["code"]), None)
        if at is None:
            problems.append(f"table: no row for {row['code']}")
            continue
        cells = [cell.strip() for cell in re.split(r"  +", table[at])]
        detail = []
        for line in table[at + 1:]:
            if not line.startswith("      ") or not line.strip():
                break
            detail.append(line.strip())
        detail = " ".join(detail)
        if row["outcome"] == "answered":
            want = [row["code"], row["driver"], "yes" if row["opens"] else "no",
                    ("yes" if row["accepts_probe"] else "no") if row["opens"] else "-"]
            if [cells[0]] + cells[2:5] != want or not (row["description"] or "?").startswith(cells[1].rstrip("~")):
                problems.append(f"table: {cells[:5]}, JSON: {row['description']!r}, {want}")
        wanted = (row["reason"] or {}).get("text") or ""
        trip = row["round_trip"]
        # A frame count it did not take is said under a round trip, whatever came of it.
        refused = trip and trip["frames_info"] and trip["frames_info"]["value"] != 0
        if trip and ("(ICM_COMPRESS_FRAMES_INFO) answered" in detail) != bool(refused):
            problems.append(f"table: under {row['code']}: {detail!r}, frames_info {trip['frames_info']}")
        if trip and not trip["worked"] and trip["compressed_bytes"] is not None:
            if not (detail.startswith(f"compressed only: key frame 262144 -> {trip['compressed_bytes']} bytes, ")
                    and detail.endswith(wanted)):
                problems.append(f"table: under {row['code']}: {detail!r}, expected what compressing showed, "
                                f"then {wanted!r}")
        elif trip and trip["worked"]:
            # The key frame, the delta frames and the lag in words.
            wanted = f"round trip of 8 frames: key frame 262144 -> {trip['compressed_bytes']} bytes, "
            wanted += (f"delta frames {trip['delta_frame_bytes']:.0f} bytes on average"
                       if trip["delta_frame_bytes"] is not None else "every frame a key frame")
            lag = trip["lag_frames"]
            lag = f"its output {lag} frame{'s' if lag > 1 else ''} behind its input" if lag else "no lag"
            if (not detail.startswith(wanted) or ("exact" in detail) != trip["exact"]
                    or f"; {lag}, " not in detail):
                problems.append(f"table: {row['code']} says {detail!r}, expected it to start {wanted!r} "
                                f"and say {lag!r}")
        elif detail != wanted:
            problems.append(f"table: under {row['code']}: {detail!r}, JSON: {wanted!r}")
    if not any(line.startswith("slno ") and "use the" in line for line in table):
        problems.append("table: no line for the other bitness's slno")

    return problems


def recordings(document, folder, ffprobe):
    """Every recording the report saved, as ffprobe reads it, and the clip it
    was given, uncompressed. Returns the problems found."""
    problems = []
    found = testing.probed_all(ffprobe, [Path(folder, row["recording"]["file"])
                                         for row in document["compressors"] if row["recording"]])
    for row in document["compressors"]:
        problems += testing.recording_problems(ffprobe, folder, row["code"], row["round_trip"] or {},
                                               row["recording"], (256, 256), row["proposed"], found)
    saved = sum(row["recording"] is not None for row in document["compressors"])
    if saved < 10:
        problems.append(f"only {saved} recordings saved")
    try:
        stream, packets = testing.probed(ffprobe, Path(folder, "source.avi"))
        if (stream["width"], stream["height"], int(stream["nb_frames"]), len(packets)) != (256, 256, 8, 8):
            problems.append(f"source.avi: {stream}, {len(packets)} packets")
    except (OSError, ValueError, KeyError, IndexError, subprocess.TimeoutExpired) as error:
        problems.append(f"source.avi: {error}")
    return problems


def test(session, prefix, arch, compressor, needy, helper, foreign):
    wine = session.fresh(prefix)
    report = session.tools.program("SELNARY_COMPRESSORS")
    bits = 32 if arch == "x86" else 64
    install(wine, arch, compressor, needy, helper, foreign)
    checks = testing.Checks(prefix)
    logs = checks.logs
    # A compressor that hangs costs the per-step limit, so it is kept short.
    timeout = str(session.tools.scaled(3))

    def run(name, *arguments):
        """The report's status, and how long it took; from a folder of no DLLs,
        as the loader looks in the current folder too."""
        started = time.monotonic()
        with open(logs / f"{name}.out", "wb") as out, open(logs / f"{name}.err", "wb") as err:
            status = wine.run(report, *arguments, seconds=120, env=BEHAVIOUR, cwd=prefix,
                              stdout=out, stderr=err).returncode
        return status, time.monotonic() - started

    def said(name, part="out"):
        return (logs / f"{name}.{part}").read_text(encoding="utf-8", errors="replace")

    # The table on a console, as a person runs it, and the JSON saved beside
    # the pictures: one run for both. A terminal gives Wine's console, set to
    # code page 437 as a Western Windows console is, so bytes meant as UTF-8
    # would show as other characters there.
    saved = logs / "saved"
    console = logs / "console.log"
    command = shlex.join(wine.command("cmd", "/c", f"chcp 437 >nul & {windows_path(report)} --timeout {timeout} "
                                                   f"--save {windows_path(saved)}"))
    started = time.monotonic()
    with open(logs / "table.err", "wb") as err:
        status = subprocess.run(["timeout", str(session.tools.scaled(120)), "script", "-qec",
                                 f"stty cols 200 rows 50; {command}", console],
                                env={**wine.env, **BEHAVIOUR, "LC_ALL": "C.UTF-8"}, cwd=prefix,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err).returncode
    seconds = time.monotonic() - started
    table = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", console.read_bytes().decode("utf-8", errors="replace"))
    table = [line for line in table.replace("\r", "").splitlines() if not re.match(r"Script (started|done) on ", line)]
    (logs / "table.out").write_text("\n".join(table) + "\n", encoding="utf-8")
    document = saved / "report.json"
    checks.check(status == 3, f"exit status {status}, expected 3 (a complete report, some faulted or hung)",
                 logs / "table.out", logs / "table.err")
    # Every other row, two hangs' limits, and a few process starts at most.
    checks.check(seconds < session.tools.scaled(40), f"the report took {seconds:.0f} s", logs / "table.out")
    # What a compressor writes to its standard handles reaches neither of the report's.
    checks.check("index=0" not in said("table", "err") and "index=0" not in said("table"),
                 "a compressor's output reached the report's standard output or error", logs / "table.err")

    try:
        read = json.loads(document.read_text(encoding="utf-8"))
        for problem in examine(read, table, bits, timeout):
            checks.fail(problem, document, logs / "table.out")
        checks.check(session.tools.ffprobe, "ffprobe was not found (Debian: ffmpeg)")
        for problem in recordings(read, saved, session.tools.ffprobe) if session.tools.ffprobe else []:
            checks.fail(problem, document, saved)
    except (OSError, ValueError, KeyError, TypeError, IndexError) as error:
        checks.fail(f"the report cannot be read ({error!r})", document, logs / "table.err")

    # Help, asked either way, says what the program does, its options and exit statuses.
    for asked in ("--help", "/?"):
        status, _ = run("help", asked)
        checks.check(status == 0, f"{asked}: exit status {status}", said("help", "err"))
        for says in ("--json", "--timeout", "Exit status", "why the others do not"):
            checks.check(says in said("help"), f"{asked} does not mention '{says}'", said("help"))

    # A usage error says what was wrong, then how to use it.
    status, _ = run("bogus", "--json", "--bogus")
    checks.check(status == 2, f"--bogus: exit status {status}, expected 2", logs / "bogus.err")
    checks.check(said("bogus", "err").startswith("selnary-compressors: unknown option --bogus\nusage: "),
                 "--bogus: not the usage error expected", logs / "bogus.err")

    # No video compressor at all, in either view: a complete, empty report.
    system_ini = Path(prefix, "drive_c/windows/system.ini")
    system_ini.write_text(re.sub(r"(?im)^vidc\.", ";vidc.", system_ini.read_text()))
    for view in ("32", "64"):
        wine.reg("delete", testing.DRIVERS32, "/va", f"/reg:{view}", "/f")
    status, _ = run("empty", "--json")
    try:
        empty = json.loads(said("empty"))
        checks.check(empty["compressors"] == [] and empty["other_bitness"] == [],
                     "with no compressor installed, compressors listed", logs / "empty.out")
    except (ValueError, KeyError, TypeError):
        checks.fail("with no compressor installed: the report cannot be read", logs / "empty.out")
    checks.check(status == 0, f"with no compressor installed: exit status {status}, expected 0",
                 logs / "empty.err", logs / "empty.out")

    print(said("table"), end="")
    print(f"[report] status 3 after {seconds:.0f} s")
    return checks.result()


testing.main(test)
