#pragma once
// The wizard's main window: frames one page at a time, walks the page table,
// and holds the data every page shares.

#include "core/link.h"
#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "protocol/exchange.h"
#include "protocol/packet.h"
#include "protocol/params.h"
#include "protocol/types.h"
#include "serial/serial.h"
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
#include <vector>

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
    protocol::DeviceConfig& RemoteConfig;
    protocol::DeviceConfig& LocalConfig;
    VersionRecord LocalVersion{};
    VersionRecord RemoteVersion{};

    // 0 while the wizard runs, 2 after Cancel, 1 after Finish.
    int ModalResult = 0;

    // Follows the page caption in the window title (a demonstration says so).
    QString TitleNote;

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

    // Port ownership. OpenPort closes the port held, lets its events drain
    // for DrainMs, and opens COM n at 115200 without handshake: 0 or -1.
    int OpenPort(int n);
    int DrainMs = 250;  // shortened by tests
    int OpenedPort = 0;  // the COM number of the port held, for messages
    // Driver callback, on the port's monitor thread: posts a copy of the
    // event to the window as WM_COMEVENT.
    static int PortEventCallback(std::int32_t handle, const SerialEvent* event, void* context);
    // WM_COMEVENT handler: reads what arrived and feeds the receiver. A
    // hang-up of the port held ends every page's wait (PortGone).
    void ProcessCOMEvent(const SerialEvent& event);
    // Reads what the port holds and feeds the receiver.
    void ReadArrived();
    // Lets the port held go, if any.
    void ClosePort();
    // The device behind the port held went away: every page is told, the
    // port closed.
    void PortGone();
    // The device on the port opened last reported its address.
    void DeviceIdentified(const DeviceAddress& address);

    // The packet receiver's state (0 = between frames), for tests.
    int ReceiverState() const { return link_.Receiver().State(); }

    // The device's commands. Every command written is entered in the ledger
    // as sent by `sender` (a page; null for the window itself), and its
    // answers are handed to that sender.
    protocol::CommandSender& Commands(const QObject* sender);
    protocol::ExchangeLedger& Ledger() { return link_.Ledger(); }
    // Who `sender` is in the ledger.
    protocol::Owner OwnerOf(const QObject* sender);
    // A received notification, matched in the ledger and posted to the page
    // that sent what it answers, or, unasked, to the notification target.
    // False when nobody was there to take it, or it repeats the frame before.
    bool Deliver(protocol::Notification notification) { return link_.Deliver(std::move(notification)); }

    // Asked before the window closes; true lets it close.
    bool FormCloseQuery();
    // Runs once the close is allowed; the closing-with-connection handling
    // is installed here by the start-up code.
    std::function<void(TfrmMain&)> OnFormClose;
    void FormClose();

    // Called by the save page once the device confirmed the save, with the
    // wizard's data as saved; the start-up code installs the record here.
    std::function<void(const TfrmMain&)> OnSaveConfirmed;
    void SaveConfirmed() const
    {
        if (OnSaveConfirmed)
            OnSaveConfirmed(*this);
    }

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // Posts a notification with the ledger's verdict to whoever takes it.
    bool Dispatch(protocol::Notification notification, protocol::Tag tag);
    void navigate(bool forward);
    std::optional<std::size_t> findRow(TWizardChildForm* page) const;
    void centreOnScreen();

    // Received frames become notifications posted to the page that sent what
    // they answer.
    class Answers final : public core::AnswerSink {
    public:
        explicit Answers(TfrmMain& main) : main_(main) {}
        bool Answer(protocol::Notification notification, protocol::Tag tag) override;

    private:
        TfrmMain& main_;
    };
    // Who sent what: an owner in the ledger is an index here, plus one.
    QObject* OwnerObject(protocol::Owner owner) const;

    Answers answers_{*this};
    core::DeviceLink link_{answers_};
    std::vector<QPointer<QObject>> owners_;

    PageTable table_;
    std::optional<std::size_t> currentStep_;
    QPointer<TWizardChildForm> shownPage_;
    QPointer<QWidget> notifyWindow_;
    bool shownOnce_ = false;
    QShortcut escape_;
    QShortcut enter_;
    QShortcut keypadEnter_;
};

}  // namespace vtrl
