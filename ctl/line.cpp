// line: a commissioning line in one process, one slot per port, unit after unit.
#include "ctl/command.h"
#include "ctl/commission.h"
#include "ctl/ports_list.h"
#include "ctl/stop.h"
#include "ctl/wake.h"
#include "protocol/payloads.h"
#include "protocol/rules.h"

#include "holders.h"
#include "ports.h"
#include "portnames.h"
#include "watcher.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>

namespace vtrl::ctl {

namespace {

using Clock = std::chrono::steady_clock;

struct UnitValues {
    std::optional<std::string> name;
    std::optional<std::string> pin;
};

// What a slot shows: one row of the table.
struct SlotView {
    QString unit;
    QString step = QStringLiteral("starting");
    QString result;
    Clock::time_point since = Clock::now();
    int done = 0;
    int failed = 0;
};

// A device's text field: Latin-1, within its length.
QString FieldProblem(const QString& what, const QString& text, qsizetype max, bool allowEmpty)
{
    for (const QChar c : text)
        if (c.unicode() > 0xFF || c.unicode() == 0)
            return QStringLiteral("%1 \"%2\": the device holds Latin-1 characters only").arg(what, text);
    if (text.toLatin1().size() > max)
        return QStringLiteral("%1 \"%2\" is too long; the device holds at most %3 characters").arg(what, text).arg(max);
    if (!allowEmpty && text.isEmpty())
        return QStringLiteral("%1 is empty").arg(what);
    return QString();
}

bool IsPattern(const QString& port)
{
    return port.contains(QLatin1Char('*')) || port.contains(QLatin1Char('?')) || port.contains(QLatin1Char('['));
}

// The step a unit failed at, in the record's words.
QString failedStep(const Commission& job)
{
    QJsonObject record;
    job.Fill(record);
    const QJsonObject f = record.value(QStringLiteral("failure")).toObject();
    return f.value(QStringLiteral("step")).toString() + QStringLiteral(": ") + f.value(QStringLiteral("result")).toString();
}

class LineCommand final : public Command {
public:
    using Command::Command;
    ~LineCommand() override { StopSlots(); }

private:
    struct Slot {
        PortChoice port;
        std::thread thread;
        SlotView view;  // under mutex_
        bool ended = false;
    };

    int Execute() override
    {
        const QStringList files = parser_.positionalArguments().mid(1);
        if (files.size() != 1)
            return Error(kExitUsage, QStringLiteral("line needs exactly one profile file"));
        auto loaded = LoadTheProfile(files.front());
        if (auto* code = std::get_if<int>(&loaded))
            return *code;
        profile_ = std::get<Profile>(loaded);
        bool bad = false;
        remote_ = RemoteChoiceOption(bad);
        if (bad)
            return kExitUsage;
        if (profile_.remote && !remote_.given())
            return Error(kExitUsage, QStringLiteral("%1 holds settings for a remote device: give --remote bonded").arg(profileName_));
        if (remote_.kind == RemoteChoice::Kind::Address)
            return Error(kExitUsage, QStringLiteral("--remote: on a line every unit has its own remote; give --remote bonded"));
        if (auto code = LoadUnitValues())
            return *code;
        if (parser_.values(QStringLiteral("port")).isEmpty() && !Flag("all"))
            return Error(kExitUsage, QStringLiteral("line needs its ports: --port P (repeatable, or a pattern such as /dev/ttyUSB*) or --all"));
        if (!PortsFollowed()) {
            // Both wait for ports that come; nothing here would ever see one.
            const QStringList ports = parser_.values(QStringLiteral("port"));
            const auto pattern = std::find_if(ports.cbegin(), ports.cend(), IsPattern);
            if (Flag("all") || pattern != ports.cend())
                return Error(kExitUsage, QStringLiteral("line %1 is not available on Windows: this build cannot follow ports plugged in "
                                                        "or pulled out; name each port with --port COMn")
                                             .arg(Flag("all") ? QStringLiteral("--all") : QStringLiteral("--port ") + *pattern));
        }
        if (Flag("units")) {
            bool ok = false;
            unitsLimit_ = Value("units").toInt(&ok);
            if (!ok || unitsLimit_ < 1)
                return Error(kExitUsage, QStringLiteral("--units %1: give a number of units, 1 or more").arg(Value("units")));
        }
        if (auto code = OpenRecord())
            return *code;
        if (record_ && !Flag("redo")) {
            QString error;
            if (const auto runs = record_->Runs(error)) {
                const QString hash = ProfileHash(profile_);
                for (const QJsonObject& run : *runs)
                    if (run.value(QStringLiteral("exit")).toInt() == 0
                        && run.value(QStringLiteral("profile")).toObject().value(QStringLiteral("sha256")).toString() == hash)
                        done_.insert(run.value(QStringLiteral("device")).toObject().value(QStringLiteral("address")).toString());
            }
        }
        if (StopSignalsWanted())
            stop::Catch();
        table_ = OutputIsTerminal();
        clock_.start();
        return Work();
    }

