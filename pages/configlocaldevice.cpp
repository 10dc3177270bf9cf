#include "configlocaldevice.h"

#include "pages/localdevicesettings.h"
#include "platform/messagebox.h"
#include "protocol/commands.h"
#include "protocol/rules.h"
#include "protocol/params.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"

#include <QSignalBlocker>

#include <algorithm>
#include <utility>

namespace vtrl {

namespace {

using platform::MbButtons;
using platform::MbIcon;

const QString kChanged =
    QStringLiteral("The Device Configuration has been changed.  (Re)send Configuration when ready to proceed.");

}  // namespace

TfrmConfigLocalDevice::TfrmConfigLocalDevice(QWidget* parent)
    : TWizardChildForm(parent), grpTaskDesc(this), txtConfigLocalPortTaskDesc(&grpTaskDesc),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigLocalDevice, 79}),
      grpDeviceSettings(this), lblDeviceName(&grpDeviceSettings), ebDeviceName(&grpDeviceSettings),
      lPinCode(&grpDeviceSettings), ebPinCode(&grpDeviceSettings), cbAuthentication(&grpDeviceSettings),
      cbEncryption(&grpDeviceSettings), bAdvanced(&grpDeviceSettings), btnSetLocalDeviceConfig(&grpDeviceSettings),
      stbConfigLocalPort(this), Panel0(&stbConfigLocalPort, QStringLiteral("stbConfigLocalPortPanel0"))
{
    setObjectName(QStringLiteral("frmConfigLocalDevice"));
    setWindowTitle(QStringLiteral("Configure Local Device"));
    resize(457, 253);

    Place(grpTaskDesc, "grpTaskDesc", QRect(0, 0, 457, 96));
    grpTaskDesc.setTitle(QStringLiteral("Task Description"));
    SetupMemo(txtConfigLocalPortTaskDesc, "txtConfigLocalPortTaskDesc", QRect(8, 17, 441, 74),
              {QStringLiteral("The device(s) will interface to a physical serial port.  In this step, you must configure the port"),
               QStringLiteral("settings for the local device to correctly communicate.   Select the appropriate settings and"),
               QStringLiteral("then select \"Set Port Configuration\"."),
               QString(),
               QStringLiteral("When successful, select \"Next\" to continue.")});

    Place(grpDeviceSettings, "grpDeviceSettings", QRect(131, 100, 326, 129));
    grpDeviceSettings.setTitle(QStringLiteral("Device Settings"));
    Place(lblDeviceName, "lblDeviceName", QRect(10, 23, 70, 16));
    lblDeviceName.setText(QStringLiteral("Device Name"));
    Place(ebDeviceName, "ebDeviceName", QRect(84, 20, 232, 21));
    ebDeviceName.setMaxLength(static_cast<int>(protocol::kDeviceNameMax));
    Place(lPinCode, "lPinCode", QRect(10, 50, 70, 16));
    lPinCode.setText(QStringLiteral("Pin Code"));
    Place(ebPinCode, "ebPinCode", QRect(84, 47, 120, 21));
    ebPinCode.setMaxLength(static_cast<int>(protocol::kPinMax));
    // A screen reader names each edit by the label beside it, not by the group.
    lblDeviceName.setBuddy(&ebDeviceName);
    lPinCode.setBuddy(&ebPinCode);
    Place(cbAuthentication, "cbAuthentication", QRect(10, 75, 150, 18));
    cbAuthentication.setText(QStringLiteral("Authentication Enabled"));
    Place(cbEncryption, "cbEncryption", QRect(10, 98, 150, 18));
    cbEncryption.setText(QStringLiteral("Encryption Enabled"));
    Place(bAdvanced, "bAdvanced", QRect(226, 46, 90, 24));
    bAdvanced.setText(QStringLiteral("Advanced"));
    Place(btnSetLocalDeviceConfig, "btnSetLocalDeviceConfig", QRect(166, 96, 150, 24));
    btnSetLocalDeviceConfig.setText(QStringLiteral("Set Port Configuration"));

    Place(stbConfigLocalPort, "stbConfigLocalPort", QRect(0, 233, 457, 20));

    tmrConfig.setObjectName(QStringLiteral("tmrConfig"));
    tmrConfig.setInterval(static_cast<int>(protocol::kTimeouts.deviceSettingsTick.count()));

    connect(&ebDeviceName, &QLineEdit::textChanged, this, [this] { cboParameterChange(); });
    connect(&ebPinCode, &QLineEdit::textChanged, this, [this] { cboParameterChange(); });
    connect(&cbEncryption, &QCheckBox::clicked, this, [this] { cboParameterChange(); });
    connect(&cbAuthentication, &QCheckBox::clicked, this, [this] { cbAuthenticationClick(); });
    connect(&bAdvanced, &QPushButton::clicked, this, &TfrmConfigLocalDevice::bAdvancedClick);
    connect(&btnSetLocalDeviceConfig, &QPushButton::clicked, this, &TfrmConfigLocalDevice::btnSetLocalDeviceConfigClick);
    connect(&tmrConfig, &QTimer::timeout, this, &TfrmConfigLocalDevice::tmrConfigTimer);
}

