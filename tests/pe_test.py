"""The built files themselves: programs for the target machine that import
only what they call of MSVFW32.dll and their runtime's system libraries,
carry no resources, and are hardened: imports resolved from the system
folder only, ASLR, DEP, no writable code, no time stamp. Read with pefile
rather than by hand.

    pe_test.py TARGET(x86|x64) TOOLCHAIN LOAD_CONFIG_SIZE PROGRAM=EXE [PROGRAM=EXE ...]

PROGRAM is selnary (the GUI program, which imports exactly the chooser) or
report (selnary-compressors, a console program that asks compressors).

TOOLCHAIN is mingw-msvcrt, mingw-ucrt or msvc (static runtime). LOAD_CONFIG_SIZE
is the Size the load-configuration record must have, 0 where the toolchain's
runtime provides the record.
"""

import re
import sys

import pefile

TARGETS = {
    "x86": {
        "machine": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
        "magic": pefile.OPTIONAL_HEADER_MAGIC_PE,
        "dependent_load_flags_offset": 0x36,
        "characteristics": ("DYNAMIC_BASE", "NX_COMPAT"),
    },
    "x64": {
        "machine": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
        "magic": pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS,
        "dependent_load_flags_offset": 0x4E,
        "characteristics": ("DYNAMIC_BASE", "NX_COMPAT", "HIGH_ENTROPY_VA"),
    },
}

# What each toolchain links in: the runtime's DLLs (a pattern, since the UCRT
# comes as many api-ms-win-crt-* sets), whether the record is ours alone,
# whether its x86 code registers SEH handlers, and whether the programs are
# held to their size budgets (the static MSVC runtime is larger).
TOOLCHAINS = {
    "mingw-msvcrt": {"runtime": r"msvcrt\.dll", "own_record": True, "seh_on_x86": False,
                     "budget": True, "timestamp": "zero"},
    "mingw-ucrt": {"runtime": r"api-ms-win-crt-[a-z0-9-]+\.dll", "own_record": True,
                   "seh_on_x86": False, "budget": True, "timestamp": "zero"},
    # /Brepro writes a hash of the contents where the time stamp would be.
    "msvc": {"runtime": None, "own_record": False, "seh_on_x86": True,
             "budget": False, "timestamp": "hash"},
}
# What each program is and may import from MSVFW32.dll (exactly, or at most),
# and how large it may be with a mingw-w64 toolchain: the report's budget
# leaves no room for a thread library it does not use (winpthread, 27 KiB).
PROGRAMS = {
    "selnary": {"subsystem": "IMAGE_SUBSYSTEM_WINDOWS_GUI", "msvfw32": {"ICCompressorChoose"},
                "exact": True, "max_size": 16 * 1024, "system": set()},
    # The report also reads the other registry view (advapi32), names the
    # window a hung compressor shows (user32), and writes its recordings and
    # reads a person's files (--play) through the AVI file library
    # (avifil32), asking the platform for a file's decompressor (ICLocate).
    # --play took it from 387,584 to 485,888 bytes (x86).
    "report": {"subsystem": "IMAGE_SUBSYSTEM_WINDOWS_CUI",
               "msvfw32": {"ICInfo", "ICOpen", "ICClose", "ICGetInfo", "ICSendMessage", "ICLocate"},
               "exact": False, "max_size": 496 * 1024,
               "system": {"advapi32.dll", "user32.dll", "avifil32.dll"}},
}
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800


def directory(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[f"IMAGE_DIRECTORY_ENTRY_{name}"]]


def check(pe, program, target, toolchain, load_config_size):
    """Yields one message per property the file gets wrong."""
    want_machine, want_magic = target["machine"], target["magic"]
    if pe.FILE_HEADER.Machine != want_machine:
        yield f"machine 0x{pe.FILE_HEADER.Machine:04x}, expected 0x{want_machine:04x}"
    if pe.OPTIONAL_HEADER.Magic != want_magic:
        yield f"optional header magic 0x{pe.OPTIONAL_HEADER.Magic:x}, expected 0x{want_magic:x}"
    subsystem = pefile.SUBSYSTEM_TYPE[program["subsystem"]]
    if pe.OPTIONAL_HEADER.Subsystem != subsystem:
        yield f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, expected {subsystem} ({program['subsystem']})"

    # DLL names compare without case, as the loader does.
    imports = {
        entry.dll.decode().lower(): [imp.name.decode() if imp.name else f"#{imp.ordinal}"
                                     for imp in entry.imports]
        for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    }
    runtime = toolchain["runtime"]
    for dll in sorted(set(imports) - {"kernel32.dll", "msvfw32.dll"} - program["system"]):
        if not (runtime and re.fullmatch(runtime, dll)):
            yield f"imports {dll}, which this toolchain's program has no use for"
    for dll in ("kernel32.dll", "msvfw32.dll"):
        if dll not in imports:
            yield f"does not import {dll}"
    if runtime and not any(re.fullmatch(runtime, dll) for dll in imports):
        yield f"imports no runtime DLL matching {runtime}"
    called = set(imports.get("msvfw32.dll", []))
    allowed = program["msvfw32"]
    if called != allowed if program["exact"] else not called <= allowed:
        yield f"from MSVFW32.dll: {sorted(called)}, expected {'exactly' if program['exact'] else 'at most'} {sorted(allowed)}"
    if hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"):
        yield "has delay-load imports"

    resources = directory(pe, "RESOURCE")
    if resources.VirtualAddress or resources.Size:
        yield f"has a resource directory ({resources.Size} bytes)"
    if any(section.Name.rstrip(b"\0") == b".rsrc" for section in pe.sections):
        yield "has a .rsrc section"

    yield from check_time_stamps(pe, toolchain)
    yield from check_hardening(pe, program, target, toolchain, load_config_size)


