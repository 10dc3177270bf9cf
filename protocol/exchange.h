#pragma once
// The exchange ledger: the one place that decides which send an answer
// belongs to. Every command written to the device is entered with what it
// carried and who sent it; every notification is matched against the entries
// and handed on tagged with the send it answers, or as unasked.
//
// The device answers in order, so the oldest send still waiting for an
// answer of the matching kind takes it. A NegativeResponse ends the oldest
// send still waiting for its first answer (a busy device refuses a newer
// command while an older one is late, so a send given up on is passed over
// while another waits). A send given up on stays, as late, until it is
// answered, until something sent after it gets a positive answer (an in-order
// device never answers a newer command first), or until a send that takes
// the same answers goes out after its grace: then it counts as lost. The
// grace ends twice its patience after it was sent, whenever its sender gave
// up: a device answers within that or not at all.
//
// Plain C++; the clock is passed in so that tests can play with time.

#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/types.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

namespace vtrl::protocol {

using Clock = std::chrono::steady_clock;

// One command as it went out.
struct Exchange {
    ExchangeId id = 0;
    CommandType command{};
    std::uint8_t sequence = 0;
    DeviceAddress unit{};  // the unit it addressed; zero: the attached device
    std::vector<std::uint8_t> payload;  // the values it carried
    Owner owner = 0;
    bool late = false;  // its sender had given up waiting when the answer came
};

enum class Verdict : std::uint8_t {
    Answer,    // answers the send (in time, or late)
    Refusal,   // a NegativeResponse: the send is over, not carried out
    Misnamed,  // a Confirmation naming a command nobody waits for, while a send
               // waits for one: told to that send, which waits on (it may be
               // the answer of a send long given up, or the device's confusion)
    Unasked,   // no send waits for it
    Repeat,    // the frame before it again, byte for byte: a retransmission
};

struct Tag {
    Verdict verdict = Verdict::Unasked;
    std::optional<Exchange> exchange;  // the send answered; none when unasked or a repeat
    bool ends = false;                 // the send expects nothing more

    ExchangeId Id() const { return exchange ? exchange->id : 0; }
    bool Answers(ExchangeId id) const { return id != 0 && Id() == id; }
};

class ExchangeLedger {
public:
    // Enters a command that was written. `unit` is read from the payload
    // where the command addresses one. Returns the new send's id.
    ExchangeId Sent(CommandType command, std::uint8_t sequence, std::span<const std::uint8_t> payload, Owner owner,
                    Clock::time_point now = Clock::now());

    Tag Match(const Notification& notification, Clock::time_point now = Clock::now());

    // How long the sender waits for this send's answer, when not the device's
    // own patience for the command: a send given up on keeps its claim on
    // answers of its kind until twice that after it was sent.
    void Expect(ExchangeId id, std::chrono::milliseconds patience);

    // The sender stopped waiting: its time-out, or it went away. The send
    // stays as late; answers to it are still credited to it.
    void GiveUp(ExchangeId id, Clock::time_point now = Clock::now());

    // Whether a command may go out now without its answer being mistaken
    // for that of an earlier send: no send that takes the same first answer
    // is waiting, or late within its grace.
    bool MaySend(CommandType command, Clock::time_point now = Clock::now()) const;

    // Still expecting an answer (waiting or late).
    bool Open(ExchangeId id) const;
    bool Waiting(ExchangeId id) const;  // open and not given up on
    bool AnyOpen(Owner owner) const;

    // The port went away: nothing sent can be answered any more.
    void Clear();

    std::size_t Size() const { return open_.size(); }

private:
    enum class Phase : std::uint8_t { First, Continuing };
    struct Entry {
        Exchange exchange;
        Phase phase = Phase::First;
        Clock::time_point sentAt;
        Clock::time_point lateSince;
        std::chrono::milliseconds patience{0};
    };
    using Iterator = std::deque<Entry>::iterator;

    Iterator Find(ExchangeId id);
    Iterator OldestFirst(bool (*takes)(const Entry&, const Notification&), const Notification& n);
    Tag Credit(Iterator it, Verdict verdict, bool ends, bool positive);
    void DropLateBefore(ExchangeId id);
    bool Repeats(const Notification& n);

    std::deque<Entry> open_;  // oldest first
    ExchangeId nextId_ = 1;
    // The last frame matched, to tell a retransmission.
    struct Frame {
        bool any = false;
        std::uint32_t message = 0;
        std::uint8_t sequence = 0;
        bool hasBlock = false;
        std::vector<std::uint8_t> block;
    };
    Frame lastFrame_;
};

}  // namespace vtrl::protocol
