#pragma once
// The exchanges vtrlctl has with a device, each the way the wizard's page
// for it does them: one step pending at a time, each guarded by the page's
// time-out, a refusal or silence ending the step with what went wrong.

#include "core/settings.h"
#include "ctl/link.h"
#include "ctl/profile.h"
#include "protocol/params.h"
#include "protocol/rules.h"
#include "protocol/types.h"

#include <QString>
#include <QTextStream>

#include <functional>
#include <optional>
#include <variant>
#include <vector>

namespace vtrl::ctl {

// Exit codes, also the classes of failure.
enum ExitCode : int {
    kExitDone = 0,
    kExitFailure = 1,   // an output file could not be written
    kExitUsage = 2,     // bad command line, bad profile, profile does not fit the device
    kExitPort = 3,      // port could not be opened, written or read; device vanished
    kExitRefused = 4,   // the device refused a step, or its version is too old
    kExitTimedOut = 5,  // the device did not answer a step in time
    kExitMismatch = 6,  // the fresh read after apply differs from the profile
    kExitUnitsFailed = 7,  // report: the latest run of a unit failed
    kExitSignal = 128,  // plus the signal that stopped the command
};

// The wizard's time-outs, and how long vtrlctl, which has no operator to
// press a button again, keeps at a step the wizard repeats.
struct Timeouts {
    Millis portCheck = protocol::kTimeouts.portCheck;
    Millis portSettings = protocol::kTimeouts.portSettings;
    Millis deviceSettingsTick = protocol::kTimeouts.deviceSettingsTick;  // repeating...
    int deviceSettingsTicks = 10;                                          // ...this many times
    Millis flash = protocol::kTimeouts.flash;
    Millis inquiry = protocol::kTimeouts.inquiry;
    Millis bondStep = protocol::kTimeouts.bondStep;
    int connectionRetries = 5;  // "not connected" reports taken before giving up

    // Every time-out multiplied by `factor` (at least 1 ms each).
    Timeouts Scaled(double factor) const;
    // Every wait for one answer `each` (--timeout); the inquiry keeps its time.
    Timeouts EachAnswer(Millis each) const;
};

struct Failure {
    int code = kExitFailure;
    QString text;
    bool sent = false;  // the step's command went out: the device may have acted on it
    int signal = 0;     // a stop request ended the step
    bool garbled = false;  // answers came but failed their checksum
    bool unclear = false;  // an answer came that does not say whether the command was carried out
    bool refused = false;  // a NegativeResponse: the device did not carry the command out
};
using Step = std::optional<Failure>;

struct FoundDevice {
    DeviceAddress address{};
    QString name;
};

QString FormatAddress(const DeviceAddress& address);
// 12 hex digits, with or without ':' or '-' between the groups.
std::optional<DeviceAddress> ParseAddress(const QString& text);

// The lines the COM port page shows for a configuration.
QStringList ConfigurationLines(const protocol::DeviceConfig& config);
QString VersionText(const VersionRecord& record, bool application);

class Session {
public:
    // Progress lines start with `where` (the port), so that parallel runs
    // can be told apart.
    Session(DeviceLink& link, const Timeouts& timeouts, QTextStream& progress, QString where);

    // GetLocalAddress, GetVersion with the version rule, GetConfig.
    Step Connect();
    bool Connected() const { return connected_; }
    const DeviceAddress& LocalAddress() const { return localAddress_; }
    const VersionRecord& LocalVersion() const { return localVersion_; }
    const protocol::DeviceConfig& LocalConfig() const { return localConfig_; }

    // A configuration read; `what` names the device in messages.
    Step ReadConfig(const DeviceAddress& address, const QString& what, Millis timeout, protocol::DeviceConfig& out);
    // Bonds with `remote` unless the attached device is bonded to it, then
    // reads its version (refused as in the wizard, with Abort) and configuration.
    Step ReachRemote(const DeviceAddress& remote, VersionRecord& version, protocol::DeviceConfig& config);
    Step Inquiry(std::vector<FoundDevice>& found);

    // `current` is the device's configuration: it gives the power class and
    // every value the profile leaves out.
    Step SetPort(const DeviceAddress& address, const QString& what, const PortSettings& settings,
                 const protocol::DeviceConfig& current);
    Step SetDevice(const DeviceSettings& settings, const protocol::DeviceConfig& current);
    Step Flash();

    // Tells a connected device that the session ends unfinished, as the
    // wizard does when it is closed early.
    void AbortIfConnected();

private:
    // A failure for a stop requested before `step` sends, if one was.
    Step Stopped(const QString& step, Millis timeout);
    Failure Unwritten(const QString& step, Millis timeout);
    // Waits for the answer to `id`, noting the request for what strays in.
    DeviceLink::Result Await(protocol::ExchangeId id, Millis timeout);
    // The same, a failure when no answer came.
    Step Answer(const QString& step, protocol::ExchangeId id, Millis timeout, DeviceLink::Result& r);
    // Whether a read whose answer was garbled is asked once more.
    bool AskAgain(const Failure& f, bool& retried, const QString& step);
    // Sends settings and waits until the device is proven to hold them.
    template <typename Kind>
    Step Apply(const QString& step, core::Settings<Kind>& exchange, const DeviceAddress& unit, const DeviceAddress& address,
               const typename Kind::Values& values, Millis timeout);
    Failure Failed(const QString& step, const DeviceLink::Result& result, Millis timeout);
    void Say(const QString& text);

    DeviceLink& link_;
    Timeouts t_;
    QTextStream& progress_;
    QString where_;
    bool connected_ = false;
    std::uint8_t asked_ = 0;  // the sequence of the command waited for
    DeviceAddress localAddress_{};
    VersionRecord localVersion_{};
    protocol::DeviceConfig localConfig_{};
};

// Power byte and CD flag a SetPortConfig sends for `settings` on a device
// holding `current`; a Failure when the level does not fit the power class.
std::variant<std::pair<std::uint8_t, std::uint8_t>, Failure> PortExtras(const QString& what, const PortSettings& settings,
                                                                      const protocol::DeviceConfig& current);

}  // namespace vtrl::ctl
