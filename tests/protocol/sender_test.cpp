#include <gtest/gtest.h>

#include <string>

#include "protocol/commands.h"
#include "protocol/payloads.h"
#include "protocol/crc32.h"
#include "protocol_test_util.h"

namespace vtrl::protocol::test {
namespace {

TEST(Crc32, StandardCheckValueAndEmptyInput) {
    const std::string digits = "123456789";
    const auto* p = reinterpret_cast<const std::uint8_t*>(digits.data());
    EXPECT_EQ(~UpdateCrc32(0xFFFFFFFFU, p, digits.size()), 0xCBF43926U);
    EXPECT_EQ(~UpdateCrc32(0xFFFFFFFFU, p, 0), 0U);
}

TEST(Crc32, SplitInputGivesSameRegisterAsWholeInput) {
    const Bytes data = {0x5D, 0x11, 0x00, 0x03, 0x00, 0xFF, 0x00, 0x5D};
    std::uint32_t reg = 0xFFFFFFFFU;
    for (std::uint8_t b : data) reg = UpdateCrc32(reg, &b, 1);
    EXPECT_EQ(reg, UpdateCrc32(0xFFFFFFFFU, data.data(), data.size()));
}

struct WireCase {
    const char* name;
    std::uint8_t counter;
    int (*send)(CommandSender&);
    Bytes expected;
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class CommandWireBytes : public ::testing::TestWithParam<WireCase> {};

TEST_P(CommandWireBytes, WritesExactFrame) {
    RecordingWriter port;
    PacketSender sender(port);
    sender.SetSequence(GetParam().counter);
    CommandSender commands(sender);
    EXPECT_GE(GetParam().send(commands), 0);
    ASSERT_EQ(port.frames.size(), 1U);
    EXPECT_EQ(port.frames[0], GetParam().expected);
    EXPECT_EQ(sender.Sequence(), static_cast<std::uint8_t>(GetParam().counter + 1));
}

const DeviceAddress kAddr = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandWireBytes,
    ::testing::Values(
        WireCase{"GetLocalAddress", 0, [](CommandSender& c) { return c.SendGetLocalAddress(); },
                 {0x5D, 0x03, 0x00, 0x00, 0x00, 0x89, 0x53, 0x14, 0x14}},
        WireCase{"UpdateFlash", 5, [](CommandSender& c) { return c.SendUpdateFlash(); },
                 {0x5D, 0x0E, 0x05, 0x00, 0x00, 0xBF, 0x49, 0xB5, 0xE0}},
        WireCase{"InitiateInquiry", 1, [](CommandSender& c) { return c.SendInitiateInquiry(); },
                 {0x5D, 0x04, 0x01, 0x02, 0x00, 0x0A, 0x00, 0xAE, 0x1C, 0x79, 0x29}},
        WireCase{"Abort", 9, [](CommandSender& c) { return c.SendAbort(); }, Frame(13, 9, {3})},
        WireCase{"InitiateBonding", 2, [](CommandSender& c) { return c.SendInitiateBonding(kAddr); },
                 Frame(7, 2, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66})},
        WireCase{"PingRequest", 3, [](CommandSender& c) { return c.SendPingRequest(kAddr); },
                 Frame(12, 3, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66})},
        WireCase{"GetConfig", 4, [](CommandSender& c) { return c.SendGetConfig(kAddr); },
                 Frame(16, 4, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66})},
        WireCase{"GetVersion", 255, [](CommandSender& c) { return c.SendGetVersion(DeviceAddress{}); },
                 Frame(32, 255, {0, 0, 0, 0, 0, 0})},
        // Stop bits go before parity on the wire.
        WireCase{"SetLocalPortConfigStopBitsBeforeParity", 0,
                 [](CommandSender& c) {
                     return c.SendSetLocalPortConfig({.baud = 10, .dataBits = 2, .stopBits = 1, .parity = 3,
                                                      .interfaceCode = 2, .flowControl = 3, .powerByte = 0x25, .cdOutput = 1});
                 },
                 Frame(10, 0, {0, 0, 0, 0, 0, 0, 10, 2, 1, 3, 2, 3, 0x25, 1})},
        WireCase{"SetRemotePortConfigCarriesAddress", 0,
                 [](CommandSender& c) {
                     return c.SendSetRemotePortConfig(kAddr, {.baud = 6, .dataBits = 1, .stopBits = 2, .parity = 2,
                                                              .interfaceCode = 1, .flowControl = 2, .powerByte = 0x13});
                 },
                 Frame(10, 0, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 6, 1, 2, 2, 1, 2, 0x13, 0})}),
    [](const auto& info) { return std::string(info.param.name); });

