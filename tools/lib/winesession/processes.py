"""The processes of a session: started with its environment, waited for with
deadlines, and ended by a guard however the session ends.

Every process a session starts carries its tag in SELNARY_SESSION, Wine's own
too: the wineserver, the services, the programs. A nested session adds its
tag to the ones it inherits, so ending the outer one ends it as well. The
guard, outside the caller's process tree (CTest kills a timed-out test's
tree with SIGKILL), waits for the session's process to end and then ends
every process that still carries the tag."""

import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

TAG = "SELNARY_SESSION"


class Error(Exception):
    """What stopped a session, said for its user."""


def new_tag(inherited=""):
    tag = f"{os.getpid()}-{time.time_ns()}"
    return f"{inherited}:{tag}" if inherited else tag


def tagged(tag):
    """The processes that carry tag, but this one."""
    wanted = tag.rsplit(":", 1)[-1]
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open(f"/proc/{entry}/environ", "rb") as environ:
                variables = environ.read().split(b"\0")
        except OSError:  # ended since the listing, or someone else's
            continue
        if any(wanted.encode() in variable[16:].split(b":") for variable in variables
               if variable.startswith(b"SELNARY_SESSION=")):
            yield int(entry)


def sweep(tag):
    """Ends every process that carries tag, until none is left."""
    while True:
        found = False
        for pid in tagged(tag):
            try:
                os.kill(pid, signal.SIGKILL)
                found = True
            except OSError:
                pass
        if not found:
            return


def start_guard(tag, folder):
    """Forks the guard: it waits for this process to end, sweeps the tag and
    removes the session's private folder."""
    watched = os.pidfd_open(os.getpid())
    if os.fork():
        os.close(watched)
        return
    try:
        os.setsid()  # out of the caller's process group, so a tree kill misses it
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):  # nor may it hold CTest's pipes open
            os.dup2(null, fd)
        select.select([watched], [], [])
        sweep(tag)
        shutil.rmtree(folder, ignore_errors=True)
    finally:
        os._exit(0)


def status(returncode):
    """A Popen return code as a shell gives it: 128 + the signal that ended it."""
    return 128 - returncode if returncode < 0 else returncode


class Deadline:
    def __init__(self, seconds):
        self.at = time.monotonic() + seconds

    def left(self):
        return max(0.0, self.at - time.monotonic())

    def passed(self):
        return time.monotonic() >= self.at


def wait(process, seconds):
    """process's status once it ends within seconds, else None. Waits on a
    pidfd: Popen's own wait with a time limit polls, at up to 50 ms a look."""
    if process.poll() is None:
        with open(os.pidfd_open(process.pid), "rb", buffering=0) as ended:
            if not select.select([ended], [], [], seconds)[0]:
                return None
    return status(process.wait())


def stop(process, grace):
    """Ends process: politely, then for good after grace seconds. Returns its status."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return status(process.returncode)


def run(command, env, seconds, capture_output=False, text=False, **options):
    """Runs command for seconds at most; its status is 124 where it had to be
    stopped, as timeout(1) gives it. What it says is captured in files, not
    pipes: a program may start a daemon (Wine's services) that holds on to them."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        if capture_output:
            options.update(stdout=out, stderr=err)
        process = subprocess.Popen(command, env=env, **options)
        try:
            code = wait(process, seconds)
        except BaseException:
            stop(process, 5)
            raise
        if code is None:
            stop(process, 5)
            code = 124
        said = []
        for file in (out, err) if capture_output else ():
            file.seek(0)
            said.append(file.read().decode(errors="replace") if text else file.read())
    return subprocess.CompletedProcess(command, code, *said)
