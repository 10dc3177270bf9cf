#pragma once
// Saving the settings in the device's flash memory.

#include "pages/pagekit.h"
#include "shell/childform.h"
#include "core/procedures.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdint>
#include <optional>
#include <vector>

namespace vtrl {

class TfrmMain;

class TfrmFlashUpdate : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmFlashUpdate(QWidget* parent = nullptr);
    ~TfrmFlashUpdate() override;

    QGroupBox grpTaskDesc;
    QPlainTextEdit txtFlashUpdateTaskDesc;
    TasksPanel Tasks;
    QGroupBox grpSaveSettings;
    QPushButton btnSave;
    QProgressBar pbFlashProgress;
    QFrame stbFlashUpdate;
    StatusPanel Panel0;
    QTimer tmrFlashUpdate;  // save time-out, 10000 ms
    QTimer tmrProgressBar;  // 250 ms activity steps

    // The device confirmed the UpdateFlash.
    bool FlashSaved = false;

    std::uint8_t PageEntered(TfrmMain& main) override;
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    void btnSaveClick();
    void tmrFlashUpdateTimer();
    void tmrProgressBarTimer();
    void PortGone(int port, bool shown) override;

protected:
    void ConfirmationReceived(const Reply& reply) override;
    void NegativeResponseReceived(const Reply& reply) override;

private:
    void SetStatus(const QString& text) { Panel0.SetText(text); }

    // The UpdateFlash sent from this visit of the page. Its answer counts
    // also after the time-out, as long as the operator stays: gone Back,
    // settings may change that a save sent before does not cover.
    core::Save save_;
};

}  // namespace vtrl
