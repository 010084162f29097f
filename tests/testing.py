"""What the test drivers share: the Wine session harness, a count of failed
checks, compressors installed the way their installers do, and ffmpeg's
reading of the recordings the report saves."""

import json
import math
import os
from concurrent.futures import ThreadPoolExecutor
import selectors
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "lib"))

import winesession  # noqa: E402
from winesession import prefixes  # noqa: E402

DRIVERS32 = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32"


class Checks:
    """Failed checks, each said as it is found with what it looked at; the
    driver fails if any did. A run's logs go to PREFIX-logs, beside the
    test's prefix: made anew for each run and kept after it, and named
    when a check fails."""

    # Beyond this, a text's head and tail are shown and its file named.
    MOST_LINES = 300

    def __init__(self, prefix=None):
        self.failures = 0
        self.case = None
        self.shown = set()
        self.logs = Path(f"{prefix}-logs") if prefix else None
        if self.logs:
            shutil.rmtree(self.logs, ignore_errors=True)
            self.logs.mkdir(parents=True)

    def log(self, name):
        """The path of a log of this run's, named name."""
        return self.logs / name

    def fail(self, message, *saw):
        """saw: the texts the check looked at, and the paths of the logs,
        pictures or folders of what it looked at, each shown whole (a
        folder's files listed); a log shown for an earlier failure is only
        named again."""
        where = f" [{self.case}]" if self.case else ""
        lines = [f"FAIL{where}: {message}"]
        for seen in saw:
            if isinstance(seen, Path):
                if seen.suffix == ".png":
                    lines.append(f"  picture: {seen}" + ("" if seen.exists() else " (not taken)"))
                    continue
                if seen in self.shown:
                    lines.append(f"  {'folder' if seen.is_dir() else 'log'}: {seen} (shown above)")
                    continue
                if seen.is_dir():
                    self.shown.add(seen)
                    lines.append(f"  folder: {seen}")
                    lines += [f"  | {entry.name}" for entry in sorted(seen.iterdir())] or ["  | (empty)"]
                    continue
                self.shown.add(seen)
                lines.append(f"  log: {seen}")
                seen = seen.read_text(errors="replace") if seen.exists() else "(not written)"
            else:
                lines.append("  it saw:")
            said = seen.splitlines() or ["(nothing)"]
            if len(said) > self.MOST_LINES:
                half = self.MOST_LINES // 2
                said = said[:half] + [f"... {len(said) - 2 * half} lines ..."] + said[-half:]
            lines += [f"  | {line}" for line in said]
        print("\n".join(lines), file=sys.stderr, flush=True)
        self.failures += 1

    def check(self, condition, message, *saw):
        if not condition:
            self.fail(message, *saw)
        return condition

    def result(self):
        if self.failures:
            kept = f"; this run's logs: {self.logs}" if self.logs else ""
            print(f"{self.failures} check(s) failed{kept}", file=sys.stderr)
            return 1
        return 0


# Wine's errors, for a log read when a check fails; its fixmes are noise there.
WINE_ERRORS = {"WINEDEBUG": "fixme-all"}


def command_line(pid):
    """pid's command line as /proc has it, or None once it has ended."""
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes()
    except OSError:
        return None


def described(pid, line=None):
    """pid's command line (LINE, where already read) for people, or "(ended)"."""
    line = command_line(pid) if line is None else line
    return "(ended)" if line is None else line.replace(b"\0", b" ").decode(errors="replace").strip()


def program_name(pid, line=None):
    """The name pid runs under, in lower case: a Windows program's path as
    Wine shows it once it runs, else the file's name (the loader's, or
    qemu's where it is emulated); empty once it has ended."""
    line = command_line(pid) if line is None else line
    return b"" if line is None else line.split(b"\0")[0].lower().rsplit(b"/", 1)[-1]


