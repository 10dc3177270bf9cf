// Simulated devices as COM ports of the driver, in this process: what the
// driver sees of them is what it sees of a device on a real port.

#include "sim/directline.h"
#include "sim/wire.h"
#include "support.h"

#include <thread>

namespace vtrl::sim {
namespace {

using serial::test::Recorded;
using serial::test::Recorder;

constexpr std::uint32_t kPort = 5;

class DirectLineTest : public serial::test::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_TRUE(ports.attach(kPort, device)) << device.errorText();
        serial::SetBackend(&ports);
    }
    void TearDown() override
    {
        DriverTest::TearDown();
        device.stop();
    }

    // Asks the device for its address and returns the first frame it answers with.
    std::optional<Frame> AskAddress(std::int32_t handle, Recorder& recorder)
    {
        const auto command = encodeFrame(3, 0, {});
        if (SerialWrite(handle, static_cast<std::uint32_t>(command.size()), command.data()) !=
            static_cast<std::int32_t>(command.size()))
            return std::nullopt;
        FrameParser parser;
        std::vector<Frame> frames;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (frames.empty() && std::chrono::steady_clock::now() < deadline) {
            recorder.WaitUntil([](const std::vector<Recorded>& e) { return !e.empty(); }, 100);
            std::uint8_t buffer[350];
            const std::int32_t n = SerialRead(handle, sizeof buffer, buffer);
            if (n > 0)
                parser.feed(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), frames);
        }
        if (frames.empty())
            return std::nullopt;
        return frames.front();
    }

    DirectBackend ports;
    Simulator device;
};

TEST_F(DirectLineTest, TheDeviceAnswersThroughTheDriverWithDataEvents)
{
    Recorder recorder;
    const std::int32_t handle = Open(kPort, recorder);
    ASSERT_GT(handle, 0);
    const auto answer = AskAddress(handle, recorder);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->type, 3);
    EXPECT_TRUE(answer->crcOk);
    const auto address = device.local().address;
    EXPECT_EQ(answer->payload, std::vector<std::uint8_t>(address.begin(), address.end()));
    EXPECT_TRUE(recorder.WaitUntil([](const std::vector<Recorded>& e) {
        return !e.empty() && e.front().kind == SERIAL_EVENT_DATA;
    }));
}

TEST_F(DirectLineTest, OnlyARunningAttachedDeviceIsAPortAndOneProgramHoldsIt)
{
    EXPECT_EQ(serial::ProbePort(kPort).outcome, serial::PortProbe::Outcome::Opened);
    EXPECT_EQ(serial::ProbePort(kPort + 1).outcome, serial::PortProbe::Outcome::Missing);
    Recorder first, second;
    const std::int32_t held = Open(kPort, first);
    ASSERT_GT(held, 0);
    EXPECT_LT(Open(kPort, second), 0);
    EXPECT_EQ(serial::LastOpenFailure().outcome, serial::PortProbe::Outcome::InUse);
    device.stop();
    EXPECT_EQ(serial::ProbePort(kPort).outcome, serial::PortProbe::Outcome::Missing);
    // The hang-up goes to `first`: the port must not outlive it.
    SerialClose(held);
}

TEST_F(DirectLineTest, ADeviceThatGoesAwayHangsUpTheOpenPortAndComesBackBehindTheSameNumber)
{
    Recorder recorder;
    const std::int32_t handle = Open(kPort, recorder);
    ASSERT_GT(handle, 0);
    device.hangUp();
    ASSERT_TRUE(recorder.WaitUntil([](const std::vector<Recorded>& e) {
        return !e.empty() && e.back().kind == SERIAL_EVENT_HANGUP;
    }));
    const std::uint8_t byte = 0x5D;
    EXPECT_EQ(SerialWrite(handle, 1, &byte), SERIAL_ERR_GONE);
    // A port left open from before stays gone when the device is back.
    ASSERT_TRUE(device.comeBack());
    EXPECT_EQ(SerialWrite(handle, 1, &byte), SERIAL_ERR_GONE);
    SerialClose(handle);
    opened_.clear();

    Recorder again;
    const std::int32_t reopened = Open(kPort, again);
    ASSERT_GT(reopened, 0);
    const auto answer = AskAddress(reopened, again);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->type, 3);
}

}  // namespace
}  // namespace vtrl::sim
