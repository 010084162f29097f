"""Wine's programs, as the build found them and as a session runs them.

The configure (cmake/wine.cmake) writes the tools it found to wine-tools.sh in
the build folder; load() reads them. Every tool is called by that path, never
looked up on PATH again. Every Wine command gets the x86 prefix, so that its
32-bit programs, and theirs, run however x86 code runs here.

Every Wine command also runs without address-space randomisation (setarch -R,
which the processes Wine starts inherit): randomised, 3 of 3,500 starts of
Wine's cmd from a shell failed here with "failed to map the shared user data",
which Wine 8 puts at a fixed address; without it, none of 5,000 did."""

import shlex
import subprocess
from dataclasses import dataclass
from pathlib import Path

from . import processes, server, x86
from .processes import Error

# Keeps Wine from offering to install its Mono and Gecko add-ons.
BASE_OVERRIDES = "mscoree,mshtml="


@dataclass(frozen=True)
class Tools:
    wine: str  # the 32-bit loader, which runs the programs under test
    wine64: str  # the 64-bit one where there is one: it also runs Wine's own tools
    wineserver: str
    xvfb: str
    xdotool: str
    picture: str  # ImageMagick's import
    python: str
    setarch: str
    root: Path  # the folder for prefixes: the run's, the tests', their template
    x86_mode: str
    qemu: str
    slowdown: int  # how many times longer this target's programs take than natively
    programs: dict  # the build's programs by their names in the tools file
    ffmpeg: str = ""  # a decoder no one here wrote, where installed
    ffprobe: str = ""  # and its reader of files

    def scaled(self, seconds):
        """A native time limit, as long as it must be for this target here."""
        return seconds * self.slowdown

    def program(self, name):
        """The path of a program the build makes: SELNARY, SELNARY_COMPRESSORS,
        LIST_READER, BENCH_QUERY or TEST_COMPRESSOR."""
        return built(self.programs, name)


PROGRAMS = ("SELNARY", "SELNARY_COMPRESSORS", "LIST_READER", "BENCH_QUERY", "TEST_COMPRESSOR")


def read(path):
    """The names and values of a tools file, whatever they say."""
    values = {}
    try:
        lines = Path(path).read_text().splitlines()
    except OSError as error:
        raise Error(f"{path} cannot be read ({error.strerror}): configure a build first") from None
    for line in lines:
        if "=" in line and not line.startswith("#"):
            name, _, value = line.partition("=")
            values[name] = " ".join(shlex.split(value))
    return values


def built(values, name):
    """A built program's path from a tools file's values; an error where the
    build makes no such program or has not made it yet."""
    path = values.get(name)
    if not path:
        raise Error(f"this build makes no {name} (configured without its tests?)")
    if not Path(path).is_file():
        raise Error(f"{path} is missing: build it first (tools/test.sh)")
    return Path(path)


def load(path):
    values = read(path)
    if values.get("WINE_UNAVAILABLE"):
        raise Error(f"Windows programs cannot run under Wine here: {values['WINE_UNAVAILABLE']}")
    for name in ("WINE", "WINESERVER", "XVFB", "XDOTOOL", "PYTHON", "SETARCH"):
        if not values.get(name):
            raise Error(f"{path} names no {name} (see the configure's warnings)")
    return Tools(values["WINE"], values.get("WINE64", ""), values["WINESERVER"], values["XVFB"],
                 values["XDOTOOL"], values.get("IMPORT", ""), values["PYTHON"], values["SETARCH"],
                 Path(values["WINE_ROOT"]),
                 values["X86_MODE"], values.get("X86_QEMU", ""), int(values.get("SLOWDOWN", "1")),
                 {name: values.get(name, "") for name in PROGRAMS},
                 values.get("FFMPEG", ""), values.get("FFPROBE", ""))


def windows_path(path):
    """The Windows name of a file of this machine (Wine's Z: drive)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Wine:
    """Wine's programs for one prefix, in an environment of the session's:
    quiet, and without Wine's offers to install Mono and Gecko. With
    hold_server, every program runs with the prefix's wineserver started
    persistent, as the session's own."""

    def __init__(self, tools, env, prefix, hold_server=False):
        self.tools, self.hold_server = tools, hold_server
        self.env = {**env, "WINEPREFIX": str(prefix), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": BASE_OVERRIDES}
        system = Path(prefix, "system.reg")
        # A new prefix is a 64-bit one wherever Wine has its 64-bit loader.
        is_32 = system.is_file() and "#arch=win32" in system.read_text(errors="replace").splitlines()
        # Wine's own tools (wineboot, reg, start) run through the 64-bit loader
        # where the prefix has a 64-bit side: under emulation only the program
        # under test, and what must be 32-bit, is emulated.
        self.tool = tools.wine64 if tools.wine64 and not is_32 else tools.wine

    def command(self, *arguments, loader=None):
        return x86.prefix(self.tools.x86_mode, self.tools.qemu) + [
            self.tools.setarch, "-R", loader or self.tools.wine, *map(str, arguments)]

    def overriding(self, *overrides):
        """The environment's setting for Wine's DLL overrides, with overrides
        ("msvfw32=n") after the prefix's own."""
        return {"WINEDLLOVERRIDES": ";".join([self.env["WINEDLLOVERRIDES"], *overrides])}

    def environment(self, extra):
        return {**self.env, **(extra or {})}

    def serve(self):
        """Starts the prefix's wineserver, persistent, unless one serves it.

        When a prefix's last program ends, its wineserver waits 3 s and then
        ends Wine's own processes, the desktop's among them; a program that
        starts in that moment loses its desktop and ends before its window
        appears (status 0, or no crash report from a crashing one). A program
        started 3 s after the one before, which an emulated start takes,
        hits it: 4 of 38 such starts did here (tests/server_race.py), none of
        45 with the server held persistent. So a session keeps its server
        from the first command to its end, and ends it then."""
        if self.hold_server and not server.running(self.env["WINEPREFIX"]):
            self.server("-p")

    def run(self, *arguments, seconds=60, loader=None, env=None, **options):
        """Runs a Wine program for seconds (scaled) at most; see processes.run."""
        self.serve()
        return processes.run(self.command(*arguments, loader=loader), self.environment(env),
                             self.tools.scaled(seconds), **options)

    def start(self, *arguments, loader=None, env=None, **options):
        self.serve()
        return subprocess.Popen(self.command(*arguments, loader=loader), env=self.environment(env), **options)

    def server(self, *arguments, seconds=30):
        """wineserver -k, -w or -p for the prefix, without address-space
        randomisation as the server a loader starts. Its output goes to
        files: a server it starts would hold a pipe open."""
        return processes.run([self.tools.setarch, "-R", self.tools.wineserver, *arguments], self.env,
                             self.tools.scaled(seconds), capture_output=True)

    def reg(self, *arguments):
        """Wine's reg.exe: quiet when it succeeds; when it fails, what it said
        (it writes its errors to standard output) and Wine's own errors."""
        done = self.run("reg", *arguments, loader=self.tool, env={"WINEDEBUG": "fixme-all"},
                        capture_output=True, text=True)
        if done.returncode != 0:
            said = " ".join((done.stdout + done.stderr).split()) or "(nothing said)"
            raise Error(f"reg {arguments[0]} failed ({done.returncode}): {said}")
