#include "record/record.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <atomic>

namespace vtrl::record {

namespace {

std::atomic<int> g_connections{0};

// Each step brings a database from version i to i + 1; both engines take the
// same SQL but for the key column.
QStringList Migration(int from, bool postgres)
{
    const QString key = postgres ? QStringLiteral("id BIGSERIAL PRIMARY KEY") : QStringLiteral("id INTEGER PRIMARY KEY AUTOINCREMENT");
    switch (from) {
    case 0:
        return {QStringLiteral("CREATE TABLE vtrl_schema (version INTEGER NOT NULL)"),
                QStringLiteral("INSERT INTO vtrl_schema (version) VALUES (0)"),
                QStringLiteral("CREATE TABLE runs (%1, time TEXT NOT NULL, day TEXT NOT NULL, station TEXT NOT NULL, "
                               "program TEXT NOT NULL, port TEXT NOT NULL, unit TEXT, remote TEXT, profile_sha256 TEXT, "
                               "exit_code INTEGER NOT NULL, failed_step TEXT, failure TEXT, ms BIGINT, record TEXT NOT NULL)")
                    .arg(key),
                QStringLiteral("CREATE INDEX runs_unit ON runs (unit, id)"),
                QStringLiteral("CREATE INDEX runs_day ON runs (day, station)")};
    default:
        break;
    }
    return {};
}

QString SqlError(const QSqlError& e)
{
    const QString text = e.text().trimmed();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

bool Busy(const QSqlError& e)
{
    const QString text = e.text().toLower();
    return text.contains(QLatin1String("locked")) || text.contains(QLatin1String("busy"));
}

}  // namespace

QString DefaultLocation()
{
    const QString named = qEnvironmentVariable("VTRLCFG_RECORD");
    if (!named.isEmpty())
        return named;
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(data).filePath(QStringLiteral("vtrlcfg/record.sqlite"));
}

bool IsOff(const QString& where) { return where == QLatin1String("off"); }

bool IsDatabase(const QString& where)
{
    if (where.startsWith(QLatin1String("postgresql://")) || where.startsWith(QLatin1String("postgres://"))
        || where.startsWith(QLatin1String("sqlite:")))
        return true;
    QFile f(where);
    if (!f.open(QIODevice::ReadOnly))
        return !QFileInfo::exists(where) && where.endsWith(QLatin1String(".sqlite"));
    return f.read(16) == QByteArray("SQLite format 3\0", 16);
}

std::unique_ptr<Store> Store::Open(const QString& where, QString& error)
{
    std::unique_ptr<Store> store(new Store);
    store->connection_ = QStringLiteral("vtrl_record_%1").arg(g_connections.fetch_add(1));
    const bool postgres = where.startsWith(QLatin1String("postgresql://")) || where.startsWith(QLatin1String("postgres://"));
    store->postgres_ = postgres;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"), store->connection_);
        if (!db.isValid()) {
            const QString kind = postgres ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite");
#ifdef Q_OS_WIN
            // The Windows folder carries the drivers it was built with, SQLite's alone.
            error = QStringLiteral("this build has no %1 driver: name an SQLite file as the record, or off").arg(kind);
#else
            error = QStringLiteral("Qt has no %1 driver here (install %2)")
                        .arg(kind, postgres ? QStringLiteral("libqt6sql6-psql") : QStringLiteral("libqt6sql6-sqlite"));
#endif
            return nullptr;
        }
        if (postgres) {
            const QUrl url(where);
            db.setHostName(url.host().isEmpty() ? QStringLiteral("localhost") : url.host());
            db.setPort(url.port(5432));
            db.setUserName(url.userName());
            db.setPassword(url.password());
            db.setDatabaseName(url.path().mid(1));
            QStringList options{QStringLiteral("connect_timeout=10")};
            for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded))
                options << key + QLatin1Char('=') + value;
            db.setConnectOptions(options.join(QLatin1Char(';')));
            store->name_ = QStringLiteral("PostgreSQL %1:%2/%3").arg(db.hostName()).arg(db.port()).arg(db.databaseName());
        } else {
            const QString path = where.startsWith(QLatin1String("sqlite:")) ? where.mid(7) : where;
            const QFileInfo info(path);
            if (info.isDir()) {
                error = QStringLiteral("%1 is a folder").arg(path);
                return nullptr;
            }
            QDir().mkpath(info.absolutePath());
            db.setDatabaseName(path);
            // Several processes append at once: a writer waits for another's
            // transaction instead of failing.
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=15000"));
            store->name_ = QStringLiteral("SQLite %1").arg(info.absoluteFilePath());
        }
        if (!db.open()) {
            error = SqlError(db.lastError());
            return nullptr;
        }
        if (!postgres) {
            QSqlQuery q(db);
            // Readers never block the writers, nor the writers the readers.
            // Switching the journal takes the file alone: two processes that
            // create the record at once find it locked without waiting, and
            // one tries again.
            bool switched = q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            for (int attempt = 0; !switched && Busy(q.lastError()) && attempt < 100; ++attempt) {
                QThread::msleep(50);
                switched = q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            }
            if (!switched) {
                error = SqlError(q.lastError());
                return nullptr;
            }
        }
    }
    error = store->Migrate();
    if (!error.isEmpty())
        return nullptr;
    return store;
}

