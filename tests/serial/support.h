#pragma once
// Shared helpers of the driver tests: an event recorder used as the callback's
// context, and a fixture that leaves the driver as a fresh process has it.

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "backend.h"
#include "serial.h"

namespace vtrl::serial::test {

struct Recorded {
    std::uint8_t kind;
    std::int32_t handle;
    std::uint32_t detail;
    bool operator==(const Recorded&) const = default;
};

// A table row's words as a test name.
inline std::string RowName(const char* words) {
    std::string name(words);
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

inline void PrintTo(const Recorded& r, std::ostream* os) {
    *os << "{kind " << int(r.kind) << ", handle " << r.handle << ", detail " << r.detail << "}";
}

class Recorder {
public:
    // Runs on the monitor thread after the event is recorded; set before open.
    std::function<void(std::int32_t handle, const SerialEvent& event)> onEvent;

    static int Callback(std::int32_t handle, const SerialEvent* event, void* context) {
        auto* self = static_cast<Recorder*>(context);
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->events_.push_back({event->kind, event->handle, event->detail});
        }
        self->cv_.notify_all();
        if (self->onEvent) self->onEvent(handle, *event);
        return 0;
    }

    std::vector<Recorded> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    bool WaitForCount(std::size_t count, int ms = 10000) {
        return WaitUntil([&](const std::vector<Recorded>& e) { return e.size() >= count; }, ms);
    }
    bool WaitUntil(const std::function<bool(const std::vector<Recorded>&)>& done, int ms = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(events_); });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Recorded> events_;
};

// Closes what a test opened, waits for the monitor threads, and restarts the
// handle numbering.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { SetNextHandleForTesting(0); }
    void TearDown() override {
        for (std::int32_t h : opened_) SerialClose(h);
        EXPECT_TRUE(WaitForMonitorThreadCount(0, 10000));
        SetBackendForTesting(nullptr);
    }
    std::int32_t Open(std::uint32_t port, Recorder& recorder, std::uint8_t handshake = 0) {
        const std::int32_t h = SerialOpen(port, 115200, handshake, &Recorder::Callback, &recorder);
        if (h > 0) opened_.push_back(h);
        return h;
    }
    std::vector<std::int32_t> opened_;
};

}  // namespace vtrl::serial::test
