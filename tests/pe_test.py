"""The built file itself: a GUI program for the target machine that imports
exactly the chooser and the runtime's two system libraries, and carries no
resources. Read with pefile rather than by hand.

    pe_test.py EXE MACHINE(x86|x64)
"""

import sys

import pefile

MACHINES = {
    "x86": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], pefile.OPTIONAL_HEADER_MAGIC_PE),
}
EXPECTED_IMPORTS = {"kernel32.dll", "msvcrt.dll", "msvfw32.dll"}


def check(pe, machine):
    """Yields one message per property the file gets wrong."""
    want_machine, want_magic = MACHINES[machine]
    if pe.FILE_HEADER.Machine != want_machine:
        yield f"machine 0x{pe.FILE_HEADER.Machine:04x}, expected 0x{want_machine:04x}"
    if pe.OPTIONAL_HEADER.Magic != want_magic:
        yield f"optional header magic 0x{pe.OPTIONAL_HEADER.Magic:x}, expected 0x{want_magic:x}"
    gui = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]
    if pe.OPTIONAL_HEADER.Subsystem != gui:
        yield f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, expected {gui} (GUI)"

    # DLL names compare without case, as the loader does.
    imports = {
        entry.dll.decode().lower(): [imp.name.decode() if imp.name else f"#{imp.ordinal}"
                                     for imp in entry.imports]
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    }
    if set(imports) != EXPECTED_IMPORTS:
        yield f"imports {sorted(imports)}, expected {sorted(EXPECTED_IMPORTS)}"
    if imports.get("msvfw32.dll") != ["ICCompressorChoose"]:
        yield f"from MSVFW32.dll: {imports.get('msvfw32.dll')}, expected only ICCompressorChoose"
    if hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"):
        yield "has delay-load imports"

    resources = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
    if resources.VirtualAddress or resources.Size:
        yield f"has a resource directory ({resources.Size} bytes)"
    if any(section.Name.rstrip(b"\0") == b".rsrc" for section in pe.sections):
        yield "has a .rsrc section"


def main():
    path, machine = sys.argv[1], sys.argv[2]
    pe = pefile.PE(path)
    problems = list(check(pe, machine))
    for problem in problems:
        print(f"FAIL: {path}: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"{path}: {machine}, GUI, imports {sorted(EXPECTED_IMPORTS)}, no resources")
    return 0


if __name__ == "__main__":
    sys.exit(main())
