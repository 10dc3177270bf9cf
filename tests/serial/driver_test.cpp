// Driver behaviour on the scripted backend: numbering, open failures, line
// settings, per-port operations, event order, callbacks and closing.

#include <atomic>
#include <climits>
#include <future>
#include <stdexcept>
#include <thread>

#include "backend_scripted.h"
#include "support.h"

namespace vtrl::serial::test {
namespace {

using Fail = ScriptedBackend::Fail;

class ScriptedDriver : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        for (std::uint32_t port = 1; port <= 4; ++port) backend.AddPort(port);
        SetBackendForTesting(&backend);
    }
    ScriptedBackend backend;
    // Fixture members, not test locals: a port still open when the test body
    // ends gets its events until TearDown closes it.
    Recorder rec;
    Recorder second;
};

// --- numbering and start-up ---

TEST_F(ScriptedDriver, FirstHandleIsOneAndAFailedDeviceOpenUsesUpANumber) {
    EXPECT_EQ(SerialOpen(9, 115200, 0, &Recorder::Callback, &rec), SERIAL_ERR_SYSTEM);
    EXPECT_EQ(Open(1, rec), 2);
    EXPECT_EQ(Open(2, rec), 3);
}

TEST_F(ScriptedDriver, HandleWrapsToOneAfterTheLargestPositive) {
    SetNextHandleForTesting(INT32_MAX - 1);
    const std::int32_t last = Open(1, rec);
    EXPECT_EQ(last, INT32_MAX);
    EXPECT_EQ(Open(2, rec), 1);
}

TEST_F(ScriptedDriver, ArgumentFailuresDrawNoNumberAndOpenNothing) {
    EXPECT_EQ(SerialOpen(0, 115200, 0, &Recorder::Callback, &rec), SERIAL_ERR_ARGUMENT);
    EXPECT_EQ(SerialOpen(1, 0, 0, &Recorder::Callback, &rec), SERIAL_ERR_ARGUMENT);
    EXPECT_EQ(SerialOpen(3, 115200, 0, nullptr, &rec), SERIAL_ERR_NO_CALLBACK);
    EXPECT_FALSE(backend.IsOpen(1));
    EXPECT_FALSE(backend.IsOpen(3));
    EXPECT_EQ(MonitorThreadCount(), 0);
    EXPECT_EQ(Open(1, rec), 1);
}

class OpenStepFailure : public ScriptedDriver, public ::testing::WithParamInterface<Fail> {};

TEST_P(OpenStepFailure, GivesMinus9AndLeavesNoDeviceOrThreadBehind) {
    backend.SetFailure(1, GetParam());
    EXPECT_EQ(Open(1, rec), SERIAL_ERR_SYSTEM);
    EXPECT_FALSE(backend.IsOpen(1));
    EXPECT_TRUE(WaitForMonitorThreadCount(0, 10000));
    backend.SetFailure(1, GetParam(), false);
    EXPECT_EQ(Open(1, rec), 2) << "the failed attempt drew number 1";
}

INSTANTIATE_TEST_SUITE_P(EachStep, OpenStepFailure,
                         ::testing::Values(Fail::Open, Fail::SetupQueues, Fail::GetState,
                                           Fail::SetState, Fail::SetTimeouts, Fail::EventMask));

TEST_F(ScriptedDriver, SecondOpenOfAnOpenPortIsRefused) {
    ASSERT_EQ(Open(1, rec), 1);
    EXPECT_EQ(Open(1, rec), SERIAL_ERR_SYSTEM);
    EXPECT_TRUE(backend.IsOpen(1));
}

