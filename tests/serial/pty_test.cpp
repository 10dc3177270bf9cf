// The POSIX backend on real pseudo-terminals, and the COM number table.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "portnames.h"
#include "sim/simulator.h"
#include "probe.h"
#include "support.h"
#include "tests/support/posix_ports.h"

namespace vtrl::serial::test {
namespace {

using ::vtrl::test::Pty;

class PtyDriver : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ResetRegisteredPortsForTesting();
        ptyHolder = std::make_unique<Pty>(true);
        ASSERT_NE(pty().port(), 0u) << "no pseudo-terminal";
    }
    std::unique_ptr<Pty> ptyHolder;
    Pty& pty() { return *ptyHolder; }
    Recorder rec;
};

TEST_F(PtyDriver, WrittenPacketArrivesWhole) {
    const std::int32_t h = Open(pty().port(), rec);
    ASSERT_EQ(h, 1);
    const std::vector<std::uint8_t> packet = {0x5D, 3, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(SerialWrite(h, 9, packet.data()), 9);
    EXPECT_EQ(pty().Receive(9), packet);
}

TEST_F(PtyDriver, OpenClearsFlowControlAndParityCheckLeftByTheLastProgram) {
    const int fd = ::open(pty().path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(fd, &before), 0);
    before.c_iflag |= IXON | IXOFF | IXANY | INPCK;
    ASSERT_EQ(::tcsetattr(fd, TCSANOW, &before), 0);
    const std::int32_t h = Open(pty().port(), rec);
    ASSERT_GT(h, 0);
    termios after{};
    ASSERT_EQ(::tcgetattr(fd, &after), 0);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY | INPCK), 0u);
    ::close(fd);
}

TEST_F(PtyDriver, DataEventCountsQueuedBytesAndReadsTakeAtMostTheMaximum) {
    const std::int32_t h = Open(pty().port(), rec);
    std::uint8_t buffer[350];
    EXPECT_EQ(SerialRead(h, 350, buffer), 0) << "empty queue";
    std::vector<std::uint8_t> bytes(500);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(255 - i);
    ASSERT_TRUE(pty().Send(bytes));
    ASSERT_TRUE(rec.WaitUntil([](const std::vector<Recorded>& e) {
        return !e.empty() && e.back().kind == SERIAL_EVENT_DATA && e.back().detail == 500;
    }));
    for (const Recorded& e : rec.Events()) EXPECT_EQ(e.handle, h);
    ASSERT_EQ(SerialRead(h, 350, buffer), 350);
    EXPECT_TRUE(std::equal(buffer, buffer + 350, bytes.begin()));
    ASSERT_EQ(SerialRead(h, 350, buffer), 150);
    EXPECT_TRUE(std::equal(buffer, buffer + 150, bytes.begin() + 350));
    EXPECT_EQ(SerialRead(h, 350, buffer), 0);
}

TEST_F(PtyDriver, BytesThatArrivedBeforeTheOpenAreNotReadAsAnswers) {
    // A stale answer from an earlier session would be taken for the reply to
    // the first request on the new one.
    const std::int32_t first = Open(pty().port(), rec);
    ASSERT_GT(first, 0);
    SerialClose(first);
    ASSERT_TRUE(pty().Send({0x5D, 0x03, 0x00, 0x06, 0x00, 1, 2, 3}));
    const std::int32_t h = Open(pty().port(), rec);
    ASSERT_GT(h, 0);
    ASSERT_TRUE(pty().Send({0x7E}));
    ASSERT_TRUE(rec.WaitUntil([](const std::vector<Recorded>& e) {
        return !e.empty() && e.back().kind == SERIAL_EVENT_DATA;
    }));
    std::uint8_t buffer[350];
    ASSERT_EQ(SerialRead(h, 350, buffer), 1);
    EXPECT_EQ(buffer[0], 0x7E);
}

TEST_F(PtyDriver, PortIsExclusiveUntilClosed) {
    const std::int32_t h = Open(pty().port(), rec);
    ASSERT_GT(h, 0);
    EXPECT_EQ(Open(pty().port(), rec), SERIAL_ERR_SYSTEM);
    EXPECT_EQ(ProbePort(pty().port()).outcome, PortProbe::Outcome::InUse);
    SerialClose(h);
    EXPECT_EQ(ProbePort(pty().port()).outcome, PortProbe::Outcome::Opened);
    EXPECT_EQ(Open(pty().port(), rec), 3);
}