def running(tag, program):
    """Whether a process of the session tagged tag, or of one nested in it,
    runs program (a file name): the program itself, not a driver whose
    command line names it too. Command lines first, each read once: they
    are cheaper to read than environments."""
    candidates = set()
    for entry in filter(str.isdigit, os.listdir("/proc")):
        line = command_line(entry)
        if line and program.encode() in line and not program_name(entry, line).startswith(b"python"):
            candidates.add(int(entry))
    return bool(candidates) and bool(candidates & set(winesession.processes.tagged(tag)))


class Lifetime:
    """When a program of a session was first seen running and when it was
    seen to have ended, in seconds from the watch's start; looked at by
    calling it, as often as the caller likes."""

    def __init__(self, tag, program):
        self.tag, self.program = tag, program
        self.started = self.ended = None

    def __call__(self, second):
        if running(self.tag, self.program):
            self.started = second if self.started is None else self.started
            self.ended = None
        elif self.started is not None and self.ended is None:
            self.ended = second


def snapshot(screen, path):
    """A picture of the whole screen at path, for a failed check to point
    at; a picture that cannot be taken is said missing there."""
    try:
        screen.picture(path)
    except winesession.Error:
        pass
    return path


def seconds_since(started):
    return f"{time.monotonic() - started:.1f} s"


def binfmt_table():
    """The machine's binfmt handlers as this process sees them, to compare before and after."""
    folder = Path("/proc/sys/fs/binfmt_misc")
    return sorted(path.name for path in folder.iterdir()) if (folder / "status").exists() else "not mounted"


def install_compressor(wine, dll, arch, code):
    """Installs dll as a video compressor for programs of arch, the way a
    compressor's installer does: as CODE.dll in that system folder, named by
    vidc.CODE in that view of the registry."""
    prefixes.install_compressors(wine, arch, {code: dll})


SHOW = Path(__file__).resolve().parents[1] / "tools" / "lib" / "show.py"


def show(session, build, arch, picture, extra=None, log=None, watch=None):
    """The run command's headless run in the session's prefix, or in
    extra's; returns its status and both its outputs, each line behind the
    time it came, in seconds to a tenth. log, where given, gets both as they
    came, and the status; watch, where given, is called with the time every
    50 ms or so while the run goes on (a Lifetime, say)."""
    env = {key: value for key, value in session.wine.env.items() if key != "DISPLAY"}
    command = [session.tools.python, SHOW, build, arch, picture]
    started, came = time.monotonic(), []  # (second, "out" or "err", line), as they came
    # Unbuffered, so that each line is stamped as it comes.
    with subprocess.Popen(command, env={**env, **(extra or {})}, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, bufsize=0) as run:
        streams = selectors.DefaultSelector()
        streams.register(run.stdout, selectors.EVENT_READ, "out")
        streams.register(run.stderr, selectors.EVENT_READ, "err")
        deadline, open_streams = winesession.processes.Deadline(session.tools.scaled(60)), 2
        while open_streams and not deadline.passed():
            if watch:
                watch(round(time.monotonic() - started, 2))
            for key, _ in streams.select(min(deadline.left(), 0.05) if watch else deadline.left()):
                line = key.fileobj.readline()
                if not line:
                    streams.unregister(key.fileobj)
                    open_streams -= 1
                    continue
                came.append((round(time.monotonic() - started, 1), key.data,
                              line.decode(errors="replace").rstrip("\n")))
        status = 124 if open_streams else None
        winesession.processes.stop(run, 5)
    status = status or winesession.processes.status(run.returncode)
    if log:
        Path(log).write_text("".join(f"{second:5.1f} s {stream}: {line}\n" for second, stream, line in came)
                             + f"ended with status {status} after {seconds_since(started)}\n")
    return status, *([(second, line) for second, came_on, line in came if came_on == stream]
                      for stream in ("out", "err"))


def text(lines):
    return "\n".join(line for _, line in lines)