// A wrapped counter can draw the number of a live port; the new port's monitor
// thread is already delivering when the open fails, and must neither deadlock
// the open nor reach the live port's callback.
TEST_F(ScriptedDriver, FailureAfterTheThreadStartedWhileItDeliversNeitherHangsNorLeaks) {
    ASSERT_EQ(Open(1, rec), 1);
    backend.InjectBytes(2, {1, 2, 3});
    SetNextHandleForTesting(0);
    EXPECT_EQ(Open(2, second), SERIAL_ERR_SYSTEM);
    EXPECT_FALSE(backend.IsOpen(2));
    EXPECT_TRUE(WaitForMonitorThreadCount(1, 10000));
    EXPECT_TRUE(rec.Events().empty());
    EXPECT_TRUE(second.Events().empty());
    EXPECT_EQ(Open(2, second), 2);
}

// --- line settings ---

TEST_F(ScriptedDriver, HandshakeOffRuns8N1WithoutFlowControlAndLinesOff) {
    ASSERT_GT(Open(1, rec, 0), 0);
    const LineSettings s = backend.Settings(1).value();
    EXPECT_EQ(s.baudRate, 115200u);
    EXPECT_EQ(s.byteSize, 8);
    EXPECT_EQ(s.parity, 0);
    EXPECT_EQ(s.stopBits, 0);
    EXPECT_TRUE(s.fBinary);
    EXPECT_FALSE(s.fParity || s.fOutX || s.fInX || s.fErrorChar || s.fNull || s.fAbortOnError);
    EXPECT_FALSE(s.fOutxCtsFlow || s.fOutxDsrFlow || s.fDsrSensitivity);
    EXPECT_EQ(s.fDtrControl, kDtrControlDisable);
    EXPECT_EQ(s.fRtsControl, kRtsControlDisable);
    const CommTimeouts t = backend.Timeouts(1).value();
    EXPECT_EQ(t.readIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.readTotalTimeoutMultiplier + t.readTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.writeTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.writeTotalTimeoutConstant, 10000u);
    EXPECT_EQ(backend.EventMask(1), 0x01F9u);
}

TEST_F(ScriptedDriver, HandshakeOnWaitsForCtsAndDsrAndHoldsLinesOnWithoutRtsHandshake) {
    ASSERT_GT(Open(1, rec, 1), 0);
    const LineSettings s = backend.Settings(1).value();
    EXPECT_TRUE(s.fOutxCtsFlow && s.fOutxDsrFlow && s.fDsrSensitivity);
    EXPECT_EQ(s.fDtrControl, kDtrControlEnable);
    EXPECT_EQ(s.fRtsControl, kRtsControlEnable);
    EXPECT_FALSE(s.fOutX || s.fInX);
}

// --- argument order of the per-port operations ---

TEST_F(ScriptedDriver, HandleZeroComesBeforeBufferTestsAndBufferTestsBeforeLookup) {
    std::uint8_t buffer[4] = {};
    std::uint32_t status = 77;
    for (int started = 0; started < 2; ++started) {
        SCOPED_TRACE(started ? "driver started" : "driver not started");
        EXPECT_EQ(SerialRead(0, 0, nullptr), SERIAL_ERR_HANDLE);
        EXPECT_EQ(SerialWrite(0, 0, nullptr), SERIAL_ERR_HANDLE);
        EXPECT_EQ(SerialGetModemStatus(0, nullptr), SERIAL_ERR_HANDLE);
        EXPECT_EQ(SerialRead(55, 0, buffer), SERIAL_ERR_BUFFER);
        EXPECT_EQ(SerialRead(55, 4, nullptr), SERIAL_ERR_BUFFER);
        EXPECT_EQ(SerialWrite(55, 0, buffer), SERIAL_ERR_BUFFER);
        EXPECT_EQ(SerialWrite(55, 4, nullptr), SERIAL_ERR_BUFFER);
        EXPECT_EQ(SerialGetModemStatus(55, nullptr), SERIAL_ERR_BUFFER);
        EXPECT_EQ(SerialRead(55, 4, buffer), SERIAL_ERR_HANDLE);
        EXPECT_EQ(SerialGetModemStatus(55, &status), SERIAL_ERR_HANDLE);
        EXPECT_EQ(status, 77u);
        if (!started) {
            ASSERT_GT(Open(1, rec), 0);
        }
    }
}

