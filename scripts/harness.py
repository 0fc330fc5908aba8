#!/usr/bin/python3
"""Runs a Windows program under Wine, in a throwaway 32-bit prefix, never ~/.wine.

usage: harness.py exec PROGRAM [ARG...] | show REBOOT_EXE | prefix-create DIR [x86|x64] |
       prefix-remove DIR

exec runs a program and exits with its status; show runs reboot.exe traced on a
private display and says what it asked of the platform; prefix-create and
prefix-remove make and remove the prefix that the test suite shares (for x86
programs unless x64 is named). A 64-bit program runs in a 64-bit prefix.

With REBOOT_WINEPREFIX set, runs share that prefix; otherwise each makes its own.
Each command runs in namespaces of its own (scripts/isolate.py), so that when it
ends, however it ends, every process it started has ended and its temporary files
are gone. Where this kernel cannot run Wine's 32-bit loader, each command runs
again, whole, in a QEMU guest (scripts/guest.py).
"""
import collections
import contextlib
import os
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guest  # noqa: E402
import isolate  # noqa: E402
import winelog  # noqa: E402

# In the QEMU guest's software emulation, Wine takes about ten times as long.
SLOW = 10 if os.environ.get("REBOOT_IN_GUEST") else 1
RUN_TIMEOUT = 60 * SLOW  # seconds a run may take before it counts as hung
GRACE = 1 * SLOW  # seconds the wineserver waits for more programs once the last has ended
WIND_DOWN = 30 * SLOW  # seconds Wine may then take to end its own processes and the server
# No offer to install Mono or Gecko while a prefix is made, and no menu entries
# or file associations written into the user's home.
OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

Run = collections.namedtuple("Run", "status calls captions left seconds wine")


class HarnessError(Exception):
    """The harness itself could not do its work (not a finding about the program)."""


def need(*tools):
    for tool in tools:
        if shutil.which(tool) is None:
            raise HarnessError(f"{tool} is not installed (bash scripts/setup all installs it)")


def status(returncode):
    """An exit status as a shell gives it: 128+N when signal N ended the process."""
    return 128 - returncode if returncode < 0 else returncode


def enter(arch, writes=(), reads=()):
    """Starts a command that runs Wine for arch: in namespaces of its own, and where
    Wine runs in the guest, there, whole, exiting with its status. The command writes
    only in `writes` and the shared prefix, and reads the project and `reads`. The
    64-bit loader needs no guest, unless REBOOT_GUEST=yes sends it there."""
    shared = [os.environ["REBOOT_WINEPREFIX"]] if os.environ.get("REBOOT_WINEPREFIX") else []
    try:
        isolate.isolate(keep=[guest.PROJECT, os.getcwd(), *shared, *writes, *reads])
        if guest.reason() and (arch == "x86" or os.environ.get("REBOOT_GUEST") == "yes"):
            sys.exit(guest.run([sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]],
                               writes=[*shared, *writes], reads=reads,
                               names=["REBOOT_WINEPREFIX"]))
    except (guest.GuestError, isolate.IsolateError) as e:
        raise HarnessError(str(e))


def processes(spare=()):
    """The processes of this run still alive, but this one and those in spare, as
    "PID command"; the ended ones are reaped first."""
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass
    found = []
    for pid in sorted(map(int, filter(str.isdigit, os.listdir("/proc")))):
        if pid in (1, os.getpid(), *spare):  # 1: this one, or in the guest its runner
            continue
        with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
            command = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
            found.append(f"{pid} {command}")
    return found


def end_all():
    """Ends every other process of this run: this one is the first of its PID
    namespace, so each one it started, and each one those started, is its child."""
    for _ in range(50):
        left = processes()
        for line in left:
            with contextlib.suppress(ProcessLookupError):
                os.kill(int(line.split()[0]), 9)
        if not left:
            return
        time.sleep(0.1)
    raise HarnessError(f"processes outlived the run: {processes()}")


def wind_down(spare):
    """Waits until Wine has ended its own processes and its server, as it does once
    the last program has ended; returns those still alive after WIND_DOWN seconds."""
    deadline = time.monotonic() + WIND_DOWN
    while (left := processes(spare)) and time.monotonic() < deadline:
        time.sleep(0.1)
    return left


def machine(exe):
    """The program's processor, from its PE header: "x86" or "x64"."""
    if not os.path.isfile(exe):
        raise HarnessError(f"{exe} is not built")
    with open(exe, "rb") as f:
        head = f.read(1024)
    return "x64" if struct.unpack_from("<H", head, struct.unpack_from("<I", head, 0x3C)[0] + 4)[0] \
        == 0x8664 else "x86"


