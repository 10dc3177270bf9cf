// The save page against a simulated SPP Server: the save, its answers, the
// time-out and the move to the Finish page.
#include "sppfixture.h"

#include "platform/windowmessage.h"
#include "protocol/delivery.h"

#include <QElapsedTimer>

using namespace vtrl;
using namespace vtrl::testing;
using namespace std::chrono_literals;
using platform::MbIcon;

namespace {

const QString kTimedOut = QStringLiteral("Error - the flash update timed out. Please retry.");
const QString kOtherType = QStringLiteral("An error occured in saving the settings. Please retry.");

}  // namespace

TEST_F(SppPagesTest, ConfirmedSaveReachesTheFinishPageByItself)
{
    OpenFlashPage();
    EXPECT_FALSE(flash().Tasks.lblDevDisc.isEnabled());
    EXPECT_EQ(flash().Tasks.lblFourth.text(), "Config Local Device");
    EXPECT_FALSE(main().btnNext.isEnabled());
    QString saved;
    QObject::connect(&flash(), &TfrmFlashUpdate::statusChanged, [&](const QString& text) { saved = text; });

    ClickSave();
    ASSERT_TRUE(WaitUntil([&] { return main().ShownPage() == frmFinish; }));
    EXPECT_EQ(saved, "All settings were saved successfully.");
    EXPECT_TRUE(flash().FlashSaved);
    EXPECT_FALSE(flash().tmrFlashUpdate.isActive());
    EXPECT_FALSE(flash().tmrProgressBar.isActive());
    EXPECT_TRUE(main().btnFinish.isVisible());
    EXPECT_EQ(device->flashConfig({}), device->workingConfig({}));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(SppPagesTest, NextBeforeSavingIsRefused)
{
    OpenFlashPage();
    main().btnNext.setEnabled(true);  // as if Next could be pressed anyway
    Next();
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Error");
    EXPECT_EQ(boxes.boxes()[0].text, "The settings must be saved in flash before continuing.");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::None);
}

// A late answer of the local device page is not the save's answer.
TEST_F(SppPagesTest, ConfirmationOfAnotherCommandReportsTheErrorAndTheTimeOutFollows)
{
    OpenFlashPage();
    platform::PostWindowMessage(&flash(), protocol::MsgConfirmation, platform::Payload{11});
    ASSERT_TRUE(WaitUntil([&] { return flash().StatusText() == kOtherType; }));
    EXPECT_FALSE(flash().FlashSaved);

    device->confirmAs(sim::type::UpdateFlash, sim::type::SetDeviceConfig);
    ClickSave();
    ASSERT_TRUE(device->waitForCommand(sim::type::UpdateFlash, 1, 5s));
    ASSERT_TRUE(WaitUntil([&] { return !flash().tmrProgressBar.isActive(); }));
    EXPECT_EQ(flash().StatusText(), kOtherType);
    EXPECT_TRUE(flash().tmrFlashUpdate.isActive());
    EXPECT_FALSE(main().btnBack.isEnabled()) << "until the time-out";
    ASSERT_TRUE(WaitUntil([&] { return flash().StatusText() == kTimedOut; }));
    EXPECT_TRUE(main().btnBack.isEnabled());
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
}

// "Saved" only for a save that neither was refused nor went out before the
// operator left the page.
class UnsavedSave : public SppPagesTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnsavedSave, IsNeverReportedAsSaved)
{
    const bool refused = GetParam();
    OpenFlashPage();
    if (refused)
        device->refuse(sim::type::UpdateFlash, sim::reason::ErrorExecuting, true);
    else
        device->setAnswerDelayFor(sim::type::UpdateFlash, 900ms);
    ClickSave();
    ASSERT_TRUE(WaitUntil([&] { return flash().StatusText() == kTimedOut; }));
    if (refused) {
        device->sendUnasked(sim::type::Confirmation, {sim::type::UpdateFlash});
    } else {
        Back();
        Next();
        ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
    }
    QTest::qWait(800);
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
    EXPECT_FALSE(flash().FlashSaved);
}

INSTANTIATE_TEST_SUITE_P(Saves, UnsavedSave, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "RefusedThenUnaskedConfirmation" : "AnsweredAfterBackAndNext"; });

TEST_F(SppPagesTest, SavingTwiceKeepsTheFirstTimeOutWhileTheBarWraps)
{
    OpenFlashPage(600);
    device->setSilentFor(sim::type::UpdateFlash, true);
    std::vector<int> steps;
    QObject::connect(&flash().pbFlashProgress, &QProgressBar::valueChanged, [&](int v) { steps.push_back(v); });
    QElapsedTimer sinceFirst;
    sinceFirst.start();
    ClickSave();
    ASSERT_TRUE(WaitUntil([&] { return steps.size() >= 4 && sinceFirst.elapsed() >= 150; }));
    ClickSave();
    // A restarted time-out would have most of its 600 ms left.
    EXPECT_LT(flash().tmrFlashUpdate.remainingTime(), 600 - 100) << "the time-out was restarted";
    ASSERT_TRUE(device->waitForCommand(sim::type::UpdateFlash, 2, 5s));
    EXPECT_FALSE(main().btnBack.isEnabled());

    ASSERT_TRUE(WaitUntil([&] { return flash().StatusText() == kTimedOut; }));
    EXPECT_TRUE(main().btnBack.isEnabled());
    EXPECT_TRUE(flash().btnSave.isEnabled());
    EXPECT_FALSE(flash().tmrProgressBar.isActive());
    // Steps through 0..2 and starts over.
    for (std::size_t i = 1; i < steps.size(); ++i)
        EXPECT_EQ(steps[i], (steps[i - 1] + 1) % 3) << "step " << i;
}

TEST_F(SppPagesTest, WriteFailuresAreReportedOnBothPages)
{
    OpenFlashPage();
    SerialClose(main().PortHandle);
    main().PortHandle = -1;
    ClickSave();
    EXPECT_EQ(flash().StatusText(), "Error sending update flash command. Please try again.");
    EXPECT_FALSE(flash().tmrFlashUpdate.isActive());
    EXPECT_TRUE(main().btnBack.isEnabled());

    Back();
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalDevice));
    Type(local().ebDeviceName, "Offline");
    ClickSetDevice();
    EXPECT_EQ(local().StatusText(), "Error writing configuration to comm port.  Please retry.");
    EXPECT_FALSE(local().tmrConfig.isActive());
}