// --- read and write ---

TEST_F(ScriptedDriver, ReadTakesAtMostTheMaximumAndLeavesTheRestQueued) {
    const std::int32_t h = Open(1, rec);
    std::vector<std::uint8_t> bytes(500);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    backend.InjectBytes(1, bytes);
    std::vector<std::uint8_t> got(350);
    ASSERT_EQ(SerialRead(h, 350, got.data()), 350);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin()));
    ASSERT_EQ(SerialRead(h, 350, got.data()), 150);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 150, bytes.begin() + 350));
    EXPECT_EQ(SerialRead(h, 350, got.data()), 0);
}

struct IoFailureRow {
    const char* name;
    Fail failure;
    bool isRead;
    std::int32_t expected;
};

class IoFailure : public ScriptedDriver, public ::testing::WithParamInterface<IoFailureRow> {};

TEST_P(IoFailure, MapsToItsResultAndLeavesThePortUsable) {
    const IoFailureRow& row = GetParam();
    const std::int32_t h = Open(1, rec);
    std::uint8_t buffer[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    backend.InjectBytes(1, {1, 2, 3});
    backend.SetFailure(1, row.failure);
    EXPECT_EQ(row.isRead ? SerialRead(h, 9, buffer) : SerialWrite(h, 9, buffer), row.expected);
    backend.SetFailure(1, row.failure, false);
    EXPECT_EQ(row.isRead ? SerialRead(h, 9, buffer) : SerialWrite(h, 9, buffer),
              row.isRead ? 3 : 9);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IoFailure,
    ::testing::Values(IoFailureRow{"StatusQuery", Fail::ClearError, true, SERIAL_ERR_SYSTEM},
                      IoFailureRow{"ReadEvent", Fail::ReadNoEvent, true, SERIAL_ERR_SYSTEM},
                      IoFailureRow{"Read", Fail::Read, true, SERIAL_ERR_READ},
                      IoFailureRow{"WriteEvent", Fail::WriteNoEvent, false, SERIAL_ERR_SYSTEM},
                      IoFailureRow{"Write", Fail::Write, false, SERIAL_ERR_WRITE}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScriptedDriver, WriteCutShortReportsTheCountTheSystemWrote) {
    const std::int32_t h = Open(1, rec);
    backend.LimitWrites(1, 5);
    const std::uint8_t packet[9] = {0x5D, 3, 0, 0, 0, 1, 2, 3, 4};
    EXPECT_EQ(SerialWrite(h, 9, packet), 5);
    EXPECT_EQ(SerialWrite(h, 9, packet), SERIAL_ERR_WRITE);
}

// --- line control ---

class SetLines : public ScriptedDriver,
                 public ::testing::WithParamInterface<std::pair<std::uint32_t, std::vector<std::uint32_t>>> {};

TEST_P(SetLines, DrivesRtsThenDtrAlways) {
    const std::int32_t h = Open(1, rec);
    EXPECT_EQ(SerialSetLines(h, GetParam().first), 0);
    EXPECT_EQ(backend.Escapes(1), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Bits, SetLines,
    ::testing::Values(std::make_pair(0u, std::vector<std::uint32_t>{kEscClrRts, kEscClrDtr}),
                      std::make_pair(1u, std::vector<std::uint32_t>{kEscSetRts, kEscClrDtr}),
                      std::make_pair(2u, std::vector<std::uint32_t>{kEscClrRts, kEscSetDtr}),
                      std::make_pair(7u, std::vector<std::uint32_t>{kEscSetRts, kEscSetDtr})));

TEST_F(ScriptedDriver, ModemStatusMapsLinesAndAFailedQueryKeepsTheValue) {
    const std::int32_t h = Open(1, rec);
    ScriptedBackend::Injection in;
    in.modemStatus = kMsCtsOn | kMsRlsdOn;
    backend.Inject(1, in);
    std::uint32_t status = 0;
    EXPECT_EQ(SerialGetModemStatus(h, &status), 0);
    EXPECT_EQ(status, 9u);
    backend.SetFailure(1, Fail::ModemStatus);
    status = 42;
    EXPECT_EQ(SerialGetModemStatus(h, &status), SERIAL_ERR_READ);
    EXPECT_EQ(status, 42u);
}

TEST_F(ScriptedDriver, SendBreakLeavesTheLineOutOfBreakAndReportsAFailedSet) {
    const std::int32_t h = Open(1, rec);
    EXPECT_EQ(SerialSendBreak(h), 0);
    EXPECT_EQ(backend.BreakCount(1), 1);
    EXPECT_FALSE(backend.BreakOn(1));
    backend.SetFailure(1, Fail::Break);
    EXPECT_EQ(SerialSendBreak(h), SERIAL_ERR_WRITE);
}

// --- events ---

TEST_F(ScriptedDriver, OneWaitDeliversBreakErrorModemDataInThatOrder) {
    const std::int32_t h = Open(1, rec);
    ScriptedBackend::Injection in;
    in.bytes = {1, 2, 3, 4};
    in.lineErrors = kCeFrame;
    in.lineBreak = true;
    in.modemStatus = kMsCtsOn | kMsDsrOn;
    backend.Inject(1, in);
    ASSERT_TRUE(rec.WaitForCount(4));
    const std::vector<Recorded> expected = {{SERIAL_EVENT_BREAK, h, 1},
                                            {SERIAL_EVENT_ERROR, h, SERIAL_RX_FRAMING},
                                            {SERIAL_EVENT_MODEM, h, 3},
                                            {SERIAL_EVENT_DATA, h, 4}};
    EXPECT_EQ(rec.Events(), expected);
}

class ErrorBits : public ScriptedDriver,
                  public ::testing::WithParamInterface<std::pair<std::uint32_t, std::uint32_t>> {};

TEST_P(ErrorBits, ReportOnlyOverrunParityAndFraming) {
    Open(1, rec);
    ScriptedBackend::Injection in;
    in.lineErrors = GetParam().first;
    backend.Inject(1, in);
    ASSERT_TRUE(rec.WaitForCount(1));
    EXPECT_EQ(rec.Events()[0].kind, SERIAL_EVENT_ERROR);
    EXPECT_EQ(rec.Events()[0].detail, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Bits, ErrorBits,
                         ::testing::Values(std::make_pair(kCeOverrun, 1u),
                                           std::make_pair(kCeRxParity, 2u),
                                           std::make_pair(kCeFrame, 4u),
                                           std::make_pair(kCeRxOver, 0u),
                                           std::make_pair(kCeOverrun | kCeRxParity | kCeFrame, 7u)));

TEST_F(ScriptedDriver, DataEventIsDroppedWhenTheQueueWasEmptiedMeanwhile) {
    std::promise<std::int32_t> readInCallback;
    rec.onEvent = [&](std::int32_t handle, const SerialEvent& e) {
        std::uint8_t buffer[16];
        if (e.kind == SERIAL_EVENT_ERROR) readInCallback.set_value(SerialRead(handle, 16, buffer));
    };
    auto readResult = readInCallback.get_future();
    const std::int32_t h = Open(1, rec);
    ScriptedBackend::Injection in;
    in.bytes = {9, 9, 9};
    in.lineErrors = kCeOverrun;
    backend.Inject(1, in);
    ASSERT_EQ(readResult.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the callback's own read must not wait for the port lock";
    EXPECT_EQ(readResult.get(), 3);
    backend.InjectBytes(1, {5});  // a later wait does report data again
    ASSERT_TRUE(rec.WaitForCount(2));
    // The byte injected later may be seen by the end of the first wait and by
    // the next; no data event may report the three bytes already read.
    const std::vector<Recorded> events = rec.Events();
    EXPECT_EQ(events[0], (Recorded{SERIAL_EVENT_ERROR, h, 1}));
    for (std::size_t i = 1; i < events.size(); ++i)
        EXPECT_EQ(events[i], (Recorded{SERIAL_EVENT_DATA, h, 1}));
}

TEST_F(ScriptedDriver, AThrowingCallbackIsSwallowedAndLaterEventsStillArrive) {
    rec.onEvent = [](std::int32_t, const SerialEvent&) { throw std::runtime_error("callback"); };
    Open(1, rec);
    backend.InjectBytes(1, {1});
    ASSERT_TRUE(rec.WaitForCount(1));
    ScriptedBackend::Injection in;
    in.lineBreak = true;
    backend.Inject(1, in);
    EXPECT_TRUE(rec.WaitForCount(2));
}

TEST_F(ScriptedDriver, FailedWaitEndsEventsButThePortStaysUsable) {
    const std::int32_t h = Open(1, rec);
    backend.SetFailure(1, Fail::Wait);
    ASSERT_TRUE(WaitForMonitorThreadCount(0, 10000));
    const std::uint8_t byte = 1;
    EXPECT_EQ(SerialWrite(h, 1, &byte), 1);
}

// Port 1 is left to its owner after the hang-up; port 2 closes itself from
// the hang-up callback.
TEST_F(ScriptedDriver, HangUpComesOnceAfterWhatCameBeforeAndTheBytesStayReadable) {
    second.onEvent = [](std::int32_t handle, const SerialEvent& e) {
        if (e.kind == SERIAL_EVENT_HANGUP) SerialClose(handle);
    };
    const std::int32_t h = Open(1, rec);
    const std::int32_t h2 = Open(2, second);
    backend.InjectBytes(1, {1, 2, 3});
    backend.HangUp(1);
    backend.HangUp(2);
    ASSERT_TRUE(WaitForMonitorThreadCount(0, 10000)) << "a hung-up line is not waited on";
    EXPECT_EQ(rec.Events(), (std::vector<Recorded>{{SERIAL_EVENT_DATA, h, 3}, {SERIAL_EVENT_HANGUP, h, 0}}));
    std::uint8_t buffer[8];
    EXPECT_EQ(SerialRead(h, 8, buffer), 3);
    EXPECT_EQ(SerialRead(h, 8, buffer), SERIAL_ERR_GONE);
    EXPECT_EQ(SerialWrite(h, 1, buffer), SERIAL_ERR_GONE);
    EXPECT_TRUE(backend.IsOpen(1)) << "held until its owner closes it";
    SerialClose(h);
    EXPECT_FALSE(backend.IsOpen(1));

    EXPECT_EQ(second.Events(), (std::vector<Recorded>{{SERIAL_EVENT_HANGUP, h2, 0}}));
    EXPECT_FALSE(backend.IsOpen(2));
    EXPECT_EQ(SerialRead(h2, 8, buffer), SERIAL_ERR_HANDLE);
    EXPECT_EQ(Open(2, second), 3) << "plugged in again";
}

// --- closing ---

TEST_F(ScriptedDriver, CloseFromTheCallbackIsDeferredAndDropsTheRestOfTheWait) {
    std::atomic<std::int32_t> writeAfterClose{-100};
    rec.onEvent = [&](std::int32_t handle, const SerialEvent&) {
        SerialClose(handle);
        const std::uint8_t byte = 7;
        writeAfterClose = SerialWrite(handle, 1, &byte);  // still open until we return
    };
    const std::int32_t h = Open(1, rec);
    ScriptedBackend::Injection in;
    in.lineBreak = true;
    in.bytes = {1, 2};
    backend.Inject(1, in);
    ASSERT_TRUE(WaitForMonitorThreadCount(0, 10000));
    EXPECT_EQ(writeAfterClose.load(), 1);
    EXPECT_FALSE(backend.IsOpen(1));
    backend.InjectBytes(1, {3});
    EXPECT_EQ(rec.Events().size(), 1u);
    std::uint8_t buffer[4];
    EXPECT_EQ(SerialRead(h, 4, buffer), SERIAL_ERR_HANDLE);
}

TEST_F(ScriptedDriver, CloseFromAnotherThreadWaitsForTheRunningCallback) {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool closerStarted = false;
    std::atomic<bool> openWhenCallbackEnded{false};
    rec.onEvent = [&](std::int32_t, const SerialEvent&) {
        std::unique_lock<std::mutex> lock(m);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return closerStarted; });
        // Give a close that does not wait a chance to show; it must not.
        cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return !backend.IsOpen(1); });
        openWhenCallbackEnded = backend.IsOpen(1);
    };
    const std::int32_t h = Open(1, rec);
    backend.InjectBytes(1, {1});
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
    }
    std::thread closer([&] {
        {
            std::lock_guard<std::mutex> lock(m);
            closerStarted = true;
        }
        cv.notify_all();
        SerialClose(h);
    });
    closer.join();
    EXPECT_TRUE(openWhenCallbackEnded.load());
    EXPECT_FALSE(backend.IsOpen(1));
    backend.InjectBytes(1, {2});
    EXPECT_EQ(rec.Events().size(), 1u);
}

