// The COM port page against simulated devices: the connection sequence, the
// version rule, auto detect, the configuration display and the page hooks.
#include "support/wizard_fixture.h"

#include "serial/probe.h"

#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTimer>

#include <functional>

using namespace vtrl;
using namespace vtrl::testing;
using platform::MbButtons;
using platform::MbIcon;

using CommPortPageTest = WizardFixture;

namespace {

const QString kTimedOut = QStringLiteral("Connection not established. Please retry.");

QString BondLine(const sim::Simulator& s, const char* role)
{
    return QStringLiteral("Bonded To    : %1 as %2").arg(FormatDeviceAddress(s.local().config.bondedAddress), role);
}

}  // namespace

TEST_F(CommPortPageTest, StartsWithNothingSelectedAndOnlyOpenableTerminalsListed)
{
    int port = 0;
    AddDevice(&port);
    // Registered but absent, or no terminal: none of them is a port.
    QTemporaryFile notes;
    ASSERT_TRUE(notes.open());
    std::vector<int> noPorts;
    for (const QString& path : {QStringLiteral("/nonexistent/vtrl-tty"), notes.fileName(), QStringLiteral("/dev/null")})
        noPorts.push_back(static_cast<int>(serial::RegisterPortPath(path.toStdString())));
    OpenPage();
    EXPECT_GE(ItemOf(port), 0);
    for (int n : noPorts)
        EXPECT_EQ(ItemOf(n), -1) << "COM " << n;
    EXPECT_EQ(page().cboCommPort.currentIndex(), -1);
    EXPECT_EQ(ComButtons(), "1000");
    EXPECT_FALSE(page().lblCurrentSetting.isEnabled());
    EXPECT_EQ(page().Panel1.text(), "COM Port = None selected.");
    EXPECT_EQ(Lines(), QStringList(5, QString()));
    EXPECT_EQ(page().tmrHeartbeat.interval(), 300) << "the fixture's interval";
    EXPECT_EQ(TfrmCommPortSel().tmrHeartbeat.interval(), 2000);
    EXPECT_TRUE(page().txtCommPortSelTaskDesc.toPlainText().startsWith(
        "Specify which COM port to which the device is attached.  Select the port below and then\n"
        "select \"Set COM Port Selection\" to verify"));
}

// The hint fits its panel and says what to do, about the port the operator
// added before the on-board ones; the tooltip names every refused port.
TEST_F(CommPortPageTest, PermissionHintFitsItsPanelAndPutsTheOperatorsPortFirst)
{
    const auto refused = [](std::uint32_t port, const std::string& path, const std::string& group) {
        serial::PortEntry entry;
        entry.state = serial::PortEntry::State::Denied;
        entry.port = port;
        entry.path = path;
        entry.detail = "permission denied for " + path + " (owned by group dialout, not joined)";
        entry.joinGroup = group;
        return entry;
    };
    const std::string added = "/dev/serial/by-id/usb-Vantrel_Bluetooth_RS-232_Adapter_0123456789-if00-port0";
    OpenPage();
    const QLabel& panel = *page().findChild<QLabel*>("stbCommPortSelPanel0");
    page().ShowRefusedPorts({refused(1, "/dev/ttyS0", "dialout"), refused(33, "/dev/ttyUSB0", "dialout")});
    EXPECT_EQ(panel.text(), "No access to /dev/ttyS0: join group dialout");

    page().ShowRefusedPorts({refused(1, "/dev/ttyS0", "dialout"), refused(97, added, "")});
    EXPECT_TRUE(panel.text().startsWith("No access to /dev/") && panel.text().endsWith("port0: check its permissions"))
        << panel.text().toStdString();
    EXPECT_LE(panel.fontMetrics().horizontalAdvance(panel.text()), panel.contentsRect().width() - panel.indent());
    EXPECT_EQ(panel.toolTip().toStdString(),
              "Ports not listed:\n" + refused(97, added, "").detail + "\n" + refused(1, "/dev/ttyS0", "").detail);
}

