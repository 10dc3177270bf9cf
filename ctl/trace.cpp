#include "ctl/trace.h"
#include "ctl/profile.h"
#include "protocol/params.h"
#include "protocol/rules.h"
#include "protocol/commands.h"
#include "protocol/delivery.h"

#include <QFileDevice>
#include <QTime>

#include <algorithm>

namespace vtrl::ctl {

namespace {

constexpr std::uint8_t kPinTag = 17;

QString Address(std::span<const std::uint8_t> p, std::size_t at = 0)
{
    if (p.size() < at + 6)
        return QStringLiteral("?");
    return QString::asprintf("%02X%02X%02X%02X%02X%02X", p[at + 5], p[at + 4], p[at + 3], p[at + 2], p[at + 1], p[at]);
}

QString AddressField(std::span<const std::uint8_t> p)
{
    const QString a = Address(p);
    return a == QLatin1String("000000000000") ? QStringLiteral("address=%1 (attached device)").arg(a)
                                              : QStringLiteral("address=%1").arg(a);
}

QString Text(std::span<const std::uint8_t> p, std::size_t at, std::size_t size)
{
    if (p.size() <= at)
        return QString();
    return QString::fromLatin1(protocol::FieldText(p.data() + at, std::min(size, p.size() - at)));
}

// Where the PIN's value lies inside a ConfigReport's parameter block.
std::pair<std::size_t, std::size_t> PinSpan(std::span<const std::uint8_t> p)
{
    std::size_t at = 1;
    while (at + 2 <= p.size() && p[at] != 0 && p[at + 1] != 0) {
        const std::size_t n = p[at + 1];
        if (p[at] == kPinTag)
            return {at + 2, std::min(at + 2 + n, p.size())};
        at += 2 + n;
    }
    return {0, 0};
}

protocol::DeviceConfig DecodeReport(std::span<const std::uint8_t> p)
{
    protocol::DeviceConfig c{};
    if (p.size() > 1)
        protocol::DecodeConfig(c, p.data() + 1, p.size() - 1);
    return c;
}

}  // namespace

QString FrameTypeName(bool sent, std::uint8_t type)
{
    using namespace protocol;
    if (sent) {
        switch (type) {
        case GetLocalAddress: return QStringLiteral("GetLocalAddress");
        case InitiateInquiry: return QStringLiteral("InitiateInquiry");
        case InitiateBonding: return QStringLiteral("InitiateBonding");
        case SetPortConfig: return QStringLiteral("SetPortConfig");
        case SetDeviceConfig: return QStringLiteral("SetDeviceConfig");
        case PingRequest: return QStringLiteral("PingRequest");
        case Abort: return QStringLiteral("Abort");
        case UpdateFlash: return QStringLiteral("UpdateFlash");
        case GetConfig: return QStringLiteral("GetConfig");
        case GetVersion: return QStringLiteral("GetVersion");
        default: break;
        }
    } else {
        switch (type) {
        case NegativeResponse: return QStringLiteral("NegativeResponse");
        case Confirmation: return QStringLiteral("Confirmation");
        case LocalAddress: return QStringLiteral("LocalAddress");
        case InquiryResult: return QStringLiteral("InquiryResult");
        case InquiryComplete: return QStringLiteral("InquiryComplete");
        case BondResult: return QStringLiteral("BondResult");
        case ConnectionStatus: return QStringLiteral("ConnectionStatus");
        case ConfigReport: return QStringLiteral("ConfigReport");
        case VersionInfo: return QStringLiteral("VersionInfo");
        default: break;
        }
    }
    return QStringLiteral("Type%1").arg(type);
}

QString FrameFields(bool sent, std::uint8_t type, std::span<const std::uint8_t> p, bool showPin)
{
    using namespace protocol;
    const auto flag = [](std::uint8_t v) { return QString::number(v); };
    if (sent) {
        switch (type) {
        case InitiateBonding:
        case PingRequest:
        case GetConfig:
        case GetVersion:
            return AddressField(p);
        case SetPortConfig:
            if (p.size() < 14)
                break;
            return AddressField(p)
                + QStringLiteral(" baud=%1 dataBits=%2 stopBits=%3 parity=%4 role=%5 flow=%6 power=0x%7 (level %8) cdOutput=%9")
                      .arg(BaudText(p[6]), p[7] == 1 ? QStringLiteral("7") : p[7] == 2 ? QStringLiteral("8") : QStringLiteral("code %1").arg(p[7]))
                      .arg(p[8])
                      .arg(ParityText(p[9]), RoleText(p[10]), FlowText(p[11]))
                      .arg(p[12], 2, 16, QLatin1Char('0'))
                      .arg(p[12] & 0x0F)
                      .arg(p[13]);
        case SetDeviceConfig:
            if (p.size() < 51)
                break;
            return QStringLiteral("name=\"%1\" linkTimeout=%2 encryption=%3 authentication=%4 pin=%5 resetLinkKeys=%6")
                .arg(Text(p, 0, 30))
                .arg(p[30] | (p[31] << 8))
                .arg(flag(p[32]), flag(p[33]),
                     showPin ? QStringLiteral("\"%1\"").arg(Text(p, 34, 16)) : QStringLiteral("(hidden)"), flag(p[50]));
        case Abort:
            return p.empty() ? QString() : QStringLiteral("code=%1").arg(p[0]);
        default:
            break;
        }
        return QString();
    }
    switch (type) {
    case NegativeResponse:
        if (p.size() < 2)
            break;
        return QStringLiteral("command=%1 reason=%2 \"%3\"")
            .arg(FrameTypeName(true, p[0]))
            .arg(p[1])
            .arg(QString::fromStdString(ReasonText(p[1])));
    case Confirmation:
        return p.empty() ? QString() : QStringLiteral("command=%1").arg(FrameTypeName(true, p[0]));
    case LocalAddress:
        return QStringLiteral("address=%1").arg(Address(p));
    case InquiryResult:
        return QStringLiteral("address=%1 name=\"%2\"").arg(Address(p), Text(p, 9, 248));
    case BondResult:
        return p.empty() ? QString() : QStringLiteral("result=%1 (%2)").arg(p[0]).arg(p[0] == 0 ? QStringLiteral("bonded") : QStringLiteral("failed"));
    case ConnectionStatus:
        return p.empty() ? QString()
                         : QStringLiteral("status=%1 (%2)").arg(p[0]).arg(p[0] == 2 ? QStringLiteral("connected") : QStringLiteral("not connected"));
    case VersionInfo:
        return QStringLiteral("application=\"%1\" bluetooth=\"%2\"").arg(Text(p, 6, 32), Text(p, 38, 62));
    case ConfigReport: {
        if (p.empty())
            break;
        const DeviceConfig c = DecodeReport(p);
        QString s = QStringLiteral("answers=%1 function=\"%2\" baud=%3 dataBits=%4 parity=%5 stopBits=%6 flow=%7 role=%8")
                        .arg(p[0])
                        .arg(FunctionText(c.DeviceFunction), BaudText(c.BaudCode))
                        .arg(c.DataBitsCode == 1 ? 7 : c.DataBitsCode == 2 ? 8 : 0)
                        .arg(ParityText(c.ParityCode))
                        .arg(c.StopBitsCode)
                        .arg(FlowText(c.FlowControlCode), RoleText(c.InterfaceCode));
        s += QStringLiteral(" name=\"%1\" linkTimeout=%2 bondRole=%3 bondedTo=%4 power=0x%5 encryption=%6 authentication=%7 pin=%8 cdOutput=%9")
                 .arg(QString::fromLatin1(protocol::FieldText(c.DeviceName.data(), c.DeviceName.size())))
                 .arg(c.LinkTimeout)
                 .arg(c.BondRole == 1 ? QStringLiteral("Master") : QStringLiteral("Slave"))
                 .arg(Address(c.BondedAddress))
                 .arg(c.PowerByte, 2, 16, QLatin1Char('0'))
                 .arg(c.Encryption)
                 .arg(c.Authentication)
                 .arg(showPin ? QStringLiteral("\"%1\"").arg(QString::fromLatin1(protocol::FieldText(c.PinCode.data(), c.PinCode.size())))
                              : QStringLiteral("(hidden)"))
                 .arg(c.OutputOnCD);
        return s;
    }
    default:
        break;
    }
    return QString();
}

QString PayloadHex(bool sent, std::uint8_t type, std::span<const std::uint8_t> p, bool showPin)
{
    std::size_t hideFrom = 0, hideTo = 0;
    if (!showPin) {
        if (sent && type == protocol::SetDeviceConfig && p.size() >= 50) {
            hideFrom = 34;
            hideTo = 50;
        } else if (!sent && type == protocol::ConfigReport) {
            std::tie(hideFrom, hideTo) = PinSpan(p);
        }
    }
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