TEST_F(ScriptedDriver, EverythingFailsWithMinus4AfterCloseAndShutdownAndNumberingGoesOn) {
    const std::int32_t a = Open(1, rec);
    const std::int32_t b = Open(2, rec);
    SerialClose(a);
    SerialClose(a);
    SerialClose(0);
    std::uint8_t buffer[4] = {};
    std::uint32_t status = 0;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round ? "after shut-down" : "after close");
        EXPECT_EQ(SerialRead(a, 4, buffer), SERIAL_ERR_HANDLE);
        EXPECT_EQ(SerialWrite(a, 4, buffer), SERIAL_ERR_HANDLE);
        EXPECT_EQ(SerialSendBreak(a), SERIAL_ERR_HANDLE);
        EXPECT_EQ(SerialSetLines(a, 3), SERIAL_ERR_HANDLE);
        EXPECT_EQ(SerialGetModemStatus(a, &status), SERIAL_ERR_HANDLE);
        SerialClose(b);
    }
    EXPECT_EQ(SerialRead(b, 4, buffer), SERIAL_ERR_HANDLE);
    EXPECT_EQ(Open(1, rec), 3);
}

// Other threads' operations racing a close must end cleanly (-4 or a result),
// never hang or touch a freed port.
TEST_F(ScriptedDriver, OperationsRacingACloseNeitherHangNorCrash) {
    for (int round = 0; round < 20; ++round) {
        const std::int32_t h = Open(1, rec);
        ASSERT_GT(h, 0);
        std::atomic<bool> go{true};
        std::thread feeder([&] {
            while (go) backend.InjectBytes(1, {1, 2, 3});
        });
        std::thread user([&] {
            std::uint8_t buffer[8];
            while (go) {
                const std::int32_t r = SerialRead(h, 8, buffer);
                if (r == SERIAL_ERR_HANDLE) break;
                EXPECT_GE(r, 0);
            }
        });
        SerialClose(h);
        go = false;
        feeder.join();
        user.join();
        EXPECT_TRUE(WaitForMonitorThreadCount(0, 10000));
    }
}

TEST_F(ScriptedDriver, ProbeTellsMissingInUseAndFree) {
    EXPECT_EQ(ProbePort(9).outcome, PortProbe::Outcome::Missing);
    EXPECT_EQ(ProbePort(1).outcome, PortProbe::Outcome::Opened);
    Open(1, rec);
    EXPECT_EQ(ProbePort(1).outcome, PortProbe::Outcome::InUse);
}

}  // namespace
}  // namespace vtrl::serial::test
