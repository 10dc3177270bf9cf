#include "childform.h"

#include "platform/windowmessage.h"
#include "protocol/delivery.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/uifont.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace vtrl {

TWizardChildForm::TWizardChildForm(QWidget* parent) : QWidget(parent)
{
    // Set on the page itself: pages are built as hidden top-level widgets and
    // only later embedded in the main window.
    setFont(WizardFont());
    hide();
}

TWizardChildForm::~TWizardChildForm() = default;

std::uint8_t TWizardChildForm::PageEntered(TfrmMain&)
{
    return 0;
}

std::uint8_t TWizardChildForm::PageLeaving(QPushButton*)
{
    return 0;
}

void TWizardChildForm::PortGone(int, bool) {}

QString TWizardChildForm::DisconnectedText(int port)
{
    return QStringLiteral("The device on COM Port %1 was disconnected. Reconnect it, then go Back and select the port again.")
        .arg(port);
}

QString TWizardChildForm::AnswerInDoubtText()
{
    return QStringLiteral("The device answered, but the answer may be for an earlier command.  Please retry.");
}

NotificationMessage::NotificationMessage(Reply reply)
    : QEvent(static_cast<QEvent::Type>(reply.message)), reply_(std::move(reply))
{
    platform::RegisterWindowMessageTypes();
}

bool TWizardChildForm::event(QEvent* e)
{
    auto* notification = dynamic_cast<NotificationMessage*>(e);
    if (!notification)
        return QWidget::event(e);
    // The block is the handler's from here and goes with the reply.
    const Reply reply = notification->Take();
    switch (reply.message) {
    case protocol::MsgNegativeResponse: NegativeResponseReceived(reply); break;
    case protocol::MsgConfirmation: ConfirmationReceived(reply); break;
    case protocol::MsgLocalAddress: LocalAddressReceived(reply); break;
    case protocol::MsgInquiryResult: InquiryResultReceived(reply); break;
    case protocol::MsgInquiryComplete: InquiryCompleteReceived(reply); break;
    case protocol::MsgBondResult: BondResultReceived(reply); break;
    case protocol::MsgConnectionStatus: ConnectionStatusReceived(reply); break;
    case protocol::MsgConfigReport: ConfigReportReceived(reply); break;
    case protocol::MsgVersionInfo: VersionInfoReceived(reply); break;
    default: break;
    }
    return true;
}

protocol::CommandSender* TWizardChildForm::Commands()
{
    return frmMain ? &frmMain->Commands(this) : nullptr;
}

protocol::ExchangeLedger* TWizardChildForm::Ledger()
{
    return frmMain ? &frmMain->Ledger() : nullptr;
}


namespace {

QPixmap arrowPixmap()
{
    QPixmap pixmap(17, 17);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    // A shafted arrow pointing right at the step label.
    path.moveTo(2, 6.5);
    path.lineTo(8.5, 6.5);
    path.lineTo(8.5, 2.5);
    path.lineTo(15, 8.5);
    path.lineTo(8.5, 14.5);
    path.lineTo(8.5, 10.5);
    path.lineTo(2, 10.5);
    path.closeSubpath();
    p.fillPath(path, QColor(0, 0, 128));
    return pixmap;
}

void place(QLabel& label, const QString& name, const QString& text, int y)
{
    label.setObjectName(name);
    label.setText(text);
    label.setGeometry(24, y, 98, 15);
}

}  // namespace

TasksPanel::TasksPanel(QWidget* page, const Layout& layout)
    : grpTasks(page), lblCommPortSel(&grpTasks), lblDevDisc(&grpTasks),
      lblConfigLocalPort(&grpTasks), lblFourth(&grpTasks), lblFlashUpdate(&grpTasks),
      imgArrow(&grpTasks)
{
    grpTasks.setObjectName(QStringLiteral("grpTasks"));
    grpTasks.setTitle(QStringLiteral("Tasks"));
    grpTasks.setGeometry(0, 100, 125, 129);
    place(lblCommPortSel, QStringLiteral("lblCommPortSel"), layout.firstLabel, 20);
    place(lblDevDisc, QStringLiteral("lblDevDisc"), QStringLiteral("Discover Devices"), 40);
    place(lblConfigLocalPort, QStringLiteral("lblConfigLocalPort"),
          QStringLiteral("Config Local Port"), 60);
    if (layout.fourth == FourthTask::ConfigLocalDevice)
        place(lblFourth, QStringLiteral("lblConfigLocalDevice"),
              QStringLiteral("Config Local Device"), 80);
    else
        place(lblFourth, QStringLiteral("lblConfigRemotePort"),
              QStringLiteral("Config Remote Port"), 80);
    place(lblFlashUpdate, QStringLiteral("lblFlashUpdate"), QStringLiteral("Flash Update"), 100);
    imgArrow.setObjectName(QStringLiteral("imgArrow"));
    imgArrow.setGeometry(6, layout.arrowY, 17, 17);
    imgArrow.setPixmap(arrowPixmap());
}

void TasksPanel::AdaptToDeviceFunction(std::uint8_t deviceFunction)
{
    const bool spp = deviceFunction == 2;
    lblFourth.setText(spp ? QStringLiteral("Config Local Device")
                          : QStringLiteral("Config Remote Port"));
    lblDevDisc.setEnabled(!spp);
}

}  // namespace vtrl
