// The discovery page against the simulator: inquiry and its list, ping,
// the bonding chain with the remote version and configuration, and the
// guards that keep the wizard from moving on unbonded or hanging.
#include "support/wizard_fixture.h"

#include <QElapsedTimer>

using namespace vtrl;
using namespace vtrl::testing;
using namespace std::chrono_literals;

namespace {

const QString kPumpRoom = QStringLiteral("001BDC0A5678");  // the local device's partner, V3.05
const QString kDock = QStringLiteral("001BDC0A9ABC");      // V2.10, reported as "Unknown"
const QString kLegacy = QStringLiteral("001BDC0ADEF0");    // V2.08

class DevDiscPageTest : public WizardFixture {
protected:
    // Connects on the COM port page and moves on to the discovery page.
    void OpenDiscovery(int bondMs = 1000)
    {
        Connected(kCable);
        device().setInquiryDelay(5ms);
        ASSERT_TRUE(walk.Next(frmDevDisc)) << Error();
        disc().tmrInquiry.setInterval(3000);
        disc().tmrProgressBar.setInterval(50);
        disc().tmrBond.setInterval(bondMs);
        device().clearReceived();
    }
    TfrmDevDisc& disc() { return *frmDevDisc; }
    QStringList& trail() { return Trail(disc().Panel0); }
    // Search, select, Bond, and wait for the chain to reach that step (None: to stop).
    void Bond(const QString& address, bool search = true, TfrmDevDisc::Step until = TfrmDevDisc::Step::None)
    {
        if (search) {
            ASSERT_TRUE(Search());
        }
        ASSERT_TRUE(SelectListed(address)) << address.toStdString();
        Click(disc().btnBondSelectedDevice);
        ASSERT_TRUE(WaitUntil([&] { return disc().PendingStep() == until; }, 8000));
    }
    std::vector<std::uint8_t> Types()
    {
        std::vector<std::uint8_t> types;
        for (const sim::ReceivedFrame& f : device().received())
            types.push_back(f.type);
        return types;
    }
    // Waits until everything the device sent so far has been handled: a
    // refusal sent after it shows its box.
    void Settle()
    {
        ASSERT_TRUE(device().waitIdle(2s));
        const std::size_t shown = boxes.boxes().size();
        device().sendUnasked(sim::type::NegativeResponse, {0, sim::reason::DeviceBusy});
        ASSERT_TRUE(WaitUntil([&] { return boxes.boxes().size() > shown; }));
    }
    // Clear List, Search, Ping, Bond; then Back and Next.
    std::string Buttons()
    {
        return Enabled({&disc().btnClearList, &disc().btnSearchDevices, &disc().btnPingSelectedDevice,
                        &disc().btnBondSelectedDevice, &main().btnBack, &main().btnNext});
    }
};

}  // namespace

TEST_F(DevDiscPageTest, InquiryListsEachUnitOnceAsVantrelSAndNeverThePhone)
{
    OpenDiscovery();
    EXPECT_EQ(disc().ItemAddresses(), QStringList{kPumpRoom}) << "the device the local one is bonded to";
    EXPECT_EQ(FormatDeviceAddress(disc().BondTargetAddress), kPumpRoom);
    EXPECT_EQ(Buttons(), "110010");
    sim::InquiryScript twice;
    twice.duplicates = 1;
    device().setInquiry(twice);

    ASSERT_TRUE(Search());
    EXPECT_EQ(disc().ItemAddresses(), (QStringList{kPumpRoom, kDock, kLegacy})) << "sorted, no phone, no repeats";
    for (int i = 0; i < disc().lstDeviceList.topLevelItemCount(); ++i)
        EXPECT_EQ(disc().lstDeviceList.topLevelItem(i)->text(1), "Vantrel/S");
    EXPECT_EQ(disc().Panel0.text(), "Inquiry complete. 2 new device(s) found.");
    ASSERT_TRUE(Search());
    EXPECT_EQ(disc().Panel0.text(), "Inquiry complete. 0 new device(s) found.");
    EXPECT_EQ(disc().ItemAddresses().size(), 3);
    EXPECT_EQ(Buttons(), "110010");

    ASSERT_TRUE(SelectListed(kDock)) << kDock.toStdString();
    EXPECT_EQ(Buttons(), "111110");
    Click(disc().btnClearList);
    EXPECT_TRUE(disc().ItemAddresses().isEmpty());
    EXPECT_EQ(Buttons(), "110010");
    EXPECT_EQ(FormatDeviceAddress(disc().BondTargetAddress), kPumpRoom) << "Clear List keeps the target";
}

