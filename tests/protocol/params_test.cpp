#include <gtest/gtest.h>

#include "protocol/params.h"
#include "protocol_test_util.h"

namespace vtrl::protocol::test {
namespace {

class Params : public ::testing::Test {
protected:
    void SetUp() override {
        LocalConfig = DeviceConfig{};
        RemoteConfig = DeviceConfig{};
    }
    int Decode(const Bytes& b) { return DecodeConfigReport(true, b.data(), b.size()); }
};

TEST_F(Params, TwoByteElementsStoredAndCounted) {
    EXPECT_EQ(Decode({0x02, 0x01, 0x01, 0x03, 0x01, 0x0A, 0x00}), 2);
    EXPECT_EQ(LocalConfig.DeviceFunction, 1);
    EXPECT_EQ(LocalConfig.BaudCode, 10);
}

TEST_F(Params, Tag19SkippedWithoutCounting) {
    EXPECT_EQ(Decode({0x13, 0x02, 0xAA, 0xBB, 0x04, 0x01, 0x02, 0x00}), 1);
    EXPECT_EQ(LocalConfig.DataBitsCode, 2);
}

TEST_F(Params, ShortNameKeepsRestOfField) {
    LocalConfig.DeviceName.fill('z');
    EXPECT_EQ(Decode({0x09, 0x05, 0x41, 0x42, 0x43, 0x44, 0x00, 0x00}), 1);
    EXPECT_EQ(std::string(LocalConfig.DeviceName.begin(), LocalConfig.DeviceName.begin() + 5),
              std::string("ABCD\0", 5));
    for (std::size_t i = 5; i < 30; ++i) EXPECT_EQ(LocalConfig.DeviceName[i], 'z');
}

struct ErrorCase {
    const char* name;
    Bytes block;
    int result;
    std::uint8_t deviceFunction;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class DecodeOutcome : public Params, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(DecodeOutcome, ResultAndWhatWasStored) {
    EXPECT_EQ(Decode(GetParam().block), GetParam().result);
    EXPECT_EQ(LocalConfig.DeviceFunction, GetParam().deviceFunction);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, DecodeOutcome,
    ::testing::Values(
        ErrorCase{"InvalidTagFails", {0x14, 0x01, 0x00}, -1, 0},
        ErrorCase{"InvalidTagKeepsEarlierElements", {0x02, 0x01, 0x02, 0x14, 0x01, 0x00}, -1, 2},
        ErrorCase{"ZeroLengthEndsBlock", {0x03, 0x00, 0x02, 0x01, 0x01}, 0, 0},
        ErrorCase{"OnlyTerminator", {0x00}, 0, 0},
        ErrorCase{"EndWithoutTerminatorIsNormal", {0x02, 0x01, 0x02}, 1, 2},
        ErrorCase{"ValuePastEndFails", {0x02, 0x01, 0x02, 0x09, 0x05, 0x41, 0x42}, -1, 2},
        ErrorCase{"LengthBytePastEndFails", {0x02, 0x01, 0x01, 0x03}, -1, 1},
        ErrorCase{"SkippedTagPastEndFails", {0x13, 0x04, 0x00}, -1, 0},
        ErrorCase{"TagAfterTerminatorIgnored", {0x00, 0x05, 0x02, 0x01, 0x02}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Params, OverlongValueCutToFieldWidth) {
    // A 40-byte name and a 3-byte baud code: each is cut to its field, the
    // next fields keep their values, and decoding goes on after the element.
    LocalConfig.LinkTimeout = 0x1234;
    Bytes b = {0x09, 40};
    for (int i = 0; i < 40; ++i) b.push_back(static_cast<std::uint8_t>('a' + i % 26));
    b.insert(b.end(), {0x03, 0x03, 0x07, 0xEE, 0xEE, 0x04, 0x01, 0x02});
    EXPECT_EQ(Decode(b), 3);
    EXPECT_EQ(LocalConfig.DeviceName[29], 'a' + 29 % 26);
    EXPECT_EQ(LocalConfig.LinkTimeout, 0x1234);
    EXPECT_EQ(LocalConfig.BaudCode, 7);
    EXPECT_EQ(LocalConfig.DataBitsCode, 2);
    EXPECT_EQ(LocalConfig.ParityCode, 0);
}

TEST_F(Params, EveryTagReachesItsField) {
    Bytes b;
    auto add = [&](std::uint8_t tag, Bytes v) {
        b.push_back(tag);
        b.push_back(static_cast<std::uint8_t>(v.size()));
        b.insert(b.end(), v.begin(), v.end());
    };
    for (std::uint8_t tag = 1; tag <= 8; ++tag) add(tag, {static_cast<std::uint8_t>(tag * 3)});
    add(9, {'D', 'e', 'v', 0});
    add(10, {0x34, 0x12});
    add(11, {1});
    add(12, {1, 2, 3, 4, 5, 6});
    add(13, Bytes(16, 0x13));
    add(14, {0x23});
    add(15, {1});
    add(16, {1});
    add(17, {'0', '0', '0', '0'});
    add(18, {1});
    EXPECT_EQ(Decode(b), 18);
    const DeviceConfig& c = LocalConfig;
    EXPECT_EQ(c.Tag1Value, 3);
    EXPECT_EQ(c.DeviceFunction, 6);
    EXPECT_EQ(c.BaudCode, 9);
    EXPECT_EQ(c.DataBitsCode, 12);
    EXPECT_EQ(c.ParityCode, 15);
    EXPECT_EQ(c.StopBitsCode, 18);
    EXPECT_EQ(c.FlowControlCode, 21);
    EXPECT_EQ(c.InterfaceCode, 24);
    EXPECT_STREQ(reinterpret_cast<const char*>(c.DeviceName.data()), "Dev");
    EXPECT_EQ(c.LinkTimeout, 0x1234);  // little-endian on the wire
    EXPECT_EQ(c.BondRole, 1);
    EXPECT_EQ(c.BondedAddress, (DeviceAddress{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(c.Tag13Value[15], 0x13);
    EXPECT_EQ(c.PowerByte, 0x23);
    EXPECT_EQ(c.Encryption, 1);
    EXPECT_EQ(c.Authentication, 1);
    EXPECT_STREQ(reinterpret_cast<const char*>(c.PinCode.data()), "0000");
    EXPECT_EQ(c.OutputOnCD, 1);
}

TEST_F(Params, LocalAndRemoteRecordsKeptApart) {
    const Bytes local = {0x02, 0x01, 0x01};
    const Bytes remote = {0x02, 0x01, 0x02, 0x0A, 0x02, 0x10, 0x00};
    EXPECT_EQ(DecodeConfigReport(true, local.data(), local.size()), 1);
    EXPECT_EQ(RemoteConfig.DeviceFunction, 0);
    EXPECT_EQ(DecodeConfigReport(false, remote.data(), remote.size()), 2);
    EXPECT_EQ(LocalConfig.DeviceFunction, 1);
    EXPECT_EQ(LocalConfig.LinkTimeout, 0);
    EXPECT_EQ(RemoteConfig.DeviceFunction, 2);
    EXPECT_EQ(RemoteConfig.LinkTimeout, 0x10);
}

TEST_F(Params, MissingTableOrBlockFails) {
    const Bytes b = {0x02, 0x01, 0x01};
    EXPECT_EQ(DecodeParameterBlock(nullptr, b.data(), b.size()), -1);
    EXPECT_EQ(DecodeParameterBlock(LocalDescriptors(), nullptr, 3), -1);
    EXPECT_EQ(DecodeParameterBlock(LocalDescriptors(), b.data(), 0), 0);
    EXPECT_EQ(LocalConfig.DeviceFunction, 0);
}

TEST(Descriptors, TablesListTags1To18WithWidthsThenEnd) {
    const std::uint8_t widths[] = {1, 1, 1, 1, 1, 1, 1, 1, 30, 2, 1, 6, 16, 1, 1, 1, 16, 1};
    for (const ParameterDescriptor* table : {LocalDescriptors(), RemoteDescriptors()}) {
        for (int i = 0; i < 18; ++i) {
            EXPECT_EQ(table[i].tag, i + 1);
            EXPECT_EQ(table[i].width, widths[i]) << "tag " << i + 1;
            EXPECT_EQ(FindDescriptor(static_cast<std::uint8_t>(i + 1), table), &table[i]);
        }
        EXPECT_EQ(table[18].tag, 0);
        EXPECT_EQ(FindDescriptor(19, table), nullptr);
        EXPECT_EQ(FindDescriptor(0, table), nullptr);
    }
    EXPECT_EQ(LocalDescriptors()[9].field, reinterpret_cast<std::uint8_t*>(&LocalConfig.LinkTimeout));
    EXPECT_EQ(RemoteDescriptors()[9].field, reinterpret_cast<std::uint8_t*>(&RemoteConfig.LinkTimeout));
}

TEST(ReasonText, FiveTextsAndSafeTextForOtherCodes) {
    EXPECT_EQ(ReasonText(0), "Checksum Failure");
    EXPECT_EQ(ReasonText(1), "Unknown Command");
    EXPECT_EQ(ReasonText(2), "Device Busy");
    EXPECT_EQ(ReasonText(3), "Process Timed Out");
    EXPECT_EQ(ReasonText(4), "Error Executing Command");
    EXPECT_EQ(ReasonText(5), "Unknown Reason Code 5");
    EXPECT_EQ(ReasonText(255), "Unknown Reason Code 255");
    EXPECT_EQ(ReasonText(-1), "Unknown Reason Code -1");
}

}  // namespace
}  // namespace vtrl::protocol::test
