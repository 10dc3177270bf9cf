// The Simulator's glue: a command from the line through the fault switches to
// the device, its answers back onto the line, and what tests wait for. The
// parts live in answers, faults, radio, attached and line (the loop, over a
// pty or a direct line).

#include "impl.h"

#include <algorithm>

namespace vtrl::sim {

void Simulator::Impl::onFrame(Frame&& f)
{
    ReceivedFrame r{f.type, f.seq, f.payload, f.crcOk};
    r.busy = answers.busy();
    const Verdict v = faults.judge(r);
    r.dropped = v.action == Verdict::Action::Drop;
    received.push_back(std::move(r));
    // Counted as it reaches the device, answered or not, unless the plan kept it from acting.
    if (f.crcOk && f.type == type::Abort && v.planned != CommandFault::Kind::Drop &&
        v.planned != CommandFault::Kind::Refuse)
        ++aborts;
    if (v.action == Verdict::Action::Drop || v.action == Verdict::Action::Ignore)
        return;
    answers.beginCommand(v.style);
    switch (v.action) {
    case Verdict::Action::Refuse:
        answers.push(type::NegativeResponse, {v.refusalByte0, v.reason});
        return;
    case Verdict::Action::ConfirmOnly:
        answers.push(type::Confirmation, {faults.confirmedName(f.type)});
        return;
    case Verdict::Action::Handle:
        attached.handle(f);
        return;
    case Verdict::Action::Drop:
    case Verdict::Action::Ignore:
        return;
    }
}

void Simulator::Impl::release(Clock::time_point now, std::vector<std::uint8_t>& out)
{
    // Links first: an answer due now may be about a link that came up now.
    radio.advance(now);
    while (auto a = answers.pop(now)) {
        auto frame = encodeFrame(a->type, seqOut++, a->payload);
        if (a->lost)
            continue;
        if (answerWatch)
            answerWatch(a->type, std::chrono::duration_cast<Millis>(now - a->due));
        faults.spoil(frame);
        for (int i = 0; i < a->copies; ++i) {
            out.insert(out.end(), faults.noise.begin(), faults.noise.end());
            out.insert(out.end(), frame.begin(), frame.end());
            ++answersWritten;
        }
    }
}

std::optional<Clock::time_point> Simulator::Impl::nextDue() const
{
    const auto answer = answers.next();
    const auto link = radio.nextEvent();
    if (answer && link)
        return std::min(*answer, *link);
    return answer ? answer : link;
}

Simulator::Simulator() : d_(std::make_unique<Impl>()) {}

Simulator::~Simulator() { stop(); }

// ---- inspection ------------------------------------------------------------------

std::vector<ReceivedFrame> Simulator::received() const
{
    std::lock_guard lock(d_->m);
    return d_->received;
}

std::size_t Simulator::receivedCount() const
{
    std::lock_guard lock(d_->m);
    return d_->received.size();
}

void Simulator::clearReceived()
{
    std::lock_guard lock(d_->m);
    d_->received.clear();
}

int Simulator::abortCount() const
{
    std::lock_guard lock(d_->m);
    return d_->aborts;
}

std::size_t Simulator::answersWritten() const
{
    std::lock_guard lock(d_->m);
    return d_->answersWritten;
}

std::size_t Simulator::answersPending() const
{
    std::lock_guard lock(d_->m);
    return d_->answers.size();
}

bool Simulator::waitForFrames(std::size_t count, Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->received.size() >= count; });
}

bool Simulator::waitForCommand(std::uint8_t commandType, std::size_t occurrences, Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(d_->received.begin(), d_->received.end(), [&](const ReceivedFrame& f) {
                   return f.crcOk && f.type == commandType;
               })) >= occurrences;
    });
}

bool Simulator::waitForAnswers(std::size_t written, Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->answersWritten >= written; });
}

bool Simulator::waitIdle(Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->answers.empty() && d_->line.written(); });
}

}  // namespace vtrl::sim
