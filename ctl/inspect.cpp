#include "ctl/command.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace vtrl::ctl {

namespace {

// A command that reads one device: what it checks of its own comes first,
// then the trace and the port, then the port check of the device.
class DeviceReading : public Command {
public:
    using Command::Command;

private:
    int Execute() final
    {
        if (auto code = Prepare())
            return *code;
        if (auto code = OpenTrace())
            return *code;
        if (auto code = OpenDevice())
            return *code;
        if (auto f = session_->Connect())
            return Stop(*f);
        return WithDevice();
    }

    virtual std::optional<int> Prepare() { return std::nullopt; }
    virtual int WithDevice() = 0;
};

class InfoCommand final : public DeviceReading {
public:
    using DeviceReading::DeviceReading;

private:
    int WithDevice() override
    {
        const Session& s = *session_;
        const QStringList lines = ConfigurationLines(s.LocalConfig());
        if (parser_.isSet(QStringLiteral("json"))) {
            QJsonObject o = PortJson();
            o[QStringLiteral("address")] = FormatAddress(s.LocalAddress());
            o[QStringLiteral("applicationVersion")] = VersionText(s.LocalVersion(), true);
            o[QStringLiteral("bluetoothVersion")] = VersionText(s.LocalVersion(), false);
            o[QStringLiteral("configuration")] = QJsonArray::fromStringList(lines);
            o[QStringLiteral("bondedTo")] = FormatAddress(s.LocalConfig().BondedAddress);
            o[QStringLiteral("bondRole")] = s.LocalConfig().BondRole == 1 ? QStringLiteral("Master") : QStringLiteral("Slave");
            o[QStringLiteral("settings")] = LocalSectionJson(s.LocalConfig());
            out_ << QJsonDocument(o).toJson(QJsonDocument::Indented);
        } else {
            out_ << "COM Port = " << port_.number << " (" << QString::fromStdString(port_.path) << ")\n";
            out_ << "Information retreived from " << FormatAddress(s.LocalAddress()) << '\n';
            out_ << "Application Version: " << VersionText(s.LocalVersion(), true) << '\n';
            out_ << "Bluetooth Version  : " << VersionText(s.LocalVersion(), false) << '\n';
            out_ << "Current Configuration:\n";
            for (const QString& line : lines)
                out_ << "  " << line << '\n';
        }
        return kExitDone;
    }
};

class DiscoverCommand final : public DeviceReading {
public:
    using DeviceReading::DeviceReading;

private:
    int WithDevice() override
    {
        std::vector<FoundDevice> found;
        if (auto f = session_->Inquiry(found))
            return Stop(*f);
        if (parser_.isSet(QStringLiteral("json"))) {
            QJsonArray list;
            for (const FoundDevice& d : found)
                list.append(QJsonObject{{QStringLiteral("address"), FormatAddress(d.address)}, {QStringLiteral("name"), d.name}});
            out_ << QJsonDocument(list).toJson(QJsonDocument::Indented);
        } else {
            for (const FoundDevice& d : found)
                out_ << FormatAddress(d.address) << "  " << d.name << '\n';
        }
        return kExitDone;
    }
};

class ReadCommand final : public DeviceReading {
public:
    using DeviceReading::DeviceReading;

private:
    // Its options and its file are checked before the device hears anything.
    std::optional<int> Prepare() override
    {
        const QString file = parser_.value(QStringLiteral("output"));
        if (file.isEmpty())
            return Error(kExitUsage, QStringLiteral("read needs -o FILE (or -o - for standard output)"));
        if (file == QLatin1String("-") && parser_.isSet(QStringLiteral("json")))
            return Error(kExitUsage, QStringLiteral("--json: with -o - the profile itself is the JSON output; drop one of them"));
        bool bad = false;
        readRemote_ = RemoteChoiceOption(bad);
        if (bad)
            return kExitUsage;
        if (file == QLatin1String("-"))
            return std::nullopt;
        // A safe replacement is for a regular file; anything else (a device,
        // a FIFO, /dev/stdout) is written to as it is, never renamed over.
        const QFileInfo info(file);
        if (info.exists() && info.isDir())
            return Error(kExitUsage, QStringLiteral("-o %1 is a folder; give a file to write the profile to").arg(file));
        if (info.exists() && !info.isFile()) {
            streamFile_ = std::make_unique<QFile>(file);
            if (!streamFile_->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
                return Error(kExitFailure, QStringLiteral("cannot write %1: %2").arg(file, streamFile_->errorString()));
            return std::nullopt;
        }
        // Nothing reaches the file before the commit at the end; a link stays
        // a link, and the file it leads to is replaced.
        profileFile_ = std::make_unique<QSaveFile>(info.isSymLink() && info.exists() ? info.canonicalFilePath() : file);
        // Unbuffered: a write refused by a full disk must fail the write
        // itself. Buffered, the refusal comes at the commit, which (Qt 6.4)
        // loses it and puts an empty file in place of the old one.
        if (!profileFile_->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return Error(kExitFailure, QStringLiteral("cannot write %1: %2").arg(file, profileFile_->errorString()));
        // A profile with a PIN is readable by its owner only, from the first byte on.
        if (parser_.isSet(QStringLiteral("include-pin")))
            profileFile_->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        return std::nullopt;
    }

    int WithDevice() override
    {
        const protocol::DeviceConfig local = session_->LocalConfig();
        std::optional<DeviceAddress> remote;
        if (readRemote_.kind == RemoteChoice::Kind::Address)
            remote = readRemote_.address;
        if (readRemote_.kind == RemoteChoice::Kind::Bonded) {
            if (local.BondedAddress == DeviceAddress{})
                return Stop(Failure{kExitUsage, QStringLiteral("--remote bonded: the device on %1 is bonded to no remote device")
                                                    .arg(PortName(port_))});
            remote = local.BondedAddress;
        }
        protocol::DeviceConfig remoteConfig{};
        VersionRecord remoteVersion{};
        if (remote) {
            if (local.DeviceFunction != protocol::kCableReplacement)
                return Stop(Failure{kExitUsage, QStringLiteral("--remote: the device on %1 is an %2, which has no remote device")
                                                    .arg(PortName(port_), FunctionText(local.DeviceFunction))});
            if (auto f = session_->ReachRemote(*remote, remoteVersion, remoteConfig))
                return Stop(*f);
        }
        QStringList warnings;
        const bool includePin = parser_.isSet(QStringLiteral("include-pin"));
        const Profile profile = ProfileFromConfig(local, remote ? &remoteConfig : nullptr, includePin, warnings);
        for (const QString& w : warnings)
            Progress(QStringLiteral("warning: ") + w);
        const QByteArray json = ProfileJson(profile);
        if (streamFile_) {
            if (streamFile_->write(json) != json.size())
                return Error(kExitFailure, QStringLiteral("cannot write %1: %2").arg(streamFile_->fileName(), streamFile_->errorString()));
            streamFile_->close();
            Progress(QStringLiteral("Profile written to %1%2.")
                         .arg(streamFile_->fileName(), remote ? QStringLiteral(" (with the remote device)") : QString()));
            return kExitDone;
        }
        if (!profileFile_) {
            out_ << QString::fromUtf8(json);
            return kExitDone;
        }
        const QString file = profileFile_->fileName();
        // A short write or a failed commit leaves the old file as it was.
        if (profileFile_->write(json) != json.size() || !profileFile_->commit()) {
            const QString why = profileFile_->errorString();
            profileFile_->cancelWriting();
            return Error(kExitFailure, QStringLiteral("cannot write %1: %2; %1 was left as it was").arg(file, why));
        }
        Progress(QStringLiteral("Profile saved to %1%2.").arg(file, remote ? QStringLiteral(" (with the remote device)") : QString()));
        if (parser_.isSet(QStringLiteral("json"))) {
            QJsonObject o = PortJson();
            o[QStringLiteral("device")] = UnitJson(session_->LocalAddress(), session_->LocalVersion());
            if (remote)
                o[QStringLiteral("remote")] = UnitJson(*remote, remoteVersion);
            o[QStringLiteral("file")] = QFileInfo(file).absoluteFilePath();
            o[QStringLiteral("warnings")] = QJsonArray::fromStringList(warnings);
            o[QStringLiteral("profile")] = MaskedProfile(profile);
            out_ << QJsonDocument(o).toJson(QJsonDocument::Indented);
        }
        return kExitDone;
    }

    RemoteChoice readRemote_;
    std::unique_ptr<QSaveFile> profileFile_;  // committed only when complete
    std::unique_ptr<QFile> streamFile_;       // a device or a FIFO, written as it is
};

}  // namespace

int RunInfo(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
{
    return InfoCommand(parser, out, err, t).Run();
}

int RunDiscover(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
{
    return DiscoverCommand(parser, out, err, t).Run();
}

int RunRead(const QCommandLineParser& parser, QTextStream& out, QTextStream& err, const Timeouts& t)
{
    return ReadCommand(parser, out, err, t).Run();
}

}  // namespace vtrl::ctl
