#include "ctl/commission.h"
#include "ctl/command.h"

namespace vtrl::ctl {

Commission::Commission(Session& session, DeviceLink& link, const Timeouts& t, CommissionSetup setup, Profile profile)
    : s_(session), link_(link), t_(t), setup_(std::move(setup)), profile_(std::move(profile))
{
    clock_.start();
}

void Commission::StepDone(const QString& what)
{
    if (setup_.progress)
        setup_.progress(QStringLiteral("%1 (%2 ms)").arg(what).arg(clock_.elapsed()));
}

Step Commission::Do(const QString& name, const std::function<Step()>& step)
{
    if (setup_.step)
        setup_.step(name);
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

void Commission::PortFailed(const Failure& f)
{
    failure_ = f;
    failedStep_ = QStringLiteral("open the port");
    failureText_ = f.text;
}

int Commission::Run(QTextStream& plan)
{
    using Mode = CommissionSetup::Mode;
    if (auto f = Do(QStringLiteral("connect"), [&] { return s_.Connect(); }))
        return Failed(*f);
    device_ = UnitJson(s_.LocalAddress(), s_.LocalVersion());
    const protocol::DeviceConfig local = s_.LocalConfig();
    StepDone(QStringLiteral("Connected to %1").arg(FormatAddress(s_.LocalAddress())));
    if (setup_.remote.kind == RemoteChoice::Kind::Bonded) {
        if (local.BondedAddress == DeviceAddress{})
            return Failed(Failure{kExitUsage, QStringLiteral("--remote bonded: the device on %1 is bonded to no remote device")
                                                  .arg(setup_.portName)});
        remote_ = local.BondedAddress;
    } else if (setup_.remote.kind == RemoteChoice::Kind::Address) {
        remote_ = setup_.remote.address;
    }
    if (setup_.perUnit) {
        const QString why = setup_.perUnit(s_.LocalAddress(), profile_);
        if (!why.isEmpty())
            return Failed(Failure{kExitUsage, why});
    }
    if (setup_.mode != Mode::Apply)
        return ReadOnly(plan, local);
    protocol::DeviceConfig remoteConfig{};
    if (auto f = Do(remote_ ? QStringLiteral("reach remote and check profile") : QStringLiteral("check profile"),
                    [&] { return CheckFits(local, remoteConfig); }))
        return Failed(*f);
    if (remote_)
        StepDone(QStringLiteral("Remote device %1 reached").arg(FormatAddress(*remote_)));
    if (auto f = SendSettings(local, remoteConfig))
        return Failed(*f);
    return Verify(true);
}

// Everything that can be judged before the first setting goes out is.
Step Commission::CheckFits(const protocol::DeviceConfig& local, protocol::DeviceConfig& remoteConfig)
{
    if (local.DeviceFunction != profile_.function)
        return Failure{kExitUsage, QStringLiteral("%1 is for a %2; the device on %3 is a %4")
                                       .arg(setup_.profileName, FunctionText(profile_.function), setup_.portName,
                                            FunctionText(local.DeviceFunction))};
    if (remote_) {
        VersionRecord version;
        if (auto f = s_.ReachRemote(*remote_, version, remoteConfig))
            return f;
        remoteUnit_ = UnitJson(*remote_, version);
    }
    auto localExtras = PortExtras(QStringLiteral("local"), profile_.local, local);
    if (auto* f = std::get_if<Failure>(&localExtras))
        return *f;
    if (remote_) {
        auto extras = PortExtras(QStringLiteral("remote"), *profile_.remote, remoteConfig);
        if (auto* f = std::get_if<Failure>(&extras))
            return *f;
    }
    if (profile_.function == protocol::kSppServer && profile_.device.authentication.value_or(local.Authentication != 0)
        && profile_.device.pin.value_or(protocol::FieldText(local.PinCode.data(), local.PinCode.size())).empty())
        return Failure{kExitUsage, QStringLiteral("local.pin: authentication is on but neither the profile nor the device holds a PIN")};
    return std::nullopt;
}

// The settings, then the save unless it is not asked for.
Step Commission::SendSettings(const protocol::DeviceConfig& local, const protocol::DeviceConfig& remoteConfig)
{
    settingsStarted_ = true;
    const auto setting = [&](const QString& name, const std::function<Step()>& step) -> Step {
        settingSteps_ << name;
        if (auto f = Do(name, step)) {
            if (f->refused)
                refusedSteps_ << name;
            return f;
        }
        taken_ << name;
        return std::nullopt;
    };
    if (auto f = setting(QStringLiteral("local port settings"),
                         [&] { return s_.SetPort(DeviceAddress{}, QStringLiteral("local"), profile_.local, local); }))
        return f;
    StepDone(QStringLiteral("Local port settings confirmed"));
    if (profile_.function == protocol::kSppServer) {
        if (auto f = setting(QStringLiteral("local device settings"), [&] { return s_.SetDevice(profile_.device, local); }))
            return f;
        StepDone(QStringLiteral("Local device settings confirmed"));
    }
    if (remote_) {
        if (auto f = setting(QStringLiteral("remote port settings"),
                             [&] { return s_.SetPort(*remote_, QStringLiteral("remote"), *profile_.remote, remoteConfig); }))
            return f;
        StepDone(QStringLiteral("Remote port settings confirmed"));
    }
    if (!setup_.flash) {
        flash_ = QStringLiteral("not asked");
        return std::nullopt;
    }
    if (auto f = Do(QStringLiteral("save to flash"), [&] { return s_.Flash(); }))
        return f;
    flashSaved_ = true;
    flash_ = QStringLiteral("saved");
    StepDone(QStringLiteral("All settings were saved successfully."));
    return std::nullopt;
}

// A fresh read of every device the profile names, compared with it.
int Commission::Verify(bool after)
{
    QStringList differences;
    protocol::DeviceConfig now{};
    if (auto f = Do(QStringLiteral("verify local"), [&] {
            return s_.ReadConfig(DeviceAddress{}, QStringLiteral("verification: local"), t_.portCheck, now);
        }))
        return Failed(*f);
    differences += CompareSettings(QStringLiteral("local"), profile_.local,
                                   profile_.function == protocol::kSppServer ? &profile_.device : nullptr, now);
    if (remote_ && profile_.remote) {
        if (now.BondedAddress != *remote_ && !after) {
            differences << QStringLiteral("bondedTo: profile pair %1, device %2").arg(FormatAddress(*remote_), FormatAddress(now.BondedAddress));
        } else {
            if (auto f = Do(QStringLiteral("verify remote"),
                            [&] { return s_.ReadConfig(*remote_, QStringLiteral("verification: remote"), t_.bondStep, now); }))
                return Failed(*f);
            differences += CompareSettings(QStringLiteral("remote"), *profile_.remote, nullptr, now);
        }
    }
    verification_ = QJsonObject{{QStringLiteral("result"), differences.isEmpty() ? QStringLiteral("ok") : QStringLiteral("mismatch")},
                                {QStringLiteral("differences"), QJsonArray::fromStringList(differences)}};
    if (!differences.isEmpty()) {
        failure_ = Failure{kExitMismatch, QStringLiteral("verification failed: ") + differences.join(QStringLiteral("; "))};
        failedStep_ = QStringLiteral("verification");
        failureText_ = (after ? QStringLiteral("verification failed:\n  ") : QStringLiteral("the device does not hold the profile:\n  "))
            + differences.join(QStringLiteral("\n  "));
        return kExitMismatch;
    }
    if (setup_.progress) {
        setup_.progress(QStringLiteral("Verified by a fresh read: the device%1 hold%2 every setting of the profile.")
                            .arg(remote_ ? QStringLiteral("s") : QString(), remote_ ? QString() : QStringLiteral("s")));
        if (after)
            setup_.progress(QStringLiteral("Applied in %1 ms, %2 ms of it waiting for the device.")
                                .arg(static_cast<double>(clock_.nsecsElapsed()) / 1e6, 0, 'f', 1)
                                .arg(link_.WaitedMs(), 0, 'f', 1));
    }
    return kExitDone;
}

// A dry run or a verification: reads only. Bonding writes to the device, so
// a remote the device is not bonded to is not reached.
int Commission::ReadOnly(QTextStream& plan, const protocol::DeviceConfig& local)
{
    using Mode = CommissionSetup::Mode;
    if (local.DeviceFunction != profile_.function)
        return Failed(Failure{kExitUsage, QStringLiteral("%1 is for a %2; the device on %3 is a %4")
                                              .arg(setup_.profileName, FunctionText(profile_.function), setup_.portName,
                                                   FunctionText(local.DeviceFunction))});
    if (setup_.mode == Mode::Verify)
        return Verify(false);
    flash_ = QStringLiteral("not asked");
    plan << "Dry run: nothing is written to the device.\n";
    plan << "Device " << FormatAddress(s_.LocalAddress()) << " on " << setup_.portName << ", " << FunctionText(local.DeviceFunction)
         << ", " << VersionText(s_.LocalVersion(), true) << '\n';
    int changes = 0;
    const auto show = [&](const QList<SettingValue>& values) {
        for (const SettingValue& v : values) {
            changes += !v.same;
            if (v.same)
                plan << "  " << v.key << ": " << v.have << " (kept: the device holds it)\n";
            else if (v.key.endsWith(QLatin1String(".pin")))
                plan << "  " << v.key << ": would change to the profile's PIN\n";
            else
                plan << "  " << v.key << ": " << v.have << " -> " << v.want << '\n';
        }
    };
    show(SettingValues(QStringLiteral("local"), profile_.local,
                       profile_.function == protocol::kSppServer ? &profile_.device : nullptr, local));
    if (profile_.device.resetLinkKeys)
        plan << "  local.resetLinkKeys: the link keys would be reset\n";
    if (remote_ && profile_.remote) {
        if (local.BondedAddress != *remote_) {
            plan << "  remote: the device is bonded to " << FormatAddress(local.BondedAddress) << "; apply would bond it with "
                 << FormatAddress(*remote_) << " first, and only then can the remote be read. It would set:\n";
            for (const SettingValue& v : SettingValues(QStringLiteral("remote"), *profile_.remote, nullptr, protocol::DeviceConfig{}))
                plan << "  " << v.key << ": -> " << v.want << '\n';
            ++changes;
        } else {
            protocol::DeviceConfig remoteConfig{};
            VersionRecord version;
            if (auto f = Do(QStringLiteral("read remote"), [&] { return s_.ReachRemote(*remote_, version, remoteConfig); }))
                return Failed(*f);
            remoteUnit_ = UnitJson(*remote_, version);
            show(SettingValues(QStringLiteral("remote"), *profile_.remote, nullptr, remoteConfig));
        }
    }
    if (changes == 0)
        plan << "Nothing would change: the device holds every setting of the profile.\n";
    else
        plan << changes << " setting(s) would change; apply would then " << (setup_.flash ? "save them to flash and " : "")
             << "verify them by a fresh read.\n";
    return kExitDone;
}

// What the device took of the settings, for a failure or a stop after
// the first setting went out.
QStringList Commission::DeviceState(const Failure& f)
{
    QStringList lines;
    QStringList maybe;
    if (f.sent && !f.refused && settingSteps_.contains(failedStep_))
        maybe << failedStep_;
    if (!refusedSteps_.isEmpty())
        lines << QStringLiteral("The device refused the %1 and did not carry them out.").arg(Listed(refusedSteps_));
    if (taken_.isEmpty() && maybe.isEmpty()) {
        lines << (refusedSteps_.isEmpty() ? QStringLiteral("No setting was sent: the device is unchanged.")
                                          : QStringLiteral("It took no setting: the device is unchanged."));
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
    if (failedStep_ == QLatin1String("save to flash") && f.sent && !f.refused) {
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

int Commission::Failed(Failure f)
{
    if (settingsStarted_ || f.signal != 0) {
        const QStringList state = DeviceState(f);
        deviceState_ = QJsonArray::fromStringList(state);
        f.text += QLatin1Char('\n') + state.join(QLatin1Char('\n'));
    }
    failure_ = f;
    const bool connected = s_.Connected();
    s_.AbortIfConnected();
    if (connected)
        f.text += QStringLiteral("\nAbort sent: the device knows the session ended unfinished.");
    failureText_ = f.text;
    return f.code;
}

void Commission::Fill(QJsonObject& record) const
{
    if (!device_.isEmpty())
        record[QStringLiteral("device")] = device_;
    if (!remoteUnit_.isEmpty())
        record[QStringLiteral("remote")] = remoteUnit_;
    else if (remote_)
        record[QStringLiteral("remote")] = QJsonObject{{QStringLiteral("address"), FormatAddress(*remote_)}};
    record[QStringLiteral("steps")] = steps_;
    record[QStringLiteral("verification")] =
        verification_.isEmpty() ? QJsonObject{{QStringLiteral("result"), QStringLiteral("not done")}} : verification_;
    record[QStringLiteral("flash")] = flash_;
    if (!deviceState_.isEmpty())
        record[QStringLiteral("deviceState")] = deviceState_;
    if (failure_)
        record[QStringLiteral("failure")] = QJsonObject{{QStringLiteral("step"), failedStep_},
                                                        {QStringLiteral("result"), ResultWord(*failure_)},
                                                        {QStringLiteral("message"), failure_->text}};
}

}  // namespace vtrl::ctl
