#!/usr/bin/python3
"""A built reboot.exe as it ships: format, size, hardening, imports, the same image elsewhere.

usage: artifact.py REBOOT_EXE BARE_EXE SOURCE_DIR TOOLCHAIN_FILE
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

try:
    import pefile
except ImportError:
    sys.exit("artifact: python3-pefile is not installed (scripts/packages lists it)")

HIGH_ENTROPY, DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0020, 0x0040, 0x0100, 0x0400  # DllCharacteristics
SHARED, WRITE = 0x10000000, 0x80000000  # section flags
DIRECTORIES = {"resource": 2, "debug": 6, "TLS": 9}  # data directory entries
EXCEPTIONS = 3  # the data directory entry of x64's unwind data
ARCHES = {  # by machine: name, magic, the Windows declared (XP, Server 2003)
    0x14C: ("PE32 for i386", 0x10B, (5, 1)),
    0x8664: ("PE32+ for x64", 0x20B, (5, 2)),
}
X64_SIZE = "x64's 8-byte imports and unwind data take .rdata past the bare program's 512 bytes"
IMPORTS = {"KERNEL32.DLL": {"GetCurrentProcess", "CloseHandle", "ExitProcess"},
           "ADVAPI32.DLL": {"OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges"},
           "USER32.DLL": {"ExitWindowsEx", "MessageBoxA"}}
OTHER_BASE = 0x10000000
BREPRO = {"timestamp": "the Visual Studio linker's only fixed time stamp (/Brepro) is a hash",
          "debug": "/Brepro marks the image reproducible in a debug directory entry"}
TOOLCHAINS = {  # the bytes its exe may take, which nothing waives; the targets its linker
    # cannot meet, and why
    "i686-w64-mingw32-clang.cmake": (2560, {}),
    "i686-w64-mingw32.cmake": (3072, {"read-only": "GNU ld keeps the import table in a writable"
                                      " .idata section",
                                      "bare": "GNU ld's separate .idata takes 512 bytes more"}),
    "i686-pc-windows-msvc-clang-cl.cmake": (2560, BREPRO),
    "x86_64-w64-mingw32-clang.cmake": (3072, {"bare": X64_SIZE}),
    "x86_64-pc-windows-msvc-clang-cl.cmake": (3072, BREPRO | {"bare": X64_SIZE}),
}


def rebuilt(source, toolchain):
    """reboot.exe built from a copy of the sources in another folder, at OTHER_BASE."""
    with tempfile.TemporaryDirectory() as work:
        copy, build = work + "/elsewhere/at/another/depth", work + "/build"
        shutil.copytree(source, copy, ignore=shutil.ignore_patterns(".git", "build"))
        subprocess.run(["cmake", "-S", copy, "-B", build, "-G", "Ninja", "-DBUILD_TESTING=OFF",
                        "-DCMAKE_BUILD_TYPE=MinSizeRel",
                        f"-DCMAKE_TOOLCHAIN_FILE={copy}/cmake/{toolchain}",
                        "-DCMAKE_EXE_LINKER_FLAGS_MINSIZEREL=" + ("/INCREMENTAL:NO /BASE:0x10000000"
                        if "msvc" in toolchain else "-Wl,--image-base,0x10000000")],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "--target", "reboot"],
                       check=True, stdout=subprocess.DEVNULL)
        return pathlib.Path(build, "reboot.exe").read_bytes()


def moved(data):
    """The image as if linked at OTHER_BASE, by its base relocations, less its checksum
    and time stamps."""
    pe = pefile.PE(data=data)
    pe.relocate_image(OTHER_BASE)
    pe.OPTIONAL_HEADER.ImageBase = OTHER_BASE  # which pefile leaves where no relocation is
    pe.OPTIONAL_HEADER.CheckSum = 0
    for header in [pe.FILE_HEADER] + [d.struct for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])]:
        header.TimeDateStamp = 0
    return pe.write()


def checks(exe, bare, source, toolchain):
    data = pathlib.Path(exe).read_bytes()
    pe = pefile.PE(data=data)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    flags = optional.DllCharacteristics
    imports = {e.dll.decode().upper(): {i.name.decode() for i in e.imports}
               for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    # The processor the preset builds for, by its toolchain, not by the file's own header.
    machine = 0x8664 if toolchain.startswith("x86_64") else 0x14C
    name, magic, windows = ARCHES[machine]
    max_bytes = TOOLCHAINS[toolchain][0]
    x64 = machine == 0x8664
    return [
        ("format", f"{name}, GUI subsystem",
         header.Machine == machine and optional.Magic == magic and optional.Subsystem == 2),
        ("windows", f"subsystem and OS version {windows[0]}.{windows[1]:02}",
         (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion) == windows ==
         (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)),
        ("size", f"at most {max_bytes} bytes", len(data) <= max_bytes),
        ("bare", "no larger than the bare request program", len(data) <= os.path.getsize(bare)),
        *[(name, f"no {name} directory", optional.DATA_DIRECTORY[entry].Size == 0)
          for name, entry in DIRECTORIES.items()],
        ("timestamp", "zero time stamp", header.TimeDateStamp == 0),
        ("checksum", "correct PE checksum", optional.CheckSum == pe.generate_checksum()),
        ("no-seh", "no exception handlers (NO_SEH)", flags & NO_SEH) if not x64 else
        ("unwind", "unwind data, which x64 requires, and high-entropy addresses",
         optional.DATA_DIRECTORY[EXCEPTIONS].Size and flags & HIGH_ENTROPY),
        ("dep", "no-execute data (DEP)", flags & NX_COMPAT),
        ("read-only", "no section writable or shared at run time",
         not any(s.Characteristics & (WRITE | SHARED) for s in pe.sections)),
        ("imports", "imports exactly the eight functions it calls", imports == IMPORTS),
        # Wine always loads an exe at its preferred base, so relocations are shown here.
        ("same-image", "relocatable (ASLR), and built in another folder at another base, the"
         " same image moved there by its relocations: no path in it, no relocation missing",
         flags & DYNAMIC_BASE and moved(data) == moved(rebuilt(source, toolchain))),
    ]


def main(argv):
    if len(argv) != 4 or os.path.basename(argv[3]) not in TOOLCHAINS:
        sys.exit(__doc__.split("\n\n")[1])
    toolchain = os.path.basename(argv[3])
    waived, failed = TOOLCHAINS[toolchain][1], 0
    for key, promise, ok in checks(*argv[:3], toolchain):
        status = "ok  " if ok else "WAIVED" if key in waived else "FAIL"
        print(f"{status} {promise}" + (f" ({waived[key]})" if status == "WAIVED" else ""))
        failed += status == "FAIL"
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
