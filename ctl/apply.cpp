#include "ctl/command.h"
#include "ctl/report.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <functional>

namespace vtrl::ctl {

namespace {

class ApplyCommand final : public Command {
public:
    using Command::Command;

private:
    int Execute() override { return Apply(); }

    void PrintPlan(const Profile& p, const std::optional<DeviceAddress>& remote)
    {
        const auto port = [](const PortSettings& s) {
            QString text = QStringLiteral("baud %1, data bits %2, parity %3, stop bits %4, flow %5, role %6")
                               .arg(BaudText(s.baud))
                               .arg(s.dataBits == 1 ? 7 : 8)
                               .arg(ParityText(s.parity))
                               .arg(s.stopBits)
                               .arg(FlowText(s.flow), RoleText(s.interfaceCode));
            text += s.powerLevel ? QStringLiteral(", power level %1 (class kept)").arg(*s.powerLevel)
                                 : QStringLiteral(", power level kept");
            text += s.cdOutput ? QStringLiteral(", CD output %1").arg(*s.cdOutput ? QStringLiteral("on") : QStringLiteral("off"))
                               : QStringLiteral(", CD output kept");
            return text;
        };
        out_ << "Dry run: nothing is sent.\n";
        out_ << "1. GetLocalAddress, GetVersion, GetConfig: check the attached device (version V2.09 or later, "
             << FunctionText(p.function) << ")\n";
        int step = 2;
        if (remote)
            out_ << step++ << ". InitiateBonding " << FormatAddress(*remote)
                 << " unless bonded, GetVersion and GetConfig of the remote device\n";
        out_ << step++ << ". SetPortConfig to the attached device: " << port(p.local) << '\n';
        if (p.function == protocol::kSppServer) {
            const DeviceSettings& d = p.device;
            QStringList parts;
            parts << (d.name ? QStringLiteral("name \"%1\"").arg(DeviceText(*d.name)) : QStringLiteral("name kept"));
            parts << (d.linkTimeout ? QStringLiteral("link timeout %1").arg(*d.linkTimeout) : QStringLiteral("link timeout kept"));
            parts << (d.authentication ? QStringLiteral("authentication %1").arg(QLatin1String(*d.authentication ? "on" : "off"))
                                       : QStringLiteral("authentication kept"));
            parts << (d.encryption ? QStringLiteral("encryption %1").arg(QLatin1String(*d.encryption ? "on" : "off"))
                                   : QStringLiteral("encryption kept"));
            parts << (d.pin ? QStringLiteral("PIN from the profile") : QStringLiteral("PIN kept"));
            if (d.resetLinkKeys)
                parts << QStringLiteral("reset link keys");
            out_ << step++ << ". SetDeviceConfig: " << parts.join(QStringLiteral(", ")) << '\n';
        }
        if (remote && p.remote)
            out_ << step++ << ". SetPortConfig to " << FormatAddress(*remote) << ": " << port(*p.remote) << '\n';
        if (!parser_.isSet(QStringLiteral("no-flash")))
            out_ << step++ << ". UpdateFlash\n";
        out_ << step << ". GetConfig" << (remote ? " of both devices" : "") << ": verify every setting of the profile\n";
        out_ << "Power: a SetPortConfig carries the device's power class and a power level. The class is the\n"
                "hardware's (\"Power Class: 1\" or \"2\" in vtrlctl info) and is sent back as the device reports it;\n"
                "the level is an index into the device's own table of transmit powers, 0 to 7 on a class 2\n"
                "device and 0 to 4 on the others. A level the device's class does not have is refused\n"
                "before any setting goes out; without powerLevel the device keeps its level.\n";
    }

    // The profile named on the command line, or standard input for "-".
    std::variant<Profile, int> LoadTheProfile(const QString& name)
    {
        QFile file;
        const bool stdinput = name == QLatin1String("-");
        profileName_ = stdinput ? QStringLiteral("standard input") : name;
        if (stdinput ? !file.open(stdin, QIODevice::ReadOnly) : (file.setFileName(name), !file.open(QIODevice::ReadOnly)))
            return Error(kExitUsage, QStringLiteral("cannot read the profile %1: %2").arg(profileName_, file.errorString()));
        // A profile is a few hundred bytes; a device node such as /dev/zero never ends.
        QByteArray text;
        while (text.size() <= kProfileMaxBytes) {
            const QByteArray part = file.read(kProfileMaxBytes + 1 - text.size());
            if (part.isEmpty())
                break;
            text += part;
        }
        if (text.size() > kProfileMaxBytes)
            return Error(kExitUsage, QStringLiteral("%1: larger than %2 bytes, so not a profile").arg(profileName_).arg(kProfileMaxBytes));
        auto loaded = LoadProfile(text);
        if (auto* why = std::get_if<QString>(&loaded))
            return Error(kExitUsage, QStringLiteral("%1: %2").arg(profileName_, *why));
        return std::get<Profile>(loaded);
    }

