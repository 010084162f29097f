"""The program's one call, end to end: selnary.exe runs against a stand-in
MSVFW32.dll that logs each call, under several command lines and both results.
    call_test.py TOOLS PREFIX EXE STANDIN_DLL TITLE ARCH POINTER_BYTES STATE_BYTES"""


import testing
from winesession import prefixes, windows_path


def recorded_call(title, pointer_bytes, state_bytes):
    """The line the stand-in logs for the one call the program must make."""
    def value(number):
        return f"{number:0{pointer_bytes * 2}x}"
    # biSize 40, biWidth 256, biHeight 256, biPlanes 1, biBitCount 32,
    # biCompression BI_RGB, biSizeImage 262144, then four zero fields; little-endian.
    probe = "28000000" "00010000" "00010000" "0100" "2000" "00000000" "00000400" + "0" * 32
    # cbSize (the record's own size, below 256) and nothing else.
    state = f"{state_bytes:02x}" + "0" * (state_bytes * 2 - 2)
    return (f"owner={value(0)} flags={value(1)} in={probe} data={value(0)} state={state} "
            f"title={title.encode().hex()}")


def test(session, prefix, exe, standin, title, arch, pointer_bytes, state_bytes):
    wine = session.fresh(prefix)
    # The stand-in takes the system library's place in the prefix's system
    # folder for the target, where the loader is meant to find MSVFW32.dll;
    # beside the program it would be the planted DLL the program's load flags refuse.
    prefixes.install(standin, prefixes.system_folder(prefix, arch) / "msvfw32.dll")
    expected = recorded_call(title, int(pointer_bytes), int(state_bytes))
    checks = testing.Checks(prefix)
    logs = checks.logs

    def case(name, result, *arguments, launcher=()):
        """The stand-in returns result (1 TRUE, 0 FALSE)."""
        checks.case = name
        log = logs / f"{name}.log"
        wine_log = logs / f"{name}-wine.log"
        with open(wine_log, "w") as output:
            status = wine.run(*launcher, exe, *arguments, loader=wine.tool if launcher else None, env={
                **wine.overriding("msvfw32=n"), "SELNARY_STANDIN_LOG": windows_path(log),
                "SELNARY_STANDIN_RESULT": str(result), **testing.WINE_ERRORS}, stdout=output, stderr=output).returncode
        checks.check(status == 0, f"exit status {status}, expected 0", wine_log)
        if not checks.check(log.is_file(), "the chooser was never called", wine_log):
            return
        calls = log.read_text(errors="replace").splitlines()
        checks.check(len(calls) == 1, f"{len(calls)} calls to ICCompressorChoose, expected exactly one", log)
        line = calls[0].rstrip("\r") if calls else ""
        checks.check(line == expected, f"the call differs\n  expected: {expected}\n  recorded: {line}")

    # Each start proves as much as it can: where x86 is emulated, a start costs
    # seconds. A command line of several words, quotes, non-ASCII text and a
    # 20,000-character argument must change nothing.
    case("chooser-true", 1)
    case("false-with-arguments", 0, "compress", "this", "please", '"double quoted"', "it's", 'back\\slash\\"',
         '""', "grüße", "日本語", "naïve café", "x" * 20000)
    # Started minimized: the show state must not reach the chooser either.
    # start.exe /wait passes on the program's exit status; Wine's own tool,
    # so the 64-bit one where the prefix has it.
    case("minimized", 1, launcher=("start", "/wait", "/min", "/unix"))
    if checks.failures == 0:
        print(f"all calls as expected: {expected}")
    return checks.result()


testing.main(test)
