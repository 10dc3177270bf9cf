#pragma once
// A PostgreSQL server of the test's own: initdb into a temporary folder as an
// unprivileged user (nobody when the test runs as root, which initdb
// refuses), on a free port of 127.0.0.1, stopped and removed with the object.

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace vtrl::test {

class PgServer {
public:
    PgServer()
    {
        QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::sort(versions.begin(), versions.end(), [](const QString& a, const QString& b) { return a.toInt() < b.toInt(); });
        for (auto it = versions.crbegin(); it != versions.crend() && bin_.isEmpty(); ++it)
            if (QFile::exists(QStringLiteral("/usr/lib/postgresql/%1/bin/initdb").arg(*it)))
                bin_ = QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(*it);
        if (bin_.isEmpty()) {
            skip = QStringLiteral("no PostgreSQL server binaries in /usr/lib/postgresql (scripts/deps.sh installs them)");
            return;
        }
        char pattern[] = "/tmp/vtrl-pg-XXXXXX";
        if (!::mkdtemp(pattern)) {
            error = QStringLiteral("mkdtemp failed");
            return;
        }
        dir_ = QString::fromLatin1(pattern);
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            if (!nobody || ::chown(pattern, nobody->pw_uid, nobody->pw_gid) != 0) {
                error = QStringLiteral("cannot hand %1 to the user nobody").arg(dir_);
                return;
            }
            asUser_ = {QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                       QStringLiteral("--regid=%1").arg(nobody->pw_gid), QStringLiteral("--clear-groups"), QStringLiteral("--")};
        }
        port = FreePort();
        const QString data = dir_ + QStringLiteral("/data");
        if (!Run({bin_ + "initdb", "-D", data, "-U", "vtrl", "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync"}))
            return;
        started_ = Run({bin_ + "pg_ctl", "-D", data, "-l", dir_ + "/log", "-w", "-t", "60", "-o",
                        QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off").arg(port).arg(dir_), "start"});
        if (started_)
            url = QStringLiteral("postgresql://vtrl@127.0.0.1:%1/postgres").arg(port);
    }
    ~PgServer()
    {
        if (started_)
            Run({bin_ + "pg_ctl", "-D", dir_ + "/data", "-m", "immediate", "-w", "stop"});
        if (!dir_.isEmpty())
            QDir(dir_).removeRecursively();
    }
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    QString skip;   // why there is no server to test against: no binaries at all
    QString error;  // binaries there, but the server did not start
    QString url;    // empty unless it runs
    int port = 0;

private:
    bool Run(const QStringList& command)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        const QStringList argv = asUser_ + command;
        p.setWorkingDirectory(dir_);
        p.start(argv.front(), argv.mid(1));
        if (!p.waitForFinished(120'000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
            QFile log(dir_ + "/log");
            error = QStringLiteral("%1 failed: %2%3")
                        .arg(command.front(), QString::fromLocal8Bit(p.readAll()),
                             log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll()) : QString());
            return false;
        }
        return true;
    }

    static int FreePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        int port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
            port = ntohs(a.sin_port);
        if (fd >= 0)
            ::close(fd);
        return port;
    }

    QString bin_;
    QString dir_;
    QStringList asUser_;
    bool started_ = false;
};

}  // namespace vtrl::test
