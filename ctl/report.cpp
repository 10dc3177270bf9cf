#include "ctl/report.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vtrl::ctl {

ReportLog::~ReportLog()
{
    if (fd_ >= 0)
        ::close(fd_);
}

QString ReportLog::Open(const QString& path)
{
    fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    return fd_ < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QString();
}

QString ReportLog::Append(const QJsonObject& record)
{
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // A line an earlier run could write only in part (a full disk) would
    // swallow this one: start on a line of its own.
    struct stat info {};
    char last = '\n';
    if (::fstat(fd_, &info) == 0 && info.st_size > 0 && ::pread(fd_, &last, 1, info.st_size - 1) == 1 && last != '\n')
        line.prepend('\n');
    const ssize_t n = ::write(fd_, line.constData(), static_cast<std::size_t>(line.size()));
    if (n == line.size())
        return QString();
    if (n < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QStringLiteral("only %1 of %2 bytes were written").arg(n).arg(line.size());
}

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

}  // namespace vtrl::ctl
