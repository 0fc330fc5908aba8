// Forced into the routine in the unit tests' build alone: each platform operation
// it calls goes to a stand-in of the same signature that records the call and
// gives the answer the test chose.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct Answers {
    bool opens, finds, adjusts, accepts;  // the token, the privilege, its change, the request
};

inline Answers answers;
inline std::vector<std::string> calls;

template <typename Result>
Result Record(const char* call, Result result)
{
    calls.push_back(call);
    return result;
}

inline HANDLE StandInGetCurrentProcess() { return Record("GetCurrentProcess", HANDLE(-1)); }
inline BOOL StandInOpenProcessToken(HANDLE, DWORD, PHANDLE)
{
    return Record("Open", answers.opens);
}
inline BOOL StandInLookupPrivilegeValueA(LPCSTR, LPCSTR, PLUID)
{
    return Record("Lookup", answers.finds);
}
inline BOOL StandInAdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES,
                                         PDWORD)
{
    return Record("Adjust", answers.adjusts);
}
inline BOOL StandInCloseHandle(HANDLE) { return Record("Close", TRUE); }
inline BOOL StandInExitWindowsEx(UINT, DWORD) { return Record("Request", answers.accepts); }
inline int StandInMessageBoxA(HWND, LPCSTR, LPCSTR, UINT) { return Record("Box", IDOK); }

#define GetCurrentProcess StandInGetCurrentProcess
#define OpenProcessToken StandInOpenProcessToken
#define LookupPrivilegeValueA StandInLookupPrivilegeValueA
#define AdjustTokenPrivileges StandInAdjustTokenPrivileges
#define CloseHandle StandInCloseHandle
#define ExitWindowsEx StandInExitWindowsEx
#define MessageBoxA StandInMessageBoxA
