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
    // A send given up on that is still unanswered was carried out, if at
    // all, before what proved the holding: the device takes commands in the
    // order they reach it, only its answers may come late or out of order.
    return held_ && frmMain && held_->first == frmMain->LocalDeviceAddress && held_->second.SameAs(ShownSettings())
        && ShownTextFits() && wait_.Idle();
}

void TfrmConfigLocalDevice::ShowConfirmed(const QString& text)
{
    if (frmMain)
        frmMain->btnNext.setEnabled(true);
    btnSetLocalDeviceConfig.setEnabled(false);
    SetStatus(text);
}

void TfrmConfigLocalDevice::Hold(const Settings& held)
{
    if (!frmMain)
        return;
    held.Into(frmMain->LocalConfig);
    held_ = std::make_pair(frmMain->LocalDeviceAddress, held);
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
    if (!send)
        return false;
    if (send->SendGetConfig(DeviceAddress{}) < 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return false;
    }
    settle_ = false;
    wait_.End(Ledger());
    wait_.Begin(Step::ReadBack, send->LastExchange(), Ledger(), tmrConfig.intervalAsDuration());
    tmrConfig.stop();
    tmrConfig.start();
    ConfigConfirmed = false;
    btnSetLocalDeviceConfig.setEnabled(false);
    bAdvanced.setEnabled(false);
    if (frmMain && isVisible())
        frmMain->btnNext.setEnabled(false);
    SetStatus(QStringLiteral("The device's answer may be for an earlier command.  Reading its settings back..."));
    return true;
}

void TfrmConfigLocalDevice::InDoubt(const Reply& reply)
{
    held_.reset();
    ConfigConfirmed = false;
    if (wait_.Is(Step::DeviceConfig) && wait_.MayAnswer(reply)) {
        if (!ReadBack())
            settle_ = true;
        return;
    }
    // While a send of its own waits, its answer tells more.
    settle_ = true;
    const bool waits = wait_.Is(Step::ReadBack) || (Ledger() && Ledger()->Waiting(wait_.send()));
    if (!waits && isVisible())
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
    btnSetLocalDeviceConfig.setEnabled(!ConfigConfirmed && !(Ledger() && Ledger()->Waiting(wait_.send())));
    if (settle_ && !(Ledger() && Ledger()->Waiting(wait_.send())))
        ReadBack();
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
    const Settings s = ShownSettings();
    if (!send || send->SendSetDeviceConfig(s) != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return;
    }
    // An earlier send given up on is over for this page; the ledger keeps it
    // as a candidate, so that its late answer is not taken for this one's.
    wait_.End(Ledger());
    wait_.Begin(Step::DeviceConfig, send->LastExchange(), Ledger(), tmrConfig.intervalAsDuration());
    sent_ = s;
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
    if (wait_.Is(Step::ReadBack)) {
        // Asked again when the page can.
        wait_.End(Ledger());
        settle_ = true;
        tmrConfig.stop();
    }
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
    settle_ = false;
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
    const protocol::Exchange* answered = reply.Send();
    if (reply.Ambiguous() && (!answered || answered->command != protocol::SetDeviceConfig)) {
        InDoubt(reply);
        return;
    }
    // Unasked, or naming another command: not this send's answer, which may
    // still come. A SetDeviceConfig carried out that no send of the wizard
    // explains leaves what the device holds unknown.
    if (!answered || !frmMain) {
        if (reply.block && protocol::FirstByte(*reply.block) == protocol::SetDeviceConfig && held_) {
            held_.reset();
            ConfigConfirmed = false;
            if (isVisible())
                cboParameterChange();
        }
        return;
    }
    if (wait_.Is(Step::DeviceConfig) && wait_.Answers(reply)) {
        tmrConfig.stop();
        wait_.End(nullptr);
        bAdvanced.setEnabled(true);
    }
    const auto sent = protocol::DeviceSettings::Decode(answered->payload);
    if (!sent)
        return;
    // The device holds what that send carried, whatever the page shows now.
    Hold(*sent);
    // A reset ticked after this send went out is still to be sent.
    if (sent->resetLinkKeys)
        ResetLinkKeysRequested = false;
    if (!wait_.Idle())
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
    if (!wait_.Is(Step::ReadBack) || !wait_.Answers(reply) || !reply.block || reply.block->empty() || !frmMain)
        return;
    tmrConfig.stop();
    wait_.End(nullptr);
    bAdvanced.setEnabled(true);
    const Settings held = Settings::Of(protocol::ConfigReportPayload::Decode(*reply.block)->config);
    Hold(held);
    // Nothing edited since the last send: the page shows what the device
    // holds, whether or not that send took.
    const Settings shown = ShownSettings();
    const bool edited = sent_ && !sent_->SameAs(shown);
    if (!shown.SameAs(held) && !edited)
        Show(held);
    ConfigConfirmed = DeviceHoldsShown();
    if (!isVisible())
        return;
    if (!ConfigConfirmed) {
        cboParameterChange();
        return;
    }
    ShowConfirmed(sent_ && !sent_->SameAs(held)
                      ? QStringLiteral("The device did not take the settings sent last.  It holds the settings shown.")
                      : QStringLiteral("Configuration confirmed by reading it back from the device."));
}

void TfrmConfigLocalDevice::NegativeResponseReceived(const Reply& reply)
{
    // A refused send was not carried out; one that may be the refused one
    // leaves what the device holds unknown. The ticks go on as before.
    if (reply.Ambiguous()) {
        held_.reset();
        ConfigConfirmed = false;
        if (!isVisible()) {
            settle_ = settle_ || !(Ledger() && Ledger()->Waiting(wait_.send()));
            return;
        }
    } else if ((reply.Credited() && !wait_.Answers(reply)) || !isVisible()) {
        return;
    }
    QString text = QStringLiteral("A negative response was received");
    if (reply.block)
        text += QStringLiteral(" with reason ") + QString::fromStdString(protocol::RefusalReason(reply.block));
    text += QStringLiteral(".  Please try again.");
    platform::ShowMessageBox(this, text, QStringLiteral("Warning"), MbButtons::Ok, MbIcon::Error);
    if (reply.Ambiguous() && !(Ledger() && Ledger()->Waiting(wait_.send())))
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
