#!/bin/bash
# The release package. reproducible: the same ZIP bytes from another user, time
# zone, folder and file system, holding what it should. signed: a signature that
# verifies, breaks when a byte changes, peels off to the unsigned bytes and
# leaves the program's calls as they were; a signer given in part or a key that
# others can read is refused, and a password shows nowhere.
# Usage: package.sh reproducible|signed REBOOT_EXE SOURCE_DIR
set -eu
[ $# -eq 3 ] || { echo "usage: package.sh reproducible|signed REBOOT_EXE SOURCE_DIR" >&2; exit 2; }
mode=$1 exe=$2 source=$3
fail() { echo "package $mode: $*" >&2; exit 1; }
for tool in setpriv openssl osslsigncode; do
    command -v $tool >/dev/null || fail "$tool is not installed (scripts/setup all installs it)"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$exe" "$source/docs/using.md" "$source/LICENSE" "$work"
pack() { "$source/scripts/pack.py" "$1" 1700000000 "$work/reboot.exe" "$work/using.md" "$work/LICENSE"; }
# The names in a ZIP, or the bytes of one of its files.
unzipped() {
    /usr/bin/python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); sys.stdout.buffer.write(
        z.read(sys.argv[2]) if sys.argv[2:] else " ".join(z.namelist()).encode())' "$@"
}

if [ "$mode" = reproducible ]; then
    [ "$(id -u)" -eq 0 ] || fail "packing as another user needs root"
    TZ=UTC pack "$work/utc.zip" >/dev/null
    [ "$(unzipped "$work/utc.zip")" = "LICENSE.txt README.txt reboot.exe" ] ||
        fail "the ZIP holds $(unzipped "$work/utc.zip")"
    unzipped "$work/utc.zip" reboot.exe | cmp -s - "$exe" || fail "the packed reboot.exe is not the built one"
    # Another user packs copies dated otherwise, in a folder on tmpfs, in Tokyo.
    other=$(mktemp -d -p /dev/shm)
    trap 'rm -rf "$work" "$other"' EXIT
    cp "$source/scripts/pack.py" "$work"/{reboot.exe,using.md,LICENSE} "$other"
    touch -d 2001-02-03 "$other"/*
    chown -R nobody "$other"
    TZ=Asia/Tokyo setpriv --reuid=nobody --regid=nogroup --clear-groups \
        "$other/pack.py" "$other/tokyo.zip" 1700000000 "$other"/{reboot.exe,using.md,LICENSE} >/dev/null
    cmp "$work/utc.zip" "$other/tokyo.zip" || fail "packed by another user in Tokyo, the ZIP differs"
    echo "the same ZIP twice: $(sha256sum < "$work/utc.zip" | cut -c1-16)..."
    exit 0
fi
[ "$mode" = signed ] || fail "no such mode"

cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 \
    -subj "/CN=reboot test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
echo "not-shown-$$" > password
chmod 600 key.pem password
openssl pkcs12 -export -in cert.pem -inkey key.pem -out signer.p12 -passout file:password
chmod 600 signer.p12
refused() {  # the variables of a signer that must be refused, with one line and no ZIP
    if env "$@" "$source/scripts/pack.py" refused.zip 1700000000 reboot.exe using.md LICENSE 2>err; then
        fail "packed with $*"
    fi
    [ ! -e refused.zip ] && [ "$(wc -l < err)" -eq 1 ] || fail "with $*: $(cat err)"
}
refused REBOOT_SIGN_CERT=cert.pem
refused REBOOT_SIGN_PKCS12=signer.p12
chmod 644 key.pem
refused REBOOT_SIGN_CERT=cert.pem REBOOT_SIGN_KEY=key.pem
chmod 600 key.pem

REBOOT_SIGN_CERT=cert.pem REBOOT_SIGN_KEY=key.pem pack pem.zip >/dev/null
REBOOT_SIGN_PKCS12=signer.p12 REBOOT_SIGN_PASSWORD_FILE=password pack p12.zip > output 2>&1
! grep -q -a "not-shown-$$" output p12.zip || fail "the password shows"
for zip in pem p12; do
    mkdir $zip && unzipped $zip.zip reboot.exe > $zip/reboot.exe
    osslsigncode verify -CAfile cert.pem -in $zip/reboot.exe >/dev/null || fail "$zip: not verified"
done
cp pem/reboot.exe changed.exe
printf '\x90' | dd of=changed.exe bs=1 seek=1040 conv=notrunc 2>/dev/null
! osslsigncode verify -CAfile cert.pem -in changed.exe >/dev/null 2>&1 || fail "a changed byte verifies"
osslsigncode remove-signature -in pem/reboot.exe -out unsigned.exe >/dev/null
cmp unsigned.exe "$exe" || fail "without its signature, reboot.exe is not the built one"
for case in accepted refused; do
    "$source/tests/e2e.py" $case pem/reboot.exe || fail "signed, $case: calls differ"
done
echo "signed: verified, a changed byte refused, unsigned bytes restored, the same calls"