TEST_F(CommPortPageTest, HappyPathShowsEveryStatusAndTheFiveLines)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    OpenPage();
    Select(port);
    EXPECT_EQ(ComButtons(), "1100");
    EXPECT_EQ(page().cboCommPort.currentText(), QStringLiteral("COM Port %1 (%2)").arg(port).arg(
                                                    QString::fromStdString(device.slavePath())));
    ClickSet();
    ASSERT_TRUE(WaitUntil([&] { return ConfigurationShown(); }));

    const QString address = FormatDeviceAddress(device.local().address);
    EXPECT_EQ(Trail(page().Panel0), (QStringList{QStringLiteral("COM Port selection command sent. COM %1").arg(port),
                                        "Establishing connection with device...",
                                        "Connect established correctly.  Retreiving Information",
                                        "Information retreived from " + address}));
    EXPECT_EQ(page().Panel1.text(), QStringLiteral("COM Port = %1").arg(port));
    EXPECT_EQ(Lines(), (QStringList{"Data Format  : 9600,8,N,1", "Flow Control  : Hardware",
                                    "Device Type : DCE Cable Replacement", BondLine(device, "Master"),
                                    "Power Class: 1"}));
    EXPECT_EQ(ComButtons(), "1111");
    EXPECT_TRUE(page().lblCurrentSetting.isEnabled());
    EXPECT_TRUE(page().Connected);
    EXPECT_EQ(main().LocalDeviceAddress, device.local().address);

    std::vector<std::uint8_t> types;
    for (const sim::ReceivedFrame& f : device.received())
        types.push_back(f.type);
    EXPECT_EQ(types, (std::vector<std::uint8_t>{sim::type::GetLocalAddress, sim::type::GetVersion,
                                                 sim::type::GetConfig}));

    QTest::mouseClick(&page().bGetVersion, Qt::LeftButton);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Local Version Information");
    EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("Application Version: %1\n\rBluetooth Version  : %2")
                                         .arg(QString::fromStdString(device.local().appVersion),
                                              QString::fromStdString(device.local().btVersion)));
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::None);

    QTest::mouseClick(&main().btnNext, Qt::LeftButton);
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmDevDisc));
}

// The one test at the program's own 2000 ms.
TEST_F(CommPortPageTest, SilentDeviceTimesOutAndRefusesNext)
{
    int port = 0;
    AddDevice(&port).setSilent(true);
    OpenPage(kCable, 2000);
    Select(port);
    ClickSet();
    EXPECT_EQ(ComButtons(), "0000") << "while waiting for the address";
    ASSERT_TRUE(WaitUntil([&] { return page().Panel0.text() == kTimedOut; }, 8000));
    EXPECT_EQ(ComButtons(), "1100");
    EXPECT_FALSE(page().Connected);
    EXPECT_FALSE(page().tmrHeartbeat.isActive());
    EXPECT_EQ(page().Panel1.text(), QStringLiteral("COM Port = %1").arg(port)) << "the port stays open";
    EXPECT_GT(main().PortHandle, 0);

    main().btnNext.setEnabled(true);  // as if Next could be pressed anyway
    main().btnNextClick();
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmCommPortSel));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, "Please properly establish a connection first.");
    EXPECT_EQ(boxes.boxes()[0].caption, "Error");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::Error);
}

struct VersionRow {
    const char* version;
    bool accepted;
};
void PrintTo(const VersionRow& row, std::ostream* os) { *os << row.version; }

class VersionRule : public CommPortPageTest, public ::testing::WithParamInterface<VersionRow> {};

TEST_P(VersionRule, OldDevicesAreRefusedAndCannotBeSneakedPastByBackThenNext)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    device.setAppVersion({}, std::string("Vantrel App V") + GetParam().version);
    OpenPage();
    Connect(port);
    EXPECT_TRUE(page().Connected) << "the device answered, so it is told to abort on closing";
    if (GetParam().accepted) {
        EXPECT_TRUE(ConfigurationShown());
        EXPECT_EQ(ComButtons(), "1111");
        EXPECT_TRUE(boxes.boxes().empty());
        return;
    }
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Version Mismatch");
    EXPECT_EQ(boxes.boxes()[0].text, "VtrlCfg requires application version V2.09 or greater");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::None);
    EXPECT_EQ(page().Panel0.text(), "Invalid Application Version.");
    EXPECT_EQ(ComButtons(), "0100");
    EXPECT_FALSE(device.waitForCommand(sim::type::GetConfig, 1, std::chrono::milliseconds(200)));

    // Back enables Next for the Introduction page; returning must not.
    QTest::mouseClick(&main().btnBack, Qt::LeftButton);
    QTest::mouseClick(&main().btnNext, Qt::LeftButton);
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmCommPortSel));
    EXPECT_FALSE(main().btnNext.isEnabled());
    main().btnNext.setEnabled(true);
    main().btnNextClick();
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmCommPortSel));
    EXPECT_EQ(boxes.boxes().back().text, "Please properly establish a connection first.");
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionRule,
                         ::testing::Values(VersionRow{"1.95", false}, VersionRow{"2.00", false},
                                           VersionRow{"2.08", false}, VersionRow{"2.09", true},
                                           VersionRow{"2.10", true}, VersionRow{"3.00", true},
                                           VersionRow{"3.05", true}),
                         [](const auto& info) {
                             std::string name = info.param.version;
                             name.erase(name.find('.'), 1);
                             return "V" + name;
                         });

