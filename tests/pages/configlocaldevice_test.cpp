// The local device page against a simulated SPP Server: loading on entry,
// what a send carries, the repeating time-out, and what the record keeps.
#include "sppfixture.h"

#include "advancedfixture.h"

#include "protocol/params.h"

using namespace vtrl;
using namespace vtrl::testing;
using namespace std::chrono_literals;
using platform::MbButtons;
using platform::MbIcon;
using Bytes = std::vector<std::uint8_t>;

namespace {

const QString kChanged =
    QStringLiteral("The Device Configuration has been changed.  (Re)send Configuration when ready to proceed.");
const QString kTimedOut = QStringLiteral("Device Timeout Occurred.  Please retry.");
const QString kConfirmed = QStringLiteral("Configuration confirmation received.");

std::string Text(const Bytes& bytes, std::size_t from, std::size_t size)
{
    std::string s(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                  bytes.begin() + static_cast<std::ptrdiff_t>(from + size));
    return s.substr(0, s.find('\0'));
}

template <std::size_t N>
std::string Text(const std::array<std::uint8_t, N>& field)
{
    return Text(Bytes(field.begin(), field.end()), 0, N);
}

}  // namespace

TEST_F(SppPagesTest, FirstEntryLoadsTheRecordAsAnEditAndAReentryAfterAConfirmedSendChangesNothing)
{
    OpenLocalDevicePage();
    EXPECT_EQ(local().ebDeviceName.text(), "Vantrel/S Bench");
    EXPECT_EQ(local().ebPinCode.text(), "0000");
    EXPECT_FALSE(local().cbAuthentication.isChecked());
    EXPECT_FALSE(local().ebPinCode.isVisible()) << "the PIN shows only with authentication";
    EXPECT_EQ(local().StatusText(), kChanged);
    EXPECT_EQ(DeviceButtons(), "101");
    EXPECT_EQ(local().PendingLinkTimeout, 20);

    QTest::mouseClick(&local().cbAuthentication, Qt::LeftButton);
    EXPECT_TRUE(local().ebPinCode.isVisible());
    ClickSetDevice();
    ASSERT_TRUE(WaitUntil([&] { return local().StatusText() == kConfirmed; }));
    EXPECT_EQ(DeviceButtons(), "011");
    EXPECT_EQ(main().LocalConfig.Authentication, 1);
    EXPECT_EQ(localTrail.mid(localTrail.size() - 2),
              (QStringList{"Configuration sent correctly. Waiting on confirmation...", kConfirmed}));

    Back();
    Next();
    EXPECT_EQ(local().StatusText(), kConfirmed) << "nothing reloaded counts as an edit";
    EXPECT_EQ(DeviceButtons(), "011");
    EXPECT_TRUE(local().ebPinCode.isVisible());
}

struct SendRow {
    const char* name;
    bool authentication;
    QString pin;
    QString deviceName;
    bool resetLinkKeys;
    std::string pinSent;
    std::string nameSent;
    std::uint8_t byte50;
};

void PrintTo(const SendRow& row, std::ostream* os) { *os << row.name; }

class SendCarries : public SppPagesTest, public ::testing::WithParamInterface<SendRow> {};