Store::~Store()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(connection_);
}

QString Store::Migrate()
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // One process at a time creates or migrates; the others find it done.
    if (postgres_) {
        if (!db.transaction() || !q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(727274)")))
            return SqlError(q.lastError().isValid() ? q.lastError() : db.lastError());
    } else {
        bool begun = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
        for (int attempt = 0; !begun && Busy(q.lastError()) && attempt < 100; ++attempt) {
            QThread::msleep(50);
            begun = q.exec(QStringLiteral("BEGIN IMMEDIATE"));
        }
        if (!begun)
            return SqlError(q.lastError());
    }
    const auto fail = [&](const QSqlError& e) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return SqlError(e);
    };
    int version = 0;
    if (db.tables().contains(QStringLiteral("vtrl_schema"))) {
        if (!q.exec(QStringLiteral("SELECT version FROM vtrl_schema")) || !q.next())
            return fail(q.lastError());
        version = q.value(0).toInt();
    }
    if (version > kSchemaVersion) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return QStringLiteral("the database has schema version %1, newer than this program's %2: update it").arg(version).arg(kSchemaVersion);
    }
    for (int from = version; from < kSchemaVersion; ++from) {
        for (const QString& statement : Migration(from, postgres_))
            if (!q.exec(statement))
                return fail(q.lastError());
        if (!q.exec(QStringLiteral("UPDATE vtrl_schema SET version = %1").arg(from + 1)))
            return fail(q.lastError());
    }
    if (!QSqlQuery(db).exec(QStringLiteral("COMMIT")) && postgres_)
        return SqlError(db.lastError());
    version_ = kSchemaVersion;
    return QString();
}

QString Store::Append(const QJsonObject& run)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    const QString time = run.value(QStringLiteral("time")).toString();
    const QJsonObject failure = run.value(QStringLiteral("failure")).toObject();
    const auto text = [](const QJsonValue& v) { return v.isString() ? QVariant(v.toString()) : QVariant(QMetaType(QMetaType::QString)); };
    QSqlError last;
    // The busy time-out covers the usual wait; a lock the engine gives up on
    // at once (an upgrade of a read) is tried again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO runs (time, day, station, program, port, unit, remote, profile_sha256, exit_code, "
                                 "failed_step, failure, ms, record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        q.addBindValue(time);
        q.addBindValue(time.left(10));
        q.addBindValue(run.value(QStringLiteral("station")).toString());
        q.addBindValue(run.value(QStringLiteral("program")).toString());
        q.addBindValue(run.value(QStringLiteral("port")).toString());
        q.addBindValue(text(run.value(QStringLiteral("device")).toObject().value(QStringLiteral("address"))));
        q.addBindValue(text(run.value(QStringLiteral("remote")).toObject().value(QStringLiteral("address"))));
        q.addBindValue(text(run.value(QStringLiteral("profile")).toObject().value(QStringLiteral("sha256"))));
        q.addBindValue(run.value(QStringLiteral("exit")).toInt());
        q.addBindValue(text(failure.value(QStringLiteral("step"))));
        q.addBindValue(text(failure.value(QStringLiteral("result"))));
        q.addBindValue(static_cast<qlonglong>(run.value(QStringLiteral("ms")).toDouble()));
        q.addBindValue(QString::fromUtf8(QJsonDocument(run).toJson(QJsonDocument::Compact)));
        if (q.exec())
            return QString();
        last = q.lastError();
        if (!Busy(last))
            break;
        QThread::msleep(50 << attempt);
    }
    return SqlError(last);
}

std::optional<QList<QJsonObject>> Store::Runs(QString& error)
{
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT record FROM runs ORDER BY id"))) {
        error = SqlError(q.lastError());
        return std::nullopt;
    }
    QList<QJsonObject> runs;
    while (q.next())
        runs.append(QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object());
    return runs;
}

std::optional<QList<QJsonObject>> ReadJsonLines(const QString& path, int& unreadable, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
        return std::nullopt;
    }
    QList<QJsonObject> runs;
    unreadable = 0;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        if (raw.trimmed().isEmpty())
            continue;
        const QJsonDocument doc = QJsonDocument::fromJson(raw);
        if (!doc.isObject() || !doc.object().contains(QStringLiteral("exit"))) {
            ++unreadable;
            continue;
        }
        runs.append(doc.object());
    }
    return runs;
}

}  // namespace vtrl::record
