// The local and remote port settings pages against the simulator: what goes
// out in SetPortConfig, what the confirmation writes, refusals and time-outs,
// and the hand-over from the local to the remote record.
#include "advancedfixture.h"
#include "pagefixture.h"

#include "sim/device.h"

using namespace vtrl;
using namespace vtrl::testing;
using platform::MbIcon;

namespace {

const QString kChanged =
    QStringLiteral("The Port Configuration has been changed.  (Re)send Configuration when ready to proceed.");
const QString kWaiting = QStringLiteral("Configuration sent correctly. Waiting on confirmation...");
const QString kConfirmed = QStringLiteral("Configuration confirmation received.");

class PortPageTest : public CommPortPageTest {
protected:
    void SetUp() override
    {
        CommPortPageTest::SetUp();
        protocol::RemoteConfig = {};
    }

    // SPP Server walks from the COM port page straight to the local page;
    // `adjust` changes the record read from the device before it is shown.
    void ToLocalPort(int configMs = 400, const std::function<void(protocol::DeviceConfig&)>& adjust = {})
    {
        int port = 0;
        device = &AddDevice(&port);
        OpenPage(1);
        Connect(port);
        ASSERT_TRUE(ConfigurationShown());
        if (adjust)
            adjust(main().LocalConfig);
        for (TfrmConfigPort* p : {static_cast<TfrmConfigPort*>(frmConfigLocalPort),
                                  static_cast<TfrmConfigPort*>(frmConfigRemotePort)}) {
            p->tmrConfig.setInterval(configMs);
            QObject::connect(p, &TfrmConfigPort::statusChanged, [this](const QString& t) { trail.push_back(t); });
        }
        QTest::mouseClick(&main().btnNext, Qt::LeftButton);
        ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(&local()));
    }

    // Confirms the local page, then goes on as a Cable Replacement pair bonded
    // with the simulator's first remote.
    void ToRemotePort()
    {
        ToLocalPort();
        ASSERT_TRUE(SetAndWait(local()));
        ASSERT_TRUE(local().ConfigConfirmed);
        main().DeviceFunction = 1;
        remoteAddress = device->remotes().front().address;
        frmDevDisc->BondTargetAddress = remoteAddress;
        QTest::mouseClick(&main().btnNext, Qt::LeftButton);
        ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(&remote()));
    }

    TfrmConfigLocalPort& local() { return *frmConfigLocalPort; }
    TfrmConfigRemotePort& remote() { return *frmConfigRemotePort; }

    // Presses Set and waits until the page stops waiting.
    bool SetAndWait(TfrmConfigPort& p)
    {
        QTest::mouseClick(&p.btnSet, Qt::LeftButton);
        return WaitUntil([&] { return !p.tmrConfig.isActive(); });
    }

    std::vector<std::uint8_t> LastPortConfig() const
    {
        std::vector<std::uint8_t> last;
        for (const sim::ReceivedFrame& f : device->received())
            if (f.type == sim::type::SetPortConfig)
                last = f.payload;
        return last;
    }

    // Set button, the five lists, Next: enabled or not.
    std::string Buttons(TfrmConfigPort& p)
    {
        std::string s{p.btnSet.isEnabled() ? '1' : '0'};
        s += p.cboBaudRate.isEnabled() && p.cboDataBits.isEnabled() && p.cboParity.isEnabled()
                && p.cboStopBits.isEnabled() && p.cboFlowControl.isEnabled()
            ? '1'
            : '0';
        s += main().btnNext.isEnabled() ? '1' : '0';
        return s;
    }

    static std::vector<int> PortFields(const protocol::DeviceConfig& c)
    {
        return {c.BaudCode, c.DataBitsCode, c.ParityCode,    c.StopBitsCode,
                c.FlowControlCode, c.InterfaceCode, c.PowerByte, c.OutputOnCD};
    }

    static QStringList Shown(TfrmConfigPort& p)
    {
        return {p.cboBaudRate.currentText(), p.cboDataBits.currentText(), p.cboParity.currentText(),
                p.cboStopBits.currentText(), p.cboFlowControl.currentText()};
    }

    sim::Simulator* device = nullptr;
    DeviceAddress remoteAddress{};
    QStringList trail;
};

