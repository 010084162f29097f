"""One Wine session: a prefix, its wineserver, a virtual display and the
programs run in them, all taken down again however the caller ends.

    with Session(wine.load(TOOLS_FILE)) as session:
        wine = session.fresh(PREFIX)   # a new prefix, copied from the template
        wine = session.own(PREFIX)     # or someone's own, used as it is
        program = session.start("program.exe")
        window = session.screen.wait_for("title", 60, program)
        status = session.wait(program, 10)
"""

import os
import shutil
import signal
import sys
import tempfile
from pathlib import Path

from . import display, prefixes, processes, server
from .processes import Error
from .registry import Settings
from .wine import Wine


def raise_exit(number, frame):
    raise SystemExit(128 + number)


class Session:
    def __init__(self, tools):
        self.tools = tools
        self.programs = []
        self.wine = self.screen = self.settings = self.x_server = None
        # Whose the prefix's wineserver is: "yes" for a fresh prefix's, "no"
        # for the one the session starts in someone's own prefix, "shared"
        # where one served that prefix before the session began. The session
        # holds its own (Wine.serve) and ends it; a shared one it leaves alone.
        self.owns_server = "yes"

    def __enter__(self):
        # Stopped, the session still ends in order; killed, the guard ends it.
        signal.signal(signal.SIGTERM, raise_exit)
        signal.signal(signal.SIGINT, raise_exit)
        self.folder = tempfile.mkdtemp(prefix="selnary-session-")
        self.env = {**os.environ, processes.TAG: processes.new_tag(os.environ.get(processes.TAG, ""))}
        processes.start_guard(self.env[processes.TAG], self.folder)
        return self

    def template(self):
        return prefixes.template(self.tools, self.env)

    def fresh(self, prefix, display=True):
        """A new prefix at prefix, copied from the template."""
        prefixes.copy(self.template(), prefix)
        return self._open(Path(prefix).resolve(), display)

    def own(self, prefix, display=True):
        """Someone's own prefix, in which nothing is created; a wineserver
        that already serves it is left running. One the session starts there
        serves for the session and ends with it, and a program started in
        the prefix meanwhile ends with it too."""
        prefix = prefixes.check_own(prefix)
        self.owns_server = "shared" if server.running(prefix) else "no"
        return self._open(prefix, display)

    def _open(self, prefix, show):
        env = dict(self.env)
        if show:  # else the caller's own DISPLAY, where there is one
            self.x_server, env["DISPLAY"] = display.start(self.tools.xvfb, self.env, self.tools.scaled(30))
        self.wine = Wine(self.tools, env, prefix, hold_server=self.owns_server != "shared")
        self.screen = display.Screen(self.tools.xdotool, self.wine.env, self.tools.picture)
        self.settings = Settings(self.wine, self.folder)
        return self.wine

    def start(self, *arguments, **options):
        """Starts a Wine program in the background; it is stopped, if still
        running, when the session ends."""
        program = self.wine.start(*arguments, **options)
        self.programs.append(program)
        return program

    def wait(self, program, seconds):
        """The status of program once it ends, within seconds (scaled); 143
        where it had to be stopped."""
        code = processes.wait(program, self.tools.scaled(seconds))
        if code is None:
            processes.stop(program, self.tools.scaled(10))
            return 143
        return code

    def __exit__(self, *exception):
        for number in (signal.SIGTERM, signal.SIGINT):  # a second signal must not cut this short
            signal.signal(number, signal.SIG_IGN)
        for program in self.programs:
            processes.stop(program, 5)
        if self.wine:
            for problem in self.settings.restore():
                print(f"warning: {problem}", file=sys.stderr)
            # A server that was running before belongs to someone else.
            if self.owns_server != "shared":
                self.wine.server("-k")
                self.wine.server("-w")
        if self.x_server:
            processes.stop(self.x_server, 5)
        # Whatever else the session started, a template's wineboot among them.
        processes.sweep(self.env[processes.TAG])
        shutil.rmtree(self.folder, ignore_errors=True)
        for number in (signal.SIGTERM, signal.SIGINT):
            signal.signal(number, signal.SIG_DFL)
        return False


def main(function, *arguments):
    """Runs function; a session's error ends the program with it said, status 1."""
    try:
        sys.exit(function(*arguments))
    except Error as error:
        print(f"error: {error}", file=sys.stderr)
        sys.exit(1)
