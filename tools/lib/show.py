#!/usr/bin/env python3
"""Shows a built selnary.exe under Wine: run.sh's second half, and what the
tests run as a user would.
    show.py BUILD_DIR ARCH PICTURE

With a DISPLAY the chooser appears there and this ends, with the program's
status, when it is closed. Without one it runs on a virtual display, prints
the compressors the chooser offers, saves a picture with the list open,
presses Cancel, and prints what each compressor answers about the probe
format (selnary-compressors.exe), also when the chooser failed. Where a
compressor gave frames back, one picture shows them beside the source frame,
each with its code and result underneath. Where ffmpeg is installed, it
then plays a file ffmpeg makes (--play) and shows its first frame as each
decompressor that plays it and as ffmpeg decode it.

WINEPREFIX, when set, names a prefix of your own to use as it is (its
installed compressors); nothing is created in it and nothing set in it
outlasts the run. Without it the program runs in a fresh prefix under the
build's folder for prefixes (build/wine/ through the presets)."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import winesession

DECORATED = r"HKCU\Software\Wine\X11 Driver"


def report(session, picture):
    """What every compressor of this bitness answers about the probe format,
    each asked in a process of its own, so that a faulty one costs its row only;
    and the picture of what came back, beside the chooser's."""
    print(flush=True)
    frames = Path(picture).with_name(Path(picture).stem + "-frames")
    shutil.rmtree(frames, ignore_errors=True)  # a picture of the last run's compressors would mislead
    status = session.wine.run(session.tools.program("SELNARY_COMPRESSORS"), "--timeout",
                              session.tools.scaled(10), "--save", winesession.windows_path(frames),
                              seconds=120).returncode
    if status not in (0, 3):
        print(f"warning: selnary-compressors.exe could not report (status {status})", file=sys.stderr)
        return
    recorded = sorted(path.name for path in frames.glob("*.avi"))
    if recorded:
        print(f"Recordings of the clip, as given and as each compressor gave it back (AVI, {len(recorded)}): "
              f"{frames}/ ({', '.join(recorded)})")
    shown = montage(session.tools, frames, frames.with_suffix(".png"))
    if shown:
        print(f"Picture of what {shown} gave back, beside the source frame: {frames.with_suffix('.png')}")


def played(session, picture):
    """A file nobody here wrote, played as a person's own would be (--play):
    an MS Video 1 clip that ffmpeg makes, tagged CRAM, which no decompressor
    is registered under; its table, and its first picture by each
    decompressor that plays it beside ffmpeg's, in one picture."""
    tools = session.tools
    if not tools.ffmpeg:
        return
    folder = Path(picture).with_name(Path(picture).stem + "-played")
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    movie = folder / "video1.avi"
    made = subprocess.run([tools.ffmpeg, "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=256x256:rate=30",
                           "-frames:v", "8", "-c:v", "msvideo1", "-vtag", "CRAM", str(movie)],
                          capture_output=True, text=True, timeout=60)
    if made.returncode != 0:
        print(f"warning: ffmpeg made no file to play ({made.stderr.strip()})", file=sys.stderr)
        return
    print(f"\nPlaying {movie.name}, MS Video 1 made by ffmpeg and tagged CRAM:", flush=True)
    status = session.wine.run(tools.program("SELNARY_COMPRESSORS"), "--play", winesession.windows_path(movie),
                              "--timeout", tools.scaled(10), "--save", winesession.windows_path(folder),
                              seconds=120).returncode
    try:
        rows = json.loads((folder / "play.json").read_text())["decompressors"]
    except (OSError, ValueError, KeyError):
        print(f"warning: selnary-compressors.exe --play could not report (status {status})", file=sys.stderr)
        return
    tiles = []
    theirs = decoded_by_ffmpeg(tools, movie)
    if theirs:
        tiles += ["-label", "decoded by ffmpeg", theirs]
    codes = [row["code"] for row in rows if (folder / f"{row['code']}.bmp").is_file()]
    for code in codes:
        tiles += ["-label", f"{code}: its first picture", folder / f"{code}.bmp"]
    if codes and tiles_picture(tools, tiles, folder.with_suffix(".png")):
        print(f"Picture of the first frame as {', '.join(codes)} and ffmpeg decode it: {folder.with_suffix('.png')}")


def result(row):
    """What a compressor's round trip came to, in a few words."""
    figures = row.get("round_trip") or {}
    if figures.get("worked") and not row.get("reason"):
        looks = f", {figures['looks']}" if figures.get("looks") else ""
        return "exact" if figures["exact"] else f"{figures['psnr_db']:.1f} dB{looks}"
    return (row.get("reason") or {}).get("code", "failed").replace("_", " ")


def decoded_by_ffmpeg(tools, recording):
    """The first frame of a recording as ffmpeg, a decoder no one here wrote,
    decodes it, as a picture beside it; None where ffmpeg does not know the
    format (as for the test compressors) or is not installed."""
    if not tools.ffmpeg or not recording.is_file():
        return None
    picture = recording.with_name(recording.stem + "-ffmpeg.png")
    done = subprocess.run([tools.ffmpeg, "-v", "quiet", "-y", "-i", str(recording), "-frames:v", "1", str(picture)],
                          capture_output=True, timeout=60)
    return picture if done.returncode == 0 and picture.is_file() else None


