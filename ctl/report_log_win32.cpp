#include "ctl/report.h"

#include <QJsonDocument>

#include <windows.h>

#include <string>

namespace vtrl::ctl {

namespace {

QString LastError() { return qt_error_string(static_cast<int>(::GetLastError())); }

OVERLAPPED At(LONGLONG offset)
{
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

}  // namespace

ReportLog::~ReportLog()
{
    if (file_ != nullptr)
        ::CloseHandle(file_);
}

QString ReportLog::Open(const QString& path)
{
    const std::wstring name = path.toStdWString();
    // Other runs append to it at the same time, and anyone may read it.
    const HANDLE file = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastError();
    file_ = file;
    return QString();
}

QString ReportLog::Append(const QJsonObject& record)
{
    QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // Windows appends are not atomic between processes as O_APPEND is: the
    // end is found and written under a lock of the whole file, which other
    // runs wait for.
    OVERLAPPED whole{};
    if (::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) == 0)
        return LastError();
    struct Unlock {
        HANDLE file;
        ~Unlock()
        {
            OVERLAPPED w{};
            ::UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &w);
        }
    } unlock{file_};
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file_, &size) == 0)
        return LastError();
    // A line an earlier run could write only in part (a full disk) would
    // swallow this one: start on a line of its own.
    char last = '\n';
    DWORD got = 0;
    OVERLAPPED lastByte = At(size.QuadPart - 1);
    if (size.QuadPart > 0 && ::ReadFile(file_, &last, 1, &got, &lastByte) != 0 && got == 1 && last != '\n')
        line.prepend('\n');
    DWORD written = 0;
    OVERLAPPED end = At(size.QuadPart);
    if (::WriteFile(file_, line.constData(), static_cast<DWORD>(line.size()), &written, &end) == 0)
        return LastError();
    if (written == static_cast<DWORD>(line.size()))
        return QString();
    return QStringLiteral("only %1 of %2 bytes were written").arg(written).arg(line.size());
}

}  // namespace vtrl::ctl
