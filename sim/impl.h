#pragma once
// The simulator's parts under its one lock. Internal: included by the files
// that define the Simulator's calls, one file per concern.

#include "answers.h"
#include "attached.h"
#include "faults.h"
#include "line.h"
#include "radio.h"
#include "simulator.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vtrl::sim {

struct Simulator::Impl final : Line::Client {
    // Every part below is used only with `m` held.
    mutable std::mutex m;
    mutable std::condition_variable cv;   // something the waits look at changed

    Faults faults;
    AnswerQueue answers;
    Device local{defaultLocalDevice()};
    Radio radio{local, answers, faults};
    AttachedDevice attached{local, radio, answers, faults};
    Line line;

    // inspection
    std::vector<ReceivedFrame> received;
    int aborts = 0;
    std::size_t answersWritten = 0;
    std::function<void(std::uint8_t type, Millis late)> answerWatch;

    std::uint8_t seqOut = 0;   // the device's own sequence counter
    std::string error;
    std::thread thread;
    bool stopping = false;
    bool started = false;

    // Line::Client
    void onFrame(Frame&& frame) override;
    void release(Clock::time_point now, std::vector<std::uint8_t>& out) override;
    std::optional<Clock::time_point> nextDue() const override;
};

}  // namespace vtrl::sim
