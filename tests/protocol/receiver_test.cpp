#include <gtest/gtest.h>

#include "protocol_test_util.h"

namespace vtrl::protocol::test {
namespace {

class Receiver : public ::testing::Test {
protected:
    PacketReceiver rx{[this](const Packet& p) { got.push_back(p); }};
    std::vector<Packet> got;

    void Feed(const Bytes& b) { rx.ReceiveBytes(b.data(), static_cast<std::uint16_t>(b.size())); }
    void FeedOneByOne(const Bytes& b) {
        for (std::uint8_t x : b) rx.ReceiveBytes(&x, 1);
    }
};

Bytes Payload(std::size_t n) {
    Bytes p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return p;
}

TEST_F(Receiver, FrameSpreadOverSingleByteReadsDeliveredOnce) {
    const Bytes f = Frame(17, 3, Payload(40));
    FeedOneByOne(f);
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].type, 17);
    EXPECT_EQ(got[0].sequence, 3);
    EXPECT_EQ(got[0].length, 40);
    EXPECT_EQ(Bytes(got[0].payload.begin(), got[0].payload.begin() + 40), Payload(40));
}

TEST_F(Receiver, SeveralFramesInOneReadDeliveredInOrder) {
    Bytes all = Frame(2, 1, {10});
    const Bytes second = Frame(3, 2, {1, 2, 3, 4, 5, 6});
    const Bytes third = Frame(6, 3, {});
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), third.begin(), third.end());
    Feed(all);
    ASSERT_EQ(got.size(), 3U);
    EXPECT_EQ(got[0].type, 2);
    EXPECT_EQ(got[1].type, 3);
    EXPECT_EQ(got[2].type, 6);
}

struct LengthCase {
    std::uint16_t length;
    bool delivered;
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.length; }

class ReceiverLength : public Receiver, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(ReceiverLength, AcceptsBelow300AndDropsFrom300) {
    const Bytes f = Frame(17, 0, Payload(GetParam().length));
    Feed(f);
    EXPECT_EQ(got.size(), GetParam().delivered ? 1U : 0U);
    if (GetParam().delivered) {
        EXPECT_EQ(got[0].length, GetParam().length);
    }
    EXPECT_EQ(rx.State(), 0);
}

INSTANTIATE_TEST_SUITE_P(Limits, ReceiverLength,
                         ::testing::Values(LengthCase{0, true}, LengthCase{1, true}, LengthCase{299, true},
                                           LengthCase{300, false}, LengthCase{341, false}));

TEST_F(Receiver, LengthZeroFrameDeliveredAfterNineBytes) {
    const Bytes f = Frame(6, 0, {});
    ASSERT_EQ(f.size(), 9U);
    Feed(Bytes(f.begin(), f.begin() + 8));
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(rx.State(), 9);
    Feed({f[8]});
    EXPECT_EQ(got.size(), 1U);
}

TEST_F(Receiver, OversizedLengthDroppedAtFifthByteAndRestScannedAsNoise) {
    // Length 300: the frame is dropped once the length is complete; the good
    // frame hidden in its "payload" is then found.
    Bytes f = {0x5D, 17, 0, 0x2C, 0x01};
    Feed(f);
    EXPECT_EQ(rx.State(), 0);
    Feed(Frame(2, 0, {14}));
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].payload[0], 14);
}

TEST_F(Receiver, BadCrcDroppedCountedAndHandedToTheRefusedCallbackAndFollowingFrameDelivered) {
    std::vector<Packet> refused;
    PacketReceiver counted([this](const Packet& p) { got.push_back(p); }, [&](const Packet& p) { refused.push_back(p); });
    Bytes bad = Frame(2, 0, {11});
    bad.back() ^= 0x01;
    Bytes all = bad;
    const Bytes good = Frame(2, 1, {14});
    all.insert(all.end(), good.begin(), good.end());
    // An oversized length is no frame at all, so it is not counted.
    all.insert(all.end(), {0x5D, 17, 0, 0x2C, 0x01});
    counted.ReceiveBytes(all.data(), static_cast<std::uint16_t>(all.size()));
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].payload[0], 14);
    EXPECT_EQ(counted.BadCrcFrames(), 1U);
    ASSERT_EQ(refused.size(), 1U);
    EXPECT_EQ(refused[0].payload[0], 11);
    EXPECT_EQ(refused[0].length, 1);
}

TEST_F(Receiver, StartByteInsidePayloadDoesNotRestart) {
    Feed(Frame(5, 0, {0x00, 0x5D, 0x00, 0x5D, 0x5D, 0x01}));
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].length, 6);
    EXPECT_EQ(got[0].payload[1], 0x5D);
}

TEST_F(Receiver, NoiseBeforeFrameIgnored) {
    Bytes all = {0x00, 0xFF, 0x12};
    const Bytes f = Frame(9, 0, {2});
    all.insert(all.end(), f.begin(), f.end());
    Feed(all);
    EXPECT_EQ(got.size(), 1U);
}

TEST_F(Receiver, RecordZeroedBeyondLengthAfterLongerFrame) {
    Feed(Frame(17, 0, Bytes(200, 0xEE)));
    Feed(Frame(17, 1, {0x01}));
    ASSERT_EQ(got.size(), 2U);
    EXPECT_EQ(got[1].payload[0], 0x01);
    for (std::size_t i = 1; i < got[1].payload.size(); ++i) ASSERT_EQ(got[1].payload[i], 0) << i;
}

TEST_F(Receiver, ResetDropsPartialFrameSoNextAnswerIsNotSwallowed) {
    const Bytes partial = {0x5D, 17, 0, 50, 0, 1, 2, 3};
    Feed(partial);
    EXPECT_EQ(rx.State(), 5);
    rx.Reset();
    EXPECT_EQ(rx.State(), 0);
    Feed(Frame(3, 0, {1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(got.size(), 1U);
}

TEST_F(Receiver, NullBufferOrZeroCountChangesNothing) {
    Feed({0x5D, 2});
    rx.ReceiveBytes(nullptr, 10);
    rx.ReceiveBytes(nullptr, 0);
    EXPECT_EQ(rx.State(), 2);
}

}  // namespace
}  // namespace vtrl::protocol::test
