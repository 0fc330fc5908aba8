#!/usr/bin/python3
"""The harness catches what goes wrong in a run, and leaves alone what is not its own: a
stand-in program that hangs, leaves a process behind or shows a box Wine cannot make, a
prefix that could not be made, a folder it did not make, and a process it did not start.

usage: harness_test.py SOURCE_DIR STANDIN_EXE [TEST...]
"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

# The stand-in traced as reboot.exe is, then what of the run is still alive: nothing, once
# the harness has ended what the run left.
TRACE = """import sys, harness
harness.enter("x64")
run = harness.trace(sys.argv[1], sys.argv[2:])[0]
print(run.trouble, *run.left, "after:", *harness.processes(), sep="\\n")"""
# prefix-create on a file system of 2 MB mounted at the folder given, then its mark.
SMALL = """import ctypes, os, subprocess, sys
libc = ctypes.CDLL(None, use_errno=True)
if libc.mount(b"tmpfs", sys.argv[3].encode(), b"tmpfs", 0, b"size=2m"):
    sys.exit(f"mount: {os.strerror(ctypes.get_errno())}")
print(subprocess.run(sys.argv[1:] + ["x64"], stderr=subprocess.PIPE, text=True).stderr, end="")
print(open(sys.argv[3] + "/.reboot-prefix").read(), end="")"""
# The stand-in's mode: (the run's trouble, the end of a line it left behind); what a hung
# run leaves of Wine once it is ended is not the program's doing. The box is shown in a
# prefix whose graphics driver Wine cannot load.
ROWS = {"hang": ("still running after 60 s, so it was ended", None),
        "leave": ("None", "standin.exe hang"),
        "box": ("Wine gave up making a window: The graphics driver is missing. Check your build!",
                None)}
USER = [] if os.getuid() == 0 else ["--user", "--map-current-user"]
# A user mounts as root of a user namespace of its own.
MOUNT = ["unshare", "--mount"] + ([] if os.getuid() == 0 else ["--user", "--map-root-user"])


class HarnessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Two copies of the scripts: "bare" has no prefix of the project's to copy, so the
        # harness makes one with wineboot and ends what is left of Wine once it has; "made"
        # has one, as a run of the suites does.
        cls.work = pathlib.Path(tempfile.mkdtemp())
        for copy in ("bare", "made"):
            shutil.copytree(pathlib.Path(SOURCE, "scripts"), cls.work / copy / "scripts")
        cls.run_prefix = cls.work / "made" / "build" / "wine-prefix-x64"
        subprocess.run([cls.harness("made"), "prefix-create", cls.run_prefix, "x64"], check=True,
                       capture_output=True, timeout=600)
        no_driver = cls.work / "made" / "build" / "no-driver"
        shutil.copytree(cls.run_prefix, no_driver, symlinks=True)
        with open(no_driver / "user.reg", "a") as f:
            f.write('\n[Software\\\\Wine\\\\Drivers]\n"Graphics"="missing"\n')
        # The stand-in's runs start here, as a hang takes a minute to show, and end in their
        # own case, after the others.
        env = dict(os.environ, PYTHONPATH=str(cls.harness("made").parent))
        cls.traced = {mode: subprocess.Popen(
            [sys.executable, "-c", TRACE, STANDIN, mode], stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True,
            env=env | ({"REBOOT_WINEPREFIX": str(no_driver)} if mode == "box" else {}))
            for mode in ROWS}

    @classmethod
    def tearDownClass(cls):
        for run in cls.traced.values():
            run.kill()
            run.communicate()
        shutil.rmtree(cls.work)

    @classmethod
    def harness(cls, copy):
        return cls.work / copy / "scripts" / "harness.py"

    def test_a_run_that_goes_wrong(self):
        for mode, (trouble, left) in ROWS.items():
            with self.subTest(mode):
                out, err = self.traced[mode].communicate(timeout=600)
                lines = out.splitlines()
                self.assertEqual((self.traced[mode].returncode, lines[:1], lines[-1:]),
                                 (0, [trouble], ["after:"]), out + err)
                if left:
                    self.assertTrue(any(line.endswith(left) for line in lines[1:-1]), out)

    def test_a_prefix_that_could_not_be_made(self):
        # Made by wineboot, and copied from the run's prefix: neither counts as made.
        for copy, said in (("bare", "wineboot could not make a prefix in"),
                           ("made", f"could not copy {self.run_prefix} to")):
            with self.subTest(copy):
                folder = self.work / copy / "small"
                folder.mkdir()
                done = subprocess.run([*MOUNT, sys.executable, "-c", SMALL, self.harness(copy),
                                       "prefix-create", folder],
                                      capture_output=True, text=True, timeout=600)
                self.assertRegex(done.stdout, f"^harness: {said} {folder}[ :].*\nmaking\n$",
                                 done.stderr)

    def test_a_folder_it_did_not_make(self):
        folder = self.work / "home"
        folder.mkdir()
        (folder / "notes.txt").write_text("mine")
        for command in (["prefix-create", folder, "x64"], ["prefix-remove", folder]):
            with self.subTest(command[0]):
                done = subprocess.run([self.harness("bare"), *command], capture_output=True,
                                      text=True, timeout=600)
                self.assertEqual((done.returncode, done.stderr),
                                 (1, f"harness: {folder} is not a Wine prefix made here, nor an"
                                     " empty folder: left as it is\n"))
                self.assertEqual((folder / "notes.txt").read_text(), "mine")

    def test_a_process_it_did_not_start(self):
        # A bystander beside the harness in a PID namespace, while the harness ends what a
        # run left: with the variables that once told the harness it was alone there; and
        # where the harness is process 1 of a namespace whose /proc is not its own, but
        # shows the bystander.
        run = [self.harness("made"), "exec", STANDIN, "leave"]
        script = ('sleep 600 & bystander=$!; REBOOT_ISOLATED=1 REBOOT_IN_GUEST=1 "$@"; echo'
                  ' "harness $?"; kill -0 $bystander && echo "bystander alive"')
        done = subprocess.run(["unshare", *USER, "--pid", "--fork", "--mount-proc", "sh", "-c",
                               script, "sh", *run], capture_output=True, text=True, timeout=600)
        self.assertEqual(done.stdout, "harness 0\nbystander alive\n", done.stderr)
        bystander = subprocess.Popen(["sleep", "600"])
        self.addCleanup(bystander.wait)
        self.addCleanup(bystander.kill)
        done = subprocess.run(["unshare", *USER, "--pid", "--fork", *run], capture_output=True,
                              text=True, timeout=600)
        self.assertEqual((done.returncode, bystander.poll()), (0, None), done.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__.split("\n\n")[1])
    SOURCE, STANDIN = sys.argv[1:3]
    del sys.argv[1:3]  # the rest, unittest's
    unittest.main()
