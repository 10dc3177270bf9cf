#pragma once
// What the commands of vtrlctl share: their streams and options, messages
// that name the port, the trace, and the port with its session. Each command
// lives in a file of its own with the state only it uses.

#include "ctl/link.h"
#include "ctl/profile.h"
#include "ctl/session.h"
#include "ctl/commission.h"
#include "record/record.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QJsonObject>
#include <QString>
#include <QTextStream>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace vtrl::ctl {

struct PortChoice {
    std::uint32_t number = 0;
    std::string path;
    // What messages, the trace and the record call it: "COM Port 33
    // (/dev/ttyUSB0)" for a port of the table or of VTRLCFG_PORTS, else the
    // path the user gave and the device it leads to.
    QString name = {};
};

std::variant<PortChoice, QString> ResolvePort(const QString& text);
QString PortName(const PortChoice& p);
QString Text(const std::string& text);
// "join group dialout (sudo adduser $USER dialout, then log in again)"
QString JoinHint(const std::string& group);

QJsonObject ProfileObject(const Profile& p);
QJsonObject LocalSectionJson(const protocol::DeviceConfig& config);
QJsonObject UnitJson(const DeviceAddress& address, const VersionRecord& version);
// How a failed step ended, in a word for records and summaries.
QString ResultWord(const Failure& f);
// "a", "a and b", "a, b and c"
QString Listed(const QStringList& items);
// The error of a stream that failed, from its file where it has one.
QString StreamError(const QTextStream& s);
// A profile as records show it: the PIN never appears.
QJsonObject MaskedProfile(const Profile& p);

inline constexpr qint64 kProfileMaxBytes = 64 * 1024;

// Takes what is written and keeps none of it (a session's progress under -q).
class Nowhere final : public QIODevice {
public:
    Nowhere() { open(QIODevice::WriteOnly); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64 size) override { return size; }
};

// Whether the program asked for stop signals to be caught (CatchStopSignals).
bool StopSignalsWanted();

class Command {
public:
    Command(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);
    virtual ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Runs the command; a trace that could not be written whole fails it.
    int Run();

protected:
    virtual int Execute() = 0;

    bool Flag(const char* name) const { return parser_.isSet(QLatin1String(name)); }
    QString Value(const char* name) const { return parser_.value(QLatin1String(name)); }

    // Prints "vtrlctl: " and the text, every line naming the port once it is open.
    int Error(int code, const QString& text);
    // A failure after the device answered ends the session as the wizard
    // does when closed unfinished.
    int Stop(const Failure& f);
    void Progress(const QString& text);

    std::optional<int> OpenTrace();
    std::optional<int> ResolveThePort();
    std::optional<int> OpenDevice();
    // --remote, checked; `bad` after an error was printed.
    std::optional<DeviceAddress> RemoteOption(bool& bad);
    // --remote ADDR or --remote bonded.
    RemoteChoice RemoteChoiceOption(bool& bad);
    QJsonObject PortJson() const;
    // The profile named on the command line, or standard input for "-".
    std::variant<Profile, int> LoadTheProfile(const QString& name);
    // The database --record (or the default) names; nothing with "off".
    std::optional<int> OpenRecord();
    // Appends a run; an exit code when that failed (and was said).
    std::optional<int> AppendRecord(const QJsonObject& run, int code);
    // What every record starts with: time, program, station, host, labels,
    // port and the profile (PIN masked, hashed).
    QJsonObject RunRecord(const QString& program, const Profile& profile, const QString& profileFile) const;
    qint64 Elapsed() const { return clock_.elapsed(); }
    // Where a session's own progress goes: nowhere with -q.
    QTextStream& SessionProgress();

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
    bool quiet_ = false;    // -q: errors only
    bool verbose_ = false;  // -v: every step as it starts
    QMap<QString, QString> labels_;
    QString profileName_;
    std::unique_ptr<record::Store> record_;
    QElapsedTimer clock_;

private:
    std::unique_ptr<QIODevice> nowhere_;
    std::unique_ptr<QTextStream> silent_;
};

// --label key=value pairs, checked; the error text when one is bad.
std::variant<QMap<QString, QString>, QString> ParseLabels(const QStringList& values);
// The host name, the station a record names when no label says one.
QString HostName();
// sha256 of a profile as records show it.
QString ProfileHash(const Profile& p);

// The commands, each in its own file.
using CommandRunner = int (*)(const QCommandLineParser&, QTextStream& out, QTextStream& err, const Timeouts&);
int RunPorts(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);
int RunInfo(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);
int RunDiscover(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);
int RunRead(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);
int RunApply(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);
int RunVerify(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);
int RunLine(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);
int RunReport(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t);

}  // namespace vtrl::ctl
