#!/usr/bin/python3
"""Runs a command in a QEMU guest whose kernel runs 32-bit programs, as Wine's loader is.

usage: guest.py reason | guest.py run [--write DIR]... [--scratch DIR]... [--env NAME]...
       [--timeout S] -- COMMAND...

reason says why Wine must run in the guest on this machine, or nothing where it runs
here (REBOOT_GUEST=yes sends it there on any kernel, REBOOT_GUEST=no never). run boots
the guest on the project's root's own kernel and runs COMMAND there, as the user
who started it, in the current folder; its output comes back as it is written, byte for
byte, and its exit status is the command's (128+N when signal N ended it).

The guest sees the root it is started in (the project's, scripts/enter) read-only as
its own, with /tmp, /run and /dev/shm of its own;
the folders given with --write read-write; and read-only the project and the current
folder where they lie in /tmp. A folder given with --scratch is the guest's own, in its
memory, empty at first and gone with the guest; written there, Wine's prefix is not
written slowly across to this machine. The command gets PATH, HOME, USER, LOGNAME, LANG,
LC_ALL, TZ and the variables named with --env, nothing else. The guest has no network, and
QEMU runs sandboxed: it may not start programs, gain privileges or change its limits.
"""
import argparse
import contextlib
import errno
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import isolate  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)
MODULES = ("virtio_pci", "9pnet_virtio", "9p")  # what guest-init loads for its shares
BOOT_TIMEOUT = 120  # seconds a guest may take to start the command; it takes 4 to 10
OWN = ("/tmp", "/run", "/dev/shm")  # the guest's own, hiding the host's
PASSED = ("PATH", "HOME", "USER", "LOGNAME", "LANG", "LC_ALL", "TZ")
PR_SET_PDEATHSIG = 1
RB_POWER_OFF = 0x4321FEDC
JOB = "/run/reboot-job"  # in the guest: the job's own folder


class GuestError(Exception):
    pass


def reason():
    """Why Wine runs in the guest, or None where it runs here."""
    if os.environ.get("REBOOT_IN_GUEST"):
        return None
    choice = os.environ.get("REBOOT_GUEST", "")
    if choice not in ("", "yes", "no"):
        raise GuestError(f"REBOOT_GUEST is {choice!r}, not yes, no or unset")
    if choice:
        return "REBOOT_GUEST=yes: 32-bit Wine runs in a QEMU guest" if choice == "yes" else None
    try:
        subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True)
    except OSError as e:
        if e.errno == errno.ENOEXEC:  # no IA32 emulation in this kernel, or it is switched off
            return "this kernel runs no 32-bit programs: Wine runs in a QEMU guest"
    return None  # a missing Wine is named where a run needs it


def boot_files(job):
    """The root's kernel, and an initramfs for it made in job: busybox, scripts/guest-init
    and the virtio and 9p modules with those they need (modules.dep lists them), so that
    busybox's modprobe finds the loading order. busybox loads only plain .ko files."""
    kernels = glob.glob("/boot/vmlinuz-*")
    if len(kernels) != 1:
        raise GuestError(f"the root has {len(kernels)} kernels in /boot, not one")
    modules = "/lib/modules/" + kernels[0].removeprefix("/boot/vmlinuz-")
    with open(f"{modules}/modules.dep") as f:
        needs = {name: rest.split() for name, rest in (line.split(":") for line in f)}
    tree = os.path.join(job, "initramfs")
    for module in MODULES:
        found = [name for name in needs if name.endswith(f"/{module}.ko")]
        if not found:
            raise GuestError(f"the root's kernel has no plain module {module}.ko")
        for name in (found[0], *needs[found[0]]):
            os.makedirs(os.path.dirname(f"{tree}{modules}/{name}"), exist_ok=True)
            shutil.copy(f"{modules}/{name}", f"{tree}{modules}/{name}")
    shutil.copy(f"{modules}/modules.dep", f"{tree}{modules}/")
    os.makedirs(f"{tree}/bin")
    shutil.copy("/bin/busybox", f"{tree}/bin/busybox")
    shutil.copy(os.path.join(HERE, "guest-init"), f"{tree}/init")
    files = subprocess.run(["find", "."], cwd=tree, capture_output=True, check=True).stdout
    with open(os.path.join(job, "initrd"), "wb") as initrd:
        subprocess.run(["busybox", "cpio", "-o", "-H", "newc"], cwd=tree, input=files,
                       stdout=initrd, stderr=subprocess.DEVNULL, check=True)
    return kernels[0], initrd.name