TfrmConfigLocalDevice::~TfrmConfigLocalDevice() = default;

TfrmConfigLocalDevice::Settings TfrmConfigLocalDevice::ShownSettings() const
{
    Settings s;
    s.name = ebDeviceName.text().left(static_cast<qsizetype>(protocol::kDeviceNameMax)).toLatin1().toStdString();
    s.linkTimeout = PendingLinkTimeout;
    s.encryption = cbEncryption.isChecked();
    s.authentication = cbAuthentication.isChecked();
    const QByteArray pin = ebPinCode.text().left(static_cast<qsizetype>(protocol::kPinMax)).toLatin1();
    std::copy_n(pin.begin(), pin.size(), s.pin.begin());
    return s;
}

TfrmConfigLocalDevice::Settings TfrmConfigLocalDevice::SentSettings(const std::vector<std::uint8_t>& p)
{
    Settings s;
    if (p.size() < 51)
        return s;
    s.name = protocol::FieldText(p.data(), protocol::kDeviceNameField);
    s.linkTimeout = static_cast<std::uint16_t>(p[30] | (p[31] << 8));
    s.encryption = p[32] != 0;
    s.authentication = p[33] != 0;
    std::copy_n(p.begin() + 34, s.pin.size(), s.pin.begin());
    return s;
}

bool TfrmConfigLocalDevice::DeviceHoldsShown()
{
    return held_ && frmMain && held_->first == frmMain->LocalDeviceAddress && held_->second == ShownSettings()
        && !SendsOpen();
}

void TfrmConfigLocalDevice::ShowConfirmed()
{
    if (frmMain)
        frmMain->btnNext.setEnabled(true);
    btnSetLocalDeviceConfig.setEnabled(false);
    SetStatus(QStringLiteral("Configuration confirmation received."));
}

std::uint8_t TfrmConfigLocalDevice::PageEntered(TfrmMain& main)
{
    ResetLinkKeysRequested = false;
    const protocol::DeviceConfig& config = main.LocalConfig;
    // All 16 bits: the field carries them, whatever the dialog offers.
    PendingLinkTimeout = config.LinkTimeout;

    // Loading a value the control did not show counts as the operator's
    // edit, so a first entry ends with the page changed.
    const auto load = [](QLineEdit& edit, const QString& text) {
        if (edit.text() == text)
            return false;
        const QSignalBlocker quiet(edit);
        edit.setText(text);
        return true;
    };
    if (load(ebDeviceName, QString::fromLatin1(protocol::FieldText(config.DeviceName.data(), config.DeviceName.size()))))
        cboParameterChange();
    if (cbEncryption.isChecked() != (config.Encryption != 0)) {
        cbEncryption.setChecked(config.Encryption != 0);
        cboParameterChange();
    }
    const bool authentication = config.Authentication != 0;
    const bool authenticationChanged = cbAuthentication.isChecked() != authentication;
    cbAuthentication.setChecked(authentication);
    if (authenticationChanged)
        cbAuthenticationClick();
    lPinCode.setVisible(authentication);
    ebPinCode.setVisible(authentication);
    if (load(ebPinCode, QString::fromLatin1(protocol::FieldText(config.PinCode.data(), config.PinCode.size()))))
        cboParameterChange();
    main.SetNotifyWindow(this);
    ConfigConfirmed = DeviceHoldsShown();
    main.btnNext.setEnabled(ConfigConfirmed);
    btnSetLocalDeviceConfig.setEnabled(!ConfigConfirmed && !(Ledger() && Ledger()->Waiting(wait_.send())));
    return 0;
}

void TfrmConfigLocalDevice::cboParameterChange()
{
    // While a send waits for its answer, a second could not be told from it.
    btnSetLocalDeviceConfig.setEnabled(!(Ledger() && Ledger()->Waiting(wait_.send())));
    if (frmMain)
        frmMain->btnNext.setEnabled(false);
    SetStatus(kChanged);
}

void TfrmConfigLocalDevice::cbAuthenticationClick()
{
    const bool on = cbAuthentication.isChecked();
    lPinCode.setVisible(on);
    ebPinCode.setVisible(on);
    cboParameterChange();
}

void TfrmConfigLocalDevice::btnSetLocalDeviceConfigClick()
{
    if (cbAuthentication.isChecked() && ebPinCode.text().isEmpty()) {
        platform::ShowMessageBox(nullptr, QStringLiteral("Pin Code not defined"), QStringLiteral("Pin Code Error"),
                                 MbButtons::Ok, MbIcon::None);
        return;
    }
    if (!MaySend(protocol::SetDeviceConfig)) {
        SetStatus(WaitForEarlierAnswerText());
        return;
    }
    protocol::CommandSender* send = Commands();
    const Settings s = ShownSettings();
    if (!send
        || send->SendSetDeviceConfig(s.linkTimeout, s.name, s.authentication, s.encryption, s.pin,
                                     ResetLinkKeysRequested) != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return;
    }
    // An earlier send given up on is over for this page: the ledger lets
    // this one out only once its answer can no longer be mistaken.
    wait_.End(Ledger());
    wait_.Begin(Step::DeviceConfig, send->LastExchange(), Ledger(), tmrConfig.intervalAsDuration());
    ConfigConfirmed = false;
    SetStatus(QStringLiteral("Configuration sent correctly. Waiting on confirmation..."));
    if (!tmrConfig.isActive())
        tmrConfig.start();
    btnSetLocalDeviceConfig.setEnabled(false);
    bAdvanced.setEnabled(false);
    if (frmMain)
        frmMain->btnNext.setEnabled(false);
}

