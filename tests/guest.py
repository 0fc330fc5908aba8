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

# name: (command run in the guest, its status, stdout, stderr); {uid}, {here}: its user, folder
ROWS = {
    "exit status, and bytes that are not UTF-8": (
        ["sh", "-c", r"printf '\377\n'; printf '\376\n' >&2; exit 3"], 3, b"\xff\n", b"\xfe\n"),
    "killed by a signal": (["sh", "-c", "kill -KILL $$"], 137, b"", b""),
    # As the user who started it (nobody, for root), in a folder named with a space and a comma;
    # it makes a file that is read-only from the start, as Wine's server does. The file beside
    # that folder, which the guest is not given, does not exist there.
    "the user's own folder alone": (["sh", "-c", "id -u; pwd; umask 277; echo x > made; cat made;"
                                     " stat -c '%u %a' made; cat ../secret"], 1,
                                    b"{uid}\n{here}\nx\n{uid} 400\n",
                                    b"cat: ../secret: No such file or directory\n"),
}


def main(argv):
    if len(argv) != 1:
        sys.exit(__doc__.split("\n\n")[1])
    # Root runs the rows as nobody, with a /proc of its own: the project's root, entered as
    # root, covers parts of its /proc, and a user namespace may not mount one over that.
    user = ["unshare", "--pid", "--fork", "--mount-proc", "setpriv", "--reuid=65534", "--regid=65534",
            "--clear-groups"] if os.getuid() == 0 else []
    uid, failed = 65534 if user else os.getuid(), 0
    with tempfile.TemporaryDirectory() as work:
        # A copy of the guest's scripts that the user can read.
        shutil.copytree(os.path.join(argv[0], "scripts"), f"{work}/project/scripts")
        pathlib.Path(work, "secret").write_text("not for the guest")
        here = pathlib.Path(work, "a b,c")
        here.mkdir()
        os.chmod(work, 0o755)
        os.chown(here, uid, -1)
        for name, (command, status, out, err) in ROWS.items():
            expected = (status, out.replace(b"{uid}", b"%d" % uid).replace(b"{here}", bytes(here)), err)
            done = subprocess.run(
                [*user, "env", f"HOME={work}", f"{work}/project/scripts/guest.py", "run",
                 "--write", ".", "--", *command],
                cwd=here, capture_output=True)
            got = (done.returncode, done.stdout, done.stderr)
            print(f"ok   {name}" if got == expected else f"FAIL {name}: expected {expected}, got {got}")
            failed += got != expected
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
