#pragma once
// Nested message pumps, for the places that wait while the user-interface
// thread keeps delivering events.

#include <functional>

namespace vtrl::platform {

// Delivers events for `ms` milliseconds measured with a steady clock,
// sleeping while none come.
void PumpMessagesFor(int ms);

// Waits for and delivers events as long as `condition` holds.
void PumpMessagesWhile(const std::function<bool()>& condition);

}  // namespace vtrl::platform
