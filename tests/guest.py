#!/usr/bin/python3
"""The QEMU guest, booted for each row: what comes back is what the command did.

usage: guest.py SOURCE_DIR
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

# name: (command run in the guest, its exit status, stdout, stderr); {uid} and {here}
# stand for the user and the folder it runs as and in.
ROWS = {
    "exit status": (["sh", "-c", "exit 3"], 3, b"", b""),
    "killed by a signal": (["sh", "-c", "kill -KILL $$"], 137, b"", b""),
    "bytes that are not UTF-8": (["sh", "-c", r"printf '\377\n'; printf '\376\n' >&2"], 0,
                                 b"\xff\n", b"\xfe\n"),
    # The job runs as the user who started it (as nobody, where the test runs as root),
    # in a folder it writes, whose name has a space and a comma; a file it makes is its own.
    "the user's own folder": (["sh", "-c", "id -u; pwd; echo made > made"], 0,
                              b"{uid}\n{here}\n", b""),
}


def main(argv):
    if len(argv) != 1:
        sys.exit(__doc__.split("\n\n")[1])
    failed = 0
    with tempfile.TemporaryDirectory() as work:
        # A copy of the guest's scripts and boot files that the user can read.
        shutil.copytree(os.path.join(argv[0], "scripts"), f"{work}/project/scripts")
        cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                             "reboot-guest", "current")
        if not os.path.isdir(cache):
            sys.exit("guest: the QEMU guest is not set up (bash scripts/setup all sets it up)")
        shutil.copytree(cache, f"{work}/cache/reboot-guest/current")
        here = pathlib.Path(work, "a b,c")
        here.mkdir()
        user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] \
            if os.getuid() == 0 else []
        uid = 65534 if user else os.getuid()
        os.chmod(work, 0o755)
        os.chown(here, uid, -1) if user else None
        for name, (command, status, out, err) in ROWS.items():
            out = out.replace(b"{uid}", str(uid).encode()).replace(b"{here}", bytes(here))
            done = subprocess.run(
                [*user, "env", f"XDG_CACHE_HOME={work}/cache", f"HOME={work}",
                 f"{work}/project/scripts/guest.py", "run", "--write", ".", "--", *command],
                cwd=here, capture_output=True)
            got = (done.returncode, done.stdout, done.stderr)
            owner = (here / "made").stat().st_uid if (here / "made").exists() else uid
            if got != (status, out, err) or owner != uid:
                print(f"FAIL {name}: expected {(status, out, err)}, got {got}"
                      + (f", made owned by {owner}" if owner != uid else ""))
                failed += 1
            else:
                print(f"ok   {name}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
