// The routine's branches, which Wine cannot provoke: the platform fails some steps,
// and the calls that follow are checked. Their arguments are checked under Wine.
#include <gtest/gtest.h>

#include "platform_stand_ins.h"
#include "reboot.h"

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