TEST_F(DevDiscPageTest, InquiryInProgressShowsTheBarGreysTheListAndEndsOnItsTimer)
{
    OpenDiscovery();
    sim::InquiryScript silent;
    silent.completeMissing = true;
    device().setInquiry(silent);
    disc().tmrInquiry.setInterval(600);
    Click(disc().btnSearchDevices);
    EXPECT_EQ(Buttons(), "000000");
    EXPECT_TRUE(disc().pbInquiry.isVisible());
    EXPECT_FALSE(disc().stbDevDisc.isVisible());
    EXPECT_FALSE(disc().lstDeviceList.isEnabled());
    EXPECT_EQ(disc().Panel0.text(), "Inquiry in progress...");
    ASSERT_TRUE(WaitUntil([&] { return disc().pbInquiry.value() >= 3; }));
    ASSERT_TRUE(WaitUntil([&] { return !disc().tmrInquiry.isActive(); }));
    EXPECT_EQ(disc().Panel0.text(), "Inquiry complete. 2 new device(s) found.");
    EXPECT_FALSE(disc().pbInquiry.isVisible());
    EXPECT_TRUE(disc().stbDevDisc.isVisible());
    EXPECT_TRUE(disc().lstDeviceList.isEnabled());
    EXPECT_EQ(Buttons(), "110010");
}

struct InquiryEndRow {
    const char* name;
    std::chrono::milliseconds completeAfter;
    int timerMs;
    int endsWithinMs;  // before the other of the two could have ended it
};
void PrintTo(const InquiryEndRow& row, std::ostream* os) { *os << row.name; }

class InquiryEnd : public DevDiscPageTest, public ::testing::WithParamInterface<InquiryEndRow> {};

TEST_P(InquiryEnd, EndsOnceByWhicheverComesFirst)
{
    OpenDiscovery();
    sim::InquiryScript script;
    script.completeAfter = GetParam().completeAfter;
    device().setInquiry(script);
    disc().tmrInquiry.setInterval(GetParam().timerMs);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(Search());
    EXPECT_LT(clock.elapsed(), GetParam().endsWithinMs);
    Settle();
    EXPECT_EQ(trail().filter("Inquiry complete.").size(), 1);
}

INSTANTIATE_TEST_SUITE_P(Completion, InquiryEnd,
                         ::testing::Values(InquiryEndRow{"Early", 100ms, 5000, 2500},
                                           InquiryEndRow{"Late", 1200ms, 300, 1000}),
                         [](const auto& info) { return std::string(info.param.name); });

