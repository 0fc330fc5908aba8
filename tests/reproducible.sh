#!/bin/bash
# Builds reboot.exe from the same sources in two other folders with the same
# toolchain file, and checks that those and the given build are byte-identical.
# Usage: reproducible.sh SOURCE_DIR TOOLCHAIN_FILE REBOOT_EXE
set -eu
[ $# -eq 3 ] || { echo "usage: reproducible.sh SOURCE_DIR TOOLCHAIN_FILE REBOOT_EXE" >&2; exit 2; }
source=$1 toolchain=$(basename "$2") built=$3
[ -f "$built" ] || { echo "reproducible: $built is not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Folders of different names and depths, so that no path can hide in the bytes.
for copy in a elsewhere/at/another/depth; do
    mkdir -p "$work/$copy"
    cp -r "$source"/{CMakeLists.txt,README.md,LICENSE,cmake,src,bench} "$work/$copy"
    cmake -S "$work/$copy" -B "$work/$copy/build" -G Ninja -DBUILD_TESTING=OFF \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$work/$copy/cmake/$toolchain" >/dev/null
    cmake --build "$work/$copy/build" --target reboot >/dev/null
done
cmp "$work/a/build/reboot.exe" "$work/elsewhere/at/another/depth/build/reboot.exe"
cmp "$built" "$work/a/build/reboot.exe"
echo "reboot.exe: the same $(stat -c %s "$built") bytes from three folders"
