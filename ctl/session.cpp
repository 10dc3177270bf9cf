#include "ctl/session.h"
#include "ctl/stop.h"
#include "core/procedures.h"
#include "protocol/payloads.h"
#include "protocol/rules.h"

#include <QElapsedTimer>

#include <algorithm>
#include <array>
#include <cmath>

namespace vtrl::ctl {

namespace {

using protocol::Notification;

const QString kVersionRefusal = QStringLiteral("VtrlCfg requires application version V2.09 or greater");


Millis Scale(Millis m, double f)
{
    return Millis(std::max<long long>(1, std::llround(static_cast<double>(m.count()) * f)));
}

}  // namespace

Timeouts Timeouts::Scaled(double f) const
{
    Timeouts t = *this;
    for (Millis* m : {&t.portCheck, &t.portSettings, &t.deviceSettingsTick, &t.flash, &t.inquiry, &t.bondStep})
        *m = Scale(*m, f);
    return t;
}

Timeouts Timeouts::EachAnswer(Millis each) const
{
    Timeouts t = *this;
    for (Millis* m : {&t.portCheck, &t.portSettings, &t.flash, &t.bondStep})
        *m = each;
    t.deviceSettingsTick = std::max(Millis{1}, each / t.deviceSettingsTicks);
    return t;
}

QString FormatAddress(const DeviceAddress& a)
{
    return QString::fromStdString(protocol::FormatAddress(a));
}

std::optional<DeviceAddress> ParseAddress(const QString& text)
{
    return protocol::ParseAddress(text.toStdString(), true);
}

QStringList ConfigurationLines(const protocol::DeviceConfig& c)
{
    const protocol::ConfigurationLines l = protocol::DescribeConfiguration(c);
    QStringList lines{QString::fromStdString(l.format), QString::fromStdString(l.flowControl),
                      QString::fromStdString(l.deviceType)};
    if (l.bondedTo)
        lines << QString::fromStdString(*l.bondedTo);
    lines << QString::fromStdString(l.powerClass);
    return lines;
}

QString VersionText(const VersionRecord& r, bool application)
{
    return QString::fromLatin1(application ? protocol::ApplicationVersionText(r) : protocol::BluetoothVersionText(r));
}

Session::Session(DeviceLink& link, const Timeouts& timeouts, QTextStream& progress, QString where)
    : link_(link), t_(timeouts), progress_(progress), where_(std::move(where))
{
}

void Session::Say(const QString& text)
{
    progress_ << where_ << ": " << text << '\n';
    progress_.flush();
}

Step Session::Stopped(const QString& step, Millis timeout)
{
    if (stop::Requested() == 0)
        return std::nullopt;
    return Failed(step, DeviceLink::Result{DeviceLink::Outcome::Interrupted, {}, {}}, timeout);
}

Failure Session::Unwritten(const QString& step, Millis timeout)
{
    if (link_.Lost())
        return Failed(step, DeviceLink::Result{DeviceLink::Outcome::PortLost, {}, {}}, timeout);
    return Failure{kExitPort, QStringLiteral("%1: could not write to the port %2").arg(step, QString::fromStdString(link_.Path()))};
}

DeviceLink::Result Session::Await(protocol::ExchangeId id, Millis timeout)
{
    asked_ = link_.LastSequence();
    return link_.Await(id, timeout);
}

Step Session::Answer(const QString& step, protocol::ExchangeId id, Millis timeout, DeviceLink::Result& r)
{
    r = Await(id, timeout);
    if (r.outcome == DeviceLink::Outcome::Answer)
        return std::nullopt;
    Failure f = Failed(step, r, timeout);
    f.sent = true;
    return f;
}

bool Session::AskAgain(const Failure& f, bool& retried, const QString& step)
{
    // A read changes nothing on the device: one whose answer failed its
    // checksum is asked once more.
    if (!f.garbled || retried || stop::Requested() != 0)
        return false;
    retried = true;
    Say(QStringLiteral("%1: the answer failed its checksum; asking once more").arg(step));
    return true;
}

Failure Session::Failed(const QString& step, const DeviceLink::Result& r, Millis timeout)
{
    switch (r.outcome) {
    case DeviceLink::Outcome::Refused: {
        const auto refusal = r.notification.block ? protocol::RefusalPayload::Decode(*r.notification.block) : std::nullopt;
        const int reason = refusal ? refusal->reason : 0;
        Failure f{kExitRefused, QStringLiteral("%1: the device refused it with reason %2 \"%3\" (NegativeResponse %4)")
                                    .arg(step)
                                    .arg(reason)
                                    .arg(QString::fromStdString(protocol::ReasonText(reason)),
                                         PayloadHex(false, protocol::NegativeResponse, *r.notification.block, false))};
        f.refused = true;
        return f;
    }
    case DeviceLink::Outcome::Misnamed: {
        // Not a refusal: the device may have carried the command out.
        Failure f{kExitRefused, QStringLiteral("%1: the device confirmed command %2 instead").arg(step).arg(r.notification.block ? protocol::FirstByte(*r.notification.block).value_or(0) : 0)};
        f.unclear = true;
        return f;
    }
    case DeviceLink::Outcome::Ambiguous: {
        Failure f{kExitTimedOut, QStringLiteral("%1: the device answered, but the answer may be for an earlier command").arg(step)};
        f.unclear = true;
        return f;
    }
    case DeviceLink::Outcome::TimedOut:
        if (r.badCrc > 0) {
            Failure f{kExitTimedOut, QStringLiteral("%1: the device answered, but %2 frame%3 failed %4 checksum: "
                                                    "check the cable and the line")
                                         .arg(step)
                                         .arg(r.badCrc)
                                         .arg(r.badCrc == 1 ? QString() : QStringLiteral("s"),
                                              r.badCrc == 1 ? QStringLiteral("its") : QStringLiteral("their"))};
            f.garbled = true;
            return f;
        }
        if (r.strayReportFor)
            return Failure{kExitTimedOut, QStringLiteral("%1: the device answered request %2 with a report for request %3 "
                                                         "(and nothing else within %4 ms)")
                                              .arg(step)
                                              .arg(asked_)
                                              .arg(*r.strayReportFor)
                                              .arg(timeout.count())};
        return Failure{kExitTimedOut, QStringLiteral("%1: the device did not answer within %2 ms").arg(step).arg(timeout.count())};
    case DeviceLink::Outcome::Interrupted: {
        const int signal = stop::Requested();
        Failure f{kExitSignal + signal, QStringLiteral("%1: stopped by %2").arg(step, QLatin1String(stop::Name(signal)))};
        f.signal = signal;
        return f;
    }
    case DeviceLink::Outcome::Answer:
    case DeviceLink::Outcome::PortLost:
        break;
    }
    connected_ = false;  // nothing more can be written
    return Failure{kExitPort, QStringLiteral("%1: the port %2 is gone (the device vanished or was unplugged)")
                                  .arg(step, QString::fromStdString(link_.Path()))};
}

Step Session::Connect()
{
    connected_ = false;
    protocol::CommandSender& send = link_.Commands();
    protocol::ExchangeLedger* ledger = &link_.Ledger();
    core::PortCheck check;
    QString step = QStringLiteral("port check (GetLocalAddress)");
    if (auto f = Stopped(step, t_.portCheck))
        return f;
    if (check.Start(send, ledger, t_.portCheck) != 0)
        return Unwritten(step, t_.portCheck);
    bool retried = false;
    for (;;) {
        DeviceLink::Result r;
        if (auto f = Answer(step, check.Send(), t_.portCheck, r)) {
            if (!AskAgain(*f, retried, step))
                return f;
            if (check.Again(send, ledger) != 0)
                return Unwritten(step, t_.portCheck);
            continue;
        }
        switch (check.Answer(r.notification, r.tag, send, ledger)) {
        case core::PortCheck::Outcome::AddressKnown:
            localAddress_ = check.Address();
            connected_ = true;
            link_.DeviceIdentified(localAddress_);
            step = QStringLiteral("version (GetVersion)");
            retried = false;
            if (send.LastExchange() == 0)
                return Unwritten(step, t_.portCheck);
            break;
        case core::PortCheck::Outcome::VersionRefused:
            localVersion_ = check.Version();
            return Failure{kExitRefused, QStringLiteral("version (GetVersion): the device runs \"%1\": %2")
                                             .arg(VersionText(localVersion_, true), kVersionRefusal)};
        case core::PortCheck::Outcome::ConfigAsked:
            localVersion_ = check.Version();
            step = QStringLiteral("configuration (GetConfig)");
            retried = false;
            break;
        case core::PortCheck::Outcome::ConfigUnwritten:
            return Unwritten(QStringLiteral("configuration (GetConfig)"), t_.portCheck);
        case core::PortCheck::Outcome::Checked:
            localConfig_ = check.Config();
            return std::nullopt;
        default:
            break;  // not this step's answer: the wait goes on
        }
    }
}

Step Session::ReadConfig(const DeviceAddress& address, const QString& what, Millis timeout, protocol::DeviceConfig& out)
{
    const QString step = QStringLiteral("%1 configuration (GetConfig)").arg(what);
    bool retried = false;
    for (;;) {
        if (auto f = Stopped(step, timeout))
            return f;
        if (link_.Commands().SendGetConfig(address) < 0)
            return Unwritten(step, timeout);
        DeviceLink::Result r;
        const auto f = Answer(step, link_.Commands().LastExchange(), timeout, r);
        if (!f) {
            out = protocol::ConfigReportPayload::Decode(*r.notification.block)->config;
            return std::nullopt;
        }
        if (!AskAgain(*f, retried, step))
            return f;
    }
}

Step Session::ReachRemote(const DeviceAddress& remote, VersionRecord& version, protocol::DeviceConfig& config)
{
    protocol::CommandSender& send = link_.Commands();
    protocol::ExchangeLedger* ledger = &link_.Ledger();
    const QString who = FormatAddress(remote);
    core::Pairing chain;
    DeviceLink::Result r;
    if (localConfig_.BondedAddress != remote) {
        Say(QStringLiteral("Bonding with %1...").arg(who));
        const QString step = QStringLiteral("bonding with %1 (InitiateBonding)").arg(who);
        if (auto f = Stopped(step, t_.bondStep))
            return f;
        if (chain.StartBond(send, ledger, remote, t_.bondStep) != 0)
            return Unwritten(step, t_.bondStep);
        for (core::Pairing::Outcome o = core::Pairing::Outcome::Ignored; o != core::Pairing::Outcome::Bonded;) {
            if (auto f = Answer(step, chain.Send(), t_.bondStep, r))
                return f;
            o = chain.Answer(r.notification, r.tag);
            if (o == core::Pairing::Outcome::BondFailed)
                return Failure{kExitRefused, QStringLiteral("%1: bonding has failed (BondResult %2)")
                                                 .arg(step)
                                                 .arg(protocol::FirstByte(*r.notification.block).value_or(0))};
        }
        Say(QStringLiteral("Bonded to: %1.  Connecting to Remote Device.").arg(who));
        // The device reports the link on its own; nothing is sent again.
        const QString linking = QStringLiteral("connecting to %1 (ConnectionStatus)").arg(who);
        for (int downs = 0;;) {
            if (auto f = Answer(linking, chain.Send(), t_.bondStep, r))
                return f;
            const core::Pairing::Outcome o = chain.Answer(r.notification, r.tag);
            if (o == core::Pairing::Outcome::LinkUp)
                break;
            if (o != core::Pairing::Outcome::LinkDown)
                continue;
            if (++downs >= t_.connectionRetries)
                return Failure{kExitRefused, QStringLiteral("%1: the device reported %2 times that the link is not up (status %3)")
                                                 .arg(linking)
                                                 .arg(downs)
                                                 .arg(protocol::FirstByte(*r.notification.block).value_or(0))};
            Say(QStringLiteral("Connection Error.. Retrying."));
        }
        localConfig_.BondedAddress = remote;
        chain.Next(send, ledger, t_.bondStep);
    } else {
        chain.AskVersion(send, ledger, remote, t_.bondStep);
    }
    QString step = QStringLiteral("remote %1 version (GetVersion)").arg(who);
    bool retried = false;
    for (;;) {
        if (send.LastExchange() == 0)
            return Unwritten(step, t_.bondStep);
        if (auto f = Answer(step, chain.Send(), t_.bondStep, r)) {
            if (!AskAgain(*f, retried, step))
                return f;
            if (chain.Again(send, ledger, t_.bondStep) != 0)
                return Unwritten(step, t_.bondStep);
            continue;
        }
        switch (chain.Answer(r.notification, r.tag)) {
        case core::Pairing::Outcome::VersionAccepted:
            version = chain.Version();
            chain.Next(send, ledger, t_.bondStep);
            step = QStringLiteral("remote %1 configuration (GetConfig)").arg(who);
            retried = false;
            break;
        case core::Pairing::Outcome::VersionRefused:
            version = chain.Version();
            // As the wizard does: the remote is let go at once.
            send.SendAbort();
            return Failure{kExitRefused, QStringLiteral("%1: the device runs \"%2\": %3")
                                             .arg(step, VersionText(version, true), kVersionRefusal)};
        case core::Pairing::Outcome::Paired:
            config = chain.Config();
            return std::nullopt;
        default:
            break;  // not this step's answer: the wait goes on
        }
    }
}

Step Session::Inquiry(std::vector<FoundDevice>& found)
{
    using Clock = std::chrono::steady_clock;
    const QString step = QStringLiteral("inquiry (InitiateInquiry)");
    const auto deadline = Clock::now() + t_.inquiry;
    if (auto f = Stopped(step, t_.inquiry))
        return f;
    core::Inquiry inquiry;
    if (inquiry.Start(link_.Commands(), &link_.Ledger(), t_.inquiry) != 0)
        return Unwritten(step, t_.inquiry);
    Say(QStringLiteral("Inquiry in progress..."));
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        // The inquiry's end is its time-out: devices found by then are the answer.
        if (left.count() <= 0)
            break;
        // Woken once a second to show that the search goes on, as the page's progress bar does.
        const Millis slice = std::min(left, Millis{1000});
        DeviceLink::Result r = Await(inquiry.Send(), slice);
        if (r.outcome == DeviceLink::Outcome::TimedOut) {
            if (slice == left)
                break;
            const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(t_.inquiry - left + slice);
            Say(QStringLiteral("  %1 s of %2 s, %3 device(s) so far")
                    .arg(elapsed.count())
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(t_.inquiry).count())
                    .arg(found.size()));
            continue;
        }
        if (r.outcome != DeviceLink::Outcome::Answer) {
            Failure f = Failed(step, r, t_.inquiry);
            f.sent = true;
            return f;
        }
        const core::Inquiry::Outcome o = inquiry.Answer(r.notification, r.tag);
        if (o == core::Inquiry::Outcome::Complete)
            break;
        if (o != core::Inquiry::Outcome::Found)
            continue;
        FoundDevice d{inquiry.Unit(), QString::fromLatin1(inquiry.Name())};
        if (std::none_of(found.begin(), found.end(), [&](const FoundDevice& f) { return f.address == d.address; })) {
            Say(QStringLiteral("  found %1  %2").arg(FormatAddress(d.address), d.name));
            found.push_back(d);
        }
    }
    inquiry.End(&link_.Ledger());
    Say(QStringLiteral("Inquiry complete. %1 new device(s) found.").arg(found.size()));
    return std::nullopt;
}

