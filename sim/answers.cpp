#include "answers.h"
#include "impl.h"

#include <algorithm>

namespace vtrl::sim {

void AnswerQueue::setInOrder(bool on)
{
    if (on == inOrder_)
        return;
    inOrder_ = on;
    std::map<Key, Entry> rekeyed;
    for (auto& [key, entry] : queue_)
        rekeyed.emplace(keyOf(entry), std::move(entry));
    queue_.swap(rekeyed);
}

void AnswerQueue::beginCommand(const AnswerStyle& style)
{
    ++command_;
    start_ = Clock::now();
    style_ = style;
    style_.delay = std::max(style_.delay, Millis{0});
    style_.late = std::max(style_.late, Millis{0});
    style_.copies = std::max(style_.copies, 1);
}

Clock::time_point AnswerQueue::push(std::uint8_t type, std::vector<std::uint8_t> payload, Millis after)
{
    const Clock::time_point sent = start_ + style_.delay + after;
    Entry e{command_, sent + style_.late, ++pushed_, style_.busy,
            Answer{type, std::move(payload), style_.copies, style_.lost, sent + style_.late}};
    const Key key = keyOf(e);
    queue_.emplace(key, std::move(e));
    return sent;
}

bool AnswerQueue::busy() const
{
    return std::any_of(queue_.begin(), queue_.end(), [](const auto& kv) { return kv.second.busy; });
}

std::optional<Clock::time_point> AnswerQueue::next() const
{
    if (queue_.empty())
        return std::nullopt;
    return queue_.begin()->second.at;
}

std::optional<Answer> AnswerQueue::pop(Clock::time_point now)
{
    // In order, the head is the oldest command's next answer: until it is due
    // nothing behind it goes, however early.
    if (queue_.empty() || queue_.begin()->second.at > now)
        return std::nullopt;
    Answer a = std::move(queue_.begin()->second.answer);
    queue_.erase(queue_.begin());
    return a;
}

// ---- scripting ---------------------------------------------------------------

void Simulator::setAnswerWatch(std::function<void(std::uint8_t type, Millis late)> watch)
{
    std::lock_guard lock(d_->m);
    d_->answerWatch = std::move(watch);
}

void Simulator::setAnswerOrder(AnswerOrder order)
{
    std::lock_guard lock(d_->m);
    d_->answers.setInOrder(order == AnswerOrder::InOrder);
    d_->faults.refuseWhileBusy = order == AnswerOrder::Busy;
    d_->line.wakeUp();
}

AnswerOrder Simulator::answerOrder() const
{
    std::lock_guard lock(d_->m);
    if (d_->answers.inOrder())
        return AnswerOrder::InOrder;
    return d_->faults.refuseWhileBusy ? AnswerOrder::Busy : AnswerOrder::Overtaking;
}

void Simulator::setInOrder(bool inOrder)
{
    setAnswerOrder(inOrder ? AnswerOrder::InOrder : AnswerOrder::Overtaking);
}

void Simulator::sendUnasked(std::uint8_t type, std::vector<std::uint8_t> payload)
{
    std::lock_guard lock(d_->m);
    d_->answers.beginCommand(d_->faults.unaskedStyle());
    d_->answers.push(type, std::move(payload));
    d_->line.wakeUp();
}

void Simulator::sendUnaskedMany(std::uint8_t type, const std::vector<std::vector<std::uint8_t>>& payloads)
{
    std::lock_guard lock(d_->m);
    d_->answers.beginCommand(d_->faults.unaskedStyle());
    for (const auto& payload : payloads)
        d_->answers.push(type, payload);
    d_->line.wakeUp();
}

}  // namespace vtrl::sim