TEST_F(PtyDriver, MissingDeviceGivesMinus9AndProbeSaysMissing) {
    const std::uint32_t port = RegisterPortPath("/dev/vtrl-no-such-tty");
    EXPECT_EQ(Open(port, rec), SERIAL_ERR_SYSTEM);
    const PortProbe probe = ProbePort(port);
    EXPECT_EQ(probe.outcome, PortProbe::Outcome::Missing);
    EXPECT_EQ(probe.path, "/dev/vtrl-no-such-tty");
    EXPECT_EQ(Open(pty().port(), rec), 2);
}

TEST_F(PtyDriver, NonTtyDeviceFailsConfigurationWithMinus9) {
    EXPECT_EQ(Open(RegisterPortPath("/dev/null"), rec), SERIAL_ERR_SYSTEM);
    EXPECT_EQ(MonitorThreadCount(), 0);
}

TEST_F(PtyDriver, ModemStatusOfAPseudoTerminalFailsWithMinus8) {
    const std::int32_t h = Open(pty().port(), rec);
    std::uint32_t status = 5;
    EXPECT_EQ(SerialGetModemStatus(h, &status), SERIAL_ERR_READ);
    EXPECT_EQ(status, 5u);
    EXPECT_EQ(SerialSetLines(h, 3), 0);
    EXPECT_EQ(SerialSendBreak(h), 0);
}

// The device unplugged mid-job: one event, at once; the port stays the
// owner's until closed, and opens again once the device is back.
TEST_F(PtyDriver, HangUpIsOneEventAndThePortOpensAgainWhenTheDeviceComesBack) {
    char dir[] = "/tmp/vtrl-hangup-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string link = std::string(dir) + "/device";
    sim::Simulator device;
    ASSERT_TRUE(device.start()) << device.errorText();
    ASSERT_TRUE(device.setStablePath(link));
    const std::uint32_t port = RegisterPortPath(link);
    const std::int32_t h = Open(port, rec);
    ASSERT_GT(h, 0);
    device.hangUp();
    ASSERT_TRUE(WaitForMonitorThreadCount(0, 10000)) << "the dead line is not waited on";
    EXPECT_EQ(rec.Events(), (std::vector<Recorded>{{SERIAL_EVENT_HANGUP, h, 0}}));
    std::uint8_t buffer[16] = {};
    EXPECT_EQ(SerialRead(h, 16, buffer), SERIAL_ERR_GONE);
    EXPECT_EQ(SerialWrite(h, 1, buffer), SERIAL_ERR_GONE);
    SerialClose(h);
    ASSERT_TRUE(device.comeBack()) << device.errorText();
    EXPECT_GT(Open(port, rec), 0);
    ::unlink(link.c_str());
    ::rmdir(dir);
}

// The device's last answer, not yet read when it went away.
TEST_F(PtyDriver, WhatArrivedBeforeTheHangUpIsStillRead) {
    const std::int32_t h = Open(pty().port(), rec);
    const std::vector<std::uint8_t> last = {0x5D, 3, 0, 6, 0, 9, 8, 7};
    ASSERT_TRUE(pty().Send(last));
    ASSERT_TRUE(rec.WaitUntil([&](const std::vector<Recorded>& e) {
        return !e.empty() && e.back().kind == SERIAL_EVENT_DATA && e.back().detail == last.size();
    }));
    pty().CloseMaster();
    ASSERT_TRUE(rec.WaitUntil([](const std::vector<Recorded>& e) { return e.back().kind == SERIAL_EVENT_HANGUP; }));
    std::vector<std::uint8_t> got;
    std::uint8_t buffer[350];
    std::int32_t n = 0;
    while ((n = SerialRead(h, 3, buffer)) > 0) got.insert(got.end(), buffer, buffer + n);
    EXPECT_EQ(n, SERIAL_ERR_GONE);
    EXPECT_EQ(got, last);
}