std::variant<std::pair<std::uint8_t, std::uint8_t>, Failure> PortExtras(const QString& what, const PortSettings& s,
                                                                      const protocol::DeviceConfig& current)
{
    const std::uint8_t powerClass = current.PowerByte & 0xF0;
    const std::uint8_t level = s.powerLevel.value_or(current.PowerByte & 0x0F);
    // Class 2 devices have eight levels, the others five.
    const std::uint8_t maxLevel = powerClass == 0x20 ? 7 : 4;
    if (s.powerLevel && level > maxLevel)
        return Failure{kExitUsage, QStringLiteral("%1.powerLevel: %2 is not allowed on this device (power class %3); use 0 to %4")
                                       .arg(what)
                                       .arg(level)
                                       .arg(powerClass >> 4)
                                       .arg(maxLevel)};
    const bool dce = s.interfaceCode.value_or(current.InterfaceCode) == 2;
    if (s.cdOutput && *s.cdOutput && !dce)
        return Failure{kExitUsage, QStringLiteral("%1.cdOutput: true is allowed only on a DCE; the device is a DTE and the profile "
                                                  "gives no \"role\"")
                                       .arg(what)};
    std::uint8_t cd = s.cdOutput ? (*s.cdOutput ? 1 : 0) : current.OutputOnCD;
    if (!dce)
        cd = 0;  // a DTE has no CD output to drive
    return std::make_pair(static_cast<std::uint8_t>(powerClass | level), cd);
}