// The name is read only within the payload, terminated or not.
TEST_F(DevDiscPageTest, InquiryResultNameIsReadWithinItsPayloadOnly)
{
    OpenDiscovery();
    sim::InquiryScript silent;
    silent.completeMissing = true;
    device().setInquiry(silent);
    device().clearRemotes();
    Click(disc().btnClearList);
    Click(disc().btnSearchDevices);
    const auto result = [](std::uint8_t last, std::size_t nameAt, const std::string& name, std::size_t size) {
        Bytes p(size, 'x');
        for (std::size_t i = 0; i < 6; ++i)
            p[i] = static_cast<std::uint8_t>(i == 0 ? last : 0);
        std::copy(name.begin(), name.begin() + std::min(name.size(), size - nameAt), p.begin() + nameAt);
        return p;
    };
    const auto post = [&](Bytes p) { Arrive(protocol::MsgInquiryResult, std::move(p)); };
    post(result(1, 9, "Vantrel/C", 9 + 248));                    // unterminated, fills the field
    post(result(2, 9, "Unknown", 16));                             // unterminated, short payload
    post(result(3, 250, "Vantrel/C", 257));                        // cut by the end of the field
    post(result(4, 2, "", 8));                                     // too short to hold a name
    post(Bytes(4, 5));
    ASSERT_TRUE(WaitUntil([&] { return disc().ItemAddresses().size() >= 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(disc().ItemAddresses(), (QStringList{"000000000001", "000000000002"}));
    EXPECT_EQ(disc().NewDeviceCount, 2);
}

TEST_F(DevDiscPageTest, HappyPairingShowsTheRemoteAddressAndLetsNextThrough)
{
    OpenDiscovery();
    Bond(kDock);
    std::vector<std::uint8_t> types = Types();
    EXPECT_EQ(types, (std::vector<std::uint8_t>{sim::type::InitiateInquiry, sim::type::InitiateBonding,
                                                 sim::type::GetVersion, sim::type::GetConfig}));
    EXPECT_EQ(trail().mid(trail().indexOf("Bonding with the selected device...")),
              (QStringList{"Bonding with the selected device...", "Bonded to: " + kDock + ".  Connecting to Remote Device.",
                           "Remote Device Connected... Attempting to Retreive Config Data.",
                           "Retrieving Version Information.", "Retrieving Configuration Information.",
                           "Information retreived from " + kDock}));
    EXPECT_FALSE(disc().lstDeviceList.isVisible());
    EXPECT_FALSE(disc().btnBondSelectedDevice.isVisible());
    EXPECT_TRUE(disc().lblBonded.isVisible());
    EXPECT_EQ(disc().lblBonded.text(), "Bonding successful with device: " + kDock);
    EXPECT_TRUE(disc().Bonded);
    EXPECT_EQ(QString::fromLatin1(reinterpret_cast<const char*>(main().RemoteConfig.DeviceName.data())),
              "Vantrel/S Dock 2");

    Click(disc().bGetVersion);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Remote Version Information");
    EXPECT_TRUE(boxes.boxes()[0].text.startsWith("Application Version: Vantrel App V2.10\n\rBluetooth Version  : "));
    EXPECT_TRUE(main().btnBack.isEnabled());
    Click(main().btnNext);
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalPort));
    EXPECT_EQ(FormatDeviceAddress(disc().BondTargetAddress), kDock);
}

TEST_F(DevDiscPageTest, NextBeforeBondingIsRefusedAndBackPasses)
{
    OpenDiscovery();
    main().btnNextClick();
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmDevDisc));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Device not Bonded");
    EXPECT_EQ(boxes.boxes()[0].text,
              "Before proceeding, the Vantrel/S device must be properly bonded with another device.");
    Click(main().btnBack);
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmCommPortSel));
}

struct RemoteVersionRow {
    const char* version;
    bool accepted;
};
void PrintTo(const RemoteVersionRow& row, std::ostream* os) { *os << row.version; }

class RemoteVersion : public DevDiscPageTest, public ::testing::WithParamInterface<RemoteVersionRow> {};

