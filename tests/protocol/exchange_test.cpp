// Which send an answer belongs to: every rule of the ledger as one table of
// sends, give-ups and arrivals, each arrival with the send it must be
// credited to.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/exchange.h"
#include "protocol/payloads.h"
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
    std::vector<int> candidates{};  // Arrive, Ambiguous or Misnamed: the sends it may answer
    std::uint8_t value = 0;         // Send: what its payload carries
    bool same = false;              // Arrive: credited as one of several sends that asked the same
};

Event S(CommandType c, int at = 0, Owner owner = 1, std::uint8_t value = 0)
{
    Event e{Event::Send, c, owner, -1, 0, {}, Verdict::Answer, false, at};
    e.value = value;
    return e;
}
Event Up(int send, int at) { return {Event::GiveUp, {}, 0, send, 0, {}, Verdict::Answer, false, at}; }
Event A(std::uint32_t message, Bytes block, int send, Verdict v = Verdict::Answer, bool late = false, int at = 0)
{
    return {Event::Arrive, {}, 0, send, message, std::move(block), v, late, at};
}
Event Late(std::uint32_t message, Bytes block, int send, int at) { return A(message, std::move(block), send, Verdict::Answer, true, at); }
Event Either(std::uint32_t message, Bytes block, std::vector<int> candidates, int at = 0, bool same = false,
             Verdict v = Verdict::Ambiguous)
{
    Event e = A(message, std::move(block), -1, v, false, at);
    e.candidates = std::move(candidates);
    e.same = same;
    return e;
}
Event Same(std::uint32_t message, Bytes block, int send, int at)
{
    Event e = A(message, std::move(block), send, Verdict::Answer, false, at);
    e.same = true;
    return e;
}
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
    {"RefusalWithOneSendOpenIsItsWhateverItsFirstByte",
     {S(SetPortConfig), A(MsgNegativeResponse, {11, 2}, 0, Verdict::Refusal), S(UpdateFlash),
      A(MsgNegativeResponse, {0, 2}, 1, Verdict::Refusal)}},
    // The device page's send is refused late while the port page's waits:
    // either may be the one refused, and the port page's Confirmation that
    // follows may be the answer of either as far as anyone can tell.
    {"RefusalWithTwoSendsOpenIsAmbiguousAndKeepsBothInDoubt",
     {S(SetDeviceConfig, 0, 2), Up(0, 1000), S(SetPortConfig, 2000, 1), Either(MsgNegativeResponse, {0, 2}, {0, 1}, 6000),
      Either(MsgConfirmation, C10, {1}, 6100), Unasked(MsgConfirmation, C11, 6200)}},
    // A late answer, a resend the device lost: the one Confirmation may be either's.
    {"LateAnswerWithAResendOutIsAmbiguousUntilEachHasHadOne",
     {S(SetDeviceConfig, 0, 1, 'F'), Up(0, 1000), S(SetDeviceConfig, 2000, 1, 'S'),
      Either(MsgConfirmation, C11, {0, 1}, 3000), Either(MsgConfirmation, C11, {0, 1}, 3100),
      Unasked(MsgConfirmation, C11, 3200)}},
    // Whichever it answers, it is the answer; the one waited for takes it.
    {"SendsThatAskedTheSameTakeTheAnswerAsOneQuestion",
     {S(GetVersion), Up(0, 2000), S(GetVersion, 2100), Same(MsgVersionInfo, Bytes(102), 1, 2200),
      Late(MsgVersionInfo, Bytes(102), 0, 2300), S(UpdateFlash, 3000), Up(2, 13000), S(UpdateFlash, 13000),
      Either(MsgConfirmation, C14, {2, 3}, 14000)}},
    // Quick answers overtake: the first save's late Confirmation, the second save lost.
    {"SaveAfterAnEarlierSaveGivenUpOnIsAmbiguous",
     {S(UpdateFlash), Up(0, 10000), S(SetDeviceConfig, 12000), A(MsgConfirmation, C11, 1, Verdict::Answer, false, 12010),
      S(UpdateFlash, 13000), Either(MsgConfirmation, C14, {0, 2}, 14000)}},
    {"SendGivenUpOnIsACandidateUntilItsWindowEnds",
     {S(SetPortConfig, 0, 1, 1), Up(0, 5000), S(SetPortConfig, 59000, 1, 2), Either(MsgConfirmation, C10, {0, 1}, 59100),
      S(SetPortConfig, 60500, 1, 3), A(MsgConfirmation, C10, 2, Verdict::Answer, false, 120000)}},
    // Two in doubt, one answer: once the one is past its window, the other
    // is still in doubt (it may have had the answer).
    {"ExpiredMemberLeavesTheOthersInDoubt",
     {S(SetPortConfig, 0, 1, 1), S(SetPortConfig, 30000, 1, 2), Either(MsgConfirmation, C10, {0, 1}, 30100),
      Either(MsgConfirmation, C10, {1}, 61000), Unasked(MsgConfirmation, C10, 61100)}},
    {"AnAnsweredNewerSendLeavesAnOlderLateOneACandidate",
     {S(GetVersion), Up(0, 2000), S(GetLocalAddress, 2100), A(MsgLocalAddress, Bytes(6), 1),
      Late(MsgVersionInfo, Bytes(102), 0, 3000)}},
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
    {"BondResultWithTwoBondingsOpenIsAmbiguous",
     {S(InitiateBonding, 0, 1, 1), Up(0, 5000), S(InitiateBonding, 5100, 1, 2), Either(MsgBondResult, {0}, {0, 1}, 5200),
      Unasked(MsgConnectionStatus, {2}, 5300)}},
    {"NewerBondingTakesTheLinkReportsOfAPing",
     {S(PingRequest), A(MsgConfirmation, C12, 0), Up(0, 5000), S(InitiateBonding, 5100), A(MsgBondResult, {0}, 1),
      A(MsgConnectionStatus, {2}, 1)}},
    {"ConfirmationNamingNobodysCommandIsToldToTheWaitingOnesWhichWaitOn",
     {S(GetVersion), S(UpdateFlash), Either(MsgConfirmation, C11, {1}, 0, false, Verdict::Misnamed),
      A(MsgConfirmation, C14, 1), Unasked(MsgConfirmation, C14)}},
    {"InquiryCollectsResultsUntilItsEnd",
     {S(InitiateInquiry), A(MsgInquiryResult, Bytes(257), 0), A(MsgInquiryResult, Bytes(257, 1), 0),
      A(MsgInquiryComplete, {}, 0), Unasked(MsgInquiryResult, Bytes(257, 2))}},
    {"ClosedPortForgetsEverySend", {S(SetPortConfig), Closed(), Unasked(MsgConfirmation, C10)}},
};

class Ledger : public ::testing::TestWithParam<Row> {};

TEST_P(Ledger, CreditsEachAnswerOnlyToTheOneSendItCanAnswer)
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
            const Bytes payload(e.command == SetPortConfig ? 14 : 6, e.value);
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
            std::vector<ExchangeId> expected, got;
            for (int c : e.candidates)
                expected.push_back(sends.at(static_cast<std::size_t>(c)));
            for (const Exchange& c : tag.candidates)
                got.push_back(c.id);
            EXPECT_EQ(got, expected);
            EXPECT_EQ(tag.interchangeable, e.same);
            break;
        }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Ledger, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The sender enters what it wrote, with the unit addressed and its owner.
TEST(Ledger, SenderEntersEveryCommandWritten)
{
    RecordingWriter port;
    PacketSender packets(port);
    ExchangeLedger ledger;
    CommandSender commands(packets, &ledger);
    const DeviceAddress remote{1, 2, 3, 4, 5, 6};
    ASSERT_EQ(commands.As(3).SendSetRemotePortConfig(remote, {.baud = 6, .interfaceCode = 2, .powerByte = 0x13}), 0);
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
