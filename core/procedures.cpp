#include "core/procedures.h"

#include "protocol/payloads.h"
#include "protocol/rules.h"

#include <algorithm>

namespace vtrl::core {

using protocol::Notification;
using protocol::Tag;
using protocol::Verdict;

void StepWait::Begin(protocol::ExchangeId send, protocol::ExchangeLedger* ledger, Millis patience)
{
    send_ = send;
    pending_ = true;
    if (ledger && send != 0 && patience.count() > 0)
        ledger->Expect(send, patience);
}

void StepWait::End(protocol::ExchangeLedger* ledger)
{
    // A send still unanswered stays in the ledger, given up on: an answer
    // that may be its own is never taken for a newer send's alone.
    if (ledger && send_ != 0)
        ledger->GiveUp(send_);
    send_ = 0;
    pending_ = false;
}

// ---- the port check ------------------------------------------------------

int PortCheck::Start(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience)
{
    wait_.End(ledger);
    step_ = Step::None;
    configSequence_ = -1;
    if (send.SendGetLocalAddress() < 0)
        return -1;
    patience_ = patience;
    step_ = Step::Address;
    wait_.Begin(send.LastExchange(), ledger, patience);
    return 0;
}

PortCheck::Outcome PortCheck::Answer(const Notification& n, const Tag& tag, protocol::CommandSender& send,
                                     protocol::ExchangeLedger* ledger)
{
    if (!n.block)
        return Outcome::Ignored;
    switch (n.message) {
    case protocol::MsgLocalAddress: {
        const auto address = protocol::DecodeLocalAddress(*n.block);
        if (step_ != Step::Address || !wait_.Answers(tag) || !address)
            return Outcome::Ignored;
        address_ = *address;
        // A failed write ends in the time-out.
        send.SendGetVersion(DeviceAddress{});
        step_ = Step::Version;
        wait_.End(nullptr);
        wait_.Begin(send.LastExchange(), ledger, patience_);
        return Outcome::AddressKnown;
    }
    case protocol::MsgVersionInfo: {
        // Any answer to a GetVersion of the attached device is its version;
        // one that may be a remote unit's is no answer.
        if (!tag.exchange || tag.exchange->command != protocol::GetVersion || tag.exchange->unit != DeviceAddress{})
            return Outcome::Ignored;
        version_ = protocol::ToVersionRecord(*n.block);
        if (step_ != Step::Version || !wait_.Answers(tag))
            return Outcome::Noted;
        wait_.End(nullptr);
        if (!protocol::CheckApplicationVersion(*n.block)) {
            step_ = Step::None;
            return Outcome::VersionRefused;
        }
        configSequence_ = send.SendGetConfig(DeviceAddress{});
        if (configSequence_ < 0) {
            step_ = Step::None;
            return Outcome::ConfigUnwritten;
        }
        step_ = Step::Config;
        wait_.Begin(send.LastExchange(), ledger, patience_);
        return Outcome::ConfigAsked;
    }
    case protocol::MsgConfigReport: {
        // The ledger matched the report to the request by the sequence it carries.
        const auto report = protocol::ConfigReportPayload::Decode(*n.block);
        if (step_ != Step::Config || !wait_.Answers(tag) || !report)
            return Outcome::Ignored;
        wait_.End(nullptr);
        step_ = Step::None;
        // A report carries only the tags the device has; a bad element still
        // leaves what was decoded before it.
        config_ = report->config;
        return Outcome::Checked;
    }
    default:
        return Outcome::Ignored;
    }
}

int PortCheck::Again(protocol::CommandSender& send, protocol::ExchangeLedger* ledger)
{
    int written = -1;
    switch (step_) {
    case Step::Address: written = send.SendGetLocalAddress(); break;
    case Step::Version: written = send.SendGetVersion(DeviceAddress{}); break;
    case Step::Config: written = configSequence_ = send.SendGetConfig(DeviceAddress{}); break;
    case Step::None: return -1;
    }
    if (written < 0)
        return -1;
    wait_.End(ledger);
    wait_.Begin(send.LastExchange(), ledger, patience_);
    return 0;
}

void PortCheck::GiveUp(protocol::ExchangeLedger* ledger)
{
    wait_.End(ledger);
    step_ = Step::None;
}

// ---- the inquiry ---------------------------------------------------------

int Inquiry::Start(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience)
{
    if (send.SendInitiateInquiry() != 0)
        return -1;
    wait_.End(ledger);
    wait_.Begin(send.LastExchange(), ledger, patience);
    return 0;
}

Inquiry::Outcome Inquiry::Answer(const Notification& n, const Tag& tag)
{
    if (wait_.Idle() || !wait_.Answers(tag))
        return Outcome::Ignored;
    if (n.message == protocol::MsgInquiryComplete)
        return Outcome::Complete;
    if (n.message != protocol::MsgInquiryResult || !n.block)
        return Outcome::Ignored;
    const auto found = protocol::InquiryResultPayload::Decode(*n.block);
    if (!found)
        return Outcome::Ignored;
    unit_ = found->address;
    name_ = found->name;
    return Outcome::Found;
}

// ---- the pairing chain ---------------------------------------------------

void Pairing::Begin(Step step, protocol::ExchangeId send, protocol::ExchangeLedger* ledger, Millis patience)
{
    wait_.End(ledger);
    step_ = step;
    wait_.Begin(send, ledger, patience);
}

int Pairing::Ping(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                  Millis patience)
{
    if (send.SendPingRequest(unit) != 0)
        return -1;
    unit_ = unit;
    Begin(Step::Ping, send.LastExchange(), ledger, patience);
    return 0;
}

int Pairing::StartBond(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                       Millis patience)
{
    if (send.SendInitiateBonding(unit) != 0)
        return -1;
    unit_ = unit;
    accepted_ = false;
    Begin(Step::Bond, send.LastExchange(), ledger, patience);
    return 0;
}

void Pairing::AskVersion(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                         Millis patience)
{
    // A failed write ends in the time-out.
    send.SendGetVersion(unit);
    unit_ = unit;
    accepted_ = false;
    Begin(Step::Version, send.LastExchange(), ledger, patience);
}

void Pairing::AskConfig(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                        Millis patience)
{
    send.SendGetConfig(unit);
    unit_ = unit;
    Begin(Step::Config, send.LastExchange(), ledger, patience);
}

void Pairing::Next(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience)
{
    if (step_ == Step::Version)
        AskConfig(send, ledger, unit_, patience);
    else
        AskVersion(send, ledger, unit_, patience);
}

void Pairing::WaitOn(protocol::ExchangeLedger* ledger, Millis patience)
{
    const protocol::ExchangeId send = wait_.Send();
    wait_.End(nullptr);
    wait_.Begin(send, ledger, patience);
}

int Pairing::Again(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience)
{
    const int written = step_ == Step::Version ? send.SendGetVersion(unit_)
        : step_ == Step::Config               ? send.SendGetConfig(unit_)
                                              : -1;
    if (written < 0)
        return -1;
    Begin(step_, send.LastExchange(), ledger, patience);
    return 0;
}

void Pairing::GiveUp(protocol::ExchangeLedger* ledger)
{
    wait_.End(ledger);
    step_ = Step::None;
}

Pairing::Outcome Pairing::Answer(const Notification& n, const Tag& tag)
{
    const bool mine = wait_.Answers(tag);
    // An answer that may be this step's, or another send's: only asking
    // again tells.
    const auto inDoubt = [&](std::initializer_list<Step> steps) {
        if (tag.verdict != Verdict::Ambiguous || !wait_.MayAnswer(tag)
            || std::find(steps.begin(), steps.end(), step_) == steps.end())
            return Outcome::Ignored;
        GiveUp(nullptr);
        return Outcome::InDoubt;
    };
    switch (n.message) {
    case protocol::MsgNegativeResponse:
        // The step waits on: its guard's time-out ends it.
        return mine ? Outcome::Refused : Outcome::Ignored;
    case protocol::MsgConfirmation:
        // The ping's, whatever command it names.
        if (step_ != Step::Ping || !mine)
            return Outcome::Ignored;
        step_ = Step::PingLink;
        return Outcome::PingConfirmed;
    case protocol::MsgBondResult: {
        if (tag.verdict == Verdict::Ambiguous)
            return inDoubt({Step::Bond});
        const auto result = n.block ? protocol::FirstByte(*n.block) : std::nullopt;
        if (!tag.exchange || !result)
            return Outcome::Ignored;
        bond_ = Bond{tag.exchange->unit, *result == 0};
        if (step_ != Step::Bond || !mine)
            return Outcome::LateBond;
        if (!bond_.bonded) {
            GiveUp(nullptr);
            return Outcome::BondFailed;
        }
        // The same send reports the link.
        step_ = Step::Connection;
        return Outcome::Bonded;
    }
    case protocol::MsgConnectionStatus: {
        const auto status = n.block ? protocol::FirstByte(*n.block) : std::nullopt;
        const bool linking = step_ == Step::Connection || step_ == Step::PingLink || step_ == Step::Ping;
        if (!linking || !mine || !status)
            return Outcome::Ignored;
        return *status == protocol::kLinkUp ? Outcome::LinkUp : Outcome::LinkDown;
    }
    case protocol::MsgVersionInfo: {
        if (step_ != Step::Version || !n.block)
            return Outcome::Ignored;
        if (!mine)
            return inDoubt({Step::Version});
        version_ = protocol::ToVersionRecord(*n.block);
        accepted_ = protocol::CheckApplicationVersion(*n.block);
        if (!accepted_) {
            GiveUp(nullptr);
            return Outcome::VersionRefused;
        }
        return Outcome::VersionAccepted;
    }
    case protocol::MsgConfigReport: {
        if (step_ != Step::Config || !n.block)
            return Outcome::Ignored;
        if (!mine)
            return inDoubt({Step::Config});
        const auto report = protocol::ConfigReportPayload::Decode(*n.block);
        if (!report)
            return Outcome::Ignored;
        config_ = report->config;
        GiveUp(nullptr);
        return Outcome::Paired;
    }
    default:
        return Outcome::Ignored;
    }
}

// ---- the save ------------------------------------------------------------

int Save::Start(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience)
{
    if (send.SendUpdateFlash() != 0)
        return -1;
    // A save given up on is over for its owner; the ledger keeps it as a
    // candidate, so that its late answer is not taken for this one's alone.
    wait_.End(ledger);
    wait_.Begin(send.LastExchange(), ledger, patience);
    return 0;
}

Save::Outcome Save::Confirmation(const Tag& tag, const protocol::ExchangeLedger& ledger)
{
    if (!wait_.MayAnswer(tag))
        return Outcome::Ignored;
    if (tag.verdict == Verdict::Misnamed)
        return Outcome::Misnamed;
    bool saved = tag.Answers(wait_.Send());
    if (!saved && tag.verdict == Verdict::Ambiguous) {
        // Whichever of the saves it answers, each was sent after the last
        // command that changed what the device holds: the flash holds that.
        protocol::ExchangeId changed = 0;
        for (int c = 0; c < 256; ++c)
            if (protocol::ChangesDevice(static_cast<protocol::CommandType>(c)))
                changed = std::max(changed, ledger.LastSent(static_cast<protocol::CommandType>(c)));
        saved = std::all_of(tag.candidates.begin(), tag.candidates.end(), [changed](const protocol::Exchange& e) {
            return e.command == protocol::UpdateFlash && e.id > changed;
        });
    }
    wait_.End(nullptr);
    return saved ? Outcome::Saved : Outcome::Unclear;
}

Save::Outcome Save::Refusal(const Tag& tag)
{
    return tag.exchange && wait_.Answers(tag) ? Outcome::Refused : Outcome::Ignored;
}

void Save::Late(protocol::ExchangeLedger* ledger)
{
    if (ledger && wait_.Send() != 0)
        ledger->GiveUp(wait_.Send());
}

}  // namespace vtrl::core