    int Apply()
    {
        const QStringList files = parser_.positionalArguments().mid(1);
        if (files.size() != 1)
            return Error(kExitUsage, QStringLiteral("apply needs exactly one profile file (- for standard input)"));
        auto loaded = LoadTheProfile(files.front());
        if (auto* code = std::get_if<int>(&loaded))
            return *code;
        const Profile profile = std::get<Profile>(loaded);
        bool bad = false;
        const auto remote = RemoteOption(bad);
        if (bad)
            return kExitUsage;
        if (profile.remote && !remote)
            return Error(kExitUsage, QStringLiteral("%1 holds settings for a remote device: give --remote ADDR "
                                                    "(vtrlctl info shows the device it is bonded to)")
                                         .arg(profileName_));
        if (remote && !profile.remote)
            return Error(kExitUsage, QStringLiteral("--remote: %1 holds no settings for a remote device").arg(profileName_));
        if (parser_.isSet(QStringLiteral("dry-run"))) {
            PrintPlan(profile, remote);
            return kExitDone;
        }
        // Every file is opened before the device hears anything.
        if (auto code = ResolveThePort())
            return *code;
        if (parser_.isSet(QStringLiteral("report"))) {
            report_ = std::make_unique<ReportLog>();
            const QString why = report_->Open(parser_.value(QStringLiteral("report")));
            if (!why.isEmpty())
                return Error(kExitFailure, QStringLiteral("cannot append to the report %1: %2").arg(parser_.value(QStringLiteral("report")), why));
        }
        if (auto code = OpenTrace())
            return *code;

        clock_.start();
        record_[QStringLiteral("time")] = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        record_[QStringLiteral("port")] = PortName(port_);
        record_[QStringLiteral("path")] = QString::fromStdString(port_.path);
        const QJsonObject masked = MaskedProfile(profile);
        record_[QStringLiteral("profile")] = QJsonObject{
            {QStringLiteral("file"), profileName_},
            {QStringLiteral("sha256"), QString::fromLatin1(QCryptographicHash::hash(QJsonDocument(masked).toJson(QJsonDocument::Compact),
                                                                                    QCryptographicHash::Sha256)
                                                               .toHex())},
            {QStringLiteral("settings"), masked}};
        const int code = ApplyToDevice(profile, remote);
        return Finish(code);
    }

    // Runs one step of apply and enters it in the record.
    Step Do(const QString& name, const std::function<Step()>& step)
    {
        QElapsedTimer t;
        t.start();
        Step f = step();
        QJsonObject o{{QStringLiteral("step"), name},
                      {QStringLiteral("result"), f ? ResultWord(*f) : QStringLiteral("ok")},
                      {QStringLiteral("ms"), t.elapsed()}};
        if (f) {
            o[QStringLiteral("message")] = f->text;
            failedStep_ = name;
        }
        steps_.append(o);
        return f;
    }

    // What the device took of the settings, for a failure or a stop after
    // the first setting went out.
    QStringList DeviceState(const Failure& f)
    {
        QStringList lines;
        QStringList maybe;
        if (f.sent && settingSteps_.contains(failedStep_))
            maybe << failedStep_;
        if (taken_.isEmpty() && maybe.isEmpty()) {
            lines << QStringLiteral("No setting was sent: the device is unchanged.");
            flash_ = QStringLiteral("unchanged");
            return lines;
        }
        QString took;
        if (!taken_.isEmpty())
            took = QStringLiteral("The device took the %1").arg(Listed(taken_));
        if (!maybe.isEmpty())
            took += (took.isEmpty() ? QStringLiteral("The device may have taken the %1") : QStringLiteral("; it may also have taken the %1"))
                        .arg(maybe.front())
                + QStringLiteral(" (sent, not confirmed)");
        lines << took + QLatin1Char('.');
        if (failedStep_ == QLatin1String("save to flash") && f.sent && f.code != kExitRefused) {
            lines << QStringLiteral("It was saving them to flash and did not confirm: its flash may hold the old or the new settings.");
            flash_ = QStringLiteral("unknown");
        } else if (flashSaved_) {
            lines << QStringLiteral("They were saved to flash; the verification did not finish.");
        } else {
            lines << QStringLiteral("None of them is saved to flash: the device runs them until it restarts, then the settings in its flash return.");
            if (flash_ == QLatin1String("not reached"))
                flash_ = QStringLiteral("not saved");
        }
        return lines;
    }

