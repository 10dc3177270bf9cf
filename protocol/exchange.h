#pragma once
// The exchange ledger: the one place that decides which send an answer
// belongs to. Every command written to the device is entered with what it
// carried and who sent it; every notification is matched against the entries
// and handed on with the sends it can answer.
//
// Only a ConfigReport names its request (by sequence). Any other answer can
// belong to every send of its kind that has not had its answer, waited for
// or given up on, whoever sent it: those are its candidates. With one, the
// answer is that send's; several that all asked the same are one question,
// which the newest takes. Otherwise nothing can know which, because
// devices differ: one answers in order however late, a busy one refuses a
// newer command at once while an older one is late, another lets quick
// answers overtake a slow one. The verdict then says so and lists them, and
// every one of them stays in doubt: a later answer that could be one of
// theirs is in doubt too, until the group has had an answer per member.
//
// A send stays a candidate until it is answered or its answer window is over:
// twelve times the time-out its sender waits (AnswerWindow in rules.h). A
// device answers within that or not at all.
//
// Plain C++; the clock is passed in so that tests can play with time.

#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/types.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
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
    Answer,     // answers the one send it can answer (in time, or late)
    Refusal,    // a NegativeResponse with one candidate: that send is over, not carried out
    Ambiguous,  // could answer more than one send: `candidates` lists them, none is credited
    Misnamed,   // a Confirmation naming a command nobody waits for, while sends wait
                // for one (`candidates`): the device's confusion, or the answer of one
                // of them; they wait on
    Unasked,    // no send can be answered by it
    Repeat,     // the frame before it again, byte for byte: a retransmission
};

struct Tag {
    Verdict verdict = Verdict::Unasked;
    std::optional<Exchange> exchange;  // Answer and Refusal: the send answered
    std::vector<Exchange> candidates;  // Ambiguous and Misnamed: every send it may answer
    bool ends = false;                 // the credited send expects nothing more

    ExchangeId Id() const { return exchange ? exchange->id : 0; }
    // Credited to that send.
    bool Answers(ExchangeId id) const { return id != 0 && Id() == id; }
    // Credited to it, or it is one of the candidates.
    bool MayAnswer(ExchangeId id) const;
    // Credited to the newest of several sends that all asked the same of the
    // same unit (the same command and payload, of a command whose answer does
    // not depend on when it runs: not a save or a configuration report):
    // whichever it answers, it is the answer to that question.
    bool interchangeable = false;
};

class ExchangeLedger {
public:
    // Enters a command that was written. `unit` is read from the payload
    // where the command addresses one. Returns the new send's id; 0 for a
    // command that is not answered (it is still counted by LastSent).
    ExchangeId Sent(CommandType command, std::uint8_t sequence, std::span<const std::uint8_t> payload, Owner owner,
                    Clock::time_point now = Clock::now());

    Tag Match(const Notification& notification, Clock::time_point now = Clock::now());

    // How long the sender waits for this send's answer, when not the device's
    // own patience for the command: the send stays a candidate for answers of
    // its kind for kAnswerWindowFactor times that after it was sent.
    void Expect(ExchangeId id, std::chrono::milliseconds patience);

    // The sender stopped waiting: its time-out, or it went away. The send
    // stays a candidate; answers to it are still credited to it.
    void GiveUp(ExchangeId id, Clock::time_point now = Clock::now());

    // Still expecting an answer (waiting or late), and in doubt: an answer
    // that may have been its own was ambiguous.
    bool Open(ExchangeId id) const;
    bool Waiting(ExchangeId id) const;  // open and not given up on
    bool InDoubt(ExchangeId id) const;
    bool AnyOpen(Owner owner) const;

    // The id of the newest send of `command`, answered or not; 0 if none.
    ExchangeId LastSent(CommandType command) const { return lastSent_[command]; }
    // The id the next send will get: sends before it are older.
    ExchangeId NextId() const { return nextId_; }

    // A new line to the device (another port opened): a frame is no
    // retransmission of one that came on the old line.
    void NewLine();
    // Sends before `id` can no longer be answered (another device answers
    // on this line now).
    void ForgetBefore(ExchangeId id);
    // Nothing sent can be answered any more.
    void Clear();

    std::size_t Size() const { return open_.size(); }

private:
    enum class Phase : std::uint8_t { First, Continuing };
    struct Entry {
        Exchange exchange;
        Phase phase = Phase::First;
        Clock::time_point sentAt;
        std::chrono::milliseconds patience{0};
        std::uint32_t doubt = 0;  // its group of sends in doubt; 0: none
    };
    // Sends one or more ambiguous answers may have been for, and how many
    // answers the group has had.
    struct Doubt {
        std::size_t members = 0;
        std::size_t answers = 0;
    };
    using Iterator = std::deque<Entry>::iterator;
    using Takes = bool (*)(const Entry&, const Notification&);

    Iterator Find(ExchangeId id);
    void Expire(Clock::time_point now);
    void Drop(Iterator it);
    std::vector<Iterator> Candidates(Takes takes, const Notification& n);
    // One candidate not in doubt: credited to it. Else the answer is
    // ambiguous and the candidates share one doubt.
    Tag Decide(std::vector<Iterator> candidates, Verdict verdict, bool ends);
    Tag Credit(Iterator it, Verdict verdict, bool ends);
    Tag InDoubtOf(std::vector<Iterator> candidates);
    bool Repeats(const Notification& n);

    std::deque<Entry> open_;  // oldest first
    std::map<std::uint32_t, Doubt> doubts_;
    std::uint32_t nextDoubt_ = 1;
    ExchangeId nextId_ = 1;
    std::array<ExchangeId, 256> lastSent_{};
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
