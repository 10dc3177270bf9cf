// Not a benchmark: pictures of the COM port page with a USB adapter's
// tooltip, and of the local port page after the device hung up, against the
// in-process simulator (run under Xvfb): pages_ports_screenshot FOLDER
#include "demo/scenario.h"
#include "pages/wizard.h"
#include "pages_support.h"
#include "serial/portnames.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QLabel>
#include <QToolTip>

#include <cstdio>

namespace {

bool Grab(const QWidget& window, const QRect& extra, const QString& file)
{
    QTest::qWait(300);
    const QRect area = window.frameGeometry().united(extra).adjusted(-8, -8, 8, 8);
    return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(file);
}

}  // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const QTemporaryDir dir;
    const std::string link = QDir(dir.path()).filePath("adapter").toStdString();
    vtrl::sim::Simulator sim;
    sim.setSilentFor(vtrl::sim::type::SetPortConfig, true);
    if (!sim.start() || !sim.setStablePath(link))
        return 1;
    const int port = static_cast<int>(vtrl::serial::RegisterPortPath(link));
    vtrl::demo::PretendUsbAdapter(sim.slavePath());
    vtrl::Wizard wizard;
    vtrl::TfrmMain& main = wizard.main();
    main.show();
    if (!QTest::qWaitForWindowExposed(&main) || !vtrl::bench::ToCommPortPage(main, 1, port))
        return 1;
    vtrl::TfrmCommPortSel& page = *vtrl::frmCommPortSel;
    const QPoint at = page.cboCommPort.mapToGlobal(QPoint(20, page.cboCommPort.height()));
    // The item's tooltip as it shows when the mouse rests on the list (drawn
    // the way the style draws tooltips: a virtual display has no hover).
    QLabel tipLabel(page.cboCommPort.currentData(Qt::ToolTipRole).toString(), nullptr, Qt::ToolTip);
    tipLabel.setPalette(QToolTip::palette());
    tipLabel.setFont(QToolTip::font());
    tipLabel.setMargin(4);
    tipLabel.setFrameStyle(QFrame::Box | QFrame::Plain);
    tipLabel.adjustSize();
    tipLabel.move(at);
    tipLabel.show();
    const QRect tip = tipLabel.frameGeometry();
    if (!Grab(main, tip, out.filePath("comport-adapter-tooltip.png"))) {
        std::fputs("picture not saved\n", stderr);
        return 1;
    }
    tipLabel.hide();

    page.btnSetCommPortSel.click();
    if (!vtrl::bench::PumpUntil([&] { return page.ConfigurationShown; }, 5000)) {
        std::fprintf(stderr, "no connection: %s\n", qPrintable(page.Panel0.text()));
        return 1;
    }
    main.btnNext.click();
    vtrl::TfrmConfigLocalPort& local = *vtrl::frmConfigLocalPort;
    local.btnSet.click();
    if (!vtrl::bench::PumpUntil([&] { return sim.receivedCount() >= 4; }, 5000))
        return 1;
    sim.hangUp();
    if (!vtrl::bench::PumpUntil([&] { return local.Panel0.text().contains(QLatin1String("disconnected")); }, 5000))
        return 1;
    return Grab(main, {}, out.filePath("localport-after-hangup.png")) ? 0 : 1;
}
