// The routine's branches, which Wine cannot provoke: the platform fails some steps,
// and the calls that follow are checked. Their arguments are checked under Wine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform_stand_ins.h"
#include "reboot.h"

namespace {

struct Answers {
    bool opens, finds, adjusts, accepts;  // the token, the privilege, its change, the request
};

Answers answers;
std::vector<std::string> calls;

template <typename Result>
Result Record(const char* call, Result result)
{
    calls.push_back(call);
    return result;
}

}  // namespace

HANDLE StandInGetCurrentProcess() { return Record("GetCurrentProcess", HANDLE(-1)); }
BOOL StandInOpenProcessToken(HANDLE, DWORD, PHANDLE) { return Record("Open", answers.opens); }
BOOL StandInLookupPrivilegeValueA(LPCSTR, LPCSTR, PLUID) { return Record("Lookup", answers.finds); }
BOOL StandInAdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD)
{
    return Record("Adjust", answers.adjusts);
}
BOOL StandInCloseHandle(HANDLE) { return Record("Close", TRUE); }
BOOL StandInExitWindowsEx(UINT, DWORD) { return Record("Request", answers.accepts); }
int StandInMessageBoxA(HWND, LPCSTR, LPCSTR, UINT) { return Record("Box", IDOK); }

namespace {

struct Scenario {
    const char* name;
    Answers answers;
    std::vector<std::string> calls;  // those after the first three, which every run makes
};

// opens, finds, adjusts, accepts
const Scenario kScenarios[] = {
    {"Accepted", {true, true, true, true}, {"Adjust", "Close", "Request"}},
    {"Refused", {true, true, true, false}, {"Adjust", "Close", "Request", "Box"}},
    {"TokenNotOpened", {false, true, true, true}, {"Request"}},
    {"TokenNotOpenedRefused", {false, true, true, false}, {"Request", "Box"}},
    {"PrivilegeNotFound", {true, false, true, true}, {"Close", "Request"}},
    {"PrivilegeNotFoundRefused", {true, false, true, false}, {"Close", "Request", "Box"}},
    {"AdjustmentFailed", {true, true, false, true}, {"Adjust", "Close", "Request"}},
    {"AdjustmentFailedRefused", {true, true, false, false}, {"Adjust", "Close", "Request", "Box"}},
    {"NothingObtainedRefused", {false, false, false, false}, {"Request", "Box"}},
};

TEST(RebootTest, MakesExactlyTheseCallsInEachScenario)
{
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        answers = scenario.answers;
        calls.clear();
        Reboot();
        std::vector<std::string> expected = {"GetCurrentProcess", "Open", "Lookup"};
        expected.insert(expected.end(), scenario.calls.begin(), scenario.calls.end());
        EXPECT_EQ(calls, expected);
    }
}

}  // namespace