TEST_F(PortPageTest, LocalFirstEntryShowsTheRecordAndAConfirmedSendWritesIt)
{
    ToLocalPort();
    EXPECT_EQ(Shown(local()), (QStringList{"9600", "8", "None", "1", "Hardware"}));
    EXPECT_TRUE(local().chkDCE.isChecked());
    EXPECT_EQ(local().StatusText(), kChanged) << "the loaded DCE state differs from the box";
    EXPECT_EQ(Buttons(local()), "110");
    EXPECT_EQ(local().Tasks.lblFourth.text(), "Config Local Device");
    EXPECT_FALSE(local().Tasks.lblDevDisc.isEnabled());

    // Parity Even, stop bits 2: the wire has stop bits before parity.
    local().cboParity.setCurrentIndex(2);
    local().cboStopBits.setCurrentIndex(1);
    local().cboBaudRate.setCurrentIndex(9);
    device->setAnswerDelay(std::chrono::milliseconds(100));
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    EXPECT_EQ(local().StatusText(), kWaiting);
    EXPECT_EQ(Buttons(local()), "100") << "lists locked while waiting, Set still usable";
    ASSERT_TRUE(WaitUntil([&] { return local().ConfigConfirmed; }));
    EXPECT_EQ(local().StatusText(), kConfirmed);
    EXPECT_EQ(Buttons(local()), "011");
    EXPECT_EQ(LastPortConfig(), (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 10, 2, 2, 3, 2, 3, 0x12, 0}));
    EXPECT_EQ(PortFields(main().LocalConfig), std::vector<int>({10, 2, 3, 2, 3, 2, 0x12, 0}));
    const sim::DeviceConfig stored = *device->workingConfig({});
    EXPECT_EQ(std::vector<int>({stored.baudCode, stored.parityCode, stored.stopBitsCode}), std::vector<int>({10, 3, 2}));
}

TEST_F(PortPageTest, CodeZeroLeavesTheListEmptyAndGoesOutAsZero)
{
    ToLocalPort(400, [](protocol::DeviceConfig& c) {
        c.ParityCode = 0;
        c.BaudCode = 11;  // past the list
    });
    EXPECT_EQ(local().cboParity.currentIndex(), -1);
    EXPECT_EQ(local().cboBaudRate.currentIndex(), -1);
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    ASSERT_TRUE(device->waitForCommand(sim::type::SetPortConfig, 1, std::chrono::seconds(2)));
    const auto sent = LastPortConfig();
    EXPECT_EQ(sent[6], 0);
    EXPECT_EQ(sent[9], 0);
}

struct RefusalRow {
    const char* name;
    bool remotePage;
    std::uint8_t reason;
    const char* text;
    const char* timeoutText;
};
void PrintTo(const RefusalRow& row, std::ostream* os) { *os << row.name; }

class PortRefusal : public PortPageTest, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(PortRefusal, ShowsTheBoxThenTimesOutAndKeepsTheRecord)
{
    const RefusalRow& row = GetParam();
    if (row.remotePage)
        ToRemotePort();
    else
        ToLocalPort();
    TfrmConfigPort& p = row.remotePage ? static_cast<TfrmConfigPort&>(remote()) : local();
    const auto before = PortFields(row.remotePage ? main().RemoteConfig : main().LocalConfig);
    device->refuse(sim::type::SetPortConfig, row.reason);
    boxes.clear();
    ASSERT_TRUE(SetAndWait(p));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Warning");
    EXPECT_EQ(boxes.boxes()[0].text, row.text);
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::Error);
    EXPECT_EQ(p.StatusText(), row.timeoutText);
    EXPECT_EQ(Buttons(p), "010") << "a new send needs an edit first";
    EXPECT_FALSE(p.ConfigConfirmed);
    EXPECT_EQ(PortFields(row.remotePage ? main().RemoteConfig : main().LocalConfig), before);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, PortRefusal,
    ::testing::Values(
        RefusalRow{"LocalChecksum", false, 0,
                   "A negative response was received from the Cable Replacement Device with reason Checksum Failure.  "
                   "Please try again.",
                   "Configuration timed out. Please retry."},
        RefusalRow{"LocalCodePastTheTable", false, 7,
                   "A negative response was received from the Cable Replacement Device with reason Unknown Reason "
                   "Code 7.  Please try again.",
                   "Configuration timed out. Please retry."},
        RefusalRow{"RemoteNamesNoReason", true, 2, "An error was received from the device.  Please try again.",
                   "Configuration failed. Please retry."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortPageTest, SecondSetKeepsTheFirstDeadlineAndAnotherCommandsConfirmationOnlyEndsTheWait)
{
    ToLocalPort(600);
    device->setSilentFor(sim::type::SetPortConfig, true);
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return local().tmrConfig.remainingTime() < 300; }));
    device->setSilentFor(sim::type::SetPortConfig, false);
    device->setAnswerDelay(std::chrono::milliseconds(100));
    device->confirmAs(sim::type::SetPortConfig, sim::type::UpdateFlash);
    local().chkDCE.click();  // DTE now; the record says DCE
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    EXPECT_TRUE(local().tmrConfig.isActive());
    EXPECT_LT(local().tmrConfig.remainingTime(), 300) << "not restarted";

    ASSERT_TRUE(WaitUntil([&] { return !local().tmrConfig.isActive(); }));
    EXPECT_EQ(local().StatusText(), kWaiting);
    EXPECT_EQ(Buttons(local()), "100");
    EXPECT_FALSE(local().ConfigConfirmed);
    EXPECT_EQ(main().LocalConfig.InterfaceCode, 2);
    EXPECT_TRUE(trail.filter("timed out").isEmpty());
}

