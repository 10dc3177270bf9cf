#pragma once
// How long this process stood still. A loaded machine can stop the whole of
// it, the wizard, the device and the operator alike, for longer than the
// device's late answers have to spare: a late answer then comes after the
// wizard's grace, which no device may do. A thread that sleeps two
// milliseconds at a time notes each time it woke much later than asked.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace vtrl::model {

class StallWatch {
public:
    using Clock = std::chrono::steady_clock;
    using Millis = std::chrono::milliseconds;

    StallWatch() : thread_([this] { Watch(); }) {}
    ~StallWatch()
    {
        stop_ = true;
        thread_.join();
    }
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // The longest stall that ended after `since`.
    Millis LongestSince(Clock::time_point since) const
    {
        std::lock_guard lock(m_);
        Millis longest{0};
        for (const auto& [ended, length] : stalls_)
            if (ended >= since)
                longest = std::max(longest, length);
        return longest;
    }
    Millis Longest() const
    {
        std::lock_guard lock(m_);
        return longest_;
    }

private:
    void Watch()
    {
        constexpr Millis kTick{2}, kNoted{5};
        while (!stop_) {
            const auto before = Clock::now();
            std::this_thread::sleep_for(kTick);
            const auto after = Clock::now();
            const auto over = std::chrono::duration_cast<Millis>(after - before) - kTick;
            if (over < kNoted)
                continue;
            std::lock_guard lock(m_);
            stalls_.emplace_back(after, over);
            longest_ = std::max(longest_, over);
            while (stalls_.front().first < after - std::chrono::minutes(1))
                stalls_.pop_front();
        }
    }

    mutable std::mutex m_;
    std::deque<std::pair<Clock::time_point, Millis>> stalls_;  // the last minute's
    Millis longest_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vtrl::model
