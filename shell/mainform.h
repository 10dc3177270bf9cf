#pragma once
// The wizard's main window: frames one page at a time, walks the page table,
// and holds the data every page shares.

#include "protocol/types.h"
#include "shell/childform.h"
#include "shell/pagetable.h"

#include <QFrame>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>

namespace vtrl {

class TWizardChildForm;

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    // `pageTable` must outlive the window.
    explicit TfrmMain(PageTable pageTable, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Controls, named as tests and pages look them up.
    QFrame pnlMain;
    QFrame bevBtnSeparator;
    QPushButton btnBack;
    QPushButton btnNext;
    QPushButton btnCancel;
    QPushButton btnFinish;

    // Wizard data shared by the pages, in this order.
    std::int32_t PortHandle = -1;     // > 0: a port is open
    std::uint8_t DeviceFunction = 0;  // 0 none, 1 Cable Replacement, 2 SPP Server
    DeviceAddress LocalDeviceAddress{};
    // The RemoteConfig and LocalConfig references join here with the
    // parameter blocks.
    VersionRecord LocalVersion{};
    VersionRecord RemoteVersion{};

    // 0 while the wizard runs, 2 after Cancel, 1 after Finish.
    int ModalResult = 0;

    // Notification target. Null is refused with -1 and keeps the old target.
    int SetNotifyWindow(QWidget* window);
    QWidget* NotifyWindow() const { return notifyWindow_.data(); }

    // Navigation.
    std::uint8_t ShowPage(TWizardChildForm* page);
    void UpdateButtons(std::optional<std::size_t> step);
    void FormShow();
    void btnNextClick();
    void btnBackClick();
    void btnCancelClick();
    void btnFinishClick();
    std::optional<std::size_t> CurrentStep() const { return currentStep_; }
    TWizardChildForm* ShownPage() const { return shownPage_.data(); }

    // Asked before the window closes; true lets it close.
    bool FormCloseQuery();
    // Runs once the close is allowed; the closing-with-connection handling
    // is installed here by the start-up code.
    std::function<void(TfrmMain&)> OnFormClose;
    void FormClose();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void navigate(bool forward);
    std::optional<std::size_t> findRow(TWizardChildForm* page) const;
    void centreOnScreen();

    PageTable table_;
    std::optional<std::size_t> currentStep_;
    QPointer<TWizardChildForm> shownPage_;
    QPointer<QWidget> notifyWindow_;
    bool shownOnce_ = false;
    QShortcut escape_;
};

}  // namespace vtrl
