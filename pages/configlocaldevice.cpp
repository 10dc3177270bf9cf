#include "configlocaldevice.h"

#include "pages/localdevicesettings.h"
#include "platform/messagebox.h"
#include "platform/windowmessage.h"
#include "protocol/commands.h"
#include "protocol/delivery.h"
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

constexpr int kConfigTimeoutMs = 1000;
const QString kChanged =
    QStringLiteral("The Device Configuration has been changed.  (Re)send Configuration when ready to proceed.");

// A NUL-terminated text field of a record, never read past its end.
template <std::size_t N>
QString FieldText(const std::array<std::uint8_t, N>& field)
{
    const auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return QString::fromLatin1(reinterpret_cast<const char*>(field.data()), static_cast<qsizetype>(end - field.begin()));
}

}  // namespace

TfrmConfigLocalDevice::TfrmConfigLocalDevice(QWidget* parent)
    : TWizardChildForm(parent), grpTaskDesc(this), txtConfigLocalPortTaskDesc(&grpTaskDesc),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigLocalDevice, 79}),
      grpDeviceSettings(this), lblDeviceName(&grpDeviceSettings), ebDeviceName(&grpDeviceSettings),
      lPinCode(&grpDeviceSettings), ebPinCode(&grpDeviceSettings), cbAuthentication(&grpDeviceSettings),
      cbEncryption(&grpDeviceSettings), bAdvanced(&grpDeviceSettings), btnSetLocalDeviceConfig(&grpDeviceSettings),
      stbConfigLocalPort(this), statusPanel0_(&stbConfigLocalPort, QStringLiteral("stbConfigLocalPortPanel0"))
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
    ebDeviceName.setMaxLength(kDeviceNameMax);
    Place(lPinCode, "lPinCode", QRect(10, 50, 70, 16));
    lPinCode.setText(QStringLiteral("Pin Code"));
    Place(ebPinCode, "ebPinCode", QRect(84, 47, 120, 21));
    ebPinCode.setMaxLength(kPinCodeMax);
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
    tmrConfig.setInterval(kConfigTimeoutMs);

    connect(&ebDeviceName, &QLineEdit::textChanged, this, [this] { cboParameterChange(); });
    connect(&ebPinCode, &QLineEdit::textChanged, this, [this] { cboParameterChange(); });
    connect(&cbEncryption, &QCheckBox::clicked, this, [this] { cboParameterChange(); });
    connect(&cbAuthentication, &QCheckBox::clicked, this, [this] { cbAuthenticationClick(); });
    connect(&bAdvanced, &QPushButton::clicked, this, &TfrmConfigLocalDevice::bAdvancedClick);
    connect(&btnSetLocalDeviceConfig, &QPushButton::clicked, this, &TfrmConfigLocalDevice::btnSetLocalDeviceConfigClick);
    connect(&tmrConfig, &QTimer::timeout, this, &TfrmConfigLocalDevice::tmrConfigTimer);
}

TfrmConfigLocalDevice::~TfrmConfigLocalDevice() = default;

QString TfrmConfigLocalDevice::StatusText() const
{
    return statusPanel0_.text();
}

void TfrmConfigLocalDevice::SetStatus(const QString& text)
{
    statusPanel0_.SetText(text);
    emit statusChanged(text);
}

TfrmConfigLocalDevice::Settings TfrmConfigLocalDevice::ShownSettings() const
{
    Settings s;
    s.name = ebDeviceName.text().left(kDeviceNameMax).toLatin1().toStdString();
    // The command carries the low byte only.
    s.linkTimeout = static_cast<std::uint8_t>(PendingLinkTimeout & 0xFF);
    s.encryption = cbEncryption.isChecked();
    s.authentication = cbAuthentication.isChecked();
    const QByteArray pin = ebPinCode.text().left(kPinCodeMax).toLatin1();
    std::copy_n(pin.begin(), pin.size(), s.pin.begin());
    s.resetLinkKeys = ResetLinkKeysRequested;
    return s;
}

std::uint8_t TfrmConfigLocalDevice::PageEntered(TfrmMain& main)
{
    ResetLinkKeysRequested = false;
    // A send still on its way may change what the device holds.
    main.btnNext.setEnabled(ConfigConfirmed && sent_.empty());
    btnSetLocalDeviceConfig.setEnabled(!ConfigConfirmed || !sent_.empty());
    const protocol::DeviceConfig& config = main.LocalConfig;
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
    if (load(ebDeviceName, FieldText(config.DeviceName)))
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
    if (load(ebPinCode, FieldText(config.PinCode)))
        cboParameterChange();
    main.SetNotifyWindow(this);
    return 0;
}

