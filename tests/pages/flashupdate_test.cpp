// The save page against a simulated SPP Server: the save, its answers, the
// time-out and the move to the Finish page.
#include "support/wizard_fixture.h"

#include "pages/wizard.h"
#include "record/record.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

using namespace vtrl;
using namespace vtrl::testing;
using namespace std::chrono_literals;
using platform::MbIcon;

using SppPagesTest = WizardFixture;

namespace {

const QString kTimedOut = QStringLiteral("Error - the flash update timed out. Please retry.");
const QString kOtherType = QStringLiteral("An error occured in saving the settings. Please retry.");

}  // namespace

TEST_F(SppPagesTest, ConfirmedSaveReachesTheFinishPageByItself)
{
    ToFlashPage();
    EXPECT_FALSE(flash().Tasks.lblDevDisc.isEnabled());
    EXPECT_EQ(flash().Tasks.lblFourth.text(), "Config Local Device");
    EXPECT_FALSE(main().btnNext.isEnabled());
    QString saved;
    QObject::connect(&flash().Panel0, &StatusPanel::textSet, [&](const QString& text) { saved = text; });
    // The start-up code's record hook: once, with what was saved.
    QTemporaryDir dir;
    const QString db = dir.filePath("record.sqlite");
    int hooked = 0;
    QString recorded = "not called";
    main().OnSaveConfirmed = [&](const TfrmMain& m) {
        ++hooked;
        recorded = RecordSave(m, db);
    };

    Click(flash().btnSave);
    ASSERT_TRUE(WaitUntil([&] { return main().ShownPage() == frmFinish; }));
    EXPECT_EQ(hooked, 1);
    EXPECT_EQ(recorded, "");
    QString error;
    const auto store = record::Store::Open(db, error);
    ASSERT_TRUE(store) << error.toStdString();
    const auto runs = store->Runs(error);
    ASSERT_TRUE(runs && runs->size() == 1) << error.toStdString();
    EXPECT_EQ(runs->front()["program"].toString(), "wizard");
    EXPECT_EQ(runs->front()["device"]["address"].toString().size(), 12);
    EXPECT_EQ(runs->front()["exit"].toInt(), 0);
    EXPECT_EQ(saved, "All settings were saved successfully.");
    EXPECT_TRUE(flash().FlashSaved);
    EXPECT_FALSE(flash().tmrFlashUpdate.isActive());
    EXPECT_FALSE(flash().tmrProgressBar.isActive());
    EXPECT_TRUE(main().btnFinish.isVisible());
    EXPECT_EQ(device().flashConfig({}), device().workingConfig({}));
    EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(SppPagesTest, NextBeforeSavingIsRefused)
{
    ToFlashPage();
    main().btnNext.setEnabled(true);  // as if Next could be pressed anyway
    Next();
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].caption, "Error");
    EXPECT_EQ(boxes.boxes()[0].text, "The settings must be saved in flash before continuing.");
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::None);
}

// A Confirmation nobody asked for is not the save's answer; one naming another
// command in answer to the save says the save went wrong.
TEST_F(SppPagesTest, ConfirmationOfAnotherCommandReportsTheErrorAndTheTimeOutFollows)
{
    ToFlashPage();
    Arrive(protocol::MsgConfirmation, Bytes{11});
    EXPECT_TRUE(flash().Panel0.text().isEmpty());
    EXPECT_FALSE(flash().FlashSaved);

    device().confirmAs(sim::type::UpdateFlash, sim::type::SetDeviceConfig);
    Click(flash().btnSave);
    ASSERT_TRUE(device().waitForCommand(sim::type::UpdateFlash, 1, 5s));
    ASSERT_TRUE(WaitUntil([&] { return !flash().tmrProgressBar.isActive(); }));
    EXPECT_EQ(flash().Panel0.text(), kOtherType);
    EXPECT_TRUE(flash().tmrFlashUpdate.isActive());
    EXPECT_FALSE(main().btnBack.isEnabled()) << "until the time-out";
    ASSERT_TRUE(WaitUntil([&] { return flash().Panel0.text() == kTimedOut; }));
    EXPECT_TRUE(main().btnBack.isEnabled());
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
}

// "Saved" only for a save that neither was refused nor went out before the
// operator left the page.
class UnsavedSave : public SppPagesTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnsavedSave, IsNeverReportedAsSaved)
{
    const bool refused = GetParam();
    ToFlashPage();
    if (refused)
        device().refuse(sim::type::UpdateFlash, sim::reason::ErrorExecuting, true);
    else
        device().setAnswerDelayFor(sim::type::UpdateFlash, 900ms);
    Click(flash().btnSave);
    ASSERT_TRUE(WaitUntil([&] { return flash().Panel0.text() == kTimedOut; }));
    const std::size_t written = device().answersWritten();
    if (refused) {
        device().sendUnasked(sim::type::Confirmation, {sim::type::UpdateFlash});
    } else {
        Back();
        Next();
        ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
    }
    // A refusal after it shows its box once the Confirmation before it was handled.
    ASSERT_TRUE(WaitUntil([&] { return device().answersWritten() > written; }, 3000));
    const std::size_t shown = boxes.boxes().size();
    device().sendUnasked(sim::type::NegativeResponse, {0, sim::reason::DeviceBusy});
    ASSERT_TRUE(WaitUntil([&] { return boxes.boxes().size() > shown; }));
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
    EXPECT_FALSE(flash().FlashSaved);
}