def main(function):
    """Runs a driver: function(session, *command line) inside a Wine session
    for the tools file that the command line starts with."""
    def run(tools_file, *arguments):
        with winesession.Session(winesession.load(tools_file)) as session:
            return function(session, *arguments)
    sys.stdout.reconfigure(line_buffering=True)
    winesession.main(run, *sys.argv[1:])


def probed(ffprobe, path):
    """What ffprobe, a reader no one here wrote, finds in an AVI file: its
    first video stream and its packets (an empty frame has none)."""
    done = subprocess.run([ffprobe, "-v", "error", "-select_streams", "v:0", "-show_entries",
                           "stream=codec_tag_string,width,height,nb_frames", "-show_entries", "packet=pts,flags",
                           "-of", "json", str(path)], capture_output=True, text=True, timeout=60)
    if done.returncode != 0 or done.stderr.strip():
        raise ValueError(f"ffprobe: {done.stderr.strip() or done.returncode}")
    said = json.loads(done.stdout)
    return said["streams"][0], said.get("packets", [])


# The codec tag of a format the report names by its BI_ constant, as ffprobe writes it.
BI_TAGS = {"BI_RGB": "[0][0][0][0]", "BI_RLE8": "[1][0][0][0]", "BI_RLE4": "[2][0][0][0]",
           "BI_BITFIELDS": "[3][0][0][0]"}


def probed_all(ffprobe, paths):
    """probed() of each of paths, a few at a time: each is a process start.
    A path's error, where it has one, in place of what was found."""
    def one(path):
        try:
            return probed(ffprobe, path)
        except (OSError, ValueError, KeyError, IndexError, subprocess.TimeoutExpired) as error:
            return error
    with ThreadPoolExecutor(max_workers=4) as pool:
        return dict(zip(paths, pool.map(one, paths)))


def recording_problems(ffprobe, folder, code, trip, recording, size, proposed=None, found=None):
    """What is wrong with the recording of compressor code's round trip trip,
    as ffprobe reads it: the format it proposed (its code where not said), its
    size (width, height), a frame a call, and its first real frame and its key
    frames where the report says."""
    if trip.get("calls") is None:
        return [f"{code}: a recording {recording} of no compressed clip"] if recording else []
    if not recording or recording["problem"]:
        return [f"{code}: recording {recording}"]
    path = Path(folder, recording["file"])
    read = (found or {}).get(path) or probed_all(ffprobe, [path])[path]
    if isinstance(read, Exception):
        return [f"{recording['file']}: {read}"]
    stream, packets = read
    problems = []
    keys = [int(packet["pts"]) for packet in packets if "K" in packet["flags"]]
    tag = (proposed or {}).get("compression", code)
    got = (stream["codec_tag_string"], stream["width"], stream["height"], int(stream["nb_frames"]))
    if got != (BI_TAGS.get(tag, tag), *size, trip["calls"]) or recording["frames"] != trip["calls"]:
        problems.append(f"{recording['file']}: ffprobe reads {got}, the report {recording}, {trip['calls']} calls")
    first = trip["calls_before_first_frame"]
    if keys[:1] != [first] or len(keys) != recording["key_frames"]:
        problems.append(f"{recording['file']}: key frames at {keys}, the report: {recording['key_frames']} from {first}")
    return problems


def decoded(ffmpeg, path, size):
    """The frames ffmpeg, a decoder no one here wrote, makes of a file, each
    as 24-bit RGB bytes, top row first."""
    done = subprocess.run([ffmpeg, "-v", "quiet", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                          capture_output=True, timeout=120)
    if done.returncode != 0:
        raise ValueError(f"ffmpeg cannot decode {path} ({done.returncode})")
    each = size[0] * size[1] * 3
    return [done.stdout[at:at + each] for at in range(0, len(done.stdout), each)]


def psnr(sent, got):
    """The PSNR of got against sent, bytes of 24-bit RGB; None where they are the same."""
    squares = sum((a - b) * (a - b) for a, b in zip(sent, got))
    return None if squares == 0 else 10 * math.log10(255 * 255 * len(sent) / squares)
