// The road of a request: main window -> driver -> pty -> simulator and back
// through the monitor thread, WM_COMEVENT, the receiver and a notification
// posted to the registered page.
#include "support/wizard_fixture.h"

#include "protocol/params.h"
#include "serial/backend.h"
#include "serial/backend_scripted.h"
#include "serial/probe.h"
#include "sim/wire.h"

#include <QTimer>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace vtrl;
using namespace vtrl::testing;
using protocol::Notification;

namespace {

constexpr DeviceAddress kZero{};
constexpr int kWaitMs = 5000;

// Stands in for a page: keeps every notification that reaches it.
class RecordingPage : public QWidget {
public:
    struct Received {
        int message;
        std::optional<Bytes> block;
        protocol::ExchangeId answers = 0;
    };
    std::vector<Received> received;

    std::optional<Bytes> first(int message) const
    {
        for (const auto& r : received)
            if (r.message == message)
                return r.block;
        return std::nullopt;
    }
    int count(int message) const
    {
        int n = 0;
        for (const auto& r : received)
            n += r.message == message;
        return n;
    }

protected:
    bool event(QEvent* e) override
    {
        if (auto* m = dynamic_cast<NotificationMessage*>(e)) {
            Reply reply = m->Take();
            received.push_back({static_cast<int>(reply.message), std::move(reply.block), reply.tag.Id()});
            return true;
        }
        return QWidget::event(e);
    }
};

// The wizard's main window with a recording page in place of the device
// pages: what it sends is sent as the page's, and what comes back reaches it.
class LinkTest : public WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        OpenPage();
        ASSERT_EQ(main().SetNotifyWindow(&page), 0);
    }
    protocol::CommandSender& send() { return main().Commands(&page); }
    sim::Simulator& startSimulator() { return AddDevice(&last_); }
    int attach(sim::Simulator&) { return last_; }

    RecordingPage page;

private:
    int last_ = 0;
};