INSTANTIATE_TEST_SUITE_P(Saves, UnsavedSave, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "RefusedThenUnaskedConfirmation" : "AnsweredAfterBackAndNext"; });

TEST_F(SppPagesTest, OneSaveAtATimeWhileTheBarWrapsUntilTheTimeOut)
{
    ToFlashPage();
    flash().tmrFlashUpdate.setInterval(600);
    device().setSilentFor(sim::type::UpdateFlash, true);
    std::vector<int> steps;
    QObject::connect(&flash().pbFlashProgress, &QProgressBar::valueChanged, [&](int v) { steps.push_back(v); });
    Click(flash().btnSave);
    EXPECT_EQ(Enabled({&flash().btnSave, &main().btnBack}), "00") << "a second save's answer could not be told apart";
    ASSERT_TRUE(WaitUntil([&] { return flash().Panel0.text() == kTimedOut; }));
    EXPECT_EQ(Enabled({&flash().btnSave, &main().btnBack}), "11");
    EXPECT_FALSE(flash().tmrProgressBar.isActive());
    ASSERT_GE(steps.size(), 4u);
    // Steps through 0..2 and starts over.
    for (std::size_t i = 1; i < steps.size(); ++i)
        EXPECT_EQ(steps[i], (steps[i - 1] + 1) % 3) << "step " << i;
}

TEST_F(SppPagesTest, WriteFailuresAreReportedOnBothPages)
{
    ToFlashPage();
    SerialClose(main().PortHandle);
    main().PortHandle = -1;
    Click(flash().btnSave);
    EXPECT_EQ(flash().Panel0.text(), "Error sending update flash command. Please try again.");
    EXPECT_FALSE(flash().tmrFlashUpdate.isActive());
    EXPECT_TRUE(main().btnBack.isEnabled());

    Back();
    ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmConfigLocalDevice));
    Type(localDevice().ebDeviceName, "Offline");
    Click(localDevice().btnSetLocalDeviceConfig);
    EXPECT_EQ(localDevice().Panel0.text(), "Error writing configuration to comm port.  Please retry.");
    EXPECT_FALSE(localDevice().tmrConfig.isActive());
}

// A save given up on, the name changed and confirmed, a second save the
// device loses: the first save's late Confirmation may be either's, and the
// first saved the old name. Nothing is said to be saved until it is proved.
TEST_F(SppPagesTest, LateConfirmationOfASaveBeforeAChangeIsNotTakenForTheLaterSave)
{
    ToFlashPage();
    auto saves = std::make_shared<int>(0);
    device().setFaultPlan([saves](const sim::ReceivedFrame& f) {
        sim::CommandFault fault;
        if (f.type == sim::type::UpdateFlash) {
            fault.kind = (*saves)++ == 0 ? sim::CommandFault::Kind::Late : sim::CommandFault::Kind::Drop;
            fault.lateBy = 1500ms;
        }
        return fault;
    });
    device().setInOrder(false);  // quick answers overtake the late one
    Click(flash().btnSave);
    ASSERT_TRUE(WaitUntil([&] { return flash().Panel0.text() == kTimedOut; }));
    ASSERT_TRUE(walk.Back(frmConfigLocalDevice)) << Error();
    Type(frmConfigLocalDevice->ebDeviceName, "Renamed");
    Click(frmConfigLocalDevice->btnSetLocalDeviceConfig);
    ASSERT_TRUE(WaitUntil([&] { return frmConfigLocalDevice->ConfigConfirmed; }));
    ASSERT_TRUE(walk.Next(frmFlashUpdate)) << Error();
    flash().tmrFlashUpdate.setInterval(3000);  // the first save's answer comes while this one waits
    Click(flash().btnSave);
    ASSERT_TRUE(WaitUntil([&] { return *saves == 2 && !flash().tmrProgressBar.isActive(); }, 4000));
    EXPECT_EQ(flash().Panel0.text(),
              "The device confirmed a save, but it may have been an earlier one.  Please save again.");
    EXPECT_TRUE(main().btnBack.isEnabled());
    EXPECT_NE(device().flashConfig({})->name(), "Renamed");
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmFlashUpdate));
    EXPECT_FALSE(flash().FlashSaved);
    EXPECT_TRUE(flash().btnSave.isEnabled());
}
