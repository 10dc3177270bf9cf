#include "walk.h"

#include "hands.h"

#include "pages/localdevicesettings.h"
#include "platform/messagebox.h"
#include "shell/deviceaddress.h"
#include "shell/uifont.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QGuiApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

namespace vtrl::demo {

namespace {

using Clock = std::chrono::steady_clock;

// Longer than any of the wizard's own time-outs, so a step that fails is
// reported by the page before the walk gives up on it.
constexpr int kStepMs = 15000;

// Longer than a style's state transitions last.
constexpr int kSettleMs = 300;

// Answers every box as an operator who reads it and goes on, and says so.
class LoggedMessageBoxes final : public platform::MessageBoxService {
public:
    explicit LoggedMessageBoxes(std::FILE* out) : out_(out), previous_(platform::SetMessageBoxService(this)) {}
    ~LoggedMessageBoxes() override { platform::SetMessageBoxService(previous_); }
    LoggedMessageBoxes(const LoggedMessageBoxes&) = delete;
    LoggedMessageBoxes& operator=(const LoggedMessageBoxes&) = delete;

    int show(QWidget*, const QString& text, const QString& caption, platform::MbButtons buttons,
             platform::MbIcon) override
    {
        std::fprintf(out_, "      message box \"%s\": %s\n", qPrintable(caption),
                     qPrintable(QString(text).replace(QLatin1Char('\n'), QLatin1Char(' '))));
        switch (buttons) {
        case platform::MbButtons::YesNo: return platform::mrYes;
        case platform::MbButtons::RetryCancel: return platform::mrCancel;
        case platform::MbButtons::Ok: break;
        }
        return platform::mrOk;
    }

private:
    std::FILE* out_;
    platform::MessageBoxService* previous_;
};

QString Quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

}  // namespace

WalkThrough::WalkThrough(std::FILE* out, QString shotDir) : out_(out), shotDir_(std::move(shotDir)) {}

void WalkThrough::Step(const QString& text)
{
    if (!out_)
        return;
    std::fprintf(out_, "    %s\n", qPrintable(text));
    std::fflush(out_);
}

void WalkThrough::Shoot(const QString& name, QWidget* window)
{
    if (shotDir_.isEmpty() || !wizard_)
        return;
    if (!window)
        window = &wizard_->main();
    const QString file =
        QDir(shotDir_).filePath(QStringLiteral("%1-%2-%3.png").arg(prefix_).arg(++shotNumber_, 2, 10, QLatin1Char('0')).arg(name));
    // Taken when the page has settled: on a real screen the style may still
    // be fading a control into its new state (the Windows style does so for
    // a radio button just clicked), and the picture would show the old one.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        QTest::qWait(kSettleMs);
    const QPixmap picture = window->grab();
    if (picture.save(file))
        shots_.push_back(file);
    else
        Step(QStringLiteral("(picture not saved: %1)").arg(file));
    for (const QString& text : TextsThatDoNotFit(*window)) {
        Step(QStringLiteral("DOES NOT FIT: %1").arg(text));
        unfit_ << QStringLiteral("%1: %2").arg(name, text);
    }
}

bool WalkThrough::Fail(const QString& what)
{
    error_ = what;
    Step(QStringLiteral("FAILED: ") + what);
    return false;
}

bool WalkThrough::WaitFor(const std::function<bool()>& condition, const QString& what, int ms)
{
    return WaitUntil(condition, ms) || Fail(QStringLiteral("%1 did not happen within %2 ms").arg(what).arg(ms));
}

bool WalkThrough::OnPage(TWizardChildForm* page)
{
    TWizardChildForm* shown = wizard_->main().ShownPage();
    if (shown == page)
        return true;
    return Fail(QStringLiteral("expected page \"%1\", the wizard shows \"%2\"")
                    .arg(page ? page->Caption() : QStringLiteral("none"), shown ? shown->Caption() : QStringLiteral("none")));
}

void WalkThrough::PageShown(const QString& caption)
{
    const auto now = Clock::now();
    if (!pageShown_.isEmpty())
        pageTimes_ << QStringLiteral("%1 %2 ms")
                          .arg(pageShown_)
                          .arg(std::chrono::duration_cast<std::chrono::milliseconds>(now - pageSince_).count());
    pageShown_ = caption;
    pageSince_ = now;
}

bool WalkThrough::Next(TWizardChildForm* expected)
{
    TfrmMain& main = wizard_->main();
    if (!main.btnNext.isEnabled())
        return Fail(QStringLiteral("Next is disabled on \"%1\"").arg(main.ShownPage()->Caption()));
    Click(main.btnNext);
    if (!OnPage(expected))
        return false;
    Step(QStringLiteral("Next > \"%1\"").arg(expected->Caption()));
    PageShown(expected->Caption());
    return true;
}

bool WalkThrough::Start(int deviceFunction)
{
    error_.clear();
    unfit_.clear();
    shotNumber_ = 0;
    pageTimes_.clear();
    pageShown_.clear();
    wizard_ = std::make_unique<Wizard>();
    TfrmMain& main = wizard_->main();
    main.show();
    if (!QTest::qWaitForWindowExposed(&main))
        return Fail(QStringLiteral("the main window was not shown"));
    if (!OnPage(frmIntroduction))
        return false;
    PageShown(frmIntroduction->Caption());
    QRadioButton& choice = deviceFunction == fnSppServer ? frmIntroduction->rbSppServer : frmIntroduction->rbCableReplacement;
    Step(QStringLiteral("\"%1\": choose %2").arg(frmIntroduction->Caption(), Quoted(choice.text())));
    Click(choice);
    if (main.DeviceFunction != deviceFunction || !choice.isChecked())
        return Fail(QStringLiteral("the device function was not taken"));
    Shoot(QStringLiteral("introduction"));
    return Next(frmCommPortSel);
}

bool WalkThrough::Back(TWizardChildForm* expected)
{
    TfrmMain& main = wizard_->main();
    if (!main.btnBack.isEnabled() || !main.btnBack.isVisible())
        return Fail(QStringLiteral("Back is disabled on \"%1\"").arg(main.ShownPage()->Caption()));
    Click(main.btnBack);
    if (!OnPage(expected))
        return false;
    Step(QStringLiteral("Back < \"%1\"").arg(expected->Caption()));
    PageShown(expected->Caption());
    return true;
}

bool WalkThrough::ConnectPort(int port)
{
    TfrmCommPortSel& page = *frmCommPortSel;
    int item = -1;
    for (int i = 0; i < page.cboCommPort.count(); ++i)
        if (TfrmCommPortSel::PortNumberOfItem(page.cboCommPort.itemText(i)) == port)
            item = i;
    if (item < 0)
        return Fail(QStringLiteral("COM %1 is not in the port list").arg(port));
    Pick(page.cboCommPort, item);
    Step(QStringLiteral("pick %1, press %2").arg(Quoted(page.cboCommPort.currentText()), Quoted(page.btnSetCommPortSel.text())));
    Click(page.btnSetCommPortSel);
    if (!WaitFor([&] { return page.ConfigurationShown || !page.tmrHeartbeat.isActive(); },
                 QStringLiteral("the connection"), kStepMs))
        return false;
    Step(QStringLiteral("status: ") + Quoted(page.Panel0.text()));
    if (!page.ConfigurationShown)
        return Fail(QStringLiteral("no connection to the device"));
    for (const QLabel* line : {&page.lblFormat, &page.lblFlowControl, &page.lblDeviceType, &page.lblBondedTo, &page.lbPowerClass})
        if (!line->text().isEmpty())
            Step(QStringLiteral("  ") + line->text());
    Shoot(QStringLiteral("comport"));
    return true;
}

bool WalkThrough::Discover(const QString& address)
{
    TfrmDevDisc& page = *frmDevDisc;
    const auto status = QObject::connect(&page.Panel0, &StatusPanel::textSet, [this](const QString& text) {
        if (!text.isEmpty())
            Step(QStringLiteral("status: ") + Quoted(text));
    });
    Step(QStringLiteral("press ") + Quoted(page.btnSearchDevices.text()));
    Click(page.btnSearchDevices);
    bool ok = WaitFor([&] { return !page.tmrInquiry.isActive(); }, QStringLiteral("the end of the inquiry"), 25000);
    QTreeWidgetItem* item = nullptr;
    if (ok) {
        Step(QStringLiteral("listed: ") + page.ItemAddresses().join(QStringLiteral(", ")));
        for (int i = 0; i < page.lstDeviceList.topLevelItemCount(); ++i)
            if (page.lstDeviceList.topLevelItem(i)->text(0) == address)
                item = page.lstDeviceList.topLevelItem(i);
        ok = item || Fail(QStringLiteral("%1 is not listed").arg(address));
    }
    if (ok) {
        SelectItem(page.lstDeviceList, address);
        Shoot(QStringLiteral("discovery-list"));
        Step(QStringLiteral("select %1, press %2").arg(address, Quoted(page.btnBondSelectedDevice.text())));
        Click(page.btnBondSelectedDevice);
        ok = WaitFor([&] { return page.Bonded && page.lblBonded.isVisible(); }, QStringLiteral("the pairing"), kStepMs);
    }
    QObject::disconnect(status);
    if (!ok)
        return false;
    Step(page.lblBonded.text());
    Shoot(QStringLiteral("discovery"));
    return true;
}

bool WalkThrough::PortSettings(bool remote, const PortChoice& choice)
{
    TfrmConfigPort& page = remote ? static_cast<TfrmConfigPort&>(*frmConfigRemotePort)
                                  : static_cast<TfrmConfigPort&>(*frmConfigLocalPort);
    const std::pair<QComboBox*, int> picks[] = {{&page.cboBaudRate, choice.baud},
                                                {&page.cboDataBits, choice.dataBits},
                                                {&page.cboParity, choice.parity},
                                                {&page.cboStopBits, choice.stopBits},
                                                {&page.cboFlowControl, choice.flow}};
    QStringList picked;
    for (const auto& [list, index] : picks) {
        Pick(*list, index);
        picked << list->currentText();
    }
    Step(QStringLiteral("pick %1").arg(picked.join(QStringLiteral(", "))));
    if (page.chkDCE.isChecked() != choice.dce) {
        Step(QStringLiteral("%1 %2").arg(choice.dce ? "tick" : "untick", Quoted(page.chkDCE.text())));
        Click(page.chkDCE);
    } else {
        Step(QStringLiteral("leave %1 %2").arg(Quoted(page.chkDCE.text()), choice.dce ? "ticked" : "unticked"));
    }
    Step(QStringLiteral("press ") + Quoted(page.btnSet.text()));
    Click(page.btnSet);
    if (!WaitFor([&] { return !page.tmrConfig.isActive(); }, QStringLiteral("the confirmation"), kStepMs))
        return false;
    Step(QStringLiteral("status: ") + Quoted(page.Panel0.text()));
    if (!page.ConfigConfirmed)
        return Fail(QStringLiteral("the port settings were not confirmed"));
    Shoot(remote ? QStringLiteral("remoteport") : QStringLiteral("localport"));
    return true;
}

bool WalkThrough::DeviceSettings(const DeviceChoice& choice)
{
    TfrmConfigLocalDevice& page = *frmConfigLocalDevice;
    Step(QStringLiteral("type name %1").arg(Quoted(choice.name)));
    Type(page.ebDeviceName, choice.name);
    if (page.cbAuthentication.isChecked() != choice.authentication) {
        Step(QStringLiteral("%1 %2").arg(choice.authentication ? "tick" : "untick", Quoted(page.cbAuthentication.text())));
        Click(page.cbAuthentication);
    }
    if (choice.authentication) {
        Step(QStringLiteral("type PIN %1").arg(Quoted(choice.pin)));
        Type(page.ebPinCode, choice.pin);
    }
    if (page.cbEncryption.isChecked() != choice.encryption) {
        Step(QStringLiteral("%1 %2").arg(choice.encryption ? "tick" : "untick", Quoted(page.cbEncryption.text())));
        Click(page.cbEncryption);
    }
    if (page.PendingLinkTimeout != choice.linkTimeout) {
        Step(QStringLiteral("press %1, type link time-out %2, press \"OK\"").arg(Quoted(page.bAdvanced.text())).arg(choice.linkTimeout));
        const AdvancedAnswer answer(true, [&](TfAdvanced& dialog) {
            dialog.seLinkTimeout.setFocus();
            dialog.seLinkTimeout.selectAll();
            QTest::keyClicks(&dialog.seLinkTimeout, QString::number(choice.linkTimeout));
            Shoot(QStringLiteral("advanced"), &dialog);
        });
        Click(page.bAdvanced);
        if (page.PendingLinkTimeout != choice.linkTimeout)
            return Fail(QStringLiteral("the link time-out was not taken"));
    }
    Step(QStringLiteral("press ") + Quoted(page.btnSetLocalDeviceConfig.text()));
    Click(page.btnSetLocalDeviceConfig);
    if (!WaitFor([&] { return page.ConfigConfirmed && !page.tmrConfig.isActive(); }, QStringLiteral("the confirmation"),
                 kStepMs))
        return false;
    Step(QStringLiteral("status: ") + Quoted(page.Panel0.text()));
    Shoot(QStringLiteral("localdevice"));
    return true;
}

bool WalkThrough::SaveToFlash()
{
    TfrmFlashUpdate& page = *frmFlashUpdate;
    // The page moves on by itself once saved: its picture is taken as the
    // success text appears.
    const auto shot = QObject::connect(&page.Panel0, &StatusPanel::textSet, [this](const QString& text) {
        Step(QStringLiteral("status: ") + Quoted(text));
        if (text == QStringLiteral("All settings were saved successfully."))
            Shoot(QStringLiteral("flashupdate"));
    });
    Step(QStringLiteral("press ") + Quoted(page.btnSave.text()));
    Click(page.btnSave);
    const bool saved = WaitFor([&] { return wizard_->main().ShownPage() == frmFinish || !page.tmrFlashUpdate.isActive(); },
                               QStringLiteral("the save"), kStepMs);
    QObject::disconnect(shot);
    if (!saved || !OnPage(frmFinish))
        return false;
    Step(QStringLiteral("the wizard moved on to \"%1\" by itself").arg(frmFinish->Caption()));
    PageShown(frmFinish->Caption());
    return true;
}

bool WalkThrough::Finish()
{
    TfrmMain& main = wizard_->main();
    Shoot(QStringLiteral("finish"));
    Step(QStringLiteral("press ") + Quoted(main.btnFinish.text()));
    Click(main.btnFinish);
    if (!WaitFor([&] { return !main.isVisible(); }, QStringLiteral("closing the wizard"), kStepMs))
        return false;
    wizard_.reset();
    return true;
}

bool WalkThrough::WalkCableReplacement(int port, const CableChoices& choices)
{
    LoggedMessageBoxes boxes(out_);
    prefix_ = QStringLiteral("cable");
    const auto start = Clock::now();
    const bool walked = Start(fnCableReplacement) && ConnectPort(port) && Next(frmDevDisc) && Discover(choices.remoteAddress)
        && Next(frmConfigLocalPort) && PortSettings(false, choices.local) && Next(frmConfigRemotePort)
        && PortSettings(true, choices.remote) && Next(frmFlashUpdate) && SaveToFlash();
    elapsed_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const bool finished = walked && Finish();
    wizard_.reset();
    return finished;
}

bool WalkThrough::WalkSppServer(int port, const SppChoices& choices)
{
    LoggedMessageBoxes boxes(out_);
    prefix_ = QStringLiteral("spp");
    const auto start = Clock::now();
    const bool walked = Start(fnSppServer) && ConnectPort(port) && Next(frmConfigLocalPort) && PortSettings(false, choices.local)
        && Next(frmConfigLocalDevice) && DeviceSettings(choices.device) && Next(frmFlashUpdate) && SaveToFlash();
    elapsed_ = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const bool finished = walked && Finish();
    wizard_.reset();
    return finished;
}

}  // namespace vtrl::demo
