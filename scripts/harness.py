#!/usr/bin/python3
"""Runs a Windows program under Wine, in a throwaway 32-bit prefix, never ~/.wine.

usage: harness.py exec PROGRAM [ARG...] | show REBOOT_EXE | prefix-create DIR | prefix-remove DIR | guest

exec runs a program and exits with its status; show runs reboot.exe traced on a
private display and says what it asked of the platform; prefix-create and
prefix-remove make and remove the prefix that the test suite shares; guest says
why Wine runs in the QEMU guest, or nothing where it runs here.

With REBOOT_WINEPREFIX set, runs share that prefix; otherwise each makes its own
and removes it. Either way, when a run is over, every process it started has
ended, and so has every process those started in turn.

Wine's loader is a 32-bit program. Where this kernel cannot run one, each command
that runs Wine runs again, whole, in a QEMU guest whose kernel can (see guest());
REBOOT_GUEST=yes sends it there on any kernel, REBOOT_GUEST=no never.
"""
import collections
import contextlib
import ctypes
import errno
import hashlib
import os
import re
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

RUN_TIMEOUT = 60  # seconds a run may take before it counts as hung


class Call(collections.namedtuple("Call", "name args result")):
    def __str__(self):
        return f"{self.name}({self.args})" + (f" = {self.result}" if self.result else "")


Run = collections.namedtuple("Run", "status calls captions")


class HarnessError(Exception):
    """The harness itself could not do its work (not a finding about the program)."""


def need(*tools):
    for tool in tools:
        if shutil.which(tool) is None:
            raise HarnessError(f"{tool} is not installed (bash scripts/setup all installs it)")


# Every process a run starts inherits this variable, Wine's detached helpers too,
# so that what is left when the run ends can be found and ended.
MARK = ("REBOOT_HARNESS_RUN", f"{os.getpid()}.{time.time_ns()}")


def marked_env(**extra):
    """The environment of what a run starts: marked, and with no display but one
    given here, so that nothing lands on the user's screen."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update({MARK[0]: MARK[1]}, **extra)
    return env


def leftovers():
    """The processes carrying this harness's mark that are still alive."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if "=".join(MARK).encode() in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass  # gone, or not ours to read
    return found


def end_leftovers():
    """Kills whatever a run left behind, then reaps it: this process adopted the
    orphans (see adopt_orphans), so none is left as a zombie either."""
    for _ in range(50):
        pids = leftovers()
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        with contextlib.suppress(ChildProcessError):
            while os.waitpid(-1, os.WNOHANG)[0]:
                pass
        if not pids:
            return
        time.sleep(0.1)
    raise HarnessError(f"processes {leftovers()} outlived the run")


def adopt_orphans():
    """Makes this process the parent of every orphan among its descendants (Wine
    detaches its server and helpers), so that it can reap them."""
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


PROJECT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GUEST_CACHE = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                           "reboot-guest")  # where scripts/guest-kernel puts the boot files
PR_SET_PDEATHSIG = 1
BOOT_TIMEOUT = 120  # seconds a guest may take to start a command; it takes 4 to 10


def guest_reason():
    """Why Wine runs in the guest, or None where it runs here."""
    choice = os.environ.get("REBOOT_GUEST", "")
    if choice not in ("", "yes", "no"):
        raise HarnessError(f"REBOOT_GUEST is {choice!r}, not yes, no or unset")
    if choice:
        return "REBOOT_GUEST=yes: Wine runs in a QEMU guest" if choice == "yes" else None
    try:
        subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True)
    except OSError as e:
        if e.errno == errno.ENOEXEC:  # no IA32 emulation in this kernel, or it is switched off
            return "this kernel runs no 32-bit programs: Wine runs in a QEMU guest"
    return None  # a missing Wine is named where a run needs it