Bytes DeviceConfigPayload(std::string_view name, bool auth, bool enc, const std::array<std::uint8_t, 16>& pin,
                          bool reset, std::uint8_t timeout = 7) {
    RecordingWriter port;
    PacketSender sender(port);
    CommandSender commands(sender);
    DeviceSettings s;
    s.name = name;
    s.linkTimeout = timeout;
    s.authentication = auth;
    s.encryption = enc;
    s.pin = pin;
    s.resetLinkKeys = reset;
    EXPECT_EQ(commands.SendSetDeviceConfig(s), 0);
    EXPECT_EQ(port.frames.size(), 1U);
    const Bytes& f = port.frames.at(0);
    EXPECT_EQ(f.size(), 51U + 9U);
    EXPECT_EQ(f[1], SetDeviceConfig);
    return Bytes(f.begin() + 5, f.end() - 4);
}

TEST(SetDeviceConfig, LaysOutFieldsAtTheirOffsets) {
    std::array<std::uint8_t, 16> pin{};
    pin[0] = '1', pin[1] = '2', pin[2] = '3', pin[3] = '4';
    const Bytes p = DeviceConfigPayload("Pump 7", true, false, pin, true, 200);
    EXPECT_EQ(std::string(p.begin(), p.begin() + 6), "Pump 7");
    for (int i = 6; i < 30; ++i) EXPECT_EQ(p[i], 0) << i;
    EXPECT_EQ(p[30], 200);
    EXPECT_EQ(p[31], 0);
    EXPECT_EQ(p[32], 0);  // encryption
    EXPECT_EQ(p[33], 1);  // authentication
    EXPECT_EQ(Bytes(p.begin() + 34, p.begin() + 50), Bytes(pin.begin(), pin.end()));
    EXPECT_EQ(p[50], 1);
}

TEST(SetDeviceConfig, ResetLinkKeysSentAsZeroWhenAuthenticationIsOff) {
    const Bytes p = DeviceConfigPayload("x", false, true, {}, true);
    EXPECT_EQ(p[32], 1);
    EXPECT_EQ(p[33], 0);
    EXPECT_EQ(p[50], 0);
}

TEST(SetDeviceConfig, OverlongNameIsCutTo29AndDoesNotSpillIntoLinkTimeout) {
    const std::string name(40, 'N');
    const Bytes p = DeviceConfigPayload(name, false, false, {}, false, 9);
    EXPECT_EQ(std::string(p.begin(), p.begin() + 29), std::string(29, 'N'));
    EXPECT_EQ(p[29], 0);
    EXPECT_EQ(p[30], 9);
    EXPECT_EQ(p[31], 0);
}

TEST(SetDeviceConfig, PinOfSixteenCharactersIsCutTo15AndTerminated) {
    std::array<std::uint8_t, 16> pin;
    pin.fill('9');
    const Bytes p = DeviceConfigPayload("x", true, false, pin, false);
    EXPECT_EQ(Bytes(p.begin() + 34, p.begin() + 49), Bytes(15, '9'));
    EXPECT_EQ(p[49], 0);
    EXPECT_EQ(p[50], 0);
}

TEST(Sequence, NumberedCommandsReturnTheSequenceTheyCarried) {
    RecordingWriter port;
    PacketSender sender(port);
    sender.SetSequence(254);
    CommandSender commands(sender);
    EXPECT_EQ(commands.SendGetConfig(DeviceAddress{}), 254);
    EXPECT_EQ(commands.SendGetConfig(DeviceAddress{}), 255);
    EXPECT_EQ(commands.SendGetLocalAddress(), 0);
    ASSERT_EQ(port.frames.size(), 3U);
    EXPECT_EQ(port.frames[0][2], 254);
    EXPECT_EQ(port.frames[1][2], 255);
    EXPECT_EQ(port.frames[2][2], 0);
}