def hidden(path):
    return any(os.path.commonpath([path, own]) == own for own in OWN)


def shares(writes, reads, scratch=()):
    """(mode, folder) for each share, parents first: a folder the command writes, or
    one it reads (the project, the current folder, those given) that the guest's own
    /tmp would hide; and mem:UID:GID for a folder in the guest's memory, the user's."""
    folders = {os.path.realpath(w): "rw" for w in writes}
    folders |= {os.path.realpath(s): f"mem:{os.getuid()}:{os.getgid()}" for s in scratch}
    for folder in map(os.path.realpath, (PROJECT, os.getcwd(), *reads)):
        covered = any(os.path.commonpath([folder, w]) == w for w in folders)
        if hidden(folder) and not covered:
            folders[folder] = "ro"
    for folder in folders:
        if not os.path.isdir(folder) or "\n" in folder:
            raise GuestError(f"cannot share {folder!r}: not a folder, or a name with a line end")
    return sorted(((mode, folder) for folder, mode in folders.items()), key=lambda s: s[1])


def run(argv, writes=(), reads=(), names=(), timeout=3600, scratch=()):
    """Runs argv in the guest and returns its exit status."""
    isolate.isolate(keep=[PROJECT, os.getcwd(), *writes, *reads, *scratch])
    # KVM needs the processor's virtualization (kvm_intel or kvm_amd): a /dev/kvm of
    # another kind, such as PVM's, boots only kernels built for it. Under QEMU 7.2's
    # software emulation, -cpu max makes every 32-bit process fault; qemu64 does not.
    kvm = any(os.path.isdir(f"/sys/module/kvm_{cpu}") for cpu in ("intel", "amd")) and \
        os.access("/dev/kvm", os.R_OK | os.W_OK)
    machine = ["-accel", "kvm", "-cpu", "host"] if kvm else ["-accel", "tcg", "-cpu", "qemu64"]
    env = {k: os.environ[k] for k in PASSED + tuple(names) if k in os.environ}
    job = tempfile.mkdtemp(prefix="reboot-guest-")
    folders = shares(writes, reads, scratch)
    with open(os.path.join(job, "shares"), "w") as f:
        f.writelines(f"{mode} {folder}\n" for mode, folder in folders)
    with open(os.path.join(job, "job.json"), "w") as f:  # names as bytes, escaped
        json.dump({"uid": os.getuid(), "gid": os.getgid(), "cwd": os.getcwd(),
                   "argv": list(argv), "env": env | {"REBOOT_IN_GUEST": machine[1]}}, f)
    with open(os.path.join(job, "runner"), "w") as f:
        f.write(os.path.abspath(__file__))
    boot = boot_files(job)
    qemu = ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-no-reboot",
            "-display", "none", "-nic", "none", *machine, "-smp", "2", "-m", "4096",
            "-sandbox", "on,obsolete=deny,elevateprivileges=deny,spawn=deny,resourcecontrol=deny",
            "-kernel", boot[0], "-initrd", boot[1], "-append", "console=ttyS0 panic=-1"]
    virtfs = [("job", job, "rw"), ("root", "/", "ro")] + \
        [(f"s{i}", folder, mode) for i, (mode, folder) in enumerate(folders)
         if mode in ("rw", "ro")]  # the others are in the guest's memory
    for tag, folder, mode in virtfs:
        qemu += ["-virtfs", f"local,path={folder.replace(',', ',,')},mount_tag={tag},"
                 f"security_model=none,multidevs=remap" + (",readonly=on" if mode == "ro" else "")]
    deadline = time.monotonic() + timeout
    console = os.path.join(job, "console")
    status = boot_guest(qemu + ["-serial", f"file:{console}"], job, deadline)
    if status == "hung":
        raise GuestError(f"the guest had not started the command after {BOOT_TIMEOUT} s"
                         f" ({tail(console)})")
    if status == "late":
        raise GuestError(f"the command ran past {timeout} s ({tail(console)})")
    try:
        with open(os.path.join(job, "status")) as f:
            return int(f.read())
    except (OSError, ValueError):
        raise GuestError(f"the guest stopped before the command ended ({tail(console)})")


