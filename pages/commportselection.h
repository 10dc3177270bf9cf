#pragma once
// Choosing the COM port and connecting to the attached device.

#include "pages/pagekit.h"
#include "shell/childform.h"
#include "core/procedures.h"
#include "protocol/types.h"
#include "serial/ports.h"
#include "serial/watcher.h"

#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vtrl {

class TfrmMain;

class TfrmCommPortSel : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmCommPortSel(QWidget* parent = nullptr);
    ~TfrmCommPortSel() override;

    // Builds the list items and reads the port number back from them.
    static constexpr const char* PortNameFormat = "COM Port %d";
    static QString PortItemText(int port, const QString& devicePath = QString());
    // The number an item names, or nullopt when the text is not a port item.
    static std::optional<int> PortNumberOfItem(const QString& text);

    QGroupBox grpTaskDesc;
    QPlainTextEdit txtCommPortSelTaskDesc;
    TasksPanel Tasks;
    QComboBox cboCommPort;
    QPushButton btnSetCommPortSel;
    QPushButton btnAutoDetect;
    QLabel lblCurrentSetting;
    QPushButton bGetVersion;
    QLabel lblFormat;
    QLabel lblFlowControl;
    QLabel lblDeviceType;
    QLabel lblBondedTo;
    QLabel lbPowerClass;
    QFrame stbCommPortSel;
    StatusPanel Panel0;  // progress and error texts
    StatusPanel Panel1;  // the open port
    QTimer tmrHeartbeat;  // guards each step; the interval is 2000 ms

    // The device answered GetLocalAddress on the port now open. Read when the
    // wizard closes: while true, the device is told to abort.
    bool Connected = false;
    // The whole sequence completed on the open port and the configuration is
    // shown: only then may the wizard move on.
    bool ConfigurationShown = false;
    std::int32_t ConfigRequestSeq = 0;

    std::uint8_t PageEntered(TfrmMain& main) override;
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    // Where the port list comes from: the system's device database unless
    // set (tests and pictures show adapters this machine has not got).
    using DatabaseSource = std::function<std::unique_ptr<serial::DeviceDatabase>()>;
    static void SetDeviceDatabaseForTesting(DatabaseSource source);

    // Lists the ports there are now, keeping the selection where it stays;
    // runs again whenever an adapter comes or goes.
    void EnumeratePorts();
    // Ports not listed (no permission, held by another program): one line in
    // panel 0 that fits it and says what to do, every port in its tooltip.
    void ShowRefusedPorts(std::vector<serial::PortEntry> refused);
    void cboCommPortChange();
    void btnSetCommPortSelClick();
    void btnAutoDetectClick();
    void bGetVersionClick();
    void tmrHeartbeatTimer();
    void ConnectToPort(int port);
    // The connection sequence on the port now open: GetLocalAddress first.
    // False when it could not be written.
    bool StartConnectionSequence();
    void ShowCurrentConfiguration();
    // The window is closing: ends a running attempt or search for good, so
    // nothing is written and no further port kept once the device may have
    // been told to abort.
    void AbandonAttempt();

    void PortGone(int port, bool shown) override;

protected:
    void LocalAddressReceived(const Reply& reply) override;
    void VersionInfoReceived(const Reply& reply) override;
    void ConfigReportReceived(const Reply& reply) override;
    void NegativeResponseReceived(const Reply& reply) override;

private:
    // No step of the connection sequence is under way, nor the opening.
    bool Idle() const { return check_.step() == core::PortCheck::Step::None && !opening_; }
    void RestartHeartbeat();
    // Enables the two connect buttons, except while a search runs: a click
    // then would start a second attempt inside the first.
    void EnableConnectButtons(bool autoDetect, bool set);

    // The connection sequence on the port now open.
    core::PortCheck check_;
    // OpenPort lets the old port's events drain: clicks then must not start
    // another attempt inside this one.
    bool opening_ = false;
    // Back or the closing window came while events were pumped: a running
    // search tries no further port, and once closed none is kept open.
    enum class Leave { Stay, Back, Closed } leave_ = Leave::Stay;
    bool searching_ = false;
    std::unique_ptr<serial::PortWatcher> watcher_;
    bool everListed_ = false;
    bool listChanged_ = false;  // adapters came or went during a search
    QSocketNotifier* plugged_ = nullptr;  // the watcher's descriptor, where there is one
};

}  // namespace vtrl