    int Failed(Failure f)
    {
        if (settingsStarted_ || f.signal != 0) {
            const QStringList state = DeviceState(f);
            record_[QStringLiteral("deviceState")] = QJsonArray::fromStringList(state);
            f.text += QLatin1Char('\n') + state.join(QLatin1Char('\n'));
        }
        failure_ = f;
        const bool connected = session_ && session_->Connected();
        if (session_)
            session_->AbortIfConnected();
        if (connected)
            f.text += QStringLiteral("\nAbort sent: the device knows the session ended unfinished.");
        return Error(f.code, f.text);
    }

    void StepDone(const QString& what) { Progress(QStringLiteral("%1 (%2 ms)").arg(what).arg(clock_.elapsed())); }

    int ApplyToDevice(const Profile& profile, const std::optional<DeviceAddress>& remote)
    {
        if (auto code = OpenDevice()) {
            failure_ = openFailure_;
            failedStep_ = QStringLiteral("open the port");
            return *code;
        }
        Session& s = *session_;
        if (auto f = Do(QStringLiteral("connect"), [&] { return s.Connect(); }))
            return Failed(*f);
        record_[QStringLiteral("device")] = UnitJson(s.LocalAddress(), s.LocalVersion());
        const protocol::DeviceConfig local = s.LocalConfig();
        StepDone(QStringLiteral("Connected to %1").arg(FormatAddress(s.LocalAddress())));
        protocol::DeviceConfig remoteConfig{};
        if (auto f = Do(remote ? QStringLiteral("reach remote and check profile") : QStringLiteral("check profile"),
                        [&] { return CheckFits(profile, local, remote, remoteConfig); }))
            return Failed(*f);
        if (remote)
            StepDone(QStringLiteral("Remote device %1 reached").arg(FormatAddress(*remote)));
        if (auto f = SendSettings(profile, local, remote, remoteConfig))
            return Failed(*f);
        return Verify(profile, remote);
    }

    // Everything that can be judged before the first setting goes out is.
    Step CheckFits(const Profile& profile, const protocol::DeviceConfig& local, const std::optional<DeviceAddress>& remote,
                   protocol::DeviceConfig& remoteConfig)
    {
        if (local.DeviceFunction != profile.function)
            return Failure{kExitUsage, QStringLiteral("%1 is for a %2; the device on %3 is a %4")
                                           .arg(profileName_, FunctionText(profile.function), PortName(port_),
                                                FunctionText(local.DeviceFunction))};
        if (remote) {
            VersionRecord version;
            if (auto f = session_->ReachRemote(*remote, version, remoteConfig))
                return f;
            record_[QStringLiteral("remote")] = UnitJson(*remote, version);
        }
        auto localExtras = PortExtras(QStringLiteral("local"), profile.local, local);
        if (auto* f = std::get_if<Failure>(&localExtras))
            return *f;
        if (remote) {
            auto extras = PortExtras(QStringLiteral("remote"), *profile.remote, remoteConfig);
            if (auto* f = std::get_if<Failure>(&extras))
                return *f;
        }
        if (profile.function == protocol::kSppServer && profile.device.authentication.value_or(local.Authentication != 0)
            && profile.device.pin.value_or(protocol::FieldText(local.PinCode.data(), local.PinCode.size())).empty())
            return Failure{kExitUsage, QStringLiteral("local.pin: authentication is on but neither the profile nor the device holds a PIN")};
        return std::nullopt;
    }

    // The settings, then the save unless --no-flash.
    Step SendSettings(const Profile& profile, const protocol::DeviceConfig& local, const std::optional<DeviceAddress>& remote,
                      const protocol::DeviceConfig& remoteConfig)
    {
        Session& s = *session_;
        settingsStarted_ = true;
        const auto setting = [&](const QString& name, const std::function<Step()>& step) -> Step {
            settingSteps_ << name;
            if (auto f = Do(name, step))
                return f;
            taken_ << name;
            return std::nullopt;
        };
        if (auto f = setting(QStringLiteral("local port settings"), [&] { return s.SetPort(DeviceAddress{}, QStringLiteral("local"), profile.local, local); }))
            return f;
        StepDone(QStringLiteral("Local port settings confirmed"));
        if (profile.function == protocol::kSppServer) {
            if (auto f = setting(QStringLiteral("local device settings"), [&] { return s.SetDevice(profile.device, local); }))
                return f;
            StepDone(QStringLiteral("Local device settings confirmed"));
        }
        if (remote) {
            if (auto f = setting(QStringLiteral("remote port settings"),
                                 [&] { return s.SetPort(*remote, QStringLiteral("remote"), *profile.remote, remoteConfig); }))
                return f;
            StepDone(QStringLiteral("Remote port settings confirmed"));
        }
        if (parser_.isSet(QStringLiteral("no-flash"))) {
            flash_ = QStringLiteral("not asked");
            return std::nullopt;
        }
        if (auto f = Do(QStringLiteral("save to flash"), [&] { return s.Flash(); }))
            return f;
        flashSaved_ = true;
        flash_ = QStringLiteral("saved");
        StepDone(QStringLiteral("All settings were saved successfully."));
        return std::nullopt;
    }