TEST_F(LinkTest, LocalAddressAnswerReachesTheRegisteredPage)
{
    sim::Simulator* sim = &startSimulator();
    const DeviceAddress address{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
    sim->setLocalAddress(address);

    ASSERT_EQ(main().OpenPort(attach(*sim)), 0);
    EXPECT_GT(main().PortHandle, 0);
    EXPECT_GE(send().SendGetLocalAddress(), 0);

    ASSERT_TRUE(WaitUntil([&] { return page.count(protocol::MsgLocalAddress) == 1; }, kWaitMs));
    const auto block = page.first(protocol::MsgLocalAddress);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(*block, Bytes(address.begin(), address.end()));
}

// The wizard may be kept from reading for longer than its wait; an answer
// given at once meanwhile is read before the next command goes out, so it
// is its own send's alone, not one the next send might have had.
TEST_F(LinkTest, AnAnswerReadLateIsCreditedToItsOwnSendNotToTheNextOne)
{
    sim::Simulator* sim = &startSimulator();
    sim->setBondResultDelay(std::chrono::milliseconds(1));
    ASSERT_EQ(main().OpenPort(attach(*sim)), 0);
    const auto remotes = sim->remotes();
    ASSERT_GE(remotes.size(), 2u);
    ASSERT_EQ(send().SendInitiateBonding(remotes[0].address), 0);
    const protocol::ExchangeId first = send().LastExchange();
    ASSERT_TRUE(sim->waitForCommand(sim::type::InitiateBonding, 1, std::chrono::seconds(5)));
    ASSERT_TRUE(sim->waitIdle(std::chrono::seconds(5)));
    main().Ledger().GiveUp(first);
    // No event is handled: the answer waits in the driver.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(send().SendInitiateBonding(remotes[1].address), 0);
    const protocol::ExchangeId second = send().LastExchange();
    ASSERT_TRUE(WaitUntil([&] { return page.count(protocol::MsgBondResult) == 2; }, kWaitMs));
    std::vector<protocol::ExchangeId> credited;
    for (const auto& r : page.received)
        if (r.message == protocol::MsgBondResult)
            credited.push_back(r.answers);
    EXPECT_EQ(credited, (std::vector<protocol::ExchangeId>{first, second}));
}

TEST_F(LinkTest, ConfigReportCarriesTheRequestSequenceAndDecodesIntoLocalConfigOnly)
{
    sim::Simulator* sim = &startSimulator();
    ASSERT_EQ(main().OpenPort(attach(*sim)), 0);
    // Move the counter off zero so a report echoing 0 by accident would show.
    ASSERT_GE(send().SendGetLocalAddress(), 0);
    const int seq = send().SendGetConfig(kZero);
    ASSERT_GE(seq, 1);

    ASSERT_TRUE(WaitUntil([&] { return page.count(protocol::MsgConfigReport) == 1; }, kWaitMs));
    const auto block = page.first(protocol::MsgConfigReport);
    ASSERT_TRUE(block && block->size() == 309u);
    EXPECT_EQ((*block)[0], seq);

    const protocol::DeviceConfig remoteBefore = protocol::RemoteConfig;
    EXPECT_GT(protocol::DecodeConfigReport(true, block->data() + 1, block->size() - 1), 0);
    // The simulator's attached device: 9600,8,N,1, hardware flow control, DCE.
    EXPECT_EQ(main().LocalConfig.BaudCode, 6);
    EXPECT_EQ(main().LocalConfig.DataBitsCode, 2);
    EXPECT_EQ(main().LocalConfig.ParityCode, 1);
    EXPECT_EQ(main().LocalConfig.StopBitsCode, 1);
    EXPECT_EQ(main().LocalConfig.FlowControlCode, 3);
    EXPECT_EQ(main().LocalConfig.InterfaceCode, 2);
    EXPECT_EQ(0, std::memcmp(&remoteBefore, &protocol::RemoteConfig, sizeof remoteBefore));
}

TEST_F(LinkTest, OpenPortTwiceClosesTheFirstAndKeepsProcessingMessagesInBetween)
{
    sim::Simulator* first = &startSimulator();
    const int n1 = attach(*first);
    sim::Simulator* second = &startSimulator();
    const int n2 = attach(*second);
    ASSERT_EQ(main().OpenPort(n1), 0);
    const std::int32_t firstHandle = main().PortHandle;

    bool ranDuringOpen = false;
    QTimer::singleShot(0, [&] { ranDuringOpen = true; });
    ASSERT_EQ(main().OpenPort(n2), 0);
    EXPECT_TRUE(ranDuringOpen) << "OpenPort did not pump messages while the old port drained";
    EXPECT_NE(main().PortHandle, firstHandle);
    std::uint8_t byte = 0;
    EXPECT_EQ(SerialRead(firstHandle, 1, &byte), SERIAL_ERR_HANDLE);
    EXPECT_EQ(serial::ProbePort(static_cast<std::uint32_t>(n1)).outcome, serial::PortProbe::Outcome::Opened)
        << "the first port is still held";

    ASSERT_GE(send().SendGetLocalAddress(), 0);
    ASSERT_TRUE(second->waitForCommand(3, 1, std::chrono::milliseconds(kWaitMs)));
    EXPECT_EQ(first->receivedCount(), 0u);
    ASSERT_TRUE(WaitUntil([&] { return page.count(protocol::MsgLocalAddress) == 1; }, kWaitMs));
}

TEST_F(LinkTest, OpenPortReenteredDuringTheDrainPauseLeavesOnlyTheLastPortHeld)
{
    sim::Simulator* first = &startSimulator();
    const int n1 = attach(*first);
    sim::Simulator* second = &startSimulator();
    const int n2 = attach(*second);
    sim::Simulator* third = &startSimulator();
    const int n3 = attach(*third);
    ASSERT_EQ(main().OpenPort(n1), 0);

    int nested = 1;
    QTimer::singleShot(0, [&] { nested = main().OpenPort(n3); });
    ASSERT_EQ(main().OpenPort(n2), 0);
    EXPECT_EQ(nested, 0);
    for (int n : {n1, n3})
        EXPECT_EQ(serial::ProbePort(static_cast<std::uint32_t>(n)).outcome, serial::PortProbe::Outcome::Opened)
            << "COM " << n << " is still held";
    ASSERT_GE(send().SendGetLocalAddress(), 0);
    EXPECT_TRUE(second->waitForCommand(3, 1, std::chrono::milliseconds(kWaitMs)));
}

TEST_F(LinkTest, PartialFrameFromTheOldPortDoesNotSwallowTheNewPortsFirstAnswer)
{
    sim::Simulator* broken = &startSimulator();
    const int brokenPort = attach(*broken);
    broken->setTruncate(1);  // its answer stops before the CRC
    broken->setResyncTimeout(std::chrono::milliseconds(0));
    sim::Simulator* good = &startSimulator();
    const int goodPort = attach(*good);

    ASSERT_EQ(main().OpenPort(brokenPort), 0);
    ASSERT_GE(send().SendGetLocalAddress(), 0);
    ASSERT_TRUE(broken->waitForAnswers(1, std::chrono::milliseconds(kWaitMs)));
    // The half frame has reached the receiver once it waits for CRC bytes.
    ASSERT_TRUE(WaitUntil([&] { return main().ReceiverState() != 0; }, kWaitMs));

    ASSERT_EQ(main().OpenPort(goodPort), 0);
    ASSERT_GE(send().SendGetLocalAddress(), 0);
    ASSERT_TRUE(WaitUntil([&] { return page.count(protocol::MsgLocalAddress) == 1; }, kWaitMs));
}

TEST_F(LinkTest, OpenPortFailureLeavesNoPortOpen)
{
    const std::uint32_t n = serial::RegisterPortPath("/dev/vtrl-no-such-device");
    EXPECT_EQ(main().OpenPort(static_cast<int>(n)), -1);
    EXPECT_LE(main().PortHandle, 0);
    EXPECT_EQ(main().OpenPort(0), -1);
    EXPECT_EQ(send().SendGetLocalAddress(), -1) << "a frame was reported written with no port";
}

TEST_F(LinkTest, NullNotifyWindowKeepsDeliveringToThePreviousPage)
{
    sim::Simulator* sim = &startSimulator();
    ASSERT_EQ(main().OpenPort(attach(*sim)), 0);
    EXPECT_EQ(main().SetNotifyWindow(nullptr), -1);
    ASSERT_GE(send().SendGetLocalAddress(), 0);
    ASSERT_TRUE(WaitUntil([&] { return page.count(protocol::MsgLocalAddress) == 1; }, kWaitMs));
}

// What a pseudo-terminal cannot show reliably: many frames in one data event.
class ScriptedLinkTest : public LinkTest {
protected:
    void SetUp() override
    {
        serial::SetBackendForTesting(&backend);
        backend.AddPort(kPort);
        LinkTest::SetUp();
    }
    void TearDown() override
    {
        LinkTest::TearDown();
        serial::SetBackendForTesting(nullptr);
    }

    static constexpr std::uint32_t kPort = 7;
    serial::ScriptedBackend backend;
};

std::vector<std::uint8_t> versionFrame(std::uint8_t seq)
{
    // Built by the simulator's encoder, independent of the receiver under test.
    std::vector<std::uint8_t> payload(102, 0);
    payload[0] = seq;
    return sim::encodeFrame(0x20, seq, payload);
}

TEST_F(ScriptedLinkTest, BytesBeyondOneReadOfADataEventAreNotLeftWaiting)
{
    ASSERT_EQ(main().OpenPort(kPort), 0);
    std::vector<std::uint8_t> burst;
    for (std::uint8_t i = 0; i < 5; ++i) {
        const auto frame = versionFrame(i);
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    ASSERT_GT(burst.size(), 350u);
    backend.InjectBytes(kPort, burst);  // one wait, one data event
    ASSERT_TRUE(WaitUntil([&] { return page.count(protocol::MsgVersionInfo) == 5; }, kWaitMs));
    EXPECT_EQ(backend.QueuedBytes(kPort), 0u);
}

}  // namespace
