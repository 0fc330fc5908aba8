#!/usr/bin/python3
"""Packs the release ZIP: reboot.exe (x86) and reboot-x64.exe, signed when a signer
is given, README.txt (the users' document) and LICENSE.txt. Beside it, SHA256SUMS
holds the ZIP's SHA-256, and NAME.unsigned.sha256 that of each exe before signing.

usage: pack.py ZIP EPOCH REBOOT_EXE REBOOT_X64_EXE USERS_DOC LICENSE

The ZIP's bytes depend on nothing but the four files and EPOCH (seconds since
1970, UTC), which dates every entry: not on the time zone, user, folder or file
system. A signer is given in the environment: REBOOT_SIGN_CERT and
REBOOT_SIGN_KEY (PEM), or REBOOT_SIGN_PKCS12 and REBOOT_SIGN_PASSWORD_FILE;
REBOOT_SIGN_TIMESTAMP_URL names an RFC 3161 time-stamp server to use with either.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

SIGNERS = {  # the variables that make up a signer: osslsigncode's option for each
    ("REBOOT_SIGN_CERT", "REBOOT_SIGN_KEY"): ("-certs", "-key"),
    ("REBOOT_SIGN_PKCS12", "REBOOT_SIGN_PASSWORD_FILE"): ("-pkcs12", "-readpass"),
}
SECRETS = {"REBOOT_SIGN_KEY", "REBOOT_SIGN_PKCS12", "REBOOT_SIGN_PASSWORD_FILE"}
TIMESTAMP = "REBOOT_SIGN_TIMESTAMP_URL"


class PackError(Exception):
    pass


def signing_options():
    """osslsigncode's options for the signer in the environment, or None without one."""
    given = {name for names in SIGNERS for name in names if os.environ.get(name)}
    if not given:
        if os.environ.get(TIMESTAMP):
            raise PackError(f"{TIMESTAMP} is set, but no signer is given")
        return None
    names = next((names for names in SIGNERS if given == set(names)), None)
    if names is None:
        raise PackError("a signer is REBOOT_SIGN_CERT with REBOOT_SIGN_KEY, or REBOOT_SIGN_PKCS12"
                        f" with REBOOT_SIGN_PASSWORD_FILE; given: {', '.join(sorted(given))}")
    options = []
    for name, option in zip(names, SIGNERS[names]):
        path = os.environ[name]
        if not os.path.isfile(path) or not os.access(path, os.R_OK):
            raise PackError(f"{name}: cannot read {path}")
        if name in SECRETS and os.stat(path).st_mode & 0o077:
            raise PackError(f"{name}: {path} is open to other users (chmod 600 it)")
        options += [option, path]
    if os.environ.get(TIMESTAMP):
        options += ["-ts", os.environ[TIMESTAMP]]
    return options


def sign(exe, options):
    if shutil.which("osslsigncode") is None:
        raise PackError("osslsigncode is not installed (scripts/setup sign installs it)")
    with tempfile.TemporaryDirectory() as work:
        signed = os.path.join(work, "reboot.exe")
        done = subprocess.run(["osslsigncode", "sign", *options, "-h", "sha256",
                               "-in", exe, "-out", signed], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise PackError("osslsigncode could not sign: " +
                            (done.stderr.strip().splitlines() or ["no reason given"])[0])
        with open(signed, "rb") as f:
            return f.read()


def text(path):
    """A text file as Windows' Notepad shows it best: CRLF line ends."""
    with open(path, "rb") as f:
        return f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def write_zip(path, members, epoch):
    """Sorted entries, all dated EPOCH in UTC, fixed attributes, no extra fields."""
    date = time.gmtime(epoch)[:6]
    with zipfile.ZipFile(path, "w") as archive:
        for name in sorted(members):
            entry = zipfile.ZipInfo(name, date_time=date)
            entry.create_system, entry.external_attr = 0, 0  # MS-DOS, no attributes
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, members[name], compresslevel=9)


def main(argv):
    if len(argv) != 6 or not argv[1].isdigit():
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    zip_path, epoch, exe, exe64, doc, license_ = argv
    options = signing_options()
    members = {"README.txt": text(doc), "LICENSE.txt": text(license_)}
    folder = os.path.dirname(os.path.abspath(zip_path))
    for name, path in (("reboot.exe", exe), ("reboot-x64.exe", exe64)):
        with open(path, "rb") as f:
            unsigned = f.read()
        members[name] = sign(path, options) if options else unsigned
        with open(os.path.join(folder, f"{name}.unsigned.sha256"), "w") as f:
            f.write(f"{hashlib.sha256(unsigned).hexdigest()}  {name}\n")
    write_zip(zip_path, members, int(epoch))
    with open(zip_path, "rb") as f:
        line = f"{hashlib.sha256(f.read()).hexdigest()}  {os.path.basename(zip_path)}\n"
    with open(os.path.join(folder, "SHA256SUMS"), "w") as f:
        f.write(line)
    print(line, end="")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (PackError, OSError) as e:
        sys.exit(f"pack: {e}")
