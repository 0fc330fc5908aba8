#!/usr/bin/python3
"""Checks a built reboot.exe as it ships: format, size, hardening, imports,
relocations, and the same bytes from other folders.

usage: artifact.py REBOOT_EXE BARE_EXE SOURCE_DIR TOOLCHAIN_FILE gnu|lld|msvc
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

try:
    import pefile
except ImportError:
    sys.exit("artifact: python3-pefile is not installed (scripts/setup all installs it)")

MAX_BYTES = 2560
DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0040, 0x0100, 0x0400  # DllCharacteristics
SHARED, WRITE = 0x10000000, 0x80000000  # section flags
IMPORTS = {"KERNEL32.DLL": {"GetCurrentProcess", "CloseHandle", "ExitProcess"},
           "ADVAPI32.DLL": {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges"},
           "USER32.DLL": {"ExitWindowsEx", "MessageBoxA"}}
OTHER_BASE = 0x10000000
LINKERS = {  # the option that links at OTHER_BASE; the targets it cannot meet, and why
    "lld": ("-Wl,--image-base,0x10000000", {}),
    "gnu": ("-Wl,--image-base,0x10000000", {
        "read-only": "GNU ld keeps the import table in a writable .idata section",
        "size": "GNU ld's separate .idata section takes 512 bytes more"}),
    "msvc": ("/INCREMENTAL:NO /BASE:0x10000000", {
        "timestamp": "the Visual Studio linker's only fixed time stamp (/Brepro) is a hash",
        "debug": "/Brepro marks the image reproducible in a debug directory entry"}),
}


def build(source, toolchain, folder, *options):
    """reboot.exe built from a copy of the sources in another folder."""
    shutil.copytree(source, folder + "/src", ignore=shutil.ignore_patterns(".git", "build"))
    subprocess.run(["cmake", "-S", folder + "/src", "-B", folder + "/build", "-G", "Ninja",
                    "-DBUILD_TESTING=OFF", "-DCMAKE_BUILD_TYPE=MinSizeRel",
                    f"-DCMAKE_TOOLCHAIN_FILE={folder}/src/cmake/{os.path.basename(toolchain)}",
                    *options], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder + "/build", "--target", "reboot"],
                   check=True, stdout=subprocess.DEVNULL)
    with open(folder + "/build/reboot.exe", "rb") as f:
        return f.read()


def moved(data):
    """The image as if linked at OTHER_BASE, by its base relocations, with the
    fields that hold the base or a hash zeroed."""
    pe = pefile.PE(data=data)
    out = bytearray(data)
    relocations = [e.rva for b in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for e in b.entries
                   if e.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]]
    for at in map(pe.get_offset_from_rva, relocations):
        word = struct.unpack_from("<I", out, at)[0] + OTHER_BASE - pe.OPTIONAL_HEADER.ImageBase
        struct.pack_into("<I", out, at, word % 2**32)
    stamped = [pe.FILE_HEADER] + [d.struct for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])]
    fields = [(pe.OPTIONAL_HEADER, "ImageBase"), (pe.OPTIONAL_HEADER, "CheckSum")] + \
        [(header, "TimeDateStamp") for header in stamped]
    for at in (header.get_field_absolute_offset(field) for header, field in fields):
        out[at:at + 4] = bytes(4)
    return bytes(out)


def checks(exe, bare, source, toolchain, linker):
    with open(exe, "rb") as f:
        data = f.read()
    pe = pefile.PE(data=data)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    flags = optional.DllCharacteristics
    directory = {n.lower(): optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[
        "IMAGE_DIRECTORY_ENTRY_" + n]].Size for n in ("RESOURCE", "TLS", "DEBUG")}
    imports = {e.dll.decode().upper(): {i.name.decode() for i in e.imports}
               for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    with tempfile.TemporaryDirectory() as work:
        here = build(source, toolchain, work + "/a")
        there = build(source, toolchain, work + "/elsewhere/at/another/depth",
                      "-DCMAKE_EXE_LINKER_FLAGS_MINSIZEREL=" + LINKERS[linker][0])
    return [
        ("format", "PE32 for i386, GUI subsystem",
         header.Machine == 0x14C and optional.Magic == 0x10B and optional.Subsystem == 2),
        ("size", f"at most {MAX_BYTES} bytes and no larger than the bare request program",
         len(data) <= min(MAX_BYTES, os.path.getsize(bare))),
        *[(name, f"no {name} directory", size == 0) for name, size in directory.items()],
        ("timestamp", "zero time stamp", header.TimeDateStamp == 0),
        ("checksum", "correct PE checksum", optional.CheckSum == pe.generate_checksum()),
        ("no-seh", "no exception handlers (NO_SEH)", flags & NO_SEH),
        ("dep", "no-execute data (DEP)", flags & NX_COMPAT),
        ("read-only", "no section writable or shared at run time",
         not any(s.Characteristics & (WRITE | SHARED) for s in pe.sections)),
        ("imports", "imports exactly the eight functions it calls", imports == IMPORTS),
        ("reproducible", "the same bytes when built in another folder, so no path in them",
         here == data),
        # Wine always loads an exe at its preferred base, so this is shown here.
        ("aslr", "relocatable (ASLR), and linked at another base the same as this image moved"
         " there by its relocations", flags & DYNAMIC_BASE and moved(data) == moved(there)),
    ]


def main(argv):
    if len(argv) != 5 or argv[4] not in LINKERS:
        sys.exit(__doc__.split("\n\n")[1])
    waived = LINKERS[argv[4]][1]
    failed = 0
    for key, promise, ok in checks(*argv):
        status = "ok  " if ok else "WAIVED" if key in waived else "FAIL"
        print(f"{status} {promise}" + (f" ({waived[key]})" if status == "WAIVED" else ""))
        failed += status == "FAIL"
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
