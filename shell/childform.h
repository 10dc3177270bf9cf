#pragma once
// Base of every wizard page, and the Tasks panel most pages show.

#include "protocol/commands.h"
#include "shell/reply.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <cstdint>

namespace vtrl {

class TfrmMain;

// A page: created hidden as its own top-level widget and embedded in the main
// window's panel when shown. Its caption is its windowTitle().
class TWizardChildForm : public QWidget {
    Q_OBJECT
public:
    explicit TWizardChildForm(QWidget* parent = nullptr);
    ~TWizardChildForm() override;

    QString Caption() const { return windowTitle(); }

    // Called right after the page was embedded and shown. 0 lets the main
    // window set the buttons from the page table; nonzero leaves them as the
    // page set them.
    virtual std::uint8_t PageEntered(TfrmMain& main);
    // Called before the wizard moves away; `pressed` is the main window's
    // btnNext or btnBack. Nonzero keeps the wizard on this page.
    virtual std::uint8_t PageLeaving(QPushButton* pressed);

    // The device behind the open port went away (COM `port`): a page ends its
    // step and timers; the page on show (`shown`) says so and what to do.
    virtual void PortGone(int port, bool shown);
    static QString DisconnectedText(int port);

    // The device answered, but its answer may belong to an earlier command.
    static QString AnswerInDoubtText();

protected:
    // Each notification reaches the handler for its kind, the way
    // QWidget::event() calls the handlers of its own events. A page gets the
    // answers to its own sends, wherever the wizard is, and unasked ones
    // while it is on show.
    bool event(QEvent* event) override;
    virtual void NegativeResponseReceived(const Reply&) {}
    virtual void ConfirmationReceived(const Reply&) {}
    virtual void LocalAddressReceived(const Reply&) {}
    virtual void InquiryResultReceived(const Reply&) {}
    virtual void InquiryCompleteReceived(const Reply&) {}
    virtual void BondResultReceived(const Reply&) {}
    virtual void ConnectionStatusReceived(const Reply&) {}
    virtual void ConfigReportReceived(const Reply&) {}
    virtual void VersionInfoReceived(const Reply&) {}

    // The device's commands, entered in the ledger as this page's sends.
    // Null without a main window.
    protocol::CommandSender* Commands();
    protocol::ExchangeLedger* Ledger();
};

// Which label the Tasks panel's fourth row carries.
enum class FourthTask { ConfigRemotePort, ConfigLocalDevice };

// The "Tasks" group with the five step labels and the arrow beside the
// page's own step. Lives as a member of its page.
class TasksPanel {
public:
    struct Layout {
        QString firstLabel;  // "Select COM Port" or "Select Comm Port"
        FourthTask fourth;
        int arrowY;
    };
    TasksPanel(QWidget* page, const Layout& layout);

    // The adaptation that pages shown for both functions make when entered.
    void AdaptToDeviceFunction(std::uint8_t deviceFunction);

    QGroupBox grpTasks;
    QLabel lblCommPortSel;
    QLabel lblDevDisc;
    QLabel lblConfigLocalPort;
    QLabel lblFourth;  // objectName lblConfigRemotePort or lblConfigLocalDevice
    QLabel lblFlashUpdate;
    QLabel imgArrow;
};

}  // namespace vtrl
