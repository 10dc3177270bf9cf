#include "faults.h"
#include "impl.h"

#include <algorithm>

namespace vtrl::sim {

namespace {

bool SaysSomething(const CommandFault& c)
{
    return c.kind != CommandFault::Kind::Normal || c.slowBy.count() > 0 || c.confirmAs.has_value();
}

CommandFault Say(CommandFault::Kind kind)
{
    CommandFault c;
    c.kind = kind;
    return c;
}

}  // namespace

void Faults::set(Order order, std::uint8_t commandType, FaultPlan plan, bool once)
{
    switches_[{order, commandType}] = Switch{std::move(plan), once};
}

void Faults::clear(Order order, std::uint8_t commandType)
{
    switches_.erase({order, commandType});
}

CommandFault Faults::ask(Order order, const ReceivedFrame& f)
{
    for (auto it = switches_.lower_bound({order, 0}); it != switches_.end() && it->first.first == order; ++it) {
        const CommandFault said = it->second.plan(f);
        if (!SaysSomething(said))
            continue;
        if (it->second.once)
            switches_.erase(it);
        return said;
    }
    return {};
}

Verdict Faults::judge(const ReceivedFrame& f)
{
    Verdict v;
    if (ask(Order::Silence, f).kind == CommandFault::Kind::Ignore) {
        v.action = Verdict::Action::Ignore;
        return v;
    }
    const CommandFault fault = f.crcOk && plan ? plan(f) : CommandFault{};
    v.planned = fault.kind;
    // Its Confirmation is written while the device acts on it, before the next command is judged.
    planRenaming_.reset();
    if (fault.confirmAs)
        planRenaming_ = std::make_pair(f.type, *fault.confirmAs);
    if (fault.kind == CommandFault::Kind::Drop) {
        v.action = Verdict::Action::Drop;
        return v;
    }
    v.style.delay = answerDelay;
    switch (fault.kind) {
    case CommandFault::Kind::Late:
    case CommandFault::Kind::Refuse:
        v.style.late = fault.lateBy;
        break;
    case CommandFault::Kind::Mute:
        v.style.lost = true;
        break;
    case CommandFault::Kind::Twice:
        v.style.copies = 2;
        break;
    default:
        break;
    }
    const auto act = [&](const CommandFault& c) {
        switch (c.kind) {
        case CommandFault::Kind::Refuse:
            v.action = Verdict::Action::Refuse;
            v.refusalByte0 = c.refusalByte0;
            v.reason = c.reason;
            break;
        case CommandFault::Kind::Ignore: v.action = Verdict::Action::Ignore; break;
        case CommandFault::Kind::ConfirmOnly: v.action = Verdict::Action::ConfirmOnly; break;
        default: break;
        }
        return v;
    };
    if (!f.crcOk) {
        if (!answerChecksumFailures)
            return act(Say(CommandFault::Kind::Ignore));
        CommandFault checksum = Say(CommandFault::Kind::Refuse);
        checksum.refusalByte0 = f.type;
        checksum.reason = reason::ChecksumFailure;
        return act(checksum);
    }
    if (refuseWhileBusy && f.busy && f.type != type::Abort) {
        v.style = AnswerStyle{answerDelay};
        CommandFault busy = Say(CommandFault::Kind::Refuse);
        busy.refusalByte0 = f.type;
        busy.reason = reason::DeviceBusy;
        return act(busy);
    }
    const CommandFault slow = ask(Order::Slowness, f);
    v.style.delay += fault.slowBy + slow.slowBy;
    // Until its answers are out a late command keeps the device busy.
    v.style.busy = v.style.late.count() > 0 || fault.slowBy.count() > 0 || slow.slowBy.count() > 0;
    if (fault.kind == CommandFault::Kind::Refuse || fault.kind == CommandFault::Kind::Ignore
        || fault.kind == CommandFault::Kind::ConfirmOnly)
        return act(fault);
    for (Order order : {Order::Silencing, Order::IgnoreSettings, Order::Refusal})
        if (const CommandFault said = ask(order, f); said.kind != CommandFault::Kind::Normal)
            return act(said);
    return v;
}

std::uint8_t Faults::confirmedName(std::uint8_t command)
{
    if (planRenaming_ && planRenaming_->first == command)
        return planRenaming_->second;
    ReceivedFrame confirmed;
    confirmed.type = command;
    confirmed.crcOk = true;
    return ask(Order::Renaming, confirmed).confirmAs.value_or(command);
}

bool Faults::takeWrongConfigSeq()
{
    if (wrongConfigSeq <= 0)
        return false;
    --wrongConfigSeq;
    return true;
}

void Faults::spoil(std::vector<std::uint8_t>& frame)
{
    if (truncate > 0) {
        --truncate;
        frame.resize(frame.size() - kCrcSize);
    } else if (badCrc > 0) {
        --badCrc;
        frame.back() ^= 0xA5;
    }
}

// ---- scripting: each switch a prebuilt plan ------------------------------------

namespace {

// A plan that says `said` of every command of `commandType`.
FaultPlan OnType(std::uint8_t commandType, CommandFault said)
{
    return [commandType, said](const ReceivedFrame& f) { return f.type == commandType ? said : CommandFault{}; };
}

}  // namespace

void Simulator::setAnswerDelay(Millis delay)
{
    std::lock_guard lock(d_->m);
    d_->faults.answerDelay = std::max(delay, Millis{0});
}

void Simulator::setAnswerDelayFor(std::uint8_t commandType, Millis extra)
{
    std::lock_guard lock(d_->m);
    CommandFault slow;
    slow.slowBy = extra;
    if (extra.count() > 0)
        d_->faults.set(Faults::Order::Slowness, commandType, OnType(commandType, slow));
    else
        d_->faults.clear(Faults::Order::Slowness, commandType);
}

void Simulator::setSilent(bool silent)
{
    std::lock_guard lock(d_->m);
    if (silent)
        d_->faults.set(Faults::Order::Silence, 0, [](const ReceivedFrame&) { return Say(CommandFault::Kind::Ignore); });
    else
        d_->faults.clear(Faults::Order::Silence, 0);
}

void Simulator::setSilentFor(std::uint8_t commandType, bool silent)
{
    std::lock_guard lock(d_->m);
    if (silent)
        d_->faults.set(Faults::Order::Silencing, commandType, OnType(commandType, Say(CommandFault::Kind::Ignore)));
    else
        d_->faults.clear(Faults::Order::Silencing, commandType);
}

void Simulator::refuse(std::uint8_t commandType, std::uint8_t reasonCode, bool once)
{
    std::lock_guard lock(d_->m);
    CommandFault refusal = Say(CommandFault::Kind::Refuse);
    refusal.refusalByte0 = commandType;
    refusal.reason = reasonCode;
    d_->faults.set(Faults::Order::Refusal, commandType, OnType(commandType, refusal), once);
}

void Simulator::accept(std::uint8_t commandType)
{
    std::lock_guard lock(d_->m);
    d_->faults.clear(Faults::Order::Refusal, commandType);
}

void Simulator::setIgnoreSettings(bool ignore)
{
    std::lock_guard lock(d_->m);
    if (!ignore) {
        d_->faults.clear(Faults::Order::IgnoreSettings, 0);
        return;
    }
    // Only a well-formed send is confirmed; a wrong length is refused as usual.
    d_->faults.set(Faults::Order::IgnoreSettings, 0, [](const ReceivedFrame& f) {
        const bool settings = (f.type == type::SetPortConfig && f.payload.size() == 14)
            || (f.type == type::SetDeviceConfig && f.payload.size() == 51);
        return settings ? Say(CommandFault::Kind::ConfirmOnly) : CommandFault{};
    });
}

void Simulator::confirmAs(std::uint8_t commandType, std::uint8_t namedType, bool once)
{
    std::lock_guard lock(d_->m);
    CommandFault renamed;
    renamed.confirmAs = namedType;
    d_->faults.set(Faults::Order::Renaming, commandType, OnType(commandType, renamed), once);
}

void Simulator::setBadCrc(int answers)
{
    std::lock_guard lock(d_->m);
    d_->faults.badCrc = std::max(answers, 0);
}

void Simulator::setTruncate(int answers)
{
    std::lock_guard lock(d_->m);
    d_->faults.truncate = std::max(answers, 0);
}

void Simulator::setWrongConfigSeq(int reports)
{
    std::lock_guard lock(d_->m);
    d_->faults.wrongConfigSeq = std::max(reports, 0);
}

void Simulator::setNoise(std::vector<std::uint8_t> bytes)
{
    std::lock_guard lock(d_->m);
    d_->faults.noise = std::move(bytes);
}

void Simulator::setAnswerChecksumFailures(bool answer)
{
    std::lock_guard lock(d_->m);
    d_->faults.answerChecksumFailures = answer;
}

void Simulator::setFaultPlan(FaultPlan plan)
{
    std::lock_guard lock(d_->m);
    d_->faults.plan = std::move(plan);
}

}  // namespace vtrl::sim
