// Forced into the routine when it is built for the unit tests: each platform
// operation it calls goes to a recording stand-in of the same signature, and
// the product build is left untouched.
#pragma once

#include <windows.h>

HANDLE StandInGetCurrentProcess();
BOOL StandInOpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL StandInLookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid);
BOOL StandInAdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  PDWORD returnLength);
BOOL StandInCloseHandle(HANDLE handle);
BOOL StandInExitWindowsEx(UINT flags, DWORD reason);
int StandInMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

#define GetCurrentProcess StandInGetCurrentProcess
#define OpenProcessToken StandInOpenProcessToken
#define LookupPrivilegeValueA StandInLookupPrivilegeValueA
#define AdjustTokenPrivileges StandInAdjustTokenPrivileges
#define CloseHandle StandInCloseHandle
#define ExitWindowsEx StandInExitWindowsEx
#define MessageBoxA StandInMessageBoxA