TEST(Sequence, WrapsBackAfter256Sends) {
    RecordingWriter port;
    PacketSender sender(port);
    sender.SetSequence(17);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(port.frames.size(), static_cast<std::size_t>(i));
        EXPECT_TRUE(sender.SendPacket(UpdateFlash, 0, nullptr));
        EXPECT_EQ(port.frames.back()[2], static_cast<std::uint8_t>(17 + i));
    }
    EXPECT_EQ(sender.Sequence(), 17);
}

struct FailureCase {
    const char* name;
    std::int32_t writeResult;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class WriteFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(WriteFailure, ReportsFailureAndStillAdvancesCounter) {
    RecordingWriter port;
    port.result = GetParam().writeResult;
    PacketSender sender(port);
    sender.SetSequence(40);
    CommandSender commands(sender);
    EXPECT_EQ(commands.SendGetLocalAddress(), -1);
    EXPECT_EQ(commands.SendGetConfig(DeviceAddress{}), -1);
    EXPECT_EQ(commands.SendUpdateFlash(), -1);
    EXPECT_EQ(sender.Sequence(), 43);
    port.result = 0;
    EXPECT_EQ(commands.SendGetConfig(DeviceAddress{}), 43);
}

INSTANTIATE_TEST_SUITE_P(Results, WriteFailure,
                         ::testing::Values(FailureCase{"ErrorCode", -7}, FailureCase{"ShortWrite", 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SendPacket, PayloadOver341BytesRefusedWithoutWriting) {
    RecordingWriter port;
    PacketSender sender(port);
    const Bytes big(400, 0xAB);
    EXPECT_TRUE(sender.SendPacket(0x40, 341, big.data()));
    ASSERT_EQ(port.frames.size(), 1U);
    EXPECT_EQ(port.frames[0].size(), 350U);
    EXPECT_FALSE(sender.SendPacket(0x40, 342, big.data()));
    EXPECT_FALSE(sender.SendPacket(0x40, 0xFFFF, big.data()));
    EXPECT_FALSE(sender.SendPacket(0x40, 3, nullptr));
    EXPECT_EQ(port.calls, 1);
    EXPECT_EQ(sender.Sequence(), 4);  // refused calls use up their numbers too
}

// Every answer and command decodes what its own encoding wrote, and a
// payload too short for its fields gives nothing, never bytes past its end.
TEST(Payloads, DecodeWhatEncodeWroteAndNothingFromAShortPayload) {
    const PortConfigCommand port{kAddr, {6, 2, 1, 3, 2, 3, 0x25, 1}};
    const auto wire = port.Encode();
    const auto back = PortConfigCommand::Decode(wire);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->unit, port.unit);
    EXPECT_EQ(back->settings, port.settings);
    EXPECT_FALSE(PortConfigCommand::Decode(Payload(wire.data(), wire.size() - 1)));

    DeviceSettings device;
    device.name = "Gate 7";
    device.linkTimeout = 300;
    device.authentication = true;
    device.pin = {'4', '2'};
    device.resetLinkKeys = true;
    const auto bytes = device.Encode();
    const auto read = DeviceSettings::Decode(bytes);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->SameAs(device));
    EXPECT_TRUE(read->resetLinkKeys);
    EXPECT_FALSE(DeviceSettings::Decode(Payload(bytes.data(), 50)));

    EXPECT_FALSE(InquiryResultPayload::Decode(Bytes(8)));
    const Bytes named{1, 2, 3, 4, 5, 6, 0, 0, 0, 'V', 'a', 'n'};  // the name runs to the payload's end
    EXPECT_EQ(InquiryResultPayload::Decode(named)->name, "Van");
    EXPECT_FALSE(RefusalPayload::Decode(Bytes{1}));
    EXPECT_EQ(RefusalReason(Bytes{0, 2}), "Device Busy");
    EXPECT_EQ(RefusalReason(std::nullopt), ReasonText(-1));
    EXPECT_FALSE(ConfigReportPayload::Decode(Bytes{}));
    EXPECT_FALSE(DecodeLocalAddress(Bytes(5)));
    EXPECT_EQ(CommandName(SetPortConfig), "SetPortConfig");
    EXPECT_EQ(ResponseName(99), "type 99");
}

}  // namespace
}  // namespace vtrl::protocol::test