TEST_F(CommPortPageTest, ConfigReportWithAnotherSequenceNumberIsIgnored)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    device.setWrongConfigSeq(1);
    OpenPage(kCable, 600);
    Select(port);
    ClickSet();
    ASSERT_TRUE(WaitUntil([&] { return device.answersWritten() >= 3; }));
    ASSERT_TRUE(WaitUntil([&] { return !page().tmrHeartbeat.isActive(); }));
    EXPECT_EQ(page().Panel0.text(), kTimedOut);
    EXPECT_FALSE(ConfigurationShown());
    EXPECT_EQ(Lines(), QStringList(5, QString()));
    EXPECT_EQ(ComButtons(), "1100");

    // The next attempt gets the right number and completes.
    ClickSet();
    ASSERT_TRUE(WaitUntil([&] { return ConfigurationShown(); }));
}

TEST_F(CommPortPageTest, AutoDetectStopsAtTheFirstAnsweringPortAndNeverOpensTheNext)
{
    int first = 0, second = 0, third = 0;
    sim::Simulator& silent = AddDevice(&first);
    silent.setSilent(true);
    sim::Simulator& answering = AddDevice(&second);
    sim::Simulator& untouched = AddDevice(&third);
    OpenPage();
    ASSERT_EQ(page().cboCommPort.count(), 3);

    QTest::mouseClick(&page().btnAutoDetect, Qt::LeftButton);

    EXPECT_TRUE(ConfigurationShown());
    EXPECT_EQ(page().cboCommPort.currentIndex(), ItemOf(second));
    EXPECT_EQ(page().Panel1.text(), QStringLiteral("COM Port = %1").arg(second));
    EXPECT_TRUE(Trail(page().Panel0).contains(kTimedOut));
    EXPECT_EQ(Trail(page().Panel0).first(), QStringLiteral("COM Port selection command sent. COM %1").arg(first));
    EXPECT_EQ(silent.receivedCount(), 1u);
    EXPECT_EQ(answering.received().front().type, sim::type::GetLocalAddress);
    EXPECT_EQ(untouched.receivedCount(), 0u);
    EXPECT_EQ(ComButtons(), "1111");
}

// What the operator does while Auto Detect runs, and what must hold once
// the search is over.
struct LeavingRow {
    const char* name;
    bool onceConnected;  // act once the second device answered, not while its port opens
    std::function<void(CommPortPageTest&, TfrmMain&, TfrmCommPortSel&)> act;
    std::vector<std::uint8_t> secondFrames;
    enum class After { Introduction, Closed, Configured } after;
};

void PrintTo(const LeavingRow& row, std::ostream* os)
{
    *os << row.name;
}

class CommPortDuringAutoDetect : public CommPortPageTest, public ::testing::WithParamInterface<LeavingRow> {
protected:
    // Ports held by this process (or anyone): the probe cannot open them.
    int HeldPorts(const std::vector<int>& ports)
    {
        int held = 0;
        for (int port : ports)
            if (serial::ProbePort(static_cast<std::uint32_t>(port)).outcome != serial::PortProbe::Outcome::Opened)
                ++held;
        return held;
    }
};

