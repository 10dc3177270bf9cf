#pragma once
// The device's procedures as small step machines, driven the same way by the
// wizard's pages and by vtrlctl: a start that sends the first command, a
// call for each answer that may be the procedure's, and the owner's time-out.
// Each keeps one step and, at most, the one send it waits for; which send an
// answer belongs to is the ledger's word, carried in the Tag. The owner keeps
// its texts, timers and controls, and reacts to the outcomes.
//
// Plain C++; no Qt.

#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/exchange.h"
#include "protocol/params.h"
#include "protocol/types.h"

#include <chrono>
#include <optional>
#include <string>

namespace vtrl::core {

using Millis = std::chrono::milliseconds;

// One step waited for: the send and what its owner waits.
class StepWait {
public:
    bool Idle() const { return send_ == 0 && !pending_; }
    protocol::ExchangeId Send() const { return send_; }
    bool Answers(const protocol::Tag& tag) const { return tag.Answers(send_); }
    bool MayAnswer(const protocol::Tag& tag) const { return tag.MayAnswer(send_); }
    void Begin(protocol::ExchangeId send, protocol::ExchangeLedger* ledger, Millis patience);
    // A command whose write result is not examined: the step waits for its
    // time-out even with nothing sent.
    void BeginUnsent() { send_ = 0; pending_ = true; }
    // Ends the wait; a send still unanswered stays in the ledger, given up on.
    void End(protocol::ExchangeLedger* ledger);

private:
    protocol::ExchangeId send_ = 0;
    bool pending_ = false;
};

// The port check: GetLocalAddress, GetVersion of the attached device with
// the version rule, GetConfig.
class PortCheck {
public:
    enum class Step { None, Address, Version, Config };
    enum class Outcome {
        Ignored,
        Noted,           // a version of the attached device, not the one waited for: Version() has it
        AddressKnown,    // the device answered; its version is asked (the write is not examined)
        VersionRefused,  // below V2.09: the check is over
        ConfigAsked,     // the version is accepted and the configuration asked
        ConfigUnwritten, // the version is accepted, the configuration request not written: over
        Checked,         // the configuration is read: Config() has it
    };

    Step step() const { return step_; }
    protocol::ExchangeId Send() const { return wait_.Send(); }
    // Sends GetLocalAddress: 0 when written, -1 when not.
    int Start(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience);
    Outcome Answer(const protocol::Notification& n, const protocol::Tag& tag, protocol::CommandSender& send,
                   protocol::ExchangeLedger* ledger);
    // The step's request once more (its answer was garbled): reads change
    // nothing on the device. 0 when written, -1 when not.
    int Again(protocol::CommandSender& send, protocol::ExchangeLedger* ledger);
    // The time-out, or the owner left: the check is over.
    void GiveUp(protocol::ExchangeLedger* ledger);

    const DeviceAddress& Address() const { return address_; }
    const VersionRecord& Version() const { return version_; }
    const protocol::DeviceConfig& Config() const { return config_; }
    int ConfigSequence() const { return configSequence_; }

private:
    Step step_ = Step::None;
    StepWait wait_;
    Millis patience_{0};
    DeviceAddress address_{};
    VersionRecord version_{};
    protocol::DeviceConfig config_{};
    int configSequence_ = -1;
};

// A search for remote units: InitiateInquiry, its results until
// InquiryComplete or the owner's time-out.
class Inquiry {
public:
    enum class Outcome { Ignored, Found, Complete };
    bool Idle() const { return wait_.Idle(); }
    protocol::ExchangeId Send() const { return wait_.Send(); }
    int Start(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience);
    // Found: Unit() and Name() tell what was found.
    Outcome Answer(const protocol::Notification& n, const protocol::Tag& tag);
    void End(protocol::ExchangeLedger* ledger) { wait_.End(ledger); }
    const DeviceAddress& Unit() const { return unit_; }
    const std::string& Name() const { return name_; }

private:
    StepWait wait_;
    DeviceAddress unit_{};
    std::string name_;
};

// The pairing chain with a remote unit: bonding, the link coming up, the
// remote's version with the version rule, its configuration. A ping shares
// the link's reports. The chain may start at any of its steps (a unit bonded
// already, a version already accepted).
class Pairing {
public:
    enum class Step { None, Ping, PingLink, Bond, Connection, Version, Config };
    enum class Outcome {
        Ignored,
        InDoubt,         // the answer may be another send's: the step is over, unanswered
        Refused,         // the step's command was refused; the step waits on for its time-out
        PingConfirmed,   // the ping is confirmed; the link it may bring up is still reported
        Bonded,          // BondResult success: the link is waited for
        BondFailed,      // BondResult failure: over
        LateBond,        // a BondResult for a bonding given up on: LastBond() tells
        LinkDown,        // the link is not up yet: the same step waits on (the owner restarts its timer)
        LinkUp,          // the link is up: Next() asks the version
        VersionAccepted, // Next() asks the configuration
        VersionRefused,  // below V2.09: the chain is over; the owner lets the remote go (Abort)
        Paired,          // the configuration is read: Config() has it
    };
    struct Bond {
        DeviceAddress unit{};
        bool bonded = false;
    };

