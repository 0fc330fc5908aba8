#!/usr/bin/python3
"""End to end: a built reboot.exe under Wine, traced; one case of the table per run."""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import harness  # noqa: E402

# Every call from the program's image, "Name(arguments) = result": `*` is any value, {token}
# one value wherever it stands, {process} GetCurrentProcess's -1 in the program's width.
ACCEPTED = [
    "OpenProcessToken({process},000f00ff,*) = 00000001",
    'LookupPrivilegeValueA(00000000,"SeShutdownPrivilege",*) = 00000001',
    "AdjustTokenPrivileges({token},00000000,*,00000000,00000000,00000000) = 00000001",
    # The wineserver's answer: the shutdown privilege (LUID 19) alone, enabled and assigned.
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
    # Nothing of the command line is read, and each instance asks for its own restart.
    "two-with-odd-arguments": (
        ["/?", "--help", "x" * 8000, "two words", 'say "hi"', "Grüße", "日本語", ""], False, 2, 1),
    # An accepted request makes Wine start helpers of its own; none may outlive a run. In
    # the guest, where each run takes ten times as long, a tenth as many runs.
    "sixty-in-a-row": ([], False, 1, 60),
}


def failures_of(case, exe):
    """Each run's calls, windows, exit status and leftovers, where they differ from the
    table's, as each run ends."""
    arguments, refused, instances, runs = CASES[case]
    process = "ffffffffffffffff" if harness.machine(exe) == "x64" else "ffffffff"
    expected = [line.replace("{process}", process) for line in (REFUSED if refused else ACCEPTED)]
    expected += [f"windows {['Error'] if refused else []}", "exit status 0", "left behind []"]
    pattern = re.escape("\n".join(expected)).replace(r"\*", "[0-9a-f]{8,16}")
    pattern = pattern.replace(r"\{token\}", "(?P<token>[0-9a-f]{8})", 1)
    pattern = pattern.replace(r"\{token\}", "(?P=token)")
    for i in range(1, max(1, runs // harness.SLOW) + 1):
        for run in harness.trace(exe, arguments, refused, instances):
            if run.trouble:
                yield f"run {i} ({run.seconds} s): {run.trouble}"
                continue
            got = [*map(str, run.calls), f"windows {run.captions}",
                   f"exit status {run.status}", f"left behind {run.left}"]
            if not re.fullmatch(pattern, "\n".join(got)):
                yield (f"run {i} ({run.seconds} s): expected:\n  " + "\n  ".join(expected)
                       + "\ngot:\n  " + "\n  ".join(got + [f"Wine said: {w}" for w in run.wine]))


def main(argv):
    if len(argv) != 2 or argv[0] not in CASES:
        sys.exit(f"usage: e2e.py {{{'|'.join(CASES)}}} REBOOT_EXE")
    harness.enter(harness.machine(argv[1]), reads=[os.path.dirname(os.path.abspath(argv[1]))])
    failed = 0
    for failure in failures_of(*argv):  # said at once: a time limit may end the rest
        print(f"e2e {argv[0]}: {failure}", file=sys.stderr, flush=True)
        failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except harness.HarnessError as e:
        sys.exit(f"e2e: {e}")
