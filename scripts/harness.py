#!/usr/bin/python3
"""Runs a Windows program under Wine, in a throwaway 32-bit prefix, never ~/.wine.

usage: harness.py exec PROGRAM [ARG...] | show REBOOT_EXE | prefix-create DIR [x86|x64] |
       prefix-remove DIR

exec runs a program and exits with its status; show runs reboot.exe traced on a
private display and says what it asked of the platform; prefix-create and
prefix-remove make and remove a prefix (for x86 programs unless x64 is named), and
remove only a folder that is empty or a prefix they made. A 64-bit program runs in a
64-bit prefix.

Wine makes a prefix slowly, so one per architecture serves a whole run of the suites:
build/wine-prefix-x86 and build/wine-prefix-x64, where they are made, are copied, not
made again, for every other prefix. With REBOOT_WINEPREFIX set, runs share that prefix;
otherwise each gets its own. Each command runs in namespaces of its own
(scripts/isolate.py), so that when it ends, however it ends, every process it started
has ended and its temporary files are gone. Where this kernel cannot run Wine's 32-bit
loader, a command that runs it runs again, whole, in a QEMU guest (scripts/guest.py).
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

# In the QEMU guest's software emulation, Wine's work takes about ten times as long, so
# the limits on that work are ten times as long there.
SLOW = 10 if os.environ.get("REBOOT_IN_GUEST") else 1
RUN_TIMEOUT = 60 * SLOW  # seconds a run may take before it counts as hung; it takes 1 to 6
WIND_DOWN = 30 * SLOW  # seconds Wine may then take to end its own processes and the server
WINEBOOT_TIMEOUT = 120 * SLOW  # seconds Wine may take to make a prefix; it takes 10
X_TIMEOUT = 10 * SLOW  # seconds Xvfb may take to start
DESKTOP_TIMEOUT = 30 * SLOW  # seconds Wine's desktop process may take to make its window
# Seconds the wineserver stays once its last program has ended, so that a program
# started as another ends still finds it: a wait for a program, not for the processor.
GRACE = 1
MARK = ".reboot-prefix"  # in a prefix the harness makes: "making", then "made"
# What a run needs of a prefix: both registries, and the DLLs the program imports.
PREFIX_FILES = ("system.reg", "user.reg", "drive_c/windows/system32/kernel32.dll",
                "drive_c/windows/system32/advapi32.dll", "drive_c/windows/system32/user32.dll")
RUN_PREFIX = {arch: os.path.join(guest.PROJECT, "build", f"wine-prefix-{arch}")
              for arch in ("x86", "x64")}
# No offer to install Mono or Gecko while a prefix is made, and no menu entries
# or file associations written into the user's home.
OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# trouble: why the run could not be judged by its calls (it hung, or Wine gave up), or None
Run = collections.namedtuple("Run", "status calls captions left seconds wine trouble")


class HarnessError(Exception):
    """The harness itself could not do its work (not a finding about the program)."""


def status(returncode):
    """An exit status as a shell gives it: 128+N when signal N ended the process."""
    return 128 - returncode if returncode < 0 else returncode


def enter(arch, writes=(), reads=()):
    """Starts a command that runs Wine for arch: in namespaces of its own, and where
    Wine runs in the guest, there, whole, exiting with its status. The command writes
    only in `writes` and the shared prefix, and reads the project and `reads`. The
    64-bit loader needs no guest."""
    shared = [os.environ["REBOOT_WINEPREFIX"]] if os.environ.get("REBOOT_WINEPREFIX") else []
    try:
        isolate.isolate(keep=[guest.PROJECT, os.getcwd(), *shared, *writes, *reads])
        if arch == "x86" and guest.reason():
            sys.exit(guest.run([sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]],
                               writes=[*shared, *writes], reads=reads,
                               names=["REBOOT_WINEPREFIX"]))
    except (guest.GuestError, isolate.IsolateError) as e:
        raise HarnessError(str(e))


def processes(spare=()):
    """The processes of this run still alive, but this one and those in spare, as
    "PID command"; the ended ones are reaped first. Only the first process of a PID
    namespace of its own looks: every other process there is one of its run."""
    if not isolate.first():
        raise HarnessError("will not look for processes to end: this is not the first"
                           " process of a PID namespace of its own")
    with contextlib.suppress(ChildProcessError):
        while os.waitpid(-1, os.WNOHANG)[0]:
            pass
    found = []
    for pid in sorted(map(int, filter(str.isdigit, os.listdir("/proc")))):
        if pid in (os.getpid(), *spare):
            continue
        with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as f:
            command = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
            found.append(f"{pid} {command}")
    return found


def end_all():
    """Ends every other process of this run, each of which this one started, or one
    that those started."""
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
    that nothing lands on the user's screen, and a cache of its own (fontconfig's, for
    one) in the run's temporary folder, not the user's."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return env | dict(WINEPREFIX=prefix, WINEARCH=WINEARCH[arch], WINEDEBUG="-all",
                      WINEDLLOVERRIDES=OVERRIDES,
                      XDG_CACHE_HOME=os.path.join(tempfile.gettempdir(), "cache")) | extra


def clear(path):
    """Empties path, or makes it, and marks it as a prefix being made. Refuses a folder
    that holds anything but a prefix the harness made."""
    if os.path.isdir(path) and os.listdir(path) and not os.path.isfile(os.path.join(path, MARK)):
        raise HarnessError(f"{path} is not a Wine prefix made here, nor an empty folder:"
                           " left as it is")
    os.makedirs(path, exist_ok=True)
    for entry in os.scandir(path):  # the folder itself may be where the guest mounts it
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        else:
            os.remove(entry.path)
    mark(path, "making")


def mark(path, state):
    with open(os.path.join(path, MARK), "w") as f:
        f.write(state + "\n")


def made(path):
    with contextlib.suppress(OSError), open(os.path.join(path, MARK)) as f:
        return f.read() == "made\n"
    return False


def remove_prefix(path):
    if os.path.isdir(path):
        clear(path)
        if not os.path.ismount(path):  # where the guest has it in memory, it goes with the guest
            shutil.rmtree(path)


def template(path, arch):
    """The run's prefix for arch, where it is made, to copy into path; or None."""
    source = RUN_PREFIX[arch]
    return source if made(source) and os.path.realpath(path) != os.path.realpath(source) else None


