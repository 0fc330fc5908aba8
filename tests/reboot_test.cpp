// The routine's branches, which Wine cannot provoke, built here with each platform
// call replaced by a stand-in that evaluates the arguments, records the call and gives
// the answer the scenario chose. The arguments themselves are checked under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Answers {
    bool opens, finds, adjusts, accepts;  // the token, the privilege, its change, the request
} answers;
std::vector<std::string> calls;

template <typename Result, typename... Arguments>
Result Record(const char* call, Result result, const Arguments&...)
{
    calls.push_back(call);
    return result;
}

}  // namespace

#define OpenProcessToken(...) Record("Open", answers.opens, __VA_ARGS__)
#define LookupPrivilegeValueA(...) Record("Lookup", answers.finds, __VA_ARGS__)
#define AdjustTokenPrivileges(...) Record("Adjust", answers.adjusts, __VA_ARGS__)
#define CloseHandle(...) Record("Close", true, __VA_ARGS__)
#define ExitWindowsEx(...) Record("Request", answers.accepts, __VA_ARGS__)
#define MessageBoxA(...) Record("Box", IDOK, __VA_ARGS__)
#include "../src/reboot.cpp"

namespace {

struct Scenario {
    const char* name;
    Answers answers;
    std::vector<std::string> calls;
};

const Scenario kScenarios[] = {
    {"Refused", {true, true, true, false}, {"Open", "Lookup", "Adjust", "Close", "Request", "Box"}},
    {"TokenNotOpened", {false, true, true, true}, {"Open", "Lookup", "Request"}},
    {"PrivilegeNotFound", {true, false, true, true}, {"Open", "Lookup", "Close", "Request"}},
    {"NotAdjusted", {true, true, false, true}, {"Open", "Lookup", "Adjust", "Close", "Request"}},
    {"NothingObtainedRefused", {false, false, false, false}, {"Open", "Lookup", "Request", "Box"}},
};

TEST(RebootTest, MakesExactlyTheseCallsInEachScenario)
{
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        answers = scenario.answers;
        calls = {};
        Reboot();
        EXPECT_EQ(calls, scenario.calls);
    }
}

}  // namespace
