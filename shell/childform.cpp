#include "childform.h"

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
