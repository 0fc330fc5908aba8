// Forced into the routine in the unit tests' build alone: each platform operation
// it calls goes to a recording stand-in of the same signature.
#pragma once

#include <windows.h>

HANDLE StandInGetCurrentProcess();
BOOL StandInOpenProcessToken(HANDLE, DWORD, PHANDLE);
BOOL StandInLookupPrivilegeValueA(LPCSTR, LPCSTR, PLUID);
BOOL StandInAdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES,
                                  PDWORD);
BOOL StandInCloseHandle(HANDLE);
BOOL StandInExitWindowsEx(UINT, DWORD);
int StandInMessageBoxA(HWND, LPCSTR, LPCSTR, UINT);

#define GetCurrentProcess StandInGetCurrentProcess
#define OpenProcessToken StandInOpenProcessToken
#define LookupPrivilegeValueA StandInLookupPrivilegeValueA
#define AdjustTokenPrivileges StandInAdjustTokenPrivileges
#define CloseHandle StandInCloseHandle
#define ExitWindowsEx StandInExitWindowsEx
#define MessageBoxA StandInMessageBoxA
