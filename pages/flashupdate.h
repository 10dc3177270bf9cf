#pragma once
// Saving the settings in the device's flash memory.

#include "pages/pagekit.h"
#include "shell/childform.h"

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
    QTimer tmrFlashUpdate;  // save time-out, 10000 ms
    QTimer tmrProgressBar;  // 250 ms activity steps

    // The device confirmed the UpdateFlash.
    bool FlashSaved = false;

    QString StatusText() const;

    std::uint8_t PageEntered(TfrmMain& main) override;
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    void btnSaveClick();
    void tmrFlashUpdateTimer();
    void tmrProgressBarTimer();

signals:
    // Every text written to the status panel, in order.
    void statusChanged(const QString& text);

protected:
    bool event(QEvent* event) override;

private:
    void ConfirmationReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void NegativeResponseReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void SetStatus(const QString& text);

    StatusPanel statusPanel0_;
    // UpdateFlash commands sent from this visit of the page and not yet
    // answered, by a confirmation or a refusal.
    int savesDue_ = 0;
};

}  // namespace vtrl
