// The wait vtrlctl sleeps in while a device has the word, and the stops that
// end it: on POSIX a pipe, poll and signals, on Windows events and the
// console's control handler. The same cases run on both.
#include "ctl/stop.h"
#include "ctl/wake.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace vtrl::ctl;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Long enough that only a wake-up, never the time-out, ends a sleep in time.
constexpr auto kLong = 60s;
constexpr auto kWoken = 30s;

template <typename Act>
Clock::duration SleepWhile(Wake& wake, Clock::duration timeout, Act act)
{
    std::thread other(act);
    const auto from = Clock::now();
    wake.Sleep(timeout);
    const auto slept = Clock::now() - from;
    other.join();
    return slept;
}

TEST(StopTest, ConsoleEventsStopWithTheExitCodesOfTheirSignals)
{
    struct Row {
        unsigned long event;  // CTRL_..._EVENT
        int exitCode;         // 0: no stop
        const char* name;
    } rows[] = {
        {0, 130, "SIGINT"},  // Ctrl-C
        {1, 130, "SIGINT"},  // Ctrl-Break
        {2, 129, "SIGHUP"},  // the console window closed
        {5, 143, "SIGTERM"},  // logoff
        {6, 143, "SIGTERM"},  // shutdown
        {3, 0, nullptr},
        {4, 0, nullptr},
        {7, 0, nullptr},
    };
    for (const Row& r : rows) {
        const int signal = stop::FromConsoleEvent(r.event);
        SCOPED_TRACE(r.event);
        EXPECT_EQ(signal == 0 ? 0 : 128 + signal, r.exitCode);
        if (r.name) {
            EXPECT_STREQ(stop::Name(signal), r.name);
        }
    }
}

TEST(WaitTest, TheDriversWakeUpEndsASleepAtOnceAndIsConsumedByIt)
{
    Wake wake;
    ASSERT_TRUE(wake.Valid());
    // From another thread, as the driver's monitor gives it, while asleep.
    EXPECT_LT(SleepWhile(wake, kLong, [&] { std::this_thread::sleep_for(50ms); wake.Notify(); }), kWoken);
    // Given before the sleep, and several times: one sleep takes them all.
    wake.Notify();
    wake.Notify();
    EXPECT_LT(SleepWhile(wake, kLong, [] {}), kWoken);
    const auto from = Clock::now();
    wake.Sleep(100ms);
    EXPECT_GE(Clock::now() - from, 50ms) << "a wake-up given before the last sleep woke this one";
}

// Last: a stop is for good, and every sleep after it returns at once.
TEST(WaitTest, AStopEndsEverySleepAtOnceAndTheFirstStopCounts)
{
    ASSERT_TRUE(stop::Catch());
    stop::ResetForTesting();
    Wake wake;
    EXPECT_LT(SleepWhile(wake, kLong, [] { std::this_thread::sleep_for(50ms); stop::Request(stop::kInterrupt); }), kWoken);
    stop::Request(stop::kTerminate);
    EXPECT_EQ(stop::Requested(), stop::kInterrupt);
    Wake later;
    EXPECT_LT(SleepWhile(later, kLong, [] {}), kWoken);
    stop::ResetForTesting();
    EXPECT_EQ(stop::Requested(), 0);
    const auto from = Clock::now();
    later.Sleep(100ms);
    EXPECT_GE(Clock::now() - from, 50ms) << "a stop taken back still wakes";
}

}  // namespace
