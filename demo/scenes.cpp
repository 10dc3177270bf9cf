#include "scenes.h"

#include "hands.h"
#include "rig.h"
#include "scenario.h"

#include "pages/localdevicesettings.h"
#include "pages/wizard.h"
#include "platform/messagebox.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QToolTip>

#include <chrono>
#include <functional>

namespace vtrl::demo {

namespace {

using Millis = std::chrono::milliseconds;

struct Stage {
    QDir folder;
    std::FILE* out;
    QString error;

    bool Fail(const QString& what)
    {
        error = what;
        return false;
    }
    // The window and `extra` (a popup, a tooltip) as a person sees them,
    // once a style's transitions are over.
    bool Grab(const QWidget& window, const QString& name, const QRect& extra = {})
    {
        QTest::qWait(300);
        const QString file = folder.filePath(name);
        bool saved = false;
        if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
            saved = const_cast<QWidget&>(window).grab().save(file);
        } else {
            const QRect area = window.frameGeometry().united(extra).adjusted(-8, -8, 8, 8);
            saved = QGuiApplication::primaryScreen()
                        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                        .save(file);
        }
        if (!saved)
            return Fail(QStringLiteral("%1 was not saved").arg(file));
        std::fprintf(out, "  %s\n", qPrintable(file));
        return true;
    }
    bool Wait(const std::function<bool()>& condition, const QString& what, int ms)
    {
        return WaitUntil(condition, ms) || Fail(QStringLiteral("%1 did not happen within %2 ms").arg(what).arg(ms));
    }
};

// The first page before and after the choice, and the last one.
bool FirstAndLast(Stage& stage)
{
    Wizard wizard;
    TfrmMain& main = wizard.main();
    main.show();
    if (!QTest::qWaitForWindowExposed(&main))
        return stage.Fail(QStringLiteral("the main window was not shown"));
    if (!stage.Grab(main, QStringLiteral("shot-intro.png")))
        return false;
    frmIntroduction->SetItemIndex(0);
    if (!stage.Grab(main, QStringLiteral("shot-intro-chosen.png")))
        return false;
    // No device here: the pages' flags stand in for one so that Next goes
    // through to the Finish page.
    frmCommPortSel->Connected = true;
    frmCommPortSel->ConfigurationShown = true;
    frmMain->LocalConfig.InterfaceCode = 2;
    frmConfigLocalPort->ConfigConfirmed = true;
    frmConfigRemotePort->ConfigConfirmed = true;
    frmFlashUpdate->FlashSaved = true;
    frmDevDisc->Bonded = true;
    frmDevDisc->BondTargetAddress = {1, 2, 3, 4, 5, 6};
    for (int i = 0; i < 6; ++i)
        main.btnNext.click();
    return stage.Grab(main, QStringLiteral("shot-finish.png"));
}

bool ConnectedPort(Stage& stage)
{
    Rig rig;
    int port = 0;
    rig.AddDevice(&port);
    if (!rig.Open(fnCableReplacement) || !rig.walk.ConnectPort(port))
        return stage.Fail(rig.Error());
    return stage.Grab(rig.main(), QStringLiteral("comport-connected.png"));
}

// An inquiry under way, its list, and the paired view.
bool Discovery(Stage& stage)
{
    Rig rig;
    int port = 0;
    rig.AddDevice(&port).setInquiryDelay(Millis(1500));  // slow enough to catch it under way
    if (!rig.Open(fnCableReplacement) || !rig.walk.ConnectPort(port) || !rig.walk.Next(frmDevDisc))
        return stage.Fail(rig.Error());
    TfrmDevDisc& page = *frmDevDisc;
    Click(page.btnSearchDevices);
    QTest::qWait(3500);
    if (!stage.Grab(rig.main(), QStringLiteral("devdisc-inquiry.png"))
        || !stage.Wait([&] { return !page.tmrInquiry.isActive(); }, QStringLiteral("the end of the inquiry"), 25000))
        return false;
    if (!SelectItem(page.lstDeviceList, QStringLiteral("001BDC0A9ABC")))
        return stage.Fail(QStringLiteral("001BDC0A9ABC is not listed"));
    if (!stage.Grab(rig.main(), QStringLiteral("devdisc-list.png")))
        return false;
    Click(page.btnBondSelectedDevice);
    return stage.Wait([&] { return page.lblBonded.isVisible(); }, QStringLiteral("the pairing"), 10000)
        && stage.Grab(rig.main(), QStringLiteral("devdisc-paired.png"));
}

// The Advanced dialog with its level list open for both power classes, and
// the local port page waiting for a confirmation that does not come.
bool AdvancedAndWaiting(Stage& stage)
{
    platform::ScriptedMessageBoxes boxes;
    Rig rig;
    int port = 0;
    sim::Simulator& device = rig.AddDevice(&port);
    if (!rig.Open(fnSppServer) || !rig.walk.ConnectPort(port) || !rig.walk.Next(frmConfigLocalPort))
        return stage.Fail(rig.Error());
    TfrmConfigLocalPort& page = *frmConfigLocalPort;
    // The dialog first: while a send waits, Advanced is off.
    for (int powerClass : {0x10, 0x20}) {
        page.PendingPortSettings.PowerClass = powerClass;
        page.PendingPortSettings.PowerLevel = 3;
        bool saved = false;
        const AdvancedAnswer cancel(false, [&](TfAdvanced& dialog) {
            dialog.cbPowerLevel.showPopup();
            QTest::qWait(300);
            const QWidget* popup = QApplication::activePopupWidget();
            saved = stage.Grab(dialog, QStringLiteral("advanced-class%1.png").arg(powerClass >> 4),
                               popup ? popup->frameGeometry() : QRect());
            dialog.cbPowerLevel.hidePopup();
        });
        Click(page.bAdvanced);
        if (!saved)
            return stage.error.isEmpty() ? stage.Fail(QStringLiteral("the Advanced dialog did not open")) : false;
    }
    device.setSilentFor(sim::type::SetPortConfig, true);
    Pick(page.cboBaudRate, 9);
    Click(page.btnSetLocalPortConfig);
    return stage.Grab(rig.main(), QStringLiteral("local-port-waiting.png"));
}

// The COM port page with a USB adapter's tooltip, and the local port page
// after the device hung up.
bool AdapterAndHangUp(Stage& stage)
{
    platform::ScriptedMessageBoxes boxes;
    Rig rig;
    int port = 0;
    sim::Simulator& device = rig.AddDevice(&port, Rig::Line::Stable);
    device.setSilentFor(sim::type::SetPortConfig, true);
    PretendUsbAdapter(device.slavePath());
    if (!rig.Open(fnSppServer) || !rig.Select(port))
        return stage.Fail(rig.Error().isEmpty() ? QStringLiteral("COM %1 is not listed").arg(port) : rig.Error());
    TfrmMain& main = rig.main();
    TfrmCommPortSel& com = *frmCommPortSel;
    // The item's tooltip as it shows when the mouse rests on the list (drawn
    // the way the style draws tooltips: a virtual display has no hover).
    QLabel tip(com.cboCommPort.currentData(Qt::ToolTipRole).toString(), nullptr, Qt::ToolTip);
    tip.setPalette(QToolTip::palette());
    tip.setFont(QToolTip::font());
    tip.setMargin(4);
    tip.setFrameStyle(QFrame::Box | QFrame::Plain);
    tip.adjustSize();
    tip.move(com.cboCommPort.mapToGlobal(QPoint(20, com.cboCommPort.height())));
    tip.show();
    if (!stage.Grab(main, QStringLiteral("comport-adapter-tooltip.png"), tip.frameGeometry()))
        return false;
    tip.hide();
    Click(com.btnSetCommPortSel);
    if (!stage.Wait([&] { return com.ConfigurationShown; }, QStringLiteral("the connection"), 5000)
        || !rig.walk.Next(frmConfigLocalPort))
        return stage.error.isEmpty() ? stage.Fail(rig.Error()) : false;
    TfrmConfigLocalPort& local = *frmConfigLocalPort;
    Click(local.btnSet);
    if (!stage.Wait([&] { return device.receivedCount() >= 4; }, QStringLiteral("the settings' send"), 5000))
        return false;
    device.hangUp();
    return stage.Wait([&] { return local.Panel0.text().contains(QLatin1String("disconnected")); },
                      QStringLiteral("the page's word of the hang-up"), 5000)
        && stage.Grab(main, QStringLiteral("localport-after-hangup.png"));
}

struct Scene {
    const char* name;
    const char* pictures;
    bool (*play)(Stage&);
};

const Scene kScenes[] = {
    {"first-last", "shot-intro, shot-intro-chosen, shot-finish", FirstAndLast},
    {"comport", "comport-connected", ConnectedPort},
    {"discovery", "devdisc-inquiry, devdisc-list, devdisc-paired", Discovery},
    {"localport", "advanced-class1, advanced-class2, local-port-waiting", AdvancedAndWaiting},
    {"adapter", "comport-adapter-tooltip, localport-after-hangup", AdapterAndHangUp},
};

}  // namespace

QStringList SceneNames()
{
    QStringList names;
    for (const Scene& s : kScenes)
        names << QLatin1String(s.name);
    return names;
}

bool PlayScenes(const QStringList& names, const QString& folder, std::FILE* out, QString& error)
{
    const QStringList wanted = names.contains(QStringLiteral("all")) ? SceneNames() : names;
    for (const QString& name : wanted)
        if (!SceneNames().contains(name)) {
            QStringList known;
            for (const Scene& s : kScenes)
                known << QStringLiteral("%1 (%2)").arg(QLatin1String(s.name), QLatin1String(s.pictures));
            error = QStringLiteral("no scene \"%1\"; the scenes are %2").arg(name, known.join(QStringLiteral(", ")));
            return false;
        }
    Stage stage{QDir(folder), out, {}};
    for (const Scene& s : kScenes) {
        if (!wanted.contains(QLatin1String(s.name)))
            continue;
        std::fprintf(out, "Scene %s:\n", s.name);
        std::fflush(out);
        if (!s.play(stage)) {
            error = QStringLiteral("scene %1: %2").arg(QLatin1String(s.name), stage.error);
            return false;
        }
    }
    return true;
}

}  // namespace vtrl::demo