def boot_guest(qemu, job, deadline):
    """Runs QEMU to its end, passing the command's output on as it comes. Returns QEMU's
    status; "hung" if the command had not started in BOOT_TIMEOUT, "late" at the deadline."""
    process = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, preexec_fn=lambda: isolate.libc.prctl(
        PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0))
    outputs = [(os.path.join(job, name), stream, [0]) for name, stream in
               (("out", sys.stdout.buffer), ("err", sys.stderr.buffer))]
    booted = time.monotonic() + BOOT_TIMEOUT
    try:
        while True:
            ended = process.poll() is not None
            for path, stream, offset in outputs:
                with contextlib.suppress(FileNotFoundError), open(path, "rb") as f:
                    f.seek(offset[0])
                    data = f.read()
                    offset[0] += len(data)
                    stream.write(data)
                    stream.flush()
            if ended:
                return process.returncode
            if time.monotonic() > booted and not os.path.exists(outputs[0][0]):
                return "hung"
            if time.monotonic() > deadline:
                return "late"
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(timeout=0.2)
    finally:
        process.kill()
        process.wait()


def tail(console):
    """The console's last lines before the power-down."""
    with contextlib.suppress(OSError), open(console, errors="replace") as f:
        lines = [line for line in f.read().splitlines() if line.strip()
                 and "reboot: Power down" not in line]
        return "its console's last lines: " + " | ".join(lines[-3:])
    return "no console output"


def inside():
    """The guest's init, once the project's root is its own: runs the job as the user, in
    its folder, then records the job's exit status and powers the guest off."""
    with open(f"{JOB}/job.json") as f:
        job = json.load(f)
    command = os.fork()
    if command == 0:
        os.setgroups([])
        os.setgid(job["gid"])
        os.setuid(job["uid"])
        os.chdir(job["cwd"])
        argv = [os.fsencode(a) for a in job["argv"]]
        env = {os.fsencode(k): os.fsencode(v) for k, v in job["env"].items()}
        try:
            os.execvpe(argv[0], argv, env)
        except OSError as e:
            sys.exit(f"guest: {job['argv'][0]}: {e.strerror}")
    while True:  # reaps what the command leaves to this process, until the command ends
        pid, status = os.wait()
        if pid == command:
            break
    with open(f"{JOB}/status", "w") as f:
        f.write(f"{isolate.exit_status(status)}\n")
    os.sync()
    isolate.libc.reboot(RB_POWER_OFF)


def main(argv):
    usage = __doc__.split("\n\n")[1]
    if argv == ["reason"]:
        print(reason() or "", end="\n" if reason() else "")
        return 0
    if argv == ["inside"]:
        inside()
    parser = argparse.ArgumentParser(prog="guest.py run", usage=usage.removeprefix("usage: "))
    parser.add_argument("--write", action="append", default=[])
    parser.add_argument("--scratch", action="append", default=[])
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("--timeout", type=int, default=3600)
    parser.add_argument("command", nargs="+")
    if argv[:1] != ["run"] or "--" not in argv:
        parser.error("give run, its options, then -- and the command")
    options = parser.parse_args(argv[1:])
    return run(options.command, options.write, (), options.env, options.timeout,
               scratch=options.scratch)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (GuestError, isolate.IsolateError) as e:
        sys.exit(f"guest: {e}")
