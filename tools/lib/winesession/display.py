"""The virtual display a session's programs show their windows on, and the
windows on it, through Xvfb and xdotool."""

import os
import re
import select
import subprocess
import time

from .processes import Deadline, Error


def start(xvfb, env, seconds):
    """Starts an X server on a free display, in env (the session's tag);
    returns it and the display's name.

    It never resets (-noreset). By default an X server resets itself
    whenever its last client disconnects, and refuses whoever connects
    meanwhile. In a session that moment comes often: the desktop ends with
    its wineserver, xdotool looks for a window and leaves. A Wine program
    that connects then cannot load its display driver and ends, status 0,
    before its window appears ("The explorer process failed to start").
    tests/x_reset.sh shows it: here 8 of 2,300 clients, each connecting as
    the one before left, were refused, none of 2,300 with -noreset; and 4 of
    80 emulated starts of selnary.exe under load, each the first program of
    a new wineserver, ended so (tests/server_race.py --killed)."""
    read, write = os.pipe()
    server = subprocess.Popen([xvfb, "-displayfd", str(write), "-nolisten", "tcp", "-noreset",
                               "-screen", "0", "1024x768x24"],
                              env=env, pass_fds=[write], stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        answer = b""
        deadline = Deadline(seconds)
        while not answer.endswith(b"\n") and select.select([read], [], [], deadline.left())[0]:
            chunk = os.read(read, 16)
            if not chunk:
                break
            answer += chunk
    finally:
        os.close(read)
    if not answer.strip().isdigit():
        server.kill()
        server.wait()
        raise Error(f"Xvfb did not report a display within {seconds} s")
    return server, f":{answer.strip().decode()}"


class Screen:
    """The windows of one display, found and worked through xdotool."""

    def __init__(self, xdotool, env, picture=""):
        self.xdotool, self.env, self.picture_tool = xdotool, env, picture

    def ask(self, *arguments, check=True):
        done = subprocess.run([self.xdotool, *arguments], env=self.env, capture_output=True, text=True)
        if check and done.returncode != 0:
            raise Error(f"xdotool {arguments[0]} failed: {done.stderr.strip()}")
        return done.stdout

    def name(self, window):
        return self.ask("getwindowname", window, check=False).rstrip("\n")

    def visible(self, title=None):
        """The visible windows titled exactly title, or else every visible top-level one."""
        if title is None:
            return self.ask("search", "--maxdepth", "1", "--onlyvisible", "--name", "", check=False).split()
        found = self.ask("search", "--onlyvisible", "--name", f"^{re.escape(title)}$", check=False).split()
        return [window for window in found if self.name(window) == title]

    def wait_for(self, title, seconds, program):
        """The visible window titled exactly title, once it appears; fails,
        saying why, when program ends first or seconds pass."""
        deadline = Deadline(seconds)
        while program.poll() is None and not deadline.passed():
            windows = self.visible(title)
            if windows:
                return windows[0]
            time.sleep(0.05)
        if program.poll() is not None:
            raise Error(f"the program ended with status {program.returncode} before its window '{title}' appeared")
        raise Error(f"no window titled '{title}' appeared within {seconds} s")

    def root(self):
        return self.ask("search", "--maxdepth", "0", "--name", "").split()[0]

    def key(self, window, *keys):
        self.ask("key", "--window", window, *keys)

    def click(self, x, y):
        self.ask("mousemove", "--sync", str(x), str(y), "click", "1")

    def geometry(self, window):
        """x, y, width, height of window on the screen."""
        fields = dict(line.split("=", 1) for line in self.ask("getwindowgeometry", "--shell", window).split())
        return tuple(int(fields[name]) for name in ("X", "Y", "WIDTH", "HEIGHT"))

    def picture(self, path, window=None):
        """Saves a PNG of window, or of the whole screen, at path (ImageMagick's import)."""
        crop = []
        if window is not None:
            x, y, width, height = self.geometry(window)
            crop = ["-crop", f"{width}x{height}+{x}+{y}", "+repage"]
        if not self.picture_tool:
            raise Error("no picture taken: ImageMagick's import was not found")
        shot = subprocess.run([self.picture_tool, "-window", "root", *crop, str(path)], env=self.env,
                              capture_output=True, text=True)
        if shot.returncode != 0:
            raise Error(f"{self.picture_tool} could not take the picture: {shot.stderr.strip()}")
