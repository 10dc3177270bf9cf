// The wizard frame driven the way the operator drives it: real buttons,
// scripted answers to the message boxes.
#include "support/wizard_fixture.h"

#include "shell/startup.h"

#include <QLabel>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace vtrl;
using namespace vtrl::testing;
using platform::MbButtons;
using platform::MbIcon;
using platform::ScriptedMessageBoxes;

namespace {

const QString kPrefix = QStringLiteral("Vantrel Configuration - ");

class WizardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        remembered::Forget();
        wizard = std::make_unique<Wizard>();
        main().show();
    }
    void TearDown() override
    {
        wizard.reset();
        protocol::LocalConfig = {};
        protocol::RemoteConfig = {};
    }

    TfrmMain& main() { return wizard->main(); }
    QPushButton* button(const char* name) { return main().findChild<QPushButton*>(name); }
    void click(const char* name)
    {
        QPushButton* b = button(name);
        ASSERT_NE(b, nullptr) << name;
        QTest::mouseClick(b, Qt::LeftButton);
    }
    void choose(int item)
    {
        auto* radio = main().findChild<QRadioButton*>(QStringLiteral("rgDeviceFunctionItem%1").arg(item));
        ASSERT_NE(radio, nullptr);
        QTest::mouseClick(radio, Qt::LeftButton);
    }
    // The frame tests walk past the COM port page without a device: it lets
    // Next through once a device answered, so they stand one in.
    void standInVerifiedDevice()
    {
        frmCommPortSel->Connected = true;
        frmCommPortSel->ConfigurationShown = true;
    }
    QString pageCaption() const { return wizard->main().windowTitle().mid(kPrefix.size()); }
    // Back, Next, Cancel, Finish: which are visible.
    std::string visibleButtons()
    {
        std::string s;
        for (const char* n : {"btnBack", "btnNext", "btnCancel", "btnFinish"})
            s += button(n)->isVisibleTo(&main()) ? 'V' : '-';
        return s;
    }

    ScriptedMessageBoxes boxes{platform::mrNo};
    std::unique_ptr<Wizard> wizard;
};

}  // namespace

TEST_F(WizardTest, StartsOnTheIntroductionWithNextDisabled)
{
    EXPECT_EQ(main().windowTitle(), kPrefix + "Version 2.7");
    EXPECT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmIntroduction));
    EXPECT_EQ(main().ShownPage()->parentWidget(), &main().pnlMain);
    EXPECT_EQ(main().ShownPage()->geometry(), QRect(0, 0, 457, 253));
    EXPECT_EQ(visibleButtons(), "-VV-");
    EXPECT_FALSE(button("btnNext")->isEnabled());
    EXPECT_EQ(main().DeviceFunction, 0);
    EXPECT_EQ(main().PortHandle, -1);
    EXPECT_EQ(frmIntroduction->ItemIndex(), -1);
    EXPECT_EQ(main().size(), QSize(466, 299));
    EXPECT_EQ(main().minimumSize(), main().maximumSize()) << "the window must not be resizable";

    click("btnNext");
    QTest::keyClick(&main(), Qt::Key_Return);
    EXPECT_EQ(pageCaption(), "Version 2.7") << "a disabled Next must not move";
}

TEST_F(WizardTest, ButtonsStandAtTheirPlaces)
{
    EXPECT_EQ(button("btnBack")->geometry(), QRect(212, 272, 75, 25));
    EXPECT_EQ(button("btnNext")->geometry(), QRect(288, 272, 75, 25));
    EXPECT_EQ(button("btnCancel")->geometry(), QRect(384, 272, 75, 25));
    EXPECT_EQ(button("btnFinish")->geometry(), QRect(384, 272, 75, 25));
    EXPECT_EQ(button("btnBack")->text(), "< Back");
    EXPECT_EQ(button("btnNext")->text(), "Next >");
    EXPECT_EQ(main().findChild<QFrame*>("pnlMain")->geometry(), QRect(4, 4, 457, 253));
}

TEST_F(WizardTest, ChoosingAFunctionEnablesNextAndSetsIt)
{
    choose(1);
    EXPECT_TRUE(button("btnNext")->isEnabled());
    EXPECT_EQ(main().DeviceFunction, 2);
    choose(0);
    EXPECT_EQ(main().DeviceFunction, 1);
    main().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main()));
    QTest::keyClick(&main(), Qt::Key_Return);
    EXPECT_EQ(pageCaption(), "COM Port Selection") << "Enter presses Next";
}

struct Sequence {
    const char* name;
    Function function;
    std::vector<QString> captions;  // after each Next, ending on Finish
};
void PrintTo(const Sequence& row, std::ostream* os) { *os << row.name; }