def check_time_stamps(pe, toolchain):
    stamp = pe.FILE_HEADER.TimeDateStamp
    if toolchain["timestamp"] == "zero" and stamp:
        yield f"file header time stamp 0x{stamp:08x}, expected none (0)"
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        if toolchain["timestamp"] == "zero" and entry.struct.TimeDateStamp:
            yield f"debug directory time stamp 0x{entry.struct.TimeDateStamp:08x}"


def check_load_config(pe, target, toolchain, want_size):
    load_config = directory(pe, "LOAD_CONFIG")
    if not load_config.VirtualAddress:
        yield "no load-configuration directory"
        return
    # Read at the documented offsets, whatever name a pefile version gives the field.
    record_size = pe.get_dword_at_rva(load_config.VirtualAddress)
    if want_size and record_size != want_size:
        yield f"load-configuration Size {record_size}, expected {want_size}"
    # The loader reads the record by the directory's size on some versions and
    # by the record's own Size on others; they must agree.
    if load_config.Size != record_size:
        yield f"load-configuration directory size {load_config.Size}, record Size {record_size}"
    offset = target["dependent_load_flags_offset"]
    flags = pe.get_word_at_rva(load_config.VirtualAddress + offset)
    if flags != LOAD_LIBRARY_SEARCH_SYSTEM32:
        yield f"DependentLoadFlags 0x{flags:x}, expected 0x{LOAD_LIBRARY_SEARCH_SYSTEM32:x}"
    if toolchain["own_record"]:
        record = pe.get_data(load_config.VirtualAddress, record_size)
        others = record[4:offset] + record[offset + 2:]
        if any(others):
            yield f"load-configuration record has other non-zero fields: {record.hex()}"


def check_hardening(pe, program, target, toolchain, load_config_size):
    size = len(pe.__data__)
    if toolchain["budget"] and size > program["max_size"]:
        yield f"{size} bytes, more than its budget of {program['max_size']}"

    yield from check_load_config(pe, target, toolchain, load_config_size)

    characteristics = pe.OPTIONAL_HEADER.DllCharacteristics
    wanted = list(target["characteristics"])
    if pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"] and not toolchain["seh_on_x86"]:
        wanted.append("NO_SEH")
    for name in wanted:
        if not characteristics & pefile.DLL_CHARACTERISTICS[f"IMAGE_DLLCHARACTERISTICS_{name}"]:
            yield f"DllCharacteristics 0x{characteristics:04x} lacks {name}"

    # Signing tools recompute the sum when they strip a signature; a file
    # that carries its own valid sum comes back byte for byte.
    if not pe.verify_checksum():
        yield f"header checksum 0x{pe.OPTIONAL_HEADER.CheckSum:08x}, expected 0x{pe.generate_checksum():08x}"

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
    machine, toolchain, load_config_size = sys.argv[1], sys.argv[2], int(sys.argv[3])
    failed = False
    for argument in sys.argv[4:]:
        name, path = argument.split("=", 1)
        pe = pefile.PE(path)
        problems = list(check(pe, PROGRAMS[name], TARGETS[machine], TOOLCHAINS[toolchain], load_config_size))
        for problem in problems:
            print(f"FAIL: {path}: {problem}", file=sys.stderr)
        failed = failed or bool(problems)
        if not problems:
            imports = sorted(entry.dll.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT)
            print(f"{path}: {machine} {toolchain}, subsystem {pe.OPTIONAL_HEADER.Subsystem}, "
                  f"imports {imports}, no resources, time stamp 0x{pe.FILE_HEADER.TimeDateStamp:x}, "
                  f"DllCharacteristics 0x{pe.OPTIONAL_HEADER.DllCharacteristics:04x}, {len(pe.__data__)} bytes")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
