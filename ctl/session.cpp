#include "ctl/session.h"

#include "pages/versioncheck.h"

#include <QElapsedTimer>

#include <algorithm>
#include <array>
#include <cmath>

namespace vtrl::ctl {

namespace {

using protocol::Notification;

const QString kVersionRefusal = QStringLiteral("VtrlCfg requires application version V2.09 or greater");

bool Is(const Notification& n, std::uint32_t message) { return n.message == message && n.block.has_value(); }

std::uint8_t Byte(const Notification& n, std::size_t at)
{
    return n.block && n.block->size() > at ? (*n.block)[at] : 0;
}

VersionRecord ToVersionRecord(const Notification& n)
{
    VersionRecord r;
    if (!n.block)
        return r;
    const auto& b = *n.block;
    std::copy_n(b.begin(), std::min(b.size(), r.block.size()), r.block.begin());
    if (b.size() >= protocol::kVersionInfoBlock)
        r.value = static_cast<std::uint16_t>(b[100] | (b[101] << 8));
    return r;
}

protocol::DeviceConfig DecodeInto(const Notification& n, bool local)
{
    // The decoder writes into the process-wide records; each read starts
    // from a clean one so that nothing of an earlier device stays.
    protocol::DeviceConfig& record = local ? protocol::LocalConfig : protocol::RemoteConfig;
    record = {};
    const auto& b = *n.block;
    protocol::DecodeConfigReport(local, b.data() + 1, b.size() - 1);
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

QString FormatAddress(const DeviceAddress& a)
{
    return QString::asprintf("%02X%02X%02X%02X%02X%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
}

std::optional<DeviceAddress> ParseAddress(const QString& text)
{
    QString digits = text;
    digits.remove(QLatin1Char(':'));
    digits.remove(QLatin1Char('-'));
    if (digits.size() != 12)
        return std::nullopt;
    DeviceAddress a{};
    for (int i = 0; i < 6; ++i) {
        bool ok = false;
        const QString pair = digits.mid(2 * i, 2);
        if (!pair.at(0).isLetterOrNumber() || !pair.at(1).isLetterOrNumber())
            return std::nullopt;
        const uint v = pair.toUInt(&ok, 16);
        if (!ok)
            return std::nullopt;
        a[5 - i] = static_cast<std::uint8_t>(v);
    }
    return a;
}

QStringList ConfigurationLines(const protocol::DeviceConfig& c)
{
    // The COM port page reads the codes as signed bytes and shows "Unknown"
    // for anything outside its tables.
    static const std::array<const char*, 10> baud = {"300", "1200", "2400", "4800", "7200",
                                                     "9600", "19200", "38400", "57600", "115200"};
    const auto in = [](std::uint8_t v, int n) { return static_cast<std::int8_t>(v) >= 1 && static_cast<std::int8_t>(v) <= n; };
    QString format = QStringLiteral("Unknown");
    if (in(c.BaudCode, 10) && in(c.DataBitsCode, 2) && in(c.ParityCode, 3) && in(c.StopBitsCode, 2))
        format = QLatin1String(baud[c.BaudCode - 1]) + (c.DataBitsCode == 1 ? QStringLiteral(",7") : QStringLiteral(",8"))
            + QLatin1Char(',') + QLatin1Char("NOE"[c.ParityCode - 1]) + QLatin1Char(',') + QString::number(c.StopBitsCode);
    static const std::array<const char*, 3> flows = {"None", "Software", "Hardware"};
    const QString flow = in(c.FlowControlCode, 3) ? QLatin1String(flows[c.FlowControlCode - 1]) : QStringLiteral("Unknown");
    const QString role = c.InterfaceCode == 2 ? QStringLiteral("DCE") : QStringLiteral("DTE");
    QStringList lines;
    lines << QStringLiteral("Data Format  : ") + format;
    lines << QStringLiteral("Flow Control  : ") + flow;
    switch (c.DeviceFunction) {
    case 1:
        lines << QStringLiteral("Device Type : %1 Cable Replacement").arg(role);
        lines << QStringLiteral("Bonded To    : %1 as %2")
                     .arg(FormatAddress(c.BondedAddress), c.BondRole == 1 ? QStringLiteral("Master") : QStringLiteral("Slave"));
        break;
    case 2:
        lines << QStringLiteral("Device Type : %1 SPP Server").arg(role);
        break;
    default:
        lines << QStringLiteral("Device Type : Unknown");
        break;
    }
    switch (c.PowerByte & 0xF0) {
    case 0x10: lines << QStringLiteral("Power Class: 1"); break;
    case 0x20: lines << QStringLiteral("Power Class: 2"); break;
    default: lines << QStringLiteral("Power Class: Unknown"); break;
    }
    return lines;
}

QString VersionText(const VersionRecord& r, bool application)
{
    return application ? QString::fromLatin1(FieldString(r.block.data() + 6, 32))
                       : QString::fromLatin1(FieldString(r.block.data() + 38, 62));
}

Session::Session(DeviceLink& link, const Timeouts& timeouts, QTextStream& progress)
    : link_(link), t_(timeouts), progress_(progress)
{
}

Step Session::Exchange(const QString& step, int sendResult,
                       const std::function<bool(const Notification&)>& isAnswer, Millis timeout, Notification* answer)
{
    if (sendResult < 0)
        return Failure{kExitPort, QStringLiteral("%1: could not write to the port %2")
                                      .arg(step, QString::fromStdString(link_.Path()))};
    DeviceLink::Result r = link_.Await(isAnswer, timeout);
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
        return Failure{kExitRefused, QStringLiteral("%1: the device refused it with reason %2 \"%3\" (NegativeResponse %4)")
                                         .arg(step)
                                         .arg(reason)
                                         .arg(QString::fromStdString(protocol::ReasonText(reason)),
                                              PayloadHex(false, protocol::NegativeResponse, *r.notification.block, false))};
    }
    case DeviceLink::Outcome::TimedOut:
        return Failure{kExitTimedOut, QStringLiteral("%1: the device did not answer within %2 ms").arg(step).arg(timeout.count())};
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
    Notification n;
    if (auto f = Exchange(QStringLiteral("port check (GetLocalAddress)"), send.SendGetLocalAddress(),
                          [](const Notification& a) { return Is(a, protocol::MsgLocalAddress); }, t_.portCheck, &n))
        return f;
    std::copy_n(n.block->begin(), 6, localAddress_.begin());
    connected_ = true;

    if (auto f = Exchange(QStringLiteral("version (GetVersion)"), send.SendGetVersion(DeviceAddress{}),
                          [](const Notification& a) { return Is(a, protocol::MsgVersionInfo); }, t_.portCheck, &n))
        return f;
    localVersion_ = ToVersionRecord(n);
    if (!CheckApplicationVersion(*n.block))
        return Failure{kExitRefused, QStringLiteral("version (GetVersion): the device runs \"%1\": %2")
                                         .arg(VersionText(localVersion_, true), kVersionRefusal)};

    const int seq = send.SendGetConfig(DeviceAddress{});
    if (auto f = Exchange(QStringLiteral("configuration (GetConfig)"), seq,
                          [seq](const Notification& a) { return Is(a, protocol::MsgConfigReport) && (*a.block)[0] == seq; },
                          t_.portCheck, &n))
        return f;
    localConfig_ = DecodeInto(n, true);
    return std::nullopt;
}

Step Session::ReadConfig(const DeviceAddress& address, const QString& what, Millis timeout, protocol::DeviceConfig& out)
{
    const int seq = link_.Commands().SendGetConfig(address);
    Notification n;
    if (auto f = Exchange(QStringLiteral("%1 configuration (GetConfig)").arg(what), seq,
                          [seq](const Notification& a) { return Is(a, protocol::MsgConfigReport) && (*a.block)[0] == seq; },
                          timeout, &n))
        return f;
    out = DecodeInto(n, address == DeviceAddress{});
    return std::nullopt;
}

Step Session::Bond(const DeviceAddress& remote)
{
    const QString who = FormatAddress(remote);
    progress_ << "Bonding with " << who << "...\n";
    progress_.flush();
    Notification n;
    if (auto f = Exchange(QStringLiteral("bonding with %1 (InitiateBonding)").arg(who),
                          link_.Commands().SendInitiateBonding(remote),
                          [](const Notification& a) { return Is(a, protocol::MsgBondResult); }, t_.bondStep, &n))
        return f;
    if (Byte(n, 0) != 0)
        return Failure{kExitRefused, QStringLiteral("bonding with %1 (InitiateBonding): bonding has failed (BondResult %2)")
                                         .arg(who)
                                         .arg(Byte(n, 0))};
    progress_ << "Bonded to: " << who << ".  Connecting to Remote Device.\n";
    progress_.flush();
    for (int attempt = 0;; ++attempt) {
        // The device reports the link on its own; nothing is sent again.
        if (auto f = Exchange(QStringLiteral("connecting to %1 (ConnectionStatus)").arg(who), 0,
                              [](const Notification& a) { return Is(a, protocol::MsgConnectionStatus); }, t_.bondStep, &n))
            return f;
        if (Byte(n, 0) == 2)
            return std::nullopt;
        if (attempt + 1 >= t_.connectionRetries)
            return Failure{kExitRefused, QStringLiteral("connecting to %1 (ConnectionStatus): the device reported %2 times that the link is not up (status %3)")
                                             .arg(who)
                                             .arg(attempt + 1)
                                             .arg(Byte(n, 0))};
        progress_ << "Connection Error.. Retrying.\n";
        progress_.flush();
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
    if (auto f = Exchange(QStringLiteral("remote %1 version (GetVersion)").arg(who), link_.Commands().SendGetVersion(remote),
                          [](const Notification& a) { return Is(a, protocol::MsgVersionInfo); }, t_.bondStep, &n))
        return f;
    version = ToVersionRecord(n);
    if (!CheckApplicationVersion(*n.block)) {
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
    const int sent = link_.Commands().SendInitiateInquiry();
    if (sent < 0)
        return Exchange(QStringLiteral("inquiry (InitiateInquiry)"), sent, {}, Millis{0});
    progress_ << "Inquiry in progress...\n";
    progress_.flush();
    for (;;) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        // The inquiry's end is its time-out: devices found by then are the answer.
        if (left.count() <= 0)
            break;
        // Woken once a second to show that the search goes on, as the page's progress bar does.
        const Millis slice = std::min(left, Millis{1000});
        DeviceLink::Result r = link_.Await(
            [](const Notification& a) {
                return a.message == protocol::MsgInquiryComplete || Is(a, protocol::MsgInquiryResult);
            },
            slice);
        if (r.outcome == DeviceLink::Outcome::TimedOut) {
            if (slice == left)
                break;
            const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(t_.inquiry - left + slice);
            progress_ << "  " << elapsed.count() << " s of " << std::chrono::duration_cast<std::chrono::seconds>(t_.inquiry).count()
                      << " s, " << found.size() << " device(s) so far\n";
            progress_.flush();
            continue;
        }
        if (r.outcome != DeviceLink::Outcome::Answer)
            return Failed(QStringLiteral("inquiry (InitiateInquiry)"), r, t_.inquiry);
        if (r.notification.message == protocol::MsgInquiryComplete)
            break;
        const auto& b = *r.notification.block;
        FoundDevice d;
        std::copy_n(b.begin(), 6, d.address.begin());
        d.name = QString::fromLatin1(FieldString(b.data() + 9, b.size() - 9));
        if (std::none_of(found.begin(), found.end(), [&](const FoundDevice& f) { return f.address == d.address; })) {
            progress_ << "  found " << FormatAddress(d.address) << "  " << d.name << '\n';
            progress_.flush();
            found.push_back(d);
        }
    }
    progress_ << "Inquiry complete. " << found.size() << " new device(s) found.\n";
    progress_.flush();
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
    std::uint8_t cd = s.cdOutput ? (*s.cdOutput ? 1 : 0) : current.OutputOnCD;
    if (s.interfaceCode != 2)
        cd = 0;  // a DTE has no CD output to drive
    return std::make_pair(static_cast<std::uint8_t>(powerClass | level), cd);
}

Step Session::SetPort(const DeviceAddress& address, const QString& what, const PortSettings& s,
                      const protocol::DeviceConfig& current)
{
    auto extras = PortExtras(what, s, current);
    if (auto* f = std::get_if<Failure>(&extras))
        return *f;
    const auto [power, cd] = std::get<0>(extras);
    protocol::CommandSender& send = link_.Commands();
    const int sent = address == DeviceAddress{}
        ? send.SendSetLocalPortConfig(s.interfaceCode, s.baud, s.dataBits, s.stopBits, s.parity, s.flow, power, cd)
        : send.SendSetRemotePortConfig(s.interfaceCode, s.baud, address, s.dataBits, s.stopBits, s.parity, s.flow, power, cd);
    return Exchange(QStringLiteral("%1 port settings (SetPortConfig)").arg(what), sent,
                    [](const Notification& a) { return Is(a, protocol::MsgConfirmation) && (*a.block)[0] == protocol::SetPortConfig; },
                    t_.portSettings);
}

Step Session::SetDevice(const DeviceSettings& s, const protocol::DeviceConfig& current)
{
    const std::string name = s.name.value_or(FieldString(current.DeviceName.data(), current.DeviceName.size()));
    const std::string pin = s.pin.value_or(FieldString(current.PinCode.data(), current.PinCode.size()));
    const bool authentication = s.authentication.value_or(current.Authentication != 0);
    const bool encryption = s.encryption.value_or(current.Encryption != 0);
    // The wizard offers 0..40; a larger value held by the device is sent as the dialog would clamp it.
    const std::uint8_t linkTimeout = s.linkTimeout.value_or(static_cast<std::uint8_t>(std::min<int>(current.LinkTimeout, 40)));
    if (authentication && pin.empty())
        return Failure{kExitUsage, QStringLiteral("local.pin: authentication is on but neither the profile nor the device holds a PIN")};
    std::array<std::uint8_t, 16> pinField{};
    std::copy_n(pin.begin(), std::min<std::size_t>(pin.size(), 15), pinField.begin());
    const int sent = link_.Commands().SendSetDeviceConfig(linkTimeout, name, authentication, encryption, pinField,
                                                          s.resetLinkKeys);
    return Exchange(QStringLiteral("local device settings (SetDeviceConfig)"), sent,
                    [](const Notification& a) { return Is(a, protocol::MsgConfirmation) && (*a.block)[0] == protocol::SetDeviceConfig; },
                    t_.deviceSettingsTick * t_.deviceSettingsTicks);
}

Step Session::Flash()
{
    return Exchange(QStringLiteral("save to flash (UpdateFlash)"), link_.Commands().SendUpdateFlash(),
                    [](const Notification& a) { return Is(a, protocol::MsgConfirmation) && (*a.block)[0] == protocol::UpdateFlash; },
                    t_.flash);
}

void Session::AbortIfConnected()
{
    if (connected_ && link_.IsOpen())
        link_.Commands().SendAbort();
    connected_ = false;
}

}  // namespace vtrl::ctl
