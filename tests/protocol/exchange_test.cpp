// Which send an answer belongs to: every rule of the ledger as one table of
// sends, give-ups and arrivals, each arrival with the send it must be
// credited to.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/exchange.h"
#include "protocol_test_util.h"

namespace vtrl::protocol::test {
namespace {

using std::chrono::milliseconds;

// One event of a row. Sends are numbered in the order they appear.
struct Event {
    enum Kind { Send, GiveUp, Arrive, Clear } kind;
    CommandType command{};  // Send
    Owner owner = 1;        // Send
    int send = -1;          // GiveUp: which send; Arrive: the send it must be credited to (-1: none)
    std::uint32_t message = 0;
    Bytes block;            // Arrive
    Verdict verdict = Verdict::Answer;
    bool late = false;      // Arrive: credited as late
    int at = 0;             // milliseconds since the row began
    std::uint8_t frame = 0; // Arrive: the frame's own sequence (0: a fresh one)
};

Event S(CommandType c, int at = 0, Owner owner = 1) { return {Event::Send, c, owner, -1, 0, {}, Verdict::Answer, false, at}; }
Event Up(int send, int at) { return {Event::GiveUp, {}, 0, send, 0, {}, Verdict::Answer, false, at}; }
Event A(std::uint32_t message, Bytes block, int send, Verdict v = Verdict::Answer, bool late = false, int at = 0)
{
    return {Event::Arrive, {}, 0, send, message, std::move(block), v, late, at};
}
Event Late(std::uint32_t message, Bytes block, int send, int at) { return A(message, std::move(block), send, Verdict::Answer, true, at); }
Event Closed() { return {Event::Clear, {}, 0, -1, 0, {}, Verdict::Answer, false, 0}; }
Event Unasked(std::uint32_t message, Bytes block, int at = 0) { return A(message, std::move(block), -1, Verdict::Unasked, false, at); }

struct Row {
    const char* name;
    std::vector<Event> events;
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

const Bytes C10{10}, C11{11}, C12{12}, C14{14};

const Row kRows[] = {
    {"AnswersInOrderGoToTheirOwnSends",
     {S(SetPortConfig), S(SetDeviceConfig), A(MsgConfirmation, C10, 0), A(MsgConfirmation, C11, 1)}},
    {"LateAnswerAfterATimeOutIsCreditedToTheSendItAnswers",
     {S(SetPortConfig), Up(0, 5000), S(GetVersion, 6000), Late(MsgConfirmation, C10, 0, 7000),
      A(MsgVersionInfo, Bytes(102), 1, Verdict::Answer, false, 7001)}},
    // The device took 19200 and answers late; 38400 is refused at once.
    {"RefusalEndsTheWaitingSendAndTheLateAnswerStillBelongsToTheFirst",
     {S(SetPortConfig), Up(0, 5000), S(SetDeviceConfig, 6000), A(MsgNegativeResponse, {0, 2}, 1, Verdict::Refusal),
      Late(MsgConfirmation, C10, 0, 7000)}},
    {"RefusalIsMatchedByOrderNotByItsFirstByte",
     {S(SetPortConfig), S(SetPortConfig), A(MsgNegativeResponse, {11, 2}, 0, Verdict::Refusal),
      A(MsgConfirmation, C10, 1)}},
    {"LostAnswerIsNotTakenByTheNextSendOfItsKindAfterTheGrace",
     {S(SetPortConfig), Up(0, 5000), S(SetPortConfig, 10000), A(MsgConfirmation, C10, 1, Verdict::Answer, false, 10100)}},
    {"AnsweredNewerSendMeansAnOlderLateOneWasLost",
     {S(GetVersion), Up(0, 2000), S(GetLocalAddress, 2100), A(MsgLocalAddress, Bytes(6), 1),
      Unasked(MsgVersionInfo, Bytes(102))}},
    {"NothingSentMeansUnasked",
     {Unasked(MsgConfirmation, C10), Unasked(MsgBondResult, {0}), Unasked(MsgConnectionStatus, {2}),
      Unasked(MsgInquiryResult, Bytes(257)), Unasked(MsgNegativeResponse, {1, 2})}},
    {"RetransmittedFrameIsARepeat",
     {S(SetPortConfig), {Event::Arrive, {}, 0, 0, MsgConfirmation, C10, Verdict::Answer, false, 0, 7},
      S(SetPortConfig), {Event::Arrive, {}, 0, -1, MsgConfirmation, C10, Verdict::Repeat, false, 0, 7},
      {Event::Arrive, {}, 0, 1, MsgConfirmation, C10, Verdict::Answer, false, 0, 8}}},
    // A port page left while waiting; the device page sends; the device answers both in order.
    {"TwoPagesSendsInterleavedEachGetsItsOwn",
     {S(SetPortConfig, 0, 1), Up(0, 3000), S(SetDeviceConfig, 3500, 2), Late(MsgConfirmation, C10, 0, 6500),
      A(MsgConfirmation, C11, 1, Verdict::Answer, false, 6501)}},
    {"ConfigReportIsMatchedByTheSequenceItCarries",
     {S(GetConfig), S(GetConfig), A(MsgConfigReport, {1}, 1), A(MsgConfigReport, {0}, 0),
      Unasked(MsgConfigReport, {0})}},
    {"BondingTakesItsResultThenTheLinkReportsUntilTheLinkIsUp",
     {S(InitiateBonding), A(MsgBondResult, {0}, 0), A(MsgConnectionStatus, {0}, 0), A(MsgConnectionStatus, {2}, 0),
      Unasked(MsgConnectionStatus, {2})}},
    {"FailedBondingExpectsNoLinkReport", {S(InitiateBonding), A(MsgBondResult, {1}, 0), Unasked(MsgConnectionStatus, {2})}},
    {"NewerBondingTakesTheLinkReportsOfAPing",
     {S(PingRequest), A(MsgConfirmation, C12, 0), Up(0, 5000), S(InitiateBonding, 5100), A(MsgBondResult, {0}, 1),
      A(MsgConnectionStatus, {2}, 1)}},
    {"ConfirmationNamingNobodysCommandIsToldToTheWaitingOneWhichWaitsOn",
     {S(GetVersion), S(UpdateFlash), A(MsgConfirmation, C11, 1, Verdict::Misnamed), A(MsgConfirmation, C14, 1),
      Unasked(MsgConfirmation, C14)}},
    {"InquiryCollectsResultsUntilItsEnd",
     {S(InitiateInquiry), A(MsgInquiryResult, Bytes(257), 0), A(MsgInquiryResult, Bytes(257, 1), 0),
      A(MsgInquiryComplete, {}, 0), Unasked(MsgInquiryResult, Bytes(257, 2))}},
    {"ClosedPortForgetsEverySend", {S(SetPortConfig), Closed(), Unasked(MsgConfirmation, C10)}},
};

class Ledger : public ::testing::TestWithParam<Row> {};

TEST_P(Ledger, CreditsEachAnswerToTheSendItAnswers)
{
    ExchangeLedger ledger;
    const Clock::time_point t0{};
    std::vector<ExchangeId> sends;
    std::uint8_t frame = 100;
    int step = 0;
    for (const Event& e : GetParam().events) {
        SCOPED_TRACE("event " + std::to_string(step++));
        const Clock::time_point now = t0 + milliseconds(e.at);
        switch (e.kind) {
        case Event::Send: {
            const Bytes payload(e.command == SetPortConfig ? 14 : 6, 0);
            sends.push_back(ledger.Sent(e.command, static_cast<std::uint8_t>(sends.size()), payload, e.owner, now));
            ASSERT_NE(sends.back(), 0U);
            break;
        }
        case Event::GiveUp:
            ledger.GiveUp(sends.at(static_cast<std::size_t>(e.send)), now);
            break;
        case Event::Clear:
            ledger.Clear();
            break;
        case Event::Arrive: {
            Notification n;
            n.message = e.message;
            n.sequence = e.frame ? e.frame : frame++;
            if (e.message != MsgInquiryComplete)
                n.block = e.block;
            const Tag tag = ledger.Match(n, now);
            EXPECT_EQ(tag.verdict, e.verdict);
            EXPECT_EQ(tag.Id(), e.send < 0 ? 0 : sends.at(static_cast<std::size_t>(e.send)));
            if (tag.exchange) {
                EXPECT_EQ(tag.exchange->late, e.late);
            }
            break;
        }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Ledger, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// A send of a kind waits while another of its kind may still be answered:
// otherwise that answer could not be told from its own.
TEST(Ledger, SendOfAKindWaitsOutTheGraceOfOneGivenUp)
{
    ExchangeLedger ledger;
    const Clock::time_point t0{};
    const Bytes payload(14, 0);
    const ExchangeId first = ledger.Sent(SetPortConfig, 1, payload, 7, t0);
    EXPECT_FALSE(ledger.MaySend(SetPortConfig, t0 + milliseconds(100)));
    EXPECT_TRUE(ledger.MaySend(SetDeviceConfig, t0 + milliseconds(100)));
    EXPECT_TRUE(ledger.MaySend(GetConfig, t0 + milliseconds(100)));
    ledger.GiveUp(first, t0 + milliseconds(5000));
    EXPECT_TRUE(ledger.AnyOpen(7));
    EXPECT_FALSE(ledger.Waiting(first));
    EXPECT_FALSE(ledger.MaySend(SetPortConfig, t0 + milliseconds(9999)));
    EXPECT_TRUE(ledger.MaySend(SetPortConfig, t0 + milliseconds(10000)));
    ledger.Sent(SetPortConfig, 2, payload, 8, t0 + milliseconds(10000));
    EXPECT_FALSE(ledger.AnyOpen(7)) << "the first send counts as lost once another of its kind went out";
}

// The sender enters what it wrote, with the unit addressed and its owner.
TEST(Ledger, SenderEntersEveryCommandWritten)
{
    RecordingWriter port;
    PacketSender packets(port);
    ExchangeLedger ledger;
    CommandSender commands(packets, &ledger);
    const DeviceAddress remote{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(commands.As(3).SendSetRemotePortConfig(2, 6, remote, 2, 1, 1, 1, 0x13, 1), 0);
    const ExchangeId id = commands.LastExchange();
    Notification n{MsgConfirmation, 9, Bytes{10}};
    const Tag tag = ledger.Match(n);
    ASSERT_TRUE(tag.Answers(id));
    EXPECT_EQ(tag.exchange->unit, remote);
    EXPECT_EQ(tag.exchange->owner, 3U);
    EXPECT_EQ(tag.exchange->payload.at(12), 0x13);
    port.result = -1;
    EXPECT_EQ(commands.SendUpdateFlash(), -1);
    EXPECT_EQ(commands.LastExchange(), 0U) << "a frame not written is not awaited";
    port.result = 0;
    EXPECT_EQ(commands.SendAbort(), 0);
    EXPECT_EQ(commands.LastExchange(), 0U) << "Abort is not answered";
}

}  // namespace
}  // namespace vtrl::protocol::test
