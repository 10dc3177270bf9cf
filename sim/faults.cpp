#include "faults.h"
#include "impl.h"

#include <algorithm>

namespace vtrl::sim {

Verdict Faults::judge(const ReceivedFrame& f)
{
    Verdict v;
    const CommandFault fault = f.crcOk && !silent && plan ? plan(f) : CommandFault{};
    v.planned = fault.kind;
    if (fault.kind == CommandFault::Kind::Drop) {
        v.action = Verdict::Action::Drop;
        return v;
    }
    if (silent) {
        v.action = Verdict::Action::Ignore;
        return v;
    }
    const auto extra = typeDelays.find(f.type);
    v.style.delay = answerDelay + (extra == typeDelays.end() ? Millis{0} : extra->second);
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
    const auto refuse = [&](std::uint8_t byte0, std::uint8_t why) {
        v.action = Verdict::Action::Refuse;
        v.refusalByte0 = byte0;
        v.reason = why;
        return v;
    };
    if (!f.crcOk) {
        if (answerChecksumFailures)
            return refuse(f.type, reason::ChecksumFailure);
        v.action = Verdict::Action::Ignore;
        return v;
    }
    if (refuseWhileBusy && f.busy && f.type != type::Abort) {
        v.style = AnswerStyle{answerDelay};
        return refuse(f.type, reason::DeviceBusy);
    }
    // Until its answers are out a late command keeps the device busy.
    v.style.busy = v.style.late.count() > 0 || extra != typeDelays.end();
    if (fault.kind == CommandFault::Kind::Refuse)
        return refuse(fault.refusalByte0, fault.reason);
    if (silentTypes.count(f.type)) {
        v.action = Verdict::Action::Ignore;
        return v;
    }
    if (ignoreSettings && ((f.type == type::SetPortConfig && f.payload.size() == 14) ||
                           (f.type == type::SetDeviceConfig && f.payload.size() == 51))) {
        v.action = Verdict::Action::ConfirmOnly;
        return v;
    }
    if (auto it = refusals.find(f.type); it != refusals.end()) {
        const std::uint8_t why = it->second.reason;
        if (it->second.once)
            refusals.erase(it);
        return refuse(f.type, why);
    }
    return v;
}

std::uint8_t Faults::confirmedName(std::uint8_t command)
{
    const auto it = confirmRenames.find(command);
    if (it == confirmRenames.end())
        return command;
    const std::uint8_t named = it->second.named;
    if (it->second.once)
        confirmRenames.erase(it);
    return named;
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

// ---- scripting ---------------------------------------------------------------

void Simulator::setAnswerDelay(Millis delay)
{
    std::lock_guard lock(d_->m);
    d_->faults.answerDelay = std::max(delay, Millis{0});
}

void Simulator::setAnswerDelayFor(std::uint8_t commandType, Millis extra)
{
    std::lock_guard lock(d_->m);
    if (extra.count() > 0)
        d_->faults.typeDelays[commandType] = extra;
    else
        d_->faults.typeDelays.erase(commandType);
}

void Simulator::setSilent(bool silent)
{
    std::lock_guard lock(d_->m);
    d_->faults.silent = silent;
}

void Simulator::setSilentFor(std::uint8_t commandType, bool silent)
{
    std::lock_guard lock(d_->m);
    if (silent)
        d_->faults.silentTypes.insert(commandType);
    else
        d_->faults.silentTypes.erase(commandType);
}

void Simulator::refuse(std::uint8_t commandType, std::uint8_t reasonCode, bool once)
{
    std::lock_guard lock(d_->m);
    d_->faults.refusals[commandType] = Faults::Refusal{reasonCode, once};
}

void Simulator::accept(std::uint8_t commandType)
{
    std::lock_guard lock(d_->m);
    d_->faults.refusals.erase(commandType);
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

void Simulator::setIgnoreSettings(bool ignore)
{
    std::lock_guard lock(d_->m);
    d_->faults.ignoreSettings = ignore;
}

void Simulator::setFaultPlan(FaultPlan plan)
{
    std::lock_guard lock(d_->m);
    d_->faults.plan = std::move(plan);
}

void Simulator::confirmAs(std::uint8_t commandType, std::uint8_t namedType, bool once)
{
    std::lock_guard lock(d_->m);
    d_->faults.confirmRenames[commandType] = Faults::Renaming{namedType, once};
}

}  // namespace vtrl::sim