TEST_P(CommPortDuringAutoDetect, NoLaterPortIsTriedAndAtMostOneIsHeld)
{
    const LeavingRow& row = GetParam();
    int first = 0, second = 0, third = 0;
    sim::Simulator& silent = AddDevice(&first);
    silent.setSilent(true);
    sim::Simulator& answering = AddDevice(&second);
    sim::Simulator& later = AddDevice(&third);
    OpenPage();
    ASSERT_EQ(page().cboCommPort.count(), 3);

    // The opening of the second port drains the first one's events: the
    // action runs inside that pump, or inside the wait for the version.
    const QString trigger = row.onceConnected
        ? QStringLiteral("Connect established correctly.  Retreiving Information")
        : QStringLiteral("COM Port selection command sent. COM %1").arg(second);
    bool acted = false;
    QObject::connect(&page().Panel0, &StatusPanel::textSet, &page(), [&](const QString& text) {
        if (text != trigger || acted)
            return;
        acted = true;
        QTimer::singleShot(0, &main(), [&] { row.act(*this, main(), page()); });
    });
    QTest::mouseClick(&page().btnAutoDetect, Qt::LeftButton);
    ASSERT_TRUE(acted);

    EXPECT_FALSE(WaitUntil([&] { return later.receivedCount() > 0; }, 600)) << "the search went on past the second port";
    EXPECT_EQ(silent.receivedCount(), 1u) << "the first port was tried again";
    if (!row.secondFrames.empty()) {
        ASSERT_TRUE(WaitUntil([&] { return answering.receivedCount() >= row.secondFrames.size(); }));
    }
    std::vector<std::uint8_t> types;
    for (const sim::ReceivedFrame& f : answering.received())
        types.push_back(f.type);
    EXPECT_EQ(types, row.secondFrames);
    EXPECT_LE(HeldPorts({first, second, third}), 1);

    switch (row.after) {
    case LeavingRow::After::Introduction:
        EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmIntroduction));
        EXPECT_TRUE(main().btnNext.isEnabled()) << "the Introduction page's Next";
        break;
    case LeavingRow::After::Closed:
        EXPECT_FALSE(main().isVisible());
        EXPECT_FALSE(page().tmrHeartbeat.isActive());
        EXPECT_EQ(HeldPorts({first, second, third}), 0) << "a port opened while closing is let go";
        break;
    case LeavingRow::After::Configured:
        EXPECT_TRUE(ConfigurationShown());
        EXPECT_EQ(page().Panel1.text(), QStringLiteral("COM Port = %1").arg(second));
        EXPECT_EQ(ComButtons(), "1111");
        break;
    }
}

namespace {

void ClickBack(CommPortPageTest&, TfrmMain& main, TfrmCommPortSel&)
{
    QTest::mouseClick(&main.btnBack, Qt::LeftButton);
}
void ClickCancel(CommPortPageTest&, TfrmMain& main, TfrmCommPortSel&)
{
    QTest::mouseClick(&main.btnCancel, Qt::LeftButton);  // the quit question is answered Yes
}
void ClickAutoDetect(CommPortPageTest&, TfrmMain&, TfrmCommPortSel& page)
{
    QTest::mouseClick(&page.btnAutoDetect, Qt::LeftButton);
}
void ClickSetSelection(CommPortPageTest&, TfrmMain&, TfrmCommPortSel& page)
{
    QTest::mouseClick(&page.btnSetCommPortSel, Qt::LeftButton);
}

using After = LeavingRow::After;
const std::vector<std::uint8_t> kSequence{sim::type::GetLocalAddress, sim::type::GetVersion, sim::type::GetConfig};

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Leaving, CommPortDuringAutoDetect,
    ::testing::Values(LeavingRow{"Back", false, ClickBack, {}, After::Introduction},
                      LeavingRow{"CancelAnsweredYes", false, ClickCancel, {}, After::Closed},
                      LeavingRow{"CancelAnsweredYesOnceConnected", true, ClickCancel,
                                 {sim::type::GetLocalAddress, sim::type::GetVersion, sim::type::Abort}, After::Closed},
                      LeavingRow{"SecondAutoDetectClick", false, ClickAutoDetect, kSequence, After::Configured},
                      LeavingRow{"SetSelectionClick", false, ClickSetSelection, kSequence, After::Configured}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommPortPageTest, AutoDetectClickedWhileASingleAttemptOpensItsPortStartsNothing)
{
    int first = 0, second = 0;
    sim::Simulator& old = AddDevice(&first);
    sim::Simulator& next = AddDevice(&second);
    OpenPage();
    ASSERT_EQ(page().cboCommPort.count(), 2);
    Connect(first);
    ASSERT_TRUE(ConfigurationShown());
    old.clearReceived();

    // Both buttons are live until the write; OpenPort pumps before it.
    bool clicked = false;
    QObject::connect(&page().Panel0, &StatusPanel::textSet, &page(), [&](const QString& text) {
        if (text == QStringLiteral("COM Port selection command sent. COM %1").arg(second) && !clicked) {
            clicked = true;
            QTimer::singleShot(0, &page(), [&] { QTest::mouseClick(&page().btnAutoDetect, Qt::LeftButton); });
        }
    });
    Select(second);
    ClickSet();
    ASSERT_TRUE(clicked);
    ASSERT_TRUE(WaitUntil([&] { return ConfigurationShown(); }));
    EXPECT_FALSE(old.waitForFrames(1, std::chrono::milliseconds(400))) << "a search started on the first port";
    EXPECT_EQ(next.receivedCount(), 3u);
    EXPECT_EQ(serial::ProbePort(static_cast<std::uint32_t>(first)).outcome, serial::PortProbe::Outcome::Opened);
    EXPECT_EQ(page().Panel1.text(), QStringLiteral("COM Port = %1").arg(second));
}

TEST_F(CommPortPageTest, ConfigReportLeftOverFromTheLastAttemptDoesNotCompleteTheNext)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    OpenPage(kCable, 1000);
    Connect(port);
    ASSERT_TRUE(ConfigurationShown());
    const std::int32_t oldSeq = page().ConfigRequestSeq;
    ASSERT_GE(oldSeq, 0);

