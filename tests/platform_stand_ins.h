// Forced into the routine in the unit tests' build alone: each platform call it
// makes has its arguments evaluated, is recorded, and gets the answer the test chose.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct Answers {
    bool opens, finds, adjusts, accepts;  // the token, the privilege, its change, the request
};
inline Answers answers;
inline std::vector<std::string> calls;

template <typename Result, typename... Arguments>
Result Record(const char* call, Result result, const Arguments&...)
{
    calls.push_back(call);
    return result;
}

#define GetCurrentProcess() Record("GetCurrentProcess", HANDLE(-1))
#define OpenProcessToken(...) Record("Open", answers.opens, __VA_ARGS__)
#define LookupPrivilegeValueA(...) Record("Lookup", answers.finds, __VA_ARGS__)
#define AdjustTokenPrivileges(...) Record("Adjust", answers.adjusts, __VA_ARGS__)
#define CloseHandle(...) Record("Close", true, __VA_ARGS__)
#define ExitWindowsEx(...) Record("Request", answers.accepts, __VA_ARGS__)
#define MessageBoxA(...) Record("Box", IDOK, __VA_ARGS__)