TEST_P(SendCarries, ThePinNameAndResetBytes)
{
    const SendRow& row = GetParam();
    OpenLocalDevicePage();
    // The PIN is typed with authentication on, which may then go off again.
    if (!local().cbAuthentication.isChecked())
        QTest::mouseClick(&local().cbAuthentication, Qt::LeftButton);
    Type(local().ebPinCode, row.pin);
    if (!row.authentication)
        QTest::mouseClick(&local().cbAuthentication, Qt::LeftButton);
    Type(local().ebDeviceName, row.deviceName);
    local().ResetLinkKeysRequested = row.resetLinkKeys;
    local().PendingLinkTimeout = 0x0115;
    main().LocalConfig.PinCode.fill('9');  // longer than any new PIN
    ClickSetDevice();
    ASSERT_TRUE(device->waitForCommand(sim::type::SetDeviceConfig, 1, 5s));
    const Bytes p = Sent(sim::type::SetDeviceConfig).at(0);
    ASSERT_EQ(p.size(), 51u);
    EXPECT_EQ(Text(p, 0, 30), row.nameSent);
    EXPECT_EQ(local().ebDeviceName.text().toStdString(), row.nameSent) << "the field shows what goes out";
    EXPECT_EQ(p[29], 0) << "the name keeps its terminating zero";
    EXPECT_EQ(p[30], 0x15);
    EXPECT_EQ(p[31], 0);
    EXPECT_EQ(p[33], row.authentication ? 1 : 0);
    EXPECT_EQ(Text(p, 34, 16), row.pinSent);
    EXPECT_TRUE(std::all_of(p.begin() + 34 + static_cast<std::ptrdiff_t>(row.pinSent.size()), p.begin() + 50,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(p[50], row.byte50);
    EXPECT_TRUE(boxes.boxes().empty());
    ASSERT_TRUE(WaitUntil([&] { return local().ConfigConfirmed; }));
    EXPECT_EQ(Text(main().LocalConfig.PinCode), row.pinSent);
    EXPECT_EQ(main().LocalConfig.PinCode[row.pinSent.size()], 0) << "no old PIN bytes after the new one";
    EXPECT_EQ(main().LocalConfig.PinCode[15], 0);
}

INSTANTIATE_TEST_SUITE_P(
    LocalDevicePage, SendCarries,
    ::testing::Values(
        SendRow{"AuthOffEmptyPin", false, "", "Pump", true, "", "Pump", 0},
        SendRow{"AuthOffPinTypedEarlierIsSentAnyway", false, "4711", "Pump", false, "4711", "Pump", 0},
        SendRow{"FifteenCharacterPinLeavesByte49Zero", true, "123456789012345", "Pump", true, "123456789012345",
                "Pump", 1},
        SendRow{"PinAndNameAreCutAtTheirFields", true, "1234567890123456789", QString(35, QLatin1Char('n')), false,
                "123456789012345", std::string(29, 'n'), 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SppPagesTest, AuthenticationWithoutPinShowsTheErrorAndSendsNothing)
{
    OpenLocalDevicePage();
    QTest::mouseClick(&local().cbAuthentication, Qt::LeftButton);
    Type(local().ebPinCode, QString());
    device->clearReceived();
    ClickSetDevice();
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Pin Code Error");
    EXPECT_EQ(boxes.boxes()[0].text, "Pin Code not defined");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::None);
    EXPECT_FALSE(device->waitForFrames(1, 300ms));
    EXPECT_FALSE(local().tmrConfig.isActive());
}

TEST_F(SppPagesTest, NoAnswerRepeatsTheTimeOutEachTickAndALateConfirmationStillCompletes)
{
    OpenLocalDevicePage();
    device->setAnswerDelayFor(sim::type::SetDeviceConfig, 600ms);
    const protocol::DeviceConfig before = main().LocalConfig;
    Type(local().ebDeviceName, "Late");
    ClickSetDevice();
    ASSERT_TRUE(WaitUntil([&] { return localTrail.count(kTimedOut) >= 3; }));
    EXPECT_EQ(DeviceButtons(), "101");
    EXPECT_EQ(Text(main().LocalConfig.DeviceName), Text(before.DeviceName)) << "nothing confirmed yet";
    EXPECT_FALSE(local().ConfigConfirmed);

    ASSERT_TRUE(WaitUntil([&] { return local().ConfigConfirmed; }));
    EXPECT_EQ(local().StatusText(), kConfirmed);
    EXPECT_EQ(DeviceButtons(), "011");
    EXPECT_FALSE(local().tmrConfig.isActive());
    EXPECT_EQ(Text(main().LocalConfig.DeviceName), "Late");
}

// The device answers in order: each answer belongs to the oldest send still
// waiting, an edit made meanwhile is not taken for sent, and Next waits
// until no send is on its way.
TEST_F(SppPagesTest, EachAnswerIsCreditedToTheSendItAnswers)
{
    OpenLocalDevicePage();
    device->setAnswerDelayFor(sim::type::SetDeviceConfig, 300ms);
    Type(local().ebDeviceName, "Alpha");
    ClickSetDevice();
    Type(local().ebDeviceName, "Beta");
    ASSERT_TRUE(WaitUntil([&] { return local().ConfigConfirmed; }));
    EXPECT_EQ(Text(main().LocalConfig.DeviceName), "Alpha");
    EXPECT_EQ(device->workingConfig({})->name(), "Alpha");
    EXPECT_EQ(DeviceButtons(), "101");
    EXPECT_EQ(local().StatusText(), kChanged);

    // Two sends on their way, the second refused.
    ClickSetDevice();
    ASSERT_TRUE(device->waitForCommand(sim::type::SetDeviceConfig, 2, 5s));
    device->refuse(sim::type::SetDeviceConfig, sim::reason::DeviceBusy, true);
    Type(local().ebDeviceName, "Gamma");
    ClickSetDevice();
    ASSERT_TRUE(WaitUntil([&] { return !boxes.boxes().empty(); }));
    EXPECT_EQ(Text(main().LocalConfig.DeviceName), "Beta") << "the refused send never reaches the record";
    EXPECT_EQ(device->workingConfig({})->name(), "Beta");
    EXPECT_EQ(DeviceButtons(), "101");

    // From a confirmed page, a send still on its way when the operator goes
    // back and returns.
    device->setAnswerDelayFor(sim::type::SetDeviceConfig, 0ms);
    ClickSetDevice();
    ASSERT_TRUE(WaitUntil([&] { return local().StatusText() == kConfirmed; }));
    EXPECT_EQ(DeviceButtons(), "011");
    device->setAnswerDelayFor(sim::type::SetDeviceConfig, 600ms);
    Type(local().ebDeviceName, "Typo");
    ClickSetDevice();
    Type(local().ebDeviceName, "Gamma");
    Back();
    Next();
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalDevice));
    EXPECT_EQ(DeviceButtons(), "101") << "Next waits for the answer";
    ASSERT_TRUE(WaitUntil([&] { return Text(main().LocalConfig.DeviceName) == "Typo"; }));
    EXPECT_EQ(local().StatusText(), kChanged) << "the device holds what the controls no longer show";
    EXPECT_EQ(DeviceButtons(), "101");
}

TEST_F(SppPagesTest, NextWaitsForAConfirmedSendAndBackIsAlwaysAllowed)
{
    OpenLocalDevicePage();
    main().btnNext.setEnabled(true);  // as if Next could be pressed anyway
    Next();
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalDevice));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Error");
    EXPECT_EQ(boxes.boxes()[0].text, "The Device settings must be properly configured before continuing.");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::None);
    Back();
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalPort));
    EXPECT_TRUE(main().btnNext.isEnabled());
}

