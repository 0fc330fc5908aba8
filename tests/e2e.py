#!/usr/bin/python3
"""End-to-end: the built reboot.exe under Wine, one case of the table per run.

usage: e2e.py CASE REBOOT_EXE ARTIFACT_DIR
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import harness  # noqa: E402

# The calls made from the program's own code, as "Name(arguments) = result".
# `*` is any value; a name in braces is one value, the same wherever it stands.
ACCEPTED = [
    "OpenProcessToken(ffffffff,000f00ff,*) = 00000001",
    'LookupPrivilegeValueA(00000000,"SeShutdownPrivilege",{luid}) = 00000001',
    "AdjustTokenPrivileges({token},00000000,{record},00000000,00000000,00000000) = 00000001",
    # The token really gets the shutdown privilege (LUID 19) enabled (2), and only it.
    "adjust_token_privileges({token},{{luid=0000000000000013,attrs=2}})",
    "CloseHandle({token}) = 00000001",
    "ExitWindowsEx(00000002,00000000) = 00000001",
    "ExitProcess(00000000)",
]
REFUSED = ACCEPTED[:5] + [
    "ExitWindowsEx(00000002,00000000) = 00000000",
    'MessageBoxA(00000000,"Reboot failed","Error",00000000) = 00000001',
    "ExitProcess(00000000)",
]

CASES = {  # name: (arguments, refused, instances started together)
    "accepted": ([], False, 1),
    "refused": ([], True, 1),
    "help-options": (["/?", "--help", "-h"], False, 1),
    "long-argument": (["x" * 8000], False, 1),
    "quoted-and-non-ascii": (["two words", 'say "hi"', "Grüße", "日本語", ""], False, 1),
    "two-instances": ([], False, 2),
}

DISMISS_TIMEOUT = 10  # seconds the program may take to end once the box is dismissed


def pattern(lines):
    seen = set()

    def value(m):
        name = m.group(1)
        if name is None:
            return "[0-9a-f]{8}"
        if name in seen:
            return f"(?P={name})"
        seen.add(name)
        return f"(?P<{name}>[0-9a-f]{{8}})"

    return re.compile(re.sub(r"\\\{(\w+)\\\}|\\\*", value, re.escape("\n".join(lines))))


def check(run, expected):
    """What is wrong with one run, or None."""
    shown = "\n".join(f"{c.name}({c.args})" + (f" = {c.result}" if c.result else "")
                      for c in run.calls)
    if run.status != 0:
        return f"exit status {run.status}, not 0"
    m = pattern(expected).fullmatch(shown)
    if not m:
        return "calls differ; expected:\n  " + "\n  ".join(expected) + "\ngot:\n  " + \
            shown.replace("\n", "\n  ")
    # The identifier is looked up into the record's one entry, just past its count.
    if int(m["luid"], 16) != int(m["record"], 16) + 4:
        return f"looked up into {m['luid']}, but handed the record at {m['record']} on"
    return None


def dismiss(screenshot):
    def on_box(screen, window, process):
        if process.poll() is not None:
            raise AssertionError("the box is shown but the program has already ended")
        env = dict(os.environ, DISPLAY=screen)
        subprocess.run(["import", "-window", "root", screenshot], env=env, check=True)
        subprocess.run(["xdotool", "key", "--window", window, "Return"], env=env, check=True)
        try:
            process.wait(DISMISS_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"still running {DISMISS_TIMEOUT} s after the box was dismissed")
    return on_box


def main(argv):
    if len(argv) != 3 or argv[0] not in CASES:
        print(f"usage: e2e.py {{{'|'.join(CASES)}}} REBOOT_EXE ARTIFACT_DIR", file=sys.stderr)
        return 2
    case, exe, artifacts = argv
    arguments, refused, instances = CASES[case]
    os.makedirs(artifacts, exist_ok=True)
    on_box = dismiss(os.path.join(artifacts, f"{case}-box.png")) if refused else None
    try:
        runs = harness.trace(exe, arguments, refused, instances, on_box)
    except (harness.HarnessError, AssertionError) as e:
        print(f"e2e {case}: {e}", file=sys.stderr)
        return 1
    failures = [problem for problem in (check(run, REFUSED if refused else ACCEPTED)
                                        for run in runs) if problem]
    for problem in failures:
        print(f"e2e {case}: {problem}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
