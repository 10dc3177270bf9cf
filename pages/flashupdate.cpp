#include "flashupdate.h"

#include "platform/messagebox.h"
#include "protocol/commands.h"
#include "protocol/rules.h"
#include "protocol/params.h"
#include "protocol/payloads.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"

#include <algorithm>

namespace vtrl {

namespace {

using platform::MbButtons;
using platform::MbIcon;

constexpr int kProgressStepMs = 250;

}  // namespace

TfrmFlashUpdate::TfrmFlashUpdate(QWidget* parent)
    : TWizardChildForm(parent), grpTaskDesc(this), txtFlashUpdateTaskDesc(&grpTaskDesc),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigRemotePort, 100}), grpSaveSettings(this),
      btnSave(&grpSaveSettings), pbFlashProgress(&grpSaveSettings), stbFlashUpdate(this),
      Panel0(&stbFlashUpdate, QStringLiteral("stbFlashUpdatePanel0"))
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
    tmrFlashUpdate.setInterval(static_cast<int>(protocol::kTimeouts.flash.count()));
    tmrProgressBar.setObjectName(QStringLiteral("tmrProgressBar"));
    tmrProgressBar.setInterval(kProgressStepMs);

    connect(&btnSave, &QPushButton::clicked, this, &TfrmFlashUpdate::btnSaveClick);
    connect(&tmrFlashUpdate, &QTimer::timeout, this, &TfrmFlashUpdate::tmrFlashUpdateTimer);
    connect(&tmrProgressBar, &QTimer::timeout, this, &TfrmFlashUpdate::tmrProgressBarTimer);
}

TfrmFlashUpdate::~TfrmFlashUpdate() = default;

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
    protocol::CommandSender* send = Commands();
    if (!send || save_.Start(*send, Ledger(), tmrFlashUpdate.intervalAsDuration()) != 0) {
        SetStatus(QStringLiteral("Error sending update flash command. Please try again."));
        return;
    }
    // One save at a time: the device's answer to a second could not be told apart.
    btnSave.setEnabled(false);
    if (frmMain)
        frmMain->btnBack.setEnabled(false);
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
    // The save stays awaited, as late: the device may still confirm it.
    save_.Late(Ledger());
    tmrProgressBar.stop();
    tmrFlashUpdate.stop();
    btnSave.setEnabled(true);
    FlashSaved = false;
    if (frmMain)
        frmMain->btnBack.setEnabled(true);
    SetStatus(QStringLiteral("Error - the flash update timed out. Please retry."));
}

void TfrmFlashUpdate::PortGone(int port, bool shown)
{
    if (!save_.Idle()) {
        // Gone while saving: the flash may hold the old settings or the new.
        save_.End(nullptr);
        tmrFlashUpdate.stop();
        tmrProgressBar.stop();
        FlashSaved = false;
        btnSave.setEnabled(true);
    }
    if (shown)
        SetStatus(DisconnectedText(port));
}

void TfrmFlashUpdate::ConfirmationReceived(const Reply& reply)
{
    // Only the answer to a save sent from this visit: any other would report
    // unsaved settings as saved and end the wizard.
    const auto outcome = frmMain ? save_.Confirmation(reply.tag, frmMain->Ledger()) : core::Save::Outcome::Ignored;
    if (outcome == core::Save::Outcome::Ignored)
        return;
    tmrProgressBar.stop();
    if (outcome == core::Save::Outcome::Misnamed) {
        // Not the save's answer, which may still come; else its time-out follows.
        FlashSaved = false;
        SetStatus(QStringLiteral("An error occured in saving the settings. Please retry."));
        return;
    }
    tmrFlashUpdate.stop();
    FlashSaved = outcome == core::Save::Outcome::Saved;
    btnSave.setEnabled(true);
    if (!FlashSaved) {
        // A save confirmed, but maybe one sent before the settings changed.
        frmMain->btnBack.setEnabled(true);
        SetStatus(QStringLiteral("The device confirmed a save, but it may have been an earlier one.  Please save again."));
        return;
    }
    frmMain->SaveConfirmed();
    frmMain->btnNext.setEnabled(true);
    SetStatus(QStringLiteral("All settings were saved successfully."));
    // Saved: the wizard moves on to the Finish page by itself.
    frmMain->btnNextClick();
}

void TfrmFlashUpdate::NegativeResponseReceived(const Reply& reply)
{
    // A refused save is over in the ledger: no later Confirmation counts for
    // it. The time-out follows as before. One that may be refused waits on.
    const auto outcome = save_.Refusal(reply.tag);
    if (reply.Credited() && outcome != core::Save::Outcome::Refused)
        return;
    if (outcome == core::Save::Outcome::Refused)
        btnSave.setEnabled(true);
    if (!isVisible())
        return;
    platform::ShowMessageBox(this,
                             QStringLiteral("A negative response was received from the Cable Replacement device with reason ")
                                 + QString::fromStdString(protocol::RefusalReason(reply.block))
                                 + QStringLiteral(".  Please try again."),
                             QStringLiteral("Warning"), MbButtons::Ok, MbIcon::Error);
}

std::uint8_t TfrmFlashUpdate::PageLeaving(QPushButton* pressed)
{
    if (!frmMain)
        return 0;
    if (pressed == &frmMain->btnNext) {
        if (FlashSaved)
            return 0;
        platform::ShowMessageBox(this, QStringLiteral("The settings must be saved in flash before continuing."),
                                 QStringLiteral("Error"), MbButtons::Ok, MbIcon::None);
        return 2;
    }
    // Settings may change once the operator has gone back; a save sent
    // before then does not cover them.
    save_.End(Ledger());
    frmMain->btnNext.setEnabled(true);
    return 0;
}

}  // namespace vtrl