def montage(tools, frames, out):
    """The source frame and each frame that came back, with its difference
    where it is lossy and, where ffmpeg decodes the recording, ffmpeg's own
    first frame, in one picture, labelled; which compressors, in words, or
    None where none gave a frame back."""
    try:
        rows = json.loads((frames / "report.json").read_text())["compressors"]
    except (OSError, ValueError, KeyError):
        return None
    tiles, codes = ["-label", "source", frames / "source.bmp"], []
    for row in rows:
        code = row["code"]
        back, difference = frames / f"{code}.bmp", frames / f"{code}-difference.bmp"
        if back.is_file():
            codes.append(code)
            tiles += ["-label", f"{code}: {result(row)}", back]
            if difference.is_file():
                tiles += ["-label", f"{code}: difference x8", difference]
            theirs = decoded_by_ffmpeg(tools, frames / f"{code}.avi")
            if theirs:
                tiles += ["-label", f"{code}: decoded by ffmpeg", theirs]
    if not codes or not tiles_picture(tools, tiles, out):
        return None
    return ", ".join(codes)


def tiles_picture(tools, tiles, out):
    """TILES (-label TEXT FILE ...) in one picture OUT; whether it was made."""
    program = Path(tools.picture).with_name("montage")  # ImageMagick's, beside import
    done = subprocess.run([program, *map(str, tiles), "-tile", "4x", "-geometry", "+6+6", out],
                          capture_output=True, text=True)
    if done.returncode != 0:
        print(f"warning: no picture of the frames ({program}: {done.stderr.strip()})", file=sys.stderr)
    return done.returncode == 0


def show(session, arch, picture):
    exe, title = session.tools.program("SELNARY"), f"selnary ({arch})"
    own = os.environ.get("WINEPREFIX")
    headless = not os.environ.get("DISPLAY")
    if own:
        wine = session.own(own, display=headless)
        if session.owns_server == "shared":
            print(f"Using the wineserver already running for {wine.env['WINEPREFIX']}; it is left running.", flush=True)
    else:
        wine = session.fresh(session.tools.root / f"run-{arch}", display=headless)
    if not headless:
        status = wine.run(exe, seconds=24 * 3600).returncode
        print(f"selnary.exe exited with status {status}")
        return status

    # No window manager on the virtual display: Wine draws the title bar itself.
    if own:
        session.settings.set(DECORATED, "Decorated", "N")
    else:
        wine.reg("add", DECORATED, "/v", "Decorated", "/d", "N", "/f")
    # A compressor that crashes the chooser ends the program with its fault
    # status, rather than in Wine's debugger waiting for someone to close it.
    # Wine's errors go to the log that is shown when the chooser fails to
    # appear: an exception Wine swallowed in a window's code, say.
    log = Path(session.folder, "wine.log")
    with open(log, "w") as output:
        program = session.start(exe, stdout=output, stderr=output,
                                env={**wine.overriding("winedbg.exe=d"), "WINEDEBUG": "fixme-all"})
    try:
        window = session.screen.wait_for(title, session.tools.scaled(60), program)
    except winesession.Error as error:
        print(f"error: {error}", file=sys.stderr)
        if program.poll() is None:
            print("selnary.exe is still running without its chooser: a compressor may hang when opened.",
                  file=sys.stderr)
        said = log.read_text(errors="replace")
        if said:
            print("Wine reported:", *(f"  {line}" for line in said.splitlines()), sep="\n", file=sys.stderr)
        report(session, picture)  # it tells which compressor it was
        return 1

    # One start of the reader lists the entries and drops the list open: under
    # emulation every start of an x86 program takes seconds.
    bits = 32 if arch == "x86" else 64
    print(f'Compressors offered in "{title}" ({bits}-bit), in list order:')
    listed = wine.run(session.tools.program("LIST_READER"), "--open", title, capture_output=True, text=True)
    if listed.returncode != 0:
        raise winesession.Error(f"list-reader.exe could not read the list (status {listed.returncode}): "
                                f"{listed.stderr.strip()}")
    print("".join(f"  {line}\n" for line in listed.stdout.splitlines()), end="", flush=True)
    Path(picture).parent.mkdir(parents=True, exist_ok=True)
    taken = Path(session.folder, "picture.png")
    session.screen.picture(taken, window)
    shutil.move(taken, picture)
    print(f"Picture of the chooser with the list open: {picture}")

    # The first Escape closes the list, the second cancels the chooser.
    session.screen.key(window, "Escape", "Escape")
    status = session.wait(program, 10)
    print(f"selnary.exe exited with status {status}", flush=True)
    report(session, picture)
    played(session, picture)
    return status


def main(build, arch, picture):
    if arch not in ("x86", "x64"):
        raise winesession.Error(f"no target '{arch}'")
    with winesession.Session(winesession.load(Path(build, "wine-tools.sh"))) as session:
        return show(session, arch, picture)


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    winesession.main(main, *sys.argv[1:4])
