#include "ctl/session.h"
#include "ctl/stop.h"
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

std::uint8_t Byte(const Notification& n, std::size_t at)
{
    return n.block && n.block->size() > at ? (*n.block)[at] : 0;
}

protocol::DeviceConfig Decoded(const Notification& n)
{
    protocol::DeviceConfig record{};
    const auto& b = *n.block;
    protocol::DecodeConfig(record, b.data() + 1, b.size() - 1);
    return record;
}

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

Step Session::Exchange(const QString& step, const std::function<int(protocol::CommandSender&)>& send, Millis timeout,
                       Notification* answer)
{
    if (stop::Requested() != 0)
        return Failed(step, DeviceLink::Result{DeviceLink::Outcome::Interrupted, {}, {}}, timeout);
    if (send(link_.Commands()) < 0) {
        if (link_.Lost())
            return Failed(step, DeviceLink::Result{DeviceLink::Outcome::PortLost, {}, {}}, timeout);
        return Failure{kExitPort, QStringLiteral("%1: could not write to the port %2")
                                      .arg(step, QString::fromStdString(link_.Path()))};
    }
    asked_ = link_.LastSequence();
    Step f = Wait(step, link_.Commands().LastExchange(), timeout, answer);
    if (f)
        f->sent = true;
    return f;
}

Step Session::Read(const QString& step, const std::function<int(protocol::CommandSender&)>& send, Millis timeout,
                   Notification* answer)
{
    Step f = Exchange(step, send, timeout, answer);
    if (!f || !f->garbled)
        return f;
    Say(QStringLiteral("%1: the answer failed its checksum; asking once more").arg(step));
    return Exchange(step, send, timeout, answer);
}

Step Session::Wait(const QString& step, protocol::ExchangeId id, Millis timeout, Notification* answer)
{
    DeviceLink::Result r = link_.Await(id, timeout);
    if (r.outcome == DeviceLink::Outcome::Answer) {
        if (answer)
            *answer = std::move(r.notification);
        return std::nullopt;
    }
    return Failed(step, r, timeout);
}

