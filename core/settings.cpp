#include "core/settings.h"

namespace vtrl::core {

int PortSettingsKind::Send(protocol::CommandSender& send, const DeviceAddress& address, const Values& values)
{
    return send.SendSetRemotePortConfig(address, values);
}

std::optional<PortSettingsKind::Values> PortSettingsKind::Carried(const protocol::Exchange& sent)
{
    const auto command = protocol::PortConfigCommand::Decode(sent.payload);
    if (!command)
        return std::nullopt;
    return command->settings;
}

int DeviceSettingsKind::Send(protocol::CommandSender& send, const DeviceAddress&, const Values& values)
{
    return send.SendSetDeviceConfig(values);
}

std::optional<DeviceSettingsKind::Values> DeviceSettingsKind::Carried(const protocol::Exchange& sent)
{
    return protocol::DeviceSettings::Decode(sent.payload);
}

template <typename Kind>
void Settings<Kind>::Begin(Step step, protocol::ExchangeId send, protocol::ExchangeLedger* ledger, Millis patience)
{
    step_ = step;
    send_ = send;
    if (ledger && send != 0 && patience.count() > 0)
        ledger->Expect(send, patience);
}

template <typename Kind>
void Settings<Kind>::End(protocol::ExchangeLedger* ledger)
{
    // A send still unanswered stays in the ledger, given up on: an answer
    // that may be its own is never taken for a newer send's alone.
    if (ledger && send_ != 0)
        ledger->GiveUp(send_);
    step_ = Step::None;
    send_ = 0;
}

template <typename Kind>
int Settings<Kind>::SendValues(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                               const DeviceAddress& address, const Values& values, Millis patience)
{
    if (Kind::Send(send, address, values) != 0)
        return -1;
    End(ledger);
    unit_ = unit;
    if (address == DeviceAddress{})
        attached_ = unit;
    sent_ = Known{unit, values};
    Begin(Step::Send, send.LastExchange(), ledger, patience);
    return 0;
}

template <typename Kind>
int Settings<Kind>::ReadBack(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                             const DeviceAddress& address, Millis patience)
{
    if (send.SendGetConfig(address) < 0)
        return -1;
    End(ledger);
    unit_ = unit;
    if (address == DeviceAddress{})
        attached_ = unit;
    settle_ = false;
    Begin(Step::ReadBack, send.LastExchange(), ledger, patience);
    return 0;
}

template <typename Kind>
typename Settings<Kind>::Outcome Settings<Kind>::Confirmation(const protocol::Notification& n, const protocol::Tag& tag)
{
    if (tag.verdict == protocol::Verdict::Ambiguous) {
        held_.reset();
        settle_ = true;
        // The answer may be the one waited for: the wait is over either way,
        // and only a read-back tells.
        if (step_ == Step::Send && tag.MayAnswer(send_))
            End(nullptr);
        return Outcome::InDoubt;
    }
    if (!tag.exchange) {
        // Unasked, or naming another command: a command of this kind carried
        // out that no send explains leaves what the device holds unknown.
        const bool ofThisKind = n.block && protocol::FirstByte(*n.block) == Kind::kCommand;
        if (!ofThisKind || !held_)
            return Outcome::Ignored;
        held_.reset();
        return Outcome::Forgotten;
    }
    if (tag.exchange->command != Kind::kCommand)
        return Outcome::Ignored;
    const auto carried = Kind::Carried(*tag.exchange);
    if (!carried)
        return Outcome::Ignored;
    if (step_ == Step::Send && tag.Answers(send_))
        End(nullptr);
    // The device holds what that send carried, whatever the owner shows now.
    const DeviceAddress unit = tag.exchange->unit == DeviceAddress{} ? attached_ : tag.exchange->unit;
    held_ = Known{unit, *carried};
    return Outcome::Proved;
}

template <typename Kind>
typename Settings<Kind>::Outcome Settings<Kind>::Report(const protocol::Notification& n, const protocol::Tag& tag)
{
    if (step_ != Step::ReadBack || !tag.Answers(send_) || !n.block)
        return Outcome::Ignored;
    const auto report = protocol::ConfigReportPayload::Decode(*n.block);
    if (!report)
        return Outcome::Ignored;
    End(nullptr);
    held_ = Known{unit_, Kind::Held(report->config)};
    settle_ = false;
    return Outcome::Proved;
}

template <typename Kind>
typename Settings<Kind>::Outcome Settings<Kind>::Refusal(const protocol::Tag& tag)
{
    if (tag.verdict == protocol::Verdict::Ambiguous) {
        // The refused one may be a send of these settings: what it did is
        // unknown. A wait runs on; its answer, if any, is then in doubt too.
        held_.reset();
        if (Idle())
            settle_ = true;
        return Outcome::InDoubt;
    }
    // Refused, it was not carried out: what the device holds stays.
    if (tag.exchange && tag.Answers(send_))
        return Outcome::Refused;
    return Outcome::Ignored;
}

template <typename Kind>
void Settings<Kind>::GiveUp(protocol::ExchangeLedger* ledger)
{
    if (step_ == Step::ReadBack)
        settle_ = true;
    else if (step_ == Step::Send && ledger && ledger->Open(send_))
        held_.reset();
    End(ledger);
}

template <typename Kind>
void Settings<Kind>::Late(protocol::ExchangeLedger* ledger)
{
    if (step_ == Step::ReadBack) {
        GiveUp(ledger);
        return;
    }
    if (step_ == Step::Send && ledger && ledger->Waiting(send_)) {
        held_.reset();
        ledger->GiveUp(send_);
    }
}

template <typename Kind>
void Settings<Kind>::Forget()
{
    held_.reset();
    settle_ = false;
    step_ = Step::None;
    send_ = 0;
}

template class Settings<PortSettingsKind>;
template class Settings<DeviceSettingsKind>;

}  // namespace vtrl::core
