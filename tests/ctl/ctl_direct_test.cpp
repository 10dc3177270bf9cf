// vtrlctl against simulated devices attached to the driver in this process
// (sim/directline.h), as on Windows, where there is no pseudo-terminal: on the
// platform's own wait, stops, report lock and record. Runs natively and under Wine.
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

#include <thread>

using namespace vtrl;
using namespace std::chrono_literals;

namespace {

constexpr DeviceAddress kLocal{};

class CtlDirectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        qputenv("VTRLCFG_RECORD", File("record.sqlite").toUtf8());
        target.setLocalAddress(*sim::parseAddress("001BDC0B0001"));
        for (sim::Simulator* device : {&source, &target}) {
            device->clearRemotes();
            auto c = *device->workingConfig(kLocal);
            c.deviceFunction = 2;  // an SPP Server: no remote to reach
            c.bondedAddress = {};
            device->setStoredConfig(kLocal, c);
        }
        ASSERT_TRUE(ports.attach(1, source) && ports.attach(2, target));
        serial::SetBackend(&ports);
        Write("spp.json", R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server", "baud": 19200}})");
    }
    void TearDown() override
    {
        serial::SetBackend(nullptr);
        source.stop();
        target.stop();
    }
    QString File(const char* name) const { return dir.filePath(QLatin1String(name)); }
    void Write(const char* name, const QByteArray& text) const
    {
        QFile f(File(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
    }
    int Cli(QStringList args, QString* err = nullptr, QString* out = nullptr) const
    {
        QString o, e;
        QTextStream outStream(out ? out : &o), errStream(err ? err : &e);
        return ctl::RunCli(QStringList{"vtrlctl"} + args, outStream, errStream, ctl::Timeouts{}.Scaled(0.25));
    }

    QTemporaryDir dir;
    sim::Simulator source, target;
    sim::DirectBackend ports;
};

TEST_F(CtlDirectTest, ReadAndApplyPutTheSettingsIntoFlashAndEveryRunIntoTheRecordAndTheReport)
{
    auto c = *source.workingConfig(kLocal);
    c.baudCode = 8, c.parityCode = 2, c.setName("Pump 7"), c.setPin("4711");
    source.setStoredConfig(kLocal, c);
    QString out;
    ASSERT_EQ(Cli({"info", "--port", "COM1"}, nullptr, &out), 0);
    EXPECT_TRUE(out.contains("from 001BDC0A1234") && out.contains("38400,8,O,1")) << out.toStdString();
    ASSERT_EQ(Cli({"read", "--port", "1", "-o", File("p.json"), "--include-pin"}), 0);
    // A run that died mid-line left the report without its newline.
    Write("runs.log", "{\"program\": \"apply\", \"exi");
    for (int run = 0; run < 2; ++run)
        ASSERT_EQ(Cli({"apply", "--port", "COM2", File("p.json"), "--report", File("runs.log")}), 0);
    const auto flash = *target.flashConfig(kLocal);
    EXPECT_EQ(flash.baudCode, 8);
    EXPECT_EQ(flash.name(), "Pump 7");
    EXPECT_EQ(flash.pin(), "4711");
    for (const QStringList& report : {QStringList{"report"}, QStringList{"report", File("runs.log")}}) {
        out.clear();
        Cli(report, nullptr, &out);
        EXPECT_TRUE(out.contains("2 run(s), 1 unit(s): 1 done, 0 failed")) << "each run on a line of its own: " << out.toStdString();
    }
}

TEST(CtlStopTest, ConsoleEventsStopWithTheExitCodesOfTheirSignals)
{
    // Ctrl-C, Ctrl-Break, the console closed, (two unused), logoff, shutdown, none.
    const int exitCodes[] = {130, 130, 129, 0, 0, 143, 143, 0};
    for (unsigned long event = 0; event < std::size(exitCodes); ++event) {
        const int signal = ctl::stop::FromConsoleEvent(event);
        EXPECT_EQ(signal == 0 ? 0 : 128 + signal, exitCodes[event]) << "event " << event;
    }
    EXPECT_STREQ(ctl::stop::Name(ctl::stop::FromConsoleEvent(2)), "SIGHUP");
}

// Every wait is 100 s: only the driver's wake-ups end the first ones in time,
// and only the stop the one for the setting.
TEST_F(CtlDirectTest, AStopWhileASettingIsUnansweredEndsTheWaitAtOnceTellsTheDeviceAndExits130)
{
    ASSERT_TRUE(ctl::stop::Catch());
    ctl::stop::ResetForTesting();
    const std::uint8_t baud = target.flashConfig(kLocal)->baudCode;
    target.setAnswerDelayFor(sim::type::SetPortConfig, 120s);
    std::thread stopper([&] {
        if (target.waitForCommand(sim::type::SetPortConfig, 1, 60s))
            ctl::stop::Request(ctl::stop::kInterrupt);
    });
    const auto from = std::chrono::steady_clock::now();
    QString err;
    const int code = Cli({"apply", "--port", "COM2", File("spp.json"), "--timeout", "100000"}, &err);
    const auto took = std::chrono::steady_clock::now() - from;
    stopper.join();
    ctl::stop::Request(ctl::stop::kTerminate);
    EXPECT_EQ(ctl::stop::Requested(), ctl::stop::kInterrupt) << "the first stop counts";
    ctl::stop::ResetForTesting();
    EXPECT_EQ(code, 130) << err.toStdString();
    EXPECT_LT(took, 50s) << "a wait was not woken";
    EXPECT_TRUE(err.contains("local port settings (SetPortConfig): stopped by SIGINT") && err.contains("Abort sent")) << err.toStdString();
    EXPECT_TRUE(target.waitForCommand(sim::type::Abort, 1, 10s));
    EXPECT_EQ(target.flashConfig(kLocal)->baudCode, baud);
}

TEST_F(CtlDirectTest, WhatWindowsCannotDoSaysSoInOneLineWithExit2AndSendsNothing)
{
    if (ctl::PortsFollowed())
        GTEST_SKIP() << "ports are followed here";
    const std::pair<QStringList, const char*> rows[] = {
        {{"ports", "--watch"}, "vtrlctl: ports --watch is not available on Windows"},
        {{"line", File("spp.json"), "--all"}, "vtrlctl: line --all is not available on Windows"},
        {{"line", File("spp.json"), "--port", "COM*"}, "vtrlctl: line --port COM* is not available on Windows"},
        {{"info", "--port", "/dev/ttyUSB0"}, "vtrlctl: --port /dev/ttyUSB0: on Windows a port is named by its COM number"},
    };
    for (const auto& [args, line] : rows) {
        QString err;
        EXPECT_EQ(Cli(args, &err), ctl::kExitUsage) << err.toStdString();
        EXPECT_TRUE(err.startsWith(QLatin1String(line)) && err.count('\n') == 1) << err.toStdString();
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
