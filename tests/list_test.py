"""The compressor list, with a test compressor installed the way a compressor
of the target's bitness is, and a copy registered only for the other
bitness. Through the run command as a user runs it (tools/lib/show.py, with
this prefix as WINEPREFIX) and through the dialog as a person works it.
    list_test.py TOOLS PREFIX BUILD_DIR ARCH COMPRESSOR_DLL"""

import re
import tempfile
import time
from pathlib import Path

import testing
import winesession
from winesession import prefixes, windows_path


# The run looks for the program's window every 50 ms or so and says at once
# when the program ended instead: here the line came within 0.1 s of the
# program's end, x86 and x64, natively and emulated, with both suites running.
REPORTED_WITHIN = 2.0


def second_of(pattern, lines):
    """When the first line matching pattern came, in seconds to a tenth, or None."""
    return next((second for second, line in lines if re.search(pattern, line)), None)


def test(session, prefix, build, arch, compressor):
    wine = session.fresh(prefix)
    exe, reader = session.tools.program("SELNARY"), session.tools.program("LIST_READER")
    title = f"selnary ({arch})"
    bits, other, other_bits = (32, "x64", 64) if arch == "x86" else (64, "x86", 32)
    testing.install_compressor(wine, compressor, arch, "slny")
    # The copy's DLL is in this bitness's folder too: only the registry view counts.
    testing.install_compressor(wine, compressor, other, "slno")
    prefixes.install(compressor, prefixes.system_folder(prefix, arch) / "slno.dll")
    mine = f"selnary test compressor ({bits}-bit, slny)"
    checks = testing.Checks(prefix)
    logs = checks.logs
    # The runs below use the prefix as someone's own, each starting a server of its own.
    wine.server("-k")

    checks.case = "listed"
    run = logs / "listed.log"
    status, out, err = testing.show(session, build, arch, logs / "listed.png", log=run)
    good_run = second_of("selnary.exe exited", out)
    shown = [line for _, line in out]
    first, last = (next((i for i, line in enumerate(shown) if line.startswith(start)), len(shown))
                   for start in ("Compressors offered", "Picture"))
    listed = [line[2:] for line in shown[first + 1:last]]
    checks.check(status == 0, f"status {status}", run)
    checks.check(listed[:1] == ["Full Frames (Uncompressed)"], f"first entry '{(listed or [''])[0]}'", run)
    checks.check(mine in listed, f"'{mine}' not listed", run, logs / "listed.png")
    checks.check(not any("slno" in line for line in listed),
                 f"the copy registered for {other_bits}-bit programs is listed", run)
    checks.check("X11 Driver" not in Path(prefix, "user.reg").read_text(errors="replace"),
                 "the run left its Decorated setting in the prefix")
    # The test compressor gives frames back: the run shows them beside the source.
    frames = logs / "listed-frames.png"
    checks.check(any(line == f"Picture of what slny gave back, beside the source frame: {frames}" for line in shown)
                 and frames.is_file(), "no picture of the frames that came back", run, frames)
    print(testing.text(out))

    checks.case = "not-a-prefix"
    with tempfile.TemporaryDirectory() as empty:
        run = logs / "not-a-prefix.log"
        status, out, err = testing.show(session, build, arch, logs / "none.png", {"WINEPREFIX": empty}, run)
        checks.check(status != 0, "a folder that is not a prefix was accepted", run)
        checks.check("is not a Wine prefix" in testing.text(err), "no clear error", run)
        checks.check(not any(Path(empty).iterdir()), "the run created files in a folder that is not a prefix")

    checks.case = "faulting-driver"
    run = logs / "faulting-driver.log"
    program = testing.Lifetime(session.env[winesession.processes.TAG], "selnary.exe")
    status, out, err = testing.show(session, build, arch, logs / "faulting.png",
                                    {"SELNARY_COMPRESSOR_FAULT": "open"}, run, program)
    seconds = second_of("ended with status", err)
    checks.check(status != 0, "the run succeeded although the compressor crashed the program", run)
    # Failing fast: the crash is reported within the limit, and at once when
    # the program has ended: within REPORTED_WITHIN of its end.
    if checks.check(seconds is not None, "does not say the program ended", run):
        checks.check(seconds < session.tools.scaled(30), f"took {seconds} s to report the crash", run)
        if checks.check(program.ended is not None, f"the program was never seen to run and end "
                        f"(seen from {program.started} s to {program.ended} s)", run):
            checks.check(seconds - program.ended <= REPORTED_WITHIN,
                         f"reported the crash {seconds - program.ended:.1f} s after the program ended "
                         f"(at {program.ended} s), more than {REPORTED_WITHIN} s", run)
    checks.check("wine: Unhandled" in testing.text(err), "does not pass on what Wine reported", run)
    # What crashed it, from the report that follows: its row, and under it what it did.
    rows = [line for _, line in out]
    row = next((i for i, line in enumerate(rows) if line.startswith("slny ")), None)
    checks.check(row is not None and "faulted when opened" in " ".join(rows[row:row + 2]),
                 "the report does not name the faulting compressor", run)
    print(f"[faulting-driver] the crash reported after {seconds} s, the program ended after {program.ended} s "
          f"(a good run's program after {good_run} s), status {status}")

    # No window manager here: Wine draws the title bar and its close button itself.
    wine.reg("add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/d", "N", "/f")
    screen = session.screen

    def end_by(name, act):
        """Starts the program, lets a person end the dialog one way, and
        checks that it exits with status 0 within 10 s (scaled); returns how
        often it opened the test compressor for compression, and closed it."""
        checks.case = name
        log, wine_log = logs / f"{name}-compressor.log", logs / f"{name}.log"
        started = time.monotonic()
        with open(wine_log, "w") as output:
            program = session.start(exe, env={"SELNARY_COMPRESSOR_LOG": windows_path(log), **testing.WINE_ERRORS},
                                    stdout=output, stderr=output)
        try:
            window = screen.wait_for(title, session.tools.scaled(60), program)
        except winesession.Error as error:
            checks.fail(f"no dialog: {error}, {testing.seconds_since(started)} after launch", wine_log, log,
                        testing.snapshot(screen, logs / f"{name}.png"))
            return 0, 0
        act(window)
        pressed = time.monotonic()
        status = session.wait(program, 10)
        checks.check(status == 0, f"exit status {status} {testing.seconds_since(pressed)} after the last input "
                     f"(143: still open after {session.tools.scaled(10)} s)", wine_log, log)
        print(f"[{name}] status {status}, {round((time.monotonic() - pressed) * 1000)} ms after the last input")
        said = log.read_text(errors="replace").splitlines() if log.exists() else []
        return (sum(line.startswith("open ") for line in said), sum(line.startswith("close ") for line in said))

    def click(button):
        point = wine.run(reader, "--where", button, title, capture_output=True, text=True)
        if point.returncode != 0:
            checks.fail(f"no {button} button (list-reader.exe: status {point.returncode})",
                        point.stdout + point.stderr, testing.snapshot(screen, logs / f"{button}.png"))
            return
        screen.click(*point.stdout.split())

    def choose_mine(window):
        """Down moves through the closed list from its first entry; then a click on OK."""
        if checks.check(mine in listed, f"'{mine}' is not in the list", logs / "listed.log"):
            for _ in range(listed.index(mine)):
                screen.key(window, "Down")
            click("ok")

    opened, closed = end_by("ok-with-mine", choose_mine)
    # The chooser closes what it opened but the chosen one, which it hands
    # back; the program neither uses nor releases it.
    checks.check(opened >= 1 and opened - closed == 1,
                 f"opened {opened} times for compression and closed {closed} times; expected one left open",
                 logs / "ok-with-mine-compressor.log")
    opened, closed = end_by("click-cancel", lambda window: click("cancel"))
    checks.check(opened >= 1 and opened == closed, f"opened {opened} times, closed {closed} times",
                 logs / "click-cancel-compressor.log")
    end_by("click-close", lambda window: click("close"))
    return checks.result()


testing.main(test)
