// The local device page against a simulated SPP Server: loading on entry,
// what a send carries, the repeating time-out, and what the record keeps.
#include "support/wizard_fixture.h"

#include "protocol/params.h"

using namespace vtrl;
using namespace vtrl::testing;
using namespace std::chrono_literals;
using platform::MbButtons;
using platform::MbIcon;
using Bytes = std::vector<std::uint8_t>;

using SppPagesTest = WizardFixture;

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
    ToLocalDevicePage();
    EXPECT_EQ(localDevice().ebDeviceName.text(), "Vantrel/S Bench");
    EXPECT_EQ(localDevice().ebPinCode.text(), "0000");
    EXPECT_FALSE(localDevice().cbAuthentication.isChecked());
    EXPECT_FALSE(localDevice().ebPinCode.isVisible()) << "the PIN shows only with authentication";
    EXPECT_EQ(localDevice().Panel0.text(), kChanged);
    EXPECT_EQ(DeviceButtons(), "101");
    EXPECT_EQ(localDevice().PendingLinkTimeout, 20);

    QTest::mouseClick(&localDevice().cbAuthentication, Qt::LeftButton);
    EXPECT_TRUE(localDevice().ebPinCode.isVisible());
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return localDevice().Panel0.text() == kConfirmed; }));
    EXPECT_EQ(DeviceButtons(), "011");
    EXPECT_EQ(main().LocalConfig.Authentication, 1);
    EXPECT_EQ(Trail(localDevice().Panel0).mid(Trail(localDevice().Panel0).size() - 2),
              (QStringList{"Configuration sent correctly. Waiting on confirmation...", kConfirmed}));

    Back();
    Next();
    EXPECT_EQ(localDevice().Panel0.text(), kConfirmed) << "nothing reloaded counts as an edit";
    EXPECT_EQ(DeviceButtons(), "011");
    EXPECT_TRUE(localDevice().ebPinCode.isVisible());
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
    ToLocalDevicePage();
    // The PIN is typed with authentication on, which may then go off again.
    if (!localDevice().cbAuthentication.isChecked())
        QTest::mouseClick(&localDevice().cbAuthentication, Qt::LeftButton);
    Type(localDevice().ebPinCode, row.pin);
    if (!row.authentication)
        QTest::mouseClick(&localDevice().cbAuthentication, Qt::LeftButton);
    Type(localDevice().ebDeviceName, row.deviceName);
    localDevice().ResetLinkKeysRequested = row.resetLinkKeys;
    localDevice().PendingLinkTimeout = 0x0115;
    main().LocalConfig.PinCode.fill('9');  // longer than any new PIN
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(device().waitForCommand(sim::type::SetDeviceConfig, 1, 5s));
    const Bytes p = Sent(sim::type::SetDeviceConfig).at(0);
    ASSERT_EQ(p.size(), 51u);
    EXPECT_EQ(Text(p, 0, 30), row.nameSent);
    EXPECT_EQ(localDevice().ebDeviceName.text().toStdString(), row.nameSent) << "the field shows what goes out";
    EXPECT_EQ(p[29], 0) << "the name keeps its terminating zero";
    EXPECT_EQ(p[30], 0x15);
    EXPECT_EQ(p[31], 0x01) << "the field is 16 bits";
    EXPECT_EQ(p[33], row.authentication ? 1 : 0);
    EXPECT_EQ(Text(p, 34, 16), row.pinSent);
    EXPECT_TRUE(std::all_of(p.begin() + 34 + static_cast<std::ptrdiff_t>(row.pinSent.size()), p.begin() + 50,
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(p[50], row.byte50);
    EXPECT_TRUE(boxes.boxes().empty());
    ASSERT_TRUE(WaitUntil([&] { return localDevice().ConfigConfirmed; }));
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
    ToLocalDevicePage();
    QTest::mouseClick(&localDevice().cbAuthentication, Qt::LeftButton);
    Type(localDevice().ebPinCode, QString());
    device().clearReceived();
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Pin Code Error");
    EXPECT_EQ(boxes.boxes()[0].text, "Pin Code not defined");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::None);
    EXPECT_FALSE(device().waitForFrames(1, 300ms));
    EXPECT_FALSE(localDevice().tmrConfig.isActive());
}

