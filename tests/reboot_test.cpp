#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform_stand_ins.h"
#include "reboot.h"

namespace {

// How the platform answers in one scenario.
struct Answers {
    bool opens;    // OpenProcessToken
    bool finds;    // LookupPrivilegeValueA
    bool adjusts;  // AdjustTokenPrivileges
    bool accepts;  // ExitWindowsEx
};

Answers answers;
std::vector<std::string> calls;
const LUID* lookedUpInto = nullptr;

const HANDLE kSelf = reinterpret_cast<HANDLE>(-1);
const HANDLE kToken = reinterpret_cast<HANDLE>(0x58);
// Written where no token was opened: using it would show in the calls.
const HANDLE kNoToken = reinterpret_cast<HANDLE>(0xBAD);
constexpr DWORD kShutdownLuid = 19;

std::string Hex(unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", value);
    return text;
}

std::string Name(HANDLE handle)
{
    if (handle == kSelf) return "self";
    if (handle == kToken) return "token";
    return Hex(static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(handle)));
}

std::string Text(LPCSTR text)
{
    return text ? "\"" + std::string(text) + "\"" : "NULL";
}

}  // namespace

HANDLE StandInGetCurrentProcess()
{
    calls.push_back("GetCurrentProcess()");
    return kSelf;
}

BOOL StandInOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    calls.push_back("OpenProcessToken(" + Name(process) + ", " + Hex(access) + ")");
    *token = answers.opens ? kToken : kNoToken;
    return answers.opens;
}

BOOL StandInLookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid)
{
    calls.push_back("LookupPrivilegeValueA(" + Text(system) + ", " + Text(name) + ")");
    lookedUpInto = luid;
    if (answers.finds) *luid = LUID{kShutdownLuid, 0};
    return answers.finds;
}

BOOL StandInAdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  PDWORD returnLength)
{
    const LUID_AND_ATTRIBUTES& entry = newState->Privileges[0];
    const bool found = &entry.Luid == lookedUpInto && entry.Luid.LowPart == kShutdownLuid &&
                       entry.Luid.HighPart == 0;
    calls.push_back("AdjustTokenPrivileges(" + Name(token) + ", " + std::to_string(disableAll) +
                    ", {" + std::to_string(newState->PrivilegeCount) + ", " +
                    (found ? "looked-up LUID" : "other LUID") + ", " + Hex(entry.Attributes) +
                    "}, " + std::to_string(bufferLength) + ", " +
                    (previousState ? "state" : "NULL") + ", " + (returnLength ? "length" : "NULL") +
                    ")");
    return answers.adjusts;
}

BOOL StandInCloseHandle(HANDLE handle)
{
    calls.push_back("CloseHandle(" + Name(handle) + ")");
    return TRUE;
}

BOOL StandInExitWindowsEx(UINT flags, DWORD reason)
{
    calls.push_back("ExitWindowsEx(" + Hex(flags) + ", " + std::to_string(reason) + ")");
    return answers.accepts;
}

int StandInMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style)
{
    calls.push_back("MessageBoxA(" + std::string(owner ? "owner" : "NULL") + ", " + Text(text) +
                    ", " + Text(caption) + ", " + Hex(style) + ")");
    return IDOK;
}

namespace {

const std::string kCurrent = "GetCurrentProcess()";
const std::string kOpen = "OpenProcessToken(self, 0x000f00ff)";
const std::string kLookup = "LookupPrivilegeValueA(NULL, \"SeShutdownPrivilege\")";
const std::string kAdjust =
    "AdjustTokenPrivileges(token, 0, {1, looked-up LUID, 0x00000002}, 0, NULL, NULL)";
const std::string kClose = "CloseHandle(token)";
const std::string kRequest = "ExitWindowsEx(0x00000002, 0)";
const std::string kBox = "MessageBoxA(NULL, \"Reboot failed\", \"Error\", 0x00000000)";

struct Scenario {
    const char* name;
    Answers answers;
    std::vector<std::string> calls;
};

// opens, finds, adjusts, accepts
const Scenario kScenarios[] = {
    {"Accepted", {true, true, true, true},
     {kCurrent, kOpen, kLookup, kAdjust, kClose, kRequest}},
    {"Refused", {true, true, true, false},
     {kCurrent, kOpen, kLookup, kAdjust, kClose, kRequest, kBox}},
    {"TokenNotOpened", {false, true, true, true}, {kCurrent, kOpen, kLookup, kRequest}},
    {"TokenNotOpenedRefused", {false, true, true, false},
     {kCurrent, kOpen, kLookup, kRequest, kBox}},
    {"PrivilegeNotFound", {true, false, true, true},
     {kCurrent, kOpen, kLookup, kClose, kRequest}},
    {"PrivilegeNotFoundRefused", {true, false, true, false},
     {kCurrent, kOpen, kLookup, kClose, kRequest, kBox}},
    {"AdjustmentFailed", {true, true, false, true},
     {kCurrent, kOpen, kLookup, kAdjust, kClose, kRequest}},
    {"AdjustmentFailedRefused", {true, true, false, false},
     {kCurrent, kOpen, kLookup, kAdjust, kClose, kRequest, kBox}},
    {"NothingObtainedRefused", {false, false, false, false},
     {kCurrent, kOpen, kLookup, kRequest, kBox}},
};

class RebootTest : public testing::TestWithParam<Scenario> {};

TEST_P(RebootTest, MakesExactlyTheseCalls)
{
    answers = GetParam().answers;
    calls.clear();
    lookedUpInto = nullptr;

    Reboot();

    EXPECT_EQ(calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(Platform, RebootTest, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