    Step step() const { return step_; }
    protocol::ExchangeId Send() const { return wait_.Send(); }
    bool Idle() const { return step_ == Step::None; }
    // The unit of the step under way, or of the last one.
    const DeviceAddress& Unit() const { return unit_; }

    // Each sends its command to `unit` and waits: 0 when written, -1 when
    // not (nothing changes then). The version and configuration requests
    // wait also when their write fails: the time-out ends them.
    int Ping(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit, Millis patience);
    int StartBond(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                  Millis patience);
    void AskVersion(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                    Millis patience);
    void AskConfig(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                   Millis patience);
    // After LinkUp or VersionAccepted: the chain's next command.
    void Next(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience);
    // The same step waits on (after LinkDown): its guard starts again.
    void WaitOn(protocol::ExchangeLedger* ledger, Millis patience);
    // The version or configuration request once more (its answer was
    // garbled): 0 when written, -1 when not.
    int Again(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience);

    Outcome Answer(const protocol::Notification& n, const protocol::Tag& tag);
    // The guard ran out, or the owner left: the step is over.
    void GiveUp(protocol::ExchangeLedger* ledger);

    const VersionRecord& Version() const { return version_; }
    bool VersionAcceptedFor() const { return accepted_; }
    const protocol::DeviceConfig& Config() const { return config_; }
    const Bond& LastBond() const { return bond_; }

private:
    void Begin(Step step, protocol::ExchangeId send, protocol::ExchangeLedger* ledger, Millis patience);

    Step step_ = Step::None;
    StepWait wait_;
    DeviceAddress unit_{};
    VersionRecord version_{};
    bool accepted_ = false;
    protocol::DeviceConfig config_{};
    Bond bond_;
};

// The save to flash: UpdateFlash and its Confirmation. A confirmation proves
// the flash holds what the device held when it saved only when it is the
// save's own, or may be any of saves all sent after the last command that
// changed the device.
class Save {
public:
    enum class Outcome {
        Ignored,
        Saved,
        Unclear,   // a save was confirmed, but maybe one sent before the device changed
        Misnamed,  // the device named another command: the save may or may not be done; the wait runs on
        Refused,   // refused: not saved; the wait runs on
    };
    bool Idle() const { return wait_.Idle(); }
    protocol::ExchangeId Send() const { return wait_.Send(); }
    int Start(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, Millis patience);
    Outcome Confirmation(const protocol::Tag& tag, const protocol::ExchangeLedger& ledger);
    Outcome Refusal(const protocol::Tag& tag);
    // The owner's time-out: the save stays in the ledger, given up on, and
    // its answer still counts while the owner waits.
    void Late(protocol::ExchangeLedger* ledger);
    // The owner left: its answer counts no more.
    void End(protocol::ExchangeLedger* ledger) { wait_.End(ledger); }

private:
    StepWait wait_;
};

}  // namespace vtrl::core
