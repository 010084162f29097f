"""What the test drivers share: the Wine session harness, a count of failed
checks, and compressors installed the way their installers do."""

import selectors
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "lib"))

import winesession  # noqa: E402
from winesession import prefixes  # noqa: E402

DRIVERS32 = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Drivers32"


class Checks:
    """Failed checks, each said as it is found; the driver fails if any did."""

    def __init__(self):
        self.failures = 0
        self.case = None

    def fail(self, message):
        where = f" [{self.case}]" if self.case else ""
        print(f"FAIL{where}: {message}", file=sys.stderr, flush=True)
        self.failures += 1

    def check(self, condition, message):
        if not condition:
            self.fail(message)
        return condition

    def result(self):
        if self.failures:
            print(f"{self.failures} check(s) failed", file=sys.stderr)
            return 1
        return 0


def binfmt_table():
    """The machine's binfmt handlers as this process sees them, to compare before and after."""
    folder = Path("/proc/sys/fs/binfmt_misc")
    return sorted(path.name for path in folder.iterdir()) if (folder / "status").exists() else "not mounted"


def install_compressor(wine, dll, arch, code):
    """Installs dll as a video compressor for programs of arch, the way a
    compressor's installer does: as CODE.dll in that system folder, named by
    vidc.CODE in that view of the registry."""
    prefixes.install(dll, prefixes.system_folder(wine.env["WINEPREFIX"], arch) / f"{code}.dll")
    view = {"x86": "32", "x64": "64"}[arch]
    wine.reg("add", DRIVERS32, "/v", f"vidc.{code}", "/d", f"{code}.dll", f"/reg:{view}", "/f")


SHOW = Path(__file__).resolve().parents[1] / "tools" / "lib" / "show.py"


def show(session, build, arch, picture, extra=None):
    """The run command's headless run in the session's prefix, or in
    extra's; returns its status and both its outputs, each line behind the
    second it came."""
    env = {key: value for key, value in session.wine.env.items() if key != "DISPLAY"}
    command = [session.tools.python, SHOW, build, arch, picture]
    started, lines = time.monotonic(), {"out": [], "err": []}
    # Unbuffered, so that each line is stamped as it comes.
    with subprocess.Popen(command, env={**env, **(extra or {})}, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, bufsize=0) as run:
        streams = selectors.DefaultSelector()
        streams.register(run.stdout, selectors.EVENT_READ, "out")
        streams.register(run.stderr, selectors.EVENT_READ, "err")
        deadline, open_streams = winesession.processes.Deadline(session.tools.scaled(60)), 2
        while open_streams and not deadline.passed():
            for key, _ in streams.select(deadline.left()):
                line = key.fileobj.readline()
                if not line:
                    streams.unregister(key.fileobj)
                    open_streams -= 1
                    continue
                stamp = int(time.monotonic() - started)
                lines[key.data].append((stamp, line.decode(errors="replace").rstrip("\n")))
        status = 124 if open_streams else None
        winesession.processes.stop(run, 5)
    return status or winesession.processes.status(run.returncode), lines["out"], lines["err"]


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