TEST_P(RemoteVersion, RefusedVersionAbortsAndTheNextBondStartsAfresh)
{
    OpenDiscovery();
    device().setAppVersion(*sim::parseAddress(kLegacy.toStdString()), std::string("Vantrel App V") + GetParam().version);
    Bond(kLegacy);
    EXPECT_EQ(disc().Bonded, GetParam().accepted);
    if (GetParam().accepted) {
        EXPECT_EQ(device().abortCount(), 0);
        EXPECT_TRUE(disc().lblBonded.isVisible());
        return;
    }
    // The abort is written before the step ends, but the device reads it on its own thread.
    EXPECT_TRUE(device().waitForCommand(sim::type::Abort, 1, 2s));
    EXPECT_EQ(device().abortCount(), 1);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Version Mismatch");
    EXPECT_EQ(disc().PairingStageOf(kLegacy), 0);
    EXPECT_EQ(disc().Panel0.text(), "");
    EXPECT_EQ(Buttons(), "111100");
    device().clearReceived();
    Click(disc().btnBondSelectedDevice);
    ASSERT_TRUE(device().waitForCommand(sim::type::InitiateBonding, 1, 2s));
}

INSTANTIATE_TEST_SUITE_P(Versions, RemoteVersion,
                         ::testing::Values(RemoteVersionRow{"2.08", false}, RemoteVersionRow{"2.09", true},
                                           RemoteVersionRow{"3.05", true}),
                         [](const auto& info) { return "V" + std::string(info.param.version).erase(1, 1); });

// What the guard's expiry says and keeps, by the step it guarded.
struct BondTimeoutRow {
    const char* name;
    bool pingFirst;
    std::function<void(sim::Simulator&)> script;
    const char* text;
    bool targetKept;
    bool bonded;
    int stage;
};

void PrintTo(const BondTimeoutRow& row, std::ostream* os)
{
    *os << row.name;
}

class BondTimeout : public DevDiscPageTest, public ::testing::WithParamInterface<BondTimeoutRow> {};

TEST_P(BondTimeout, TextAndTargetFollowTheMarkerAndTheStep)
{
    const BondTimeoutRow& row = GetParam();
    OpenDiscovery(500);
    row.script(device());
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SelectListed(kDock)) << kDock.toStdString();
    if (row.pingFirst) {
        Click(disc().btnPingSelectedDevice);
        ASSERT_TRUE(WaitUntil([&] { return disc().PendingStep() == TfrmDevDisc::Step::None; }));
    }
    Bond(kDock, false);
    EXPECT_EQ(disc().Panel0.text(), row.text);
    EXPECT_EQ(disc().BondTargetAddress != DeviceAddress{}, row.targetKept);
    EXPECT_EQ(disc().Bonded, row.bonded);
    EXPECT_EQ(disc().PairingStageOf(kDock), row.stage);
    EXPECT_EQ(Buttons(), "111110");
    // Bonded or not, the remote's version was never accepted: entering again
    // does not let the wizard on to configure it.
    Click(main().btnBack);
    Click(main().btnNext);
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmDevDisc));
    EXPECT_FALSE(main().btnNext.isEnabled());
    main().btnNext.setEnabled(true);  // as if Next could be pressed anyway
    Click(main().btnNext);
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmDevDisc));
}

