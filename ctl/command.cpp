#include "ctl/command.h"
#include "ctl/ports_list.h"
#include "ctl/stop.h"

#include "holders.h"
#include "portnames.h"
#include "probe.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QSysInfo>
#include <QJsonDocument>
#include <QRegularExpression>

namespace vtrl::ctl {

std::variant<PortChoice, QString> ResolvePort(const QString& text)
{
    if (text.isEmpty())
        return QStringLiteral("--port is missing: give a COM number (3, COM3) or a device path");
    QString digits = text;
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    bool isNumber = false;
    const uint n = digits.toUInt(&isNumber);
    const auto numbered = [](std::uint32_t k, const std::string& path) {
        return PortChoice{k, path, QStringLiteral("COM Port %1 (%2)").arg(k).arg(QString::fromStdString(path))};
    };
    if (isNumber) {
        if (n < 1 || n > serial::kLastPort)
            return QStringLiteral("--port %1: COM numbers run from 1 to %2").arg(text).arg(serial::kLastPort);
        const std::string path = serial::PortDevicePath(n);
        if (path.empty())
            return QStringLiteral("--port %1: COM %2 names no device (see vtrlctl ports)").arg(text).arg(n);
        return numbered(n, path);
    }
    if (!PathsNamePorts()) {
        if (const std::uint32_t k = serial::TablePortNumber(text.toStdString()); k != 0)
            return numbered(k, serial::PortDevicePath(k));
        return QStringLiteral("--port %1: on Windows a port is named by its COM number (3, COM3 or \\\\.\\COM3)").arg(text);
    }
    // A bare device name is one under /dev.
    const std::string path = text.contains(QLatin1Char('/')) ? text.toStdString() : "/dev/" + text.toStdString();
    for (std::uint32_t k = 1; k < serial::kFirstRegisteredPort; ++k)
        if (serial::PortDevicePath(k) == path)
            return numbered(k, path);
    // One device has one name however it is reached: a path that leads to a
    // port of VTRLCFG_PORTS is that port.
    const std::string device = serial::RealDevice(path);
    const QStringList listed = qEnvironmentVariable("VTRLCFG_PORTS").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (std::uint32_t k = serial::kFirstRegisteredPort; k <= serial::kLastPort; ++k) {
        const std::string registered = serial::PortDevicePath(k);
        if (registered.empty())
            break;
        if (listed.contains(QString::fromStdString(registered)) && (registered == path || serial::RealDevice(registered) == device))
            return numbered(k, registered);
    }
    const std::uint32_t k = serial::RegisterPortPath(path);
    if (k == 0)
        return QStringLiteral("--port %1: no free COM number is left for it").arg(text);
    if (k < serial::kFirstRegisteredPort)
        return numbered(k, serial::PortDevicePath(k));
    // Not a numbered port: the number is the driver's own business.
    PortChoice choice{k, path, QString::fromStdString(path)};
    if (device != path)
        choice.name += QStringLiteral(" (%1)").arg(QString::fromStdString(device));
    return choice;
}

QString PortName(const PortChoice& p)
{
    return p.name.isEmpty() ? QStringLiteral("COM Port %1 (%2)").arg(p.number).arg(QString::fromStdString(p.path)) : p.name;
}

QString Text(const std::string& text) { return QString::fromStdString(text); }

QString JoinHint(const std::string& group)
{
    return QStringLiteral("%1 (sudo adduser $USER %2, then log in again)").arg(Text(serial::JoinGroupText(group)), Text(group));
}


QJsonObject ProfileObject(const Profile& p) { return QJsonDocument::fromJson(ProfileJson(p)).object(); }

QJsonObject LocalSectionJson(const protocol::DeviceConfig& config)
{
    QStringList ignored;
    return ProfileObject(ProfileFromConfig(config, nullptr, false, ignored)).value(QStringLiteral("local")).toObject();
}

QJsonObject UnitJson(const DeviceAddress& address, const VersionRecord& version)
{
    return QJsonObject{{QStringLiteral("address"), FormatAddress(address)},
                       {QStringLiteral("applicationVersion"), VersionText(version, true)},
                       {QStringLiteral("bluetoothVersion"), VersionText(version, false)}};
}

QString ResultWord(const Failure& f)
{
    if (f.signal != 0)
        return QStringLiteral("stopped by %1").arg(QLatin1String(stop::Name(f.signal)));
    if (f.garbled)
        return QStringLiteral("bad checksum");
    switch (f.code) {
    case kExitUsage: return QStringLiteral("does not fit");
    case kExitPort: return QStringLiteral("port error");
    case kExitRefused: return QStringLiteral("refused");
    case kExitTimedOut: return QStringLiteral("no answer");
    case kExitMismatch: return QStringLiteral("mismatch");
    default: break;
    }
    return QStringLiteral("failed");
}

QString Listed(const QStringList& items)
{
    if (items.size() <= 1)
        return items.join(QString());
    return items.mid(0, items.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + items.back();
}

QString StreamError(const QTextStream& s)
{
    const auto* file = qobject_cast<const QFileDevice*>(s.device());
    return file && file->error() != QFileDevice::NoError ? file->errorString() : QStringLiteral("write failed");
}

QJsonObject MaskedProfile(const Profile& p)
{
    Profile masked = p;
    if (masked.device.pin)
        masked.device.pin = "********";
    return ProfileObject(masked);
}

Command::Command(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
    : parser_(parser), out_(out), err_(err), t_(t)
{
    quiet_ = parser_.isSet(QStringLiteral("quiet"));
    verbose_ = parser_.isSet(QStringLiteral("verbose"));
    clock_.start();
}

Command::~Command() = default;

int Command::Run()
{
    int code = Execute();
    // What the trace could not hold is lost; the command itself went on.
    if (trace_ && !trace_->WriteError().isEmpty()) {
        where_.clear();
        code = Error(code == kExitDone ? kExitFailure : code,
                     QStringLiteral("cannot write the trace %1: %2; the trace is incomplete")
                         .arg(parser_.value(QStringLiteral("trace")), trace_->WriteError()));
    }
    return code;
}

int Command::Error(int code, const QString& text)
{
    err_ << "vtrlctl: ";
    if (where_.isEmpty()) {
        err_ << text << '\n';
    } else {
        // Every line names the port: runs in parallel share one terminal.
        const QStringList lines = text.split(QLatin1Char('\n'));
        err_ << where_ << ": " << lines.front() << '\n';
        for (qsizetype i = 1; i < lines.size(); ++i)
            err_ << where_ << ": " << lines.at(i) << '\n';
    }
    err_.flush();
    return code;
}
int Command::Stop(const Failure& f)
{
    session_->AbortIfConnected();
    return Error(f.code, f.text);
}
void Command::Progress(const QString& text)
{
    if (quiet_)
        return;
    if (!where_.isEmpty())
        err_ << where_ << ": ";
    err_ << text << '\n';
    err_.flush();
}

std::optional<int> Command::OpenTrace()
{
    const QString where = parser_.value(QStringLiteral("trace"));
    if (where.isEmpty()) {
        trace_ = std::make_unique<Trace>();
        return std::nullopt;
    }
    const bool showPin = parser_.isSet(QStringLiteral("include-pin"));
    if (where == QLatin1String("-")) {
        trace_ = std::make_unique<Trace>(&err_, showPin);
        return std::nullopt;
    }
    traceFile_ = std::make_unique<QFile>(where);
    if (!traceFile_->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return Error(kExitFailure, QStringLiteral("cannot write the trace %1: %2").arg(where, traceFile_->errorString()));
    if (showPin)
        traceFile_->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    traceStream_ = std::make_unique<QTextStream>(traceFile_.get());
    trace_ = std::make_unique<Trace>(traceStream_.get(), showPin);
    return std::nullopt;
}

std::optional<int> Command::ResolveThePort()
{
    auto choice = ResolvePort(parser_.value(QStringLiteral("port")));
    if (auto* text = std::get_if<QString>(&choice))
        return Error(kExitUsage, *text);
    port_ = std::get<PortChoice>(choice);
    return std::nullopt;
}

std::optional<int> Command::OpenDevice()
{
    if (port_.number == 0)
        if (auto code = ResolveThePort())
            return code;
    // From here on a signal is answered by telling the device, not by dying.
    if (StopSignalsWanted())
        stop::Catch();
    link_ = std::make_unique<DeviceLink>(*trace_);
    if (const std::int32_t rc = link_->Open(port_.number, port_.path); rc != 0) {
        // The driver's own account of the open: probing again would open
        // the port a second time, and another program may have let go.
        const serial::PortProbe probe = serial::LastOpenFailure();
        QString why = Text(probe.detail);
        if (probe.outcome == serial::PortProbe::Outcome::Opened || why.isEmpty())
            why = QStringLiteral("driver result %1").arg(rc);
        switch (probe.outcome) {
        case serial::PortProbe::Outcome::InUse: {
            const QString who = Text(serial::HolderText(probe.holder));
            why = QStringLiteral("in use by ") + (who.isEmpty() ? QStringLiteral("another program") : who);
            break;
        }
        case serial::PortProbe::Outcome::Denied:
            why += QStringLiteral("; ") + (probe.joinGroup.empty() ? QStringLiteral("is the user in the dialout group?") : JoinHint(probe.joinGroup));
            break;
        case serial::PortProbe::Outcome::Missing:
            why += QStringLiteral("; vtrlctl ports lists the ports there are");
            break;
        default:
            break;
        }
        openFailure_ = Failure{kExitPort, QStringLiteral("cannot open %1: %2").arg(PortName(port_), why)};
        return Error(openFailure_->code, openFailure_->text);
    }
    where_ = PortName(port_);
    session_ = std::make_unique<Session>(*link_, t_, SessionProgress(), where_);
    return std::nullopt;
}

std::optional<DeviceAddress> Command::RemoteOption(bool& bad)
{
    bad = false;
    if (!parser_.isSet(QStringLiteral("remote")))
        return std::nullopt;
    auto a = ParseAddress(parser_.value(QStringLiteral("remote")));
    if (!a || *a == DeviceAddress{}) {
        bad = true;
        Error(kExitUsage, QStringLiteral("--remote %1: give the remote device's address as 12 hex digits")
                              .arg(parser_.value(QStringLiteral("remote"))));
        return std::nullopt;
    }
    return a;
}

QJsonObject Command::PortJson() const
{
    return QJsonObject{{QStringLiteral("port"), static_cast<int>(port_.number)},
                       {QStringLiteral("path"), QString::fromStdString(port_.path)}};
}

QTextStream& Command::SessionProgress()
{
    if (!quiet_)
        return err_;
    if (!silent_) {
        nowhere_ = std::make_unique<Nowhere>();
        silent_ = std::make_unique<QTextStream>(nowhere_.get());
    }
    return *silent_;
}

RemoteChoice Command::RemoteChoiceOption(bool& bad)
{
    bad = false;
    if (parser_.isSet(QStringLiteral("remote")) && parser_.value(QStringLiteral("remote")) == QLatin1String("bonded"))
        return RemoteChoice{RemoteChoice::Kind::Bonded, {}};
    const auto address = RemoteOption(bad);
    return address ? RemoteChoice{RemoteChoice::Kind::Address, *address} : RemoteChoice{};
}

std::variant<Profile, int> Command::LoadTheProfile(const QString& name)
{
    QFile file;
    const bool stdinput = name == QLatin1String("-");
    profileName_ = stdinput ? QStringLiteral("standard input") : name;
    if (stdinput ? !file.open(stdin, QIODevice::ReadOnly) : (file.setFileName(name), !file.open(QIODevice::ReadOnly)))
        return Error(kExitUsage, QStringLiteral("cannot read the profile %1: %2").arg(profileName_, file.errorString()));
    // A profile is a few hundred bytes; a device node such as /dev/zero never ends.
    QByteArray text;
    while (text.size() <= kProfileMaxBytes) {
        const QByteArray part = file.read(kProfileMaxBytes + 1 - text.size());
        if (part.isEmpty())
            break;
        text += part;
    }
    if (text.size() > kProfileMaxBytes)
        return Error(kExitUsage, QStringLiteral("%1: larger than %2 bytes, so not a profile").arg(profileName_).arg(kProfileMaxBytes));
    auto loaded = LoadProfile(text);
    if (auto* why = std::get_if<QString>(&loaded))
        return Error(kExitUsage, QStringLiteral("%1: %2").arg(profileName_, *why));
    return std::get<Profile>(loaded);
}

std::variant<QMap<QString, QString>, QString> ParseLabels(const QStringList& values)
{
    static const QRegularExpression key(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$"));
    QMap<QString, QString> labels;
    for (const QString& v : values) {
        const qsizetype eq = v.indexOf(QLatin1Char('='));
        if (eq <= 0 || !key.match(v.left(eq)).hasMatch())
            return QStringLiteral("--label %1: give key=value, the key of letters, digits, '_', '.' or '-'").arg(v);
        if (labels.contains(v.left(eq)))
            return QStringLiteral("--label %1: the key %2 is given twice").arg(v, v.left(eq));
        labels.insert(v.left(eq), v.mid(eq + 1));
    }
    return labels;
}

QString HostName()
{
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

QString ProfileHash(const Profile& p)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(QJsonDocument(MaskedProfile(p)).toJson(QJsonDocument::Compact), QCryptographicHash::Sha256).toHex());
}

std::optional<int> Command::OpenRecord()
{
    auto labels = ParseLabels(parser_.values(QStringLiteral("label")));
    if (auto* why = std::get_if<QString>(&labels))
        return Error(kExitUsage, *why);
    labels_ = std::get<QMap<QString, QString>>(labels);
    const QString where = parser_.isSet(QStringLiteral("record")) ? parser_.value(QStringLiteral("record")) : record::DefaultLocation();
    if (record::IsOff(where))
        return std::nullopt;
    QString error;
    record_ = record::Store::Open(where, error);
    if (!record_)
        return Error(kExitFailure, QStringLiteral("cannot open the record %1: %2").arg(where, error));
    return std::nullopt;
}

std::optional<int> Command::AppendRecord(const QJsonObject& run, int code)
{
    if (!record_)
        return std::nullopt;
    const QString why = record_->Append(run);
    if (why.isEmpty())
        return std::nullopt;
    where_.clear();
    return Error(code == kExitDone ? kExitFailure : code,
                 QStringLiteral("cannot append to the record %1: %2; this run is not in it").arg(record_->Name(), why));
}

QJsonObject Command::RunRecord(const QString& program, const Profile& profile, const QString& profileFile) const
{
    QJsonObject labels;
    for (auto it = labels_.cbegin(); it != labels_.cend(); ++it)
        labels[it.key()] = it.value();
    return QJsonObject{
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("program"), program},
        {QStringLiteral("station"), labels_.value(QStringLiteral("station"), HostName())},
        {QStringLiteral("host"), HostName()},
        {QStringLiteral("labels"), labels},
        {QStringLiteral("port"), PortName(port_)},
        {QStringLiteral("path"), QString::fromStdString(port_.path)},
        {QStringLiteral("profile"), QJsonObject{{QStringLiteral("file"), profileFile},
                                                {QStringLiteral("sha256"), ProfileHash(profile)},
                                                {QStringLiteral("settings"), MaskedProfile(profile)}}}};
}

}  // namespace vtrl::ctl
