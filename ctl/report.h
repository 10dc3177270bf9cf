#pragma once
// The JSON-lines file of apply --report: one line per run, appended by
// several vtrlctl processes on one PC at once. vtrlctl report reads it as
// it reads the record database.

#include <QJsonObject>
#include <QString>
#include <QTextStream>

namespace vtrl::ctl {

class ReportLog {
public:
    ReportLog() = default;
    ~ReportLog();
    ReportLog(const ReportLog&) = delete;
    ReportLog& operator=(const ReportLog&) = delete;

    // Opens (or creates) the file for appending; the error, empty on success.
    QString Open(const QString& path);
    // Appends `record` as one line with a single write, so that lines of
    // parallel runs never interleave (on Windows under a lock of the whole
    // file); the error, empty on success.
    QString Append(const QJsonObject& record);

private:
#ifdef _WIN32
    void* file_ = nullptr;
#else
    int fd_ = -1;
#endif
};

}  // namespace vtrl::ctl
