#pragma once
// Choosing the COM port and connecting to the attached device.

#include "shell/childform.h"
#include "protocol/types.h"
#include "serial/probe.h"

#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdint>
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
    QTimer tmrHeartbeat;  // guards each step; the interval is 2000 ms

    // The device answered GetLocalAddress on the port now open. Read when the
    // wizard closes: while true, the device is told to abort.
    bool Connected = false;
    // The whole sequence completed on the open port and the configuration is
    // shown: only then may the wizard move on.
    bool ConfigurationShown = false;
    std::int32_t ConfigRequestSeq = 0;
    bool VersionCheckPending = false;

    QString StatusText(int panel) const;

    std::uint8_t PageEntered(TfrmMain& main) override;
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    void EnumeratePorts();
    // Ports the probe was refused: one line in panel 0 that fits it and says
    // what to do, every port in its tooltip.
    void ShowRefusedPorts(std::vector<serial::PortProbe> refused);
    void cboCommPortChange();
    void btnSetCommPortSelClick();
    void btnAutoDetectClick();
    void bGetVersionClick();
    void tmrHeartbeatTimer();
    void ConnectToPort(int port);
    void ShowCurrentConfiguration();
    // The window is closing: ends a running attempt or search for good, so
    // nothing is written and no further port kept once the device may have
    // been told to abort.
    void AbandonAttempt();

signals:
    // Every text written to a status panel, in order (also repeats).
    void statusChanged(int panel, const QString& text);

protected:
    bool event(QEvent* event) override;

private:
    void LocalAddressReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void VersionInfoReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void ConfigReportReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void NegativeResponseReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void SetStatus(int panel, const QString& text);
    void RestartHeartbeat();
    // Enables the two connect buttons, except while a search runs: a click
    // then would start a second attempt inside the first.
    void EnableConnectButtons(bool autoDetect, bool set);

    QLabel statusPanel0_;
    QLabel statusPanel1_;
    // The attached device is addressed with six zero bytes.
    DeviceAddress localTarget_{};
    // Set when the page is left, so a running auto detect stops trying ports.
    bool leftPage_ = false;
    // The window closed: a port opened while that happened is let go at once.
    bool abandoned_ = false;
    // An auto detect search, or OpenPort inside an attempt, is running; both
    // pump events, so the click handlers must not start another attempt.
    bool searching_ = false;
    bool connecting_ = false;
};

}  // namespace vtrl
