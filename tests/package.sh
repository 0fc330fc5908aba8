#!/bin/bash
# The release package: scripts/package builds the exes afresh from a commit, whatever
# the build folders hold, dates the ZIP's entries by the commit, and SHA256SUMS checks
# as users are told to check it; the same ZIP bytes by another user, time zone, folder
# and file system; signed, a signature that verifies, breaks when a byte changes and
# peels off to the unsigned bytes; bad signers refused. It works in BUILD_DIR/package-test
# alone, where it leaves the signed exes for the e2e.signed cases.
# Usage: package.sh REBOOT_EXE SOURCE_DIR BUILD_DIR
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: package.sh REBOOT_EXE SOURCE_DIR BUILD_DIR" >&2; exit 2; }
exe=$1 source=$2 build=$3 signed=$3/package-test
python=/usr/bin/python3  # Debian's: the ZIP's bytes are its zlib's
fail() { echo "package: $*" >&2; exit 1; }
[ -f "$exe" ] || fail "$exe is not built"
[ -f "$build/CMakeCache.txt" ] || fail "$build is not a build folder: left as it is"
work=$(mktemp -d) other=$(mktemp -d -p /dev/shm)
trap 'rm -rf "$work" "$other"' EXIT
rm -rf "$signed"
epoch=1700000000  # the commit's time, 2023-11-14 22:13:20 UTC: an even second, as a ZIP keeps
dated() {  # the ZIP $1's entries all dated $epoch (UTC)
    local dates
    dates=$(unzip -Z -T "$1" | awk 'NF == 8 && $7 ~ /^[0-9]+\.[0-9]+$/ { print $7 }' | sort -u | xargs)
    [ "$dates" = "$(TZ=UTC date -d "@$epoch" +%Y%m%d.%H%M%S)" ] || fail "$1's entries are dated $dates"
}

# scripts/package on a commit of these sources, where the release presets' build folders
# hold other exes, newer than the sources: the ZIP holds what the sources make.
mkdir "$work/repo"
(cd "$source" && git ls-files -z | tar --null -T - --ignore-failed-read -c) | tar -x -C "$work/repo"
(cd "$work/repo" && git init -q && git add -A &&
    GIT_COMMITTER_DATE="@$epoch +0000" git -c user.name=test -c user.email=test@localhost \
        commit -q -m release &&
    mkdir -p build/windows-x86-clang build/windows-x64-clang &&
    echo stale > build/windows-x86-clang/reboot.exe && cp "$exe" build/windows-x64-clang/reboot.exe &&
    scripts/package >/dev/null) || fail "scripts/package failed"