    std::optional<int> LoadUnitValues()
    {
        const bool manifest = Flag("manifest"), pattern = Flag("name");
        if (!manifest && !pattern)
            return std::nullopt;
        if (manifest && pattern)
            return Error(kExitUsage, QStringLiteral("--manifest and --name: give one of them"));
        if (profile_.function != protocol::kSppServer)
            return Error(kExitUsage, QStringLiteral("--%1: names and PINs are settings of an SPP Server; %2 is for a %3")
                                         .arg(manifest ? QStringLiteral("manifest") : QStringLiteral("name"), profileName_,
                                              FunctionText(profile_.function)));
        if (pattern) {
            static const QRegularExpression field(QStringLiteral("\\{n(?::(0?)(\\d{1,2}))?\\}"));
            pattern_ = Value("name");
            patternField_ = field.match(pattern_);
            if (!patternField_.hasMatch())
                return Error(kExitUsage, QStringLiteral("--name %1: the pattern needs a counter, {n} or {n:03}").arg(pattern_));
            if (Flag("first")) {
                bool ok = false;
                counter_ = Value("first").toInt(&ok);
                if (!ok || counter_ < 0)
                    return Error(kExitUsage, QStringLiteral("--first %1: give a whole number, 0 or more").arg(Value("first")));
            }
            const QString longest = NameFor(counter_ + 100000);
            if (const QString why = FieldProblem(QStringLiteral("--name"), NameFor(counter_), protocol::kDeviceNameMax, false);
                !why.isEmpty())
                return Error(kExitUsage, why);
            return std::nullopt;
        }
        QFile file(Value("manifest"));
        if (!file.open(QIODevice::ReadOnly))
            return Error(kExitUsage, QStringLiteral("cannot read the manifest %1: %2").arg(file.fileName(), file.errorString()));
        int number = 0;
        for (const QByteArray& raw : file.readAll().split('\n')) {
            ++number;
            const QString line = QString::fromUtf8(raw).trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            const QStringList fields = line.split(QLatin1Char(','));
            const auto address = ParseAddress(fields.value(0).trimmed());
            if (!address) {
                if (number == 1)
                    continue;  // a header
                return Error(kExitUsage, QStringLiteral("%1:%2: \"%3\" is no unit address (12 hex digits)")
                                             .arg(file.fileName()).arg(number).arg(fields.value(0)));
            }
            UnitValues v;
            const QString name = fields.value(1).trimmed(), pin = fields.value(2).trimmed();
            QString why;
            if (!name.isEmpty() && (why = FieldProblem(QStringLiteral("name"), name, protocol::kDeviceNameMax, false)).isEmpty())
                v.name = name.toLatin1().toStdString();
            if (why.isEmpty() && !pin.isEmpty() && (why = FieldProblem(QStringLiteral("PIN"), pin, protocol::kPinMax, false)).isEmpty())
                v.pin = pin.toLatin1().toStdString();
            if (!why.isEmpty())
                return Error(kExitUsage, QStringLiteral("%1:%2: %3").arg(file.fileName()).arg(number).arg(why));
            const QString key = FormatAddress(*address);
            if (manifest_.contains(key))
                return Error(kExitUsage, QStringLiteral("%1:%2: %3 is listed twice").arg(file.fileName()).arg(number).arg(key));
            manifest_.insert(key, v);
        }
        if (manifest_.isEmpty())
            return Error(kExitUsage, QStringLiteral("the manifest %1 lists no unit").arg(file.fileName()));
        return std::nullopt;
    }

