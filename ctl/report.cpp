#include "ctl/report.h"
#include "ctl/command.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>

#include <algorithm>

namespace vtrl::ctl {

namespace {

struct Unit {
    QString id;  // the device's address, or the port where none was reached
    int runs = 0;
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

}  // namespace

int SummariseReport(const QString& path, bool json, QTextStream& out, QTextStream& err)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err << "vtrlctl: cannot read the report " << path << ": " << file.errorString() << '\n';
        err.flush();
        return 1;
    }
    QList<Unit> units;  // in the order first seen
    QMap<QString, int> causes;
    int runs = 0, unreadable = 0;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        if (raw.trimmed().isEmpty())
            continue;
        const QJsonDocument doc = QJsonDocument::fromJson(raw);
        if (!doc.isObject() || !doc.object().contains(QStringLiteral("exit"))) {
            ++unreadable;
            continue;
        }
        const QJsonObject run = doc.object();
        ++runs;
        QString id = run.value(QStringLiteral("device")).toObject().value(QStringLiteral("address")).toString();
        if (id.isEmpty())
            id = QStringLiteral("(no device on %1)").arg(run.value(QStringLiteral("path")).toString());
        auto it = std::find_if(units.begin(), units.end(), [&](const Unit& u) { return u.id == id; });
        if (it == units.end())
            it = units.insert(units.end(), Unit{id, 0, {}});
        ++it->runs;
        it->last = run;  // appended in time order
        if (run.value(QStringLiteral("exit")).toInt() != 0)
            ++causes[Cause(run)];
    }
    QList<const Unit*> done, failed;
    for (const Unit& u : units)
        (u.last.value(QStringLiteral("exit")).toInt() == 0 ? done : failed).append(&u);

    if (json) {
        const auto list = [](const QList<const Unit*>& from) {
            QJsonArray a;
            for (const Unit* u : from) {
                QJsonObject o{{QStringLiteral("unit"), u->id},
                              {QStringLiteral("runs"), u->runs},
                              {QStringLiteral("time"), u->last.value(QStringLiteral("time"))},
                              {QStringLiteral("port"), u->last.value(QStringLiteral("port"))},
                              {QStringLiteral("exit"), u->last.value(QStringLiteral("exit"))}};
                if (u->last.contains(QStringLiteral("failure")))
                    o[QStringLiteral("failure")] = u->last.value(QStringLiteral("failure"));
                a.append(o);
            }
            return a;
        };
        QJsonObject why;
        for (auto c = causes.cbegin(); c != causes.cend(); ++c)
            why[c.key()] = c.value();
        const QJsonObject o{{QStringLiteral("runs"), runs},         {QStringLiteral("units"), static_cast<int>(units.size())},
                            {QStringLiteral("done"), list(done)},   {QStringLiteral("failed"), list(failed)},
                            {QStringLiteral("causes"), why},        {QStringLiteral("unreadableLines"), unreadable}};
        out << QJsonDocument(o).toJson(QJsonDocument::Indented);
        return 0;
    }
    out << path << ": " << runs << " run(s), " << units.size() << " unit(s): " << done.size() << " done, " << failed.size()
        << " failed\n";
    if (!failed.isEmpty()) {
        out << "Failed (latest run of each unit):\n";
        for (const Unit* u : failed) {
            const QJsonObject& r = u->last;
            out << "  " << u->id << "  " << r.value(QStringLiteral("time")).toString() << "  "
                << r.value(QStringLiteral("port")).toString() << "  exit " << r.value(QStringLiteral("exit")).toInt() << "  "
                << FirstLine(r.value(QStringLiteral("failure")).toObject().value(QStringLiteral("message")).toString()) << '\n';
        }
    }
    if (!causes.isEmpty()) {
        out << "Causes of failure (all runs):\n";
        for (auto c = causes.cbegin(); c != causes.cend(); ++c)
            out << QStringLiteral("  %1  %2\n").arg(c.value(), 4).arg(c.key());
    }
    int retried = 0;
    for (const Unit* u : done)
        retried += u->runs > 1;
    if (retried > 0)
        out << retried << " unit(s) done after more than one run.\n";
    if (unreadable > 0)
        out << unreadable << " line(s) could not be read (cut short by a full disk?).\n";
    return 0;
}

int RunReport(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts&)
{
    return SummariseReport(parser.positionalArguments().value(1), parser.isSet(QStringLiteral("json")), out, err);
}

}  // namespace vtrl::ctl