release=$work/repo/build/package
(cd "$release" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not check"
[ "$(cut -d' ' -f3 "$release/SHA256SUMS" | xargs)" = "$(cd "$release" && echo reboot-*.zip reboot-*.buildinfo)" ] ||
    fail "SHA256SUMS lists $(cut -d' ' -f3 "$release/SHA256SUMS" | xargs)"
# The .buildinfo names the commit, and the compiler, linker and headers at the root's versions.
grep -qx "Commit: $(git -C "$work/repo" rev-parse HEAD)" "$release"/*.buildinfo || fail "no commit in the .buildinfo"
for package in clang-19 lld-19 mingw-w64-common mingw-w64-i686-dev mingw-w64-x86-64-dev; do
    held=$(dpkg-query -W -f='${Package}:${Architecture} (= ${Version})' "$package")
    grep -q "^ $held,\?$" "$release"/*.buildinfo || fail "the .buildinfo does not name $held"
done
zip=$(echo "$release"/reboot-*-windows.zip)
dated "$zip"
[ "$(unzip -Z1 "$zip" | xargs)" = "LICENSE.txt README.txt reboot-x64.exe reboot.exe" ] ||
    fail "the ZIP holds $(unzip -Z1 "$zip" | xargs)"
unzip -q "$zip" -d "$work/unzipped"
(cd "$work/unzipped" && sha256sum --quiet -c "$release"/reboot.exe.unsigned.sha256 \
    "$release"/reboot-x64.exe.unsigned.sha256) || fail "an unsigned exe's SHA-256 does not check"
# Built afresh, the x86 exe is the suite's own, byte for byte, and the x64 one is not the stale file.
exe64=$work/unzipped/reboot-x64.exe
if ! cmp -s "$work/unzipped/reboot.exe" "$exe" || cmp -s "$exe64" "$exe"; then
    fail "scripts/package shipped exes other than the sources make"
fi

cd "$work"
cp "$exe" "$source"/{docs/using.md,LICENSE,scripts/pack.py} . && cp "$exe64" reboot-x64.exe
inputs=(reboot.exe reboot-x64.exe using.md LICENSE)
# The release's ZIP packed again with other dates and modes, on tmpfs, in Tokyo, under
# fakeroot: the files are nobody's. Some seconds later, so that a date taken from the
# clock falls in another ZIP time step.
sleep 3
cp pack.py "${inputs[@]}" "$other" && touch -d 2001-02-03 "$other"/* && chmod 600 "$other"/LICENSE
# In a user namespace that maps no one else, fakeroot records the owner but reports the
# kernel's refusal: what counts is the owner the packer sees.
(cd "$other" && TZ=Asia/Tokyo fakeroot sh -c "chown -R nobody:nogroup . 2>/dev/null;
    [ \"\$(stat -c %U LICENSE)\" = nobody ] && $python pack.py tokyo.zip $epoch ${inputs[*]}" >/dev/null) ||
    fail "could not pack as nobody"
cmp "$zip" "$other/tokyo.zip" || fail "packed by another user in Tokyo, the ZIP differs"

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 \
    -subj "/CN=reboot test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
echo "not-shown-$$" > password
openssl pkcs12 -export -in cert.pem -inkey key.pem -out signer.p12 -passout file:password
chmod 600 key.pem password signer.p12 && install -m 644 key.pem open.pem
# Signers refused with one line and no ZIP: given in part, a file missing, a key others can read.
for signer in "CERT=cert.pem" "CERT=missing.pem KEY=key.pem" "CERT=cert.pem KEY=open.pem"; do
    read -ra variables <<< "$signer"
    if env "${variables[@]/#/REBOOT_SIGN_}" $python pack.py no.zip $epoch "${inputs[@]}" 2>err; then
        fail "packed with $signer"
    fi
    if [ -e no.zip ] || [ "$(wc -l < err)" -ne 1 ]; then fail "with $signer: $(cat err)"; fi
done

for signer in "pem CERT=cert.pem KEY=key.pem" "p12 PKCS12=signer.p12 PASSWORD_FILE=password"; do
    read -r name variables <<< "$signer"
    read -ra variables <<< "$variables"
    env "${variables[@]/#/REBOOT_SIGN_}" $python pack.py "$name.zip" $epoch "${inputs[@]}" >> output 2>&1
    unzip -q "$name.zip" reboot.exe reboot-x64.exe -d "$name"
    for file in "$name/reboot.exe" "$name/reboot-x64.exe"; do
        osslsigncode verify -CAfile cert.pem -in "$file" >/dev/null || fail "$file: refused"
    done
done
! grep -q -a -e "not-shown-$$" -e "$(sed -n 2p key.pem)" output pem/reboot.exe p12/reboot.exe ||
    fail "the password or the key shows"
# A byte of the code changed, whatever it was: the signature no longer verifies.
byte=$(od -An -tu1 -j1040 -N1 p12/reboot.exe)
printf '%b' "\\x$(printf %02x $((byte ^ 0xff)))" | dd of=p12/reboot.exe bs=1 seek=1040 conv=notrunc 2>/dev/null
! osslsigncode verify -CAfile cert.pem -in p12/reboot.exe &>/dev/null || fail "a change verifies"
for pair in "reboot.exe $exe" "reboot-x64.exe $exe64"; do
    read -r name built <<< "$pair"
    rm -f unsigned.exe && osslsigncode remove-signature -in "pem/$name" -out unsigned.exe >/dev/null
    cmp unsigned.exe "$built" || fail "without its signature, $name is not the built one"
done
mkdir -p "$signed" && cp pem/reboot.exe pem/reboot-x64.exe "$signed"
