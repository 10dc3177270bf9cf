#pragma once
// What the wizard knows a device holds of one kind of settings (its serial
// port settings, or an SPP Server's identity and security), and the two
// exchanges that change or prove it: a send, and a read-back when an answer
// may have been another send's. The port pages, the local device page and
// vtrlctl's apply all keep their settings this way.
//
// The device is proven to hold settings by a Confirmation with one candidate
// (or one of several sends that carried the same) or by a read-back: its
// ConfigReport names its request. A device carries out commands in the order
// they reach it, so a send still unanswered changes nothing after that proof.
//
// Plain C++; the owner keeps the time-out and calls TimedOut.

#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/exchange.h"
#include "protocol/payloads.h"
#include "protocol/types.h"

#include <chrono>
#include <optional>

namespace vtrl::core {

using Millis = std::chrono::milliseconds;

// How each kind of settings travels.
struct PortSettingsKind {
    using Values = protocol::PortSettings;
    static constexpr protocol::CommandType kCommand = protocol::SetPortConfig;
    static int Send(protocol::CommandSender& send, const DeviceAddress& unit, const Values& values);
    static std::optional<Values> Carried(const protocol::Exchange& sent);
    static Values Held(const protocol::DeviceConfig& report) { return Values::Of(report); }
    static bool Same(const Values& a, const Values& b) { return a == b; }
};

struct DeviceSettingsKind {
    using Values = protocol::DeviceSettings;
    static constexpr protocol::CommandType kCommand = protocol::SetDeviceConfig;
    static int Send(protocol::CommandSender& send, const DeviceAddress& unit, const Values& values);
    static std::optional<Values> Carried(const protocol::Exchange& sent);
    static Values Held(const protocol::DeviceConfig& report) { return Values::Of(report); }
    static bool Same(const Values& a, const Values& b) { return a.SameAs(b); }
};

template <typename Kind>
class Settings {
public:
    using Values = typename Kind::Values;
    enum class Step { None, Send, ReadBack };
    enum class Outcome {
        Ignored,    // nothing of these settings
        Proved,     // Held() is what the device holds; the wait, if it was this answer's, is over
        InDoubt,    // the answer may have been another send's: what the device holds is unknown
                    // and is to be read back (Settle says whether one is due now)
        Forgotten,  // the device carried out a command of this kind nobody's send explains
        Refused,    // the send waited for was refused: not carried out; the wait runs on
    };
    struct Known {
        DeviceAddress unit{};
        Values values{};
    };

    Step step() const { return step_; }
    protocol::ExchangeId Send() const { return send_; }
    bool Idle() const { return step_ == Step::None; }
    // The device holds `values` as far as proved, and nothing is on its way.
    bool Holds(const DeviceAddress& unit, const Values& values) const
    {
        return held_ && held_->unit == unit && Kind::Same(held_->values, values) && Idle();
    }
    const std::optional<Known>& Held() const { return held_; }
    const std::optional<Known>& LastSent() const { return sent_; }
    // An ambiguous answer left what the device holds unknown: a read-back is due.
    bool SettleDue() const { return settle_; }

    // `unit` names the device the settings belong to; `address` is where the
    // command goes (zero: the attached device, whose own address `unit` then
    // is). Sends the values: 0 when written, -1 when not (nothing changes then).
    int SendValues(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                   const DeviceAddress& address, const Values& values, Millis patience);
    // Asks the device what it holds: 0 when written, -1 when not.
    int ReadBack(protocol::CommandSender& send, protocol::ExchangeLedger* ledger, const DeviceAddress& unit,
                 const DeviceAddress& address, Millis patience);

    Outcome Confirmation(const protocol::Notification& n, const protocol::Tag& tag);
    Outcome Report(const protocol::Notification& n, const protocol::Tag& tag);
    Outcome Refusal(const protocol::Tag& tag);

    // The owner's time-out, or it left: the wait ends unanswered. A send
    // then may or may not have been taken; a read-back is asked again when
    // the owner can.
    void GiveUp(protocol::ExchangeLedger* ledger);
    // The owner keeps waiting after its time-out (a repeating tick): the
    // send is given up on in the ledger but still awaited.
    void Late(protocol::ExchangeLedger* ledger);
    // The device went away: nothing it held is known any more.
    void Forget();

private:
    void Begin(Step step, protocol::ExchangeId send, protocol::ExchangeLedger* ledger, Millis patience);
    void End(protocol::ExchangeLedger* ledger);

    Step step_ = Step::None;
    protocol::ExchangeId send_ = 0;
    DeviceAddress unit_{};      // of the send waited for
    DeviceAddress attached_{};  // the unit address zero named at the last send
    std::optional<Known> held_;
    std::optional<Known> sent_;
    bool settle_ = false;
};

using PortSettingsExchange = Settings<PortSettingsKind>;
using DeviceSettingsExchange = Settings<DeviceSettingsKind>;

extern template class Settings<PortSettingsKind>;
extern template class Settings<DeviceSettingsKind>;

}  // namespace vtrl::core