TEST_F(PortPageTest, ConfirmedThenEditedShowsTheConfirmedValuesAfterBackAndNext)
{
    ToLocalPort();
    ASSERT_TRUE(SetAndWait(local()));
    local().cboBaudRate.setCurrentIndex(0);
    EXPECT_EQ(Buttons(local()), "110");
    QTest::mouseClick(&main().btnBack, Qt::LeftButton);
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmCommPortSel));
    QTest::mouseClick(&main().btnNext, Qt::LeftButton);
    EXPECT_EQ(local().cboBaudRate.currentText(), "9600");
    EXPECT_EQ(Buttons(local()), "011");

    // Leaving while a send is unanswered ends the wait with the page, so
    // its time-out can never reach the buttons of the page shown next.
    device->setSilentFor(sim::type::SetPortConfig, true);
    local().chkDCE.click();
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    QTest::mouseClick(&main().btnBack, Qt::LeftButton);
    EXPECT_FALSE(local().tmrConfig.isActive());
    EXPECT_FALSE(local().ConfigConfirmed);
    EXPECT_EQ(local().StatusText(), "Configuration timed out. Please retry.");
    EXPECT_TRUE(main().btnNext.isEnabled()) << "the COM port page's Next";
}

TEST_F(PortPageTest, LocalHandsOverWithTheOppositeRoleAndRemoteSendsToTheBondedDevice)
{
    ToRemotePort();
    EXPECT_EQ(main().RemoteConfig.InterfaceCode, 1);
    EXPECT_EQ(main().RemoteConfig.BaudCode, main().LocalConfig.BaudCode);
    EXPECT_FALSE(remote().chkDCE.isChecked());
    EXPECT_EQ(Shown(remote()), (QStringList{"9600", "8", "None", "1", "Hardware"}));

    boxes.clear();
    main().btnNextClick();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, "The port settings must be properly configured before continuing.");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::None);
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(&remote()));

    remote().cboDataBits.setCurrentIndex(0);
    ASSERT_TRUE(SetAndWait(remote()));
    ASSERT_TRUE(remote().ConfigConfirmed);
    const auto sent = LastPortConfig();
    EXPECT_TRUE(std::equal(remoteAddress.begin(), remoteAddress.end(), sent.begin()));
    EXPECT_EQ(device->workingConfig(remoteAddress)->dataBitsCode, 1);
    EXPECT_EQ(device->workingConfig(remoteAddress)->interfaceCode, 1);
    EXPECT_EQ(device->workingConfig({})->dataBitsCode, 2) << "the attached device is untouched";
    EXPECT_EQ(main().RemoteConfig.DataBitsCode, 1);

    remote().cboFlowControl.setCurrentIndex(3);
    EXPECT_EQ(remote().cboFlowControl.currentText(), "");
    QTest::mouseClick(&remote().btnSetRemotePortConfig, Qt::LeftButton);
    ASSERT_TRUE(device->waitForCommand(sim::type::SetPortConfig, 3, std::chrono::seconds(2)));
    EXPECT_EQ(LastPortConfig()[11], 4);

    main().btnBackClick();
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(&local()));
    EXPECT_EQ(local().Tasks.lblFourth.text(), "Config Remote Port");
    EXPECT_TRUE(local().Tasks.lblDevDisc.isEnabled());
}

TEST_F(PortPageTest, AdvancedLowersAClass1LevelEvenOnCancelAndOkMarksThePageChanged)
{
    ToLocalPort(400, [](protocol::DeviceConfig& c) {
        c.PowerByte = 0x16;
        c.OutputOnCD = 1;
    });
    ASSERT_TRUE(SetAndWait(local()));  // confirms level 6 as loaded
    {
        AdvancedAnswer cancel(false);
        QTest::mouseClick(&local().bAdvanced, Qt::LeftButton);
        EXPECT_EQ(cancel.seen, "levels 01234 at 4, cd on, no timeout, no reset");
    }
    EXPECT_EQ(Buttons(local()), "011") << "Cancel leaves the page as it was";
    {
        AdvancedAnswer ok(true);
        QTest::mouseClick(&local().bAdvanced, Qt::LeftButton);
    }
    EXPECT_EQ(local().StatusText(), kChanged);
    EXPECT_EQ(Buttons(local()), "110");
    ASSERT_TRUE(SetAndWait(local()));
    EXPECT_EQ(LastPortConfig()[12], 0x14);
    EXPECT_EQ(LastPortConfig()[13], 1);
    EXPECT_EQ(main().LocalConfig.PowerByte, 0x14);
}

