#!/usr/bin/python3
"""Reading Wine's logs, on fragments captured from real runs: a Wine whose format
changes fails here by name, before any end-to-end case runs."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import winelog  # noqa: E402

LOADED = '0020:0024:trace:loaddll:build_module Loaded L"Z:\\\\tmp\\\\reboot.exe" at 00400000: native'
OPEN = ["0020:0024:Call advapi32.OpenProcessToken(ffffffff,000f00ff,0021fed8) ret=00401042",
        "0020:0024:Ret  advapi32.OpenProcessToken() retval=00000001 ret=00401042"]
ADJUST = ["0020:0024:Call advapi32.AdjustTokenPrivileges(00000058,00000000,0021fedc,00000000,"
          "00000000,00000000) ret=00401075",
          "0020:0024:Ret  advapi32.AdjustTokenPrivileges() retval=00000001 ret=00401075"]
FROM_A_DLL = ["0020:0024:Call KERNEL32.CloseHandle(0000002c) ret=6568dbd8",
              "0020:0024:Ret  KERNEL32.CloseHandle() retval=00000001 ret=6568dbd8"]
OTHER_THREAD = ["0020:0030:Call user32.ExitWindowsEx(00000002,00000000) ret=00401088",
                "0020:0030:Ret  user32.ExitWindowsEx() retval=00000000 ret=00401088"]
ASKED = ["0024: adjust_token_privileges( handle=0058, disable_all=0, get_modified_state=0, "
         "privileges={{luid=0000000000000013,attrs=2}} )"]
ANSWERED = ASKED + ["0024: adjust_token_privileges() = 0 { len=00000000, privileges={} }"]

DESKTOP = "003c: create_window( parent=00000000, owner=00000000, atom=8001, instance=00000000, dpi=96, awareness=2, style=86000000, ex_style=00000000, class=L\"\" )"
MESSAGE = "003c: create_window( parent=00000000, owner=00000000, atom=0000, instance=00000000, dpi=96, awareness=2, style=86000000, ex_style=00000000, class=L\"Message\" )"
MADE = "003c: create_window() = 0 { handle=00010020, parent=00000000, owner=00000000, extra=0, class_ptr=a5441d00, dpi=96, awareness=2 }"

CALL_OPEN = "OpenProcessToken(ffffffff,000f00ff,0021fed8) = 00000001"
CALL_ADJUST = "AdjustTokenPrivileges(00000058,00000000,0021fedc,00000000,00000000,00000000) = 00000001"
CHANGE = "adjust_token_privileges(00000058,{{luid=0000000000000013,attrs=2}}) = 0"

ROWS = {  # name: (relay log, wineserver log, the calls read, or the error)
    "a call and its return": ([LOADED, *OPEN], [], [CALL_OPEN]),
    "a call from another image is not the program's": ([LOADED, *FROM_A_DLL, *OPEN], [], [CALL_OPEN]),
    "before the exe is loaded, nothing counts": ([*OPEN, LOADED], [], []),
    "interleaved threads": ([LOADED, OPEN[0], OTHER_THREAD[0], OPEN[1], OTHER_THREAD[1]], [],
                            [CALL_OPEN, "ExitWindowsEx(00000002,00000000) = 00000000"]),
    "a privilege change follows its call": ([LOADED, *ADJUST], ANSWERED, [CALL_ADJUST, CHANGE]),
    "a change without its reply is not made": ([LOADED, *ADJUST], ASKED, [CALL_ADJUST]),
    "the exe never loaded": ([*OPEN], [], "Wine never loaded reboot.exe"),
}


DESKTOP_ROWS = {  # name: (wineserver log, whether the desktop window is made)
    "the desktop window asked for and made": ([DESKTOP, MADE], True),
    "asked for, not yet made": ([DESKTOP], False),
    "another window made": ([MESSAGE, MADE], False),
}


def main():
    failed = 0
    for name, (log, server, expected) in ROWS.items():
        try:
            got = [str(call) for call in winelog.calls(log, server, "reboot.exe", 0x3000)]
        except winelog.LogError as e:
            got = str(e)
        if got != expected:
            print(f"FAIL {name}: expected {expected}, got {got}")
            failed += 1
    for name, (server, expected) in DESKTOP_ROWS.items():
        if winelog.desktop_made(server) != expected:
            print(f"FAIL {name}: expected {expected}")
            failed += 1
    total = len(ROWS) + len(DESKTOP_ROWS)
    print(f"{total - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
