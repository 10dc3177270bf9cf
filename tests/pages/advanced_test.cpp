// The Advanced dialog as each kind of page opens it: what it offers, and what
// OK and Cancel leave in the page's values.
#include "demo/hands.h"
#include "pages/localdevicesettings.h"

#include <gtest/gtest.h>

using namespace vtrl;
using vtrl::demo::AdvancedAnswer;

namespace {

using Act = std::function<void(TfAdvanced&)>;

struct PortRow {
    const char* name;
    PortAdvancedValues before;
    bool dce;
    bool ok;
    Act act;
    const char* seen;
    int levelAfter;
    std::uint8_t cdAfter;
};

class PortAdvanced : public ::testing::TestWithParam<PortRow> {};

TEST_P(PortAdvanced, OffersTheClassLevelsAndReadsBackOnlyOnOk)
{
    const PortRow& row = GetParam();
    QWidget page;
    PortAdvancedValues values = row.before;
    AdvancedAnswer answer(row.ok, row.act);
    EXPECT_EQ(RunPortAdvanced(&page, row.dce, values), row.ok);
    EXPECT_EQ(answer.seen, row.seen);
    EXPECT_EQ(values.PowerLevel, row.levelAfter);
    EXPECT_EQ(values.PowerClass, row.before.PowerClass);
    EXPECT_EQ(values.OutputOnCD, row.cdAfter);
    EXPECT_EQ(fAdvanced, nullptr) << "the dialog lives for one opening";
}

const Act kLevel7AndCd = [](TfAdvanced& d) {
    d.cbPowerLevel.setCurrentIndex(7);
    d.cbOutOnCD.setChecked(true);
};

INSTANTIATE_TEST_SUITE_P(
    Cases, PortAdvanced,
    ::testing::Values(
        PortRow{"Class1Level6LoweredEvenOnCancel", {6, 0x10, 1}, true, false, {},
                "levels 01234 at 4, cd on, no timeout, no reset", 4, 1},
        PortRow{"Class2KeepsLevel6", {6, 0x20, 0}, true, true, {}, "levels 01234567 at 6, cd off, no timeout, no reset",
                6, 0},
        PortRow{"DteForcesCdOffOnOk", {2, 0x10, 1}, false, true, {},
                "levels 01234 at 2, cd off locked, no timeout, no reset", 2, 0},
        PortRow{"OkTakesChosenLevelAndCd", {1, 0x20, 0}, true, true, kLevel7AndCd,
                "levels 01234567 at 1, cd off, no timeout, no reset", 7, 1},
        PortRow{"CancelReadsNothing", {1, 0x20, 0}, true, false, kLevel7AndCd,
                "levels 01234567 at 1, cd off, no timeout, no reset", 1, 0},
        // No entry selected: the level stays one the dialog offers.
        PortRow{"Class2Level9WithoutSelectionBecomes7", {9, 0x20, 0}, true, true, {},
                "levels 01234567 at -1, cd off, no timeout, no reset", 7, 0},
        PortRow{"ClearedSelectionKeepsLevel", {3, 0x10, 0}, true, true,
                [](TfAdvanced& d) { d.cbPowerLevel.setCurrentIndex(-1); },
                "levels 01234 at 3, cd off, no timeout, no reset", 3, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Rows print by name, so ctest's list does not show raw bytes.
void PrintTo(const PortRow& row, std::ostream* os) { *os << row.name; }

struct DeviceRow {
    const char* name;
    bool authentication;
    std::uint16_t timeout;
    bool reset;
    bool ok;
    Act act;
    const char* seen;
    std::uint16_t timeoutAfter;
    bool resetAfter;
};
void PrintTo(const DeviceRow& row, std::ostream* os) { *os << row.name; }


class DeviceAdvanced : public ::testing::TestWithParam<DeviceRow> {};

TEST_P(DeviceAdvanced, ShowsLinkSettingsOnlyAndReadsBackOnlyOnOk)
{
    const DeviceRow& row = GetParam();
    QWidget page;
    std::uint16_t timeout = row.timeout;
    bool reset = row.reset;
    AdvancedAnswer answer(row.ok, row.act);
    EXPECT_EQ(RunDeviceAdvanced(&page, row.authentication, timeout, reset), row.ok);
    EXPECT_EQ(answer.seen, row.seen);
    EXPECT_EQ(timeout, row.timeoutAfter);
    EXPECT_EQ(reset, row.resetAfter);
}

Act Type(const char* text)
{
    return [text](TfAdvanced& d) {
        d.seLinkTimeout.setFocus();
        d.seLinkTimeout.selectAll();
        QTest::keyClicks(&d.seLinkTimeout, QString::fromLatin1(text));
    };
}

const Act kTick = [](TfAdvanced& d) { d.cbLKInit.setChecked(true); };

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceAdvanced,
    ::testing::Values(
        // OK sends what the operator saw: an operator who meant 40 must get 40.
        DeviceRow{"Timeout55ShownAs40AndOkTakes40", true, 55, false, true, {}, "no levels, no cd, timeout 40, reset off",
                  40, false},
        DeviceRow{"ResetTicked", true, 20, false, true, kTick, "no levels, no cd, timeout 20, reset off", 20, true},
        DeviceRow{"ResetHiddenWithoutAuthentication", false, 20, true, true, kTick,
                  "no levels, no cd, timeout 20, no reset", 20, false},
        DeviceRow{"CancelWritesNothing", true, 55, true, false, Type("7"), "no levels, no cd, timeout 40, reset on", 55,
                  true},
        DeviceRow{"TypedNumber", true, 20, false, true, Type("7"), "no levels, no cd, timeout 20, reset off", 7, false},
        DeviceRow{"TypedTextKeepsLastNumber", true, 12, false, true, Type("x"),
                  "no levels, no cd, timeout 12, reset off", 12, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
