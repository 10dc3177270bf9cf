#include "protocol/exchange.h"

#include "protocol/rules.h"

#include <algorithm>

namespace vtrl::protocol {
namespace {

// More would mean a sender that never gives up; the oldest go first.
constexpr std::size_t kMostOpen = 64;

bool AddressesUnit(CommandType command)
{
    switch (command) {
    case InitiateBonding:
    case SetPortConfig:
    case PingRequest:
    case GetConfig:
    case GetVersion:
        return true;
    default:
        return false;
    }
}

bool Answered(CommandType command)
{
    return command != Abort && Patience(command).count() > 0;
}

// The command byte a Confirmation names for each command it answers.
bool ConfirmedBy(CommandType command)
{
    return command == SetPortConfig || command == SetDeviceConfig || command == PingRequest || command == UpdateFlash;
}

bool TakesConnectionStatus(CommandType command)
{
    return command == InitiateBonding || command == PingRequest;
}

std::uint8_t Byte(const Notification& n, std::size_t at)
{
    return n.block && n.block->size() > at ? (*n.block)[at] : 0;
}

}  // namespace

ExchangeId ExchangeLedger::Sent(CommandType command, std::uint8_t sequence, std::span<const std::uint8_t> payload,
                                Owner owner, Clock::time_point now)
{
    if (!Answered(command))
        return 0;
    // Sends given up on whose grace is over are lost: the answer of this one
    // must not be taken for theirs. A newer bonding, ping or inquiry also
    // takes over the reports the older ones were still collecting.
    std::erase_if(open_, [&](const Entry& e) {
        const CommandType c = e.exchange.command;
        if (e.phase == Phase::First)
            return c == command && e.exchange.late && now - e.sentAt >= 2 * e.patience;
        return (TakesConnectionStatus(c) && TakesConnectionStatus(command)) || (c == InitiateInquiry && command == c);
    });
    if (open_.size() >= kMostOpen)
        open_.pop_front();

    Entry e;
    e.exchange.id = nextId_++;
    if (nextId_ == 0)
        nextId_ = 1;
    e.exchange.command = command;
    e.exchange.sequence = sequence;
    e.exchange.payload.assign(payload.begin(), payload.end());
    if (AddressesUnit(command) && payload.size() >= e.exchange.unit.size())
        std::copy_n(payload.begin(), e.exchange.unit.size(), e.exchange.unit.begin());
    e.exchange.owner = owner;
    e.sentAt = now;
    e.patience = Patience(command);
    open_.push_back(std::move(e));
    return open_.back().exchange.id;
}

ExchangeLedger::Iterator ExchangeLedger::Find(ExchangeId id)
{
    return std::find_if(open_.begin(), open_.end(), [id](const Entry& e) { return e.exchange.id == id; });
}

void ExchangeLedger::Expect(ExchangeId id, std::chrono::milliseconds patience)
{
    const auto it = Find(id);
    if (it != open_.end())
        it->patience = patience;
}

void ExchangeLedger::GiveUp(ExchangeId id, Clock::time_point now)
{
    const auto it = Find(id);
    if (it == open_.end() || it->exchange.late)
        return;
    it->exchange.late = true;
    it->lateSince = now;
}

bool ExchangeLedger::MaySend(CommandType command, Clock::time_point now) const
{
    // A configuration report carries the sequence of the request it answers.
    if (command == GetConfig || !Answered(command))
        return true;
    return std::none_of(open_.begin(), open_.end(), [&](const Entry& e) {
        return e.phase == Phase::First && e.exchange.command == command
            && (!e.exchange.late || now - e.sentAt < 2 * e.patience);
    });
}

bool ExchangeLedger::Open(ExchangeId id) const
{
    return std::any_of(open_.begin(), open_.end(), [id](const Entry& e) { return e.exchange.id == id; });
}

bool ExchangeLedger::Waiting(ExchangeId id) const
{
    return std::any_of(open_.begin(), open_.end(),
                       [id](const Entry& e) { return e.exchange.id == id && !e.exchange.late; });
}

bool ExchangeLedger::AnyOpen(Owner owner) const
{
    return std::any_of(open_.begin(), open_.end(), [owner](const Entry& e) { return e.exchange.owner == owner; });
}

void ExchangeLedger::Clear()
{
    open_.clear();
    lastFrame_ = Frame{};
}

bool ExchangeLedger::Repeats(const Notification& n)
{
    const bool hasBlock = n.block.has_value();
    if (lastFrame_.any && lastFrame_.message == n.message && lastFrame_.sequence == n.sequence
        && lastFrame_.hasBlock == hasBlock && (!hasBlock || lastFrame_.block == *n.block))
        return true;
    lastFrame_.any = true;
    lastFrame_.message = n.message;
    lastFrame_.sequence = n.sequence;
    lastFrame_.hasBlock = hasBlock;
    lastFrame_.block = hasBlock ? *n.block : std::vector<std::uint8_t>{};
    return false;
}

ExchangeLedger::Iterator ExchangeLedger::OldestFirst(bool (*takes)(const Entry&, const Notification&),
                                                     const Notification& n)
{
    // Waiting sends before late ones: a late send may never be answered,
    // while a refusal or a confused answer comes at once.
    auto it = std::find_if(open_.begin(), open_.end(),
                           [&](const Entry& e) { return e.phase == Phase::First && !e.exchange.late && takes(e, n); });
    if (it == open_.end())
        it = std::find_if(open_.begin(), open_.end(),
                          [&](const Entry& e) { return e.phase == Phase::First && takes(e, n); });
    return it;
}

void ExchangeLedger::DropLateBefore(ExchangeId id)
{
    std::erase_if(open_, [id](const Entry& e) { return e.exchange.id < id && e.exchange.late && e.phase == Phase::First; });
}

Tag ExchangeLedger::Credit(Iterator it, Verdict verdict, bool ends, bool positive)
{
    Tag tag;
    if (it == open_.end())
        return tag;
    tag.verdict = verdict;
    tag.exchange = it->exchange;
    tag.ends = ends;
    const bool first = it->phase == Phase::First;
    const ExchangeId id = it->exchange.id;
    if (ends)
        open_.erase(it);
    else
        it->phase = Phase::Continuing;
    // An in-order device answers nothing newer before an older command: a
    // send given up on that is older than this one was never answered.
    if (positive && first)
        DropLateBefore(id);
    return tag;
}

Tag ExchangeLedger::Match(const Notification& n, Clock::time_point)
{
    if (Repeats(n))
        return Tag{Verdict::Repeat, std::nullopt, false};

    const auto firstOf = [](CommandType c) {
        return [c](const Entry& e) { return e.exchange.command == c; };
    };
    switch (n.message) {
    case MsgNegativeResponse:
        // Its byte 0 is the device's own; only its order tells whose it is.
        return Credit(OldestFirst([](const Entry&, const Notification&) { return true; }, n), Verdict::Refusal,
                      true, false);
    case MsgConfirmation: {
        const auto named = [](const Entry& e, const Notification& c) {
            return ConfirmedBy(e.exchange.command) && e.exchange.command == Byte(c, 0);
        };
        // A ping's Confirmation is followed by the link's report, if any.
        const auto it = OldestFirst(named, n);
        if (it != open_.end())
            return Credit(it, Verdict::Answer, it->exchange.command != PingRequest, true);
        const auto waiting =
            OldestFirst([](const Entry& e, const Notification&) { return ConfirmedBy(e.exchange.command); }, n);
        if (waiting == open_.end())
            return Tag{};
        return Tag{Verdict::Misnamed, waiting->exchange, false};
    }
    case MsgLocalAddress:
        return Credit(OldestFirst([](const Entry& e, const Notification&) { return e.exchange.command == GetLocalAddress; }, n),
                      Verdict::Answer, true, true);
    case MsgVersionInfo:
        return Credit(OldestFirst([](const Entry& e, const Notification&) { return e.exchange.command == GetVersion; }, n),
                      Verdict::Answer, true, true);
    case MsgConfigReport: {
        const auto it = std::find_if(open_.begin(), open_.end(), [&](const Entry& e) {
            return e.phase == Phase::First && e.exchange.command == GetConfig && e.exchange.sequence == Byte(n, 0);
        });
        return Credit(it, Verdict::Answer, true, true);
    }
    case MsgBondResult:
        return Credit(OldestFirst([](const Entry& e, const Notification&) { return e.exchange.command == InitiateBonding; }, n),
                      Verdict::Answer, Byte(n, 0) != 0, true);
    case MsgInquiryResult:
    case MsgInquiryComplete: {
        const auto it = std::find_if(open_.rbegin(), open_.rend(), firstOf(InitiateInquiry));
        if (it == open_.rend())
            return Tag{};
        return Credit(std::prev(it.base()), Verdict::Answer, n.message == MsgInquiryComplete, true);
    }
    case MsgConnectionStatus: {
        // About the link the newest bonding or ping is bringing up.
        const auto it = std::find_if(open_.rbegin(), open_.rend(), [](const Entry& e) {
            return e.phase == Phase::Continuing && TakesConnectionStatus(e.exchange.command);
        });
        if (it == open_.rend())
            return Tag{};
        return Credit(std::prev(it.base()), Verdict::Answer, Byte(n, 0) == 2, false);
    }
    default:
        return Tag{};
    }
}

}  // namespace vtrl::protocol