    device.setSilent(true);
    ClickSet();
    ASSERT_TRUE(page().tmrHeartbeat.isActive()) << "awaiting the address";
    Arrive(protocol::MsgConfigReport, Bytes{static_cast<std::uint8_t>(oldSeq)});
    EXPECT_FALSE(ConfigurationShown());
    EXPECT_FALSE(page().Connected);
    EXPECT_EQ(page().Panel0.text(), "Establishing connection with device...");
    EXPECT_TRUE(page().tmrHeartbeat.isActive());
    EXPECT_FALSE(main().btnNext.isEnabled());
}

TEST_F(CommPortPageTest, AddressQueuedByTheLastPortIsNoAnswerOnTheNext)
{
    int first = 0, second = 0;
    AddDevice(&first).setSilent(true);
    AddDevice(&second).setSilent(true);
    OpenPage(kCable, 1000);
    Select(first);
    ClickSet();
    ASSERT_TRUE(page().tmrHeartbeat.isActive()) << "awaiting the address";
    const DeviceAddress before = main().LocalDeviceAddress;
    // Already queued when the operator moves on; it runs during the pause
    // after the first port is closed.
    Arrive(protocol::MsgLocalAddress, Bytes{1, 2, 3, 4, 5, 6}, true);
    Select(second);
    ClickSet();
    EXPECT_FALSE(page().Connected) << "closing would tell the second port's device to abort";
    EXPECT_EQ(main().LocalDeviceAddress, before);
    EXPECT_FALSE(Trail(page().Panel0).contains("Connect established correctly.  Retreiving Information"));
}

TEST_F(CommPortPageTest, AutoDetectWithNoPortListedDoesNothing)
{
    OpenPage();
    ASSERT_EQ(page().cboCommPort.count(), 0);
    QTest::mouseClick(&page().btnAutoDetect, Qt::LeftButton);
    EXPECT_TRUE(Trail(page().Panel0).isEmpty());
    EXPECT_EQ(main().PortHandle, -1);
    EXPECT_EQ(ComButtons(), "1000");
}

TEST_F(CommPortPageTest, PortThatCannotBeOpenedEndsTheTextWithMinusOne)
{
    int port = 0;
    AddDevice(&port);
    OpenPage();
    Connect(port);
    ASSERT_TRUE(ConfigurationShown());
    // Listed earlier, gone now.
    const int gone = static_cast<int>(serial::RegisterPortPath("/nonexistent/vtrl-tty"));
    page().cboCommPort.addItem(TfrmCommPortSel::PortItemText(gone));
    Select(gone);
    ClickSet();
    EXPECT_EQ(page().Panel0.text(), "COM Port could not be opened.  It may already be in use.-1");
    EXPECT_EQ(page().Panel1.text(), "COM Port = None selected.");
    EXPECT_FALSE(page().tmrHeartbeat.isActive());
    EXPECT_FALSE(page().Connected);
    EXPECT_LE(main().PortHandle, 0) << "the old port was closed before the attempt";
}

TEST_F(CommPortPageTest, SetWithNothingSelectedDoesNothing)
{
    int port = 0;
    AddDevice(&port);
    OpenPage();
    Connect(port);
    QTest::mouseClick(&main().btnBack, Qt::LeftButton);
    QTest::mouseClick(&main().btnNext, Qt::LeftButton);
    page().cboCommPort.setCurrentIndex(-1);
    page().btnSetCommPortSel.setEnabled(true);  // as Back leaves it
    const QStringList before = Trail(page().Panel0);
    const int handle = main().PortHandle;
    ClickSet();
    EXPECT_EQ(Trail(page().Panel0), before);
    EXPECT_EQ(main().PortHandle, handle);
    EXPECT_TRUE(page().Connected);
    EXPECT_TRUE(main().btnNext.isEnabled());
}

