#!/usr/bin/python3
"""Checks a built reboot.exe as it ships: format, size, hardening, imports, texts,
relocations, and the same bytes from other folders.

usage: artifact.py REBOOT_EXE BARE_EXE SOURCE_DIR TOOLCHAIN_FILE gnu|lld|msvc
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

try:
    import pefile
except ImportError:
    sys.exit("artifact: python3-pefile is not installed (scripts/setup installs it)")

MAX_BYTES = 2560
DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0040, 0x0100, 0x0400  # DllCharacteristics
SHARED, WRITE = 0x10000000, 0x80000000  # section flags
IMPORTS = {
    "KERNEL32.DLL": {"GetCurrentProcess", "CloseHandle", "ExitProcess"},
    "ADVAPI32.DLL": {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges"},
    "USER32.DLL": {"ExitWindowsEx", "MessageBoxA"},
}
TEXTS = [b"SeShutdownPrivilege", b"Reboot failed", b"Error"]
OTHER_BASE = 0x10000000
LINKERS = {  # how to link at another base; the targets a linker cannot meet, and why
    "lld": ("-Wl,--image-base,0x10000000", {}),
    "gnu": ("-Wl,--image-base,0x10000000", {
        "read-only": "GNU ld keeps the import table in a writable .idata section",
        "size": "GNU ld's separate .idata section takes 512 bytes more"}),
    "msvc": ("/INCREMENTAL:NO /BASE:0x10000000", {
        "timestamp": "the Visual Studio linker's only fixed time stamp (/Brepro) is a hash",
        "debug": "/Brepro marks the image reproducible in a debug directory entry"}),
}


def directory(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]].Size


def build(source, toolchain, folder, *options):
    """reboot.exe built from a copy of the sources in another folder."""
    copy = os.path.join(folder, "src")
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns(".git", "build"))
    subprocess.run(["cmake", "-S", copy, "-B", folder + "/build", "-G", "Ninja",
                    "-DBUILD_TESTING=OFF", "-DCMAKE_BUILD_TYPE=MinSizeRel",
                    "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(copy, "cmake", os.path.basename(toolchain)), *options],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder + "/build", "--target", "reboot"],
                   check=True, stdout=subprocess.DEVNULL)
    with open(folder + "/build/reboot.exe", "rb") as f:
        return f.read()


def moved(data, skip=None):
    """The image as if linked at OTHER_BASE, by its base relocations (but the one at
    skip); fields that hold the base or a hash of the whole image are zeroed."""
    pe = pefile.PE(data=data)
    out = bytearray(data)
    delta = OTHER_BASE - pe.OPTIONAL_HEADER.ImageBase
    entries = [e for b in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []) for e in b.entries
               if e.type == pefile.RELOCATION_TYPE["IMAGE_REL_BASED_HIGHLOW"]]
    for entry in entries[:skip] + entries[skip + 1:] if skip is not None else entries:
        at = pe.get_offset_from_rva(entry.rva)
        struct.pack_into("<I", out, at, (struct.unpack_from("<I", out, at)[0] + delta) % 2**32)
    fields = [pe.OPTIONAL_HEADER.get_field_absolute_offset(f) for f in ("ImageBase", "CheckSum")]
    fields += [s.get_field_absolute_offset("TimeDateStamp") for s in
               [pe.FILE_HEADER] + [d.struct for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])]]
    for at in fields:
        out[at:at + 4] = bytes(4)
    return bytes(out)


def checks(exe, bare, source, toolchain, linker):
    with open(exe, "rb") as f:
        data = f.read()
    pe = pefile.PE(data=data)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    flags = optional.DllCharacteristics
    found = {e.dll.decode().upper(): {i.name.decode() for i in e.imports}
             for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    rdata = b"".join(s.get_data() for s in pe.sections if s.Name.startswith(b".rdata"))
    with tempfile.TemporaryDirectory() as work:
        here = build(source, toolchain, work + "/a")
        there = build(source, toolchain, work + "/elsewhere/at/another/depth",
                      "-DCMAKE_EXE_LINKER_FLAGS_MINSIZEREL=" + LINKERS[linker][0])
    yield "format", "PE32 for i386, GUI subsystem", header.Machine == 0x14C and \
        optional.Magic == 0x10B and optional.Subsystem == 2
    yield "size", f"at most {MAX_BYTES} bytes and no larger than the bare request program", \
        len(data) <= min(MAX_BYTES, os.path.getsize(bare))
    yield "resources", "no resources", directory(pe, "IMAGE_DIRECTORY_ENTRY_RESOURCE") == 0
    yield "tls", "no TLS directory", directory(pe, "IMAGE_DIRECTORY_ENTRY_TLS") == 0
    yield "debug", "no debug directory", directory(pe, "IMAGE_DIRECTORY_ENTRY_DEBUG") == 0
    yield "timestamp", "zero time stamp", header.TimeDateStamp == 0
    yield "checksum", "correct PE checksum", optional.CheckSum == pe.generate_checksum()
    yield "no-seh", "no exception handlers (NO_SEH)", bool(flags & NO_SEH)
    yield "dep", "no-execute data (DEP)", bool(flags & NX_COMPAT)
    yield "read-only", "no section writable or shared at run time", \
        not any(s.Characteristics & (WRITE | SHARED) for s in pe.sections)
    yield "imports", "imports exactly the eight functions it calls", found == IMPORTS
    # Zero-terminated, and not the tail of a longer string.
    yield "texts", "its texts as plain 8-bit strings in .rdata", all(
        re.search(rb"(?<![\x20-\x7e])" + re.escape(t) + rb"\x00", rdata) for t in TEXTS)
    yield "paths", "no build-machine path", not any(
        p.encode(e) in data for p in (source, "/usr/") for e in ("ascii", "utf-16-le"))
    yield "reproducible", "the same bytes when built in another folder", here == data
    yield "aslr", "relocatable (ASLR), every absolute address relocated: linked at another " \
        "base, the same bytes as this image moved there", flags & DYNAMIC_BASE and \
        moved(data) == moved(there) and moved(data, skip=0) != moved(there)


def main(argv):
    if len(argv) != 5 or argv[4] not in LINKERS:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    waived = LINKERS[argv[4]][1]
    failed = 0
    for key, promise, ok in checks(*argv):
        status = "ok  " if ok else "WAIVED" if key in waived else "FAIL"
        print(f"{status} {promise}" + (f" ({waived[key]})" if key in waived and not ok else ""))
        failed += status == "FAIL"
    print(f"{failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
