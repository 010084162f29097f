"""--play with files nobody here wrote: AVIs that ffmpeg makes of a clip
whose frames differ, played by Wine's own decompressors in a prefix as Wine
makes it, each compared frame by frame with ffmpeg's decoding of the same
file; a file nothing installed takes, one whose only decompressor is for the
other bitness, one whose decompressor's DLL is missing, one that makes its
decompressor crash; every bad input there is, each one line and its status;
and a run of deterministic mutations of a valid file, each answered within
the limit, with no process left behind.
    play_test.py TOOLS PREFIX ARCH COMPRESSOR_DLL"""

import concurrent.futures
import json
import struct
import subprocess
import time
from pathlib import Path

import testing
import winesession
from winesession import prefixes, windows_path

SIZE = 256
FRAMES = 30
# The clip: a test card that moves, so that no frame is another's.
CLIP = f"testsrc=size={SIZE}x{SIZE}:rate=30"
# The test compressor: slnf faults while decompressing, slnh never returns
# from it; slnm is registered with no file.
BEHAVIOUR = {"SELNARY_COMPRESSOR_FAULT": "slnf:decompress slnh:stall"}
# Statuses --play documents: plays, some decompressor faulted or hung, none plays, unreadable.
STATUSES = {0, 3, 4, 5}


def make(ffmpeg, path, *options, source=CLIP):
    subprocess.run([ffmpeg, "-v", "error", "-y", "-f", "lavfi", "-i", source, *options, str(path)],
                   check=True, timeout=120)
    return path


def chunks(data):
    """Every chunk of a RIFF file, (id, offset of its header, size), lists entered."""
    found, stack = [], [(0, len(data))]
    while stack:
        at, end = stack.pop()
        while at + 8 <= end:
            code, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
            found.append((code, at, size))
            if code in (b"RIFF", b"LIST"):
                stack.append((at + 12, min(end, at + 8 + size)))
            at += 8 + size + (size & 1)
    return sorted(found, key=lambda chunk: chunk[1])


def offset_of(data, code):
    return next(at for found, at, _ in chunks(data) if found == code)


def retagged(data, code):
    """The file with its video stream's handler and compression both CODE."""
    changed = bytearray(data)
    changed[offset_of(data, b"strh") + 12:offset_of(data, b"strh") + 16] = code.encode()
    changed[offset_of(data, b"strf") + 24:offset_of(data, b"strf") + 28] = code.encode()
    return bytes(changed)


def put(data, offset, value):
    changed = bytearray(data)
    struct.pack_into("<I", changed, offset, value & 0xFFFFFFFF)
    return bytes(changed)


def mutations(data):
    """Deterministic mutations of a valid file, each (name, bytes): every
    word of its main, stream and format headers and of its first index
    entries set to hostile values, each header chunk's size and the first
    frames' made wrong, and cuts at offsets spread over the file."""
    found = []
    index = offset_of(data, b"idx1")
    words = [(offset_of(data, code) + 8, length) for code, length in ((b"avih", 56), (b"strh", 56), (b"strf", 40))]
    for start, length in [*words, (index + 8, 48)]:
        for offset in range(start, start + length, 4):
            for value in (0, 0xFFFFFFFF, 0x80000000):
                found.append((f"word at {offset} = {value:#x}", put(data, offset, value)))
    sized = [chunk for chunk in chunks(data) if chunk[0] != b"00dc"] + \
        [chunk for chunk in chunks(data) if chunk[0] == b"00dc"][:3]
    for code, at, size in sized:
        for value in (0, size + 1, 0xFFFFFFF0):
            found.append((f"{code.decode(errors='replace')} at {at} sized {value:#x}", put(data, at + 4, value)))
    for i in range(30):
        cut = len(data) * i // 30
        found.append((f"cut at {cut}", data[:cut]))
    return found