TEST_F(CommPortPageTest, BackClearsTheLinesAndReturningEnablesNextAsTheConnectionSays)
{
    int port = 0;
    AddDevice(&port);
    OpenPage();
    Connect(port);
    QTest::mouseClick(&main().btnBack, Qt::LeftButton);
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmIntroduction));
    EXPECT_TRUE(main().btnNext.isEnabled());
    EXPECT_EQ(Lines(), QStringList(5, QString()));
    EXPECT_FALSE(page().lblCurrentSetting.isEnabled());
    EXPECT_FALSE(page().bGetVersion.isEnabled());
    EXPECT_EQ(main().PortHandle > 0, true) << "Back keeps the port";

    frmIntroduction->SetItemIndex(1);
    QTest::mouseClick(&main().btnNext, Qt::LeftButton);
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmCommPortSel));
    EXPECT_TRUE(main().btnNext.isEnabled());
    EXPECT_FALSE(page().Tasks.lblDevDisc.isEnabled());
    EXPECT_EQ(page().Tasks.lblFourth.text(), "Config Local Device");
    QTest::mouseClick(&main().btnNext, Qt::LeftButton);
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalPort));
}

TEST_F(CommPortPageTest, AnswerArrivingAfterBackDoesNotRestartTheAttempt)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    device.setAnswerDelay(std::chrono::milliseconds(150));
    OpenPage(kCable, 1000);
    Select(port);
    ClickSet();
    ASSERT_TRUE(WaitUntil([&] { return device.receivedCount() >= 2; })) << "GetVersion went out";
    QTest::mouseClick(&main().btnBack, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return device.answersWritten() >= 2; }));
    ASSERT_TRUE(WaitUntil([&] { return main().LocalVersion.block[19] != 0; }));
    EXPECT_FALSE(device.waitForCommand(sim::type::GetConfig, 1, std::chrono::milliseconds(300)));
    EXPECT_FALSE(page().tmrHeartbeat.isActive());
    EXPECT_TRUE(main().btnNext.isEnabled()) << "the Introduction page's Next";
}

// A device reports only the tags it has; the last device's must not fill
// the gaps, neither in the record the later pages read nor on the page.
TEST_F(CommPortPageTest, NextDeviceShowsOnlyWhatItReportsNotTheLastDevicesBond)
{
    int cable = 0, server = 0;
    sim::Simulator& first = AddDevice(&cable);
    AddDevice(&server).setSilentFor(sim::type::GetConfig, true);
    OpenPage(kCable, 1000);
    Connect(cable);
    ASSERT_EQ(page().lblBondedTo.text(), BondLine(first, "Master"));
    Select(server);
    ClickSet();
    ASSERT_TRUE(WaitUntil([&] { return page().ConfigRequestSeq >= 0; }));
    // An SPP Server of older firmware: function, baud and power byte only.
    Arrive(protocol::MsgConfigReport, Bytes{static_cast<std::uint8_t>(page().ConfigRequestSeq), 2, 1, 2, 3, 1, 6,
                                            14, 1, 0x25, 0, 0});
    ASSERT_TRUE(WaitUntil([&] { return ConfigurationShown(); }));
    EXPECT_EQ(Lines(), (QStringList{"Data Format  : Unknown", "Flow Control  : Unknown",
                                    "Device Type : DTE SPP Server", "", "Power Class: 2"}));
    EXPECT_EQ(main().LocalConfig.BondedAddress, DeviceAddress{});
}

TEST_F(CommPortPageTest, BaudCodeElevenShowsUnknownFormat)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    sim::DeviceConfig config = device.local().config;
    config.baudCode = 11;
    config.bondRole = 2;
    device.setStoredConfig({}, config);
    OpenPage();
    Connect(port);
    ASSERT_TRUE(ConfigurationShown());
    EXPECT_EQ(page().lblFormat.text(), "Data Format  : Unknown");
    EXPECT_EQ(page().lblBondedTo.text(), BondLine(device, "Slave"));
}

struct DisplayRow {
    const char* name;
    protocol::DeviceConfig config;
    QStringList lines;  // format, flow, type, bonded, power
};
void PrintTo(const DisplayRow& row, std::ostream* os) { *os << row.name; }

