// The local and remote port settings pages against the simulator: what goes
// out in SetPortConfig, what the confirmation writes, refusals and time-outs,
// and the hand-over from the local to the remote record.
#include "support/wizard_fixture.h"

#include "sim/device.h"

using namespace vtrl;
using namespace vtrl::testing;
using platform::MbIcon;

namespace {

const QString kChanged =
    QStringLiteral("The Port Configuration has been changed.  (Re)send Configuration when ready to proceed.");
const QString kWaiting = QStringLiteral("Configuration sent correctly. Waiting on confirmation...");
const QString kConfirmed = QStringLiteral("Configuration confirmation received.");

class PortPageTest : public WizardFixture {
protected:
    // The local page of an SPP Server; `adjust` changes the record read from
    // the device before it is shown.
    void ToLocal(int configMs = 400, const std::function<void(protocol::DeviceConfig&)>& adjust = {})
    {
        ToLocalPort(kSpp, adjust);
        local().tmrConfig.setInterval(configMs);
    }

    TfrmConfigLocalPort& local() { return *frmConfigLocalPort; }
    TfrmConfigRemotePort& remote() { return *frmConfigRemotePort; }

    std::vector<std::uint8_t> LastPortConfig() { return Sent(sim::type::SetPortConfig).back(); }

    // Set button, the five lists, Next: enabled or not.
    std::string Buttons(TfrmConfigPort& p)
    {
        const bool lists = p.cboBaudRate.isEnabled() && p.cboDataBits.isEnabled() && p.cboParity.isEnabled()
            && p.cboStopBits.isEnabled() && p.cboFlowControl.isEnabled();
        return Enabled({&p.btnSet}) + (lists ? '1' : '0') + Enabled({&main().btnNext});
    }

    static std::vector<int> PortFields(const protocol::DeviceConfig& c)
    {
        return {c.BaudCode, c.DataBitsCode, c.ParityCode,    c.StopBitsCode,
                c.FlowControlCode, c.InterfaceCode, c.PowerByte, c.OutputOnCD};
    }
    static std::vector<int> PortFields(const sim::DeviceConfig& c)
    {
        return {c.baudCode, c.dataBitsCode, c.parityCode, c.stopBitsCode,
                c.flowControlCode, c.interfaceCode, c.powerByte, c.outputOnCD};
    }

    static QStringList Shown(TfrmConfigPort& p)
    {
        return {p.cboBaudRate.currentText(), p.cboDataBits.currentText(), p.cboParity.currentText(),
                p.cboStopBits.currentText(), p.cboFlowControl.currentText()};
    }
};

TEST_F(PortPageTest, LocalFirstEntryShowsTheRecordAndAConfirmedSendWritesIt)
{
    ToLocal();
    EXPECT_EQ(Shown(local()), (QStringList{"9600", "8", "None", "1", "Hardware"}));
    EXPECT_TRUE(local().chkDCE.isChecked());
    EXPECT_EQ(local().Panel0.text(), kChanged) << "the loaded DCE state differs from the box";
    EXPECT_EQ(Buttons(local()), "110");
    EXPECT_EQ(local().Tasks.lblFourth.text(), "Config Local Device");
    EXPECT_FALSE(local().Tasks.lblDevDisc.isEnabled());

    // Parity Even, stop bits 2: the wire has stop bits before parity.
    local().cboParity.setCurrentIndex(2);
    local().cboStopBits.setCurrentIndex(1);
    local().cboBaudRate.setCurrentIndex(9);
    device().setAnswerDelay(std::chrono::milliseconds(100));
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    EXPECT_EQ(local().Panel0.text(), kWaiting);
    EXPECT_EQ(Buttons(local()), "000") << "nothing to change or send again while the answer is awaited";
    ASSERT_TRUE(WaitUntil([&] { return local().ConfigConfirmed; }));
    EXPECT_EQ(local().Panel0.text(), kConfirmed);
    EXPECT_EQ(Buttons(local()), "011");
    EXPECT_EQ(LastPortConfig(), (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 10, 2, 2, 3, 2, 3, 0x12, 0}));
    EXPECT_EQ(PortFields(main().LocalConfig), std::vector<int>({10, 2, 3, 2, 3, 2, 0x12, 0}));
    const sim::DeviceConfig stored = *device().workingConfig({});
    EXPECT_EQ(std::vector<int>({stored.baudCode, stored.parityCode, stored.stopBitsCode}), std::vector<int>({10, 3, 2}));
}

