#include "reboot.h"

#include <windows.h>

namespace {

// STANDARD_RIGHTS_REQUIRED (0x000F0000) with the eight token rights from
// TOKEN_ASSIGN_PRIMARY to TOKEN_ADJUST_DEFAULT (0x000000FF). Deliberately not
// TOKEN_ALL_ACCESS (0x000F01FF): TOKEN_ADJUST_SESSIONID is not needed here.
constexpr DWORD kTokenAccess = 0x000F00FF;

}  // namespace

void Reboot()
{
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;

    HANDLE token = NULL;
    const BOOL opened = OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token);
    const BOOL found = LookupPrivilegeValueA(NULL, "SeShutdownPrivilege",
                                             &privileges.Privileges[0].Luid);
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;

    // Without the privilege the restart is still asked for: Windows then
    // refuses it and the user sees the same message as for any refusal.
    if (opened) {
        if (found)
            (void)AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        (void)CloseHandle(token);
    }

    if (!ExitWindowsEx(EWX_REBOOT, 0))
        (void)MessageBoxA(NULL, "Reboot failed", "Error", MB_OK);
}