# Debian's wine command starts the 32-bit loader wherever that is installed; a
# 64-bit program is started by the 64-bit one, in a 64-bit prefix.
LOADER = {"x86": "wine", "x64": "/usr/lib/wine/wine64"}
WINEARCH = {"x86": "win32", "x64": "win64"}


def wine_env(prefix, arch, **extra):
    """The environment of what a run starts, with no display but one given here, so
    that nothing lands on the user's screen."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return env | dict(WINEPREFIX=prefix, WINEARCH=WINEARCH[arch], WINEDEBUG="-all",
                      WINEDLLOVERRIDES=OVERRIDES) | extra


def make_prefix(path, arch):
    done = subprocess.run([LOADER[arch], "wineboot", "-i"], env=wine_env(path, arch),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with contextlib.suppress(subprocess.TimeoutExpired):  # the registry is saved as it ends
        subprocess.run(["wineserver", "-w"], env=wine_env(path, arch), timeout=WIND_DOWN)
    end_all()
    if done.returncode != 0:
        raise HarnessError(f"wineboot could not make a prefix in {path}")


@contextlib.contextmanager
def prefix(arch):
    need(LOADER[arch], "wineserver")
    shared = os.environ.get("REBOOT_WINEPREFIX")
    if shared and not os.path.isfile(os.path.join(shared, "system.reg")):
        raise HarnessError(f"REBOOT_WINEPREFIX: {shared} is not a Wine prefix"
                           " (harness.py prefix-create makes one)")
    path = shared or os.path.join(tempfile.mkdtemp(), "prefix")
    if not shared:
        make_prefix(path, arch)
    try:
        yield path
    finally:
        end_all()


@contextlib.contextmanager
def display():
    """A private X display, so that a message box never lands on the user's screen."""
    need("Xvfb")
    ready, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp",
                             "-screen", "0", "640x480x24"], pass_fds=[write],
                            stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        number = b""
        if select.select([ready], [], [], 10 * SLOW)[0]:
            number = os.read(ready, 16).strip()
        if not number:
            raise HarnessError("Xvfb did not start")
        yield ":" + number.decode(), xvfb.pid
    finally:
        os.close(ready)
        xvfb.terminate()
        xvfb.wait()


def xdotool(screen, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=screen),
                          capture_output=True, text=True).stdout.split("\n")[0]


def answer_boxes(started, screen):
    """Waits up to RUN_TIMEOUT for the processes to end, pressing Return on every window
    one of them shows, as often as it stays. Returns the windows' captions, by process."""
    captions, seen = [[] for _ in started], set()
    deadline = time.monotonic() + RUN_TIMEOUT
    while (running := [process for process in started if process.poll() is None]) and \
            time.monotonic() < deadline:
        for process, shown in zip(started, captions):
            window = process in running and xdotool(
                screen, "search", "--onlyvisible", "--pid", str(process.pid))
            if window and process.poll() is None:
                if window not in seen:
                    seen.add(window)
                    shown.append(xdotool(screen, "getwindowname", window))
                # Again at each look: a key sent before the box takes input is lost.
                xdotool(screen, "key", "--window", window, "Return")
        # A look costs half a second of a guest's emulated processor, which Wine needs
        # too: look again after a second, or as soon as a process ends.
        with contextlib.suppress(subprocess.TimeoutExpired):
            running[0].wait(timeout=1)
    return captions


def image_size(exe):
    with open(exe, "rb") as f:
        head = f.read(1024)
    return struct.unpack_from("<I", head, struct.unpack_from("<I", head, 0x3C)[0] + 24 + 56)[0]


def wine_output(log):
    """What Wine said of the run besides its trace: its last errors and warnings."""
    with open(log, errors="replace") as f:
        return [line.rstrip() for line in f if WINE_SAID.match(line)][-10:]


WINE_SAID = re.compile(r"[0-9a-f]+:[0-9a-f]+:(err|warn|fixme):")


