#pragma once
// Between stop.cpp and each platform's handler.

#include <atomic>

namespace vtrl::ctl::stop {

static_assert(std::atomic<int>::is_always_lock_free, "a signal handler stores into it");

// Notes `signal` unless a stop was noted before; true when this one counts.
bool Note(int signal);
void Forget();

}  // namespace vtrl::ctl::stop