// A reader about to write asks what waits first; an answer the tty already
// holds must be in that count even when the monitor has not taken it in, or it
// is read after the write and taken for the written command's answer.
TEST_F(PtyDriver, WhatTheTtyHoldsCountsAsQueuedBeforeTheMonitorTakesItIn) {
    SystemError error;
    const std::shared_ptr<Device> dev = PlatformBackend().Open(pty().port(), error);
    ASSERT_NE(dev, nullptr) << error.detail;
    LineSettings line;
    ASSERT_TRUE(dev->GetState(line));
    line.baudRate = 9600;
    ASSERT_TRUE(dev->SetState(line));
    ASSERT_TRUE(dev->SetEventMask(kEvRxChar));
    const std::vector<std::uint8_t> first = {1, 2, 3}, second = {4, 5, 6, 7};
    ASSERT_TRUE(pty().Send(first));
    const auto stop = PlatformBackend().CreateStopEvent();
    std::uint32_t mask = 0;
    ASSERT_EQ(dev->WaitEvent(*stop, mask), WaitOutcome::Ready);  // the monitor's one pass
    ASSERT_TRUE(pty().Send(second));
    std::uint32_t errors = 0, queued = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (dev->ClearError(errors, &queued) && queued < first.size() + second.size() &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(queued, first.size() + second.size());
    std::uint8_t buffer[16] = {};
    ASSERT_EQ(dev->Read(buffer, 16).count, queued);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + queued),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7}));
    dev->Close();
}

TEST_F(PtyDriver, CloseWhileBytesStreamInEndsCleanly) {
    for (int round = 0; round < 10; ++round) {
        const std::int32_t h = Open(pty().port(), rec);
        ASSERT_GT(h, 0);
        pty().Offer(std::vector<std::uint8_t>(2000, 0x55));
        SerialClose(h);
        EXPECT_TRUE(WaitForMonitorThreadCount(0, 10000));
    }
}

// --- COM number table ---

class PortTable : public ::testing::TestWithParam<std::pair<std::uint32_t, const char*>> {
protected:
    void SetUp() override { ResetRegisteredPortsForTesting(); }
};

TEST_P(PortTable, MapsNumberToDevice) {
    EXPECT_EQ(PortDevicePath(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Ranges, PortTable,
                         ::testing::Values(std::make_pair(0u, ""), std::make_pair(1u, "/dev/ttyS0"),
                                           std::make_pair(32u, "/dev/ttyS31"),
                                           std::make_pair(33u, "/dev/ttyUSB0"),
                                           std::make_pair(64u, "/dev/ttyUSB31"),
                                           std::make_pair(65u, "/dev/ttyACM0"),
                                           std::make_pair(96u, "/dev/ttyACM31"),
                                           std::make_pair(97u, ""), std::make_pair(257u, "")));

TEST(PortRegistry, NumbersFrom97KeepsRepeatsAndStopsAt256) {
    ResetRegisteredPortsForTesting();
    EXPECT_EQ(RegisterPortPath(""), 0u);
    EXPECT_EQ(RegisterPortPath("/dev/pts/7"), 97u);
    EXPECT_EQ(RegisterPortPath("/dev/pts/8"), 98u);
    EXPECT_EQ(RegisterPortPath("/dev/pts/7"), 97u);
    EXPECT_EQ(PortDevicePath(98), "/dev/pts/8");
    for (std::uint32_t i = 99; i <= 256; ++i)
        EXPECT_EQ(RegisterPortPath("/dev/x" + std::to_string(i)), i);
    EXPECT_EQ(RegisterPortPath("/dev/one-too-many"), 0u);
    EXPECT_EQ(PortDevicePath(256), "/dev/x256");
    ResetRegisteredPortsForTesting();
}

TEST(PortRegistry, EnvironmentListIsColonSeparatedAndSkipsEmptyItems) {
    ResetRegisteredPortsForTesting();
    ::setenv("VTRLCFG_PORTS", "/dev/pts/3::/dev/pts/4:", 1);
    EXPECT_EQ(RegisterPortsFromEnvironment(), 2u);
    EXPECT_EQ(PortDevicePath(97), "/dev/pts/3");
    EXPECT_EQ(PortDevicePath(98), "/dev/pts/4");
    ::unsetenv("VTRLCFG_PORTS");
    EXPECT_EQ(RegisterPortsFromEnvironment(), 0u);
    ResetRegisteredPortsForTesting();
}

}  // namespace
}  // namespace vtrl::serial::test