class ConfigurationDisplay : public CommPortPageTest, public ::testing::WithParamInterface<DisplayRow> {};

TEST_P(ConfigurationDisplay, ShowsTheCodesOrUnknown)
{
    OpenPage();
    page().lblBondedTo.setText("kept");
    main().LocalConfig = GetParam().config;
    page().ShowCurrentConfiguration();
    EXPECT_EQ(Lines(), GetParam().lines);
    EXPECT_TRUE(page().lblCurrentSetting.isEnabled());
}

protocol::DeviceConfig Config(std::uint8_t function, std::uint8_t baud, std::uint8_t data, std::uint8_t parity,
                              std::uint8_t stop, std::uint8_t flow, std::uint8_t iface, std::uint8_t power)
{
    protocol::DeviceConfig c;
    c.DeviceFunction = function;
    c.BaudCode = baud;
    c.DataBitsCode = data;
    c.ParityCode = parity;
    c.StopBitsCode = stop;
    c.FlowControlCode = flow;
    c.InterfaceCode = iface;
    c.PowerByte = power;
    c.BondRole = 1;
    c.BondedAddress = {0x56, 0x34, 0x12, 0xBC, 0x9A, 0x78};
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ConfigurationDisplay,
    ::testing::Values(
        DisplayRow{"HighestCodes", Config(1, 10, 1, 3, 2, 2, 1, 0x2F),
                   {"Data Format  : 115200,7,E,2", "Flow Control  : Software", "Device Type : DTE Cable Replacement",
                    "Bonded To    : 789ABC123456 as Master", "Power Class: 2"}},
        DisplayRow{"LowestCodes", Config(2, 1, 2, 2, 1, 1, 2, 0x1F),
                   {"Data Format  : 300,8,O,1", "Flow Control  : None", "Device Type : DCE SPP Server", "kept",
                    "Power Class: 1"}},
        DisplayRow{"BaudZero", Config(3, 0, 2, 1, 1, 4, 2, 0x30),
                   {"Data Format  : Unknown", "Flow Control  : Unknown", "Device Type : Unknown", "kept",
                    "Power Class: Unknown"}},
        // Codes are not masked down to their low bits (0x86 is not 6).
        DisplayRow{"HighBitCodesAreUnknown", Config(0x81, 0x86, 2, 1, 1, 0x83, 2, 0x00),
                   {"Data Format  : Unknown", "Flow Control  : Unknown", "Device Type : Unknown", "kept",
                    "Power Class: Unknown"}},
        DisplayRow{"DataBitsThree", Config(1, 6, 3, 1, 1, 3, 2, 0x10),
                   {"Data Format  : Unknown", "Flow Control  : Hardware", "Device Type : DCE Cable Replacement",
                    "Bonded To    : 789ABC123456 as Master", "Power Class: 1"}},
        DisplayRow{"ParityFour", Config(1, 6, 2, 4, 1, 3, 2, 0x10),
                   {"Data Format  : Unknown", "Flow Control  : Hardware", "Device Type : DCE Cable Replacement",
                    "Bonded To    : 789ABC123456 as Master", "Power Class: 1"}},
        DisplayRow{"StopThree", Config(1, 6, 2, 1, 3, 3, 2, 0x10),
                   {"Data Format  : Unknown", "Flow Control  : Hardware", "Device Type : DCE Cable Replacement",
                    "Bonded To    : 789ABC123456 as Master", "Power Class: 1"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReasonRow {
    std::uint8_t code;
    const char* text;
};
static void PrintTo(const ReasonRow& row, std::ostream* os) { *os << int(row.code); }

class RefusedCommand : public CommPortPageTest, public ::testing::WithParamInterface<ReasonRow> {};

TEST_P(RefusedCommand, WarnsWithTheReasonAndLetsTheHeartbeatRun)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    device.refuse(sim::type::GetLocalAddress, GetParam().code, true);
    OpenPage();
    Select(port);
    ClickSet();
    ASSERT_TRUE(WaitUntil([&] { return !boxes.boxes().empty(); }));
    EXPECT_EQ(boxes.boxes()[0].caption, "Warning");
    EXPECT_EQ(boxes.boxes()[0].text, QStringLiteral("An error response was received with reason %1.  Please try again.")
                                         .arg(GetParam().text));
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::Error);
    ASSERT_TRUE(WaitUntil([&] { return !page().tmrHeartbeat.isActive(); }));
    EXPECT_EQ(page().Panel0.text(), kTimedOut);
}

INSTANTIATE_TEST_SUITE_P(Reasons, RefusedCommand,
                         ::testing::Values(ReasonRow{2, "Device Busy"}, ReasonRow{4, "Error Executing Command"},
                                           ReasonRow{5, "Unknown Reason Code 5"},
                                           ReasonRow{255, "Unknown Reason Code 255"}),
                         [](const auto& info) { return "Code" + std::to_string(info.param.code); });

TEST_F(CommPortPageTest, RefusalWithoutPayloadOrReasonByteStillWarns)
{
    OpenPage();
    Arrive(protocol::MsgNegativeResponse);
    Arrive(protocol::MsgNegativeResponse, Bytes{3});
    ASSERT_TRUE(WaitUntil([&] { return boxes.boxes().size() == 2; }));
    EXPECT_EQ(boxes.boxes()[0].text, "An error response was received.  Please try again.");
    EXPECT_EQ(boxes.boxes()[1].text, "An error response was received with reason Unknown Reason Code -1.  Please try again.");
}

TEST_F(CommPortPageTest, ShortOrUnexpectedNotificationsChangeNothing)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    device.setSilent(true);
    OpenPage(kCable, 1000);
    Select(port);
    ClickSet();
    // Too short for an address, config report with no sequence byte, unrelated.
    Arrive(protocol::MsgLocalAddress, Bytes{1, 2, 3});
    Arrive(protocol::MsgConfigReport, Bytes{});
    Arrive(protocol::MsgInquiryComplete);
    EXPECT_FALSE(page().Connected);
    EXPECT_EQ(page().Panel0.text(), "Establishing connection with device...");
    EXPECT_TRUE(page().tmrHeartbeat.isActive());
}

// Adapters come and go while the page is shown; the operator's choice stays.
TEST_F(CommPortPageTest, PortsComeAndGoAndTheSelectionStays)
{
    int chosen = 0, target = 0;
    AddDevice(&chosen);
    const sim::Simulator& adapter = AddDevice(&target);
    QTemporaryDir dir;
    const QString link = dir.filePath("adapter");
    const int plugged = static_cast<int>(serial::RegisterPortPath(link.toStdString()));
    OpenPage();
    ASSERT_EQ(ItemOf(plugged), -1);
    Select(chosen);
    ASSERT_TRUE(QFile::link(QString::fromStdString(adapter.slavePath()), link));
    EXPECT_TRUE(WaitUntil([&] { return ItemOf(plugged) >= 0; }));
    ASSERT_TRUE(QFile::remove(link));
    EXPECT_TRUE(WaitUntil([&] { return ItemOf(plugged) < 0; }));
    EXPECT_EQ(page().cboCommPort.currentIndex(), ItemOf(chosen));
    EXPECT_TRUE(page().btnSetCommPortSel.isEnabled());
}

// The next run offers the last device's function and port; it connects to
// nothing by itself.
TEST_F(CommPortPageTest, LastDeviceIsOfferedNextTimeAndNothingIsSent)
{
    int port = 0;
    Connected(kSpp, &port);
    const std::size_t frames = device().receivedCount();
    Wizard next;
    next.main().show();
    EXPECT_EQ(frmIntroduction->ItemIndex(), 1);
    Click(next.main().btnNext);
    ASSERT_EQ(next.main().ShownPage(), static_cast<TWizardChildForm*>(frmCommPortSel));
    EXPECT_EQ(TfrmCommPortSel::PortNumberOfItem(frmCommPortSel->cboCommPort.currentText()), port);
    EXPECT_FALSE(WaitUntil([&] { return device().receivedCount() > frames; }, 300));
}

// An adapter says what it is, in its item's tooltip.
TEST_F(CommPortPageTest, AdapterSaysWhatItIsInItsTooltip)
{
    int port = 0;
    const sim::Simulator& adapter = AddDevice(&port);
    PretendUsbAdapter(adapter.slavePath());
    OpenPage();
    const QString tip = page().cboCommPort.itemData(ItemOf(port), Qt::ToolTipRole).toString();
    for (const char* line : {"Product: FT232 Serial (UART) IC", "Vendor: Future Technology Devices International, Ltd",
                             "USB ID: 0403:6001", "Serial number: A10K3PZB",
                             "Stable path: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3PZB-if00-port0"})
        EXPECT_TRUE(tip.contains(QLatin1String(line))) << tip.toStdString();
}
