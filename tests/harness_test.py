#!/usr/bin/python3
"""The harness leaves alone what is not its own: a folder it did not make, and a process
it did not start.

usage: harness_test.py SOURCE_DIR
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest


class HarnessTest(unittest.TestCase):
    def setUp(self):
        # A copy of the scripts, so that no prefix of the project's is there to copy: the
        # harness makes one, and ends what is left of Wine once it has.
        self.work = pathlib.Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.work)
        shutil.copytree(pathlib.Path(SOURCE, "scripts"), self.work / "scripts")
        self.harness = self.work / "scripts" / "harness.py"

    def test_a_folder_it_did_not_make(self):
        for command in ("prefix-create", "prefix-remove"):
            with self.subTest(command):
                folder = self.work / "home"
                folder.mkdir(exist_ok=True)
                (folder / "notes.txt").write_text("mine")
                done = subprocess.run([self.harness, command, folder, "x64"][:4 if command ==
                                      "prefix-create" else 3], capture_output=True, text=True)
                self.assertEqual((done.returncode, done.stderr),
                                 (1, f"harness: {folder} is not a Wine prefix made here, nor an"
                                     " empty folder: left as it is\n"))
                self.assertEqual((folder / "notes.txt").read_text(), "mine")

    def test_a_process_it_did_not_start(self):
        # A bystander beside the harness in a PID namespace, with the variables that once
        # told the harness it was alone there.
        user = [] if os.getuid() == 0 else ["--user", "--map-current-user"]
        script = ('sleep 600 & bystander=$!; REBOOT_ISOLATED=1 REBOOT_IN_GUEST=1 "$0" prefix-create'
                  ' "$1" x64; echo "harness $?"; kill -0 $bystander && echo "bystander alive"')
        done = subprocess.run(["unshare", *user, "--pid", "--fork", "--mount-proc", "sh", "-c",
                               script, self.harness, self.work / "prefix"],
                              capture_output=True, text=True, timeout=1800)
        self.assertEqual(done.stdout, "harness 0\nbystander alive\n", done.stderr)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    SOURCE = sys.argv.pop()
    unittest.main()
