#!/usr/bin/python3
"""Runs a Windows program under Wine, in a throwaway 32-bit prefix, never ~/.wine.

usage: harness.py exec PROGRAM [ARG...] | show REBOOT_EXE | prefix-create DIR | prefix-remove DIR

exec runs a program and exits with its status; show runs reboot.exe traced on a
private display and says what it asked of the platform; prefix-create and
prefix-remove make and remove the prefix that the test suite shares.

With REBOOT_WINEPREFIX set, runs share that prefix; otherwise each makes its own
and removes it. Either way no Wine process outlives a run.
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

RUN_TIMEOUT = 60  # seconds a run may take before it counts as hung
BOX_TIMEOUT = 30  # seconds to wait for the message box to appear

Call = collections.namedtuple("Call", "name args result")
Run = collections.namedtuple("Run", "status calls")


class HarnessError(Exception):
    """The harness itself could not do its work (not a finding about the program)."""


def need(*tools):
    for tool in tools:
        if shutil.which(tool) is None:
            raise HarnessError(f"{tool} is not installed (scripts/setup installs it)")


# No offer to install Mono or Gecko while a prefix is made, and no menu entries
# or file associations written into the user's home.
OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


def server_tmp(prefix):
    """Debian's Wine keeps the server's socket in a folder of its own under TMPDIR
    and leaves that behind; this one goes with the prefix and is removed with it."""
    return prefix.rstrip("/") + ".tmp"


def wine_env(prefix, **extra):
    os.makedirs(server_tmp(prefix), exist_ok=True)
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
               WINEDLLOVERRIDES=OVERRIDES, TMPDIR=server_tmp(prefix))
    env.update(extra)
    return env


def stop_wine(prefix):
    env = wine_env(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)
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
    shared = os.environ.get("REBOOT_WINEPREFIX")
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
                             "-screen", "0", "640x480x24"],
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
# The wineserver's view of a privilege change, with +server: what the token really got.
ADJUSTED = re.compile(r"([0-9a-f]+): adjust_token_privileges\( handle=([0-9a-f]+), .*"
                      r"privileges=(\{.*\}) \)$")
SHUTDOWN_ENABLED = "{{luid=0000000000000013,attrs=2}}"  # LUID 19, SE_PRIVILEGE_ENABLED
LOADED = re.compile(r'([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" at ([0-9a-f]+): native')
# A string argument is shown as its address and its text; the text is what counts.
STRING_ARG = re.compile(r'[0-9a-f]{8} (L?"(?:[^"\\]|\\.)*")')
# Link-map lines for code from one of our own objects: GNU ld gives a virtual
# address (a long section name wraps its line, so lines are joined first), lld
# one relative to the image base.
GNU_TEXT = re.compile(r" \.text\S*\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+\S*src/\w+\.cpp\.obj$")
LLD_TEXT = re.compile(r"([0-9a-f]+) ([0-9a-f]+)\s+\d+\s+\S*src/\w+\.cpp\.obj:\(\.text\S*\)$")


def own_code(exe):
    """The program's own code (not the runtime's start-up code linked beside it), as
    offsets into its image, read from the link map that the build leaves beside it."""
    with open(exe, "rb") as f:
        head = f.read(1024)
    optional = struct.unpack_from("<I", head, 0x3C)[0] + 24
    image_base = struct.unpack_from("<I", head, optional + 28)[0]
    path = os.path.splitext(exe)[0] + ".map"
    if not os.path.exists(path):
        raise HarnessError(f"no link map {path}")
    with open(path) as f:
        text = re.sub(r"^( \.\S+)\n\s+", r"\1 ", f.read(), flags=re.M)
    ranges = []
    for line in text.splitlines():
        m = GNU_TEXT.match(line) or LLD_TEXT.match(line)
        if m and int(m.group(2), 16) > 0:
            start = int(m.group(1), 16)
            start -= image_base if start >= image_base else 0
            # A call that never returns may end the code: its return address is then
            # just past it.
            ranges.append(range(start, start + int(m.group(2), 16) + 1))
    if not ranges:
        raise HarnessError(f"{path} names no code of ours")
    return ranges


def adjustments(server_log):
    """The privilege changes the wineserver made, by thread: what each token really got."""
    made = collections.defaultdict(list)
    with open(server_log, errors="replace") as f:
        for line in f:
            m = ADJUSTED.match(line.rstrip("\n"))
            if m:
                made[m.group(1)].append(f"{int(m.group(2), 16):08x},{m.group(3)}")
    return made


def calls_from(log, server_log, exe):
    """The platform calls made from the program's own code, in order, with results.
    The privilege change that an AdjustTokenPrivileges call made follows it, as
    adjust_token_privileges(token,privileges)."""
    name = os.path.basename(exe).lower()
    ranges = own_code(exe)
    made = adjustments(server_log)
    pid = base = None
    calls, pending, threads = [], {}, set()
    with open(log, errors="replace") as f:
        for line in f:
            if pid is None:
                m = LOADED.match(line)
                if m and m.group(2).lower().endswith("\\" + name):
                    pid, base = m.group(1), int(m.group(3), 16)
                continue
            m = RELAY.match(line.rstrip("\n"))
            if not m or m.group(1) != pid:
                continue
            offset = int(m.group(7), 16) - base
            if not any(offset in r for r in ranges):
                continue
            thread, key = m.group(2), (m.group(2), m.group(4), m.group(7))
            if m.group(3) == "Call":
                threads.add(thread)
                pending[key] = len(calls)
                calls.append(Call(m.group(4), STRING_ARG.sub(r"\1", m.group(5)), None))
                if m.group(4) == "AdjustTokenPrivileges" and made[thread]:
                    calls.append(Call("adjust_token_privileges", made[thread].pop(0), None))
            elif key in pending:
                i = pending.pop(key)
                calls[i] = calls[i]._replace(result=m.group(6))
    if pid is None:
        raise HarnessError(f"Wine never loaded {name}")
    # A change that no call of ours asked for shows at the end.
    calls += [Call("adjust_token_privileges", a, None) for t in sorted(threads) for a in made[t]]
    return calls


def start(exe, args, env, log):
    with open(log, "w") as out:
        return subprocess.Popen(["wine", exe, *args], env=env, stdout=out, stderr=out,
                                stdin=subprocess.DEVNULL)


def finish(process, timeout=RUN_TIMEOUT):
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        raise HarnessError(f"the program was still running after {timeout} s")


def find_box(screen, process):
    """The window id of the message box, once it is on the screen."""
    need("xdotool")
    deadline = time.monotonic() + BOX_TIMEOUT
    while time.monotonic() < deadline and process.poll() is None:
        found = subprocess.run(["xdotool", "search", "--name", "^Error$"], env=dict(
            os.environ, DISPLAY=screen), capture_output=True, text=True).stdout.split()
        if found:
            return found[0]
        time.sleep(0.2)
    return None


def trace(exe, args=(), refuse=False, instances=1, on_box=None):
    """Runs the program traced, each instance on a log of its own, on a private display.
    With refuse, Wine refuses the restart (its restart helper is disabled), and
    on_box(screen, window, process) is called while the message box is shown;
    it must dismiss it. Returns one Run per instance."""
    exe = os.path.abspath(exe)
    if not os.path.isfile(exe):
        raise HarnessError(f"{exe} is not built")
    need("wine", "wineserver", "Xvfb", *(["xdotool"] if on_box else []))
    overrides = OVERRIDES + (";wineboot.exe=d" if refuse else "")
    with prefix() as path, display() as screen, tempfile.TemporaryDirectory() as logs:
        env = wine_env(path, DISPLAY=screen, WINEDEBUG="+pid,+relay,+loaddll",
                       WINEDLLOVERRIDES=overrides)
        # The server traces every request on a log of its own, untangled from the runs'.
        server_log = os.path.join(logs, "server.log")
        with open(server_log, "w") as out:
            subprocess.run(["wineserver", "-p", "-d1"], env=env,
                           stderr=out, check=True)
        started = [start(exe, args, env, os.path.join(logs, f"{i}.log"))
                   for i in range(instances)]
        try:
            if on_box:
                for process in started:
                    window = find_box(screen, process)
                    if window is None:
                        raise HarnessError("no message box appeared")
                    on_box(screen, window, process)
            statuses = [finish(process) for process in started]
        finally:
            for process in started:
                if process.poll() is None:
                    process.kill()
        return [Run(status, calls_from(os.path.join(logs, f"{i}.log"), server_log, exe))
                for i, status in enumerate(statuses)]


def show(exe):
    """The main job: what one run of reboot.exe asked of the platform, and its answer."""
    run = trace(exe)[0]
    print(f"{os.path.basename(exe)} made these calls under Wine:")
    for call in run.calls:
        if call.name == "adjust_token_privileges":
            token, privileges = call.args.split(",", 1)
            note = " (the shutdown privilege, enabled)" if privileges == SHUTDOWN_ENABLED else ""
            print(f"    wineserver: token {token} changed to {privileges}{note}")
        else:
            print(f"  {call.name}({call.args})" + (f" = {call.result}" if call.result else ""))
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
    if command == "exec" and rest:
        with prefix() as path:
            return subprocess.run(["wine", *rest], env=wine_env(path)).returncode
    if command == "show" and len(rest) == 1:
        return show(rest[0])
    if command == "prefix-create" and len(rest) == 1:
        need("wine", "wineserver")
        shutil.rmtree(rest[0], ignore_errors=True)
        os.makedirs(rest[0])
        make_prefix(rest[0])
        return 0
    if command == "prefix-remove" and len(rest) == 1:
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
