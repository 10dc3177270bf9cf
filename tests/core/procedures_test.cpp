// The device's procedures without a page or a port: each row starts a
// procedure, feeds it answers as the ledger matches them, and says what the
// procedure makes of each and which command it sends next.

#include <gtest/gtest.h>

#include "core/procedures.h"
#include "core/settings.h"
#include "protocol/payloads.h"
#include "protocol/protocol_test_util.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace vtrl::core::test {
namespace {

using protocol::test::Bytes;
using std::chrono::milliseconds;

constexpr DeviceAddress kRemote{0x78, 0x56, 0x0A, 0xDC, 0x1B, 0x00};
constexpr milliseconds kGuard{5000};

// A device's side of the line: what went out, and answers matched the way
// the link matches them.
struct Line {
    protocol::test::RecordingWriter port;
    protocol::PacketSender packets{port};
    protocol::ExchangeLedger ledger;
    protocol::CommandSender send{packets, &ledger};
    std::uint8_t frame = 100;

    std::uint8_t LastType() const { return port.frames.empty() ? 0 : port.frames.back()[1]; }
    std::uint8_t LastSequence() const { return port.frames.back()[2]; }
    std::pair<protocol::Notification, protocol::Tag> Arrive(std::uint32_t message, Bytes block)
    {
        protocol::Notification n{message, frame++, std::move(block)};
        protocol::Tag tag = ledger.Match(n);
        return {std::move(n), std::move(tag)};
    }
};

Bytes Version(const char* text)
{
    Bytes v(102, 0);
    std::copy(text, text + std::strlen(text), v.begin() + 6);
    return v;
}

// ---- the pairing chain ---------------------------------------------------

struct ChainStep {
    std::uint32_t message;
    Bytes block;
    Pairing::Outcome outcome;
    std::uint8_t sentNext = 0;  // the command the chain sent after it (Next() on LinkUp and VersionAccepted)
};

struct ChainRow {
    const char* name;
    int startAt;  // 0 bond, 1 version, 2 configuration
    std::vector<ChainStep> steps;
    Pairing::Step last;
};
void PrintTo(const ChainRow& r, std::ostream* os) { *os << r.name; }

const ChainRow kChains[] = {
    {"BondedLinkUpVersionAcceptedConfigRead", 0,
     {{protocol::MsgBondResult, {0}, Pairing::Outcome::Bonded},
      {protocol::MsgConnectionStatus, {0}, Pairing::Outcome::LinkDown},
      {protocol::MsgConnectionStatus, {2}, Pairing::Outcome::LinkUp, protocol::GetVersion},
      {protocol::MsgVersionInfo, Version("Vantrel App V2.09"), Pairing::Outcome::VersionAccepted, protocol::GetConfig},
      {protocol::MsgConfigReport, {0xFF, 3, 1, 7, 0}, Pairing::Outcome::Paired}},
     Pairing::Step::None},
    {"BondingFailsAndTheChainIsOver", 0, {{protocol::MsgBondResult, {1}, Pairing::Outcome::BondFailed}}, Pairing::Step::None},
    {"OldVersionIsRefusedAndNothingMoreIsAsked", 1,
     {{protocol::MsgVersionInfo, Version("Vantrel App V2.08"), Pairing::Outcome::VersionRefused}},
     Pairing::Step::None},
    {"RefusalLeavesTheStepWaitingForItsGuard", 1,
     {{protocol::MsgNegativeResponse, {32, 3}, Pairing::Outcome::Refused}}, Pairing::Step::Version},
    {"ReportOfAnotherRequestIsIgnored", 2, {{protocol::MsgConfigReport, {7, 0}, Pairing::Outcome::Ignored}},
     Pairing::Step::Config},
    {"ConfigurationAfterAVersionAskedAgainInOrder", 2,
     {{protocol::MsgConfigReport, {0xFF, 3, 1, 7, 0}, Pairing::Outcome::Paired}}, Pairing::Step::None},
};

class Chain : public ::testing::TestWithParam<ChainRow> {};

TEST_P(Chain, TakesEachAnswerOfItsStepAndSendsTheNextCommand)
{
    const ChainRow& row = GetParam();
    Line line;
    Pairing chain;
    if (row.startAt == 0) {
        ASSERT_EQ(chain.StartBond(line.send, &line.ledger, kRemote, kGuard), 0);
    } else if (row.startAt == 1) {
        chain.AskVersion(line.send, &line.ledger, kRemote, kGuard);
    } else {
        chain.AskConfig(line.send, &line.ledger, kRemote, kGuard);
    }
    int at = 0;
    for (ChainStep step : row.steps) {
        SCOPED_TRACE("answer " + std::to_string(at++));
        // A ConfigReport names its request: the sequence of the GetConfig sent last.
        if (step.message == protocol::MsgConfigReport && step.block.front() == 0xFF)
            step.block.front() = line.LastSequence();
        const auto [n, tag] = line.Arrive(step.message, step.block);
        const std::size_t sentBefore = line.port.frames.size();
        EXPECT_EQ(chain.Answer(n, tag), step.outcome);
        EXPECT_EQ(line.port.frames.size(), sentBefore) << "an answer alone sends nothing";
        if (step.sentNext != 0) {
            chain.Next(line.send, &line.ledger, kGuard);
            EXPECT_EQ(line.LastType(), step.sentNext);
            EXPECT_EQ(protocol::UnitOf(static_cast<protocol::CommandType>(step.sentNext),
                                       protocol::Payload(line.port.frames.back()).subspan(5, 6)),
                      kRemote);
        }
    }
    EXPECT_EQ(chain.step(), row.last);
}

INSTANTIATE_TEST_SUITE_P(Rows, Chain, ::testing::ValuesIn(kChains), [](const auto& info) { return std::string(info.param.name); });

// ---- the port check, the save, the settings -------------------------------

TEST(Procedures, PortCheckAsksVersionThenConfigurationAndRefusesAnOldDevice)
{
    for (const char* version : {"Vantrel App V3.05", "Vantrel App V1.95"}) {
        SCOPED_TRACE(version);
        Line line;
        PortCheck check;
        ASSERT_EQ(check.Start(line.send, &line.ledger, milliseconds(2000)), 0);
        auto [n, tag] = line.Arrive(protocol::MsgLocalAddress, Bytes{1, 2, 3, 4, 5, 6});
        EXPECT_EQ(check.Answer(n, tag, line.send, &line.ledger), PortCheck::Outcome::AddressKnown);
        EXPECT_EQ(line.LastType(), protocol::GetVersion);
        std::tie(n, tag) = line.Arrive(protocol::MsgVersionInfo, Version(version));
        const bool accepted = version[13] == '3';
        EXPECT_EQ(check.Answer(n, tag, line.send, &line.ledger),
                  accepted ? PortCheck::Outcome::ConfigAsked : PortCheck::Outcome::VersionRefused);
        if (!accepted) {
            EXPECT_EQ(check.step(), PortCheck::Step::None);
            continue;
        }
        std::tie(n, tag) = line.Arrive(protocol::MsgConfigReport, Bytes{line.LastSequence(), 3, 1, 10, 0});
        EXPECT_EQ(check.Answer(n, tag, line.send, &line.ledger), PortCheck::Outcome::Checked);
        EXPECT_EQ(check.Config().BaudCode, 10);
        EXPECT_EQ(check.Address(), (DeviceAddress{1, 2, 3, 4, 5, 6}));
    }
}

TEST(Procedures, SaveIsProvedOnlyForSavesSentAfterTheLastChange)
{
    struct Case {
        const char* name;
        bool changeBetween;
        Save::Outcome outcome;
    } cases[] = {{"two saves of the same state", false, Save::Outcome::Saved},
                 {"a change between the saves", true, Save::Outcome::Unclear}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Line line;
        Save first, second;
        ASSERT_EQ(first.Start(line.send, &line.ledger, milliseconds(10000)), 0);
        first.Late(&line.ledger);
        if (c.changeBetween) {
            line.send.SendSetDeviceConfig({});
            const auto [n, tag] = line.Arrive(protocol::MsgConfirmation, Bytes{11});
            ASSERT_EQ(tag.verdict, protocol::Verdict::Answer);
        }
        ASSERT_EQ(second.Start(line.send, &line.ledger, milliseconds(10000)), 0);
        const auto [n, tag] = line.Arrive(protocol::MsgConfirmation, Bytes{14});
        ASSERT_EQ(tag.verdict, protocol::Verdict::Ambiguous) << "either save may be the one confirmed";
        EXPECT_EQ(second.Confirmation(tag, line.ledger), c.outcome);
    }
}

TEST(Procedures, SettingsInDoubtAreReadBackAndTheReportSaysWhatIsHeld)
{
    Line line;
    PortSettingsExchange first, second;
    const protocol::PortSettings a{6, 2, 1, 1, 2, 3, 0x14, 1}, b{7, 2, 1, 1, 2, 3, 0x14, 1};
    ASSERT_EQ(first.SendValues(line.send, &line.ledger, kRemote, kRemote, a, kGuard), 0);
    first.GiveUp(&line.ledger);
    ASSERT_EQ(second.SendValues(line.send, &line.ledger, kRemote, kRemote, b, kGuard), 0);
    auto [n, tag] = line.Arrive(protocol::MsgConfirmation, Bytes{10});
    EXPECT_EQ(second.Confirmation(n, tag), PortSettingsExchange::Outcome::InDoubt);
    EXPECT_TRUE(second.Idle()) << "the answer waited for may be the other send's";
    EXPECT_FALSE(second.Held());
    ASSERT_EQ(second.ReadBack(line.send, &line.ledger, kRemote, kRemote, kGuard), 0);
    EXPECT_EQ(line.LastType(), protocol::GetConfig);
    std::tie(n, tag) = line.Arrive(protocol::MsgConfigReport, Bytes{line.LastSequence(), 3, 1, 6, 0});
    EXPECT_EQ(second.Report(n, tag), PortSettingsExchange::Outcome::Proved);
    EXPECT_EQ(second.Held()->values.baud, 6) << "the device holds what the report says, not what was sent last";
    EXPECT_FALSE(second.Holds(kRemote, b));
    std::tie(n, tag) = line.Arrive(protocol::MsgConfirmation, Bytes{10});
    EXPECT_EQ(second.Confirmation(n, tag), PortSettingsExchange::Outcome::InDoubt) << "the other one's answer, or not";
}

}  // namespace
}  // namespace vtrl::core::test
