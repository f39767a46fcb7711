// The running time the stuck-request watchdog measures: the time korvaxsim was
// stopped (Ctrl-Z, SIGSTOP) or the machine suspended does not count, and neither
// does time the caller says not to count (the modem holding a write back).
#include <tools/port.h>

#include <gtest/gtest.h>

namespace tools_test {
namespace {

using namespace std::chrono_literals;

TEST(RunningTime, CountsEachStepUpToOneSliceAndOnlyWhenAsked) {
    auto now = std::chrono::steady_clock::time_point{};
    korvaxsim::RunningTime running(100ms, [&] { return now; });
    const struct {
        std::chrono::milliseconds step;
        bool counts;
        std::chrono::milliseconds total;
    } table[] = {
        {100ms, true, 100ms},  // an ordinary slice
        {40ms, true, 140ms},   // a short one
        {60s, true, 240ms},    // stopped for a minute: one slice
        {100ms, false, 240ms}, // not to be counted
        {130ms, true, 340ms},  // late by a scheduler's delay: one slice
    };
    for (const auto& row : table) {
        now += row.step;
        running.Step(row.counts);
        EXPECT_EQ(running.Counted(), row.total) << row.step.count() << " ms";
    }
}

} // namespace
} // namespace tools_test