Step Session::SetPort(const DeviceAddress& address, const QString& what, const PortSettings& partial,
                      const protocol::DeviceConfig& current)
{
    const PortSettings s = Filled(partial, current);
    auto extras = PortExtras(what, s, current);
    if (auto* f = std::get_if<Failure>(&extras))
        return *f;
    // Plain names: a lambda may not capture structured bindings with clang 14.
    const std::uint8_t power = std::get<0>(extras).first;
    const std::uint8_t cd = std::get<0>(extras).second;
    const protocol::PortSettings wire{*s.baud, *s.dataBits, *s.stopBits, *s.parity, *s.interfaceCode, *s.flow, power, cd};
    core::PortSettingsExchange exchange;
    const DeviceAddress unit = address == DeviceAddress{} ? localAddress_ : address;
    return Apply(QStringLiteral("%1 port settings (SetPortConfig)").arg(what), exchange, unit, address, wire, t_.portSettings);
}

Step Session::SetDevice(const DeviceSettings& s, const protocol::DeviceConfig& current)
{
    const std::string name = s.name.value_or(protocol::FieldText(current.DeviceName.data(), current.DeviceName.size()));
    const std::string pin = s.pin.value_or(protocol::FieldText(current.PinCode.data(), current.PinCode.size()));
    const bool authentication = s.authentication.value_or(current.Authentication != 0);
    const bool encryption = s.encryption.value_or(current.Encryption != 0);
    // The field is 16 bits: a value the device holds above what a profile may set is sent back unchanged.
    const std::uint16_t linkTimeout = s.linkTimeout ? *s.linkTimeout : current.LinkTimeout;
    if (authentication && pin.empty())
        return Failure{kExitUsage, QStringLiteral("local.pin: authentication is on but neither the profile nor the device holds a PIN")};
    protocol::DeviceSettings wire;
    wire.name = name;
    wire.linkTimeout = linkTimeout;
    wire.encryption = encryption;
    wire.authentication = authentication;
    std::copy_n(pin.begin(), std::min<std::size_t>(pin.size(), protocol::kPinMax), wire.pin.begin());
    wire.resetLinkKeys = s.resetLinkKeys;
    core::DeviceSettingsExchange exchange;
    return Apply(QStringLiteral("local device settings (SetDeviceConfig)"), exchange, localAddress_, DeviceAddress{}, wire,
                 t_.deviceSettingsTick * t_.deviceSettingsTicks);
}

