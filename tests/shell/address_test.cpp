#include "shell/deviceaddress.h"

#include <gtest/gtest.h>

using vtrl::DeviceAddress;
using vtrl::FormatDeviceAddress;
using vtrl::ParseDeviceAddress;

TEST(DeviceAddressText, MostSignificantByteComesFirst)
{
    const DeviceAddress bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
    EXPECT_EQ(FormatDeviceAddress(bytes), "AB8967452301");
    EXPECT_EQ(ParseDeviceAddress("AB8967452301"), bytes);
}

TEST(DeviceAddressText, LowerCaseIsReadAndUpperCaseWritten)
{
    const auto parsed = ParseDeviceAddress("0a0b0c0d0e0f");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(FormatDeviceAddress(*parsed), "0A0B0C0D0E0F");
}

TEST(DeviceAddressText, ExtremesRoundTrip)
{
    for (const DeviceAddress a : {DeviceAddress{}, DeviceAddress{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}})
        EXPECT_EQ(ParseDeviceAddress(FormatDeviceAddress(a)), a);
}

class BadAddressText : public ::testing::TestWithParam<const char*> {};

TEST_P(BadAddressText, IsRefusedWithoutAPartialAddress)
{
    EXPECT_EQ(ParseDeviceAddress(QString::fromUtf8(GetParam())), std::nullopt) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BadAddressText,
    ::testing::Values("", "AB896745230", "AB89674523010", "AB8967452301 ", " AB8967452301",
                      "AB89 7452301", "AB89674523G1", "+B8967452301", "-B8967452301",
                      "0xAB89674523", "AB:89:67:45", "AB896745230\xC3\xA9", "ＡB8967452301"));
