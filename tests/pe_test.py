"""The built file itself: a GUI program for the target machine that imports
exactly the chooser and the runtime's two system libraries, carries no
resources, and is hardened: imports resolved from the system folder only,
ASLR, DEP, no SEH, no writable code, and small. Read with pefile rather than
by hand.

    pe_test.py EXE TARGET(x86|x64)
"""

import sys

import pefile

# What each target's file must be. The load-configuration record's Size is
# the x86 value older loaders demand, and on x64 the record as the mingw-w64
# headers declare it (through SEHandlerCount).
TARGETS = {
    "x86": {
        "machine": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
        "magic": pefile.OPTIONAL_HEADER_MAGIC_PE,
        "load_config_size": 64,
        "dependent_load_flags_offset": 0x36,
        "characteristics": ("DYNAMIC_BASE", "NX_COMPAT", "NO_SEH"),
    },
    "x64": {
        "machine": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
        "magic": pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS,
        "load_config_size": 112,
        "dependent_load_flags_offset": 0x4E,
        "characteristics": ("DYNAMIC_BASE", "NX_COMPAT", "HIGH_ENTROPY_VA"),
    },
}
EXPECTED_IMPORTS = {"kernel32.dll", "msvcrt.dll", "msvfw32.dll"}
MAX_SIZE = 16 * 1024
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800


def check(pe, target):
    """Yields one message per property the file gets wrong."""
    want_machine, want_magic = target["machine"], target["magic"]
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

    yield from check_hardening(pe, target)


def directory(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[f"IMAGE_DIRECTORY_ENTRY_{name}"]]


def check_hardening(pe, target):
    size = len(pe.__data__)
    if size > MAX_SIZE:
        yield f"{size} bytes, more than {MAX_SIZE}"

    load_config = directory(pe, "LOAD_CONFIG")
    if not load_config.VirtualAddress:
        yield "no load-configuration directory"
    else:
        # Read at the documented offsets, whatever name a pefile version gives the field.
        record_size = pe.get_dword_at_rva(load_config.VirtualAddress)
        want_size = target["load_config_size"]
        if record_size != want_size:
            yield f"load-configuration Size {record_size}, expected {want_size}"
        offset = target["dependent_load_flags_offset"]
        flags = pe.get_word_at_rva(load_config.VirtualAddress + offset)
        if flags != LOAD_LIBRARY_SEARCH_SYSTEM32:
            yield f"DependentLoadFlags 0x{flags:x}, expected 0x{LOAD_LIBRARY_SEARCH_SYSTEM32:x}"
        record = pe.get_data(load_config.VirtualAddress, record_size)
        others = record[4:offset] + record[offset + 2:]
        if any(others):
            yield f"load-configuration record has other non-zero fields: {record.hex()}"

    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    for name in target["characteristics"]:
        if not characteristics & pefile.DLL_CHARACTERISTICS[f"IMAGE_DLLCHARACTERISTICS_{name}"]:
            yield f"DllCharacteristics 0x{characteristics:04x} lacks {name}"

    # ASLR can only move the image if it can be rebased.
    if not directory(pe, "BASERELOC").Size:
        yield "no base relocations"
    if pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]:
        yield "marked as having its relocations stripped"

    writable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
    executable = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
    for section in pe.sections:
        if section.Characteristics & writable and section.Characteristics & executable:
            name = section.Name.rstrip(b"\0").decode()
            yield f"section {name} is both writable and executable"


def main():
    path, machine = sys.argv[1], sys.argv[2]
    pe = pefile.PE(path)
    problems = list(check(pe, TARGETS[machine]))
    for problem in problems:
        print(f"FAIL: {path}: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"{path}: {machine}, GUI, imports {sorted(EXPECTED_IMPORTS)}, no resources, "
          f"DllCharacteristics 0x{pe.OPTIONAL_HEADER.DllCharacteristics:04x}, {len(pe.__data__)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
