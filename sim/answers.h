#pragma once
// Answers the device has decided on and not yet written, each with the time
// it is due on the line. Internal to the simulator; used under its lock.

#include "unit.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

namespace vtrl::sim {

// How the answers of one command travel back to the PC.
struct AnswerStyle {
    Millis delay{0};    // the device's own time before answering
    Millis late{0};     // extra time on the way back, after the device acted
    int copies = 1;     // 2: the same frame is written again, as a retransmission
    bool lost = false;  // the device sends it, the PC never gets it
    bool busy = false;  // the device is busy with the command until its answers are out
};

struct Answer {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    int copies = 1;
    bool lost = false;
    Clock::time_point due{};
};

class AnswerQueue {
public:
    // On: answers are written in the order of their commands; within one
    // command by their own times. Off: each at its own time, so a quick
    // answer overtakes a slow one.
    void setInOrder(bool on);
    bool inOrder() const { return inOrder_; }

    // The answers pushed from here on belong to one command (or to one batch
    // of unasked frames) and travel in `style`.
    void beginCommand(const AnswerStyle& style);
    // Queues an answer `after` past the command's delay. Returns when the
    // device sends it, which is when what it reports takes effect, however
    // late it reaches the PC.
    Clock::time_point push(std::uint8_t type, std::vector<std::uint8_t> payload, Millis after = Millis{0});

    // When the next answer may be written; none when nothing waits.
    std::optional<Clock::time_point> next() const;
    // The next answer that may be written by `now`.
    std::optional<Answer> pop(Clock::time_point now);
    bool empty() const { return queue_.empty(); }
    // An answer of a command the device is busy with is still to be written.
    bool busy() const;
    std::size_t size() const { return queue_.size(); }
    void clear() { queue_.clear(); }

private:
    struct Entry {
        std::uint64_t command = 0;
        Clock::time_point at{};
        std::uint64_t n = 0;   // pushed before: written before, at equal times
        bool busy = false;
        Answer answer;
    };
    using Key = std::tuple<std::uint64_t, Clock::time_point, std::uint64_t>;
    Key keyOf(const Entry& e) const { return {inOrder_ ? e.command : 0, e.at, e.n}; }

    std::map<Key, Entry> queue_;
    bool inOrder_ = false;
    std::uint64_t command_ = 0;
    std::uint64_t pushed_ = 0;
    Clock::time_point start_{};
    AnswerStyle style_;
};

}  // namespace vtrl::sim