def make_prefix(path, arch):
    """Makes path a prefix for arch: a copy of the run's prefix for arch where that is
    made, otherwise one that wineboot makes. Marked made last, once it is whole."""
    clear(path)
    if source := template(path, arch):
        try:
            shutil.copytree(source, path, symlinks=True, dirs_exist_ok=True,
                            ignore=lambda folder, names: [MARK] if folder == source else [])
        except shutil.Error as e:
            raise HarnessError(f"could not copy {source} to {path}: {e.args[0][0][2]}")
        mark(path, "made")
        return
    env = wine_env(path, arch, WINEDEBUG="err+all")
    deadline = time.monotonic() + WINEBOOT_TIMEOUT
    with tempfile.TemporaryFile("w+") as said:
        try:
            # Wine starts a wineboot of its own for a new prefix and waits for it at most 5
            # minutes before it starts this one; the server saves the registry as it ends.
            booted = subprocess.run([LOADER[arch], "wineboot", "-i"], env=env,
                                    stdout=subprocess.DEVNULL, stderr=said,
                                    timeout=max(1, deadline - time.monotonic())).returncode
            subprocess.run(["wineserver", "-w"], env=env, timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            raise HarnessError(f"wineboot could not make a prefix in {path}: Wine was still at"
                               f" work after {WINEBOOT_TIMEOUT} s")
        finally:
            end_all()
        missing = [name for name in PREFIX_FILES if not os.path.isfile(os.path.join(path, name))]
        if booted or missing:
            said.seek(0)
            errors = [line.strip() for line in said if ":err:" in line][-1:]
            raise HarnessError(f"wineboot could not make a prefix in {path} (exit status"
                               f" {status(booted)}{', no ' + ', '.join(missing) if missing else ''})"
                               + "".join(f"; Wine said: {line}" for line in errors))
    mark(path, "made")


def trace_only(prefix, name):
    """Has Wine trace the calls that the program's own image makes, and no others: traced
    too, Wine's own processes start so slowly under emulation that the desktop a window
    needs is late. Set in the prefix's registry, which the wineserver reads as it starts;
    Wine's default list of modules whose calls go untraced would override it."""
    path = os.path.join(prefix, "user.reg")
    with open(path) as f:
        text = re.sub(r'^"RelayFrom(Ex|In)clude"=.*\n', "", f.read(), flags=re.M)
    text, found = re.subn(r"^\[Software\\\\Wine\\\\Debug\].*\n(#time=.*\n)?",
                          lambda m: f'{m[0]}"RelayFromInclude"="{name}"\n', text, 1, re.M)
    if not found:
        raise HarnessError(f"{path} has no section Software\\Wine\\Debug to limit the trace in")
    with open(path, "w") as f:
        f.write(text)


@contextlib.contextmanager
def prefix(arch):
    shared = os.environ.get("REBOOT_WINEPREFIX")
    if shared and not made(shared):
        raise HarnessError(f"REBOOT_WINEPREFIX: {shared} is not a Wine prefix made here"
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
    ready, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp",
                             "-screen", "0", "640x480x24"], pass_fds=[write],
                            stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        number = b""
        if select.select([ready], [], [], X_TIMEOUT)[0]:
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
# Wine's own words when it gives up making the program's window.
GAVE_UP = re.compile(r'[0-9a-f:]+err:winediag:nodrv_CreateWindow L?"(.*)"$')


def start_desktop(env, arch, server_log):
    """Starts Wine's desktop process and waits until it has made the desktop window.
    Otherwise the program's first window starts it, and Wine waits only 10 s for it to
    take input; on a loaded, emulated machine it takes longer, and Wine gives up making
    the window. Made first, the desktop keeps the program's window waiting as long as it
    needs."""
    # By its path, so that Wine starts it itself, not through start.exe, which would wait.
    explorer = subprocess.Popen([LOADER[arch], r"C:\windows\system32\explorer.exe", "/desktop"],
                                env=env | {"WINEDEBUG": "-all"}, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + DESKTOP_TIMEOUT
    while time.monotonic() < deadline and explorer.poll() is None:
        with open(server_log, errors="replace") as f:
            if winelog.desktop_made(f):
                return
        time.sleep(0.2)
    raise HarnessError(f"Wine's desktop process (explorer.exe) had not made its window after"
                       f" {DESKTOP_TIMEOUT} s" if explorer.poll() is None else
                       f"Wine's desktop process (explorer.exe) ended with status"
                       f" {status(explorer.returncode)} before it made its window")


def trace(exe, args=(), refuse=False, instances=1):
    """Runs the program traced, each instance on a log of its own, on a private
    display where every window it shows is answered with Return. With refuse, Wine
    refuses the restart (its restart helper is disabled). Returns one Run per
    instance, with what of the run was still alive when Wine had wound down."""
    exe = os.path.abspath(exe)
    arch = machine(exe)
    overrides = OVERRIDES + (";wineboot.exe=d" if refuse else "")
    with prefix(arch) as path, display() as (screen, xvfb), tempfile.TemporaryDirectory() as logs:
        trace_only(path, os.path.basename(exe))
        env = wine_env(path, arch, DISPLAY=screen, WINEDEBUG="+pid,+relay,+loaddll",
                       WINEDLLOVERRIDES=overrides)
        # The server traces every request on a log of its own, untangled from the runs'.
        server_log = os.path.join(logs, "server.log")
        with open(server_log, "w") as out:
            if subprocess.run(["wineserver", f"-p{GRACE}", "-d1"], env=env, stderr=out).returncode:
                raise HarnessError("the wineserver did not start")
        start_desktop(env, arch, server_log)
        begun, started = time.monotonic(), []
        for i in range(instances):
            with open(os.path.join(logs, f"{i}.log"), "w") as out:
                started.append(subprocess.Popen([LOADER[arch], exe, *args], env=env, stdout=out,
                                                stderr=out, stdin=subprocess.DEVNULL))
        try:
            captions = answer_boxes(started, screen)
        finally:  # a run still going after RUN_TIMEOUT is hung: it is ended
            hung = [process.poll() is None for process in started]
            for process in started:
                if process.poll() is None:
                    process.kill()
                    process.wait()
        seconds = round(time.monotonic() - begun, 1)
        # Wine does not wind down after a hung run is ended, nor need it: that run has failed.
        left = processes(spare=[xvfb]) if any(hung) else wind_down(spare=[xvfb])
        with open(server_log, errors="replace") as f:
            server = f.readlines()
        runs = []
        for i, process in enumerate(started):
            log = os.path.join(logs, f"{i}.log")
            said = wine_output(log)
            gave_up = [m[1] for m in map(GAVE_UP.match, said) if m]
            trouble = f"still running after {RUN_TIMEOUT} s, so it was ended" if hung[i] else \
                f"Wine gave up making a window: {gave_up[-1]}" if gave_up else None
            with open(log, errors="replace") as f:
                try:
                    calls = winelog.calls(f, server, os.path.basename(exe), image_size(exe))
                except winelog.LogError as e:
                    raise HarnessError(f"{e}; Wine said: {' | '.join(said)}")
            runs.append(Run(status(process.returncode), calls, captions[i], left, seconds, said,
                            trouble))
        return runs


SHUTDOWN_ENABLED = "{{luid=0000000000000013,attrs=2}}"  # LUID 19, SE_PRIVILEGE_ENABLED


def show(exe):
    """The main job: what one run of reboot.exe asked of the platform, and its answer."""
    run = trace(exe)[0]
    if run.trouble:
        print(f"The run failed: {run.trouble}.")
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
    return 0 if answers and run.status == 0 and not run.left and not run.trouble else 1


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
        path, arch = os.path.abspath(rest[0]), (rest[1:] or ["x86"])[0]
        clear(path)  # here, so that the guest gets the folder made
        if not template(path, arch):
            enter(arch, writes=[path])  # Wine makes it, where Wine runs
        make_prefix(path, arch)
        return 0
    if command == "prefix-remove" and len(rest) == 1:
        remove_prefix(rest[0])  # no server can be left: each run's ended with it
        return 0
    print(usage, file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except HarnessError as e:
        sys.exit(f"harness: {e}")