def guest(argv):
    """Runs argv in a QEMU guest and returns its exit status. The guest boots Debian's
    kernel (scripts/guest-kernel), sees the host's root read-only and the project (and
    the current folder) read-write, at their own paths, and ends with the command.
    It runs under KVM where the processor's virtualization backs /dev/kvm, by software
    emulation otherwise."""
    boot = [os.path.join(GUEST_CACHE, name) for name in ("vmlinuz", "initrd")]
    if shutil.which("qemu-system-x86_64") is None or not all(map(os.path.isfile, boot)):
        raise HarnessError("the QEMU guest is not set up (REBOOT_GUEST=yes bash scripts/setup run"
                           " sets it up)")
    # KVM needs the processor's virtualization (kvm_intel or kvm_amd): a /dev/kvm of
    # another kind, such as PVM's, boots only kernels built for it. Under QEMU 7.2's
    # software emulation, -cpu max makes every 32-bit process fault; qemu64 does not.
    kvm = any(os.path.isdir(f"/sys/module/kvm_{cpu}") for cpu in ("intel", "amd")) and \
        os.access("/dev/kvm", os.R_OK | os.W_OK)
    machine = ["-accel", "kvm", "-cpu", "host"] if kvm else ["-accel", "tcg", "-cpu", "qemu64"]
    # The current folder is shared too, unless the project holds it or it holds the
    # project: a folder above the project is seen read-only, like the rest of the root.
    here = os.getcwd()
    shares = [PROJECT] + ([here] if os.path.commonpath([here, PROJECT]) not in (here, PROJECT)
                          else [])
    # The guest's /tmp is its own; in it, Wine runs natively, and a command can tell
    # that it runs in the guest, and how, from REBOOT_IN_GUEST.
    env = {k: v for k, v in os.environ.items() if k != "TMPDIR"} | \
        {"REBOOT_GUEST": "no", "REBOOT_IN_GUEST": machine[1]}
    with tempfile.TemporaryDirectory() as job:
        with open(os.path.join(job, "shares"), "w") as f:
            f.writelines(f"{folder}\n" for folder in shares)
        with open(os.path.join(job, "job"), "w") as f:
            f.write(f"cd {shlex.quote(here)} && exec env -i " +
                    " ".join(shlex.quote(f"{k}={v}") for k, v in env.items()) + " " +
                    shlex.join(argv))
        folders = [("job", job, ""), ("root", "/", ",readonly=on")] + \
            [(f"rw{i}", folder, "") for i, folder in enumerate(shares)]
        qemu = ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-no-reboot",
                "-display", "none", *machine, "-smp", "2", "-m", "4096",
                "-kernel", boot[0], "-initrd", boot[1],
                "-append", "console=ttyS0 panic=-1", "-serial", f"file:{job}/console"]
        for tag, folder, options in folders:
            qemu += ["-virtfs", f"local,path={folder.replace(',', ',,')},mount_tag={tag},"
                     f"security_model=none,multidevs=remap{options}"]
        # This process ends (cleanly, by SIGTERM) when whoever started it does.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
        ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
        # A boot once hung, spinning before it started the command: boot once more then.
        for _ in range(2):
            if boot_guest(qemu, os.path.join(job, "out")) is not None:
                break
            print(f"harness: the guest hung while booting ({console_tail(job)})", file=sys.stderr)
        for name, stream in (("out", sys.stdout), ("err", sys.stderr)):
            with contextlib.suppress(FileNotFoundError), open(os.path.join(job, name)) as f:
                stream.write(f.read())
        try:
            with open(os.path.join(job, "status")) as f:
                return int(f.read())
        except (FileNotFoundError, ValueError):
            raise HarnessError(f"the guest stopped before the command ended ({console_tail(job)})")


def boot_guest(qemu, started):
    """Runs QEMU, which dies with this process, to its end and returns its status; None
    if the guest has not started the command (made the file started) in BOOT_TIMEOUT."""
    process = subprocess.Popen(qemu, env=marked_env(), stdin=subprocess.DEVNULL,
                               preexec_fn=lambda: ctypes.CDLL(None).prctl(
                                   PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0))
    try:
        deadline = time.monotonic() + BOOT_TIMEOUT
        while process.poll() is None and not os.path.exists(started):
            if time.monotonic() > deadline:
                return None
            time.sleep(0.5)
        return process.wait()
    finally:
        process.kill()
        process.wait()


def console_tail(job):
    with open(os.path.join(job, "console"), errors="replace") as f:
        return "its console's last line: " + "".join(f.read().strip().splitlines()[-1:])


def rerun_in_guest():
    """Where Wine runs in the guest, runs this whole command there and exits with its status."""
    if guest_reason():
        sys.exit(guest([sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]]))


# No offer to install Mono or Gecko while a prefix is made, and no menu entries
# or file associations written into the user's home.
OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


def server_tmp(prefix):
    """Debian's Wine keeps the server's socket in a folder of its own under TMPDIR
    and leaves that behind; this one is the prefix's, removed when its server stops.
    It stays in the temporary folder, where a socket can be made (9p has none)."""
    name = hashlib.sha256(os.path.abspath(prefix).encode()).hexdigest()[:16]
    return os.path.join(tempfile.gettempdir(), f"reboot-wine-{name}")


def wine_env(prefix, **extra):
    os.makedirs(server_tmp(prefix), exist_ok=True)
    settings = dict(WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
                    WINEDLLOVERRIDES=OVERRIDES, TMPDIR=server_tmp(prefix))
    return marked_env(**{**settings, **extra})


def stop_wine(prefix):
    env = wine_env(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    with contextlib.suppress(subprocess.TimeoutExpired):
        subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL, timeout=30)
    end_leftovers()
    shutil.rmtree(server_tmp(prefix), ignore_errors=True)