    QString NameFor(int n) const
    {
        const int width = patternField_.captured(2).toInt();
        const QString number = QStringLiteral("%1").arg(n, width, 10, patternField_.captured(1).isEmpty() && width > 0 ? QLatin1Char(' ') : QLatin1Char('0'));
        QString name = pattern_;
        return name.replace(patternField_.capturedStart(), patternField_.capturedLength(), number.trimmed());
    }

    // The unit's own values go into its profile; the counter moves only for
    // a unit that is going to be commissioned.
    QString PerUnit(const DeviceAddress& address, Profile& profile, QString& unitName)
    {
        const QString key = FormatAddress(address);
        if (!manifest_.isEmpty()) {
            const auto it = manifest_.constFind(key);
            if (it == manifest_.cend())
                return QStringLiteral("unit %1 is not in the manifest %2").arg(key, Value("manifest"));
            if (it->name)
                profile.device.name = *it->name;
            if (it->pin)
                profile.device.pin = *it->pin;
        } else if (!pattern_.isEmpty()) {
            // A unit keeps the name it was given, also when it comes again after a failure.
            std::lock_guard lock(mutex_);
            auto it = names_.find(key);
            if (it == names_.end())
                it = names_.insert(key, NameFor(counter_++));
            profile.device.name = it->toLatin1().toStdString();
        }
        if (profile.device.name)
            unitName = DeviceText(*profile.device.name);
        return QString();
    }

    // The ports the options name now: patterns are matched again as ports come.
    QList<PortChoice> WantedPorts()
    {
        QList<PortChoice> wanted;
        QSet<QString> seen;
        const auto add = [&](const QString& text) {
            auto choice = ResolvePort(text);
            if (auto* p = std::get_if<PortChoice>(&choice)) {
                const QString device = QString::fromStdString(serial::RealDevice(p->path));
                if (!seen.contains(device)) {
                    seen.insert(device);
                    wanted.append(*p);
                }
            } else {
                badPorts_ << std::get<QString>(choice);
            }
        };
        for (const QString& spec : parser_.values(QStringLiteral("port"))) {
            if (!IsPattern(spec)) {
                add(spec);
                continue;
            }
            const QFileInfo info(spec.contains(QLatin1Char('/')) ? spec : QStringLiteral("/dev/") + spec);
            const QDir dir = info.dir();
            for (const QString& name : dir.entryList({info.fileName()}, QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
                add(dir.filePath(name));
        }
        if (Flag("all"))
            for (const serial::PortEntry& e : serial::ListPorts())
                if (!e.console && !e.identity.vidPid.empty() && e.state != serial::PortEntry::State::Denied)
                    add(QString::fromStdString(e.path));
        return wanted;
    }

    void StartSlots()
    {
        std::lock_guard lock(mutex_);
        for (const PortChoice& p : WantedPorts()) {
            const QString device = QString::fromStdString(serial::RealDevice(p.path));
            if (std::any_of(slots_.begin(), slots_.end(),
                            [&](const Slot& s) { return QString::fromStdString(serial::RealDevice(s.port.path)) == device; }))
                continue;
            Slot& slot = slots_.emplace_back();
            slot.port = p;
            Event(slot, QStringLiteral("slot opened"));
            slot.thread = std::thread([this, &slot] { SlotMain(slot); });
        }
    }

    int Work()
    {
        StartSlots();
        for (const QString& why : badPorts_)
            Error(kExitUsage, why);
        if (slots_.empty() && !Flag("all"))
            return Error(kExitUsage, QStringLiteral("line: no port to work on"));
        std::unique_ptr<serial::PortWatcher> watcher;
        if (Flag("all") || parser_.values(QStringLiteral("port")).join(QString()).contains(QLatin1Char('*')))
            watcher = std::make_unique<serial::PortWatcher>();
        Wake tick;
        int code = kExitDone;
        for (;;) {
            Flush(code);
            if (stop::Requested() != 0)
                break;
            {
                std::lock_guard lock(mutex_);
                if (!slots_.empty() && std::all_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.ended; }))
                    break;
            }
            if (watcher && watcher->fd() >= 0) {
                // New adapters and links become slots.
                if (const auto changes = watcher->Take(); !changes.came.empty())
                    StartSlots();
            }
            tick.Sleep(std::chrono::milliseconds(table_ ? 200 : 100));
        }
        StopSlots();
        Flush(code);
        if (table_)
            Draw(true);
        const int signal = stop::Requested();
        std::lock_guard lock(mutex_);
        int done = 0, failed = 0;
        for (const Slot& s : slots_)
            done += s.view.done, failed += s.view.failed;
        if (!quiet_)
            err_ << "line: " << done << " unit(s) done, " << failed << " failed in " << clock_.elapsed() / 1000 << " s\n";
        err_.flush();
        if (signal != 0)
            return kExitSignal + signal;
        return lastFailure_ == 0 ? code : lastFailure_;
    }

