#pragma once
// The wizard's main window: frames one page at a time, walks the page table,
// and holds the data every page shares.

#include "protocol/commands.h"
#include "protocol/delivery.h"
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
    // for 250 ms, and opens COM n at 115200 without handshake: 0 or -1.
    int OpenPort(int n);
    // Driver callback, on the port's monitor thread: posts a copy of the
    // event to the window as WM_COMEVENT.
    static int PortEventCallback(std::int32_t handle, const SerialEvent* event, void* context);
    // WM_COMEVENT handler: reads what arrived and feeds the receiver.
    void ProcessCOMEvent(const SerialEvent& event);

    // The packet receiver's state (0 = between frames), for tests.
    int ReceiverState() const { return receiver_.State(); }

    // Commands to the device; 0 written, -1 not (GetLocalAddress and
    // GetConfig: the sequence number written, or -1).
    int SendGetLocalAddress();
    int SendInitiateInquiry();
    int SendInitiateBonding(const DeviceAddress& address);
    int SendSetLocalPortConfig(std::uint8_t interfaceCode, std::uint8_t baud, std::uint8_t dataBits,
                               std::uint8_t stopBits, std::uint8_t parity, std::uint8_t flowControl,
                               std::uint8_t powerByte, std::uint8_t cdOutput);
    int SendSetRemotePortConfig(std::uint8_t interfaceCode, std::uint8_t baud, const DeviceAddress& address,
                                std::uint8_t dataBits, std::uint8_t stopBits, std::uint8_t parity,
                                std::uint8_t flowControl, std::uint8_t powerByte, std::uint8_t cdOutput);
    int SendSetDeviceConfig(std::uint8_t linkTimeout, std::string_view name, bool authentication, bool encryption,
                            const std::array<std::uint8_t, 16>& pin, bool resetLinkKeys);
    int SendPingRequest(const DeviceAddress& address);
    int SendAbort();
    int SendUpdateFlash();
    int SendGetConfig(const DeviceAddress& address);
    int SendGetVersion(const DeviceAddress& address);

    // Asked before the window closes; true lets it close.
    bool FormCloseQuery();
    // Runs once the close is allowed; the closing-with-connection handling
    // is installed here by the start-up code.
    std::function<void(TfrmMain&)> OnFormClose;
    void FormClose();

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void navigate(bool forward);
    std::optional<std::size_t> findRow(TWizardChildForm* page) const;
    void centreOnScreen();

    // The device link: frames go out through the held port, received frames
    // become notifications posted to the notification target.
    class PortLink final : public protocol::PortWriter, public protocol::NotificationSink {
    public:
        explicit PortLink(TfrmMain& main) : main_(main) {}
        std::int32_t Write(const std::uint8_t* bytes, std::uint32_t count) override;
        bool Post(protocol::Notification notification) override;

    private:
        TfrmMain& main_;
    };
    PortLink link_{*this};
    protocol::PacketSender sender_{link_};
    protocol::CommandSender commands_{sender_};
    protocol::PacketReceiver receiver_;

    PageTable table_;
    std::optional<std::size_t> currentStep_;
    QPointer<TWizardChildForm> shownPage_;
    QPointer<QWidget> notifyWindow_;
    bool shownOnce_ = false;
    QShortcut escape_;
};

}  // namespace vtrl
