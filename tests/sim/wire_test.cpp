// Framing, CRC and parameter blocks of the simulator, checked against the
// byte vectors the wizard sends and expects.

#include "device.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace vtrl::sim;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace

TEST(SimCrc, MatchesTheStandardCheckValueAndEmptyInput)
{
    EXPECT_EQ(crc32(text("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32(Bytes{}), 0u);
}

struct FrameRow {
    const char* name;
    std::uint8_t type, seq;
    Bytes payload;
    Bytes wire;
};

void PrintTo(const FrameRow& row, std::ostream* os) { *os << row.name; }

class SimFrameEncoding : public testing::TestWithParam<FrameRow> {};

TEST_P(SimFrameEncoding, ProducesTheExactWireBytes)
{
    const auto& row = GetParam();
    EXPECT_EQ(encodeFrame(row.type, row.seq, row.payload), row.wire);
}

INSTANTIATE_TEST_SUITE_P(
    KnownFrames, SimFrameEncoding,
    testing::Values(
        FrameRow{"GetLocalAddressSeq0", 3, 0, {}, {0x5D, 0x03, 0x00, 0x00, 0x00, 0x89, 0x53, 0x14, 0x14}},
        FrameRow{"UpdateFlashSeq5", 14, 5, {}, {0x5D, 0x0E, 0x05, 0x00, 0x00, 0xBF, 0x49, 0xB5, 0xE0}},
        FrameRow{"InitiateInquirySeq1", 4, 1, {0x0A, 0x00},
                 {0x5D, 0x04, 0x01, 0x02, 0x00, 0x0A, 0x00, 0xAE, 0x1C, 0x79, 0x29}},
        FrameRow{"ConfirmationOfFlashSeq7", 2, 7, {0x0E},
                 {0x5D, 0x02, 0x07, 0x01, 0x00, 0x0E, 0x63, 0x96, 0xBF, 0x00}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimFrameParser, ReassemblesAFrameFedOneByteAtATime)
{
    const Bytes wire = encodeFrame(16, 9, Bytes{1, 2, 3, 4, 5, 6});
    FrameParser parser;
    std::vector<Frame> out;
    for (std::uint8_t b : wire)
        parser.feed(std::span(&b, 1), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].crcOk);
    EXPECT_EQ(out[0].type, 16);
    EXPECT_EQ(out[0].seq, 9);
    EXPECT_EQ(out[0].payload, (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(SimFrameParser, ReportsABadCrcFrameAndStillFindsTheNextOne)
{
    Bytes wire = encodeFrame(3, 0, {});
    wire.back() ^= 1;
    const Bytes good = encodeFrame(14, 1, {});
    wire.insert(wire.end(), good.begin(), good.end());
    FrameParser parser;
    std::vector<Frame> out;
    parser.feed(wire, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_FALSE(out[0].crcOk);
    EXPECT_TRUE(out[1].crcOk);
    EXPECT_EQ(out[1].type, 14);
}

TEST(SimFrameParser, StartByteInsidePayloadDoesNotRestart)
{
    const Bytes wire = encodeFrame(11, 2, Bytes{0x00, 0x5D, 0x5D, 0x00});
    FrameParser parser;
    std::vector<Frame> out;
    parser.feed(wire, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].crcOk);
    EXPECT_EQ(out[0].payload, (Bytes{0x00, 0x5D, 0x5D, 0x00}));
}

TEST(SimFrameParser, Accepts299ByteLengthButDropsALengthOf300Unbuffered)
{
    const Bytes big(299, 0x11);
    FrameParser parser;
    std::vector<Frame> out;
    parser.feed(encodeFrame(20, 0, big), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].crcOk);

    out.clear();
    const Bytes header{0x5D, 20, 0, 0x2C, 0x01};   // 300
    parser.feed(header, out);
    EXPECT_FALSE(parser.midFrame());
    EXPECT_EQ(parser.oversized(), 1u);
    parser.feed(encodeFrame(3, 1, {}), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, 3);
}

TEST(SimFrameParser, NoiseBeforeAFrameIsSkipped)
{
    Bytes wire{0x00, 0xFF, 0x13};
    const Bytes f = encodeFrame(3, 0, {});
    wire.insert(wire.end(), f.begin(), f.end());
    FrameParser parser;
    std::vector<Frame> out;
    parser.feed(wire, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].crcOk);
}

// Reads a parameter block the way the wizard does: tag, length, value, up to
// a zero tag or length.
std::map<int, Bytes> decodeBlock(const Bytes& block)
{
    std::map<int, Bytes> out;
    std::size_t i = 0;
    while (i + 2 <= block.size() && block[i] != 0 && block[i + 1] != 0) {
        const std::size_t n = block[i + 1];
        EXPECT_LE(i + 2 + n, block.size()) << "element runs past the block";
        if (i + 2 + n > block.size())
            break;
        out[block[i]] = Bytes(block.begin() + i + 2, block.begin() + i + 2 + n);
        i += 2 + n;
    }
    return out;
}

TEST(SimParameterBlock, CarriesEveryTagWithItsWidthAndValueAndEnds)
{
    DeviceConfig c;
    c.tag1Value = 7;
    c.deviceFunction = 2;
    c.baudCode = 10;
    c.dataBitsCode = 1;
    c.parityCode = 3;
    c.stopBitsCode = 2;
    c.flowControlCode = 2;
    c.interfaceCode = 1;
    c.setName("Pump");
    c.linkTimeout = 0x1234;
    c.bondRole = 2;
    c.bondedAddress = {1, 2, 3, 4, 5, 6};
    c.tag13Value[0] = 0xEE;
    c.powerByte = 0x23;
    c.encryption = 1;
    c.authentication = 1;
    c.setPin("4711");
    c.outputOnCD = 1;

    const Bytes block = encodeParameterBlock(c);
    ASSERT_GE(block.size(), 2u);
    EXPECT_EQ(block[block.size() - 2], 0);   // zero tag element at the end
    auto tags = decodeBlock(block);
    ASSERT_EQ(tags.size(), 18u);
    const std::map<int, std::size_t> widths{{9, 30}, {10, 2}, {12, 6}, {13, 16}, {17, 16}};
    for (const auto& [tag, value] : tags) {
        auto w = widths.find(tag);
        EXPECT_EQ(value.size(), w == widths.end() ? 1u : w->second) << "tag " << tag;
    }
    EXPECT_EQ(tags[1], Bytes{7});
    EXPECT_EQ(tags[2], Bytes{2});
    EXPECT_EQ(tags[3], Bytes{10});
    EXPECT_EQ(tags[4], Bytes{1});
    EXPECT_EQ(tags[5], Bytes{3});   // parity before stop bits in the block
    EXPECT_EQ(tags[6], Bytes{2});
    EXPECT_EQ(tags[7], Bytes{2});
    EXPECT_EQ(tags[8], Bytes{1});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tags[9].data())), "Pump");
    EXPECT_EQ(tags[10], (Bytes{0x34, 0x12}));
    EXPECT_EQ(tags[11], Bytes{2});
    EXPECT_EQ(tags[12], (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(tags[13][0], 0xEE);
    EXPECT_EQ(tags[14], Bytes{0x23});
    EXPECT_EQ(tags[15], Bytes{1});
    EXPECT_EQ(tags[16], Bytes{1});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tags[17].data())), "4711");
    EXPECT_EQ(tags[18], Bytes{1});
}

TEST(SimDeviceConfig, OverlongNameAndPinAreCutAndStayTerminated)
{
    DeviceConfig c;
    c.setName(std::string(40, 'N'));
    c.setPin(std::string(20, '9'));
    EXPECT_EQ(c.name(), std::string(29, 'N'));
    EXPECT_EQ(c.deviceName[29], 0);
    EXPECT_EQ(c.pin(), std::string(15, '9'));
    EXPECT_EQ(c.pinCode[15], 0);
}

TEST(SimAddress, TextIsMostSignificantFirstBytesLeastSignificantFirst)
{
    auto a = parseAddress("001BDC0A1234");
    ASSERT_TRUE(a);
    EXPECT_EQ(*a, (vtrl::DeviceAddress{0x34, 0x12, 0x0A, 0xDC, 0x1B, 0x00}));
    EXPECT_EQ(formatAddress(*a), "001BDC0A1234");
    EXPECT_EQ(parseAddress("00:1b:dc:0a:12:34"), a);
    for (const char* bad : {"", "001BDC0A123", "001BDC0A12345", "001BDC0A12G4", "0x1BDC0A1234"})
        EXPECT_FALSE(parseAddress(bad)) << bad;
}

struct FieldRow {
    int tag;
    const char* value;
    bool ok;
};

TEST(SimDeviceConfig, SetFieldByTagRejectsWhatDoesNotFit)
{
    const FieldRow rows[] = {{3, "10", true},  {3, "256", false}, {10, "65535", true}, {10, "65536", false},
                             {14, "0x12", true}, {12, "001BDC0A1234", true}, {12, "xyz", false},
                             {19, "1", false},  {0, "1", false},  {5, "", false},     {5, "-1", false}};
    for (const auto& row : rows) {
        DeviceConfig c;
        EXPECT_EQ(setConfigField(c, row.tag, row.value), row.ok) << row.tag << "=" << row.value;
    }
    DeviceConfig c;
    ASSERT_TRUE(setConfigField(c, 14, "0x21"));
    EXPECT_EQ(c.powerByte, 0x21);
}
