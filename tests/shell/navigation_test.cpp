// The page table walk with pages that veto, over a table of test pages.
#include "shell/mainform.h"

#include <QTest>

#include <gtest/gtest.h>

#include <array>
#include <memory>

using namespace vtrl;

namespace {

class TestPage : public TWizardChildForm {
public:
    explicit TestPage(const QString& caption) { setWindowTitle(caption); }

    std::uint8_t PageEntered(TfrmMain& main) override
    {
        ++entered;
        main.btnNext.setEnabled(true);
        return enteredResult;
    }
    std::uint8_t PageLeaving(QPushButton* pressed) override
    {
        lastPressed = pressed;
        ++leaving;
        return veto;
    }

    std::uint8_t veto = 0;
    std::uint8_t enteredResult = 0;
    int entered = 0;
    int leaving = 0;
    QPushButton* lastPressed = nullptr;
};

TestPage* pageA = nullptr;
TestPage* pageB = nullptr;
TestPage* pageC = nullptr;
TestPage* pageD = nullptr;

template <TestPage*& P>
TWizardChildForm* ref()
{
    return P;
}

// A -> B -> C -> D; C only for function 2.
const std::array<PageStep, 4> kTable = {{
    {&ref<pageA>, nullptr, &ref<pageB>, 3},
    {&ref<pageB>, &ref<pageA>, &ref<pageC>, 3},
    {&ref<pageC>, &ref<pageB>, &ref<pageD>, 2},
    {&ref<pageD>, &ref<pageC>, nullptr, 3},
}};

class Navigation : public ::testing::Test {
protected:
    void SetUp() override
    {
        main = std::make_unique<TfrmMain>(kTable);
        for (auto [slot, caption] : {std::pair{&a, "A"}, {&b, "B"}, {&c, "C"}, {&d, "D"}})
            *slot = std::make_unique<TestPage>(caption);
        pageA = a.get();
        pageB = b.get();
        pageC = c.get();
        pageD = d.get();
        main->DeviceFunction = 1;
        main->show();
    }
    void TearDown() override
    {
        pageA = pageB = pageC = pageD = nullptr;
        d.reset();
        c.reset();
        b.reset();
        a.reset();
        main.reset();
    }
    struct Snapshot {
        std::optional<std::size_t> step;
        TWizardChildForm* shown;
        QString title;
        bool back, next, cancel, finish, nextEnabled;
        bool operator==(const Snapshot&) const = default;
    };
    Snapshot snapshot()
    {
        return {main->CurrentStep(), main->ShownPage(), main->windowTitle(),
                main->btnBack.isVisibleTo(main.get()), main->btnNext.isVisibleTo(main.get()),
                main->btnCancel.isVisibleTo(main.get()), main->btnFinish.isVisibleTo(main.get()),
                main->btnNext.isEnabled()};
    }

    std::unique_ptr<TfrmMain> main;
    std::unique_ptr<TestPage> a, b, c, d;
};

}  // namespace

TEST_F(Navigation, VetoOnNextKeepsPageStepAndButtons)
{
    QTest::mouseClick(&main->btnNext, Qt::LeftButton);
    ASSERT_EQ(main->ShownPage(), pageB);
    pageB->veto = 2;
    const Snapshot before = snapshot();
    QTest::mouseClick(&main->btnNext, Qt::LeftButton);
    EXPECT_EQ(pageB->lastPressed, &main->btnNext);
    EXPECT_TRUE(snapshot() == before);
    EXPECT_EQ(pageD->entered, 0);
}

TEST_F(Navigation, VetoOnBackKeepsPageStepAndButtons)
{
    QTest::mouseClick(&main->btnNext, Qt::LeftButton);
    pageB->veto = 2;
    const Snapshot before = snapshot();
    QTest::mouseClick(&main->btnBack, Qt::LeftButton);
    EXPECT_EQ(pageB->lastPressed, &main->btnBack);
    EXPECT_TRUE(snapshot() == before);
    EXPECT_EQ(pageA->entered, 1);
}

TEST_F(Navigation, SkippedPageIsNeitherEnteredNorLeft)
{
    QTest::mouseClick(&main->btnNext, Qt::LeftButton);
    QTest::mouseClick(&main->btnNext, Qt::LeftButton);
    EXPECT_EQ(main->ShownPage(), pageD);
    EXPECT_EQ(main->CurrentStep(), 3u);
    EXPECT_EQ(pageC->entered, 0);
    EXPECT_EQ(pageC->leaving, 0);
    EXPECT_TRUE(pageB->isHidden());
    EXPECT_EQ(main->windowTitle(), "Vantrel Configuration - D");
}

TEST_F(Navigation, NonzeroPageEnteredLeavesTheButtonsAsThePageSetThem)
{
    pageB->enteredResult = 1;
    QTest::mouseClick(&main->btnNext, Qt::LeftButton);
    EXPECT_EQ(main->ShownPage(), pageB);
    EXPECT_FALSE(main->btnBack.isVisibleTo(main.get())) << "buttons stay as on page A";
}

TEST_F(Navigation, NextOnTheLastRowChangesNothing)
{
    QTest::mouseClick(&main->btnNext, Qt::LeftButton);
    QTest::mouseClick(&main->btnNext, Qt::LeftButton);
    const Snapshot before = snapshot();
    main->btnNextClick();
    EXPECT_TRUE(snapshot() == before);
    EXPECT_EQ(pageD->entered, 1);
}

TEST(NavigationTable, AChainWithNoPageForTheFunctionChangesNothing)
{
    // Every later row is masked out: the walk must stop, not spin or run off.
    pageA = nullptr;
    auto first = std::make_unique<TestPage>("first");
    auto only2 = std::make_unique<TestPage>("only2");
    pageA = first.get();
    pageB = only2.get();
    static const std::array<PageStep, 2> loop = {{
        {&ref<pageA>, nullptr, &ref<pageB>, 3},
        {&ref<pageB>, &ref<pageA>, &ref<pageB>, 2},  // points at itself
    }};
    {
        TfrmMain main(loop);
        main.DeviceFunction = 1;
        main.show();
        main.btnNextClick();
        EXPECT_EQ(main.ShownPage(), pageA);
        EXPECT_EQ(main.CurrentStep(), 0u);
    }
    pageA = pageB = nullptr;
}