// Next while the local page waits leaves its answer owed: arriving on the
// remote page, it is not the remote device's answer.
TEST_F(PortPageTest, AnswerOwedToTheLeftPageIsNotTakenByTheOther)
{
    ToLocalPort(1000);
    ASSERT_TRUE(SetAndWait(local()));
    main().DeviceFunction = 1;
    remoteAddress = device->remotes().front().address;
    frmDevDisc->BondTargetAddress = remoteAddress;
    device->setAnswerDelay(std::chrono::milliseconds(600));
    local().cboBaudRate.setCurrentIndex((local().cboBaudRate.currentIndex() + 1) % local().cboBaudRate.count());
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    QTest::mouseClick(&main().btnNext, Qt::LeftButton);
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(&remote()));
    device->setUnresponsive(remoteAddress, true);
    remote().cboBaudRate.setCurrentIndex((remote().cboBaudRate.currentIndex() + 1) % remote().cboBaudRate.count());
    QTest::mouseClick(&remote().btnSet, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !remote().tmrConfig.isActive(); }));
    EXPECT_FALSE(remote().ConfigConfirmed);
    EXPECT_NE(remote().StatusText(), kConfirmed);
}

struct InFlightRow {
    const char* name;
    std::uint8_t power;  // the record's power byte on entry, sent by the first Set
    std::function<void(sim::Simulator&, TfrmConfigPort&)> whileWaiting;
    const char* buttons;  // after the answers: Set, lists, Next
};
void PrintTo(const InFlightRow& row, std::ostream* os) { *os << row.name; }

class PortInFlight : public PortPageTest, public ::testing::WithParamInterface<InFlightRow> {};

// What changes while a send is unanswered has not reached the device: the
// record takes what was sent and confirmed, and the change stays to be sent.
TEST_P(PortInFlight, RecordTakesWhatTheDeviceConfirmed)
{
    const InFlightRow& row = GetParam();
    ToLocalPort(1000, [&](protocol::DeviceConfig& c) { c.PowerByte = row.power; });
    device->setAnswerDelay(std::chrono::milliseconds(600));
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    ASSERT_TRUE(device->waitForCommand(sim::type::SetPortConfig, 1, std::chrono::seconds(2)));
    row.whileWaiting(*device, local());
    ASSERT_TRUE(WaitUntil([&] { return !local().tmrConfig.isActive(); }));
    const sim::DeviceConfig held = *device->workingConfig({});
    EXPECT_EQ(PortFields(main().LocalConfig),
              std::vector<int>({held.baudCode, held.dataBitsCode, held.parityCode, held.stopBitsCode,
                                held.flowControlCode, held.interfaceCode, held.powerByte, held.outputOnCD}));
    EXPECT_EQ(Buttons(local()), row.buttons);
}

INSTANTIATE_TEST_SUITE_P(
    Pages, PortInFlight,
    ::testing::Values(
        InFlightRow{"AdvancedOkLevel3CdOn", 0x12,
                    [](sim::Simulator&, TfrmConfigPort& p) {
                        AdvancedAnswer ok(true, [](TfAdvanced& d) {
                            d.cbPowerLevel.setCurrentIndex(3);
                            d.cbOutOnCD.setChecked(true);
                        });
                        QTest::mouseClick(&p.bAdvanced, Qt::LeftButton);
                    },
                    "110"},
        InFlightRow{"AdvancedCancelLowersLevel6", 0x16,
                    [](sim::Simulator&, TfrmConfigPort& p) {
                        AdvancedAnswer cancel(false);
                        QTest::mouseClick(&p.bAdvanced, Qt::LeftButton);
                    },
                    "110"},
        InFlightRow{"DceClicked", 0x12, [](sim::Simulator&, TfrmConfigPort& p) { p.chkDCE.click(); }, "110"},
        // The first send's answer must not be credited with the second's values.
        InFlightRow{"SecondSetRefused", 0x12,
                    [](sim::Simulator& device, TfrmConfigPort& p) {
                        device.refuse(sim::type::SetPortConfig, 2, true);
                        p.chkDCE.click();
                        QTest::mouseClick(&p.btnSet, Qt::LeftButton);
                    },
                    "010"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