INSTANTIATE_TEST_SUITE_P(
    Guards, BondTimeout,
    ::testing::Values(
        BondTimeoutRow{"NoBondResult", false, [](sim::Simulator& s) { s.setSilentFor(sim::type::InitiateBonding, true); },
                       "Bonding has timed out. Please retry.", false, false, 0},
        BondTimeoutRow{"NoBondResultAfterAPing", true,
                       [](sim::Simulator& s) { s.setSilentFor(sim::type::InitiateBonding, true); },
                       "Unable to connect to Remote Device. Please retry.", true, false, 0},
        BondTimeoutRow{"LinkNeverUp", false, [](sim::Simulator& s) { s.setBonding({.linkComesUp = false}); },
                       "Bonding has timed out. Please retry.", true, true, 1},
        BondTimeoutRow{"RemoteSilentWhileReading", false,
                       [](sim::Simulator& s) { s.setUnresponsive(*sim::parseAddress(kDock.toStdString()), true); },
                       "Remote device did not answer. Please retry.", true, true, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DevDiscPageTest, BondOnAStageOneItemRetriesTheReadingAndCompletes)
{
    OpenDiscovery(500);
    const DeviceAddress dock = *sim::parseAddress(kDock.toStdString());
    device().setUnresponsive(dock, true);
    Bond(kDock);
    ASSERT_EQ(disc().Panel0.text(), "Remote device did not answer. Please retry.");
    device().setUnresponsive(dock, false);
    device().clearReceived();
    Click(disc().btnBondSelectedDevice);
    ASSERT_TRUE(WaitUntil([&] { return disc().lblBonded.isVisible(); }));
    EXPECT_EQ(Types(), (std::vector<std::uint8_t>{sim::type::GetVersion, sim::type::GetConfig}));
    EXPECT_TRUE(main().btnNext.isEnabled());
}

// A late BondResult bonds the unit, but its version was never accepted nor
// its configuration read: Next waits until Bond has run the chain for it.
TEST_F(DevDiscPageTest, LateBondResultSetsBondedQuietlyButNextWaitsForTheWholeChain)
{
    OpenDiscovery(200);
    device().setBondResultDelay(600ms);
    device().setBonding({.linkComesUp = false});
    Bond(kDock);
    ASSERT_EQ(disc().Panel0.text(), "Bonding has timed out. Please retry.");
    const std::string before = Buttons();
    ASSERT_TRUE(WaitUntil([&] { return disc().Bonded; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(disc().Panel0.text(), "Bonding has timed out. Please retry.");
    EXPECT_EQ(Buttons(), before);
    EXPECT_FALSE(disc().tmrBond.isActive());
    Click(main().btnBack);
    Click(main().btnNext);
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmDevDisc));
    EXPECT_FALSE(main().btnNext.isEnabled()) << "bonded to a unit whose version nobody checked";
    device().setBondResultDelay(0ms);
    device().setBonding({});
    ASSERT_TRUE(SelectListed(kPumpRoom));  // entering the page disabled Bond until a selection
    Bond(kDock, false);
    ASSERT_TRUE(WaitUntil([&] { return disc().lblBonded.isVisible(); }));
    EXPECT_TRUE(main().btnNext.isEnabled());
    Click(main().btnNext);
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalPort));
    EXPECT_EQ(FormatDeviceAddress(disc().BondTargetAddress), kDock) << "the remote settings need its address";
}

// After a refused search Bond is open again while the search runs out its
// time; a bonding unanswered then is still the bonding's, and the page no
// longer claims the unit a late BondResult named.
TEST_F(DevDiscPageTest, BondingUnansweredWhileARefusedSearchRunsOutLeavesThePageUnbonded)
{
    OpenDiscovery(200);
    device().setBondResultDelay(600ms);
    device().setBonding({.linkComesUp = false});
    Bond(kDock);
    ASSERT_TRUE(WaitUntil([&] { return disc().Bonded; }));
    ASSERT_TRUE(SelectListed(kPumpRoom));
    device().refuse(sim::type::InitiateInquiry, sim::reason::DeviceBusy, true);
    device().setBondResultDelay(3000ms);
    const std::size_t shown = boxes.boxes().size();
    Click(disc().btnSearchDevices);
    ASSERT_TRUE(WaitUntil([&] { return boxes.boxes().size() > shown; }));
    ASSERT_TRUE(disc().tmrInquiry.isActive()) << "the search runs out its time";
    ASSERT_TRUE(disc().btnBondSelectedDevice.isEnabled());
    Click(disc().btnBondSelectedDevice);
    ASSERT_TRUE(WaitUntil([&] { return disc().PairingStep() == TfrmDevDisc::Step::None; }));
    EXPECT_FALSE(disc().Bonded) << "a bonding unanswered may or may not have taken";
    EXPECT_EQ(disc().Panel0.text(), "Bonding has timed out. Please retry.");
}

// The one test at the program's own 5000 ms: the ping's two texts.
TEST_F(DevDiscPageTest, PingIsConfirmedThenGivesUpFiveSecondsAfterItWasWritten)
{
    OpenDiscovery(5000);
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SelectListed(kDock)) << kDock.toStdString();
    QElapsedTimer clock;
    Click(disc().btnPingSelectedDevice);
    clock.start();
    EXPECT_EQ(Buttons(), "000000");
    ASSERT_TRUE(WaitUntil([&] { return !disc().PingPending(); }));
    EXPECT_EQ(disc().Panel0.text(), "Ping Request sent. Look for an indication on the remote device.");
    EXPECT_EQ(Buttons(), "111100") << "Back waits for the guard";
    ASSERT_TRUE(WaitUntil([&] { return !disc().tmrBond.isActive(); }, 8000));
    EXPECT_GE(clock.elapsed(), 4500) << "a coarse timer may fire 5% early, never sooner";
    EXPECT_EQ(disc().Panel0.text(), "Unable to connect to Remote Device. Please retry.");
    EXPECT_EQ(Buttons(), "111110");
}

