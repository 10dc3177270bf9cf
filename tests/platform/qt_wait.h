#pragma once
// Waiting on a condition in gtest widget tests. QTRY_* report to QTest's own
// result and return from the function: inside a gtest test they fail nothing.

#include <QDeadlineTimer>
#include <QTest>

namespace vtrl::test {

// Processes events until `condition` holds or `ms` milliseconds passed;
// returns whether it holds. Use as ASSERT_TRUE(WaitUntil(...)).
template <class Condition>
bool WaitUntil(Condition condition, int ms = 5000)
{
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QTest::qWait(2);
    }
    return true;
}

}  // namespace vtrl::test
