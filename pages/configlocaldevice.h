#pragma once
// Identity and security of an SPP Server.

#include "pages/pagekit.h"
#include "protocol/params.h"
#include "protocol/payloads.h"
#include "shell/childform.h"
#include "core/settings.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vtrl {

class TfrmMain;

class TfrmConfigLocalDevice : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmConfigLocalDevice(QWidget* parent = nullptr);
    ~TfrmConfigLocalDevice() override;

    QGroupBox grpTaskDesc;
    QPlainTextEdit txtConfigLocalPortTaskDesc;
    TasksPanel Tasks;
    QGroupBox grpDeviceSettings;
    QLabel lblDeviceName;
    QLineEdit ebDeviceName;
    QLabel lPinCode;
    QLineEdit ebPinCode;
    QCheckBox cbAuthentication;
    QCheckBox cbEncryption;
    QPushButton bAdvanced;
    QPushButton btnSetLocalDeviceConfig;
    QFrame stbConfigLocalPort;
    StatusPanel Panel0;
    QTimer tmrConfig;  // repeats every 1000 ms until an answer stops it

    // The device holds what the page shows: a send of this page was
    // confirmed with these values, and none is on its way.
    bool ConfigConfirmed = false;
    std::uint16_t PendingLinkTimeout = 0;
    bool ResetLinkKeysRequested = false;

    std::uint8_t PageEntered(TfrmMain& main) override;
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    void cboParameterChange();
    void cbAuthenticationClick();
    void btnSetLocalDeviceConfigClick();
    void tmrConfigTimer();
    void bAdvancedClick();
    void PortGone(int port, bool shown) override;

protected:
    void ConfirmationReceived(const Reply& reply) override;
    void NegativeResponseReceived(const Reply& reply) override;
    void ConfigReportReceived(const Reply& reply) override;

private:
    using Settings = protocol::DeviceSettings;
    Settings ShownSettings() const;
    // The name and PIN shown are text the device can hold.
    bool ShownTextFits() const;
    bool DeviceHoldsShown();
    void ShowConfirmed(const QString& text);
    // A send waits for its answer within its first tick.
    bool Awaiting();
    // The record takes what the device is proven to hold.
    void KeepHeld();
    // Shows `settings` in the controls, as no edit.
    void Show(const Settings& settings);
    // Asks the device what it holds, after an answer that may have been
    // another send's. False when nothing went out.
    bool ReadBack();
    // An answer of this page's sends was ambiguous: what the device holds is
    // to be read back, now (`waited`: it may have been the answer waited
    // for) or when the page can.
    void InDoubt(bool waited);
    void SetStatus(const QString& text) { Panel0.SetText(text); }

    // What the device holds of these settings, and the send or read-back
    // the page waits for.
    core::DeviceSettingsExchange settings_;
};

}  // namespace vtrl
