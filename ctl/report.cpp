// report: what the record says, from a database or a JSON-lines file.
#include "ctl/report.h"
#include "ctl/command.h"
#include "record/record.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>

#include <algorithm>

namespace vtrl::ctl {

namespace {

struct Unit {
    QString id;  // the device's address, or the port where none was reached
    int runs = 0;
    bool failedBefore = false;  // a run before the latest failed
    QJsonObject last;
};

QString Cause(const QJsonObject& run)
{
    const QJsonObject f = run.value(QStringLiteral("failure")).toObject();
    if (f.isEmpty())
        return QStringLiteral("exit %1").arg(run.value(QStringLiteral("exit")).toInt());
    return QStringLiteral("%1: %2").arg(f.value(QStringLiteral("step")).toString(), f.value(QStringLiteral("result")).toString());
}

QString FirstLine(const QString& text) { return text.section(QLatin1Char('\n'), 0, 0); }

QString UnitId(const QJsonObject& run)
{
    const QString id = run.value(QStringLiteral("device")).toObject().value(QStringLiteral("address")).toString();
    return id.isEmpty() ? QStringLiteral("(no device on %1)").arg(run.value(QStringLiteral("path")).toString()) : id;
}

bool Ok(const QJsonObject& run) { return run.value(QStringLiteral("exit")).toInt() == 0; }

QString Station(const QJsonObject& run)
{
    const QString s = run.value(QStringLiteral("station")).toString();
    return s.isEmpty() ? QStringLiteral("(none)") : s;
}

// Units done and failed by their latest run in each group.
QMap<QString, std::pair<int, int>> ByGroup(const QList<QJsonObject>& runs, const std::function<QString(const QJsonObject&)>& group)
{
    QMap<QString, QMap<QString, bool>> latest;  // group -> unit -> ok
    for (const QJsonObject& run : runs)
        latest[group(run)][UnitId(run)] = Ok(run);
    QMap<QString, std::pair<int, int>> counts;
    for (auto g = latest.cbegin(); g != latest.cend(); ++g)
        for (const bool ok : g.value())
            (ok ? counts[g.key()].first : counts[g.key()].second) += 1;
    return counts;
}

int Summarise(const QString& source, const QList<QJsonObject>& runs, int unreadable, bool json, QTextStream& out)
{
    QList<Unit> units;  // in the order first seen
    QMap<QString, int> causes;
    for (const QJsonObject& run : runs) {
        const QString id = UnitId(run);
        auto it = std::find_if(units.begin(), units.end(), [&](const Unit& u) { return u.id == id; });
        if (it == units.end())
            it = units.insert(units.end(), Unit{id, 0, false, {}});
        if (it->runs > 0 && !Ok(it->last))
            it->failedBefore = true;
        ++it->runs;
        it->last = run;  // appended in time order
        if (!Ok(run))
            ++causes[Cause(run)];
    }
    QList<const Unit*> done, failed;
    for (const Unit& u : units)
        (Ok(u.last) ? done : failed).append(&u);
    const auto stations = ByGroup(runs, Station);
    const auto days = ByGroup(runs, [](const QJsonObject& r) { return r.value(QStringLiteral("time")).toString().left(10); });
    const int code = failed.isEmpty() ? kExitDone : kExitUnitsFailed;

    if (json) {
        const auto list = [](const QList<const Unit*>& from) {
            QJsonArray a;
            for (const Unit* u : from) {
                QJsonObject o{{QStringLiteral("unit"), u->id},
                              {QStringLiteral("runs"), u->runs},
                              {QStringLiteral("time"), u->last.value(QStringLiteral("time"))},
                              {QStringLiteral("station"), u->last.value(QStringLiteral("station"))},
                              {QStringLiteral("port"), u->last.value(QStringLiteral("port"))},
                              {QStringLiteral("exit"), u->last.value(QStringLiteral("exit"))}};
                if (u->last.contains(QStringLiteral("failure")))
                    o[QStringLiteral("failure")] = u->last.value(QStringLiteral("failure"));
                a.append(o);
            }
            return a;
        };
        const auto groups = [](const QMap<QString, std::pair<int, int>>& from) {
            QJsonObject o;
            for (auto g = from.cbegin(); g != from.cend(); ++g)
                o[g.key()] = QJsonObject{{QStringLiteral("done"), g.value().first}, {QStringLiteral("failed"), g.value().second}};
            return o;
        };
        QJsonObject why;
        for (auto c = causes.cbegin(); c != causes.cend(); ++c)
            why[c.key()] = c.value();
        const QJsonObject o{{QStringLiteral("runs"), static_cast<int>(runs.size())},
                            {QStringLiteral("units"), static_cast<int>(units.size())},
                            {QStringLiteral("done"), list(done)},
                            {QStringLiteral("failed"), list(failed)},
                            {QStringLiteral("causes"), why},
                            {QStringLiteral("stations"), groups(stations)},
                            {QStringLiteral("days"), groups(days)},
                            {QStringLiteral("unreadableLines"), unreadable}};
        out << QJsonDocument(o).toJson(QJsonDocument::Indented);
        return code;
    }
    out << source << ": " << runs.size() << " run(s), " << units.size() << " unit(s): " << done.size() << " done, " << failed.size()
        << " failed\n";
    if (!failed.isEmpty()) {
        out << "Failed (latest run of each unit):\n";
        for (const Unit* u : failed) {
            const QJsonObject& r = u->last;
            out << "  " << u->id << "  " << r.value(QStringLiteral("time")).toString() << "  " << Station(r) << "  "
                << r.value(QStringLiteral("port")).toString() << "  exit " << r.value(QStringLiteral("exit")).toInt() << "  "
                << FirstLine(r.value(QStringLiteral("failure")).toObject().value(QStringLiteral("message")).toString()) << '\n';
        }
    }
    if (!causes.isEmpty()) {
        out << "Causes of failure (all runs):\n";
        for (auto c = causes.cbegin(); c != causes.cend(); ++c)
            out << QStringLiteral("  %1  %2\n").arg(c.value(), 4).arg(c.key());
    }
    const auto table = [&](const char* title, const QMap<QString, std::pair<int, int>>& groups) {
        out << title << '\n';
        for (auto g = groups.cbegin(); g != groups.cend(); ++g)
            out << QStringLiteral("  %1  %2 done  %3 failed\n").arg(g.key(), -20).arg(g.value().first, 4).arg(g.value().second, 4);
    };
    if (!runs.isEmpty()) {
        table("Units per station (latest run there):", stations);
        table("Units per day (latest run that day):", days);
    }
    const auto retried = std::count_if(done.begin(), done.end(), [](const Unit* u) { return u->failedBefore; });
    if (retried > 0)
        out << retried << " unit(s) done after a failed run.\n";
    if (unreadable > 0)
        out << unreadable << " line(s) could not be read (cut short by a full disk?).\n";
    return code;
}

int History(const QString& address, const QList<QJsonObject>& runs, bool json, QTextStream& out, QTextStream& err)
{
    const auto unit = ParseAddress(address);
    if (!unit) {
        err << "vtrlctl: --unit " << address << ": give the unit's address as 12 hex digits\n";
        err.flush();
        return kExitUsage;
    }
    const QString id = FormatAddress(*unit);
    QJsonArray list;
    int lastExit = 0;
    for (const QJsonObject& run : runs) {
        const bool local = UnitId(run) == id;
        const bool remote = run.value(QStringLiteral("remote")).toObject().value(QStringLiteral("address")).toString() == id;
        if (!local && !remote)
            continue;
        lastExit = run.value(QStringLiteral("exit")).toInt();
        if (json) {
            list.append(run);
            continue;
        }
        const QJsonObject f = run.value(QStringLiteral("failure")).toObject();
        out << run.value(QStringLiteral("time")).toString() << "  " << Station(run) << "  "
            << run.value(QStringLiteral("program")).toString() << "  " << run.value(QStringLiteral("port")).toString() << "  "
            << (remote ? "as remote  " : "") << (f.isEmpty() ? QStringLiteral("done") : Cause(run)) << "  exit " << lastExit << '\n';
    }
    if (json)
        out << QJsonDocument(list).toJson(QJsonDocument::Indented);
    else if (list.isEmpty() && lastExit == 0 && runs.end() == std::find_if(runs.begin(), runs.end(), [&](const QJsonObject& r) { return UnitId(r) == id; }))
        out << "No run of " << id << " in the record.\n";
    return lastExit == 0 ? kExitDone : kExitUnitsFailed;
}

}  // namespace

int RunReport(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts&)
{
    const auto fail = [&](const QString& text) {
        err << "vtrlctl: " << text << '\n';
        err.flush();
        return kExitFailure;
    };
    QString source = parser.positionalArguments().value(1);
    if (source.isEmpty())
        source = parser.isSet(QStringLiteral("record")) ? parser.value(QStringLiteral("record")) : record::DefaultLocation();
    if (record::IsOff(source))
        return fail(QStringLiteral("report: the record is off; name a database or a file"));
    QList<QJsonObject> runs;
    int unreadable = 0;
    QString error;
    if (record::IsDatabase(source)) {
        const bool file = !source.contains(QLatin1String("://"));
        const QString path = source.startsWith(QLatin1String("sqlite:")) ? source.mid(7) : source;
        // A report reads; it creates no database where none was.
        if (file && !QFileInfo::exists(path))
            return fail(QStringLiteral("cannot read the record %1: there is no such file").arg(path));
        const auto store = record::Store::Open(source, error);
        if (!store)
            return fail(QStringLiteral("cannot read the record %1: %2").arg(source, error));
        const auto read = store->Runs(error);
        if (!read)
            return fail(QStringLiteral("cannot read the record %1: %2").arg(source, error));
        runs = *read;
    } else {
        const auto read = record::ReadJsonLines(source, unreadable, error);
        if (!read)
            return fail(QStringLiteral("cannot read the report %1: %2").arg(source, error));
        runs = *read;
    }
    if (parser.isSet(QStringLiteral("export"))) {
        for (const QJsonObject& run : runs)
            out << QJsonDocument(run).toJson(QJsonDocument::Compact) << '\n';
        return kExitDone;
    }
    const bool json = parser.isSet(QStringLiteral("json"));
    if (parser.isSet(QStringLiteral("unit")))
        return History(parser.value(QStringLiteral("unit")), runs, json, out, err);
    return Summarise(source, runs, unreadable, json, out);
}

}  // namespace vtrl::ctl
