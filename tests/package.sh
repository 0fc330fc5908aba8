#!/bin/bash
# The release package: the same ZIP bytes by another user, time zone, folder and
# file system; signed, a signature that verifies, breaks when a byte changes and
# peels off to the unsigned bytes, the same calls; bad signers refused.
# Usage: package.sh REBOOT_EXE REBOOT_X64_EXE SOURCE_DIR
set -eu
[ $# -eq 3 ] || { echo "usage: package.sh REBOOT_EXE REBOOT_X64_EXE SOURCE_DIR" >&2; exit 2; }
exe=$1 exe64=$2 source=$3
fail() { echo "package: $*" >&2; exit 1; }
for tool in fakeroot unzip openssl osslsigncode; do command -v $tool >/dev/null ||
    fail "$tool is not installed (scripts/setup all installs it)"; done
[ -f "$exe64" ] || fail "$exe64 is not built (cmake --build --preset windows-x64-clang)"
work=$(mktemp -d) other=$(mktemp -d -p /dev/shm)
trap 'rm -rf "$work" "$other"' EXIT
cd "$work"
cp "$exe" "$source"/{docs/using.md,LICENSE,scripts/pack.py} . && cp "$exe64" reboot-x64.exe
inputs="reboot.exe reboot-x64.exe using.md LICENSE"

TZ=UTC ./pack.py utc.zip 1700000000 $inputs >/dev/null
[ "$(unzip -Z1 utc.zip | xargs)" = "LICENSE.txt README.txt reboot-x64.exe reboot.exe" ] ||
    fail "the ZIP holds $(unzip -Z1 utc.zip | xargs)"
unzip -p utc.zip reboot.exe | cmp -s - "$exe" && unzip -p utc.zip reboot-x64.exe | cmp -s - "$exe64" ||
    fail "a packed exe is another"
# Other dates and modes, on tmpfs, in Tokyo, under fakeroot: the files are nobody's.
cp pack.py $inputs "$other" && touch -d 2001-02-03 "$other"/* && chmod 600 "$other"/LICENSE
(cd "$other" && TZ=Asia/Tokyo fakeroot sh -c "chown -R nobody:nogroup . &&
    ./pack.py tokyo.zip 1700000000 $inputs" >/dev/null)
cmp utc.zip "$other/tokyo.zip" || fail "packed by another user in Tokyo, the ZIP differs"

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 1 \
    -subj "/CN=reboot test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null
echo "not-shown-$$" > password
openssl pkcs12 -export -in cert.pem -inkey key.pem -out signer.p12 -passout file:password
chmod 600 key.pem password signer.p12 && install -m 644 key.pem open.pem
# Signers refused with one line and no ZIP: given in part, a file missing, a key others can read.
for signer in "CERT=cert.pem" "CERT=missing.pem KEY=key.pem" "CERT=cert.pem KEY=open.pem"; do
    ! env $(printf 'REBOOT_SIGN_%s ' $signer) ./pack.py no.zip 1700000000 $inputs 2>err ||
        fail "packed with $signer"
    [ ! -e no.zip ] && [ "$(wc -l < err)" -eq 1 ] || fail "with $signer: $(cat err)"
done

for signer in "pem CERT=cert.pem KEY=key.pem" "p12 PKCS12=signer.p12 PASSWORD_FILE=password"; do
    set -- $signer
    env $(printf 'REBOOT_SIGN_%s ' "${@:2}") ./pack.py $1.zip 1700000000 $inputs >> output 2>&1
    unzip -q $1.zip reboot.exe reboot-x64.exe -d $1
    for signed in $1/reboot.exe $1/reboot-x64.exe; do
        osslsigncode verify -CAfile cert.pem -in $signed >/dev/null || fail "$signed: refused"
    done
done
! grep -q -a -e "not-shown-$$" -e "$(sed -n 2p key.pem)" output pem/reboot.exe p12/reboot.exe ||
    fail "the password or the key shows"
printf '\x90' | dd of=p12/reboot.exe bs=1 seek=1040 conv=notrunc 2>/dev/null
! osslsigncode verify -CAfile cert.pem -in p12/reboot.exe &>/dev/null || fail "a change verifies"
for pair in "reboot.exe $exe" "reboot-x64.exe $exe64"; do
    set -- $pair
    rm -f unsigned.exe && osslsigncode remove-signature -in pem/$1 -out unsigned.exe >/dev/null
    cmp unsigned.exe "$2" || fail "without its signature, $1 is not the built one"
    # The refused run makes every call, the box's included.
    REBOOT_WINEPREFIX= "$source/tests/e2e.py" refused pem/$1 || fail "signed, $1's calls differ"
done
