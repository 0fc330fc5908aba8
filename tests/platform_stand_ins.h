// Forced into the routine when it is built for the unit tests: each platform
// operation it calls goes to a recording stand-in of the same signature, and
// the product build is left untouched.
#pragma once

#include <windows.h>

HANDLE StandInGetCurrentProcess();
BOOL StandInOpenProcessToken(HANDLE, DWORD, PHANDLE token);
BOOL StandInLookupPrivilegeValueA(LPCSTR, LPCSTR, PLUID);
BOOL StandInAdjustTokenPrivileges(HANDLE token, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES,
                                  PDWORD);
BOOL StandInCloseHandle(HANDLE handle);
BOOL StandInExitWindowsEx(UINT, DWORD);
int StandInMessageBoxA(HWND, LPCSTR, LPCSTR, UINT);

#define GetCurrentProcess StandInGetCurrentProcess
#define OpenProcessToken StandInOpenProcessToken
#define LookupPrivilegeValueA StandInLookupPrivilegeValueA
#define AdjustTokenPrivileges StandInAdjustTokenPrivileges
#define CloseHandle StandInCloseHandle
#define ExitWindowsEx StandInExitWindowsEx
#define MessageBoxA StandInMessageBoxA
