#include <gtest/gtest.h>

#include "protocol/rules.h"

namespace vtrl::protocol::test {
namespace {

TEST(VersionRule, BlockTooShortToHoldTheDigitsIsRefusedWithoutReadingPastIt)
{
    std::vector<std::uint8_t> block(23, '9');
    EXPECT_TRUE(CheckApplicationVersion(block));
    block.resize(22);
    EXPECT_FALSE(CheckApplicationVersion(block));
    EXPECT_FALSE(CheckApplicationVersion({}));
}

TEST(DeviceAddressText, RoundTripsAndRefusesAnythingButTwelveHexDigits)
{
    const DeviceAddress a{0x78, 0x56, 0x0A, 0xDC, 0x1B, 0x00};
    EXPECT_EQ(FormatAddress(a), "001BDC0A5678");
    EXPECT_EQ(ParseAddress("001bdc0a5678"), a);
    EXPECT_EQ(ParseAddress("00:1B:DC:0A:56:78", true), a);
    for (const char* bad : {"00:1B:DC:0A:56:78", "001BDC0A567", "001BDC0A56789", "+01BDC0A5678", "001BDC0A56 8", ""})
        EXPECT_FALSE(ParseAddress(bad).has_value()) << bad;
}

}  // namespace
}  // namespace vtrl::protocol::test
