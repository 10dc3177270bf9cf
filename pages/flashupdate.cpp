#include "flashupdate.h"

#include "platform/messagebox.h"
#include "platform/windowmessage.h"
#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/params.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"

namespace vtrl {

namespace {

using platform::MbButtons;
using platform::MbIcon;

constexpr int kFlashTimeoutMs = 10000;
constexpr int kProgressStepMs = 250;

}  // namespace

TfrmFlashUpdate::TfrmFlashUpdate(QWidget* parent)
    : TWizardChildForm(parent), grpTaskDesc(this), txtFlashUpdateTaskDesc(&grpTaskDesc),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigRemotePort, 100}), grpSaveSettings(this),
      btnSave(&grpSaveSettings), pbFlashProgress(&grpSaveSettings), stbFlashUpdate(this),
      statusPanel0_(&stbFlashUpdate, QStringLiteral("stbFlashUpdatePanel0"))
{
    setObjectName(QStringLiteral("frmFlashUpdate"));
    setWindowTitle(QStringLiteral("Save Configuration Settings"));
    resize(457, 253);

    Place(grpTaskDesc, "grpTaskDesc", QRect(0, 0, 457, 96));
    grpTaskDesc.setTitle(QStringLiteral("Task Description"));
    SetupMemo(txtFlashUpdateTaskDesc, "txtFlashUpdateTaskDesc", QRect(8, 17, 441, 74),
              {QStringLiteral("This is the final step in configuration process.  The device settings that have been chosen"),
               QStringLiteral("must be saved to the device(s). This step saves those settings.   Select \"Save\" to instruct the"),
               QStringLiteral("device(s) to save these settings."),
               QString(),
               QStringLiteral("When all settings have successfully been saved, Select \"Next\" to continue.")});

    Place(grpSaveSettings, "grpSaveSettings", QRect(131, 100, 326, 129));
    grpSaveSettings.setTitle(QStringLiteral("Save Settings"));
    Place(btnSave, "btnSave", QRect(118, 32, 90, 25));
    btnSave.setText(QStringLiteral("Save"));
    Place(pbFlashProgress, "pbFlashProgress", QRect(16, 76, 294, 18));
    pbFlashProgress.setRange(0, 2);
    pbFlashProgress.setValue(0);
    // An activity indicator: a percentage would only mislead.
    pbFlashProgress.setTextVisible(false);

    Place(stbFlashUpdate, "stbFlashUpdate", QRect(0, 233, 457, 20));

    tmrFlashUpdate.setObjectName(QStringLiteral("tmrFlashUpdate"));
    tmrFlashUpdate.setInterval(kFlashTimeoutMs);
    tmrProgressBar.setObjectName(QStringLiteral("tmrProgressBar"));
    tmrProgressBar.setInterval(kProgressStepMs);

    connect(&btnSave, &QPushButton::clicked, this, &TfrmFlashUpdate::btnSaveClick);
    connect(&tmrFlashUpdate, &QTimer::timeout, this, &TfrmFlashUpdate::tmrFlashUpdateTimer);
    connect(&tmrProgressBar, &QTimer::timeout, this, &TfrmFlashUpdate::tmrProgressBarTimer);
}

TfrmFlashUpdate::~TfrmFlashUpdate() = default;

QString TfrmFlashUpdate::StatusText() const
{
    return statusPanel0_.text();
}

void TfrmFlashUpdate::SetStatus(const QString& text)
{
    statusPanel0_.SetText(text);
    emit statusChanged(text);
}

std::uint8_t TfrmFlashUpdate::PageEntered(TfrmMain& main)
{
    Tasks.AdaptToDeviceFunction(main.DeviceFunction);
    if (main.DeviceFunction == 1)
        Tasks.lblFourth.setEnabled(true);
    main.btnNext.setEnabled(FlashSaved);
    main.SetNotifyWindow(this);
    return 0;
}

void TfrmFlashUpdate::btnSaveClick()
{
    if (!frmMain)
        return;
    if (frmMain->SendUpdateFlash() != 0) {
        SetStatus(QStringLiteral("Error sending update flash command. Please try again."));
        return;
    }
    ++savesDue_;
    frmMain->btnBack.setEnabled(false);
    // A second press keeps the first press's time-out.
    if (!tmrFlashUpdate.isActive())
        tmrFlashUpdate.start();
    if (!tmrProgressBar.isActive())
        tmrProgressBar.start();
}

void TfrmFlashUpdate::tmrProgressBarTimer()
{
    const int next = pbFlashProgress.value() + 1;
    pbFlashProgress.setValue(next > pbFlashProgress.maximum() ? pbFlashProgress.minimum() : next);
}

void TfrmFlashUpdate::tmrFlashUpdateTimer()
{
    tmrProgressBar.stop();
    tmrFlashUpdate.stop();
    btnSave.setEnabled(true);
    FlashSaved = false;
    if (frmMain)
        frmMain->btnBack.setEnabled(true);
    SetStatus(QStringLiteral("Error - the flash update timed out. Please retry."));
}

bool TfrmFlashUpdate::event(QEvent* e)
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

void TfrmFlashUpdate::ConfirmationReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    if (!payload || payload->empty())
        return;
    // "Saved" counts only as the answer to a save sent from here, in time or
    // late, and neither refused nor sent before the operator left the page:
    // any other would report unsaved settings as saved and end the wizard.
    if ((*payload)[0] == protocol::UpdateFlash && savesDue_ == 0)
        return;
    tmrProgressBar.stop();
    if ((*payload)[0] != protocol::UpdateFlash) {
        // Not the save's answer; the save's own time-out still follows.
        FlashSaved = false;
        SetStatus(QStringLiteral("An error occured in saving the settings. Please retry."));
        return;
    }
    tmrFlashUpdate.stop();
    savesDue_ = 0;
    FlashSaved = true;
    if (!frmMain)
        return;
    frmMain->btnNext.setEnabled(true);
    SetStatus(QStringLiteral("All settings were saved successfully."));
    // Saved: the wizard moves on to the Finish page by itself.
    frmMain->btnNextClick();
}

void TfrmFlashUpdate::NegativeResponseReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    if (savesDue_ > 0 && (!payload || payload->empty() || (*payload)[0] == protocol::UpdateFlash))
        --savesDue_;
    const int reason = payload && payload->size() >= 2 ? (*payload)[1] : -1;
    platform::ShowMessageBox(this,
                             QStringLiteral("A negative response was received from the Cable Replacement device with reason ")
                                 + QString::fromStdString(protocol::ReasonText(reason))
                                 + QStringLiteral(".  Please try again."),
                             QStringLiteral("Warning"), MbButtons::Ok, MbIcon::Error);
}

std::uint8_t TfrmFlashUpdate::PageLeaving(QPushButton* pressed)
{
    if (!frmMain)
        return 0;
    // Settings may change once the operator has gone back; a save sent
    // before then does not cover them.
    if (pressed != &frmMain->btnNext)
        savesDue_ = 0;
    if (pressed == &frmMain->btnNext) {
        if (FlashSaved)
            return 0;
        platform::ShowMessageBox(this, QStringLiteral("The settings must be saved in flash before continuing."),
                                 QStringLiteral("Error"), MbButtons::Ok, MbIcon::None);
        return 2;
    }
    frmMain->btnNext.setEnabled(true);
    return 0;
}

}  // namespace vtrl