def trace(exe, args=(), refuse=False, instances=1):
    """Runs the program traced, each instance on a log of its own, on a private
    display where every window it shows is answered with Return. With refuse, Wine
    refuses the restart (its restart helper is disabled). Returns one Run per
    instance, with what of the run was still alive when Wine had wound down."""
    exe = os.path.abspath(exe)
    arch = machine(exe)
    need("Xvfb", "xdotool")
    overrides = OVERRIDES + (";wineboot.exe=d" if refuse else "")
    with prefix(arch) as path, display() as (screen, xvfb), tempfile.TemporaryDirectory() as logs:
        env = wine_env(path, arch, DISPLAY=screen, WINEDEBUG="+pid,+relay,+loaddll",
                       WINEDLLOVERRIDES=overrides)
        # The server traces every request on a log of its own, untangled from the runs',
        # and waits GRACE seconds for more programs once the last has ended.
        server_log = os.path.join(logs, "server.log")
        with open(server_log, "w") as out:
            if subprocess.run(["wineserver", f"-p{GRACE}", "-d1"], env=env, stderr=out).returncode:
                raise HarnessError("the wineserver did not start")
        begun, started = time.monotonic(), []
        for i in range(instances):
            with open(os.path.join(logs, f"{i}.log"), "w") as out:
                started.append(subprocess.Popen([LOADER[arch], exe, *args], env=env, stdout=out,
                                                stderr=out, stdin=subprocess.DEVNULL))
        try:
            captions = answer_boxes(started, screen)
        finally:  # a run still going after RUN_TIMEOUT is hung: it ends with status 137
            for process in started:
                if process.poll() is None:
                    process.kill()
                    process.wait()
        seconds = round(time.monotonic() - begun, 1)
        left = wind_down(spare=[xvfb])
        with open(server_log, errors="replace") as f:
            server = f.readlines()
        runs = []
        for i, process in enumerate(started):
            log = os.path.join(logs, f"{i}.log")
            with open(log, errors="replace") as f:
                try:
                    calls = winelog.calls(f, server, os.path.basename(exe), image_size(exe))
                except winelog.LogError as e:
                    raise HarnessError(f"{e}; Wine said: {' | '.join(wine_output(log))}")
            runs.append(Run(status(process.returncode), calls, captions[i], left, seconds,
                            wine_output(log)))
        return runs


SHUTDOWN_ENABLED = "{{luid=0000000000000013,attrs=2}}"  # LUID 19, SE_PRIVILEGE_ENABLED


def show(exe):
    """The main job: what one run of reboot.exe asked of the platform, and its answer."""
    run = trace(exe)[0]
    print(f"{os.path.basename(exe)} made these calls under Wine:")
    for call in run.calls:
        if call.name == "adjust_token_privileges":
            token, privileges = call.args.split(",", 1)
            answer = "done" if call.result == "0" else call.result
            note = " (the shutdown privilege enabled)" if privileges == SHUTDOWN_ENABLED else ""
            print(f"    wineserver: token {token} given {privileges}{note}: {answer}")
        else:
            print(f"  {call}")
    for caption in run.captions:
        print(f'It showed a window captioned "{caption}".')
    answers = [c.result for c in run.calls if c.name == "ExitWindowsEx"]
    if answers and answers[0] != "00000000":
        print("The restart request was made and the platform accepted it "
              "(Wine only pretends; nothing here restarts).")
    else:
        print("The restart request was not made or was refused.")
    for line in run.left:
        print(f"Still running after Wine wound down: {line}")
    print(f"Exit status: {run.status}")
    return 0 if answers and run.status == 0 and not run.left else 1


def main(argv):
    usage = __doc__.split("\n\n")[1]
    command, rest = (argv[0], argv[1:]) if argv else ("", [])
    if command == "exec" and rest:
        arch = machine(rest[0])
        enter(arch, reads=[os.path.dirname(os.path.abspath(rest[0]))])
        with prefix(arch) as path:
            return status(subprocess.run([LOADER[arch], *rest], env=wine_env(path, arch)).returncode)
    if command == "show" and len(rest) == 1:
        enter(machine(rest[0]), reads=[os.path.dirname(os.path.abspath(rest[0]))])
        return show(rest[0])
    if command == "prefix-create" and len(rest) in (1, 2) and rest[1:] in ([], ["x86"], ["x64"]):
        arch = (rest[1:] or ["x86"])[0]
        if not os.environ.get("REBOOT_IN_GUEST"):  # the guest gets the folder made
            shutil.rmtree(rest[0], ignore_errors=True)
            os.makedirs(rest[0])
        enter(arch, writes=[rest[0]])
        need(LOADER[arch], "wineserver")
        make_prefix(rest[0], arch)
        return 0
    if command == "prefix-remove" and len(rest) == 1:
        # No server can be left: each run's ended with it.
        shutil.rmtree(rest[0], ignore_errors=True)
        return 0
    print(usage, file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except HarnessError as e:
        sys.exit(f"harness: {e}")