TEST_F(SppPagesTest, NoAnswerRepeatsTheTimeOutEachTickAndALateConfirmationStillCompletes)
{
    ToLocalDevicePage();
    // Ten ticks late, as a device ten seconds late at the page's own second.
    device().setAnswerDelayFor(sim::type::SetDeviceConfig, 500ms);
    const protocol::DeviceConfig before = main().LocalConfig;
    Type(localDevice().ebDeviceName, "Late");
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return Trail(localDevice().Panel0).count(kTimedOut) >= 3; }));
    EXPECT_EQ(DeviceButtons(), "101");
    EXPECT_EQ(Text(main().LocalConfig.DeviceName), Text(before.DeviceName)) << "nothing confirmed yet";
    EXPECT_FALSE(localDevice().ConfigConfirmed);

    ASSERT_TRUE(WaitUntil([&] { return localDevice().ConfigConfirmed; }));
    EXPECT_EQ(localDevice().Panel0.text(), kConfirmed);
    EXPECT_EQ(DeviceButtons(), "011");
    EXPECT_FALSE(localDevice().tmrConfig.isActive());
    EXPECT_EQ(Text(main().LocalConfig.DeviceName), "Late");
}

// The record takes what the device confirmed, not what the controls show by
// then; Next waits until no send is on its way.
TEST_F(SppPagesTest, EditsWhileASendIsOnItsWayAreNotTakenForSent)
{
    ToLocalDevicePage();
    device().setAnswerDelayFor(sim::type::SetDeviceConfig, 300ms);
    Type(localDevice().ebDeviceName, "Alpha");
    Click(localDevice().btnSetLocalDeviceConfig);
    EXPECT_EQ(DeviceButtons(), "001") << "one send at a time";
    Type(localDevice().ebDeviceName, "Beta");
    ASSERT_TRUE(WaitUntil([&] { return Text(main().LocalConfig.DeviceName) == "Alpha"; }));
    EXPECT_EQ(device().workingConfig({})->name(), "Alpha");
    EXPECT_EQ(DeviceButtons(), "101");
    EXPECT_EQ(localDevice().Panel0.text(), kChanged);

    // A send still on its way when the operator goes back and returns.
    Type(localDevice().ebDeviceName, "Typo");
    Click(localDevice().btnSetLocalDeviceConfig);
    Type(localDevice().ebDeviceName, "Gamma");
    Back();
    Next();
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalDevice));
    EXPECT_FALSE(main().btnNext.isEnabled()) << "Next waits for the answer";
    ASSERT_TRUE(WaitUntil([&] { return Text(main().LocalConfig.DeviceName) == "Typo"; }));
    EXPECT_EQ(localDevice().Panel0.text(), kChanged) << "the device holds what the controls no longer show";
    EXPECT_EQ(DeviceButtons(), "101");
}

// A device may hold a link time-out above what the dialog offers: a Set that
// changes something else sends it back whole.
TEST_F(SppPagesTest, LinkTimeoutAboveAByteGoesBackWhole)
{
    ToLocalDevicePage([](sim::DeviceConfig& c) { c.linkTimeout = 300; });
    Type(localDevice().ebDeviceName, "Gate 9");
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return localDevice().ConfigConfirmed; }));
    const Bytes p = Sent(sim::type::SetDeviceConfig).at(0);
    EXPECT_EQ(p[30] | (p[31] << 8), 300);
    EXPECT_EQ(device().workingConfig({})->linkTimeout, 300);
    EXPECT_EQ(main().LocalConfig.LinkTimeout, 300);
}

// An answer to a send of another page never ends this page's wait.
TEST_F(SppPagesTest, AnotherPagesAnswerDoesNotEndTheWait)
{
    ToLocalDevicePage();
    localDevice().tmrConfig.setInterval(1000);
    device().setAnswerDelayFor(sim::type::SetDeviceConfig, 300ms);
    Type(localDevice().ebDeviceName, "Gate 8");
    Click(localDevice().btnSetLocalDeviceConfig);
    device().sendUnasked(sim::type::Confirmation, {sim::type::SetPortConfig});
    ASSERT_TRUE(WaitUntil([&] { return localDevice().ConfigConfirmed; }));
    EXPECT_EQ(localDevice().Panel0.text(), kConfirmed);
    EXPECT_EQ(device().workingConfig({})->name(), "Gate 8");
}

