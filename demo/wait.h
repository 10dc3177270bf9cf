#pragma once
// The one wait of everything that drives Qt against a device: the
// walk-through, the tests, the model and the benches. Header-only, so that a
// test of the platform layer can use it without the wizard.

#include <QDeadlineTimer>
#include <QTest>

namespace vtrl::demo {

// Delivers events until `condition` holds or `ms` passed; whether it holds.
// Sleeps until an event comes or 2 ms pass: never spins.
template <class Condition>
bool WaitUntil(Condition&& condition, int ms = 5000)
{
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QTest::qWait(2);
    }
    return true;
}

}  // namespace vtrl::demo
