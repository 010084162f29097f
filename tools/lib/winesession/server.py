"""Whether a wineserver serves a prefix now: something answers on its socket.

The socket lies in a folder named after the prefix's device and inode, under
/tmp/.wine-UID, or in the folder under TMPDIR that Debian's Wine names in the
prefix's "wineserver" file. A server's process may not be looked into from
inside an emulation namespace (one started outside cannot be); its socket can."""

import os
import socket
from pathlib import Path


def folder_name(prefix):
    status = os.stat(prefix)
    return f"server-{status.st_dev:x}-{status.st_ino:x}"


def running(prefix):
    name = folder_name(prefix)
    sockets = [Path(f"/tmp/.wine-{os.getuid()}", name, "socket")]
    try:
        debian = Path(prefix, "wineserver").read_text().strip()
        sockets.insert(0, Path(os.environ.get("TMPDIR", "/tmp"), debian, name, "socket"))
    except OSError:
        pass
    for path in sockets:
        with socket.socket(socket.AF_UNIX) as client:
            client.settimeout(5)
            try:
                client.connect(str(path))
                return True
            except OSError:
                continue
    return False
