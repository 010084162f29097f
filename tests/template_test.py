"""The template the tests' prefixes are copied from: "make" makes it before
any test needs it; "check" runs after them all and finds exactly the files,
with the same checksums, it was made with.
    template_test.py TOOLS make|check"""

import difflib
import hashlib
import sys
import time
from pathlib import Path

import testing
from winesession import prefixes


def test(session, step):
    started = time.monotonic()
    template = session.template()
    if step == "make":
        print(f"template {template} ready after {time.monotonic() - started:.0f} s")
        return 0
    made = Path(f"{template}.sha256").read_text()
    now = prefixes.manifest(template)
    if now != made:
        sys.stderr.writelines(difflib.unified_diff(made.splitlines(True), now.splitlines(True), "as made", "now"))
        print(f"FAIL: {template} changed since it was made (lines above: - as made, + now)", file=sys.stderr)
        return 1
    print(f"template unchanged: {len(now.splitlines())} files, manifest sha256 "
          f"{hashlib.sha256(now.encode()).hexdigest()[:16]}")
    return 0


testing.main(test)
