#include <gtest/gtest.h>

#include <set>

#include "protocol/delivery.h"
#include "protocol_test_util.h"

namespace vtrl::protocol::test {
namespace {

class RecordingSink : public NotificationSink {
public:
    bool Post(Notification n) override {
        posted.push_back(std::move(n));
        return accept;
    }
    std::vector<Notification> posted;
    bool accept = true;
};

// Runs bytes through the receiver into DeliverPacket, as the shell wires them.
std::vector<Notification> Deliver(const Bytes& bytes) {
    RecordingSink sink;
    PacketReceiver rx([&](const Packet& p) { DeliverPacket(&p, sink); });
    rx.ReceiveBytes(bytes.data(), static_cast<std::uint16_t>(bytes.size()));
    return std::move(sink.posted);
}

TEST(Delivery, ConfirmationOfUpdateFlashFromWireBytes) {
    const auto n = Deliver({0x5D, 0x02, 0x07, 0x01, 0x00, 0x0E, 0x63, 0x96, 0xBF, 0x00});
    ASSERT_EQ(n.size(), 1U);
    EXPECT_EQ(n[0].message, MsgConfirmation);
    EXPECT_EQ(n[0].block, Bytes{14});
}

struct TableCase {
    const char* name;
    std::uint8_t type;
    std::uint16_t length;
    std::uint32_t message;        // 0: dropped
    std::optional<std::size_t> block;  // none: no block
};

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.name; }

class DeliveryTable : public ::testing::TestWithParam<TableCase> {};

TEST_P(DeliveryTable, MessageAndZeroPaddedBlock) {
    const auto& c = GetParam();
    Bytes payload(c.length);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(0xA0 + (i % 16));
    const auto n = Deliver(Frame(c.type, 0, payload));
    if (c.message == 0) {
        EXPECT_TRUE(n.empty());
        return;
    }
    ASSERT_EQ(n.size(), 1U);
    EXPECT_EQ(n[0].message, c.message);
    ASSERT_EQ(n[0].block.has_value(), c.block.has_value());
    if (!c.block) return;
    const Bytes& b = *n[0].block;
    ASSERT_EQ(b.size(), *c.block);
    for (std::size_t i = 0; i < b.size(); ++i) {
        ASSERT_EQ(b[i], i < payload.size() ? payload[i] : 0) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, DeliveryTable,
    ::testing::Values(
        TableCase{"NegativeResponse", 1, 2, MsgNegativeResponse, 2},
        TableCase{"NegativeResponseTooLong", 1, 3, 0, {}},
        TableCase{"NegativeResponseTooShort", 1, 1, 0, {}},
        TableCase{"Confirmation", 2, 1, MsgConfirmation, 1},
        TableCase{"ConfirmationEmpty", 2, 0, 0, {}},
        TableCase{"LocalAddress", 3, 6, MsgLocalAddress, 6},
        TableCase{"LocalAddressTooLong", 3, 7, 0, {}},
        TableCase{"InquiryResultPadded", 5, 20, MsgInquiryResult, 257},
        TableCase{"InquiryResultFull", 5, 257, MsgInquiryResult, 257},
        TableCase{"InquiryResultTooLong", 5, 258, 0, {}},
        TableCase{"InquiryCompleteNoBlock", 6, 0, MsgInquiryComplete, {}},
        TableCase{"InquiryCompleteAnyPayload", 6, 299, MsgInquiryComplete, {}},
        TableCase{"BondResult", 8, 1, MsgBondResult, 1},
        TableCase{"BondResultTooLong", 8, 2, 0, {}},
        TableCase{"ConnectionStatus", 9, 1, MsgConnectionStatus, 1},
        TableCase{"ConfigReportEmpty", 17, 0, MsgConfigReport, 309},
        TableCase{"ConfigReportLargest", 17, 299, MsgConfigReport, 309},
        TableCase{"VersionInfo", 32, 102, MsgVersionInfo, 102},
        TableCase{"VersionInfoShort", 32, 40, MsgVersionInfo, 102},
        TableCase{"VersionInfoTooLong", 32, 103, 0, {}},
        TableCase{"Type0", 0, 1, 0, {}}, TableCase{"Type4", 4, 2, 0, {}}, TableCase{"Type7", 7, 1, 0, {}},
        TableCase{"Type10", 10, 1, 0, {}}, TableCase{"Type16", 16, 6, 0, {}}, TableCase{"Type18", 18, 1, 0, {}},
        TableCase{"Type31", 31, 1, 0, {}}, TableCase{"Type33", 33, 1, 0, {}}, TableCase{"Type255", 255, 1, 0, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Delivery, EveryUnlistedTypeDropped) {
    // Of the listed types these accept a one-byte payload.
    const std::set<int> acceptsOneByte = {2, 5, 6, 8, 9, 17, 32};
    RecordingSink sink;
    for (int type = 0; type < 256; ++type) {
        Packet p;
        p.type = static_cast<std::uint8_t>(type);
        p.length = 1;
        EXPECT_EQ(DeliverPacket(&p, sink), acceptsOneByte.count(type) == 1) << type;
    }
}

TEST(Delivery, NullRecordPostsNothing) {
    RecordingSink sink;
    EXPECT_FALSE(DeliverPacket(nullptr, sink));
    EXPECT_TRUE(sink.posted.empty());
}

TEST(Delivery, PaddingIsZeroEvenForRecordNotZeroedBeyondLength) {
    Packet p;
    p.type = ConfigReport;
    p.length = 2;
    p.payload.fill(0xCC);
    RecordingSink sink;
    ASSERT_TRUE(DeliverPacket(&p, sink));
    const Bytes& b = *sink.posted.at(0).block;
    EXPECT_EQ(b[0], 0xCC);
    EXPECT_EQ(b[1], 0xCC);
    for (std::size_t i = 2; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << i;
}

TEST(Delivery, FailingSinkReportsFalseAndLeaksNothing) {
    // A target that is gone drops the notification; the block goes with it
    // (a leak fails the sanitizer run).
    struct GoneTarget : NotificationSink {
        bool Post(Notification) override { return false; }
    } sink;
    Packet p;
    p.type = ConfigReport;
    p.length = 5;
    EXPECT_FALSE(DeliverPacket(&p, sink));
}

}  // namespace
}  // namespace vtrl::protocol::test
