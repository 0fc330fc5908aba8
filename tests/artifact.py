#!/usr/bin/python3
"""Checks the built reboot.exe as it ships: format, hardening, imports, texts, no paths.

usage: artifact.py REBOOT_EXE SOURCE_DIR BUILD_DIR
"""
import re
import sys

try:
    import pefile
except ImportError:
    sys.exit("artifact: python3-pefile is not installed (scripts/setup installs it)")

DYNAMIC_BASE, NX_COMPAT = 0x0040, 0x0100  # DllCharacteristics
RELOCS_STRIPPED = 0x0001  # FileHeader.Characteristics
SHARED, EXECUTE, WRITE = 0x10000000, 0x20000000, 0x80000000  # section flags
# Beyond these, only the runtime's start-up code imports from KERNEL32 and msvcrt.
IMPORTS = {
    "KERNEL32.DLL": {"GetCurrentProcess", "CloseHandle", "ExitProcess"},
    "ADVAPI32.DLL": {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges"},
    "USER32.DLL": {"ExitWindowsEx", "MessageBoxA"},
    "MSVCRT.DLL": set(),
}
EXACT_IMPORTS = {"ADVAPI32.DLL", "USER32.DLL"}
TEXTS = [b"SeShutdownPrivilege", b"Reboot failed", b"Error"]


def directory(pe, name):
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]
    return entry.VirtualAddress, entry.Size


def name(section):
    return section.Name.rstrip(b"\0").decode()


def imports_problem(pe):
    found = {e.dll.decode().upper(): {i.name.decode() for i in e.imports if i.name}
             for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    for dll in found.keys() - IMPORTS.keys():
        return f"imports from {dll}"
    for dll, needed in IMPORTS.items():
        names = found.get(dll, set())
        if dll in EXACT_IMPORTS and names != needed or not needed <= names:
            return f"{dll} imports {sorted(names)}"
    return None


def texts_problem(pe):
    rdata = b"".join(s.get_data() for s in pe.sections if s.Name.startswith(b".rdata"))
    for text in TEXTS:
        # Zero-terminated, and not the tail of a longer string.
        if not re.search(rb"(?<![\x20-\x7e])" + re.escape(text) + rb"\x00", rdata):
            return f"no plain {text.decode()!r} in .rdata"
    return None


def paths_problem(data, source, build):
    for path in (source, build, "/usr/"):
        for encoded in (path.encode(), path.encode("utf-16-le")):
            if encoded in data:
                return f"holds the path {path}"
    return None


def main(argv):
    if len(argv) != 3:
        print("usage: artifact.py REBOOT_EXE SOURCE_DIR BUILD_DIR", file=sys.stderr)
        return 2
    exe, source, build = argv
    try:
        pe = pefile.PE(exe)
    except (OSError, pefile.PEFormatError) as e:
        print(f"artifact: {exe}: {e}", file=sys.stderr)
        return 1
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    checks = [  # (what the release promises, problem or None)
        ("PE32 for i386", None if header.Machine == 0x14C and optional.Magic == 0x10B
         else f"machine {header.Machine:#x}, magic {optional.Magic:#x}"),
        ("GUI subsystem", None if optional.Subsystem == 2 else f"subsystem {optional.Subsystem}"),
        ("no resources", None if directory(pe, "IMAGE_DIRECTORY_ENTRY_RESOURCE") == (0, 0)
         and ".rsrc" not in map(name, pe.sections) else "has a resource directory"),
        ("zero timestamp", None if header.TimeDateStamp == 0 else f"{header.TimeDateStamp:#x}"),
        ("no debug directory", None if directory(pe, "IMAGE_DIRECTORY_ENTRY_DEBUG") == (0, 0)
         else "has one"),
        ("relocatable (ASLR)", None if optional.DllCharacteristics & DYNAMIC_BASE
         and directory(pe, "IMAGE_DIRECTORY_ENTRY_BASERELOC")[1] > 0
         and not header.Characteristics & RELOCS_STRIPPED else "not relocatable"),
        ("no-execute data (DEP)", None if optional.DllCharacteristics & NX_COMPAT else "not set"),
        ("no section writable and executable, none shared",
         next((f"section {name(s)} flags {s.Characteristics:#x}"
               for s in pe.sections if s.Characteristics & SHARED
               or s.Characteristics & WRITE and s.Characteristics & EXECUTE), None)),
        ("imports only what it uses", imports_problem(pe)),
        ("its texts as plain 8-bit strings", texts_problem(pe)),
        ("no build-machine path", paths_problem(pe.__data__[:], source, build)),
    ]
    failed = 0
    for promise, problem in checks:
        print(f"{'FAIL' if problem else 'ok  '} {promise}" + (f": {problem}" if problem else ""))
        failed += problem is not None
    print(f"{len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
