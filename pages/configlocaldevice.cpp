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
    s.resetLinkKeys = ResetLinkKeysRequested;
    return s;
}

bool TfrmConfigLocalDevice::ShownTextFits() const
{
    return !protocol::FirstUnfitCharacter(ebDeviceName.text().toStdString(), false)
        && !protocol::FirstUnfitCharacter(ebPinCode.text().toStdString(), true);
}

bool TfrmConfigLocalDevice::DeviceHoldsShown()
{
    return frmMain && settings_.Holds(frmMain->LocalDeviceAddress, ShownSettings()) && ShownTextFits();
}

bool TfrmConfigLocalDevice::Awaiting()
{
    // Within the first tick; after it the send is still taken, but given up on.
    return !settings_.Idle() && Ledger() && Ledger()->Waiting(settings_.Send());
}

void TfrmConfigLocalDevice::ShowConfirmed(const QString& text)
{
    if (frmMain)
        frmMain->btnNext.setEnabled(true);
    btnSetLocalDeviceConfig.setEnabled(false);
    SetStatus(text);
}

void TfrmConfigLocalDevice::KeepHeld()
{
    if (const auto& held = settings_.Held(); held && frmMain)
        held->values.Into(frmMain->LocalConfig);
}

void TfrmConfigLocalDevice::Show(const Settings& held)
{
    {
        const QSignalBlocker quietName(ebDeviceName), quietPin(ebPinCode);
        ebDeviceName.setText(QString::fromLatin1(held.name));
        ebPinCode.setText(QString::fromLatin1(held.PinText()));
    }
    cbEncryption.setChecked(held.encryption);
    cbAuthentication.setChecked(held.authentication);
    lPinCode.setVisible(held.authentication);
    ebPinCode.setVisible(held.authentication);
    PendingLinkTimeout = held.linkTimeout;
}

bool TfrmConfigLocalDevice::ReadBack()
{
    protocol::CommandSender* send = Commands();
    if (!send || !frmMain)
        return false;
    if (settings_.ReadBack(*send, Ledger(), frmMain->LocalDeviceAddress, DeviceAddress{}, tmrConfig.intervalAsDuration())
        != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return false;
    }
    tmrConfig.stop();
    tmrConfig.start();
    ConfigConfirmed = false;
    btnSetLocalDeviceConfig.setEnabled(false);
    bAdvanced.setEnabled(false);
    if (isVisible())
        frmMain->btnNext.setEnabled(false);
    SetStatus(QStringLiteral("The device's answer may be for an earlier command.  Reading its settings back..."));
    return true;
}

void TfrmConfigLocalDevice::InDoubt(bool waited)
{
    ConfigConfirmed = false;
    // The answer waited for may be another send's: only a read-back tells.
    // While a send of its own is still awaited, its answer tells more.
    if (waited || (!Awaiting() && settings_.step() != core::DeviceSettingsExchange::Step::ReadBack && isVisible()))
        ReadBack();
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
    btnSetLocalDeviceConfig.setEnabled(!ConfigConfirmed && !Awaiting());
    if (settings_.SettleDue() && !Awaiting())
        ReadBack();
    return 0;
}

void TfrmConfigLocalDevice::cboParameterChange()
{
    // While a send waits for its answer, a second could not be told from it.
    btnSetLocalDeviceConfig.setEnabled(!Awaiting());
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
    // Text the device cannot hold would reach it as other characters.
    if (const auto bad = protocol::FirstUnfitCharacter(ebDeviceName.text().toStdString(), false)) {
        platform::ShowMessageBox(this,
                                 QStringLiteral("The device cannot hold the character \"%1\" in its name.  Please use only "
                                                "letters, digits and signs of Western European languages.")
                                     .arg(QString::fromStdString(*bad)),
                                 QStringLiteral("Device Name Error"), MbButtons::Ok, MbIcon::Error);
        return;
    }
    if (const auto bad = protocol::FirstUnfitCharacter(ebPinCode.text().toStdString(), true)) {
        platform::ShowMessageBox(this,
                                 QStringLiteral("The device cannot hold the character \"%1\" in its PIN code.  Please use "
                                                "only digits, the letters A to Z and the signs of a US keyboard.")
                                     .arg(QString::fromStdString(*bad)),
                                 QStringLiteral("Pin Code Error"), MbButtons::Ok, MbIcon::Error);
        return;
    }
    protocol::CommandSender* send = Commands();
    // An earlier send given up on is over for this page; the ledger keeps it
    // as a candidate, so that its late answer is not taken for this one's.
    if (!send || !frmMain
        || settings_.SendValues(*send, Ledger(), frmMain->LocalDeviceAddress, DeviceAddress{}, ShownSettings(),
                                tmrConfig.intervalAsDuration())
            != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return;
    }
    ConfigConfirmed = false;
    SetStatus(QStringLiteral("Configuration sent correctly. Waiting on confirmation..."));
    if (!tmrConfig.isActive())
        tmrConfig.start();
    btnSetLocalDeviceConfig.setEnabled(false);
    bAdvanced.setEnabled(false);
    frmMain->btnNext.setEnabled(false);
}