// Walked with a simulated device: each page lets Next through once the
// device answered it.
class WalkedSequence : public WizardFixture, public ::testing::WithParamInterface<Sequence> {
protected:
    QString pageCaption() { return main().windowTitle().mid(kPrefix.size()); }
    std::string visibleButtons()
    {
        std::string s;
        for (const QPushButton* b : {&main().btnBack, &main().btnNext, &main().btnCancel, &main().btnFinish})
            s += b->isVisibleTo(&main()) ? 'V' : '-';
        return s;
    }
    void Walk(Function function)
    {
        Connected(function);
        if (function == kCable) {
            ASSERT_TRUE(walk.Next(frmDevDisc) && walk.Discover(QStringLiteral("001BDC0A5678"))) << Error();
            ASSERT_TRUE(walk.Next(frmConfigLocalPort) && walk.PortSettings(false, {})) << Error();
            ASSERT_TRUE(walk.Next(frmConfigRemotePort) && walk.PortSettings(true, {})) << Error();
        } else {
            ASSERT_TRUE(walk.Next(frmConfigLocalPort) && walk.PortSettings(false, {})) << Error();
            ASSERT_TRUE(walk.Next(frmConfigLocalDevice) && walk.DeviceSettings(demo::DeviceChoice{QStringLiteral("Bench"), false, false, QString(), 20})) << Error();
        }
        ASSERT_TRUE(walk.Next(frmFlashUpdate) && walk.SaveToFlash()) << Error();
    }
};

