// The routine's branches, which Wine cannot provoke: each scenario makes the
// platform fail a step, and the calls that follow are checked. The arguments
// of each call are checked end to end, under Wine.
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

const HANDLE kToken = reinterpret_cast<HANDLE>(0x58);
// Written where no token was opened: using it would show in the calls.
const HANDLE kNoToken = reinterpret_cast<HANDLE>(0xBAD);

std::string Name(HANDLE handle)
{
    return handle == kToken ? "token" : "a handle never obtained";
}

}  // namespace

HANDLE StandInGetCurrentProcess()
{
    calls.push_back("GetCurrentProcess");
    return reinterpret_cast<HANDLE>(-1);
}

BOOL StandInOpenProcessToken(HANDLE, DWORD, PHANDLE token)
{
    calls.push_back("OpenProcessToken");
    *token = answers.opens ? kToken : kNoToken;
    return answers.opens;
}

BOOL StandInLookupPrivilegeValueA(LPCSTR, LPCSTR, PLUID)
{
    calls.push_back("LookupPrivilegeValueA");
    return answers.finds;
}

BOOL StandInAdjustTokenPrivileges(HANDLE token, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES,
                                  PDWORD)
{
    calls.push_back("AdjustTokenPrivileges(" + Name(token) + ")");
    return answers.adjusts;
}

BOOL StandInCloseHandle(HANDLE handle)
{
    calls.push_back("CloseHandle(" + Name(handle) + ")");
    return TRUE;
}

BOOL StandInExitWindowsEx(UINT, DWORD)
{
    calls.push_back("ExitWindowsEx");
    return answers.accepts;
}

int StandInMessageBoxA(HWND, LPCSTR, LPCSTR, UINT)
{
    calls.push_back("MessageBoxA");
    return IDOK;
}

namespace {

struct Scenario {
    const char* name;
    Answers answers;
    std::vector<std::string> calls;
};

const std::vector<std::string> kStart = {"GetCurrentProcess", "OpenProcessToken",
                                         "LookupPrivilegeValueA"};
const std::string kAdjust = "AdjustTokenPrivileges(token)", kClose = "CloseHandle(token)",
                  kRequest = "ExitWindowsEx", kBox = "MessageBoxA";

std::vector<std::string> Then(std::vector<std::string> rest)
{
    rest.insert(rest.begin(), kStart.begin(), kStart.end());
    return rest;
}

// opens, finds, adjusts, accepts
const Scenario kScenarios[] = {
    {"Accepted", {true, true, true, true}, Then({kAdjust, kClose, kRequest})},
    {"Refused", {true, true, true, false}, Then({kAdjust, kClose, kRequest, kBox})},
    {"TokenNotOpened", {false, true, true, true}, Then({kRequest})},
    {"TokenNotOpenedRefused", {false, true, true, false}, Then({kRequest, kBox})},
    {"PrivilegeNotFound", {true, false, true, true}, Then({kClose, kRequest})},
    {"PrivilegeNotFoundRefused", {true, false, true, false}, Then({kClose, kRequest, kBox})},
    {"AdjustmentFailed", {true, true, false, true}, Then({kAdjust, kClose, kRequest})},
    {"AdjustmentFailedRefused", {true, true, false, false}, Then({kAdjust, kClose, kRequest, kBox})},
    {"NothingObtainedRefused", {false, false, false, false}, Then({kRequest, kBox})},
};

class RebootTest : public testing::TestWithParam<Scenario> {};

TEST_P(RebootTest, MakesExactlyTheseCalls)
{
    answers = GetParam().answers;
    calls.clear();
    Reboot();
    EXPECT_EQ(calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Platform, RebootTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
