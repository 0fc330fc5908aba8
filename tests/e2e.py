#!/usr/bin/python3
"""End to end: a built reboot.exe under Wine, traced; one case of the table per run."""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import harness  # noqa: E402

# Every call made from the program's image, as "Name(arguments) = result": `*` is
# any value, {token} one value, the same wherever it stands. Then each run shows the
# windows captioned, ends with status 0 and leaves no process behind.
ACCEPTED = [
    "OpenProcessToken(ffffffff,000f00ff,*) = 00000001",
    'LookupPrivilegeValueA(00000000,"SeShutdownPrivilege",*) = 00000001',
    "AdjustTokenPrivileges({token},00000000,*,00000000,00000000,00000000) = 00000001",
    # The wineserver's answer: the token got the shutdown privilege (LUID 19), and it
    # alone, enabled (2) and assigned (status 0), so the record held what it should.
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
    # An accepted request makes Wine start helpers of its own; none may outlive a run.
    "sixty-in-a-row": ([], False, 1, 60),
}


def problem(run, refused):
    """What is wrong with one run, or None."""
    expected = (REFUSED if refused else ACCEPTED) + [
        f"windows {['Error'] if refused else []}", "exit status 0", "left behind []"]
    got = [str(call) for call in run.calls] + [f"windows {run.captions}",
                                               f"exit status {run.status}",
                                               f"left behind {harness.leftovers()}"]
    pattern = re.escape("\n".join(expected)).replace(r"\*", "[0-9a-f]{8}")
    pattern = pattern.replace(r"\{token\}", "(?P<token>[0-9a-f]{8})", 1)
    pattern = pattern.replace(r"\{token\}", "(?P=token)")
    if not re.fullmatch(pattern, "\n".join(got)):
        return "expected:\n  " + "\n  ".join(expected) + "\ngot:\n  " + "\n  ".join(got)
    return None


def failures_of(case, exe):
    arguments, refused, instances, runs = CASES[case]
    failures = []
    try:
        for i in range(1, runs + 1):
            for run in harness.trace(exe, arguments, refused, instances):
                failures += [f"run {i}: {p}" for p in [problem(run, refused)] if p]
    except harness.HarnessError as e:
        failures.append(str(e))
    return failures


def main(argv):
    if len(argv) != 2 or argv[0] not in CASES:
        sys.exit(f"usage: e2e.py {{{'|'.join(CASES)}}} REBOOT_EXE")
    harness.rerun_in_guest()
    failures = failures_of(*argv)
    # The program does the same on every run, so a fault of its own fails again; Wine
    # has now and then failed a run of its own accord, so a case of one run gets two.
    if failures and CASES[argv[0]][3] == 1:
        print("\n".join(f"e2e {argv[0]}: first try: {f}" for f in failures), file=sys.stderr)
        failures = failures_of(*argv)
    for failure in failures:
        print(f"e2e {argv[0]}: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
