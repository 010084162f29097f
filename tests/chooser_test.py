"""The real chooser, Wine's own MSVFW32.dll, on a virtual display: the dialog
appears under the program's title as the only window, and both Cancel
(Escape) and OK (Return) end the program with status 0.
    chooser_test.py TOOLS PREFIX EXE TITLE"""

import time

import testing
import winesession


def milliseconds_since(started):
    return round((time.monotonic() - started) * 1000)


def test(session, prefix, exe, title):
    session.fresh(prefix)
    screen, checks = session.screen, testing.Checks(prefix)
    for key in ("Escape", "Return"):
        checks.case = key
        log, picture = checks.log(f"{key}.log"), checks.log(f"{key}.png")
        started = time.monotonic()
        with open(log, "w") as output:
            program = session.start(exe, env=testing.WINE_ERRORS, stdout=output, stderr=output)
        try:
            window = screen.wait_for(title, session.tools.scaled(60), program)
        except winesession.Error as error:
            checks.fail(f"no dialog: {error}, {milliseconds_since(started)} ms after launch", log,
                        testing.snapshot(screen, picture))
            continue
        print(f"[{key}] dialog visible {milliseconds_since(started)} ms after launch")
        others = set(screen.visible()) - {window, screen.root()}
        if others:
            testing.snapshot(screen, picture)
        for other in others:
            checks.fail(f"another visible top-level window: '{screen.name(other)}'", picture)
        pressed = time.monotonic()
        screen.key(window, key)
        status = session.wait(program, 10)
        if checks.check(status == 0, f"exit status {status} {milliseconds_since(pressed)} ms after the key "
                        f"(143: still open after {session.tools.scaled(10)} s)", log):
            print(f"[{key}] exited with status 0, {milliseconds_since(pressed)} ms after the key")
    return checks.result()


testing.main(test)