TEST_F(PortPageTest, CodeZeroLeavesTheListEmptyAndGoesOutAsZero)
{
    ToLocal(400, [](protocol::DeviceConfig& c) {
        c.ParityCode = 0;
        c.BaudCode = 11;  // past the list
    });
    EXPECT_EQ(local().cboParity.currentIndex(), -1);
    EXPECT_EQ(local().cboBaudRate.currentIndex(), -1);
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    ASSERT_TRUE(device().waitForCommand(sim::type::SetPortConfig, 1, std::chrono::seconds(2)));
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
        ToLocal();
    TfrmConfigPort& p = row.remotePage ? static_cast<TfrmConfigPort&>(remote()) : local();
    const auto before = PortFields(row.remotePage ? main().RemoteConfig : main().LocalConfig);
    device().refuse(sim::type::SetPortConfig, row.reason);
    boxes.clear();
    ASSERT_TRUE(SetAndWait(p));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Warning");
    EXPECT_EQ(boxes.boxes()[0].text, row.text);
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::Error);
    EXPECT_EQ(p.Panel0.text(), row.timeoutText);
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

TEST_F(PortPageTest, ConfirmationNamingAnotherCommandIsNoAnswer)
{
    ToLocal(600);
    device().setAnswerDelay(std::chrono::milliseconds(100));
    device().confirmAs(sim::type::SetPortConfig, sim::type::UpdateFlash);
    local().chkDCE.click();  // DTE now; the record says DCE
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return !local().tmrConfig.isActive(); }));
    EXPECT_EQ(local().Panel0.text(), "Configuration timed out. Please retry.");
    EXPECT_FALSE(local().ConfigConfirmed);
    EXPECT_EQ(main().LocalConfig.InterfaceCode, 2);
}

TEST_F(PortPageTest, ConfirmedThenEditedShowsTheConfirmedValuesAfterBackAndNext)
{
    ToLocal();
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
    device().setSilentFor(sim::type::SetPortConfig, true);
    local().chkDCE.click();
    QTest::mouseClick(&local().btnSetLocalPortConfig, Qt::LeftButton);
    QTest::mouseClick(&main().btnBack, Qt::LeftButton);
    EXPECT_FALSE(local().tmrConfig.isActive());
    EXPECT_FALSE(local().ConfigConfirmed);
    EXPECT_EQ(local().Panel0.text(), "Configuration timed out. Please retry.");
    EXPECT_TRUE(main().btnNext.isEnabled()) << "the COM port page's Next";
}

TEST_F(PortPageTest, LocalHandsOverWithTheOppositeRoleAndRemoteSendsToTheBondedDevice)
{
    ToRemotePort();
    const DeviceAddress remoteAddress = frmDevDisc->BondTargetAddress;
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
    EXPECT_EQ(device().workingConfig(remoteAddress)->dataBitsCode, 1);
    EXPECT_EQ(device().workingConfig(remoteAddress)->interfaceCode, 1);
    EXPECT_EQ(device().workingConfig({})->dataBitsCode, 2) << "the attached device is untouched";
    EXPECT_EQ(main().RemoteConfig.DataBitsCode, 1);

    remote().cboFlowControl.setCurrentIndex(3);
    EXPECT_EQ(remote().cboFlowControl.currentText(), "");
    QTest::mouseClick(&remote().btnSetRemotePortConfig, Qt::LeftButton);
    ASSERT_TRUE(device().waitForCommand(sim::type::SetPortConfig, 3, std::chrono::seconds(2)));
    EXPECT_EQ(LastPortConfig()[11], 4);

    main().btnBackClick();
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(&local()));
    EXPECT_EQ(local().Tasks.lblFourth.text(), "Config Remote Port");
    EXPECT_TRUE(local().Tasks.lblDevDisc.isEnabled());
}