template <typename Kind>
Step Session::Apply(const QString& step, core::Settings<Kind>& exchange, const DeviceAddress& unit,
                    const DeviceAddress& address, const typename Kind::Values& values, Millis timeout)
{
    protocol::CommandSender& send = link_.Commands();
    protocol::ExchangeLedger* ledger = &link_.Ledger();
    if (auto f = Stopped(step, timeout))
        return f;
    if (exchange.SendValues(send, ledger, unit, address, values, timeout) != 0)
        return Unwritten(step, timeout);
    for (;;) {
        const DeviceLink::Result r = Await(exchange.Send(), timeout);
        using Outcome = typename core::Settings<Kind>::Outcome;
        Outcome o = Outcome::Ignored;
        if (r.outcome == DeviceLink::Outcome::Answer || r.outcome == DeviceLink::Outcome::Ambiguous
            || r.outcome == DeviceLink::Outcome::Refused) {
            switch (r.notification.message) {
            case protocol::MsgConfirmation: o = exchange.Confirmation(r.notification, r.tag); break;
            case protocol::MsgConfigReport: o = exchange.Report(r.notification, r.tag); break;
            case protocol::MsgNegativeResponse: o = exchange.Refusal(r.tag); break;
            default: break;
            }
        }
        if (o == Outcome::Proved && exchange.Idle()) {
            if (exchange.Holds(unit, values))
                return std::nullopt;
            Failure f{kExitMismatch, QStringLiteral("%1: read back, the device holds other settings than were sent").arg(step)};
            f.sent = true;
            return f;
        }
        if (o == Outcome::InDoubt && exchange.Idle()) {
            // The answer may be another send's: the device is asked what it holds.
            const QString reading = step + QStringLiteral(", read back (GetConfig)");
            if (exchange.ReadBack(send, ledger, unit, address, timeout) != 0)
                return Unwritten(reading, timeout);
            continue;
        }
        if (o == Outcome::Proved || o == Outcome::InDoubt)
            continue;
        Failure f = Failed(step, r, timeout);
        f.sent = true;
        return f;
    }
}

Step Session::Flash()
{
    const QString step = QStringLiteral("save to flash (UpdateFlash)");
    if (auto f = Stopped(step, t_.flash))
        return f;
    core::Save save;
    if (save.Start(link_.Commands(), &link_.Ledger(), t_.flash) != 0)
        return Unwritten(step, t_.flash);
    const DeviceLink::Result r = Await(save.Send(), t_.flash);
    if (r.outcome == DeviceLink::Outcome::Answer || r.outcome == DeviceLink::Outcome::Ambiguous) {
        if (save.Confirmation(r.tag, link_.Ledger()) == core::Save::Outcome::Saved)
            return std::nullopt;
        Failure f{kExitTimedOut, QStringLiteral("%1: the device confirmed a save, but it may have been an earlier one").arg(step)};
        f.sent = true;
        f.unclear = true;
        return f;
    }
    Failure f = Failed(step, r, t_.flash);
    f.sent = true;
    return f;
}

void Session::AbortIfConnected()
{
    if (connected_ && link_.IsOpen())
        link_.Commands().SendAbort();
    connected_ = false;
}

}  // namespace vtrl::ctl