void TfrmConfigLocalDevice::cboParameterChange()
{
    btnSetLocalDeviceConfig.setEnabled(true);
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
    if (!frmMain)
        return;
    TfrmMain& main = *frmMain;
    if (cbAuthentication.isChecked() && ebPinCode.text().isEmpty()) {
        platform::ShowMessageBox(nullptr, QStringLiteral("Pin Code not defined"), QStringLiteral("Pin Code Error"),
                                 MbButtons::Ok, MbIcon::None);
        return;
    }
    const Settings s = ShownSettings();
    // After a time-out the earlier sends' answers are taken as lost, so that
    // one lost answer does not leave every later one credited to the wrong send.
    if (timedOut_)
        sent_.clear();
    if (main.SendSetDeviceConfig(s.linkTimeout, s.name, s.authentication, s.encryption, s.pin, s.resetLinkKeys) != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return;
    }
    sent_.push_back(s);
    timedOut_ = false;
    SetStatus(QStringLiteral("Configuration sent correctly. Waiting on confirmation..."));
    if (!tmrConfig.isActive())
        tmrConfig.start();
    btnSetLocalDeviceConfig.setEnabled(true);
    main.btnNext.setEnabled(false);
}

void TfrmConfigLocalDevice::tmrConfigTimer()
{
    // Keeps ticking: an answer after the first time-out is still taken.
    timedOut_ = true;
    SetStatus(QStringLiteral("Device Timeout Occurred.  Please retry."));
    btnSetLocalDeviceConfig.setEnabled(true);
}

void TfrmConfigLocalDevice::bAdvancedClick()
{
    // OK counts as an edit even when nothing was changed.
    if (RunDeviceAdvanced(this, cbAuthentication.isChecked(), PendingLinkTimeout, ResetLinkKeysRequested))
        cboParameterChange();
}

bool TfrmConfigLocalDevice::event(QEvent* e)
{
    auto* message = dynamic_cast<platform::WindowMessage*>(e);
    if (!message)
        return TWizardChildForm::event(e);
    switch (message->message()) {
    case protocol::MsgConfirmation:
        ConfirmationReceived(message->takePayload());
        return true;
    case protocol::MsgNegativeResponse:
        NegativeResponseReceived(message->takePayload());
        return true;
    default:
        return TWizardChildForm::event(e);
    }
}

void TfrmConfigLocalDevice::ConfirmationReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    if (!tmrConfig.isActive())
        return;
    tmrConfig.stop();
    if (!payload || payload->empty() || (*payload)[0] != protocol::SetDeviceConfig || !frmMain)
        return;
    // Without a send of ours there is nothing the answer could confirm.
    if (sent_.empty())
        return;
    const Settings confirmed = sent_.front();
    sent_.pop_front();
    protocol::DeviceConfig& config = frmMain->LocalConfig;
    config.DeviceName.fill(0);
    std::copy(confirmed.name.begin(), confirmed.name.end(), config.DeviceName.begin());
    config.LinkTimeout = confirmed.linkTimeout;
    config.Encryption = confirmed.encryption ? 1 : 0;
    config.Authentication = confirmed.authentication ? 1 : 0;
    config.PinCode = confirmed.pin;
    // A reset ticked after this send went out is still to be sent.
    if (confirmed.resetLinkKeys)
        ResetLinkKeysRequested = false;
    if (!sent_.empty()) {
        // An earlier send's answer: the device holds it now, but a later
        // send is still on its way.
        tmrConfig.start();
        return;
    }
    ConfigConfirmed = true;

    Settings unsent = confirmed;
    unsent.resetLinkKeys = false;
    if (ShownSettings() != unsent) {
        // Edited while the device was answering: the edit has not reached it.
        cboParameterChange();
        return;
    }
    frmMain->btnNext.setEnabled(true);
    btnSetLocalDeviceConfig.setEnabled(false);
    SetStatus(QStringLiteral("Configuration confirmation received."));
}

void TfrmConfigLocalDevice::NegativeResponseReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    // The refused send is done with: a later confirmation belongs to the next.
    if (!sent_.empty() && (!payload || payload->empty() || (*payload)[0] == protocol::SetDeviceConfig))
        sent_.pop_front();
    QString text = QStringLiteral("A negative response was received");
    if (payload) {
        const int reason = payload->size() >= 2 ? (*payload)[1] : -1;
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
        if (ConfigConfirmed && sent_.empty()) {
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