TEST_F(SppPagesTest, AConfirmationOfAnotherCommandStopsWaitingButConfirmsNothing)
{
    OpenLocalDevicePage();
    device->confirmAs(sim::type::SetDeviceConfig, sim::type::SetPortConfig);
    ClickSetDevice();
    ASSERT_TRUE(WaitUntil([&] { return !local().tmrConfig.isActive(); }));
    EXPECT_FALSE(local().ConfigConfirmed);
    EXPECT_EQ(DeviceButtons(), "101");
}

// Both pages show a refusal's reason, also for codes the table has no text for.
struct RefusalRow {
    const char* name;
    bool flashPage;
    std::uint8_t reason;
    const char* text;
};

void PrintTo(const RefusalRow& row, std::ostream* os) { *os << row.name; }

class RefusalBox : public SppPagesTest, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(RefusalBox, NamesTheReasonAndTheTimeOutFollows)
{
    const RefusalRow& row = GetParam();
    if (row.flashPage) {
        OpenFlashPage();
        device->refuse(sim::type::UpdateFlash, row.reason);
        ClickSave();
    } else {
        OpenLocalDevicePage();
        device->refuse(sim::type::SetDeviceConfig, row.reason);
        ClickSetDevice();
    }
    ASSERT_TRUE(WaitUntil([&] { return !boxes.boxes().empty(); }));
    EXPECT_EQ(boxes.boxes()[0].caption, "Warning");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::Error);
    EXPECT_EQ(boxes.boxes()[0].text, QString::fromLatin1(row.text));
    if (row.flashPage) {
        ASSERT_TRUE(WaitUntil([&] { return !flash().tmrFlashUpdate.isActive(); }));
        EXPECT_EQ(flash().StatusText(), "Error - the flash update timed out. Please retry.");
    } else {
        ASSERT_TRUE(WaitUntil([&] { return local().StatusText() == kTimedOut; }));
        EXPECT_FALSE(local().ConfigConfirmed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    BothPages, RefusalBox,
    ::testing::Values(
        RefusalRow{"LocalDeviceBusy", false, 2, "A negative response was received with reason Device Busy.  Please try again."},
        RefusalRow{"LocalDeviceCodePastTheTable", false, 5,
                   "A negative response was received with reason Unknown Reason Code 5.  Please try again."},
        RefusalRow{"FlashUnknownCommand", true, 1,
                   "A negative response was received from the Cable Replacement device with reason Unknown Command.  "
                   "Please try again."},
        RefusalRow{"FlashCodePastTheTable", true, 200,
                   "A negative response was received from the Cable Replacement device with reason Unknown Reason "
                   "Code 200.  Please try again."}),
    [](const auto& info) { return std::string(info.param.name); });

// The Advanced dialog from this page: what it offers, and what the next send
// carries after OK.
struct AdvancedRow {
    const char* name;
    std::uint16_t stored;
    bool authentication;
    std::function<void(TfAdvanced&)> act;
    const char* seen;
    std::uint8_t byte30;
    std::uint8_t byte50;
};

void PrintTo(const AdvancedRow& row, std::ostream* os) { *os << row.name; }

class LocalDeviceAdvanced : public SppPagesTest, public ::testing::WithParamInterface<AdvancedRow> {};

TEST_P(LocalDeviceAdvanced, OkMarksThePageChangedAndTheSendCarriesTheValues)
{
    const AdvancedRow& row = GetParam();
    OpenLocalDevicePage(50, [&](sim::DeviceConfig& c) {
        c.linkTimeout = row.stored;
        c.authentication = row.authentication ? 1 : 0;
    });
    ClickSetDevice();
    ASSERT_TRUE(WaitUntil([&] { return local().StatusText() == kConfirmed; }));
    {
        AdvancedAnswer answer(true, row.act);
        QTest::mouseClick(&local().bAdvanced, Qt::LeftButton);
        EXPECT_EQ(answer.seen, row.seen);
    }
    EXPECT_EQ(local().StatusText(), kChanged) << "OK is an edit, changed or not";
    EXPECT_EQ(DeviceButtons(), "101");
    device->clearReceived();
    ClickSetDevice();
    ASSERT_TRUE(WaitUntil([&] { return local().StatusText() == kConfirmed; }));
    const Bytes p = Sent(sim::type::SetDeviceConfig).at(0);
    EXPECT_EQ(p[30], row.byte30);
    EXPECT_EQ(p[50], row.byte50);
    EXPECT_EQ(main().LocalConfig.LinkTimeout, row.byte30);
    EXPECT_FALSE(local().ResetLinkKeysRequested) << "a reset goes out once";
}

INSTANTIATE_TEST_SUITE_P(
    LocalDevicePage, LocalDeviceAdvanced,
    ::testing::Values(
        AdvancedRow{"Stored55ShowsAndSends40", 55, false, {}, "no levels, no cd, timeout 40, no reset", 40, 0},
        AdvancedRow{"ResetTickedWithAuthentication", 20, true, [](TfAdvanced& d) { d.cbLKInit.setChecked(true); },
                    "no levels, no cd, timeout 20, reset off", 20, 1},
        AdvancedRow{"TextThatIsNoNumberKeepsTheLastValue", 33, false,
                    [](TfAdvanced& d) {
                        d.seLinkTimeout.setFocus();
                        d.seLinkTimeout.selectAll();
                        QTest::keyClicks(&d.seLinkTimeout, "abc");
                    },
                    "no levels, no cd, timeout 33, no reset", 33, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SppPagesTest, ResetRequestIsForgottenOnEntry)
{
    OpenLocalDevicePage(50, [](sim::DeviceConfig& c) { c.authentication = 1; });
    {
        AdvancedAnswer answer(true, [](TfAdvanced& d) { d.cbLKInit.setChecked(true); });
        QTest::mouseClick(&local().bAdvanced, Qt::LeftButton);
    }
    ASSERT_TRUE(local().ResetLinkKeysRequested);
    Back();
    Next();
    EXPECT_FALSE(local().ResetLinkKeysRequested);
}