Failure Session::Failed(const QString& step, const DeviceLink::Result& r, Millis timeout)
{
    switch (r.outcome) {
    case DeviceLink::Outcome::Refused: {
        const int reason = Byte(r.notification, 1);
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
        Failure f{kExitRefused, QStringLiteral("%1: the device confirmed command %2 instead").arg(step).arg(Byte(r.notification, 0))};
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
    Notification n;
    if (auto f = Read(QStringLiteral("port check (GetLocalAddress)"), [](auto& send) { return send.SendGetLocalAddress(); },
                          t_.portCheck, &n))
        return f;
    std::copy_n(n.block->begin(), 6, localAddress_.begin());
    connected_ = true;

    if (auto f = Read(QStringLiteral("version (GetVersion)"), [](auto& send) { return send.SendGetVersion(DeviceAddress{}); },
                          t_.portCheck, &n))
        return f;
    localVersion_ = protocol::ToVersionRecord(*n.block);
    if (!protocol::CheckApplicationVersion(*n.block))
        return Failure{kExitRefused, QStringLiteral("version (GetVersion): the device runs \"%1\": %2")
                                         .arg(VersionText(localVersion_, true), kVersionRefusal)};

    if (auto f = Read(QStringLiteral("configuration (GetConfig)"), [](auto& send) { return send.SendGetConfig(DeviceAddress{}); },
                          t_.portCheck, &n))
        return f;
    localConfig_ = Decoded(n);
    return std::nullopt;
}

Step Session::ReadConfig(const DeviceAddress& address, const QString& what, Millis timeout, protocol::DeviceConfig& out)
{
    Notification n;
    if (auto f = Read(QStringLiteral("%1 configuration (GetConfig)").arg(what),
                          [&](auto& send) { return send.SendGetConfig(address); }, timeout, &n))
        return f;
    out = Decoded(n);
    return std::nullopt;
}

Step Session::Bond(const DeviceAddress& remote)
{
    const QString who = FormatAddress(remote);
    Say(QStringLiteral("Bonding with %1...").arg(who));
    Notification n;
    if (auto f = Exchange(QStringLiteral("bonding with %1 (InitiateBonding)").arg(who),
                          [&](auto& send) { return send.SendInitiateBonding(remote); }, t_.bondStep, &n))
        return f;
    const protocol::ExchangeId bonding = link_.Commands().LastExchange();
    if (Byte(n, 0) != 0)
        return Failure{kExitRefused, QStringLiteral("bonding with %1 (InitiateBonding): bonding has failed (BondResult %2)")
                                         .arg(who)
                                         .arg(Byte(n, 0))};
    Say(QStringLiteral("Bonded to: %1.  Connecting to Remote Device.").arg(who));
    for (int attempt = 0;; ++attempt) {
        // The device reports the link on its own; nothing is sent again.
        if (auto f = Wait(QStringLiteral("connecting to %1 (ConnectionStatus)").arg(who), bonding, t_.bondStep, &n))
            return f;
        if (Byte(n, 0) == 2)
            return std::nullopt;
        if (attempt + 1 >= t_.connectionRetries)
            return Failure{kExitRefused, QStringLiteral("connecting to %1 (ConnectionStatus): the device reported %2 times that the link is not up (status %3)")
                                             .arg(who)
                                             .arg(attempt + 1)
                                             .arg(Byte(n, 0))};
        Say(QStringLiteral("Connection Error.. Retrying."));
    }
}

Step Session::ReachRemote(const DeviceAddress& remote, VersionRecord& version, protocol::DeviceConfig& config)
{
    if (localConfig_.BondedAddress != remote) {
        if (auto f = Bond(remote))
            return f;
        localConfig_.BondedAddress = remote;
    }
    const QString who = FormatAddress(remote);
    Notification n;
    if (auto f = Read(QStringLiteral("remote %1 version (GetVersion)").arg(who),
                          [&](auto& send) { return send.SendGetVersion(remote); }, t_.bondStep, &n))
        return f;
    version = protocol::ToVersionRecord(*n.block);
    if (!protocol::CheckApplicationVersion(*n.block)) {
        // As the wizard does: the remote is let go at once.
        link_.Commands().SendAbort();
        return Failure{kExitRefused, QStringLiteral("remote %1 version (GetVersion): the device runs \"%2\": %3")
                                         .arg(who, VersionText(version, true), kVersionRefusal)};
    }
    return ReadConfig(remote, QStringLiteral("remote %1").arg(who), t_.bondStep, config);
}

Step Session::Inquiry(std::vector<FoundDevice>& found)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + t_.inquiry;
    if (stop::Requested() != 0 || link_.Commands().SendInitiateInquiry() < 0)
        return Exchange(QStringLiteral("inquiry (InitiateInquiry)"), [](auto&) { return -1; }, Millis{0});
    const protocol::ExchangeId inquiry = link_.Commands().LastExchange();
    Say(QStringLiteral("Inquiry in progress..."));
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        // The inquiry's end is its time-out: devices found by then are the answer.
        if (left.count() <= 0)
            break;
        // Woken once a second to show that the search goes on, as the page's progress bar does.
        const Millis slice = std::min(left, Millis{1000});
        DeviceLink::Result r = link_.Await(inquiry, slice);
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
            Failure f = Failed(QStringLiteral("inquiry (InitiateInquiry)"), r, t_.inquiry);
            f.sent = true;
            return f;
        }
        if (r.notification.message == protocol::MsgInquiryComplete)
            break;
        const auto& b = *r.notification.block;
        FoundDevice d;
        std::copy_n(b.begin(), 6, d.address.begin());
        d.name = QString::fromLatin1(protocol::FieldText(b.data() + 9, b.size() - 9));
        if (std::none_of(found.begin(), found.end(), [&](const FoundDevice& f) { return f.address == d.address; })) {
            Say(QStringLiteral("  found %1  %2").arg(FormatAddress(d.address), d.name));
            found.push_back(d);
        }
    }
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
    return Exchange(QStringLiteral("%1 port settings (SetPortConfig)").arg(what), [&](protocol::CommandSender& send) {
        return send.SendSetRemotePortConfig(address, wire);
    }, t_.portSettings);
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
    return Exchange(QStringLiteral("local device settings (SetDeviceConfig)"), [&](protocol::CommandSender& send) {
        return send.SendSetDeviceConfig(wire);
    }, t_.deviceSettingsTick * t_.deviceSettingsTicks);
}

Step Session::Flash()
{
    return Exchange(QStringLiteral("save to flash (UpdateFlash)"), [](auto& send) { return send.SendUpdateFlash(); }, t_.flash);
}

void Session::AbortIfConnected()
{
    if (connected_ && link_.IsOpen())
        link_.Commands().SendAbort();
    connected_ = false;
}

}  // namespace vtrl::ctl