TEST_F(SppPagesTest, NextWaitsForAConfirmedSendAndBackIsAlwaysAllowed)
{
    ToLocalDevicePage();
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

TEST_F(SppPagesTest, AConfirmationOfAnotherCommandConfirmsNothing)
{
    ToLocalDevicePage();
    device().confirmAs(sim::type::SetDeviceConfig, sim::type::SetPortConfig);
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return Trail(localDevice().Panel0).count(kTimedOut) >= 2; }));
    EXPECT_FALSE(localDevice().ConfigConfirmed);
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
        ToFlashPage();
        device().refuse(sim::type::UpdateFlash, row.reason);
        Click(flash().btnSave);
    } else {
        ToLocalDevicePage();
        device().refuse(sim::type::SetDeviceConfig, row.reason);
        Click(localDevice().btnSetLocalDeviceConfig);
    }
    ASSERT_TRUE(WaitUntil([&] { return !boxes.boxes().empty(); }));
    EXPECT_EQ(boxes.boxes()[0].caption, "Warning");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::Error);
    EXPECT_EQ(boxes.boxes()[0].text, QString::fromLatin1(row.text));
    if (row.flashPage) {
        ASSERT_TRUE(WaitUntil([&] { return !flash().tmrFlashUpdate.isActive(); }));
        EXPECT_EQ(flash().Panel0.text(), "Error - the flash update timed out. Please retry.");
    } else {
        ASSERT_TRUE(WaitUntil([&] { return localDevice().Panel0.text() == kTimedOut; }));
        EXPECT_FALSE(localDevice().ConfigConfirmed);
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
    ToLocalDevicePage([&](sim::DeviceConfig& c) {
        c.linkTimeout = row.stored;
        c.authentication = row.authentication ? 1 : 0;
    });
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return localDevice().Panel0.text() == kConfirmed; }));
    {
        AdvancedAnswer answer(true, row.act);
        QTest::mouseClick(&localDevice().bAdvanced, Qt::LeftButton);
        EXPECT_EQ(answer.seen, row.seen);
    }
    EXPECT_EQ(localDevice().Panel0.text(), kChanged) << "OK is an edit, changed or not";
    EXPECT_EQ(DeviceButtons(), "101");
    device().clearReceived();
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return localDevice().Panel0.text() == kConfirmed; }));
    const Bytes p = Sent(sim::type::SetDeviceConfig).at(0);
    EXPECT_EQ(p[30], row.byte30);
    EXPECT_EQ(p[50], row.byte50);
    EXPECT_EQ(main().LocalConfig.LinkTimeout, row.byte30);
    EXPECT_FALSE(localDevice().ResetLinkKeysRequested) << "a reset goes out once";
}

INSTANTIATE_TEST_SUITE_P(
    LocalDevicePage, LocalDeviceAdvanced,
    ::testing::Values(
        AdvancedRow{"Stored55Set40", 55, false,
                    [](TfAdvanced& d) {
                        d.seLinkTimeout.setValue(39);
                        d.seLinkTimeout.setValue(40);
                    },
                    "no levels, no cd, timeout 40, no reset", 40, 0},
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
    ToLocalDevicePage([](sim::DeviceConfig& c) { c.authentication = 1; });
    {
        AdvancedAnswer answer(true, [](TfAdvanced& d) { d.cbLKInit.setChecked(true); });
        QTest::mouseClick(&localDevice().bAdvanced, Qt::LeftButton);
    }
    ASSERT_TRUE(localDevice().ResetLinkKeysRequested);
    Back();
    Next();
    EXPECT_FALSE(localDevice().ResetLinkKeysRequested);
}

// A late answer, a resend the device lost: the answer may be either's. The
// page reads the device back, shows the name it holds, and saving keeps that.
TEST_F(SppPagesTest, LateAnswerWithALostResendShowsWhatTheDeviceHolds)
{
    ToLocalDevicePage();
    // The late answer comes after the resend and while both sends still
    // wait for it (twelve time-outs), with room for a loaded machine.
    localDevice().tmrConfig.setInterval(200);
    auto sends = std::make_shared<int>(0);
    device().setFaultPlan([sends](const sim::ReceivedFrame& f) {
        sim::CommandFault fault;
        if (f.type == sim::type::SetDeviceConfig) {
            fault.kind = (*sends)++ == 0 ? sim::CommandFault::Kind::Late : sim::CommandFault::Kind::Drop;
            fault.lateBy = 1000ms;
        }
        return fault;
    });
    Type(localDevice().ebDeviceName, "First");
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return localDevice().Panel0.text() == kTimedOut; }));
    Type(localDevice().ebDeviceName, "Second");
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return localDevice().ConfigConfirmed; }));
    EXPECT_FALSE(Trail(localDevice().Panel0).contains(kConfirmed)) << "the resend was never confirmed";
    EXPECT_EQ(localDevice().ebDeviceName.text(), "First");
    EXPECT_EQ(localDevice().Panel0.text(), "The device did not take the settings sent last.  It holds the settings shown.");
    EXPECT_EQ(Text(main().LocalConfig.DeviceName), "First");
    ASSERT_TRUE(walk.Next(frmFlashUpdate)) << Error();
    ASSERT_TRUE(walk.SaveToFlash()) << Error();
    EXPECT_EQ(device().flashConfig({})->name(), "First");
}