def make_prefix(path):
    status = subprocess.run(["wine", "wineboot", "-i"], env=wine_env(path),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    stop_wine(path)
    if status != 0:
        raise HarnessError(f"wineboot could not make a prefix in {path}")


@contextlib.contextmanager
def prefix():
    need("wine", "wineserver")
    adopt_orphans()
    shared = os.environ.get("REBOOT_WINEPREFIX")
    if shared and not os.path.isfile(os.path.join(shared, "system.reg")):
        raise HarnessError(f"REBOOT_WINEPREFIX: {shared} is not a Wine prefix"
                           " (harness.py prefix-create makes one)")
    own = None if shared else tempfile.mkdtemp(prefix="reboot-wine-")
    path = shared or os.path.join(own, "prefix")
    try:
        if own:
            make_prefix(path)
        yield path
    finally:
        stop_wine(path)
        if own:
            shutil.rmtree(own, ignore_errors=True)


@contextlib.contextmanager
def display():
    """A private X display, so that a message box never lands on the user's screen."""
    need("Xvfb")
    ready, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp",
                             "-screen", "0", "640x480x24"], env=marked_env(),
                            pass_fds=[write], stderr=subprocess.DEVNULL)
    os.close(write)
    try:
        number = b""
        if select.select([ready], [], [], 10)[0]:
            number = os.read(ready, 16).strip()
        if not number:
            raise HarnessError("Xvfb did not start")
        yield ":" + number.decode()
    finally:
        os.close(ready)
        xvfb.terminate()
        xvfb.wait()


# Relay lines, with +pid: "0140:0144:Call advapi32.OpenProcessToken(ffffffff,...) ret=00401606"
RELAY = re.compile(r"([0-9a-f]+):([0-9a-f]+):(Call|Ret) +\w+\.(\w+)\((.*)\)"
                   r"(?: retval=([0-9a-f]+))? ret=([0-9a-f]+)$")
LOADED = re.compile(r'([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" '
                    r'at ([0-9a-f]+): native')
# A string argument is shown as its address and its text; the text is what counts.
STRING_ARG = re.compile(r'[0-9a-f]{8} (L?"(?:[^"\\]|\\.)*")')
# The wineserver's own trace of a privilege change (its request, then its reply by
# the same thread): what the token really got, and whether all of it was assigned.
ADJUST = re.compile(r"([0-9a-f]+): adjust_token_privileges\( handle=([0-9a-f]+), .*"
                    r"privileges=(\{.*\}) \)$")
ADJUSTED = re.compile(r"([0-9a-f]+): adjust_token_privileges\(\) = (\w+) ")
SHUTDOWN_ENABLED = "{{luid=0000000000000013,attrs=2}}"  # LUID 19, SE_PRIVILEGE_ENABLED


def image_size(exe):
    with open(exe, "rb") as f:
        head = f.read(1024)
    return struct.unpack_from("<I", head, struct.unpack_from("<I", head, 0x3C)[0] + 24 + 56)[0]


def adjustments(server_log):
    """The privilege changes the wineserver made, by thread, as
    adjust_token_privileges(token,privileges) = status."""
    made, asked = collections.defaultdict(list), {}
    with open(server_log, errors="replace") as f:
        for line in f:
            if m := ADJUST.match(line.rstrip("\n")):
                asked[m[1]] = f"{int(m[2], 16):08x},{m[3]}"
            elif (m := ADJUSTED.match(line)) and m[1] in asked:
                made[m[1]].append(Call("adjust_token_privileges", asked.pop(m[1]), m[2]))
    return made


def calls_from(log, server_log, exe):
    """The platform calls made from the program's image, in order, with results.
    The privilege change that an AdjustTokenPrivileges call made follows it."""
    name = os.path.basename(exe).lower()
    made = adjustments(server_log)
    pid = image = None
    calls, pending, threads = [], {}, set()
    with open(log, errors="replace") as f:
        for line in f:
            if pid is None:
                m = LOADED.match(line)
                if m and m[2].lower().endswith("\\" + name):
                    pid, base = m[1], int(m[3], 16)
                    image = range(base, base + image_size(exe))
                continue
            m = RELAY.match(line.rstrip("\n"))
            if not m or m[1] != pid or int(m[7], 16) not in image:
                continue
            thread, key = m[2], (m[2], m[4], m[7])
            if m[3] == "Call":
                threads.add(thread)
                pending[key] = len(calls)
                calls.append(Call(m[4], STRING_ARG.sub(r"\1", m[5]), None))
                if m[4] == "AdjustTokenPrivileges" and made[thread]:
                    calls.append(made[thread].pop(0))
            elif key in pending:
                i = pending.pop(key)
                calls[i] = calls[i]._replace(result=m[6])
    if pid is None:
        raise HarnessError(f"Wine never loaded {name}")
    # A change that no call of the program's asked for shows at the end.
    return calls + [call for thread in sorted(threads) for call in made[thread]]