TEST_F(DevDiscPageTest, PingThatBringsTheLinkUpGoesOnToBond)
{
    OpenDiscovery();
    device().setPing({.confirm = true, .connectionStatus = 2, .connectionDelay = 20ms});
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SelectListed(kDock)) << kDock.toStdString();
    Click(disc().btnPingSelectedDevice);
    ASSERT_TRUE(WaitUntil([&] { return disc().lblBonded.isVisible(); }));
    EXPECT_TRUE(device().waitForCommand(sim::type::InitiateBonding, 1, 0ms));
}

struct ReasonRow {
    std::uint8_t code;
    const char* text;
};
static void PrintTo(const ReasonRow& row, std::ostream* os) { *os << int(row.code); }

class DevDiscRefusal : public DevDiscPageTest, public ::testing::WithParamInterface<ReasonRow> {};

TEST_P(DevDiscRefusal, WarnsWithTheReasonAndGivesBondBack)
{
    OpenDiscovery();
    device().refuse(sim::type::InitiateBonding, GetParam().code, true);
    ASSERT_TRUE(Search());
    ASSERT_TRUE(SelectListed(kDock)) << kDock.toStdString();
    Click(disc().btnBondSelectedDevice);
    ASSERT_TRUE(WaitUntil([&] { return !boxes.boxes().empty(); }));
    EXPECT_EQ(boxes.boxes()[0].text,
              QStringLiteral("A error response was received with reason: %1.  Please try again.").arg(GetParam().text));
    EXPECT_EQ(boxes.boxes()[0].icon, platform::MbIcon::Error);
    EXPECT_TRUE(disc().btnBondSelectedDevice.isEnabled());
    // No BondResult is awaited for a refused bonding.
    device().sendUnasked(sim::type::BondResult, {0});
    Settle();
    EXPECT_FALSE(disc().Bonded);
}

INSTANTIATE_TEST_SUITE_P(Reasons, DevDiscRefusal,
                         ::testing::Values(ReasonRow{2, "Device Busy"}, ReasonRow{5, "Unknown Reason Code 5"}),
                         [](const auto& info) { return "Code" + std::to_string(info.param.code); });

// The chain goes on with the unit being paired, whatever the list selects meanwhile.
struct ChainRow {
    TfrmDevDisc::Step at;
    QString click;
    Qt::KeyboardModifiers modifiers;
};
void PrintTo(const ChainRow& row, std::ostream* os) { *os << "click " << row.click.toStdString(); }
class ChainSelection : public DevDiscPageTest, public ::testing::WithParamInterface<ChainRow> {};

