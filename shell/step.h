#pragma once
// What a page waits for: one step, and at most the one send it waits for.
// Set when a command goes out; ended by its answer, its time-out, or leaving
// the page. Which send an answer belongs to is the ledger's to say.

#include "protocol/exchange.h"
#include "shell/reply.h"

namespace vtrl {

template <typename Step>
class Waiting {
public:
    Step step() const { return step_; }
    protocol::ExchangeId send() const { return send_; }
    bool Is(Step step) const { return step_ == step; }
    bool Idle() const { return step_ == Step::None; }
    // The reply answers the send waited for (in time or late).
    bool Answers(const Reply& reply) const { return reply.Answers(send_); }
    // The reply answers the send waited for, or may: it is ambiguous, or
    // names another command, with that send among its candidates.
    bool MayAnswer(const Reply& reply) const { return reply.MayAnswer(send_); }

    // `patience`: how long the page waits for the answer; the send stays a
    // candidate for answers of its kind for the answer window it sets.
    void Begin(Step step, protocol::ExchangeId send, protocol::ExchangeLedger* ledger = nullptr,
               std::chrono::milliseconds patience = std::chrono::milliseconds{0})
    {
        step_ = step;
        send_ = send;
        if (ledger && send != 0 && patience.count() > 0)
            ledger->Expect(send, patience);
    }
    // A send still unanswered stays in the ledger, as late: an answer that
    // may be its own is never taken for a newer send's alone.
    void End(protocol::ExchangeLedger* ledger)
    {
        if (ledger && send_ != 0)
            ledger->GiveUp(send_);
        step_ = Step::None;
        send_ = 0;
    }

private:
    Step step_ = Step::None;
    protocol::ExchangeId send_ = 0;
};

}  // namespace vtrl
