#include "ctl/cli.h"
#include "ctl/report.h"
#include "ctl/stop.h"
#include "protocol/rules.h"

#include "portnames.h"
#include "ports.h"
#include "probe.h"
#include "vtrl_version.h"
#include "watcher.h"

#include <QCommandLineParser>
#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vtrl::ctl {

namespace {

bool g_catchStopSignals = false;

const QString kHelpEpilog = QStringLiteral(R"(
Commands (vtrlctl help COMMAND, or COMMAND --help, tells more):
  ports [--watch] [--json]      the COM ports, their devices, whether each is free and who
                                holds it; --watch follows ports coming and going
  info --port P [--json]        address, versions and configuration of the attached device
  discover --port P [--json]    search for remote devices (about 20 s)
  read --port P [--remote ADDR] -o FILE [--include-pin] [--json]
                                save the device's settings (and the remote's) as a profile
  apply --port P FILE|- [--remote ADDR] [--no-flash] [--dry-run] [--json] [--report LOG]
                                put a profile on the device (and its remote), save it in
                                flash and verify it by a fresh read
  report LOG [--json]           units done and failed, and why, from apply --report LOG

P is a COM number (3, COM3, -p3), a device path (/dev/ttyUSB0) or name (ttyUSB0).
ADDR is 12 hex digits. --trace FILE (or -) logs every frame sent and received.

Exit codes:
  0  done
  1  an output, trace or report file could not be written (the old file is kept)
  2  usage or profile error (also a profile that does not fit the device)
  3  port error: cannot open, write or read the port, or the device vanished
  4  the device refused a step, or its application version is older than V2.09
  5  the device did not answer a step in time, or its answers failed their checksum
  6  verification: the device does not hold what the profile says
  129, 130, 143  stopped by SIGHUP, SIGINT or SIGTERM (the device is told with Abort)
)");

struct OptionInfo {
    const char* name;
    const char* shortName;
    const char* value;
    const char* text;
};

const OptionInfo kOptions[] = {
    {"port", "p", "P", "COM number (3, COM3), device path (/dev/ttyUSB0) or device name (ttyUSB0)."},
    {"remote", nullptr, "ADDR", "Address of the remote device (12 hex digits)."},
    {"output", "o", "FILE", "Profile file to write (- for standard output); an old file is replaced only once the new one is complete."},
    {"json", nullptr, nullptr, "Machine-readable output on standard output."},
    {"include-pin", nullptr, nullptr, "Write the PIN into the profile (file readable by its owner only) and show it in the trace."},
    {"no-flash", nullptr, nullptr, "Apply without saving to flash."},
    {"dry-run", nullptr, nullptr, "Print what apply would send, and send nothing."},
    {"trace", nullptr, "FILE", "Log every frame sent and received to FILE (- for standard error)."},
    {"report", nullptr, "LOG", "Append one JSON line about this run to LOG (shared by parallel runs)."},
    {"watch", nullptr, nullptr, "Print ports as they come and go, until Ctrl-C."},
};

struct CommandInfo {
    const char* name;
    QStringList options;
    const char* usage;
    const char* about;
};

const CommandInfo kCommands[] = {
    {"ports", {QStringLiteral("json"), QStringLiteral("watch")}, "vtrlctl ports [--watch] [--json]",
     "Lists the COM ports, each with its device path and whether it is free, in use\n"
     "(by which program, where that can be found) or refused for lack of permission;\n"
     "USB adapters with vendor, product, USB ID, serial number and /dev/serial/by-id\n"
     "path. Nothing is opened but the paths of VTRLCFG_PORTS (added from COM97 on).\n"
     "--watch prints the free ports there are, then one line for each that comes or\n"
     "goes, until SIGINT or SIGTERM (exit 0); with --json one JSON object a line."},
    {"info", {QStringLiteral("port"), QStringLiteral("json"), QStringLiteral("trace")}, "vtrlctl info --port P [--json] [--trace FILE]",
     "Shows the attached device's address, application and Bluetooth versions and\n"
     "configuration, as the wizard's COM port page does. \"Power Class\" is the\n"
     "device's hardware class: class 2 has power levels 0 to 7, the others 0 to 4."},
    {"discover", {QStringLiteral("port"), QStringLiteral("json"), QStringLiteral("trace")},
     "vtrlctl discover --port P [--json] [--trace FILE]",
     "Searches for remote devices (about 20 s, progress on standard error) and lists\n"
     "the address and name of each one found."},
    {"read",
     {QStringLiteral("port"), QStringLiteral("remote"), QStringLiteral("output"), QStringLiteral("include-pin"), QStringLiteral("json"),
      QStringLiteral("trace")},
     "vtrlctl read --port P [--remote ADDR] -o FILE|- [--include-pin] [--json] [--trace FILE]",
     "Saves the attached device's settings as a profile; with --remote also the remote\n"
     "device's, bonding with it first when the pair is not bonded. FILE is replaced only\n"
     "when the new profile is written whole; on any failure the old one stays."},
    {"apply",
     {QStringLiteral("port"), QStringLiteral("remote"), QStringLiteral("no-flash"), QStringLiteral("dry-run"), QStringLiteral("include-pin"),
      QStringLiteral("json"), QStringLiteral("trace"), QStringLiteral("report")},
     "vtrlctl apply --port P FILE|- [--remote ADDR] [--no-flash] [--dry-run] [--json] [--report LOG] [--trace FILE]",
     "Puts a profile (FILE, or - for standard input) on the attached device and, with\n"
     "--remote, on the remote device of a Cable Replacement pair; saves it in flash and\n"
     "verifies it by a fresh read. A failure or a stop (Ctrl-C) before the save sends\n"
     "Abort and says which settings the device took. --report LOG appends a record of\n"
     "the run to LOG; vtrlctl report LOG summarises it."},
    {"report", {QStringLiteral("json")}, "vtrlctl report LOG [--json]",
     "Summarises a file written by apply --report: runs, units done and failed, the\n"
     "latest failure of each failed unit, and the causes of failure counted over all runs."},
};

