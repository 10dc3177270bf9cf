#include "protocol/exchange.h"

#include "protocol/payloads.h"
#include "protocol/rules.h"

#include <algorithm>

namespace vtrl::protocol {
namespace {

// A sender that never waits for its answers is not bounded by its windows;
// the oldest go first.
constexpr std::size_t kMostOpen = 256;

bool Answered(CommandType command)
{
    return command != Abort && Patience(command).count() > 0;
}

// The commands a Confirmation answers; it names the one it confirms.
bool ConfirmedBy(CommandType command)
{
    return command == SetPortConfig || command == SetDeviceConfig || command == PingRequest || command == UpdateFlash;
}

// Commands that ask the same each time they carry the same: a save saves
// what the device holds when it runs, a report tells what it holds then.
bool AsksTheSameEachTime(CommandType command)
{
    return command != UpdateFlash && command != GetConfig && command != InitiateInquiry;
}

bool TakesConnectionStatus(CommandType command)
{
    return command == InitiateBonding || command == PingRequest;
}

// The one byte the answers matched here carry first: the command a
// Confirmation names, the request a ConfigReport answers, a BondResult's
// result, a ConnectionStatus. None without a block.
std::optional<std::uint8_t> First(const Notification& n)
{
    return n.block ? FirstByte(*n.block) : std::nullopt;
}

}  // namespace

bool Tag::MayAnswer(ExchangeId id) const
{
    return Answers(id) || (id != 0 && std::any_of(candidates.begin(), candidates.end(),
                                                  [id](const Exchange& e) { return e.id == id; }));
}

ExchangeId ExchangeLedger::Sent(CommandType command, std::uint8_t sequence, std::span<const std::uint8_t> payload,
                                Owner owner, Clock::time_point now)
{
    const ExchangeId id = nextId_++;
    if (nextId_ == 0)
        nextId_ = 1;
    lastSent_[command] = id;
    if (!Answered(command))
        return 0;
    Expire(now);
    // A newer bonding, ping or inquiry takes over the reports the older ones
    // were still collecting: the device reports on the newest link or search.
    for (auto it = open_.begin(); it != open_.end();) {
        const CommandType c = it->exchange.command;
        const bool overtaken = it->phase == Phase::Continuing
            && ((TakesConnectionStatus(c) && TakesConnectionStatus(command)) || (c == InitiateInquiry && command == c));
        if (overtaken) {
            Drop(it);
            it = open_.begin();
        } else {
            ++it;
        }
    }
    if (open_.size() >= kMostOpen)
        Drop(open_.begin());

    Entry e;
    e.exchange.id = id;
    e.exchange.command = command;
    e.exchange.sequence = sequence;
    e.exchange.payload.assign(payload.begin(), payload.end());
    e.exchange.unit = UnitOf(command, payload);
    e.exchange.owner = owner;
    e.sentAt = now;
    e.patience = Patience(command);
    open_.push_back(std::move(e));
    return id;
}

ExchangeLedger::Iterator ExchangeLedger::Find(ExchangeId id)
{
    return std::find_if(open_.begin(), open_.end(), [id](const Entry& e) { return e.exchange.id == id; });
}

void ExchangeLedger::Drop(Iterator it)
{
    const std::uint32_t group = it->doubt;
    open_.erase(it);
    if (group == 0)
        return;
    auto d = doubts_.find(group);
    if (d == doubts_.end())
        return;
    // Whether the one gone had had its answer nobody knows: it is counted as
    // answered, so that none of the others is ever taken for answered.
    if (--d->second.members == 0) {
        doubts_.erase(d);
        return;
    }
    if (d->second.answers > 0)
        --d->second.answers;
}

void ExchangeLedger::Expire(Clock::time_point now)
{
    for (auto it = open_.begin(); it != open_.end();) {
        if (now - it->sentAt > AnswerWindowFor(it->patience)) {
            Drop(it);
            it = open_.begin();
        } else {
            ++it;
        }
    }
}

void ExchangeLedger::Expect(ExchangeId id, std::chrono::milliseconds patience)
{
    const auto it = Find(id);
    if (it != open_.end() && patience.count() > 0)
        it->patience = patience;
}

void ExchangeLedger::GiveUp(ExchangeId id, Clock::time_point)
{
    const auto it = Find(id);
    if (it != open_.end())
        it->exchange.late = true;
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

bool ExchangeLedger::InDoubt(ExchangeId id) const
{
    return std::any_of(open_.begin(), open_.end(), [id](const Entry& e) { return e.exchange.id == id && e.doubt != 0; });
}

bool ExchangeLedger::AnyOpen(Owner owner) const
{
    return std::any_of(open_.begin(), open_.end(), [owner](const Entry& e) { return e.exchange.owner == owner; });
}

void ExchangeLedger::NewLine()
{
    lastFrame_ = Frame{};
}

void ExchangeLedger::ForgetBefore(ExchangeId id)
{
    for (auto it = open_.begin(); it != open_.end();) {
        if (it->exchange.id < id) {
            Drop(it);
            it = open_.begin();
        } else {
            ++it;
        }
    }
}

void ExchangeLedger::Clear()
{
    open_.clear();
    doubts_.clear();
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

std::vector<ExchangeLedger::Iterator> ExchangeLedger::Candidates(Takes takes, const Notification& n)
{
    std::vector<Iterator> out;
    for (auto it = open_.begin(); it != open_.end(); ++it)
        if (takes(*it, n))
            out.push_back(it);
    return out;
}

Tag ExchangeLedger::Credit(Iterator it, Verdict verdict, bool ends)
{
    Tag tag;
    tag.verdict = verdict;
    tag.exchange = it->exchange;
    tag.ends = ends;
    if (ends)
        Drop(it);
    else
        it->phase = Phase::Continuing;
    return tag;
}

Tag ExchangeLedger::InDoubtOf(std::vector<Iterator> candidates)
{
    Tag tag;
    tag.verdict = Verdict::Ambiguous;
    // One group for all of them, whatever groups they were in: an answer
    // more, and members to share it.
    const std::uint32_t group = nextDoubt_++;
    if (nextDoubt_ == 0)
        nextDoubt_ = 1;
    Doubt merged;
    merged.answers = 1;
    for (Iterator it : candidates) {
        tag.candidates.push_back(it->exchange);
        if (it->doubt != 0) {
            if (auto d = doubts_.find(it->doubt); d != doubts_.end()) {
                merged.answers += d->second.answers;
                doubts_.erase(d);
            }
        }
    }
    // Members of the old groups that are not candidates of this answer join too.
    std::vector<std::uint32_t> old;
    for (Iterator it : candidates)
        if (it->doubt != 0)
            old.push_back(it->doubt);
    for (Entry& e : open_)
        if (e.doubt != 0 && std::find(old.begin(), old.end(), e.doubt) != old.end())
            e.doubt = group;
    for (Iterator it : candidates)
        it->doubt = group;
    for (const Entry& e : open_)
        if (e.doubt == group)
            ++merged.members;
    if (merged.answers >= merged.members) {
        // Every one of them has had its answer: none is awaited any more.
        std::erase_if(open_, [group](const Entry& e) { return e.doubt == group; });
        return tag;
    }
    doubts_[group] = merged;
    return tag;
}

Tag ExchangeLedger::Decide(std::vector<Iterator> candidates, Verdict verdict, bool ends)
{
    if (candidates.empty())
        return Tag{};
    if (candidates.size() == 1 && candidates.front()->doubt == 0)
        return Credit(candidates.front(), verdict, ends);
    // Sends that all asked the same of the same unit: whichever it answers,
    // it is the answer to that question, and the newest, the one its sender
    // waits for, takes it. Not a refusal: which of them was not carried out
    // matters to what the others did.
    const Exchange& first = candidates.front()->exchange;
    const bool interchangeable = verdict != Verdict::Refusal && AsksTheSameEachTime(first.command)
        && std::all_of(candidates.begin(), candidates.end(), [&](Iterator it) {
               return it->exchange.command == first.command && it->exchange.payload == first.payload;
           });
    if (interchangeable && candidates.size() > 1) {
        Tag tag = Credit(candidates.back(), verdict, ends);
        tag.interchangeable = true;
        return tag;
    }
    return InDoubtOf(std::move(candidates));
}

Tag ExchangeLedger::Match(const Notification& n, Clock::time_point now)
{
    if (Repeats(n))
        return Tag{Verdict::Repeat, std::nullopt, {}, false};
    Expire(now);

    const auto first = [](const Entry& e) { return e.phase == Phase::First; };
    switch (n.message) {
    case MsgNegativeResponse:
        // Its byte 0 is the device's own: any command may be the one refused.
        return Decide(Candidates([](const Entry& e, const Notification&) { return e.phase == Phase::First; }, n),
                      Verdict::Refusal, true);
    case MsgConfirmation: {
        auto named = Candidates(
            [](const Entry& e, const Notification& c) {
                return e.phase == Phase::First && ConfirmedBy(e.exchange.command) && e.exchange.command == First(c);
            },
            n);
        if (!named.empty()) {
            // A ping's Confirmation is followed by the link's report, if any.
            const bool ends = named.front()->exchange.command != PingRequest;
            return Decide(std::move(named), Verdict::Answer, ends);
        }
        Tag tag;
        for (const Entry& e : open_)
            if (first(e) && ConfirmedBy(e.exchange.command))
                tag.candidates.push_back(e.exchange);
        if (!tag.candidates.empty())
            tag.verdict = Verdict::Misnamed;
        return tag;
    }
    case MsgLocalAddress:
        return Decide(Candidates([](const Entry& e, const Notification&) {
                          return e.phase == Phase::First && e.exchange.command == GetLocalAddress;
                      }, n),
                      Verdict::Answer, true);
    case MsgVersionInfo:
        return Decide(Candidates([](const Entry& e, const Notification&) {
                          return e.phase == Phase::First && e.exchange.command == GetVersion;
                      }, n),
                      Verdict::Answer, true);
    case MsgConfigReport:
        return Decide(Candidates([](const Entry& e, const Notification& r) {
                          return e.phase == Phase::First && e.exchange.command == GetConfig
                              && r.block && ConfigReportPayload::SequenceOf(*r.block) == e.exchange.sequence;
                      }, n),
                      Verdict::Answer, true);
    case MsgBondResult:
        return Decide(Candidates([](const Entry& e, const Notification&) {
                          return e.phase == Phase::First && e.exchange.command == InitiateBonding;
                      }, n),
                      Verdict::Answer, First(n).value_or(0) != 0);
    case MsgInquiryResult:
    case MsgInquiryComplete: {
        // A newer inquiry took over the older ones' results when it went out.
        const auto it = std::find_if(open_.rbegin(), open_.rend(),
                                     [](const Entry& e) { return e.exchange.command == InitiateInquiry; });
        if (it == open_.rend())
            return Tag{};
        return Credit(std::prev(it.base()), Verdict::Answer, n.message == MsgInquiryComplete);
    }
    case MsgConnectionStatus:
        // About the link a bonding or ping is bringing up; a newer one took
        // over the older one's reports when it went out.
        return Decide(Candidates([](const Entry& e, const Notification&) {
                          return e.phase == Phase::Continuing && TakesConnectionStatus(e.exchange.command);
                      }, n),
                      Verdict::Answer, First(n) == kLinkUp);
    default:
        return Tag{};
    }
}

}  // namespace vtrl::protocol