def frames_of(ffmpeg, path):
    """Every frame ffmpeg decodes from path, as 24-bit RGB."""
    raw = subprocess.run([ffmpeg, "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, check=True, timeout=120).stdout
    size = SIZE * SIZE * 3
    return [raw[i:i + size] for i in range(0, len(raw), size)]


def test(session, prefix, arch, compressor):
    wine = session.fresh(prefix)
    ffmpeg = session.tools.ffmpeg
    checks = testing.Checks(prefix)
    logs = checks.logs
    if not ffmpeg:
        checks.fail("ffmpeg was not found (Debian: ffmpeg)")
        return checks.result()
    report = session.tools.program("SELNARY_COMPRESSORS")
    bits = 32 if arch == "x86" else 64
    other = "x64" if arch == "x86" else "x86"
    # A decompressor that faults, one registered with no file, and one for
    # the other bitness only, for HuffYUV; Wine's own as they come.
    prefixes.install_compressors(wine, arch, {"slnf": compressor, "slnh": compressor, "slnm": None})
    testing.install_compressor(wine, compressor, other, "HFYU")
    timeout = str(session.tools.scaled(3))
    phases, phase_started = [], time.monotonic()

    def phase(name):
        nonlocal phase_started
        phases.append(f"{name} {time.monotonic() - phase_started:.0f} s")
        phase_started = time.monotonic()

    files = logs / "files"
    files.mkdir()

    def play(name, path, *options, seconds=60):
        """Plays path: its status, its table or JSON, its error, and how long it took."""
        started = time.monotonic()
        done = wine.run(report, "--play", windows_path(path) if isinstance(path, Path) else path, "--timeout",
                        timeout, *options, seconds=seconds, env=BEHAVIOUR, cwd=prefix, capture_output=True)
        (logs / f"{name}.out").write_bytes(done.stdout)
        (logs / f"{name}.err").write_bytes(done.stderr)
        return (done.returncode, done.stdout.decode("utf-8", errors="replace"),
                done.stderr.decode("utf-8", errors="replace"), time.monotonic() - started)

    def document(name, text):
        try:
            return json.loads(text)
        except ValueError:
            checks.fail(f"{name}: the JSON does not read", logs / f"{name}.out", logs / f"{name}.err")
            return {}

    def row(read, code):
        return next((entry for entry in read.get("decompressors", []) if entry["code"] == code), {})

    def agree(name, decoded, source, least):
        """Each frame a decompressor gave (its CODE.avi) against ffmpeg's
        decoding of the file: the lowest PSNR, None when every one is exact."""
        try:
            got, sent = frames_of(ffmpeg, decoded), frames_of(ffmpeg, source)
        except (OSError, subprocess.CalledProcessError) as error:
            checks.fail(f"{name}: its frames do not decode ({error})", decoded)
            return
        checks.check(len(got) == len(sent) == FRAMES, f"{name}: {len(got)} frames decoded, ffmpeg {len(sent)}",
                     decoded)
        measured = [testing.psnr(a, b) for a, b in zip(got, sent)]
        worst = min((db for db in measured if db is not None), default=None)
        checks.check(worst is None if least is None else worst is not None and worst >= least,
                     f"{name}: {worst} dB against ffmpeg at worst, expected "
                     f"{'exact' if least is None else f'{least} dB or more'}", decoded)
        return worst

    # The files: ffmpeg's, some of them changed, and bad ones.
    cinepak = make(ffmpeg, files / "cinepak.avi", "-frames:v", str(FRAMES), "-c:v", "cinepak")
    video1 = make(ffmpeg, files / "video1.avi", "-frames:v", str(FRAMES), "-c:v", "msvideo1", "-vtag", "CRAM")
    huffyuv = make(ffmpeg, files / "huffyuv.avi", "-frames:v", "3", "-c:v", "huffyuv")
    zmbv = make(ffmpeg, files / "zmbv.avi", "-frames:v", "3", "-c:v", "zmbv")
    no_video = make(ffmpeg, files / "audio.avi", "-c:a", "pcm_s16le", source="sine=duration=1")
    data = video1.read_bytes()
    missing, crashing, hanging = files / "missing.avi", files / "crashing.avi", files / "hanging.avi"
    missing.write_bytes(retagged(data, "slnm"))
    crashing.write_bytes(retagged(data, "slnf"))
    hanging.write_bytes(retagged(data, "slnh"))
    empty, text = files / "empty.avi", files / "text.avi"
    empty.write_bytes(b"")
    text.write_bytes(b"not a video\n" * 20)
    index = offset_of(data, b"idx1")
    first_frame = next(at for code, at, _ in chunks(data) if code == b"00dc")
    strf = offset_of(data, b"strf")
    other_bits = 96 - bits
    # Where nothing plays it, why: the only decompressor is for the other
    # bitness; nothing takes it at all; the one registered does not load;
    # it crashes. A hang costs the step limit twice (the pick, then its own
    # row): natively only. Name: (file, status, verdict, what it says).
    reasons = {
        "huffyuv": (huffyuv, 4, "other_bitness", f"a {other_bits}-bit decompressor for HFYU is installed "
                                                 f"(HFYU.dll); {bits}-bit programs such as this one cannot use it"),
        "zmbv": (zmbv, 4, "none_takes", f"no installed decompressor for {bits}-bit programs takes ZMBV"),
        "missing": (missing, 4, "not_loaded", "slnm (slnm.dll) is registered for it but does not load: its "
                                              "driver file slnm.dll is not found"),
        "crashing": (crashing, 3, "pick_faulted", "the platform's search for its decompressor faulted while "
                                                  "decompressing"),
    }
    if session.tools.slowdown == 1:
        reasons["hanging"] = (hanging, 3, "pick_hung", "the platform's search for its decompressor hung: no "
                                                       f"answer in {timeout} s while decompressing")
    # Bad input: one line on standard error that says what is wrong, and its
    # status; a file that still plays says what is wrong in its notes.
    bad = {
        "no such file": (files / "nothere.avi", 5, "no such file"),
        "a folder": (files, 5, "it is a folder, not a file"),
        "an empty file": (empty, 5, "the file is empty"),
        "not RIFF": (text, 5, "it is not a RIFF file, as AVI files are: it starts with 'not '"),
        "truncated": (data[:first_frame + 100], 5, f"it ends at byte {first_frame + 100}, inside the RIFF chunk"),
        "100,000 wide": (put(data, strf + 12, 100000), 5, "its frames are 100000 x 256 pixels: more than this "
                                                          "report plays"),
        "a 4 GiB frame": (put(data, index + 8 + 12, 0xFFFFFFF0), 5, "frame 1 is 4294967280 bytes long: more "
                                                                     "than any frame needs"),
        "no video": (no_video, 5, "it has no video stream"),
        # Wine's 32-bit AVI library writes past its memory reading it; its 64-bit one plays it.
        "2^31 frames": (put(put(data, offset_of(data, b"avih") + 8 + 16, 1 << 31),
                        offset_of(data, b"strh") + 8 + 32, 1 << 31), 5 if bits == 32 else 0,
                        "its header says 2147483648 frames, and 30 are there"),
        "a chunk past the end": (put(data, first_frame + 4, 0xFFFFFFF0), 0,
                                 f"its '00dc' chunk at byte {first_frame} says it is 4294967280 bytes, past the end "
                                 "of the 'movi' list"),
    }
    logged = {}
    for number, (name, (path, want, says)) in enumerate(bad.items()):
        logged[name] = f"bad{number}"
        if isinstance(path, bytes):
            (files / f"bad{number}.avi").write_bytes(path)
            bad[name] = (files / f"bad{number}.avi", want, says)

    # Every one played side by side: each is a process start or two, seconds under emulation.
    runs = {"cinepak": (cinepak, "--save", windows_path(logs / "cinepak")),
            "video1": (video1, "--save", windows_path(logs / "video1")),
            **{name: (path, "--json") for name, (path, *_) in reasons.items()},
            **{logged[name]: (path, "--json") for name, (path, *_) in bad.items()}}
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        played = dict(zip(runs, pool.map(lambda name: play(name, *runs[name]), runs)))
    phase("playing the files")

    # Cinepak, by Wine's own decompressor, which the platform picks: its
    # frames agree with ffmpeg's to about 61 dB.
    saved = logs / "cinepak"
    status, table, err, _ = played["cinepak"]
    read = document("cinepak", (saved / "play.json").read_text() if (saved / "play.json").exists() else "")
    checks.check(status == 0, f"cinepak: exit status {status}, expected 0", logs / "cinepak.err")
    pick = read.get("pick") or {}
    checks.check((pick.get("code"), pick.get("driver"), (read.get("verdict") or {}).get("code")) ==
                 ("cvid", "iccvid.dll", "plays"), f"cinepak: the pick {pick}, verdict {read.get('verdict')}",
                 saved / "play.json")
    lines = table.splitlines()
    checks.check("cvid (iccvid.dll) plays it" in table and lines[1:2] == [windows_path(cinepak)] and
                 all(len(line) <= 100 for line in lines[:1] + lines[2:]),
                 "cinepak: the table does not say who plays it in 100 columns, its path whole", logs / "cinepak.out")
    decoded = (pick.get("decoded") or {})
    checks.check((decoded.get("frames"), decoded.get("failed_at"), decoded.get("delay_frames"),
                  decoded.get("changes")) == (FRAMES, None, 0, True), f"cinepak: decoded {decoded}", saved / "play.json")
    cinepak_db = agree("cinepak", saved / "cvid.avi", cinepak, 55)
    checks.check((saved / "cvid.bmp").exists(), "cinepak: its first picture was not saved", saved)

    # MS Video 1 tagged CRAM: nothing is registered under that code, so the
    # platform finds Wine's, registered as msvc, which says CRAM when asked.
    # Its own 16-bit RGB is ffmpeg's exactly; asked for 24 bits it disagrees.
    saved = logs / "video1"
    status, table, err, _ = played["video1"]
    read = document("video1", (saved / "play.json").read_text() if (saved / "play.json").exists() else "")
    checks.check(status == 0, f"video1: exit status {status}, expected 0", logs / "video1.err")
    pick = read.get("pick") or {}
    checks.check((pick.get("code"), pick.get("says"), pick.get("driver")) == ("msvc", "CRAM", "msvidc32.dll"),
                 f"video1: the pick {pick}", saved / "play.json")
    checks.check("it says CRAM when asked, and is registered as msvc" in (read.get("verdict") or {}).get("text", ""),
                 f"video1: verdict {read.get('verdict')}", saved / "play.json")
    decoded = (pick.get("decoded") or {})
    rgb24 = decoded.get("rgb24") or {}
    checks.check(decoded.get("output_bit_count") == 16 and rgb24.get("psnr_db") is not None and rgb24["psnr_db"] < 30
                 and rgb24.get("looks") == "with red and blue swapped" and rgb24.get("swapped_back_db") is not None,
                 f"video1: its depths {decoded}", saved / "play.json")
    checks.check("at 24 bits it disagrees with itself" in table, "video1: the table does not name the disagreement",
                 logs / "video1.out")
    agree("video1", saved / "msvc.avi", video1, None)
    checks.check(row(read, "msvc").get("picked") and not row(read, "cvid").get("takes"),
                 "video1: the rows do not say which takes it", saved / "play.json")

    for name, (path, want, verdict, says) in reasons.items():
        status, out, err, _ = played[name]
        read = document(name, out)
        got = read.get("verdict") or {}
        checks.check(status == want and got.get("code") == verdict and says in got.get("text", ""),
                     f"{name}: status {status}, verdict {got}; expected {want}, {verdict}: {says}",
                     logs / f"{name}.out", logs / f"{name}.err")
        if name == "huffyuv":
            checks.check([entry["code"] for entry in read.get("other_bitness", [])] == ["HFYU"],
                         f"huffyuv: other bitness {read.get('other_bitness')}", logs / f"{name}.out")
        if name in ("crashing", "hanging"):
            ended = row(read, "slnf" if name == "crashing" else "slnh")
            expected = "faulted" if name == "crashing" else "hung"
            checks.check((ended.get("outcome"), ended.get("step")) == (expected, "decompress"),
                         f"{name}: its row {ended}", logs / f"{name}.out")

    for name, (path, want, says) in bad.items():
        status, out, err, seconds = played[logged[name]]
        lines = err.strip().splitlines()
        if want == 5:
            ok = status == 5 and len(lines) == 1 and says in lines[0] and not out
            if name == "2^31 frames":
                ok = ok and "the platform's AVI library" in lines[0]
        else:
            ok = status == want and says in ((document(logged[name], out).get("movie") or {}).get("notes") or "")
        checks.check(ok, f"{name}: status {status}, said {err.strip()!r}; expected {want} and {says!r}",
                     logs / f"{logged[name]}.out", logs / f"{logged[name]}.err")
    checks.check(sorted(path.name for path in files.iterdir() if not path.name.startswith("bad")) ==
                 sorted(["cinepak.avi", "video1.avi", "huffyuv.avi", "zmbv.avi", "missing.avi", "crashing.avi",
                         "hanging.avi", "audio.avi", "empty.avi", "text.avi"]), "playing wrote into the files' folder",
                 files)
    phase("comparing")

    # Mutations of a valid file, each answered in time, its first frames
    # played: the reader is what they try. Under emulation a process start
    # costs seconds: a deterministic few of them there, as a check that the
    # limits hold; what they try is the same code as natively.
    mutated = mutations(data)
    mutated = mutated if session.tools.slowdown == 1 else mutated[::40]
    (files / "mutations").mkdir()
    limit = session.tools.scaled(30)

    def one(item):
        number, (name, changed) = item
        path = files / "mutations" / f"{number}.avi"
        path.write_bytes(changed)
        started = time.monotonic()
        done = wine.run(report, "--play", windows_path(path), "--json", "--frames", "5", "--timeout", timeout,
                        seconds=60, env=BEHAVIOUR, cwd=prefix, capture_output=True)
        return name, done.returncode, done.stdout, done.stderr, time.monotonic() - started

    seen, slowest, told = {}, 0.0, []
    # Two at a time: about a core, the other left to the other bitness's suite beside it.
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for name, status, out, err, seconds in pool.map(one, enumerate(mutated)):
            told.append(f"{seconds:5.1f} s  status {status}  {name}: {err.decode(errors='replace').strip()}\n")
            seen[status] = seen.get(status, 0) + 1
            slowest = max(slowest, seconds)
            answered = (status == 5 and len(err.decode(errors="replace").strip().splitlines()) == 1) or (
                status in (0, 3, 4) and out.strip().startswith(b"{"))
            checks.check(answered and seconds < limit, f"mutation {name}: status {status} after {seconds:.1f} s, "
                         f"said {err.decode(errors='replace').strip()!r}")
    (logs / "mutations.log").write_text("".join(told))
    checks.check(not testing.running(session.env[winesession.processes.TAG], "selnary-compressors.exe"),
                 "a playing process was left running after the mutations")
    checks.check(set(seen) <= STATUSES, f"mutations: statuses {seen}")

    phase("mutations")
    print(f"[play] cinepak {cinepak_db} dB against ffmpeg at worst; {len(mutated)} mutations, statuses "
          f"{dict(sorted(seen.items()))}, the slowest {slowest:.1f} s; {', '.join(phases)}")
    return checks.result()


testing.main(test)
