// The road of a request: main window -> driver -> pty -> simulator and back
// through the monitor thread, WM_COMEVENT, the receiver and a notification
// posted to the registered page.
#include "pages/wizard.h"
#include "platform/windowmessage.h"
#include "protocol/delivery.h"
#include "protocol/params.h"
#include "serial/backend.h"
#include "serial/backend_scripted.h"
#include "serial/portnames.h"
#include "serial/probe.h"
#include "sim/simulator.h"
#include "sim/wire.h"

#include <QTest>
#include <QTimer>

#include "qt_wait.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace vtrl;
using protocol::Notification;

namespace {

constexpr DeviceAddress kZero{};
constexpr int kWaitMs = 5000;

// Stands in for a page: keeps every notification that reaches it.
class RecordingPage : public QWidget {
public:
    struct Received {
        int message;
        std::optional<platform::Payload> block;
    };
    std::vector<Received> received;

    std::optional<platform::Payload> first(int message) const
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
        if (e->type() >= platform::FirstNotification && e->type() <= platform::LastNotification) {
            auto* m = static_cast<platform::WindowMessage*>(e);
            received.push_back({m->message(), m->takePayload()});
            return true;
        }
        return QWidget::event(e);
    }
};

std::unique_ptr<sim::Simulator> startSimulator()
{
    auto sim = std::make_unique<sim::Simulator>();
    EXPECT_TRUE(sim->start()) << sim->errorText();
    return sim;
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        serial::ResetRegisteredPortsForTesting();
        protocol::LocalConfig = {};
        protocol::RemoteConfig = {};
        wizard = std::make_unique<Wizard>();
        ASSERT_EQ(main().SetNotifyWindow(&page), 0);
    }
    void TearDown() override
    {
        wizard.reset();
        serial::ResetRegisteredPortsForTesting();
    }

    TfrmMain& main() { return wizard->main(); }

    int attach(sim::Simulator& sim)
    {
        const std::uint32_t n = serial::RegisterPortPath(sim.slavePath());
        EXPECT_NE(n, 0u);
        return static_cast<int>(n);
    }

    RecordingPage page;
    std::unique_ptr<Wizard> wizard;
};

TEST_F(LinkTest, LocalAddressAnswerReachesTheRegisteredPage)
{
    auto sim = startSimulator();
    const DeviceAddress address{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB};
    sim->setLocalAddress(address);

    ASSERT_EQ(main().OpenPort(attach(*sim)), 0);
    EXPECT_GT(main().PortHandle, 0);
    EXPECT_GE(main().SendGetLocalAddress(), 0);

    ASSERT_TRUE(test::WaitUntil([&] { return page.count(protocol::MsgLocalAddress) == 1; }, kWaitMs));
    const auto block = page.first(protocol::MsgLocalAddress);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(*block, platform::Payload(address.begin(), address.end()));
}

TEST_F(LinkTest, ConfigReportCarriesTheRequestSequenceAndDecodesIntoLocalConfigOnly)
{
    auto sim = startSimulator();
    ASSERT_EQ(main().OpenPort(attach(*sim)), 0);
    // Move the counter off zero so a report echoing 0 by accident would show.
    ASSERT_GE(main().SendGetLocalAddress(), 0);
    const int seq = main().SendGetConfig(kZero);
    ASSERT_GE(seq, 1);

    ASSERT_TRUE(test::WaitUntil([&] { return page.count(protocol::MsgConfigReport) == 1; }, kWaitMs));
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
    auto first = startSimulator();
    auto second = startSimulator();
    const int n1 = attach(*first);
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

    ASSERT_GE(main().SendGetLocalAddress(), 0);
    ASSERT_TRUE(second->waitForCommand(3, 1, std::chrono::milliseconds(kWaitMs)));
    EXPECT_EQ(first->receivedCount(), 0u);
    ASSERT_TRUE(test::WaitUntil([&] { return page.count(protocol::MsgLocalAddress) == 1; }, kWaitMs));
}

TEST_F(LinkTest, OpenPortReenteredDuringTheDrainPauseLeavesOnlyTheLastPortHeld)
{
    auto first = startSimulator();
    auto second = startSimulator();
    auto third = startSimulator();
    const int n1 = attach(*first);
    const int n2 = attach(*second);
    const int n3 = attach(*third);
    ASSERT_EQ(main().OpenPort(n1), 0);

    int nested = 1;
    QTimer::singleShot(0, [&] { nested = main().OpenPort(n3); });
    ASSERT_EQ(main().OpenPort(n2), 0);
    EXPECT_EQ(nested, 0);
    for (int n : {n1, n3})
        EXPECT_EQ(serial::ProbePort(static_cast<std::uint32_t>(n)).outcome, serial::PortProbe::Outcome::Opened)
            << "COM " << n << " is still held";
    ASSERT_GE(main().SendGetLocalAddress(), 0);
    EXPECT_TRUE(second->waitForCommand(3, 1, std::chrono::milliseconds(kWaitMs)));
}

TEST_F(LinkTest, PartialFrameFromTheOldPortDoesNotSwallowTheNewPortsFirstAnswer)
{
    auto broken = startSimulator();
    broken->setTruncate(1);  // its answer stops before the CRC
    broken->setResyncTimeout(std::chrono::milliseconds(0));
    auto good = startSimulator();

    ASSERT_EQ(main().OpenPort(attach(*broken)), 0);
    ASSERT_GE(main().SendGetLocalAddress(), 0);
    ASSERT_TRUE(broken->waitForAnswers(1, std::chrono::milliseconds(kWaitMs)));
    // The half frame has reached the receiver once it waits for CRC bytes.
    ASSERT_TRUE(test::WaitUntil([&] { return main().ReceiverState() != 0; }, kWaitMs));

    ASSERT_EQ(main().OpenPort(attach(*good)), 0);
    ASSERT_GE(main().SendGetLocalAddress(), 0);
    ASSERT_TRUE(test::WaitUntil([&] { return page.count(protocol::MsgLocalAddress) == 1; }, kWaitMs));
}

TEST_F(LinkTest, OpenPortFailureLeavesNoPortOpen)
{
    const std::uint32_t n = serial::RegisterPortPath("/dev/vtrl-no-such-device");
    EXPECT_EQ(main().OpenPort(static_cast<int>(n)), -1);
    EXPECT_LE(main().PortHandle, 0);
    EXPECT_EQ(main().OpenPort(0), -1);
    EXPECT_EQ(main().SendGetLocalAddress(), -1) << "a frame was reported written with no port";
}

TEST_F(LinkTest, NullNotifyWindowKeepsDeliveringToThePreviousPage)
{
    auto sim = startSimulator();
    ASSERT_EQ(main().OpenPort(attach(*sim)), 0);
    EXPECT_EQ(main().SetNotifyWindow(nullptr), -1);
    ASSERT_GE(main().SendGetLocalAddress(), 0);
    ASSERT_TRUE(test::WaitUntil([&] { return page.count(protocol::MsgLocalAddress) == 1; }, kWaitMs));
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
    ASSERT_TRUE(test::WaitUntil([&] { return page.count(protocol::MsgVersionInfo) == 5; }, kWaitMs));
    EXPECT_EQ(backend.QueuedBytes(kPort), 0u);
}

}  // namespace