void TfrmConfigLocalDevice::tmrConfigTimer()
{
    // Keeps ticking: an answer after the first time-out is still taken. From
    // the first, the device may or may not hold what was sent.
    if (Ledger() && Ledger()->Waiting(wait_.send())) {
        held_.reset();
        Ledger()->GiveUp(wait_.send());
    }
    SetStatus(QStringLiteral("Device Timeout Occurred.  Please retry."));
    btnSetLocalDeviceConfig.setEnabled(true);
    bAdvanced.setEnabled(true);
}

void TfrmConfigLocalDevice::PortGone(int port, bool shown)
{
    // The device may have restarted: what it holds is to be sent again.
    held_.reset();
    ConfigConfirmed = false;
    wait_.End(nullptr);
    tmrConfig.stop();
    btnSetLocalDeviceConfig.setEnabled(true);
    bAdvanced.setEnabled(true);
    if (shown) {
        SetStatus(DisconnectedText(port));
        if (frmMain)
            frmMain->btnNext.setEnabled(false);
    }
}

void TfrmConfigLocalDevice::bAdvancedClick()
{
    // OK counts as an edit even when nothing was changed.
    if (RunDeviceAdvanced(this, cbAuthentication.isChecked(), PendingLinkTimeout, ResetLinkKeysRequested))
        cboParameterChange();
}

void TfrmConfigLocalDevice::ConfirmationReceived(const Reply& reply)
{
    // Unasked, or naming another command: not this send's answer, which may
    // still come. A SetDeviceConfig carried out that no send of the wizard
    // explains leaves what the device holds unknown.
    if (!reply.Credited() || reply.Misnamed() || !frmMain) {
        if (reply.Byte(0) == protocol::SetDeviceConfig && held_) {
            held_.reset();
            ConfigConfirmed = false;
            if (isVisible())
                cboParameterChange();
        }
        return;
    }
    const bool waited = wait_.Answers(reply);
    if (waited) {
        tmrConfig.stop();
        wait_.End(nullptr);
        bAdvanced.setEnabled(true);
    }
    const std::vector<std::uint8_t>& sent = reply.tag.exchange->payload;
    if (sent.size() < 51)
        return;
    // The device holds what that send carried, whatever the page shows now.
    const Settings confirmed = SentSettings(sent);
    protocol::DeviceConfig& config = frmMain->LocalConfig;
    config.DeviceName.fill(0);
    std::copy(confirmed.name.begin(), confirmed.name.end(), config.DeviceName.begin());
    config.LinkTimeout = confirmed.linkTimeout;
    config.Encryption = confirmed.encryption ? 1 : 0;
    config.Authentication = confirmed.authentication ? 1 : 0;
    config.PinCode = confirmed.pin;
    held_ = std::make_pair(frmMain->LocalDeviceAddress, confirmed);
    // A reset ticked after this send went out is still to be sent.
    if (sent[50] != 0)
        ResetLinkKeysRequested = false;
    if (!wait_.Idle())
        return;  // an older send's answer: the one waited for may change it again
    ConfigConfirmed = DeviceHoldsShown();
    if (!isVisible())
        return;  // shown again on entry
    if (ConfigConfirmed) {
        ShowConfirmed();
        return;
    }
    // Edited while the device was answering: the edit has not reached it.
    cboParameterChange();
}

void TfrmConfigLocalDevice::NegativeResponseReceived(const Reply& reply)
{
    // The refused send is over in the ledger; the ticks go on as before.
    if ((reply.Credited() && !wait_.Answers(reply)) || !isVisible())
        return;
    QString text = QStringLiteral("A negative response was received");
    if (reply.block) {
        const int reason = reply.block->size() >= 2 ? (*reply.block)[1] : -1;
        text += QStringLiteral(" with reason ") + QString::fromStdString(protocol::ReasonText(reason));
    }
    text += QStringLiteral(".  Please try again.");
    platform::ShowMessageBox(this, text, QStringLiteral("Warning"), MbButtons::Ok, MbIcon::Error);
}

std::uint8_t TfrmConfigLocalDevice::PageLeaving(QPushButton* pressed)
{
    if (!frmMain)
        return 0;
    if (pressed == &frmMain->btnNext) {
        if (DeviceHoldsShown()) {
            frmMain->btnBack.setEnabled(true);
            return 0;
        }
        platform::ShowMessageBox(this, QStringLiteral("The Device settings must be properly configured before continuing."),
                                 QStringLiteral("Error"), MbButtons::Ok, MbIcon::None);
        return 2;
    }
    frmMain->btnNext.setEnabled(true);
    return 0;
}

}  // namespace vtrl
