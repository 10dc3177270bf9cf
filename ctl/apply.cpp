// apply and verify: a profile put on a device, or compared with what it holds.
#include "ctl/command.h"
#include "ctl/commission.h"
#include "ctl/report.h"

#include <QDateTime>
#include <QJsonDocument>

namespace vtrl::ctl {

namespace {

class ApplyCommand final : public Command {
public:
    ApplyCommand(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t, bool verify)
        : Command(parser, out, err, t), verify_(verify)
    {
    }

private:
    int Execute() override
    {
        const QString command = verify_ ? QStringLiteral("verify") : QStringLiteral("apply");
        const QStringList files = parser_.positionalArguments().mid(1);
        if (files.size() != 1)
            return Error(kExitUsage, QStringLiteral("%1 needs exactly one profile file (- for standard input)").arg(command));
        auto loaded = LoadTheProfile(files.front());
        if (auto* code = std::get_if<int>(&loaded))
            return *code;
        const Profile profile = std::get<Profile>(loaded);
        bool bad = false;
        const RemoteChoice remote = RemoteChoiceOption(bad);
        if (bad)
            return kExitUsage;
        if (profile.remote && !remote.given())
            return Error(kExitUsage, QStringLiteral("%1 holds settings for a remote device: give --remote ADDR or --remote bonded "
                                                    "(vtrlctl info shows the device it is bonded to)")
                                         .arg(profileName_));
        if (remote.given() && !profile.remote)
            return Error(kExitUsage, QStringLiteral("--remote: %1 holds no settings for a remote device").arg(profileName_));
        const bool dryRun = Flag("dry-run");
        // Every file is opened before the device hears anything.
        if (auto code = ResolveThePort())
            return *code;
        const bool recorded = !dryRun && !verify_;
        if (recorded) {
            if (auto code = OpenRecord())
                return *code;
            if (Flag("report")) {
                report_ = std::make_unique<ReportLog>();
                const QString why = report_->Open(Value("report"));
                if (!why.isEmpty())
                    return Error(kExitFailure, QStringLiteral("cannot append to the report %1: %2").arg(Value("report"), why));
            }
        }
        if (auto code = OpenTrace())
            return *code;

        QJsonObject record = RunRecord(QStringLiteral("apply"), profile, profileName_);
        CommissionSetup setup;
        setup.mode = verify_ ? CommissionSetup::Mode::Verify : dryRun ? CommissionSetup::Mode::DryRun : CommissionSetup::Mode::Apply;
        setup.flash = !Flag("no-flash");
        setup.remote = remote;
        setup.profileName = profileName_;
        setup.portName = PortName(port_);
        setup.progress = [this](const QString& text) { Progress(text); };
        if (verbose_)
            setup.step = [this](const QString& text) { Progress(QStringLiteral("step: ") + text); };
        int code = kExitDone;
        std::optional<Commission> job;
        if (auto open = OpenDevice()) {
            code = *open;
            job.emplace(NullSession(), NullLink(), t_, setup, profile);
            job->PortFailed(*openFailure_);
        } else {
            job.emplace(*session_, *link_, t_, setup, profile);
            code = job->Run(out_);
            if (code != kExitDone)
                Error(code, job->FailureText());
        }
        job->Fill(record);
        return recorded ? Finish(record, code) : code;
    }

    // A Commission whose port never opened uses neither.
    Session& NullSession()
    {
        if (!session_) {
            link_ = std::make_unique<DeviceLink>(*trace_);
            session_ = std::make_unique<Session>(*link_, t_, SessionProgress(), PortName(port_));
        }
        return *session_;
    }
    DeviceLink& NullLink() { return *link_; }

    // The record of an apply: on standard output with --json, appended to the
    // database and to the report with --report.
    int Finish(QJsonObject& record, int code)
    {
        record[QStringLiteral("ms")] = Elapsed();
        record[QStringLiteral("exit")] = code;
        if (Flag("json"))
            out_ << QJsonDocument(record).toJson(QJsonDocument::Indented);
        if (const auto failed = AppendRecord(record, code))
            code = *failed;
        if (report_) {
            const QString why = report_->Append(record);
            if (!why.isEmpty()) {
                where_.clear();
                return Error(code == kExitDone ? kExitFailure : code,
                             QStringLiteral("cannot append to the report %1: %2; this run is not in it").arg(Value("report"), why));
            }
        }
        return code;
    }

    bool verify_;
    std::unique_ptr<ReportLog> report_;
};

}  // namespace

int RunApply(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
{
    return ApplyCommand(parser, out, err, t, false).Run();
}

int RunVerify(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
{
    return ApplyCommand(parser, out, err, t, true).Run();
}

}  // namespace vtrl::ctl