def xdotool(screen, *args):
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=screen),
                          capture_output=True, text=True).stdout.split("\n")[0]


def answer_boxes(started, screen):
    """Waits for the processes to end, pressing Return on every window one of them
    shows. Returns the windows' captions, by process."""
    captions, answered = [[] for _ in started], set()
    deadline = time.monotonic() + RUN_TIMEOUT
    while running := [process for process in started if process.poll() is None]:
        if time.monotonic() > deadline:
            raise HarnessError(f"the program was still running after {RUN_TIMEOUT} s")
        for process, shown in zip(started, captions):
            if process not in running:
                continue
            window = xdotool(screen, "search", "--onlyvisible", "--pid", str(process.pid))
            if window and window not in answered and process.poll() is None:
                answered.add(window)
                shown.append(xdotool(screen, "getwindowname", window))
                xdotool(screen, "key", "--window", window, "Return")
        # A look costs half a second of a guest's emulated processor, which Wine needs
        # too: look again after a second, or as soon as a process ends.
        with contextlib.suppress(subprocess.TimeoutExpired):
            running[0].wait(timeout=1)
    return captions


def trace(exe, args=(), refuse=False, instances=1):
    """Runs the program traced, each instance on a log of its own, on a private
    display where every window it shows is answered with Return. With refuse, Wine
    refuses the restart (its restart helper is disabled). Returns one Run per
    instance."""
    exe = os.path.abspath(exe)
    if not os.path.isfile(exe):
        raise HarnessError(f"{exe} is not built")
    need("wine", "wineserver", "Xvfb", "xdotool")
    overrides = OVERRIDES + (";wineboot.exe=d" if refuse else "")
    with prefix() as path, display() as screen, tempfile.TemporaryDirectory() as logs:
        env = wine_env(path, DISPLAY=screen, WINEDEBUG="+pid,+relay,+loaddll",
                       WINEDLLOVERRIDES=overrides)
        # The server traces every request on a log of its own, untangled from the runs'.
        server_log = os.path.join(logs, "server.log")
        with open(server_log, "w") as out:
            subprocess.run(["wineserver", "-p", "-d1"], env=env, stderr=out, check=True)
        started = []
        for i in range(instances):
            with open(os.path.join(logs, f"{i}.log"), "w") as out:
                started.append(subprocess.Popen(["wine", exe, *args], env=env, stdout=out,
                                                stderr=out, stdin=subprocess.DEVNULL))
        try:
            captions = answer_boxes(started, screen)
        finally:
            for process in started:
                if process.poll() is None:
                    process.kill()
                    process.wait()
        return [Run(process.returncode, calls_from(os.path.join(logs, f"{i}.log"), server_log,
                                                   exe), captions[i])
                for i, process in enumerate(started)]


def show(exe):
    """The main job: what one run of reboot.exe asked of the platform, and its answer."""
    run = trace(exe)[0]
    print(f"{os.path.basename(exe)} made these calls under Wine:")
    for call in run.calls:
        if call.name == "adjust_token_privileges":
            token, privileges = call.args.split(",", 1)
            status = "done" if call.result == "0" else call.result
            note = " (the shutdown privilege enabled)" if privileges == SHUTDOWN_ENABLED else ""
            print(f"    wineserver: token {token} given {privileges}{note}: {status}")
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
    print(f"Exit status: {run.status}")
    return 0 if answers and run.status == 0 else 1


def main(argv):
    usage = __doc__.split("\n\n")[1]
    command, rest = (argv[0], argv[1:]) if argv else ("", [])
    if command == "guest" and not rest:
        reason = guest_reason()
        if reason:
            print(reason)
        return 0
    rerun_in_guest()
    if command == "exec" and rest:
        with prefix() as path:
            return subprocess.run(["wine", *rest], env=wine_env(path)).returncode
    if command == "show" and len(rest) == 1:
        return show(rest[0])
    if command == "prefix-create" and len(rest) == 1:
        need("wine", "wineserver")
        adopt_orphans()
        shutil.rmtree(rest[0], ignore_errors=True)
        os.makedirs(rest[0])
        make_prefix(rest[0])
        return 0
    if command == "prefix-remove" and len(rest) == 1:
        adopt_orphans()
        stop_wine(rest[0])
        shutil.rmtree(rest[0], ignore_errors=True)
        return 0
    print(usage, file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except HarnessError as e:
        sys.exit(f"harness: {e}")