// The device page's send is refused late while the port page's new settings
// are taken and their Confirmation lost: the refusal may be either's, so the
// port page claims nothing it has not seen proved.
TEST_F(SppPagesTest, LateRefusalWhileAnotherPageWaitsConfirmsNeitherPage)
{
    ToLocalDevicePage();
    frmConfigLocalPort->tmrConfig.setInterval(200);
    device().setFaultPlan([](const sim::ReceivedFrame& f) {
        sim::CommandFault fault;
        if (f.type == sim::type::SetDeviceConfig) {
            fault.kind = sim::CommandFault::Kind::Refuse;
            fault.lateBy = 150ms;
        } else if (f.type == sim::type::SetPortConfig) {
            fault.kind = sim::CommandFault::Kind::Mute;
        }
        return fault;
    });
    Type(localDevice().ebDeviceName, "Gate 3");
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return localDevice().Panel0.text() == kTimedOut; }));
    ASSERT_TRUE(walk.Back(frmConfigLocalPort)) << Error();
    Pick(frmConfigLocalPort->cboBaudRate, 6);  // 19200
    Click(frmConfigLocalPort->btnSetLocalPortConfig);
    ASSERT_TRUE(WaitUntil([&] { return frmConfigLocalPort->Panel0.text() == "Configuration timed out. Please retry."; }));
    EXPECT_EQ(device().workingConfig({})->baudCode, 7);
    Pick(frmConfigLocalPort->cboBaudRate, 5);  // back to the 9600 confirmed before
    EXPECT_FALSE(frmConfigLocalPort->ConfigConfirmed) << "9600 shown as held while the device runs 19200";
    EXPECT_FALSE(main().btnNext.isEnabled());
    ASSERT_TRUE(SetAndWait(*frmConfigLocalPort));
    EXPECT_EQ(device().workingConfig({})->baudCode, 6);
}

// Text the device cannot hold is refused before anything is sent.
TEST_F(SppPagesTest, NameOrPinTheDeviceCannotHoldIsRefusedBeforeSending)
{
    struct Case {
        const char* name;
        const char* pin;
        const char* caption;
        const char* character;
    };
    const Case cases[] = {{"Łódź Pompa", "1234", "Device Name Error", "Ł"}, {"Pompa", "12€4", "Pin Code Error", "€"}};
    ToLocalDevicePage();
    QTest::mouseClick(&localDevice().cbAuthentication, Qt::LeftButton);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        // Pasted: the key simulator types ASCII only.
        localDevice().ebDeviceName.setText(QString::fromUtf8(c.name));
        localDevice().ebPinCode.setText(QString::fromUtf8(c.pin));
        device().clearReceived();
        boxes.clear();
        Click(localDevice().btnSetLocalDeviceConfig);
        ASSERT_EQ(boxes.boxes().size(), 1u);
        EXPECT_EQ(boxes.boxes()[0].caption, c.caption);
        EXPECT_TRUE(boxes.boxes()[0].text.contains(QString::fromUtf8(c.character)));
        EXPECT_FALSE(device().waitForFrames(1, 200ms)) << "nothing is sent";
        EXPECT_FALSE(localDevice().ConfigConfirmed);
    }
    localDevice().ebDeviceName.setText(QString::fromUtf8("Sète Pompe"));
    Type(localDevice().ebPinCode, QStringLiteral("1234"));
    Click(localDevice().btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return localDevice().ConfigConfirmed; }));
    EXPECT_EQ(device().workingConfig({})->name(), "S\xE8te Pompe") << "Western European letters reach it whole";
}