TEST_F(PortPageTest, AdvancedLowersAClass1LevelEvenOnCancelAndOkMarksThePageChanged)
{
    ToLocal(400, [](protocol::DeviceConfig& c) {
        c.PowerByte = 0x16;
        c.OutputOnCD = 1;
    });
    ASSERT_TRUE(SetAndWait(local()));  // confirms level 6 as loaded
    {
        AdvancedAnswer cancel(false);
        QTest::mouseClick(&local().bAdvanced, Qt::LeftButton);
        EXPECT_EQ(cancel.seen, "levels 01234 at 4, cd on, no timeout, no reset");
    }
    EXPECT_EQ(local().Panel0.text(), kChanged) << "the device still holds level 6";
    EXPECT_EQ(Buttons(local()), "110");
    {
        AdvancedAnswer cancel(false);
        QTest::mouseClick(&local().bAdvanced, Qt::LeftButton);
    }
    {
        AdvancedAnswer ok(true);
        QTest::mouseClick(&local().bAdvanced, Qt::LeftButton);
    }
    EXPECT_EQ(local().Panel0.text(), kChanged);
    EXPECT_EQ(Buttons(local()), "110");
    ASSERT_TRUE(SetAndWait(local()));
    EXPECT_EQ(LastPortConfig()[12], 0x14);
    EXPECT_EQ(LastPortConfig()[13], 1);
    EXPECT_EQ(main().LocalConfig.PowerByte, 0x14);
}

// The device takes what it is sent and answers when it answers: the page
// lets the wizard on only once the device holds what it shows.
TEST_F(PortPageTest, NextWaitsForTheAnswerAndTheRecordTakesWhatTheDeviceTook)
{
    ToLocal(1000);
    ASSERT_TRUE(SetAndWait(local()));
    ASSERT_TRUE(main().btnNext.isEnabled());
    device().setAnswerDelay(std::chrono::milliseconds(300));
    Pick(local().cboBaudRate, 6);  // 19200
    Click(local().btnSetLocalPortConfig);
    EXPECT_EQ(Enabled({&main().btnNext, &local().chkDCE, &local().bAdvanced}), "000")
        << "an earlier confirmation does not let the wizard on while the device may change";
    ASSERT_TRUE(WaitUntil([&] { return local().ConfigConfirmed; }));
    EXPECT_EQ(main().LocalConfig.BaudCode, 7);
    EXPECT_EQ(device().workingConfig({})->baudCode, 7);
    EXPECT_TRUE(main().btnNext.isEnabled());
}

// The local page changed after the remote one was confirmed: its hand-over
// is a change the remote device has not been sent.
TEST_F(PortPageTest, RemotePageConfirmedEarlierAsksToSendTheLocalPagesNewSettings)
{
    ToRemotePort();
    ASSERT_TRUE(SetAndWait(remote()));
    ASSERT_TRUE(remote().ConfigConfirmed);
    ASSERT_TRUE(walk.Back(frmConfigLocalPort)) << Error();
    Pick(local().cboBaudRate, 6);  // 19200
    ASSERT_TRUE(SetAndWait(local()));
    ASSERT_TRUE(walk.Next(frmConfigRemotePort)) << Error();
    EXPECT_EQ(remote().cboBaudRate.currentText(), "19200");
    EXPECT_EQ(Buttons(remote()), "110");
    EXPECT_EQ(remote().Panel0.text(), kChanged);
    ASSERT_TRUE(SetAndWait(remote()));
    ASSERT_TRUE(walk.Next(frmFlashUpdate)) << Error();
    ASSERT_TRUE(walk.SaveToFlash()) << Error();
    EXPECT_EQ(device().flashConfig({})->baudCode, 7);
    EXPECT_EQ(device().flashConfig(frmDevDisc->BondTargetAddress)->baudCode, 7);
}