const CommandInfo* FindCommand(const QString& name)
{
    for (const CommandInfo& c : kCommands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

QString CommandHelp(const CommandInfo& c)
{
    QString text = QStringLiteral("Usage: %1\n\n%2\n\nOptions:\n").arg(QLatin1String(c.usage), QLatin1String(c.about));
    for (const OptionInfo& o : kOptions) {
        if (!c.options.contains(QLatin1String(o.name)))
            continue;
        QString names = o.shortName ? QStringLiteral("-%1, --%2").arg(QLatin1String(o.shortName), QLatin1String(o.name))
                                    : QStringLiteral("    --%1").arg(QLatin1String(o.name));
        if (o.value)
            names += QLatin1Char(' ') + QLatin1String(o.value);
        text += QStringLiteral("  %1  %2\n").arg(names, -22).arg(QLatin1String(o.text));
    }
    text += QStringLiteral("  %1  Show this help.\n\nExit codes: see vtrlctl --help.\n").arg(QStringLiteral("-h, --help"), -22);
    return text;
}

// "-p97" and "-o-" as "-p 97" and "-o -"; the parser reads single-dash words as long options.
QStringList ExpandShortOptions(const QStringList& args)
{
    QStringList out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (i > 0 && a.size() > 2 && a.at(0) == QLatin1Char('-') && (a.at(1) == QLatin1Char('p') || a.at(1) == QLatin1Char('o'))
            && !a.mid(1).startsWith(QLatin1String("port")) && !a.mid(1).startsWith(QLatin1String("output"))) {
            out << a.left(2) << a.mid(a.at(2) == QLatin1Char('=') ? 3 : 2);
            continue;
        }
        out << a;
    }
    return out;
}

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
    // A bare device name is one under /dev.
    const std::string path = text.contains(QLatin1Char('/')) ? text.toStdString() : "/dev/" + text.toStdString();
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

QString Text(const std::string& text) { return QString::fromStdString(text); }

QString EntryState(serial::PortEntry::State state)
{
    switch (state) {
    case serial::PortEntry::State::Free: return QStringLiteral("free");
    case serial::PortEntry::State::OpenHere: return QStringLiteral("open here");
    case serial::PortEntry::State::InUse: return QStringLiteral("in use");
    case serial::PortEntry::State::Denied: return QStringLiteral("no permission");
    case serial::PortEntry::State::Failed: break;
    }
    return QStringLiteral("error");
}

QString JoinHint(const std::string& group)
{
    return QStringLiteral("join group %1 (sudo adduser $USER %1, then log in again)").arg(Text(group));
}

// Why a port that is there cannot be had, in the words of the list.
QString EntryReason(const serial::PortEntry& e)
{
    if (e.state == serial::PortEntry::State::InUse) {
        const QString who = Text(serial::HolderText(e.holder));
        return QStringLiteral("by ") + (who.isEmpty() ? QStringLiteral("another program") : who);
    }
    if (e.state == serial::PortEntry::State::OpenHere)
        return QStringLiteral("by this program");
    QString why = Text(e.detail);
    if (!e.joinGroup.empty())
        why += QStringLiteral("; ") + JoinHint(e.joinGroup);
    return why;
}

// Every field the list has about a port; identity fields only where known.
QJsonObject EntryJson(const serial::PortEntry& e)
{
    QJsonObject o{{QStringLiteral("port"), static_cast<int>(e.port)},
                  {QStringLiteral("item"), PortName(PortChoice{e.port, e.path})},
                  {QStringLiteral("path"), Text(e.path)},
                  {QStringLiteral("device"), Text(e.device)},
                  {QStringLiteral("state"), EntryState(e.state)}};
    if (!e.detail.empty())
        o[QStringLiteral("detail")] = Text(e.detail);
    if (!e.joinGroup.empty())
        o[QStringLiteral("joinGroup")] = Text(e.joinGroup);
    if (e.holder.pid > 0 || !e.holder.program.empty()) {
        QJsonObject holder{{QStringLiteral("program"), Text(e.holder.program)}};
        if (e.holder.pid > 0)
            holder[QStringLiteral("pid")] = e.holder.pid;
        o[QStringLiteral("holder")] = holder;
    }
    const serial::PortIdentity& id = e.identity;
    const std::pair<const char*, const std::string*> fields[] = {
        {"vendor", &id.vendor}, {"product", &id.product}, {"vidPid", &id.vidPid},
        {"serial", &id.serial}, {"byIdPath", &id.byIdPath}, {"driver", &id.driver}};
    for (const auto& [key, value] : fields)
        if (!value->empty())
            o[QLatin1String(key)] = Text(*value);
    return o;
}

// "COM Port 33 (/dev/ttyUSB0)  free  FT232R USB UART, FTDI, 0403:6001, serial A1",
// with the reason for a port that cannot be had and the by-id path below.
QString EntryLines(const serial::PortEntry& e, const QString& state, int width, const QString& lead = QString())
{
    const QString indent(lead.size() + width + 2 + 13 + 2, QLatin1Char(' '));
    const QString identity = Text(serial::IdentitySummary(e.identity));
    QStringList notes;
    if (!e.listed())
        notes << EntryReason(e);
    if (!identity.isEmpty())
        notes << identity;
    if (!e.identity.byIdPath.empty())
        notes << Text(e.identity.byIdPath);
    QString text = lead + QStringLiteral("%1  %2").arg(PortName(PortChoice{e.port, e.path}), -width).arg(state, -13);
    for (qsizetype i = 0; i < notes.size(); ++i)
        text += (i == 0 ? QStringLiteral("  ") : QStringLiteral("\n") + indent) + notes.at(i);
    return text.trimmed() + QLatin1Char('\n');
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

// How a failed step ended, in a word for records and summaries.
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

constexpr qint64 kProfileMaxBytes = 64 * 1024;

// The error of a stream that failed, from its file where it has one.
QString StreamError(const QTextStream& s)
{
    const auto* file = qobject_cast<const QFileDevice*>(s.device());
    return file && file->error() != QFileDevice::NoError ? file->errorString() : QStringLiteral("write failed");
}

// A profile as records show it: the PIN never appears.
QJsonObject MaskedProfile(const Profile& p)
{
    Profile masked = p;
    if (masked.device.pin)
        masked.device.pin = "********";
    return ProfileObject(masked);
}

class Command {
public:
    Command(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
        : parser_(parser), out_(out), err_(err), t_(t)
    {
    }

    int Run(const QString& name)
    {
        int code = RunCommand(name);
        // What the trace could not hold is lost; the command itself went on.
        if (trace_ && !trace_->WriteError().isEmpty()) {
            where_.clear();
            code = Error(code == kExitDone ? kExitFailure : code,
                         QStringLiteral("cannot write the trace %1: %2; the trace is incomplete")
                             .arg(parser_.value(QStringLiteral("trace")), trace_->WriteError()));
        }
        return code;
    }

private:
    int RunCommand(const QString& name)
    {
        if (name == QLatin1String("ports"))
            return Ports();
        if (name == QLatin1String("apply"))
            return Apply();
        if (name == QLatin1String("report"))
            return SummariseReport(parser_.positionalArguments().value(1), parser_.isSet(QStringLiteral("json")), out_, err_);
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

    int Error(int code, const QString& text)
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
    // A failure after the device answered ends the session as the wizard
    // does when closed unfinished.
    int Stop(const Failure& f)
    {
        session_->AbortIfConnected();
        return Error(f.code, f.text);
    }
    void Progress(const QString& text)
    {
        if (!where_.isEmpty())
            err_ << where_ << ": ";
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

    std::optional<int> ResolveThePort()
    {
        auto choice = ResolvePort(parser_.value(QStringLiteral("port")));
        if (auto* text = std::get_if<QString>(&choice))
            return Error(kExitUsage, *text);
        port_ = std::get<PortChoice>(choice);
        return std::nullopt;
    }

    std::optional<int> OpenDevice()
    {
        if (port_.number == 0)
            if (auto code = ResolveThePort())
                return code;
        // From here on a signal is answered by telling the device, not by dying.
        if (g_catchStopSignals)
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
        session_ = std::make_unique<Session>(*link_, t_, err_, where_);
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
        const bool json = parser_.isSet(QStringLiteral("json"));
        if (parser_.isSet(QStringLiteral("watch")))
            return WatchPorts(json);
        const std::vector<serial::PortEntry> ports = serial::ListPorts();
        QJsonArray list;
        qsizetype width = 0;
        for (const serial::PortEntry& e : ports)
            width = std::max(width, PortName(PortChoice{e.port, e.path}).size());
        for (const serial::PortEntry& e : ports) {
            if (json)
                list.append(EntryJson(e));
            else
                out_ << EntryLines(e, EntryState(e.state), static_cast<int>(width));
        }
        if (json)
            out_ << QJsonDocument(list).toJson(QJsonDocument::Indented);
        else if (ports.empty())
            Progress(QStringLiteral("No serial ports found. Add pseudo-terminals and other paths with VTRLCFG_PORTS."));
        return kExitDone;
    }

    // One line for each port that comes or goes; a stop request ends it.
    int WatchPorts(bool json)
    {
        if (g_catchStopSignals)
            stop::Catch();
        serial::PortWatcher watcher;
        if (watcher.fd() < 0)
            return Error(kExitPort, QStringLiteral("cannot watch the ports: %1").arg(Text(watcher.note())));
        if (!watcher.note().empty())
            Progress(QStringLiteral("note: ") + Text(watcher.note()));
        const auto say = [&](const char* event, const serial::PortEntry& e, const QString& state) {
            const QDateTime now = QDateTime::currentDateTime();
            if (json) {
                QJsonObject o = EntryJson(e);
                o[QStringLiteral("event")] = QLatin1String(event);
                o[QStringLiteral("time")] = now.toUTC().toString(Qt::ISODateWithMs);
                o[QStringLiteral("state")] = state;
                out_ << QJsonDocument(o).toJson(QJsonDocument::Compact) << '\n';
            } else {
                out_ << EntryLines(e, state, 26, now.toString(QStringLiteral("HH:mm:ss  ")) + QLatin1String(event) + QStringLiteral("  "));
            }
        };
        for (const serial::PortEntry& e : watcher.ports())
            if (e.listed())
                say("here", e, EntryState(e.state));
        out_.flush();
        while (out_.status() == QTextStream::Ok) {
            pollfd fds[2] = {{watcher.fd(), POLLIN, 0}, {stop::WakeFd(), POLLIN, 0}};
            const int n = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, -1);
            if (stop::Requested() != 0)
                return kExitDone;
            if (n < 0 && errno != EINTR)
                return Error(kExitFailure, QStringLiteral("cannot wait for the ports: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            if (n <= 0 || fds[0].revents == 0)
                continue;
            const serial::PortWatcher::Changes changes = watcher.Take();
            // A port that went may still be there, taken by another program.
            for (const serial::PortEntry& e : changes.went) {
                const auto& now = watcher.ports();
                const auto still = std::find_if(now.begin(), now.end(),
                                                [&](const serial::PortEntry& p) { return p.port == e.port && p.device == e.device; });
                say("went", still != now.end() ? *still : e, still != now.end() ? EntryState(still->state) : QStringLiteral("gone"));
            }
            for (const serial::PortEntry& e : changes.came)
                say("came", e, EntryState(e.state));
            out_.flush();
        }
        return kExitFailure;
    }

    QJsonObject PortJson() const
    {
        return QJsonObject{{QStringLiteral("port"), static_cast<int>(port_.number)},
                           {QStringLiteral("path"), QString::fromStdString(port_.path)}};
    }

    int Info()
    {
        if (auto f = session_->Connect())
            return Stop(*f);
        const Session& s = *session_;
        const QStringList lines = ConfigurationLines(s.LocalConfig());
        if (parser_.isSet(QStringLiteral("json"))) {
            QJsonObject o = PortJson();
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
        return kExitDone;
    }

    std::optional<int> PrepareRead()
    {
        const QString file = parser_.value(QStringLiteral("output"));
        if (file.isEmpty())
            return Error(kExitUsage, QStringLiteral("read needs -o FILE (or -o - for standard output)"));
        if (file == QLatin1String("-") && parser_.isSet(QStringLiteral("json")))
            return Error(kExitUsage, QStringLiteral("--json: with -o - the profile itself is the JSON output; drop one of them"));
        bool bad = false;
        readRemote_ = RemoteOption(bad);
        if (bad)
            return kExitUsage;
        if (file == QLatin1String("-"))
            return std::nullopt;
        // Nothing reaches the file before the commit at the end.
        profileFile_ = std::make_unique<QSaveFile>(file);
        // Unbuffered: a write refused by a full disk must fail the write
        // itself. Buffered, the refusal comes at the commit, which (Qt 6.4)
        // loses it and puts an empty file in place of the old one.
        if (!profileFile_->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
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
        VersionRecord remoteVersion{};
        if (remote) {
            if (local.DeviceFunction != 1)
                return Stop(Failure{kExitUsage, QStringLiteral("--remote: the device on %1 is an %2, which has no remote device")
                                                    .arg(PortName(port_), FunctionText(local.DeviceFunction))});
            if (auto f = session_->ReachRemote(*remote, remoteVersion, remoteConfig))
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
            return kExitDone;
        }
        const QString file = profileFile_->fileName();
        // A short write or a failed commit leaves the old file as it was.
        if (profileFile_->write(json) != json.size() || !profileFile_->commit()) {
            const QString why = profileFile_->errorString();
            profileFile_->cancelWriting();
            return Error(kExitFailure, QStringLiteral("cannot write %1: %2; %1 was left as it was").arg(file, why));
        }
        Progress(QStringLiteral("Profile saved to %1%2.").arg(file, remote ? QStringLiteral(" (with the remote device)") : QString()));
        if (parser_.isSet(QStringLiteral("json"))) {
            QJsonObject o = PortJson();
            o[QStringLiteral("device")] = UnitJson(session_->LocalAddress(), session_->LocalVersion());
            if (remote)
                o[QStringLiteral("remote")] = UnitJson(*remote, remoteVersion);
            o[QStringLiteral("file")] = QFileInfo(file).absoluteFilePath();
            o[QStringLiteral("warnings")] = QJsonArray::fromStringList(warnings);
            o[QStringLiteral("profile")] = MaskedProfile(profile);
            out_ << QJsonDocument(o).toJson(QJsonDocument::Indented);
        }
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
        out_ << "Power: a SetPortConfig carries the device's power class and a power level. The class is the\n"
                "hardware's (\"Power Class: 1\" or \"2\" in vtrlctl info) and is sent back as the device reports it;\n"
                "the level is an index into the device's own table of transmit powers, 0 to 7 on a class 2\n"
                "device and 0 to 4 on the others. A level the device's class does not have is refused\n"
                "before any setting goes out; without powerLevel the device keeps its level.\n";
    }

    // The profile named on the command line, or standard input for "-".
    std::variant<Profile, int> LoadTheProfile(const QString& name)
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

    int Apply()
    {
        const QStringList files = parser_.positionalArguments().mid(1);
        if (files.size() != 1)
            return Error(kExitUsage, QStringLiteral("apply needs exactly one profile file (- for standard input)"));
        auto loaded = LoadTheProfile(files.front());
        if (auto* code = std::get_if<int>(&loaded))
            return *code;
        const Profile profile = std::get<Profile>(loaded);
        bool bad = false;
        const auto remote = RemoteOption(bad);
        if (bad)
            return kExitUsage;
        if (profile.remote && !remote)
            return Error(kExitUsage, QStringLiteral("%1 holds settings for a remote device: give --remote ADDR "
                                                    "(vtrlctl info shows the device it is bonded to)")
                                         .arg(profileName_));
        if (remote && !profile.remote)
            return Error(kExitUsage, QStringLiteral("--remote: %1 holds no settings for a remote device").arg(profileName_));
        if (parser_.isSet(QStringLiteral("dry-run"))) {
            PrintPlan(profile, remote);
            return kExitDone;
        }
        // Every file is opened before the device hears anything.
        if (auto code = ResolveThePort())
            return *code;
        if (parser_.isSet(QStringLiteral("report"))) {
            report_ = std::make_unique<ReportLog>();
            const QString why = report_->Open(parser_.value(QStringLiteral("report")));
            if (!why.isEmpty())
                return Error(kExitFailure, QStringLiteral("cannot append to the report %1: %2").arg(parser_.value(QStringLiteral("report")), why));
        }
        if (auto code = OpenTrace())
            return *code;

        clock_.start();
        record_[QStringLiteral("time")] = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        record_[QStringLiteral("port")] = PortName(port_);
        record_[QStringLiteral("path")] = QString::fromStdString(port_.path);
        const QJsonObject masked = MaskedProfile(profile);
        record_[QStringLiteral("profile")] = QJsonObject{
            {QStringLiteral("file"), profileName_},
            {QStringLiteral("sha256"), QString::fromLatin1(QCryptographicHash::hash(QJsonDocument(masked).toJson(QJsonDocument::Compact),
                                                                                    QCryptographicHash::Sha256)
                                                               .toHex())},
            {QStringLiteral("settings"), masked}};
        const int code = ApplyToDevice(profile, remote);
        return Finish(code);
    }

    // Runs one step of apply and enters it in the record.
    Step Do(const QString& name, const std::function<Step()>& step)
    {
        QElapsedTimer t;
        t.start();
        Step f = step();
        QJsonObject o{{QStringLiteral("step"), name},
                      {QStringLiteral("result"), f ? ResultWord(*f) : QStringLiteral("ok")},
                      {QStringLiteral("ms"), t.elapsed()}};
        if (f) {
            o[QStringLiteral("message")] = f->text;
            failedStep_ = name;
        }
        steps_.append(o);
        return f;
    }

    // What the device took of the settings, for a failure or a stop after
    // the first setting went out.
    QStringList DeviceState(const Failure& f)
    {
        QStringList lines;
        QStringList maybe;
        if (f.sent && settingSteps_.contains(failedStep_))
            maybe << failedStep_;
        if (taken_.isEmpty() && maybe.isEmpty()) {
            lines << QStringLiteral("No setting was sent: the device is unchanged.");
            flash_ = QStringLiteral("unchanged");
            return lines;
        }
        QString took;
        if (!taken_.isEmpty())
            took = QStringLiteral("The device took the %1").arg(Listed(taken_));
        if (!maybe.isEmpty())
            took += (took.isEmpty() ? QStringLiteral("The device may have taken the %1") : QStringLiteral("; it may also have taken the %1"))
                        .arg(maybe.front())
                + QStringLiteral(" (sent, not confirmed)");
        lines << took + QLatin1Char('.');
        if (failedStep_ == QLatin1String("save to flash") && f.sent && (f.code != kExitRefused || f.unclear)) {
            lines << QStringLiteral("It was saving them to flash and did not confirm: its flash may hold the old or the new settings.");
            flash_ = QStringLiteral("unknown");
        } else if (flashSaved_) {
            lines << QStringLiteral("They were saved to flash; the verification did not finish.");
        } else {
            lines << QStringLiteral("None of them is saved to flash: the device runs them until it restarts, then the settings in its flash return.");
            if (flash_ == QLatin1String("not reached"))
                flash_ = QStringLiteral("not saved");
        }
        return lines;
    }

    int Failed(Failure f)
    {
        if (settingsStarted_ || f.signal != 0) {
            const QStringList state = DeviceState(f);
            record_[QStringLiteral("deviceState")] = QJsonArray::fromStringList(state);
            f.text += QLatin1Char('\n') + state.join(QLatin1Char('\n'));
        }
        failure_ = f;
        const bool connected = session_ && session_->Connected();
        if (session_)
            session_->AbortIfConnected();
        if (connected)
            f.text += QStringLiteral("\nAbort sent: the device knows the session ended unfinished.");
        return Error(f.code, f.text);
    }

    int ApplyToDevice(const Profile& profile, const std::optional<DeviceAddress>& remote)
    {
        if (auto code = OpenDevice()) {
            failure_ = openFailure_;
            failedStep_ = QStringLiteral("open the port");
            return *code;
        }
        Session& s = *session_;
        if (auto f = Do(QStringLiteral("connect"), [&] { return s.Connect(); }))
            return Failed(*f);
        record_[QStringLiteral("device")] = UnitJson(s.LocalAddress(), s.LocalVersion());
        const protocol::DeviceConfig local = s.LocalConfig();
        const auto stepDone = [&](const QString& what) { Progress(QStringLiteral("%1 (%2 ms)").arg(what).arg(clock_.elapsed())); };
        stepDone(QStringLiteral("Connected to %1").arg(FormatAddress(s.LocalAddress())));
        protocol::DeviceConfig remoteConfig{};
        const auto fits = [&]() -> Step {
            if (local.DeviceFunction != profile.function)
                return Failure{kExitUsage, QStringLiteral("%1 is for a %2; the device on %3 is a %4")
                                               .arg(profileName_, FunctionText(profile.function), PortName(port_),
                                                    FunctionText(local.DeviceFunction))};
            if (remote) {
                VersionRecord version;
                if (auto f = s.ReachRemote(*remote, version, remoteConfig))
                    return f;
                record_[QStringLiteral("remote")] = UnitJson(*remote, version);
            }
            // Everything that can be judged before the first setting goes out is.
            auto localExtras = PortExtras(QStringLiteral("local"), profile.local, local);
            if (auto* f = std::get_if<Failure>(&localExtras))
                return *f;
            if (remote) {
                auto extras = PortExtras(QStringLiteral("remote"), *profile.remote, remoteConfig);
                if (auto* f = std::get_if<Failure>(&extras))
                    return *f;
            }
            if (profile.function == 2 && profile.device.authentication.value_or(local.Authentication != 0)
                && profile.device.pin.value_or(protocol::FieldText(local.PinCode.data(), local.PinCode.size())).empty())
                return Failure{kExitUsage, QStringLiteral("local.pin: authentication is on but neither the profile nor the device holds a PIN")};
            return std::nullopt;
        };
        if (auto f = Do(remote ? QStringLiteral("reach remote and check profile") : QStringLiteral("check profile"), fits))
            return Failed(*f);
        if (remote)
            stepDone(QStringLiteral("Remote device %1 reached").arg(FormatAddress(*remote)));

        settingsStarted_ = true;
        const auto setting = [&](const QString& name, const std::function<Step()>& step) -> Step {
            settingSteps_ << name;
            if (auto f = Do(name, step))
                return f;
            taken_ << name;
            return std::nullopt;
        };
        if (auto f = setting(QStringLiteral("local port settings"), [&] { return s.SetPort(DeviceAddress{}, QStringLiteral("local"), profile.local, local); }))
            return Failed(*f);
        stepDone(QStringLiteral("Local port settings confirmed"));
        if (profile.function == 2) {
            if (auto f = setting(QStringLiteral("local device settings"), [&] { return s.SetDevice(profile.device, local); }))
                return Failed(*f);
            stepDone(QStringLiteral("Local device settings confirmed"));
        }
        if (remote) {
            if (auto f = setting(QStringLiteral("remote port settings"),
                                 [&] { return s.SetPort(*remote, QStringLiteral("remote"), *profile.remote, remoteConfig); }))
                return Failed(*f);
            stepDone(QStringLiteral("Remote port settings confirmed"));
        }
        if (parser_.isSet(QStringLiteral("no-flash"))) {
            flash_ = QStringLiteral("not asked");
        } else {
            if (auto f = Do(QStringLiteral("save to flash"), [&] { return s.Flash(); }))
                return Failed(*f);
            flashSaved_ = true;
            flash_ = QStringLiteral("saved");
            stepDone(QStringLiteral("All settings were saved successfully."));
        }

        QStringList differences;
        protocol::DeviceConfig now{};
        if (auto f = Do(QStringLiteral("verify local"), [&] {
                return s.ReadConfig(DeviceAddress{}, QStringLiteral("verification: local"), t_.portCheck, now);
            }))
            return Failed(*f);
        differences += CompareSettings(QStringLiteral("local"), profile.local, profile.function == 2 ? &profile.device : nullptr, now);
        if (remote) {
            if (auto f = Do(QStringLiteral("verify remote"),
                            [&] { return s.ReadConfig(*remote, QStringLiteral("verification: remote"), t_.bondStep, now); }))
                return Failed(*f);
            differences += CompareSettings(QStringLiteral("remote"), *profile.remote, nullptr, now);
        }
        verification_ = QJsonObject{{QStringLiteral("result"), differences.isEmpty() ? QStringLiteral("ok") : QStringLiteral("mismatch")},
                                    {QStringLiteral("differences"), QJsonArray::fromStringList(differences)}};
        if (!differences.isEmpty()) {
            failure_ = Failure{kExitMismatch, QStringLiteral("verification failed: ") + differences.join(QStringLiteral("; "))};
            failedStep_ = QStringLiteral("verification");
            return Error(kExitMismatch, QStringLiteral("verification failed:\n  ") + differences.join(QStringLiteral("\n  ")));
        }
        Progress(QStringLiteral("Verified by a fresh read: the device%1 hold%2 every setting of the profile.")
                     .arg(remote ? QStringLiteral("s") : QString(), remote ? QString() : QStringLiteral("s")));
        Progress(QStringLiteral("Applied in %1 ms, %2 ms of it waiting for the device.")
                     .arg(static_cast<double>(clock_.nsecsElapsed()) / 1e6, 0, 'f', 1)
                     .arg(link_->WaitedMs(), 0, 'f', 1));
        return kExitDone;
    }

    // The record of an apply: on standard output with --json, appended to the report with --report.
    int Finish(int code)
    {
        record_[QStringLiteral("steps")] = steps_;
        record_[QStringLiteral("verification")] = verification_.isEmpty() ? QJsonObject{{QStringLiteral("result"), QStringLiteral("not done")}}
                                                                          : verification_;
        record_[QStringLiteral("flash")] = flash_;
        if (failure_) {
            record_[QStringLiteral("failure")] = QJsonObject{{QStringLiteral("step"), failedStep_},
                                                             {QStringLiteral("result"), ResultWord(*failure_)},
                                                             {QStringLiteral("message"), failure_->text}};
        }
        record_[QStringLiteral("ms")] = clock_.elapsed();
        record_[QStringLiteral("exit")] = code;
        if (parser_.isSet(QStringLiteral("json")))
            out_ << QJsonDocument(record_).toJson(QJsonDocument::Indented);
        if (report_) {
            const QString why = report_->Append(record_);
            if (!why.isEmpty()) {
                where_.clear();
                return Error(code == kExitDone ? kExitFailure : code,
                             QStringLiteral("cannot append to the report %1: %2; this run is not in it")
                                 .arg(parser_.value(QStringLiteral("report")), why));
            }
        }
        return code;
    }

    const QCommandLineParser& parser_;
    QTextStream& out_;
    QTextStream& err_;
    Timeouts t_;
    PortChoice port_;
    QString where_;  // the port, once open: it starts every message
    std::unique_ptr<QFile> traceFile_;
    std::unique_ptr<QTextStream> traceStream_;
    std::unique_ptr<Trace> trace_;
    std::unique_ptr<DeviceLink> link_;
    std::unique_ptr<Session> session_;
    std::optional<Failure> openFailure_;
    std::optional<DeviceAddress> readRemote_;
    std::unique_ptr<QSaveFile> profileFile_;  // read's output, committed only when complete
    // apply
    QString profileName_;
    std::unique_ptr<ReportLog> report_;
    QElapsedTimer clock_;
    QJsonObject record_;
    QJsonArray steps_;
    QJsonObject verification_;
    QString flash_ = QStringLiteral("not reached");
    std::optional<Failure> failure_;
    QString failedStep_;
    bool settingsStarted_ = false;
    bool flashSaved_ = false;
    QStringList settingSteps_;  // setting steps begun
    QStringList taken_;         // setting steps the device confirmed
};

}  // namespace

void CatchStopSignals() { g_catchStopSignals = true; }

Timeouts TimeoutsFromEnvironment()
{
    bool ok = false;
    const double scale = qEnvironmentVariable("VTRLCTL_TIME_SCALE").toDouble(&ok);
    if (ok && scale > 0 && scale <= 1)
        return Timeouts{}.Scaled(scale);
    return Timeouts{};
}

namespace {

int RunParsed(const QStringList& args, QTextStream& out, QTextStream& err, const Timeouts& timeouts)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads, saves and applies the settings of Vantrel radio devices."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version."));
    parser.addOption(help);
    parser.addOption(version);
    for (const OptionInfo& o : kOptions) {
        QStringList names{QLatin1String(o.name)};
        if (o.shortName)
            names.prepend(QLatin1String(o.shortName));
        parser.addOption(o.value ? QCommandLineOption(names, QLatin1String(o.text), QLatin1String(o.value))
                                 : QCommandLineOption(names, QLatin1String(o.text)));
    }
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ports, info, discover, read, apply or report."));

    const auto usage = [&](const QString& text) {
        err << "vtrlctl: " << text << "\nTry vtrlctl --help.\n";
        err.flush();
        return kExitUsage;
    };
    if (!parser.parse(ExpandShortOptions(args)))
        return usage(parser.errorText());
    if (parser.isSet(version)) {
        out << "vtrlctl " << kVersion << '\n';
        return kExitDone;
    }
    QStringList positional = parser.positionalArguments();
    bool wantHelp = parser.isSet(help);
    if (!positional.isEmpty() && positional.front() == QLatin1String("help")) {
        positional.removeFirst();
        wantHelp = true;
    }
    const CommandInfo* command = positional.isEmpty() ? nullptr : FindCommand(positional.front());
    if (!positional.isEmpty() && !command)
        return usage(QStringLiteral("unknown command \"%1\"; use ports, info, discover, read, apply or report").arg(positional.front()));
    if (wantHelp) {
        out << (command ? CommandHelp(*command) : parser.helpText() + kHelpEpilog);
        return kExitDone;
    }
    if (!command)
        return usage(QStringLiteral("no command given"));
    const QString name = positional.front();
    for (const QString& option : parser.optionNames()) {
        const QString longName = option == QLatin1String("p") ? QStringLiteral("port")
            : option == QLatin1String("o")                     ? QStringLiteral("output")
                                                               : option;
        if (!command->options.contains(longName))
            return usage(QStringLiteral("--%1 does not apply to %2").arg(longName, name));
    }
    const bool takesFile = name == QLatin1String("apply") || name == QLatin1String("report");
    if (!takesFile && positional.size() > 1)
        return usage(QStringLiteral("%1 takes no file argument (\"%2\")").arg(name, positional.at(1)));
    if (name == QLatin1String("report") && positional.size() != 2)
        return usage(QStringLiteral("report needs exactly one file, the one apply --report wrote"));
    serial::RegisterPortsFromEnvironment();
    Command run(parser, out, err, timeouts);
    return run.Run(name);
}

}  // namespace

int RunCli(const QStringList& args, QTextStream& out, QTextStream& err, const Timeouts& timeouts)
{
    int code = RunParsed(args, out, err, timeouts);
    // Output that never arrived is a failure, whatever the command did.
    out.flush();
    if (out.status() != QTextStream::Ok) {
        err << "vtrlctl: cannot write the output: " << StreamError(out) << '\n';
        err.flush();
        if (code == kExitDone)
            code = kExitFailure;
    }
    return code;
}

}  // namespace vtrl::ctl
