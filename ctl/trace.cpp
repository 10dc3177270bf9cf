#include "ctl/trace.h"
#include "ctl/profile.h"
#include "protocol/params.h"
#include "protocol/rules.h"
#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/payloads.h"

#include <QFileDevice>
#include <QTime>

#include <algorithm>

namespace vtrl::ctl {

namespace {

QString Address(const DeviceAddress& a)
{
    return QString::fromStdString(protocol::FormatAddress(a));
}

QString AddressField(const DeviceAddress& a)
{
    return a == DeviceAddress{} ? QStringLiteral("address=%1 (attached device)").arg(Address(a))
                                : QStringLiteral("address=%1").arg(Address(a));
}

QString Latin1(const std::string& text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString FrameTypeName(bool sent, std::uint8_t type)
{
    const std::string name = sent ? protocol::CommandName(type) : protocol::ResponseName(type);
    return name.starts_with("type ") ? QStringLiteral("Type%1").arg(type) : QString::fromStdString(name);
}

namespace {

QString SentFields(std::uint8_t type, std::span<const std::uint8_t> p, bool showPin)
{
    using namespace protocol;
    const auto flag = [](bool v) { return QString::number(v ? 1 : 0); };
    {
        switch (type) {
        case InitiateBonding:
        case PingRequest:
        case GetConfig:
        case GetVersion:
            return p.size() < 6 ? QStringLiteral("address=?") : AddressField(UnitOf(static_cast<CommandType>(type), p));
        case SetPortConfig: {
            const auto c = PortConfigCommand::Decode(p);
            if (!c)
                break;
            const protocol::PortSettings& w = c->settings;
            return AddressField(c->unit)
                + QStringLiteral(" baud=%1 dataBits=%2 stopBits=%3 parity=%4 role=%5 flow=%6 power=0x%7 (level %8) cdOutput=%9")
                      .arg(BaudText(w.baud), w.dataBits == 1   ? QStringLiteral("7")
                                             : w.dataBits == 2 ? QStringLiteral("8")
                                                               : QStringLiteral("code %1").arg(w.dataBits))
                      .arg(w.stopBits)
                      .arg(ParityText(w.parity), RoleText(w.interfaceCode), FlowText(w.flowControl))
                      .arg(w.powerByte, 2, 16, QLatin1Char('0'))
                      .arg(w.powerByte & 0x0F)
                      .arg(w.cdOutput);
        }
        case SetDeviceConfig: {
            const auto d = protocol::DeviceSettings::Decode(p);
            if (!d)
                break;
            return QStringLiteral("name=\"%1\" linkTimeout=%2 encryption=%3 authentication=%4 pin=%5 resetLinkKeys=%6")
                .arg(Latin1(d->name))
                .arg(d->linkTimeout)
                .arg(flag(d->encryption), flag(d->authentication),
                     showPin ? QStringLiteral("\"%1\"").arg(Latin1(FieldText(d->pin.data(), d->pin.size())))
                             : QStringLiteral("(hidden)"),
                     flag(d->resetLinkKeys));
        }
        case Abort:
            return p.empty() ? QString() : QStringLiteral("code=%1").arg(p[0]);
        default:
            break;
        }
        return QString();
    }
}

QString ReceivedFields(std::uint8_t type, std::span<const std::uint8_t> p, bool showPin)
{
    using namespace protocol;
    switch (type) {
    case NegativeResponse: {
        const auto r = RefusalPayload::Decode(p);
        if (!r)
            break;
        return QStringLiteral("command=%1 reason=%2 \"%3\"")
            .arg(FrameTypeName(true, r->first))
            .arg(r->reason)
            .arg(QString::fromStdString(r->ReasonText()));
    }
    case Confirmation: {
        const auto named = FirstByte(p);
        return named ? QStringLiteral("command=%1").arg(FrameTypeName(true, *named)) : QString();
    }
    case LocalAddress: {
        const auto a = DecodeLocalAddress(p);
        return QStringLiteral("address=%1").arg(a ? Address(*a) : QStringLiteral("?"));
    }
    case InquiryResult: {
        const auto f = InquiryResultPayload::Decode(p);
        return f ? QStringLiteral("address=%1 name=\"%2\"").arg(Address(f->address), Latin1(f->name))
                 : QStringLiteral("address=?");
    }
    case BondResult: {
        const auto r = FirstByte(p);
        return r ? QStringLiteral("result=%1 (%2)").arg(*r).arg(*r == 0 ? QStringLiteral("bonded") : QStringLiteral("failed"))
                 : QString();
    }
    case ConnectionStatus: {
        const auto s = FirstByte(p);
        return s ? QStringLiteral("status=%1 (%2)").arg(*s).arg(*s == kLinkUp ? QStringLiteral("connected") : QStringLiteral("not connected"))
                 : QString();
    }
    case VersionInfo: {
        const VersionRecord v = ToVersionRecord(p);
        return QStringLiteral("application=\"%1\" bluetooth=\"%2\"").arg(Latin1(ApplicationVersionText(v)), Latin1(BluetoothVersionText(v)));
    }
    case ConfigReport: {
        const auto r = ConfigReportPayload::Decode(p);
        if (!r)
            break;
        const DeviceConfig& c = r->config;
        QString s = QStringLiteral("answers=%1 function=\"%2\" baud=%3 dataBits=%4 parity=%5 stopBits=%6 flow=%7 role=%8")
                        .arg(r->sequence)
                        .arg(FunctionText(c.DeviceFunction), BaudText(c.BaudCode))
                        .arg(c.DataBitsCode == 1 ? 7 : c.DataBitsCode == 2 ? 8 : 0)
                        .arg(ParityText(c.ParityCode))
                        .arg(c.StopBitsCode)
                        .arg(FlowText(c.FlowControlCode), RoleText(c.InterfaceCode));
        s += QStringLiteral(" name=\"%1\" linkTimeout=%2 bondRole=%3 bondedTo=%4 power=0x%5 encryption=%6 authentication=%7 pin=%8 cdOutput=%9")
                 .arg(Latin1(FieldText(c.DeviceName.data(), c.DeviceName.size())))
                 .arg(c.LinkTimeout)
                 .arg(c.BondRole == 1 ? QStringLiteral("Master") : QStringLiteral("Slave"))
                 .arg(Address(c.BondedAddress))
                 .arg(c.PowerByte, 2, 16, QLatin1Char('0'))
                 .arg(c.Encryption)
                 .arg(c.Authentication)
                 .arg(showPin ? QStringLiteral("\"%1\"").arg(Latin1(FieldText(c.PinCode.data(), c.PinCode.size())))
                              : QStringLiteral("(hidden)"))
                 .arg(c.OutputOnCD);
        return s;
    }
    default:
        break;
    }
    return QString();
}

}  // namespace

QString FrameFields(bool sent, std::uint8_t type, std::span<const std::uint8_t> p, bool showPin)
{
    return sent ? SentFields(type, p, showPin) : ReceivedFields(type, p, showPin);
}

QString PayloadHex(bool sent, std::uint8_t type, std::span<const std::uint8_t> p, bool showPin)
{
    std::size_t hideFrom = 0, hideTo = 0;
    if (!showPin)
        std::tie(hideFrom, hideTo) = protocol::PinBytes(sent, type, p);
    QString out;
    out.reserve(static_cast<qsizetype>(p.size() * 3));
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (i > 0)
            out += QLatin1Char(' ');
        if (i >= hideFrom && i < hideTo)
            out += QStringLiteral("**");
        else
            out += QString::asprintf("%02X", p[i]);
    }
    return out;
}

void Trace::Line(const QString& text)
{
    QTextStream& t = *out_;
    t << QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) << QStringLiteral(" +%1ms ").arg(clock_.elapsed(), 5)
      << text << '\n';
    t.flush();
    if (t.status() != QTextStream::Ok && writeError_.isEmpty()) {
        const auto* file = qobject_cast<QFileDevice*>(t.device());
        writeError_ = file && file->error() != QFileDevice::NoError ? file->errorString() : QStringLiteral("write failed");
    }
}

void Trace::Frame(bool sent, std::uint8_t type, std::uint8_t sequence, std::span<const std::uint8_t> payload)
{
    if (!out_)
        return;
    QString line = (sent ? QStringLiteral("TX ") : QStringLiteral("RX "))
        + QStringLiteral("%1 seq=%2 len=%3").arg(FrameTypeName(sent, type), -16).arg(sequence, 3).arg(payload.size(), 3);
    if (!payload.empty())
        line += QStringLiteral(" [") + PayloadHex(sent, type, payload, showPin_) + QLatin1Char(']');
    const QString fields = FrameFields(sent, type, payload, showPin_);
    if (!fields.isEmpty())
        line += QLatin1Char(' ') + fields;
    Line(line);
}

void Trace::Refused(const protocol::Packet& f)
{
    if (!out_)
        return;
    const std::span<const std::uint8_t> payload(f.payload.data(), f.length);
    // The bytes as they came, PIN masked as for a good frame: a garbled
    // report may still carry it.
    QString line = QStringLiteral("RX %1 seq=%2 len=%3").arg(QStringLiteral("(bad CRC)"), -16).arg(f.sequence, 3).arg(f.length, 3);
    line += QStringLiteral(" type=%1 (%2)").arg(f.type).arg(FrameTypeName(false, f.type));
    if (!payload.empty())
        line += QStringLiteral(" [") + PayloadHex(false, f.type, payload, showPin_) + QLatin1Char(']');
    line += QStringLiteral(" crc=%1, dropped").arg(f.crc, 8, 16, QLatin1Char('0'));
    Line(line);
}


}  // namespace vtrl::ctl
