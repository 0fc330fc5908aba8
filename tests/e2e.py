#!/usr/bin/python3
"""End to end: a built reboot.exe under Wine, traced, one case of the table per run.

usage: e2e.py CASE REBOOT_EXE
"""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import harness  # noqa: E402

# Every call made from the program's image, as "Name(arguments) = result". `*` is
# any value; a name in braces is one value, the same wherever it stands.
ACCEPTED = [
    "OpenProcessToken(ffffffff,000f00ff,*) = 00000001",
    'LookupPrivilegeValueA(00000000,"SeShutdownPrivilege",{luid}) = 00000001',
    "AdjustTokenPrivileges({token},00000000,{record},00000000,00000000,00000000) = 00000001",
    # The wineserver's answer: the shutdown privilege (LUID 19) enabled (2), alone,
    # and assigned (status 0).
    "adjust_token_privileges({token},{{luid=0000000000000013,attrs=2}}) = 0",
    "CloseHandle({token}) = 00000001",
    "ExitWindowsEx(00000002,00000000) = 00000001",
    "ExitProcess(00000000)",
]
REFUSED = ACCEPTED[:5] + [
    "ExitWindowsEx(00000002,00000000) = 00000000",
    'MessageBoxA(00000000,"Reboot failed","Error",00000000) = 00000001',
    "ExitProcess(00000000)",
]

CASES = {  # name: (arguments, refused, instances started together, runs in a row)
    "accepted": ([], False, 1, 1),
    "refused": ([], True, 1, 1),
    "odd-arguments": (["/?", "--help", "x" * 8000, "two words", 'say "hi"', "Grüße", "日本語", ""],
                      False, 1, 1),
    "two-instances": ([], False, 2, 1),
    # An accepted request makes Wine start helpers of its own; none may outlive a run.
    "sixty-in-a-row": ([], False, 1, 60),
}


def pattern(lines):
    seen = set()

    def value(m):
        name = m[1]
        if name is None:
            return "[0-9a-f]{8}"
        if name in seen:
            return f"(?P={name})"
        seen.add(name)
        return f"(?P<{name}>[0-9a-f]{{8}})"

    return re.compile(re.sub(r"\\\{(\w+)\\\}|\\\*", value, re.escape("\n".join(lines))))


def problem(run, refused):
    """What is wrong with one run, or None."""
    expected = REFUSED if refused else ACCEPTED
    shown = "\n".join(f"{c.name}({c.args})" + (f" = {c.result}" if c.result else "")
                      for c in run.calls)
    m = pattern(expected).fullmatch(shown)
    if run.status != 0:
        return f"exit status {run.status}, not 0"
    if run.captions != (["Error"] if refused else []):
        return f"windows captioned {run.captions}, expected {['Error'] if refused else 'none'}"
    if not m:
        return "calls differ; expected:\n  " + "\n  ".join(expected) + "\ngot:\n  " + \
            shown.replace("\n", "\n  ")
    # The identifier is looked up into the record's one entry, just past its count.
    if int(m["luid"], 16) != int(m["record"], 16) + 4:
        return f"looked up into {m['luid']}, but handed the record at {m['record']} on"
    return None


def main(argv):
    if len(argv) != 2 or argv[0] not in CASES:
        print(f"usage: e2e.py {{{'|'.join(CASES)}}} REBOOT_EXE", file=sys.stderr)
        return 2
    case, exe = argv
    arguments, refused, instances, runs = CASES[case]
    failures = []
    try:
        for i in range(1, runs + 1):
            failures += [f"run {i}: {p}" for run in harness.trace(exe, arguments, refused, instances)
                         if (p := problem(run, refused))]
            if harness.leftovers():
                failures.append(f"run {i}: processes left behind: {harness.leftovers()}")
    except harness.HarnessError as e:
        failures.append(str(e))
    for failure in failures:
        print(f"e2e {case}: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
