#!/usr/bin/python3
"""Set-up and the guest's kernel on the archive's bad days, against a stand-in apt on PATH:
what they print, their exit status, and what they leave behind.

usage: apt_test.py SOURCE_DIR
"""
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

MIRROR = ("E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/"
          "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in"
          " progress? [IP: 203.0.113.80 80]")
KERNEL = "linux-image-6.1.0-99-amd64"
# The stand-in: apt-get, apt-cache, dpkg, dpkg-query, sudo and sleep by the name it is run
# under. It logs every call, and does what the row's variables say.
STANDIN = r"""#!/bin/bash
name=$(basename "$0")
echo "$name $*" >> "$STATE/calls"
count() { n=$(( $(cat "$STATE/$1" 2>/dev/null || echo 0) + 1 )); echo $n > "$STATE/$1"; echo $n; }
case $name:$1 in
    sudo:*) exec "$@" ;;
    sleep:*) echo "$1" >> "$STATE/slept" ;;
    dpkg-query:*) exit 1 ;;  # nothing is installed
    dpkg:*) ;;
    apt-get:*)
        case " $* " in
            *" update "*) [ "$(count updates)" -gt "$UPDATE_FAILS" ] ||
                              { echo "$MIRROR" >&2; echo "E: Some index files failed to download." >&2; exit 100; } ;;
            *" install "*)
                case $INSTALL in
                    ok) ;;
                    locked) [[ " $* " == *" DPkg::Lock::Timeout="* ]] || {
                                echo "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt-get)"
                                exit 100; } ;;
                    missing) echo "E: Unable to locate package clang-19"; exit 100 ;;
                    unresolved) echo "The following packages have unmet dependencies:"
                                echo " libkrb5-3:i386 : Depends: libssl3:i386 (>= 3.0.0) but it is not going to be installed"
                                echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
                esac ;;
            *" download "*) echo "E: Failed to fetch http://deb.debian.org/debian/pool/main/l/linux-signed-amd64/$KERNEL.deb  404  Not Found [IP: 203.0.113.80 80]" >&2
                            exit 100 ;;
        esac ;;
    apt-cache:depends)
        if [ "$2" = linux-image-amd64 ]; then echo "linux-image-amd64"; echo "  Depends: $KERNEL"
        else printf '%s\n' wine32:i386 libkrb5-3:i386 libssl3:i386 zlib1g:i386; fi ;;
    apt-cache:show) echo "SHA256: 1111"; echo "SHA256: 2222" ;;
    apt-cache:policy)
        for package in "${@:2}"; do
            case $package in
                libssl3:amd64) version=3.0.22-1~deb12u2 ;; libssl3:i386) version=3.0.20-1~deb12u2 ;;
                zlib1g:*) version=1:1.2.13.dfsg-1 ;; *) version="(none)" ;;
            esac
            echo "${package%:amd64}:"; echo "  Installed: (none)"; echo "  Candidate: $version"
        done ;;
esac
"""

ROWS = {  # name: (command, the stand-in's variables, exit status, words its output must hold)
    "an index mid-sync twice, then healed": (
        ["scripts/setup", "build"], {"UPDATE_FAILS": "2", "INSTALL": "ok"}, 0,
        ["try 1 of 4", "try 2 of 4"]),
    "an index that always fails": (
        ["scripts/setup", "build"], {"UPDATE_FAILS": "99", "INSTALL": "missing"}, 1,
        ["try 3 of 4", "E: Unable to locate package clang-19",
         "setup: Debian's archive is being updated: http://deb.debian.org/debian-security/dists/"
         "bookworm-security/main/binary-i386/Packages.xz does not match its Release file yet"]),
    "an install that cannot be resolved": (
        ["scripts/setup", "run"], {"UPDATE_FAILS": "0", "INSTALL": "unresolved"}, 1,
        ["libkrb5-3:i386 : Depends: libssl3:i386",
         "setup: the 32-bit packages cannot match the 64-bit ones, whose versions differ in apt's"
         " lists: libssl3 3.0.22-1~deb12u2 (amd64) 3.0.20-1~deb12u2 (i386)\n"]),
    "the dpkg lock held by another apt": (
        ["scripts/setup", "build"], {"UPDATE_FAILS": "0", "INSTALL": "locked"}, 0, []),
    "a kernel download that fails": (
        ["scripts/guest-kernel"], {"UPDATE_FAILS": "0", "INSTALL": "ok"}, 1,
        [f"{KERNEL}.deb  404  Not Found",
         f"guest-kernel: apt-get could not download {KERNEL} or busybox-static"]),
}


class AptTest(unittest.TestCase):
    def test_rows(self):
        for name, (command, variables, status, words) in ROWS.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as work:
                bin_, state, cache = (pathlib.Path(work, part) for part in ("bin", "state", "cache"))
                for folder in (bin_, state, cache):
                    folder.mkdir()
                if command == ["scripts/guest-kernel"]:  # as a killed run leaves it
                    (cache / "reboot-guest" / "work.killed").mkdir(parents=True)
                (bin_ / "standin").write_text(STANDIN)
                (bin_ / "standin").chmod(0o755)
                for tool in ("apt-get", "apt-cache", "dpkg", "dpkg-query", "sudo", "sleep"):
                    (bin_ / tool).symlink_to("standin")
                env = dict(os.environ, PATH=f"{bin_}:{os.environ['PATH']}", STATE=str(state),
                           XDG_CACHE_HOME=str(cache), MIRROR=MIRROR, KERNEL=KERNEL,
                           REBOOT_GUEST="no", **variables)
                done = subprocess.run(command, cwd=SOURCE, env=env, capture_output=True, text=True,
                                      stdin=subprocess.DEVNULL)
                output = done.stdout + done.stderr
                self.assertEqual(done.returncode, status, output)
                for word in words:
                    self.assertIn(word, output)
                slept = (state / "slept").read_text().split() if (state / "slept").exists() else []
                self.assertLess(sum(map(int, slept)), 600, "set-up would take ten minutes")
                self.assertEqual([p.name for p in cache.glob("reboot-guest/*")], [],
                                 "guest-kernel left files behind")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    SOURCE = sys.argv.pop()
    unittest.main()
