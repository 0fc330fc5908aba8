// The routine's branches, which Wine cannot provoke: the platform fails some steps,
// and the calls that follow are checked. Their arguments are checked under Wine.
#include <gtest/gtest.h>

#include "platform_stand_ins.h"
#include "reboot.h"

namespace {

struct Scenario {
    const char* name;
    Answers answers;                 // opens, finds, adjusts, accepts
    std::vector<std::string> calls;  // those after the first three, which every run makes
};

const Scenario kScenarios[] = {
    {"Refused", {true, true, true, false}, {"Adjust", "Close", "Request", "Box"}},
    {"TokenNotOpened", {false, true, true, true}, {"Request"}},
    {"PrivilegeNotFound", {true, false, true, true}, {"Close", "Request"}},
    {"AdjustmentFailed", {true, true, false, true}, {"Adjust", "Close", "Request"}},
    {"NothingObtainedRefused", {false, false, false, false}, {"Request", "Box"}},
};

TEST(RebootTest, MakesExactlyTheseCallsInEachScenario)
{
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        answers = scenario.answers;
        calls = {};
        Reboot();
        std::vector<std::string> expected = {"GetCurrentProcess", "Open", "Lookup"};
        expected.insert(expected.end(), scenario.calls.begin(), scenario.calls.end());
        EXPECT_EQ(calls, expected);
    }
}

}  // namespace