TEST_P(ChainSelection, EveryStepGoesToTheBondTarget)
{
    OpenDiscovery();
    device().setBonding({.stepDelay = 300ms});
    device().setAnswerDelayFor(sim::type::GetVersion, 300ms);
    Bond(kDock, true, GetParam().at);
    QTreeWidget& list = disc().lstDeviceList;
    QTest::mouseClick(list.viewport(), Qt::LeftButton, GetParam().modifiers,
                      list.visualItemRect(list.findItems(GetParam().click, Qt::MatchExactly).value(0)).center());
    EXPECT_TRUE(WaitUntil([&] { return disc().lblBonded.isVisible(); }, 3000));
    EXPECT_EQ(Buttons(), "000011");
    const DeviceAddress dock = *sim::parseAddress(kDock.toStdString());
    for (const sim::ReceivedFrame& f : device().received())
        EXPECT_TRUE(f.type == sim::type::InitiateInquiry || std::equal(dock.begin(), dock.end(), f.payload.begin()));
    EXPECT_EQ(QString::fromLatin1(reinterpret_cast<const char*>(main().RemoteConfig.DeviceName.data())).toStdString(),
              "Vantrel/S Dock 2");
}

INSTANTIATE_TEST_SUITE_P(DeselectedWhileConnectingOtherSelectedWhileReadingVersion, ChainSelection,
                         ::testing::Values(ChainRow{TfrmDevDisc::Step::Connection, kDock, Qt::ControlModifier},
                                           ChainRow{TfrmDevDisc::Step::Version, kLegacy, Qt::NoModifier}));

TEST_F(DevDiscPageTest, PairingMadeThroughOneLocalDeviceIsNotKeptForAnother)
{
    int second = 0;
    AddDevice(&second).setLocalAddress(*sim::parseAddress("001BDC0A4321"));
    OpenDiscovery();
    Bond(kDock);
    Click(main().btnBack);
    Connect(second);
    Click(main().btnNext);
    EXPECT_FALSE(disc().Bonded);
    EXPECT_TRUE(disc().lstDeviceList.isVisible() && !disc().lblBonded.isVisible());
    EXPECT_EQ(Buttons(), "110010");
    Bond(kDock, false);
    EXPECT_TRUE(disc().lblBonded.isVisible()) << "bonded anew through the second device";
}

// While a step waits for its answer, Bond and Ping stay off: a second
// bonding's answer could be taken for the first's.
TEST_F(DevDiscPageTest, SecondBondWhileTheFirstIsUnansweredIsNotOffered)
{
    OpenDiscovery();
    device().setBondResultDelay(300ms);
    Bond(kDock, true, TfrmDevDisc::Step::Bond);
    ASSERT_TRUE(SelectListed(kLegacy));
    EXPECT_EQ(Enabled({&disc().btnPingSelectedDevice, &disc().btnBondSelectedDevice}), "00");
    ASSERT_TRUE(WaitUntil([&] { return disc().lblBonded.isVisible(); }));
    EXPECT_EQ(FormatDeviceAddress(disc().BondTargetAddress), kDock);
    EXPECT_EQ(disc().PairingStageOf(kLegacy), 0);
}

// A bonding that could not be written leaves the page as it was: Back, and
// Bond again once the port is back.
TEST_F(DevDiscPageTest, FailedBondingWriteLeavesAWayOn)
{
    OpenDiscovery(200);
    device().setBondResultDelay(400ms);
    device().setBonding({.linkComesUp = false});
    Bond(kDock);
    ASSERT_TRUE(WaitUntil([&] { return disc().Bonded; })) << "the late answer";
    SerialClose(main().PortHandle);
    main().PortHandle = -1;
    ASSERT_TRUE(disc().btnBondSelectedDevice.isEnabled()) << "as the time-out left it";
    Click(disc().btnBondSelectedDevice);
    EXPECT_EQ(disc().Panel0.text(), "Error sending InitiateBonding Packet.");
    EXPECT_TRUE(main().btnBack.isEnabled());
    EXPECT_TRUE(disc().btnBondSelectedDevice.isEnabled());
    EXPECT_FALSE(disc().tmrBond.isActive());
}
