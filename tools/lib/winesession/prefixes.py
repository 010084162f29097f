"""Wine prefixes, and the template they are copied from.

The project's prefixes are copies of one template per Wine version, made once
per folder under a lock. A copy shares the template's installed binaries
through hard links and has its own registry and every other file, and it is
made anew for every session, so nothing lingers from an earlier run. A
user's own prefix is used as it is and never created."""

import fcntl
import hashlib
import os
import pwd
import re
import shutil
import subprocess
from pathlib import Path

from .wine import Error, Wine, windows_path

# Only these stay shared with the template; everything Wine may rewrite is copied.
BINARY = re.compile(r".*\.(dll|exe|drv|sys|vxd|ocx|cpl|acm|ax|ds|com|nls|tlb)$", re.I)


def manifest(folder):
    """The sha256 of every file in folder, in a fixed order, as sha256sum prints it."""
    lines = []
    for path in sorted(Path(folder).rglob("*"), key=lambda p: str(p.relative_to(folder)).encode()):
        if path.is_file() and not path.is_symlink():
            lines.append(f"{hashlib.sha256(path.read_bytes()).hexdigest()}  ./{path.relative_to(folder)}\n")
    return "".join(lines)


def fonts_folder(wine):
    """Wine's own TrueType fonts (Tahoma, Marlett for the title-bar buttons), or None."""
    binaries = Path(wine).resolve().parent
    for folder in (binaries / "../share/wine/fonts", binaries / "../../share/wine/fonts"):
        if (folder / "marlett.ttf").is_file():
            return folder
    return None


def template(tools, env):
    """The template for the Wine in use, made when missing. Prefix creation is
    slow (15 s natively, a minute more for its 32-bit half under emulation), so
    it happens once per folder, Wine version and 32-bit support; other
    templates go when a new one is made."""
    loader = tools.wine64 or tools.wine  # it starts on any kernel
    try:
        version = subprocess.run([loader, "--version"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        raise Error(f"{loader} cannot start: {error}") from None
    version = re.sub(r"[^A-Za-z0-9.+~-]", "_", version.strip())
    if tools.x86_mode == "none":  # no 32-bit half, so another template
        version += "-without-x86"
    root = tools.root.resolve()
    root.mkdir(parents=True, exist_ok=True)
    made = root / f"template-{version}"
    with open(root / "template.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if made.is_dir():
            return made
        for old in [*root.glob("template-*"), root / "template"]:
            shutil.rmtree(old, ignore_errors=True) if old.is_dir() else old.unlink(missing_ok=True)
        new = Path(f"{made}.new")
        wine = Wine(tools, {k: v for k, v in env.items() if k != "DISPLAY"}, new)
        log = root / "template.log"
        with open(log, "w") as output:
            booted = wine.run("wineboot.exe", "-i", loader=wine.tool, seconds=300, stdout=output, stderr=output)
        if booted.returncode != 0 or wine.server("-w", seconds=120).returncode != 0:
            raise Error(f"Wine could not create a prefix in {new}:\n{log.read_text()}")
        # Debian's Wine 8 looks for its fonts at "<data dir>\../fonts", which its
        # own file layer cannot open, so dialogs fall back to other fonts and the
        # close button shows Marlett's "r". Naming the folder makes them load.
        fonts = fonts_folder(tools.wine)
        if fonts:
            wine.reg("add", r"HKCU\Software\Wine\Fonts", "/v", "Path", "/t", "REG_SZ", "/d", windows_path(fonts), "/f")
            wine.server("-w", seconds=120)
        # What the template holds when made, for the check that nothing changes it.
        Path(f"{made}.sha256").write_text(manifest(new))
        new.rename(made)
    return made


def copy(source, prefix):
    """A fresh prefix at prefix, from the template at source."""
    prefix, new = Path(prefix), Path(f"{prefix}.new")
    for old in (prefix, new):
        shutil.rmtree(old, ignore_errors=True)
    shutil.copytree(source, new, symlinks=True, copy_function=os.link)
    for path in new.rglob("*"):
        if path.is_file() and not path.is_symlink() and not BINARY.match(path.name):
            shutil.copy2(path, f"{path}.copy")
            os.replace(f"{path}.copy", path)
    new.rename(prefix)


def check_own(prefix):
    """The absolute path of someone's own prefix; a folder that is not a Wine
    prefix of theirs is refused rather than turned into one."""
    prefix = Path(prefix)
    if not prefix.is_dir():
        raise Error(f"WINEPREFIX={prefix} does not exist; it must name an existing Wine prefix")
    prefix = prefix.resolve()  # Wine takes absolute paths only
    if not (prefix / "system.reg").is_file() or not (prefix / "drive_c").is_dir():
        raise Error(f"WINEPREFIX={prefix} is not a Wine prefix (no system.reg and drive_c)")
    owner = prefix.stat().st_uid
    if owner != os.getuid():
        try:
            owner = pwd.getpwuid(owner).pw_name
        except KeyError:
            pass
        raise Error(f"WINEPREFIX={prefix} belongs to {owner}; Wine runs only in a prefix of your own")
    return prefix


def install(file, destination):
    """Puts file into a prefix made from the template. The destination may be
    a hard link into the template, so it is replaced, never written through."""
    Path(destination).unlink(missing_ok=True)
    shutil.copy(file, destination)


def system_folder(prefix, arch):
    """Where a prefix keeps system DLLs for programs of arch; a 64-bit prefix
    keeps the 32-bit ones in syswow64."""
    return Path(prefix, "drive_c", "windows", {"x86": "syswow64", "x64": "system32"}[arch])


def install_compressors(wine, arch, drivers):
    """Installs video compressors for programs of arch as an installer does:
    each driver file (a path, or None for one left missing) as CODE.dll in
    that system folder, and every vidc.CODE in that view of the registry, in
    one import: each reg.exe is a process start, seconds under emulation."""
    prefix = wine.env["WINEPREFIX"]
    view = "Wow6432Node\\" if arch == "x86" else ""
    lines = ["REGEDIT4", "", f"[HKEY_LOCAL_MACHINE\\Software\\{view}Microsoft\\Windows NT\\CurrentVersion\\Drivers32]"]
    for code, driver in drivers.items():
        if driver:
            install(driver, system_folder(prefix, arch) / f"{code}.dll")
        lines.append(f'"vidc.{code}"="{code}.dll"')
    registry = Path(prefix, "compressors.reg")
    registry.write_text("\n".join(lines) + "\n")
    wine.reg("import", windows_path(registry))
    registry.unlink()