    // A fresh read of every device the profile names, compared with it.
    int Verify(const Profile& profile, const std::optional<DeviceAddress>& remote)
    {
        Session& s = *session_;
        QStringList differences;
        protocol::DeviceConfig now{};
        if (auto f = Do(QStringLiteral("verify local"), [&] {
                return s.ReadConfig(DeviceAddress{}, QStringLiteral("verification: local"), t_.portCheck, now);
            }))
            return Failed(*f);
        differences += CompareSettings(QStringLiteral("local"), profile.local, profile.function == protocol::kSppServer ? &profile.device : nullptr, now);
        if (remote) {
            if (auto f = Do(QStringLiteral("verify remote"),
                            [&] { return s.ReadConfig(*remote, QStringLiteral("verification: remote"), t_.bondStep, now); }))
                return Failed(*f);
            differences += CompareSettings(QStringLiteral("remote"), *profile.remote, nullptr, now);
        }
        verification_ = QJsonObject{{QStringLiteral("result"), differences.isEmpty() ? QStringLiteral("ok") : QStringLiteral("mismatch")},
                                    {QStringLiteral("differences"), QJsonArray::fromStringList(differences)}};
        if (!differences.isEmpty()) {
            failure_ = Failure{kExitMismatch, QStringLiteral("verification failed: ") + differences.join(QStringLiteral("; "))};
            failedStep_ = QStringLiteral("verification");
            return Error(kExitMismatch, QStringLiteral("verification failed:\n  ") + differences.join(QStringLiteral("\n  ")));
        }
        Progress(QStringLiteral("Verified by a fresh read: the device%1 hold%2 every setting of the profile.")
                     .arg(remote ? QStringLiteral("s") : QString(), remote ? QString() : QStringLiteral("s")));
        Progress(QStringLiteral("Applied in %1 ms, %2 ms of it waiting for the device.")
                     .arg(static_cast<double>(clock_.nsecsElapsed()) / 1e6, 0, 'f', 1)
                     .arg(link_->WaitedMs(), 0, 'f', 1));
        return kExitDone;
    }

    // The record of an apply: on standard output with --json, appended to the report with --report.
    int Finish(int code)
    {
        record_[QStringLiteral("steps")] = steps_;
        record_[QStringLiteral("verification")] = verification_.isEmpty() ? QJsonObject{{QStringLiteral("result"), QStringLiteral("not done")}}
                                                                          : verification_;
        record_[QStringLiteral("flash")] = flash_;
        if (failure_) {
            record_[QStringLiteral("failure")] = QJsonObject{{QStringLiteral("step"), failedStep_},
                                                             {QStringLiteral("result"), ResultWord(*failure_)},
                                                             {QStringLiteral("message"), failure_->text}};
        }
        record_[QStringLiteral("ms")] = clock_.elapsed();
        record_[QStringLiteral("exit")] = code;
        if (parser_.isSet(QStringLiteral("json")))
            out_ << QJsonDocument(record_).toJson(QJsonDocument::Indented);
        if (report_) {
            const QString why = report_->Append(record_);
            if (!why.isEmpty()) {
                where_.clear();
                return Error(code == kExitDone ? kExitFailure : code,
                             QStringLiteral("cannot append to the report %1: %2; this run is not in it")
                                 .arg(parser_.value(QStringLiteral("report")), why));
            }
        }
        return code;
    }

    QString profileName_;
    std::unique_ptr<ReportLog> report_;
    QElapsedTimer clock_;
    QJsonObject record_;
    QJsonArray steps_;
    QJsonObject verification_;
    QString flash_ = QStringLiteral("not reached");
    std::optional<Failure> failure_;
    QString failedStep_;
    bool settingsStarted_ = false;
    bool flashSaved_ = false;
    QStringList settingSteps_;  // setting steps begun
    QStringList taken_;         // setting steps the device confirmed
};

}  // namespace

int RunApply(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
{
    return ApplyCommand(parser, out, err, t).Run();
}

}  // namespace vtrl::ctl