    void StopSlots()
    {
        finishing_ = true;
        for (Slot& s : slots_)
            if (s.thread.joinable())
                s.thread.join();
    }

    // Records to the database and events to the screen, from the main thread
    // only: the database connection is this thread's.
    void Flush(int& code)
    {
        std::deque<QJsonObject> records;
        std::deque<QString> events;
        {
            std::lock_guard lock(mutex_);
            records.swap(records_);
            events.swap(events_);
        }
        for (const QJsonObject& run : records)
            if (const auto failed = AppendRecord(run, kExitDone))
                code = *failed;
        if (table_) {
            Draw(false);
            return;
        }
        for (const QString& e : events)
            if (!quiet_ || e.contains(QLatin1String("failed")))
                out_ << e << '\n';
        out_.flush();
    }

    void Draw(bool last)
    {
        std::lock_guard lock(mutex_);
        if (drawn_ > 0)
            out_ << "\x1b[" << drawn_ << "A";
        const auto now = Clock::now();
        int done = 0, failed = 0;
        QStringList rows;
        qsizetype width = 4;
        for (const Slot& s : slots_)
            width = std::max(width, PortName(s.port).size());
        const int w = static_cast<int>(std::min<qsizetype>(width, 60));
        rows << QStringLiteral("%1  %2  %3  %4  %5").arg(QStringLiteral("port"), -w).arg(QStringLiteral("unit"), -12)
                    .arg(QStringLiteral("step"), -30).arg(QStringLiteral("time"), 7).arg(QStringLiteral("last result"));
        for (const Slot& s : slots_) {
            done += s.view.done, failed += s.view.failed;
            const auto secs = std::chrono::duration_cast<std::chrono::milliseconds>(now - s.view.since).count() / 1000.0;
            rows << QStringLiteral("%1  %2  %3  %4 s  %5").arg(PortName(s.port).right(w), -w).arg(s.view.unit, -12)
                        .arg(s.view.step.left(30), -30).arg(secs, 5, 'f', 1).arg(s.view.result.left(40));
        }
        rows << QStringLiteral("units done: %1   failed: %2   %3").arg(done).arg(failed).arg(last ? QStringLiteral("(ended)") : QString());
        for (const QString& r : rows)
            out_ << "\x1b[2K" << r << '\n';
        drawn_ = static_cast<int>(rows.size());
        out_.flush();
    }

    // Under mutex_.
    void Event(Slot& slot, const QString& text)
    {
        events_.push_back(QStringLiteral("%1  %2: %3%4")
                              .arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz")), PortName(slot.port),
                                   slot.view.unit.isEmpty() ? QString() : slot.view.unit + QStringLiteral(": "), text));
    }