// A late answer with a resend out may be either send's: the page reads the
// device back, shows what it holds and says whether the last send took.
class PortReadBackTest : public PortPageTest {
protected:
    void Play(sim::CommandFault::Kind resend, int heldBaud, const QString& status)
    {
        ToLocal(300);
        auto sets = std::make_shared<int>(0);
        device().setFaultPlan([sets, resend](const sim::ReceivedFrame& f) {
            sim::CommandFault fault;
            if (f.type == sim::type::SetPortConfig) {
                fault.kind = (*sets)++ == 0 ? sim::CommandFault::Kind::Late : resend;
                // After the resend, with room for a loaded machine, and well
                // inside the twelve time-outs both sends wait.
                fault.lateBy = std::chrono::milliseconds(1200);
            }
            return fault;
        });
        Pick(local().cboBaudRate, 6);  // 19200
        Click(local().btnSetLocalPortConfig);
        ASSERT_TRUE(WaitUntil([&] { return local().Panel0.text() == "Configuration timed out. Please retry."; }));
        Pick(local().cboBaudRate, 7);  // 38400
        Click(local().btnSetLocalPortConfig);
        ASSERT_TRUE(WaitUntil([&] { return device().received().size() >= 3 && *sets == 2; })) << "a resend goes out at once";
        ASSERT_TRUE(WaitUntil([&] { return local().ConfigConfirmed && local().Panel0.text() == status; }))
            << local().Panel0.text().toStdString();
        EXPECT_FALSE(Sent(sim::type::GetConfig).empty()) << "the ambiguous answer is settled by a read-back";
        EXPECT_EQ(local().cboBaudRate.currentIndex() + 1, heldBaud);
        EXPECT_EQ(main().LocalConfig.BaudCode, heldBaud);
        EXPECT_EQ(device().workingConfig({})->baudCode, heldBaud);
        EXPECT_EQ(Buttons(local()), "011");
    }
};

TEST_F(PortReadBackTest, ResendTakenIsConfirmedByTheReadBack)
{
    Play(sim::CommandFault::Kind::Late, 8, QStringLiteral("Configuration confirmed by reading it back from the device."));
}

TEST_F(PortReadBackTest, ResendLostShowsWhatTheDeviceHolds)
{
    Play(sim::CommandFault::Kind::Drop, 7,
         QStringLiteral("The device did not take the settings sent last.  It holds the settings shown."));
}

// A refusal ends the send it answers, whatever its first byte says.
TEST_F(PortPageTest, RefusedSendIsNeverConfirmedByALaterConfirmation)
{
    ToLocal(1000);
    device().setFaultPlan([](const sim::ReceivedFrame& f) {
        sim::CommandFault fault;
        if (f.type == sim::type::SetPortConfig) {
            fault.kind = sim::CommandFault::Kind::Refuse;
            fault.reason = sim::reason::DeviceBusy;
            fault.refusalByte0 = 0;
        }
        return fault;
    });
    const auto before = PortFields(main().LocalConfig);
    Pick(local().cboBaudRate, 6);
    Click(local().btnSetLocalPortConfig);
    ASSERT_TRUE(WaitUntil([&] { return !boxes.boxes().empty(); }));
    device().sendUnasked(sim::type::Confirmation, {sim::type::SetPortConfig});
    ASSERT_TRUE(WaitUntil([&] { return !local().tmrConfig.isActive(); }));
    EXPECT_FALSE(local().ConfigConfirmed);
    EXPECT_EQ(PortFields(main().LocalConfig), before);
    EXPECT_EQ(PortFields(*device().workingConfig({})), before);
}

}  // namespace
