#pragma once
// Identity and security of an SPP Server.

#include "pages/pagekit.h"
#include "protocol/params.h"
#include "protocol/payloads.h"
#include "shell/childform.h"
#include "shell/step.h"

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
    enum class Step { None, DeviceConfig, ReadBack };
    using Settings = protocol::DeviceSettings;
    Settings ShownSettings() const;
    // The name and PIN shown are text the device can hold.
    bool ShownTextFits() const;
    bool DeviceHoldsShown();
    void ShowConfirmed(const QString& text);
    // The device holds `settings`: the record and what the page knows.
    void Hold(const Settings& settings);
    // Shows `settings` in the controls, as no edit.
    void Show(const Settings& settings);
    // Asks the device what it holds, after an answer that may have been
    // another send's. False when nothing went out.
    bool ReadBack();
    void InDoubt(const Reply& reply);
    void SetStatus(const QString& text) { Panel0.SetText(text); }

    Waiting<Step> wait_;
    // What the device holds as far as a confirmed send of this page tells,
    // and which device that was. Unknown once a send goes unanswered.
    std::optional<std::pair<DeviceAddress, Settings>> held_;
    // What the page sent last, to tell an edit made since.
    std::optional<Settings> sent_;
    // An ambiguous answer left what the device holds unknown: read it back.
    bool settle_ = false;
};

}  // namespace vtrl
