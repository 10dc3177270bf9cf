#pragma once
// The commissioning record: apply --report appends one JSON line per run to
// a file that several vtrlctl processes on one PC may share, and report
// summarises it.

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
    // parallel runs never interleave; the error, empty on success.
    QString Append(const QJsonObject& record);

private:
    int fd_ = -1;
};

// Prints what a report file says: units done and failed, and why. Returns
// the exit code (0, or 1 when the file cannot be read).
int SummariseReport(const QString& path, bool json, QTextStream& out, QTextStream& err);

}  // namespace vtrl::ctl
