#pragma once
// Putting a profile on one unit: connect, check, (bond and) reach the
// remote, send the settings, save, verify by a fresh read; or only read and
// compare (a dry run, a verification). What apply does once and each slot of
// line does for every unit, with the record of what happened.

#include "ctl/profile.h"
#include "ctl/session.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <optional>

namespace vtrl::ctl {

// --remote: none, an address, or the unit the device is bonded to.
struct RemoteChoice {
    enum class Kind { None, Address, Bonded } kind = Kind::None;
    DeviceAddress address{};
    bool given() const { return kind != Kind::None; }
};

struct CommissionSetup {
    enum class Mode { Apply, DryRun, Verify } mode = Mode::Apply;
    bool flash = true;
    RemoteChoice remote;
    QString profileName;  // for messages
    QString portName;     // for messages
    // Called once the unit is known, before anything is sent: the unit's own
    // values (name, PIN) go into the profile; an error text refuses the unit.
    std::function<QString(const DeviceAddress&, Profile&)> perUnit;
    std::function<void(const QString&)> progress;  // a line a step ended with
    std::function<void(const QString&)> step;      // the step now under way
};

class Commission {
public:
    Commission(Session& session, DeviceLink& link, const Timeouts& t, CommissionSetup setup, Profile profile);

    // Runs it; the exit code. `plan` takes what a dry run or a verification
    // prints.
    int Run(QTextStream& plan);

    // The failure, with what the device holds and whether Abort went out:
    // what is printed.
    const QString& FailureText() const { return failureText_; }
    // device, remote, steps, verification, flash, failure, deviceState.
    void Fill(QJsonObject& record) const;
    const Profile& UnitProfile() const { return profile_; }
    std::optional<DeviceAddress> Remote() const { return remote_; }

    // When the port could not be opened: the record says so.
    void PortFailed(const Failure& f);

private:
    Step Do(const QString& name, const std::function<Step()>& step);
    int Failed(Failure f);
    QStringList DeviceState(const Failure& f);
    void StepDone(const QString& what);
    Step CheckFits(const protocol::DeviceConfig& local, protocol::DeviceConfig& remoteConfig);
    Step SendSettings(const protocol::DeviceConfig& local, const protocol::DeviceConfig& remoteConfig);
    int Verify(bool after);
    int ReadOnly(QTextStream& plan, const protocol::DeviceConfig& local);

    Session& s_;
    DeviceLink& link_;
    Timeouts t_;
    CommissionSetup setup_;
    Profile profile_;
    std::optional<DeviceAddress> remote_;
    QElapsedTimer clock_;
    QJsonObject device_, remoteUnit_;
    QJsonArray steps_;
    QJsonObject verification_;
    QJsonArray deviceState_;
    QString flash_ = QStringLiteral("not reached");
    std::optional<Failure> failure_;
    QString failedStep_;
    QString failureText_;
    bool settingsStarted_ = false;
    bool flashSaved_ = false;
    QStringList settingSteps_;  // setting steps begun
    QStringList taken_;         // setting steps the device confirmed
    QStringList refusedSteps_;  // setting steps the device refused: not carried out
};

}  // namespace vtrl::ctl