    // A step under way; `result` replaces the last unit's result when given.
    void Show(Slot& slot, const QString& step, const QString& result = QString(), bool event = true)
    {
        std::lock_guard lock(mutex_);
        slot.view.step = step;
        if (!result.isEmpty())
            slot.view.result = result;
        slot.view.since = Clock::now();
        if (event)
            Event(slot, result.isEmpty() ? step : step + QStringLiteral(": ") + result);
    }

    bool Ending() const { return finishing_ || stop::Requested() != 0; }

    // Sleeps, but not past the line's end; false when it ends.
    bool Pause(std::chrono::milliseconds total)
    {
        Wake wake;
        for (auto slept = std::chrono::milliseconds(0); slept < total && !Ending(); slept += std::chrono::milliseconds(25))
            wake.Sleep(std::chrono::milliseconds(25));
        return !Ending();
    }

    void SlotMain(Slot& slot)
    {
        Trace trace;
        Nowhere nowhere;
        QTextStream progress(&nowhere);
        DeviceLink link(trace);
        QString lastWhy;
        while (!Ending()) {
            // A port that is not there, or held, is tried again.
            if (!link.IsOpen()) {
                if (link.Open(slot.port.number, slot.port.path) != 0) {
                    const serial::PortProbe probe = serial::LastOpenFailure();
                    const QString why = probe.outcome == serial::PortProbe::Outcome::InUse
                        ? QString::fromStdString(serial::InUseText(probe.holder))
                        : QStringLiteral("no device");
                    if (why != lastWhy)
                        Show(slot, QStringLiteral("waiting for the port: ") + why);
                    lastWhy = why;
                    Pause(std::chrono::milliseconds(500));
                    continue;
                }
                lastWhy.clear();
            }
            Session session(link, t_, progress, PortName(slot.port));
            Show(slot, QStringLiteral("waiting for a unit"), QString(), false);
            {
                std::lock_guard lock(mutex_);
                slot.view.unit.clear();
            }
            // A quiet port is asked again; one that went away is opened again.
            const Step connected = session.Connect();
            if (connected && connected->code == kExitTimedOut && !connected->garbled) {
                Pause(std::chrono::milliseconds(300));
                continue;
            }
            if (connected && connected->code == kExitPort) {
                link.Close();
                continue;
            }
            if (connected && connected->signal != 0)
                break;
            const QString unit = FormatAddress(session.LocalAddress());
            {
                std::lock_guard lock(mutex_);
                slot.view.unit = connected ? QString() : unit;
            }
            const int code = DoUnit(slot, session, link, connected.has_value());
            if (!Ending() && !Flag("once"))
                WaitForGoing(slot, link, session.LocalAddress());
            if (Flag("once") || (code >= kExitSignal))
                break;
        }
        std::lock_guard lock(mutex_);
        slot.ended = true;
        slot.view.step = QStringLiteral("ended");
        slot.view.since = Clock::now();
    }

