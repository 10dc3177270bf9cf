#include "ctl/report.h"

#include <QFile>
#include <QJsonDocument>

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

}  // namespace vtrl::ctl
