"""Puts the rest of this process in namespaces of its own, so that when it ends, by
any means, the kernel ends every process it started and frees its temporary files.

A process that is already the first of a PID namespace, as one that isolated itself
is, stays as it is. Any other forks. The parent waits and exits with the child's status; the child,
which carries on, is the first process of a new PID namespace, and dies with the
parent. In new mount, network and IPC namespaces the child gets an empty /tmp and
/dev/shm of its own in memory (the folders named in `keep` that lie in /tmp are bound back in
at their own paths), no network but its own loopback, and no shared memory with
other processes. A user who is not root gets a user namespace that maps only its
own user and group, so no privilege is gained. Nothing outside is changed.
"""
import ctypes
import os
import select
import signal
import sys
import tempfile

CLONE_NEWNS, CLONE_NEWUSER, CLONE_NEWPID = 0x00020000, 0x10000000, 0x20000000
CLONE_NEWNET, CLONE_NEWIPC = 0x40000000, 0x08000000
MS_NOSUID, MS_NODEV, MS_NOEXEC, MS_BIND, MS_REC, MS_PRIVATE = 2, 4, 8, 4096, 16384, 1 << 18
PR_SET_PDEATHSIG = 1

libc = ctypes.CDLL(None, use_errno=True)


class IsolateError(Exception):
    pass


def call(what, result):
    if result != 0:
        raise IsolateError(f"{what}: {os.strerror(ctypes.get_errno())}")


def exit_status(wait_status):
    """A status as a shell gives it: 128+N when signal N ended the process."""
    code = os.waitstatus_to_exitcode(wait_status)
    return 128 - code if code < 0 else code


def first():
    """Whether this process is the first of its PID namespace, and /proc shows that
    namespace: every process listed there is one it started, or one that those started."""
    return os.getpid() == 1 and os.readlink("/proc/self") == "1"


def isolate(keep=()):
    if first():
        return
    uid, gid = os.getuid(), os.getgid()
    flags = CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWIPC
    try:
        call("unshare", libc.unshare(flags | (CLONE_NEWUSER if uid else 0)))
    except IsolateError as e:
        raise IsolateError(f"{e} (a user who is not root needs user namespaces:"
                           " sysctl user.max_user_namespaces)")
    if uid:
        for name, text in (("setgroups", "deny"), ("uid_map", f"{uid} {uid} 1"),
                           ("gid_map", f"{gid} {gid} 1")):
            with open(f"/proc/self/{name}", "w") as f:
                f.write(text)
    call("private mounts", libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None))
    # Held open across the mount that hides them, so that they can be bound back.
    kept = {os.path.realpath(k): os.open(k, os.O_PATH | os.O_DIRECTORY)
            for k in keep if os.path.isdir(k)}
    alive, parent_alive = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    child = os.fork()
    if child:
        os.close(alive)
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # the child answers Ctrl-C
        os._exit(exit_status(os.waitpid(child, 0)[1]))
    os.close(parent_alive)
    call("parent-death signal", libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0))
    if select.select([alive], [], [], 0)[0]:  # the parent died before the line above
        os._exit(128 + signal.SIGKILL)
    call("/proc", libc.mount(b"proc", b"/proc", b"proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, None))
    for tmp in (b"/tmp", b"/dev/shm"):
        call(tmp.decode(), libc.mount(b"tmpfs", tmp, b"tmpfs", MS_NOSUID | MS_NODEV, b"mode=1777"))
    for path, fd in sorted(kept.items()):
        if os.path.commonpath([path, "/tmp"]) == "/tmp" and path != "/tmp":
            os.makedirs(path, exist_ok=True)
            call(f"binding {path}", libc.mount(f"/proc/self/fd/{fd}".encode(), path.encode(),
                                              None, MS_BIND | MS_REC, None))
        os.close(fd)
    os.mkdir("/tmp/.X11-unix")  # where X servers make their sockets
    os.chmod("/tmp/.X11-unix", 0o1777)
    # As the first process of its namespace, this one would ignore the default action
    # of Ctrl-C: end the way Python does, through its clean-ups, with status 130.
    signal.signal(signal.SIGINT, lambda *_: sys.exit(128 + signal.SIGINT))
    os.environ["TMPDIR"] = "/tmp"
    tempfile.tempdir = None
