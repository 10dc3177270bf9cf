// The Advanced dialog as each kind of page opens it: what it offers, and what
// OK and Cancel leave in the page's values.
#include "advancedfixture.h"

#include <gtest/gtest.h>

using namespace vtrl;
using namespace vtrl::testing;

namespace {

struct PortRow {
    const char* name;
    int powerClass;
    int level;
    bool dce;
    std::uint8_t cd;
    bool ok;
    std::function<void(TfAdvanced&)> act;
    QStringList offered;
    int selected;
    int levelAfter;
    std::uint8_t cdAfter;
};

const QStringList kFive{"0", "1", "2", "3", "4"};
const QStringList kEight{"0", "1", "2", "3", "4", "5", "6", "7"};

class PortAdvanced : public ::testing::TestWithParam<PortRow> {};

TEST_P(PortAdvanced, OffersTheClassLevelsAndReadsBackOnlyOnOk)
{
    const PortRow& row = GetParam();
    QWidget page;
    PortAdvancedValues values{row.level, row.powerClass, row.cd};
    AdvancedAnswer answer(row.ok, row.act);
    EXPECT_EQ(RunPortAdvanced(&page, row.dce, values), row.ok);
    ASSERT_TRUE(answer.seen.shown);
    EXPECT_EQ(answer.seen.levels, row.offered);
    EXPECT_EQ(answer.seen.selectedLevel, row.selected);
    EXPECT_TRUE(answer.seen.powerVisible);
    EXPECT_TRUE(answer.seen.cdGroupVisible);
    EXPECT_FALSE(answer.seen.linkTimeoutVisible);
    EXPECT_FALSE(answer.seen.lkInitVisible);
    EXPECT_EQ(answer.seen.outOnCDEnabled, row.dce);
    EXPECT_EQ(answer.seen.outOnCDChecked, row.dce && row.cd != 0);
    EXPECT_EQ(values.PowerLevel, row.levelAfter);
    EXPECT_EQ(values.PowerClass, row.powerClass) << "the class is never changed";
    EXPECT_EQ(values.OutputOnCD, row.cdAfter);
    EXPECT_EQ(fAdvanced, nullptr) << "the dialog lives for one opening";
}

void Pick(TfAdvanced& d, int level)
{
    d.cbPowerLevel.setCurrentIndex(level);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortAdvanced,
    ::testing::Values(
        PortRow{"Class1Level6LoweredEvenOnCancel", 0x10, 6, true, 1, false, {}, kFive, 4, 4, 1},
        PortRow{"Class2KeepsLevel6", 0x20, 6, true, 0, true, {}, kEight, 6, 6, 0},
        PortRow{"DteForcesCdOffOnOk", 0x10, 2, false, 1, true, {}, kFive, 2, 2, 0},
        PortRow{"DteCancelKeepsCd", 0x10, 2, false, 1, false, {}, kFive, 2, 2, 1},
        PortRow{"OkTakesChosenLevelAndCd", 0x20, 1, true, 0, true,
                [](TfAdvanced& d) { Pick(d, 7); d.cbOutOnCD.setChecked(true); }, kEight, 1, 7, 1},
        PortRow{"CancelReadsNothing", 0x20, 1, true, 0, false,
                [](TfAdvanced& d) { Pick(d, 7); d.cbOutOnCD.setChecked(true); }, kEight, 1, 1, 0},
        // No entry selected: the level stays one the dialog offers.
        PortRow{"Class2Level9WithoutSelectionBecomes7", 0x20, 9, true, 0, true, {}, kEight, -1, 7, 0},
        PortRow{"ClearedSelectionKeepsLevel", 0x10, 3, true, 0, true, [](TfAdvanced& d) { Pick(d, -1); }, kFive,
                3, 3, 0},
        PortRow{"UnknownClassLikeClass1", 0x00, 15, true, 0, true, {}, kFive, 4, 4, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct DeviceRow {
    const char* name;
    bool authentication;
    std::uint16_t timeout;
    bool reset;
    bool ok;
    std::function<void(TfAdvanced&)> act;
    int shownTimeout;
    std::uint16_t timeoutAfter;
    bool resetAfter;
};

class DeviceAdvanced : public ::testing::TestWithParam<DeviceRow> {};

TEST_P(DeviceAdvanced, ShowsLinkSettingsOnlyAndReadsBackOnlyOnOk)
{
    const DeviceRow& row = GetParam();
    QWidget page;
    std::uint16_t timeout = row.timeout;
    bool reset = row.reset;
    AdvancedAnswer answer(row.ok, row.act);
    EXPECT_EQ(RunDeviceAdvanced(&page, row.authentication, timeout, reset), row.ok);
    ASSERT_TRUE(answer.seen.shown);
    EXPECT_FALSE(answer.seen.powerVisible);
    EXPECT_FALSE(answer.seen.cdGroupVisible);
    EXPECT_TRUE(answer.seen.linkTimeoutVisible);
    EXPECT_EQ(answer.seen.lkInitVisible, row.authentication);
    EXPECT_EQ(answer.seen.lkInitChecked, row.reset);
    EXPECT_EQ(answer.seen.linkTimeout, row.shownTimeout);
    EXPECT_EQ(timeout, row.timeoutAfter);
    EXPECT_EQ(reset, row.resetAfter);
}

void Type(TfAdvanced& d, const char* text)
{
    d.seLinkTimeout.setFocus();
    d.seLinkTimeout.selectAll();
    QTest::keyClicks(&d.seLinkTimeout, QString::fromLatin1(text));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceAdvanced,
    ::testing::Values(
        DeviceRow{"Timeout55ShownAndStoredAs40", true, 55, false, true, {}, 40, 40, false},
        DeviceRow{"ResetTicked", true, 20, false, true, [](TfAdvanced& d) { d.cbLKInit.setChecked(true); }, 20, 20,
                  true},
        DeviceRow{"ResetHiddenWithoutAuthentication", false, 20, true, true, {}, 20, 20, false},
        DeviceRow{"CancelWritesNothing", true, 55, false, false,
                  [](TfAdvanced& d) { d.cbLKInit.setChecked(true); Type(d, "7"); }, 40, 55, false},
        DeviceRow{"TypedNumber", true, 20, false, true, [](TfAdvanced& d) { Type(d, "7"); }, 20, 7, false},
        DeviceRow{"TypedTextKeepsLastNumber", true, 12, false, true, [](TfAdvanced& d) { Type(d, "x"); }, 12, 12,
                  false},
        DeviceRow{"TypedAboveRangeKeepsInRange", true, 20, false, true, [](TfAdvanced& d) { Type(d, "99"); }, 20, 9,
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