void TfrmConfigLocalDevice::tmrConfigTimer()
{
    // Keeps ticking: an answer after the first time-out is still taken. From
    // the first, the device may or may not hold what was sent. A read-back
    // unanswered is asked again when the page can.
    if (settings_.step() == core::DeviceSettingsExchange::Step::ReadBack)
        tmrConfig.stop();
    settings_.Late(Ledger());
    SetStatus(QStringLiteral("Device Timeout Occurred.  Please retry."));
    btnSetLocalDeviceConfig.setEnabled(true);
    bAdvanced.setEnabled(true);
}

void TfrmConfigLocalDevice::PortGone(int port, bool shown)
{
    // The device may have restarted: what it holds is to be sent again.
    settings_.Forget();
    ConfigConfirmed = false;
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
    const bool waited = settings_.step() == core::DeviceSettingsExchange::Step::Send;
    switch (settings_.Confirmation(reply.Notice(), reply.tag)) {
    case core::DeviceSettingsExchange::Outcome::InDoubt:
        InDoubt(waited && settings_.Idle());
        return;
    case core::DeviceSettingsExchange::Outcome::Forgotten:
        // A SetDeviceConfig carried out that no send of the wizard explains.
        ConfigConfirmed = false;
        if (isVisible())
            cboParameterChange();
        return;
    case core::DeviceSettingsExchange::Outcome::Proved:
        break;
    default:
        return;
    }
    if (waited && settings_.Idle()) {
        tmrConfig.stop();
        bAdvanced.setEnabled(true);
    }
    KeepHeld();
    // A reset ticked after this send went out is still to be sent.
    if (settings_.Held()->values.resetLinkKeys)
        ResetLinkKeysRequested = false;
    if (!settings_.Idle())
        return;  // an older send's answer: the one waited for tells more
    ConfigConfirmed = DeviceHoldsShown();
    if (!isVisible())
        return;  // shown again on entry
    if (ConfigConfirmed) {
        ShowConfirmed(QStringLiteral("Configuration confirmation received."));
        return;
    }
    // Edited while the device was answering: the edit has not reached it.
    cboParameterChange();
}

void TfrmConfigLocalDevice::ConfigReportReceived(const Reply& reply)
{
    if (settings_.Report(reply.Notice(), reply.tag) != core::DeviceSettingsExchange::Outcome::Proved)
        return;
    tmrConfig.stop();
    bAdvanced.setEnabled(true);
    KeepHeld();
    const Settings held = settings_.Held()->values;
    // Nothing edited since the last send: the page shows what the device
    // holds, whether or not that send took.
    const Settings shown = ShownSettings();
    const auto& sent = settings_.LastSent();
    const bool edited = sent && !sent->values.SameAs(shown);
    if (!shown.SameAs(held) && !edited)
        Show(held);
    ConfigConfirmed = DeviceHoldsShown();
    if (!isVisible())
        return;
    if (!ConfigConfirmed) {
        cboParameterChange();
        return;
    }
    ShowConfirmed(sent && !sent->values.SameAs(held)
                      ? QStringLiteral("The device did not take the settings sent last.  It holds the settings shown.")
                      : QStringLiteral("Configuration confirmed by reading it back from the device."));
}

void TfrmConfigLocalDevice::NegativeResponseReceived(const Reply& reply)
{
    // A refused send was not carried out; one that may be the refused one
    // leaves what the device holds unknown. The ticks go on as before.
    const auto outcome = settings_.Refusal(reply.tag);
    if (outcome == core::DeviceSettingsExchange::Outcome::InDoubt)
        ConfigConfirmed = false;
    else if (reply.Credited() && outcome != core::DeviceSettingsExchange::Outcome::Refused)
        return;
    if (!isVisible())
        return;
    QString text = QStringLiteral("A negative response was received");
    if (reply.block)
        text += QStringLiteral(" with reason ") + QString::fromStdString(protocol::RefusalReason(reply.block));
    text += QStringLiteral(".  Please try again.");
    platform::ShowMessageBox(this, text, QStringLiteral("Warning"), MbButtons::Ok, MbIcon::Error);
    if (outcome == core::DeviceSettingsExchange::Outcome::InDoubt && !Awaiting()
        && settings_.step() != core::DeviceSettingsExchange::Step::ReadBack)
        ReadBack();
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
