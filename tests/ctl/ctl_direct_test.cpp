// vtrlctl against simulated devices attached to the driver in this process
// (sim/directline.h), as on Windows, where there is no pseudo-terminal: the
// commands, the record and the report file, and a stop in the middle, on the
// platform's own waits and locks. Runs natively and under Wine.
#include "ctl/cli.h"
#include "ctl/ports_list.h"
#include "ctl/stop.h"
#include "sim/directline.h"
#include "sim/simulator.h"

#include "serial.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace vtrl;
using namespace std::chrono_literals;

namespace {

constexpr DeviceAddress kLocal{};
constexpr std::uint32_t kSource = 1, kTarget = 2;

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

class CtlDirectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        qputenv("VTRLCFG_RECORD", File("record.sqlite").toUtf8());
        for (auto [port, device] : {std::pair{kSource, &source}, std::pair{kTarget, &target}}) {
            device->clearRemotes();
            auto c = *device->workingConfig(kLocal);
            c.deviceFunction = 2;  // an SPP Server: no remote to reach
            c.bondedAddress = {};
            device->setStoredConfig(kLocal, c);
            if (device == &target)
                target.setLocalAddress(*sim::parseAddress("001BDC0B0001"));
            ASSERT_TRUE(ports.attach(port, *device)) << device->errorText();
        }
        serial::SetBackend(&ports);
    }
    void TearDown() override
    {
        serial::SetBackend(nullptr);
        source.stop();
        target.stop();
    }
    QString File(const char* name) const { return dir.filePath(QLatin1String(name)); }
    Outcome Cli(QStringList args, const ctl::Timeouts& t = ctl::Timeouts{}.Scaled(0.25)) const
    {
        Outcome r;
        QTextStream out(&r.out), err(&r.err);
        args.prepend(QStringLiteral("vtrlctl"));
        r.code = ctl::RunCli(args, out, err, t);
        return r;
    }

    QTemporaryDir dir;
    sim::Simulator source, target;
    sim::DirectBackend ports;
};

TEST_F(CtlDirectTest, InfoReadAndApplyPutTheSettingsIntoFlashAndEveryRunIntoTheRecordAndTheReport)
{
    auto c = *source.workingConfig(kLocal);
    c.baudCode = 8, c.parityCode = 2, c.setName("Pump 7"), c.setPin("4711");
    source.setStoredConfig(kLocal, c);
    const Outcome info = Cli({"info", "--port", "COM1"});
    ASSERT_EQ(info.code, 0) << info.err.toStdString();
    EXPECT_TRUE(info.out.contains("from 001BDC0A1234")) << info.out.toStdString();
    EXPECT_TRUE(info.out.contains("38400,8,O,1")) << info.out.toStdString();
    ASSERT_EQ(Cli({"read", "--port", "1", "-o", File("p.json"), "--include-pin"}).code, 0);

    // A run that died mid-line left the report without its newline.
    QFile report(File("runs.log"));
    ASSERT_TRUE(report.open(QIODevice::WriteOnly));
    report.write("{\"program\": \"apply\", \"exi");
    report.close();
    for (int run = 0; run < 2; ++run) {
        const Outcome put = Cli({"apply", "--port", "COM2", File("p.json"), "--report", File("runs.log")});
        ASSERT_EQ(put.code, 0) << put.err.toStdString();
    }
    const auto flash = *target.flashConfig(kLocal);
    EXPECT_EQ(flash.baudCode, 8);
    EXPECT_EQ(flash.parityCode, 2);
    EXPECT_EQ(flash.name(), "Pump 7");
    EXPECT_EQ(flash.pin(), "4711");

    const Outcome fromRecord = Cli({"report"});
    EXPECT_TRUE(fromRecord.out.contains("2 run(s), 1 unit(s): 1 done, 0 failed")) << fromRecord.out.toStdString();
    const Outcome fromLog = Cli({"report", File("runs.log")});
    EXPECT_TRUE(fromLog.out.contains("2 run(s), 1 unit(s): 1 done, 0 failed"))
        << "both runs on lines of their own: " << fromLog.out.toStdString() << fromLog.err.toStdString();
}

TEST_F(CtlDirectTest, AStopWhileTheDeviceHasTheWordEndsTheWaitAtOnceTellsTheDeviceAndExitsAsSigint)
{
    ASSERT_TRUE(ctl::stop::Catch());
    ctl::stop::ResetForTesting();
    QFile profile(File("p.json"));
    ASSERT_TRUE(profile.open(QIODevice::WriteOnly));
    profile.write(R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server", "baud": 19200}})");
    profile.close();
    // Only the stop can end this wait in time: the answer is two minutes off.
    const std::uint8_t baud = target.flashConfig(kLocal)->baudCode;
    target.setAnswerDelayFor(sim::type::SetPortConfig, 120s);
    std::thread stopper([&] {
        if (target.waitForCommand(sim::type::SetPortConfig, 1, 60s))
            ctl::stop::Request(ctl::stop::kInterrupt);
    });
    const auto from = std::chrono::steady_clock::now();
    const Outcome stopped = Cli({"apply", "--port", "COM2", File("p.json"), "--timeout", "100000"});
    const auto took = std::chrono::steady_clock::now() - from;
    stopper.join();
    ctl::stop::ResetForTesting();
    EXPECT_EQ(stopped.code, 130) << stopped.err.toStdString();
    EXPECT_LT(took, 50s) << "the stop did not wake the wait";
    EXPECT_TRUE(stopped.err.contains("local port settings (SetPortConfig): stopped by SIGINT")) << stopped.err.toStdString();
    EXPECT_TRUE(stopped.err.contains("Abort sent")) << stopped.err.toStdString();
    EXPECT_TRUE(target.waitForCommand(sim::type::Abort, 1, 10s));
    EXPECT_EQ(target.flashConfig(kLocal)->baudCode, baud) << "flash untouched";
}

// Windows only: what waits for ports to come, or names a port by a path.
TEST_F(CtlDirectTest, WhatThisPlatformCannotDoSaysSoInOneLineWithExit2AndTouchesNoDevice)
{
    if (ctl::PortsFollowed())
        GTEST_SKIP() << "ports are followed here";
    QFile profile(File("p.json"));
    ASSERT_TRUE(profile.open(QIODevice::WriteOnly));
    profile.write(R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server"}})");
    profile.close();
    const struct {
        QStringList args;
        const char* line;
    } rows[] = {
        {{"ports", "--watch"}, "vtrlctl: ports --watch is not available on Windows"},
        {{"line", File("p.json"), "--all"}, "vtrlctl: line --all is not available on Windows"},
        {{"line", File("p.json"), "--port", "COM*"}, "vtrlctl: line --port COM* is not available on Windows"},
        {{"info", "--port", "/dev/ttyUSB0"}, "vtrlctl: --port /dev/ttyUSB0: on Windows a port is named by its COM number"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        const Outcome r = Cli(row.args);
        EXPECT_EQ(r.code, ctl::kExitUsage);
        EXPECT_TRUE(r.err.startsWith(QLatin1String(row.line))) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    EXPECT_EQ(source.receivedCount() + target.receivedCount(), 0u);
}

}  // namespace

// Qt finds the SQL driver beside the program (on Windows) through the application.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