TEST_P(WalkedSequence, NextWalksTheFunctionsPagesAndBackRetracesThem)
{
    const Sequence& seq = GetParam();
    Walk(seq.function);
    EXPECT_EQ(pageCaption(), "Finish");
    EXPECT_EQ(visibleButtons(), "---V");
    // From the save page back to the COM port page: the reverse order.
    main().btnBackClick();  // Back is hidden on the Finish page; step onto the save page
    ASSERT_EQ(pageCaption(), seq.captions[seq.captions.size() - 2]);
    EXPECT_EQ(visibleButtons(), "VVV-");
    // Saved, the save page keeps Back off; the frame still goes back.
    for (std::size_t i = seq.captions.size() - 2; i-- > 0;) {
        main().btnBackClick();
        EXPECT_EQ(pageCaption(), seq.captions[i]) << "Back to step " << i;
    }
    main().btnBackClick();
    EXPECT_EQ(pageCaption(), "Version 2.7");
    EXPECT_EQ(visibleButtons(), "-VV-");
    EXPECT_TRUE(boxes.boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Functions, WalkedSequence,
    ::testing::Values(
        Sequence{"CableReplacement", kCable,
                 {"COM Port Selection", "Device Discovery and Bonding", "Configure Local Port",
                  "Configure Remote Port", "Save Configuration Settings", "Finish"}},
        Sequence{"SppServerSkipsDiscovery", kSpp,
                 {"COM Port Selection", "Configure Local Port", "Configure Local Device",
                  "Save Configuration Settings", "Finish"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(WalkedSequence, FinishClosesWithoutAsking)
{
    Walk(GetParam().function);
    int closes = 0;
    main().OnFormClose = [&](TfrmMain& m) {
        ++closes;
        EXPECT_EQ(m.ModalResult, 1);
    };
    Click(main().btnFinish);
    EXPECT_TRUE(boxes.boxes().empty());
    EXPECT_FALSE(main().isVisible());
    EXPECT_EQ(closes, 1);
}

TEST_F(WizardTest, ChangedChoiceChangesTheLaterSequence)
{
    standInVerifiedDevice();
    choose(0);
    click("btnNext");
    click("btnBack");
    EXPECT_EQ(frmIntroduction->ItemIndex(), 0) << "the choice is kept";
    choose(1);
    click("btnNext");
    click("btnNext");
    EXPECT_EQ(pageCaption(), "Configure Local Port");
    click("btnBack");
    EXPECT_EQ(pageCaption(), "COM Port Selection");
}

struct QuitRow {
    const char* name;
    void (*leave)(TfrmMain&);
    int modalResult;
};
void PrintTo(const QuitRow& row, std::ostream* os) { *os << row.name; }

class QuitQuestion : public WizardTest, public ::testing::WithParamInterface<QuitRow> {};

TEST_P(QuitQuestion, NoKeepsEverythingYesCloses)
{
    choose(0);
    click("btnNext");
    int closes = 0;
    main().OnFormClose = [&](TfrmMain&) { ++closes; };
    const auto before = visibleButtons();

    boxes.queue(platform::mrNo);
    GetParam().leave(main());
    ASSERT_EQ(boxes.boxes().size(), 1u);
    const auto& box = boxes.boxes()[0];
    EXPECT_EQ(box.text, "Device configuration is incomplete -- Quit anyway?");
    EXPECT_EQ(box.caption, "Quit");
    EXPECT_EQ(box.buttons, MbButtons::YesNo);
    EXPECT_EQ(box.icon, MbIcon::Question);
    EXPECT_EQ(box.ownerAtShow, &main());
    EXPECT_TRUE(main().isVisible());
    EXPECT_EQ(pageCaption(), "COM Port Selection");
    EXPECT_EQ(visibleButtons(), before);
    EXPECT_EQ(closes, 0);

    boxes.queue(platform::mrYes);
    GetParam().leave(main());
    EXPECT_EQ(boxes.boxes().size(), 2u);
    EXPECT_FALSE(main().isVisible());
    EXPECT_EQ(main().ModalResult, GetParam().modalResult);
    EXPECT_EQ(closes, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, QuitQuestion,
    ::testing::Values(
        QuitRow{"CancelButton", [](TfrmMain& m) { QTest::mouseClick(&m.btnCancel, Qt::LeftButton); }, 2},
        QuitRow{"CloseBox", [](TfrmMain& m) { m.close(); }, 0},
        QuitRow{"EscapeKey",
                [](TfrmMain& m) {
                    m.activateWindow();
                    ASSERT_TRUE(QTest::qWaitForWindowActive(&m));
                    QTest::keyClick(&m, Qt::Key_Escape);
                },
                2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WizardTest, SetNotifyWindowRefusesNullAndKeepsTheTarget)
{
    EXPECT_EQ(main().NotifyWindow(), nullptr);
    EXPECT_EQ(main().SetNotifyWindow(frmCommPortSel), 0);
    EXPECT_EQ(main().SetNotifyWindow(nullptr), -1);
    EXPECT_EQ(main().NotifyWindow(), static_cast<QWidget*>(frmCommPortSel));
}

struct TasksRow {
    const char* page;
    const char* first;
    const char* fourthName;
    const char* fourthText;
    int arrowY;
};
void PrintTo(const TasksRow& row, std::ostream* os) { *os << row.page; }

class TasksPanelLayout : public WizardTest, public ::testing::WithParamInterface<TasksRow> {};

TEST_P(TasksPanelLayout, ArrowMarksThePagesOwnStep)
{
    const TasksRow& row = GetParam();
    QWidget* page = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == row.page)
            page = w;
    ASSERT_NE(page, nullptr);
    auto* group = page->findChild<QGroupBox*>("grpTasks");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->title(), "Tasks");
    EXPECT_EQ(group->geometry(), QRect(0, 100, 125, 129));
    EXPECT_EQ(page->findChild<QLabel*>("lblCommPortSel")->text(), row.first);
    auto* fourth = page->findChild<QLabel*>(row.fourthName);
    ASSERT_NE(fourth, nullptr);
    EXPECT_EQ(fourth->text(), row.fourthText);
    EXPECT_EQ(fourth->y(), 80);
    auto* arrow = page->findChild<QLabel*>("imgArrow");
    ASSERT_NE(arrow, nullptr);
    EXPECT_EQ(arrow->geometry(), QRect(6, row.arrowY, 17, 17));
    // Every label must show its whole text in the font the wizard uses.
    for (QLabel* l : group->findChildren<QLabel*>()) {
        if (!l->text().isEmpty()) {
            EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width()) << l->text().toStdString();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pages, TasksPanelLayout,
    ::testing::Values(
        TasksRow{"frmCommPortSel", "Select COM Port", "lblConfigRemotePort", "Config Remote Port", 20},
        TasksRow{"frmDevDisc", "Select Comm Port", "lblConfigRemotePort", "Config Remote Port", 40},
        TasksRow{"frmConfigLocalPort", "Select Comm Port", "lblConfigRemotePort", "Config Remote Port", 60},
        TasksRow{"frmConfigLocalDevice", "Select Comm Port", "lblConfigLocalDevice", "Config Local Device", 79},
        TasksRow{"frmConfigRemotePort", "Select Comm Port", "lblConfigRemotePort", "Config Remote Port", 80},
        TasksRow{"frmFlashUpdate", "Select Comm Port", "lblConfigRemotePort", "Config Remote Port", 100}),
    [](const auto& info) { return std::string(info.param.page); });

TEST(WizardOwner, FormVariablesAreSetWhileItLivesAndNulledAfter)
{
    {
        Wizard w;
        EXPECT_EQ(frmMain, &w.main());
        for (const PageStep& row : WizardPageTable())
            EXPECT_NE(row.page(), nullptr);
    }
    EXPECT_EQ(frmMain, nullptr);
    for (const PageStep& row : WizardPageTable())
        EXPECT_EQ(row.page(), nullptr);
}

TEST(StartUp, EscapedExceptionIsShownAndTheProgramEndsWithZero)
{
    ScriptedMessageBoxes boxes;
    const int code = RunGuarded([]() -> int { throw std::runtime_error("Out of resources"); });
    EXPECT_EQ(code, 0);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].text, "Out of resources.");
    EXPECT_EQ(boxes.boxes()[0].buttons, MbButtons::Ok);
    EXPECT_EQ(boxes.boxes()[0].icon, MbIcon::Error);
}

TEST(StartUp, NormalEndPassesTheExitCodeAndShowsNothing)
{
    ScriptedMessageBoxes boxes;
    EXPECT_EQ(RunGuarded([] { return 3; }), 3);
    EXPECT_TRUE(boxes.boxes().empty());
}