    // One unit: commissioned and recorded, unless it holds the profile already.
    int DoUnit(Slot& slot, Session& session, DeviceLink& link, bool connectFailed)
    {
        QElapsedTimer took;
        took.start();
        const QString unit = FormatAddress(session.LocalAddress());
        bool known = false;
        {
            std::lock_guard lock(mutex_);
            known = done_.contains(unit);
        }
        if (!connectFailed && known) {
            CommissionSetup check;
            check.mode = CommissionSetup::Mode::Verify;
            check.remote = remote_;
            check.profileName = profileName_;
            check.portName = PortName(slot.port);
            QString ignored;
            QTextStream plan(&ignored);
            Show(slot, QStringLiteral("checking"), QStringLiteral("done before with this profile"));
            ctl::Commission verify(session, link, t_, check, profile_);
            // Reconnecting costs three reads; the verification reads again.
            if (verify.Run(plan) == kExitDone) {
                Show(slot, QStringLiteral("already commissioned"), QStringLiteral("holds the profile; not done again"));
                return kExitDone;
            }
        }
        CommissionSetup setup;
        setup.flash = !Flag("no-flash");
        setup.remote = remote_;
        setup.profileName = profileName_;
        setup.portName = PortName(slot.port);
        QString unitName;
        setup.perUnit = [&](const DeviceAddress& a, Profile& p) { return PerUnit(a, p, unitName); };
        setup.step = [&](const QString& step) { Show(slot, step, QString(), verbose_); };
        QString ignored;
        QTextStream plan(&ignored);
        QJsonObject record = RunRecord(QStringLiteral("line"), profile_, profileName_);
        record[QStringLiteral("port")] = PortName(slot.port);
        record[QStringLiteral("path")] = QString::fromStdString(slot.port.path);
        ctl::Commission job(session, link, t_, setup, profile_);
        int code = kExitDone;
        if (connectFailed) {
            // Connect already failed: say so as apply would.
            code = job.Run(plan);
        } else {
            code = job.Run(plan);
        }
        job.Fill(record);
        // The profile is the line's; what the unit got of its own beside it.
        if (!unitName.isEmpty())
            record[QStringLiteral("unitName")] = unitName;
        record[QStringLiteral("ms")] = took.elapsed();
        record[QStringLiteral("exit")] = code;
        std::lock_guard lock(mutex_);
        records_.push_back(record);
        slot.view.since = Clock::now();
        if (code == kExitDone) {
            ++slot.view.done;
            done_.insert(unit);
            slot.view.step = QStringLiteral("done, waiting for it to go");
            slot.view.result = QStringLiteral("ok%1 (%2 ms)").arg(unitName.isEmpty() ? QString() : QStringLiteral(" ") + unitName).arg(took.elapsed());
        } else {
            ++slot.view.failed;
            lastFailure_ = code;
            slot.view.step = QStringLiteral("failed, waiting for it to go");
            slot.view.result = QStringLiteral("failed (exit %1): %2").arg(code).arg(failedStep(job));
        }
        Event(slot, code == kExitDone ? QStringLiteral("done: ") + slot.view.result
                                      : QStringLiteral("failed (exit %1): %2").arg(code).arg(QString(job.FailureText()).replace(QLatin1Char('\n'), QStringLiteral(" | "))));
        ++unitsFinished_;
        if (unitsLimit_ > 0 && unitsFinished_ >= unitsLimit_)
            finishing_ = true;
        return code;
    }

    // Until the unit stops answering, the port hangs up, or another unit answers.
    void WaitForGoing(Slot& slot, DeviceLink& link, const DeviceAddress& unit)
    {
        while (!Ending() && link.IsOpen() && !link.Lost()) {
            if (!Pause(std::chrono::milliseconds(500)))
                break;
            if (link.Commands().SendGetLocalAddress() < 0)
                break;
            const DeviceLink::Result r = link.Await(link.Commands().LastExchange(), t_.portCheck);
            const auto answered = r.notification.block ? protocol::DecodeLocalAddress(*r.notification.block) : std::nullopt;
            if (r.outcome != DeviceLink::Outcome::Answer || answered != unit)
                break;
        }
        if (link.Lost())
            link.Close();
        Show(slot, QStringLiteral("unit gone"), QString(), true);
    }

    Profile profile_;
    RemoteChoice remote_;
    QMap<QString, UnitValues> manifest_;
    QString pattern_;
    QRegularExpressionMatch patternField_;
    int counter_ = 1;
    int unitsLimit_ = 0;
    bool table_ = false;
    int drawn_ = 0;
    QStringList badPorts_;

    std::mutex mutex_;
    std::list<Slot> slots_;  // stable addresses for the threads
    std::deque<QJsonObject> records_;
    std::deque<QString> events_;
    QSet<QString> done_;  // units the record shows done with this profile
    QMap<QString, QString> names_;  // unit -> the name the pattern gave it
    int lastFailure_ = 0;
    int unitsFinished_ = 0;
    std::atomic<bool> finishing_{false};
};

}  // namespace

int RunLine(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
{
    return LineCommand(parser, out, err, t).Run();
}

}  // namespace vtrl::ctl
