#include "ctl/cli.h"
#include "protocol/rules.h"

#include "portnames.h"
#include "probe.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <memory>

namespace vtrl::ctl {

namespace {

const QString kHelpEpilog = QStringLiteral(R"(
Commands:
  ports                         the COM ports, their devices and whether each is free
  info --port P [--json]        address, versions and configuration of the attached device
  discover --port P [--json]    search for remote devices (about 20 s)
  read --port P [--remote ADDR] -o FILE [--include-pin]
                                save the device's settings (and the remote's) as a profile
  apply --port P FILE [--remote ADDR] [--no-flash] [--dry-run]
                                put a profile on the device (and its remote), save it in
                                flash and verify it by a fresh read

P is a COM number (3, COM3) or a device path (/dev/ttyUSB0). ADDR is 12 hex digits.
--trace FILE (or -) logs every frame sent and received.

Exit codes:
  0  done
  1  an output file could not be written
  2  usage or profile error (also a profile that does not fit the device)
  3  port error: cannot open, write or read the port, or the device vanished
  4  the device refused a step, or its application version is older than V2.09
  5  the device did not answer a step in time
  6  verification: the device does not hold what the profile says
)");

struct PortChoice {
    std::uint32_t number = 0;
    std::string path;
};

std::variant<PortChoice, QString> ResolvePort(const QString& text)
{
    if (text.isEmpty())
        return QStringLiteral("--port is missing: give a COM number (3, COM3) or a device path");
    QString digits = text;
    if (digits.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        digits = digits.mid(3);
    bool isNumber = false;
    const uint n = digits.toUInt(&isNumber);
    if (isNumber) {
        if (n < 1 || n > serial::kLastPort)
            return QStringLiteral("--port %1: COM numbers run from 1 to %2").arg(text).arg(serial::kLastPort);
        const std::string path = serial::PortDevicePath(n);
        if (path.empty())
            return QStringLiteral("--port %1: COM %2 names no device (see vtrlctl ports)").arg(text).arg(n);
        return PortChoice{n, path};
    }
    if (!text.contains(QLatin1Char('/')))
        return QStringLiteral("--port %1: not a COM number or a device path").arg(text);
    const std::string path = text.toStdString();
    for (std::uint32_t k = 1; k < serial::kFirstRegisteredPort; ++k)
        if (serial::PortDevicePath(k) == path)
            return PortChoice{k, path};
    const std::uint32_t k = serial::RegisterPortPath(path);
    if (k == 0)
        return QStringLiteral("--port %1: no free COM number is left for it").arg(text);
    return PortChoice{k, path};
}

QString PortName(const PortChoice& p)
{
    return QStringLiteral("COM Port %1 (%2)").arg(p.number).arg(QString::fromStdString(p.path));
}

QString ProbeState(serial::PortProbe::Outcome o)
{
    switch (o) {
    case serial::PortProbe::Outcome::Opened: return QStringLiteral("free");
    case serial::PortProbe::Outcome::InUse: return QStringLiteral("in use");
    case serial::PortProbe::Outcome::Denied: return QStringLiteral("no permission");
    case serial::PortProbe::Outcome::Missing: return QStringLiteral("missing");
    case serial::PortProbe::Outcome::Failed: break;
    }
    return QStringLiteral("error");
}

QJsonObject LocalSectionJson(const protocol::DeviceConfig& config)
{
    QStringList ignored;
    const Profile p = ProfileFromConfig(config, nullptr, false, ignored);
    return QJsonDocument::fromJson(ProfileJson(p)).object().value(QStringLiteral("local")).toObject();
}

constexpr qint64 kProfileMaxBytes = 64 * 1024;

class Command {
public:
    Command(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
        : parser_(parser), out_(out), err_(err), t_(t)
    {
    }

    int Run(const QString& name)
    {
        if (name == QLatin1String("ports"))
            return Ports();
        if (name == QLatin1String("apply"))
            return Apply();
        // Its options and its file are checked before the device hears anything.
        if (name == QLatin1String("read"))
            if (auto code = PrepareRead())
                return *code;
        if (auto code = OpenTrace())
            return *code;
        if (auto code = OpenDevice())
            return *code;
        int code = kExitUsage;
        if (name == QLatin1String("info"))
            code = Info();
        else if (name == QLatin1String("discover"))
            code = Discover();
        else if (name == QLatin1String("read"))
            code = Read();
        return code;
    }

private:
    int Error(int code, const QString& text)
    {
        err_ << "vtrlctl: " << text << '\n';
        err_.flush();
        return code;
    }
    // A failure after the device answered ends the session as the wizard
    // does when closed unfinished.
    int Stop(const Failure& f)
    {
        session_->AbortIfConnected();
        return Error(f.code, f.text);
    }
    void Progress(const QString& text)
    {
        err_ << text << '\n';
        err_.flush();
    }

    std::optional<int> OpenTrace()
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

    std::optional<int> OpenDevice()
    {
        auto choice = ResolvePort(parser_.value(QStringLiteral("port")));
        if (auto* text = std::get_if<QString>(&choice))
            return Error(kExitUsage, *text);
        port_ = std::get<PortChoice>(choice);
        link_ = std::make_unique<DeviceLink>(*trace_);
        if (const std::int32_t rc = link_->Open(port_.number, port_.path); rc != 0) {
            const serial::PortProbe probe = serial::ProbePort(port_.number);
            QString why = QString::fromStdString(probe.detail);
            if (why.isEmpty())
                why = QStringLiteral("driver result %1").arg(rc);
            if (probe.outcome == serial::PortProbe::Outcome::Denied)
                why += QStringLiteral(" (is the user in the dialout group?)");
            return Error(kExitPort, QStringLiteral("cannot open %1: %2").arg(PortName(port_), why));
        }
        session_ = std::make_unique<Session>(*link_, t_, err_);
        return std::nullopt;
    }

    std::optional<DeviceAddress> RemoteOption(bool& bad)
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

    int Ports()
    {
        serial::RegisterPortsFromEnvironment();
        QJsonArray list;
        int shown = 0;
        for (std::uint32_t n = 1; n <= serial::kLastPort; ++n) {
            const serial::PortProbe probe = serial::ProbePort(n);
            if (probe.outcome == serial::PortProbe::Outcome::Missing)
                continue;
            ++shown;
            const QString item = PortName(PortChoice{n, probe.path});
            const QString state = ProbeState(probe.outcome);
            if (parser_.isSet(QStringLiteral("json"))) {
                QJsonObject o;
                o[QStringLiteral("port")] = static_cast<int>(n);
                o[QStringLiteral("item")] = item;
                o[QStringLiteral("path")] = QString::fromStdString(probe.path);
                o[QStringLiteral("state")] = state;
                if (!probe.detail.empty())
                    o[QStringLiteral("detail")] = QString::fromStdString(probe.detail);
                list.append(o);
            } else {
                out_ << QStringLiteral("%1  %2").arg(item, -34).arg(state);
                if (probe.outcome != serial::PortProbe::Outcome::Opened && !probe.detail.empty())
                    out_ << "  (" << QString::fromStdString(probe.detail) << ')';
                out_ << '\n';
            }
        }
        if (parser_.isSet(QStringLiteral("json")))
            out_ << QJsonDocument(list).toJson(QJsonDocument::Indented);
        else if (shown == 0)
            Progress(QStringLiteral("No serial ports found. Add pseudo-terminals and other paths with VTRLCFG_PORTS."));
        out_.flush();
        return kExitDone;
    }

    int Info()
    {
        if (auto f = session_->Connect())
            return Stop(*f);
        const Session& s = *session_;
        const QStringList lines = ConfigurationLines(s.LocalConfig());
        if (parser_.isSet(QStringLiteral("json"))) {
            QJsonObject o;
            o[QStringLiteral("port")] = static_cast<int>(port_.number);
            o[QStringLiteral("path")] = QString::fromStdString(port_.path);
            o[QStringLiteral("address")] = FormatAddress(s.LocalAddress());
            o[QStringLiteral("applicationVersion")] = VersionText(s.LocalVersion(), true);
            o[QStringLiteral("bluetoothVersion")] = VersionText(s.LocalVersion(), false);
            o[QStringLiteral("configuration")] = QJsonArray::fromStringList(lines);
            o[QStringLiteral("bondedTo")] = FormatAddress(s.LocalConfig().BondedAddress);
            o[QStringLiteral("bondRole")] = s.LocalConfig().BondRole == 1 ? QStringLiteral("Master") : QStringLiteral("Slave");
            o[QStringLiteral("settings")] = LocalSectionJson(s.LocalConfig());
            out_ << QJsonDocument(o).toJson(QJsonDocument::Indented);
        } else {
            out_ << "COM Port = " << port_.number << " (" << QString::fromStdString(port_.path) << ")\n";
            out_ << "Information retreived from " << FormatAddress(s.LocalAddress()) << '\n';
            out_ << "Application Version: " << VersionText(s.LocalVersion(), true) << '\n';
            out_ << "Bluetooth Version  : " << VersionText(s.LocalVersion(), false) << '\n';
            out_ << "Current Configuration:\n";
            for (const QString& line : lines)
                out_ << "  " << line << '\n';
        }
        out_.flush();
        return kExitDone;
    }

    int Discover()
    {
        if (auto f = session_->Connect())
            return Stop(*f);
        std::vector<FoundDevice> found;
        if (auto f = session_->Inquiry(found))
            return Stop(*f);
        if (parser_.isSet(QStringLiteral("json"))) {
            QJsonArray list;
            for (const FoundDevice& d : found)
                list.append(QJsonObject{{QStringLiteral("address"), FormatAddress(d.address)}, {QStringLiteral("name"), d.name}});
            out_ << QJsonDocument(list).toJson(QJsonDocument::Indented);
        } else {
            for (const FoundDevice& d : found)
                out_ << FormatAddress(d.address) << "  " << d.name << '\n';
        }
        out_.flush();
        return kExitDone;
    }

    std::optional<int> PrepareRead()
    {
        const QString file = parser_.value(QStringLiteral("output"));
        if (file.isEmpty())
            return Error(kExitUsage, QStringLiteral("read needs -o FILE (or -o - for standard output)"));
        bool bad = false;
        readRemote_ = RemoteOption(bad);
        if (bad)
            return kExitUsage;
        if (file == QLatin1String("-"))
            return std::nullopt;
        // Nothing reaches the file before the commit at the end.
        profileFile_ = std::make_unique<QSaveFile>(file);
        if (!profileFile_->open(QIODevice::WriteOnly))
            return Error(kExitFailure, QStringLiteral("cannot write %1: %2").arg(file, profileFile_->errorString()));
        // A profile with a PIN is readable by its owner only, from the first byte on.
        if (parser_.isSet(QStringLiteral("include-pin")))
            profileFile_->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        return std::nullopt;
    }

    int Read()
    {
        const std::optional<DeviceAddress> remote = readRemote_;
        if (auto f = session_->Connect())
            return Stop(*f);
        const protocol::DeviceConfig local = session_->LocalConfig();
        protocol::DeviceConfig remoteConfig{};
        if (remote) {
            if (local.DeviceFunction != 1)
                return Stop(Failure{kExitUsage, QStringLiteral("--remote: the device on %1 is an %2, which has no remote device")
                                                    .arg(PortName(port_), FunctionText(local.DeviceFunction))});
            VersionRecord version;
            if (auto f = session_->ReachRemote(*remote, version, remoteConfig))
                return Stop(*f);
        }
        QStringList warnings;
        const bool includePin = parser_.isSet(QStringLiteral("include-pin"));
        const Profile profile = ProfileFromConfig(local, remote ? &remoteConfig : nullptr, includePin, warnings);
        for (const QString& w : warnings)
            Progress(QStringLiteral("warning: ") + w);
        const QByteArray json = ProfileJson(profile);
        if (!profileFile_) {
            out_ << QString::fromUtf8(json);
            out_.flush();
            return kExitDone;
        }
        const QString file = profileFile_->fileName();
        profileFile_->write(json);
        if (!profileFile_->commit())
            return Error(kExitFailure, QStringLiteral("cannot write %1: %2").arg(file, profileFile_->errorString()));
        Progress(QStringLiteral("Profile saved to %1%2.").arg(file, remote ? QStringLiteral(" (with the remote device)") : QString()));
        return kExitDone;
    }

    void PrintPlan(const Profile& p, const std::optional<DeviceAddress>& remote)
    {
        const auto port = [](const PortSettings& s) {
            QString text = QStringLiteral("baud %1, data bits %2, parity %3, stop bits %4, flow %5, role %6")
                               .arg(BaudText(s.baud))
                               .arg(s.dataBits == 1 ? 7 : 8)
                               .arg(ParityText(s.parity))
                               .arg(s.stopBits)
                               .arg(FlowText(s.flow), RoleText(s.interfaceCode));
            text += s.powerLevel ? QStringLiteral(", power level %1 (class kept)").arg(*s.powerLevel)
                                 : QStringLiteral(", power level kept");
            text += s.cdOutput ? QStringLiteral(", CD output %1").arg(*s.cdOutput ? QStringLiteral("on") : QStringLiteral("off"))
                               : QStringLiteral(", CD output kept");
            return text;
        };
        out_ << "Dry run: nothing is sent.\n";
        out_ << "1. GetLocalAddress, GetVersion, GetConfig: check the attached device (version V2.09 or later, "
             << FunctionText(p.function) << ")\n";
        int step = 2;
        if (remote)
            out_ << step++ << ". InitiateBonding " << FormatAddress(*remote)
                 << " unless bonded, GetVersion and GetConfig of the remote device\n";
        out_ << step++ << ". SetPortConfig to the attached device: " << port(p.local) << '\n';
        if (p.function == 2) {
            const DeviceSettings& d = p.device;
            QStringList parts;
            parts << (d.name ? QStringLiteral("name \"%1\"").arg(DeviceText(*d.name)) : QStringLiteral("name kept"));
            parts << (d.linkTimeout ? QStringLiteral("link timeout %1").arg(*d.linkTimeout) : QStringLiteral("link timeout kept"));
            parts << (d.authentication ? QStringLiteral("authentication %1").arg(QLatin1String(*d.authentication ? "on" : "off"))
                                       : QStringLiteral("authentication kept"));
            parts << (d.encryption ? QStringLiteral("encryption %1").arg(QLatin1String(*d.encryption ? "on" : "off"))
                                   : QStringLiteral("encryption kept"));
            parts << (d.pin ? QStringLiteral("PIN from the profile") : QStringLiteral("PIN kept"));
            if (d.resetLinkKeys)
                parts << QStringLiteral("reset link keys");
            out_ << step++ << ". SetDeviceConfig: " << parts.join(QStringLiteral(", ")) << '\n';
        }
        if (remote && p.remote)
            out_ << step++ << ". SetPortConfig to " << FormatAddress(*remote) << ": " << port(*p.remote) << '\n';
        if (!parser_.isSet(QStringLiteral("no-flash")))
            out_ << step++ << ". UpdateFlash\n";
        out_ << step << ". GetConfig" << (remote ? " of both devices" : "") << ": verify every setting of the profile\n";
        out_.flush();
    }

    int Apply()
    {
        const QStringList files = parser_.positionalArguments().mid(1);
        if (files.size() != 1)
            return Error(kExitUsage, QStringLiteral("apply needs exactly one profile file"));
        QFile file(files.front());
        if (!file.open(QIODevice::ReadOnly))
            return Error(kExitUsage, QStringLiteral("cannot read the profile %1: %2").arg(file.fileName(), file.errorString()));
        // A profile is a few hundred bytes; a device node such as /dev/zero never ends.
        const QByteArray text = file.read(kProfileMaxBytes + 1);
        if (text.size() > kProfileMaxBytes)
            return Error(kExitUsage, QStringLiteral("%1: larger than %2 bytes, so not a profile").arg(file.fileName()).arg(kProfileMaxBytes));
        auto loaded = LoadProfile(text);
        if (auto* text = std::get_if<QString>(&loaded))
            return Error(kExitUsage, QStringLiteral("%1: %2").arg(file.fileName(), *text));
        const Profile profile = std::get<Profile>(loaded);
        bool bad = false;
        const auto remote = RemoteOption(bad);
        if (bad)
            return kExitUsage;
        if (profile.remote && !remote)
            return Error(kExitUsage, QStringLiteral("%1 holds settings for a remote device: give --remote ADDR "
                                                    "(vtrlctl info shows the device it is bonded to)")
                                         .arg(file.fileName()));
        if (remote && !profile.remote)
            return Error(kExitUsage, QStringLiteral("--remote: %1 holds no settings for a remote device").arg(file.fileName()));
        if (parser_.isSet(QStringLiteral("dry-run"))) {
            PrintPlan(profile, remote);
            return kExitDone;
        }
        if (auto code = OpenTrace())
            return *code;
        if (auto code = OpenDevice())
            return *code;

        QElapsedTimer clock;
        clock.start();
        Session& s = *session_;
        if (auto f = s.Connect())
            return Stop(*f);
        const protocol::DeviceConfig local = s.LocalConfig();
        const auto stepDone = [&](const QString& what) { Progress(QStringLiteral("%1 (%2 ms)").arg(what).arg(clock.elapsed())); };
        stepDone(QStringLiteral("Connected to %1 on %2").arg(FormatAddress(s.LocalAddress()), PortName(port_)));
        if (local.DeviceFunction != profile.function)
            return Stop(Failure{kExitUsage, QStringLiteral("%1 is for a %2; the device on %3 is a %4")
                                                .arg(file.fileName(), FunctionText(profile.function), PortName(port_),
                                                     FunctionText(local.DeviceFunction))});
        protocol::DeviceConfig remoteConfig{};
        if (remote) {
            VersionRecord version;
            if (auto f = s.ReachRemote(*remote, version, remoteConfig))
                return Stop(*f);
        }
        // Everything that can be judged before the first setting goes out is.
        auto localExtras = PortExtras(QStringLiteral("local"), profile.local, local);
        if (auto* f = std::get_if<Failure>(&localExtras))
            return Stop(*f);
        if (remote) {
            auto extras = PortExtras(QStringLiteral("remote"), *profile.remote, remoteConfig);
            if (auto* f = std::get_if<Failure>(&extras))
                return Stop(*f);
        }
        if (profile.function == 2 && profile.device.authentication.value_or(local.Authentication != 0)
            && profile.device.pin.value_or(protocol::FieldText(local.PinCode.data(), local.PinCode.size())).empty())
            return Stop(Failure{kExitUsage, QStringLiteral("local.pin: authentication is on but neither the profile nor the device holds a PIN")});

        const auto notSaved = [&](Failure f) {
            f.text += QStringLiteral("\nNothing was saved to flash.");
            return Stop(f);
        };
        if (remote)
            stepDone(QStringLiteral("Remote device %1 reached").arg(FormatAddress(*remote)));
        if (auto f = s.SetPort(DeviceAddress{}, QStringLiteral("local"), profile.local, local))
            return notSaved(*f);
        stepDone(QStringLiteral("Local port settings confirmed"));
        if (profile.function == 2) {
            if (auto f = s.SetDevice(profile.device, local))
                return notSaved(*f);
            stepDone(QStringLiteral("Local device settings confirmed"));
        }
        if (remote) {
            if (auto f = s.SetPort(*remote, QStringLiteral("remote"), *profile.remote, remoteConfig))
                return notSaved(*f);
            stepDone(QStringLiteral("Remote port settings confirmed"));
        }
        if (!parser_.isSet(QStringLiteral("no-flash"))) {
            if (auto f = s.Flash()) {
                if (f->code == kExitTimedOut)
                    f->text += QStringLiteral("\nThe device did not confirm saving; its flash may hold the old or the new settings.");
                return Stop(*f);
            }
            stepDone(QStringLiteral("All settings were saved successfully."));
        }

        QStringList differences;
        protocol::DeviceConfig now{};
        if (auto f = s.ReadConfig(DeviceAddress{}, QStringLiteral("verification: local"), t_.portCheck, now))
            return Stop(*f);
        differences += CompareSettings(QStringLiteral("local"), profile.local, profile.function == 2 ? &profile.device : nullptr, now);
        if (remote) {
            if (auto f = s.ReadConfig(*remote, QStringLiteral("verification: remote"), t_.bondStep, now))
                return Stop(*f);
            differences += CompareSettings(QStringLiteral("remote"), *profile.remote, nullptr, now);
        }
        if (!differences.isEmpty())
            return Error(kExitMismatch, QStringLiteral("verification failed:\n  ") + differences.join(QStringLiteral("\n  ")));
        Progress(QStringLiteral("Verified by a fresh read: the device%1 hold%2 every setting of the profile.")
                     .arg(remote ? QStringLiteral("s") : QString(), remote ? QString() : QStringLiteral("s")));
        Progress(QStringLiteral("Applied in %1 ms, %2 ms of it waiting for the device.")
                     .arg(static_cast<double>(clock.nsecsElapsed()) / 1e6, 0, 'f', 1)
                     .arg(link_->WaitedMs(), 0, 'f', 1));
        return kExitDone;
    }

    const QCommandLineParser& parser_;
    QTextStream& out_;
    QTextStream& err_;
    Timeouts t_;
    PortChoice port_;
    std::unique_ptr<QFile> traceFile_;
    std::unique_ptr<QTextStream> traceStream_;
    std::unique_ptr<Trace> trace_;
    std::unique_ptr<DeviceLink> link_;
    std::unique_ptr<Session> session_;
    std::optional<DeviceAddress> readRemote_;
    std::unique_ptr<QSaveFile> profileFile_;  // read's output, committed only when complete
};

struct Allowed {
    const char* command;
    QStringList options;
};

}  // namespace

Timeouts TimeoutsFromEnvironment()
{
    bool ok = false;
    const double scale = qEnvironmentVariable("VTRLCTL_TIME_SCALE").toDouble(&ok);
    if (ok && scale > 0 && scale <= 1)
        return Timeouts{}.Scaled(scale);
    return Timeouts{};
}

int RunCli(const QStringList& args, QTextStream& out, QTextStream& err, const Timeouts& timeouts)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads, saves and applies the settings of Vantrel radio devices."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    parser.addOption(help);
    parser.addOption({{QStringLiteral("p"), QStringLiteral("port")}, QStringLiteral("COM number or device path."), QStringLiteral("P")});
    parser.addOption({QStringLiteral("remote"), QStringLiteral("Address of the remote device (12 hex digits)."), QStringLiteral("ADDR")});
    parser.addOption({{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("Profile file to write (- for standard output)."), QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("json"), QStringLiteral("Machine-readable output.")});
    parser.addOption({QStringLiteral("include-pin"), QStringLiteral("Write the PIN into the profile (file readable by its owner only) and show it in the trace.")});
    parser.addOption({QStringLiteral("no-flash"), QStringLiteral("Apply without saving to flash.")});
    parser.addOption({QStringLiteral("dry-run"), QStringLiteral("Print what apply would send, and send nothing.")});
    parser.addOption({QStringLiteral("trace"), QStringLiteral("Log every frame to FILE (- for standard error)."), QStringLiteral("FILE")});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ports, info, discover, read or apply."));

    if (!parser.parse(args)) {
        err << "vtrlctl: " << parser.errorText() << "\nTry vtrlctl --help.\n";
        err.flush();
        return kExitUsage;
    }
    if (parser.isSet(help)) {
        out << parser.helpText() << kHelpEpilog;
        out.flush();
        return kExitDone;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        err << "vtrlctl: no command given\nTry vtrlctl --help.\n";
        err.flush();
        return kExitUsage;
    }
    const QString command = positional.front();
    static const Allowed kAllowed[] = {
        {"ports", {QStringLiteral("json")}},
        {"info", {QStringLiteral("port"), QStringLiteral("json"), QStringLiteral("trace")}},
        {"discover", {QStringLiteral("port"), QStringLiteral("json"), QStringLiteral("trace")}},
        {"read", {QStringLiteral("port"), QStringLiteral("remote"), QStringLiteral("output"), QStringLiteral("include-pin"), QStringLiteral("trace")}},
        {"apply", {QStringLiteral("port"), QStringLiteral("remote"), QStringLiteral("no-flash"), QStringLiteral("dry-run"),
                   QStringLiteral("include-pin"), QStringLiteral("trace")}},
    };
    const Allowed* allowed = nullptr;
    for (const Allowed& a : kAllowed)
        if (command == QLatin1String(a.command))
            allowed = &a;
    if (!allowed) {
        err << "vtrlctl: unknown command \"" << command << "\"; use ports, info, discover, read or apply\n";
        err.flush();
        return kExitUsage;
    }
    for (const QString& name : parser.optionNames()) {
        const QString longName = name == QLatin1String("p") ? QStringLiteral("port")
            : name == QLatin1String("o")                     ? QStringLiteral("output")
                                                             : name;
        if (!allowed->options.contains(longName)) {
            err << "vtrlctl: --" << longName << " does not apply to " << command << '\n';
            err.flush();
            return kExitUsage;
        }
    }
    if (command != QLatin1String("apply") && positional.size() > 1) {
        err << "vtrlctl: " << command << " takes no file argument (\"" << positional.at(1) << "\")\n";
        err.flush();
        return kExitUsage;
    }
    serial::RegisterPortsFromEnvironment();
    Command run(parser, out, err, timeouts);
    return run.Run(command);
}

}  // namespace vtrl::ctl
