// vtrlctl against simulated devices: what a technician would see on the
// command line and what the devices end up holding.
#include "ctl/cli.h"
#include "sim/simulator.h"

#include "portnames.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace vtrl;
using namespace std::chrono_literals;

namespace {

constexpr DeviceAddress kLocal{};

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

// Short time-outs: the simulator answers at once, so only silence waits.
const ctl::Timeouts kFast = ctl::Timeouts{}.Scaled(0.05);

Outcome Cli(QStringList args)
{
    Outcome r;
    QTextStream out(&r.out), err(&r.err);
    args.prepend(QStringLiteral("vtrlctl"));
    r.code = ctl::RunCli(args, out, err, kFast);
    return r;
}

std::unique_ptr<sim::Simulator> Device(const char* address, const char* remote, std::uint8_t function)
{
    auto s = std::make_unique<sim::Simulator>();
    s->setLocalAddress(*sim::parseAddress(address));
    s->clearRemotes();
    sim::DeviceProfile r;
    r.address = *sim::parseAddress(remote);
    r.config.interfaceCode = 1;
    r.config.bondRole = 2;
    r.config.setName("Vantrel/S Far End");
    s->addRemote(r);
    auto c = *s->workingConfig(kLocal);
    c.deviceFunction = function;
    c.bondedAddress = {};
    s->setStoredConfig(kLocal, c);
    EXPECT_TRUE(s->start()) << s->errorText();
    return s;
}

QString Path(const sim::Simulator& s) { return QString::fromStdString(s.slavePath()); }

class CtlTest : public ::testing::Test {
protected:
    void SetUp() override { serial::ResetRegisteredPortsForTesting(); }
    QString File(const char* name) const { return dir.filePath(QLatin1String(name)); }
    void Write(const char* name, const QByteArray& text) const
    {
        QFile f(File(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QTemporaryDir dir;
};

std::size_t Count(const sim::Simulator& s, std::uint8_t type)
{
    std::size_t n = 0;
    for (const auto& f : s.received())
        n += f.type == type;
    return n;
}

// The settings a profile carries, as the device holds them.
void ExpectSameSettings(const sim::DeviceConfig& a, const sim::DeviceConfig& b, bool device)
{
    EXPECT_EQ(a.baudCode, b.baudCode);
    EXPECT_EQ(a.dataBitsCode, b.dataBitsCode);
    EXPECT_EQ(a.parityCode, b.parityCode);
    EXPECT_EQ(a.stopBitsCode, b.stopBitsCode);
    EXPECT_EQ(a.flowControlCode, b.flowControlCode);
    EXPECT_EQ(a.interfaceCode, b.interfaceCode);
    EXPECT_EQ(a.powerByte & 0x0F, b.powerByte & 0x0F);
    EXPECT_EQ(a.outputOnCD, b.outputOnCD);
    if (device) {
        EXPECT_EQ(a.name(), b.name());
        EXPECT_EQ(a.linkTimeout, b.linkTimeout);
        EXPECT_EQ(a.authentication, b.authentication);
        EXPECT_EQ(a.encryption, b.encryption);
        EXPECT_EQ(a.pin(), b.pin());
    }
}

TEST_F(CtlTest, ReadFromOneDeviceAndApplyToAnotherCopiesEverySettingIntoFlash)
{
    for (const std::uint8_t function : {std::uint8_t{1}, std::uint8_t{2}}) {
        SCOPED_TRACE(function == 1 ? "Cable Replacement pair" : "SPP Server");
        const bool pair = function == 1;
        auto a = Device("001BDC0A0001", "001BDC0A0002", function);
        auto b = Device("001BDC0B0001", "001BDC0B0002", function);
        // The source differs from the defaults in every setting a profile holds.
        auto c = *a->workingConfig(kLocal);
        c.baudCode = 8, c.dataBitsCode = 1, c.parityCode = 2, c.stopBitsCode = 2, c.flowControlCode = 2;
        c.outputOnCD = 1, c.powerByte = 0x13;
        c.setName("Pump 7"), c.linkTimeout = 33, c.authentication = 1, c.encryption = 1, c.setPin("4711");
        a->setStoredConfig(kLocal, c);
        auto r = *a->workingConfig(*sim::parseAddress("001BDC0A0002"));
        r.baudCode = 10, r.parityCode = 3, r.flowControlCode = 1, r.powerByte = 0x12;
        a->setStoredConfig(*sim::parseAddress("001BDC0A0002"), r);

        QStringList read = {"read", "--port", Path(*a), "-o", File("p.json"), "--include-pin"};
        if (pair)
            read << "--remote" << "001BDC0A0002";
        const Outcome got = Cli(read);
        ASSERT_EQ(got.code, 0) << got.err.toStdString();
        EXPECT_EQ(QFile(File("p.json")).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0)
            << "a profile with a PIN is for its owner only";

        QStringList apply = {"apply", "--port", Path(*b), File("p.json")};
        if (pair)
            apply << "--remote" << "001BDC0B0002";
        const Outcome put = Cli(apply);
        ASSERT_EQ(put.code, 0) << put.err.toStdString();
        EXPECT_TRUE(put.err.contains("Verified by a fresh read")) << put.err.toStdString();

        ExpectSameSettings(*a->workingConfig(kLocal), *b->flashConfig(kLocal), !pair);
        if (pair) {
            ExpectSameSettings(*a->workingConfig(*sim::parseAddress("001BDC0A0002")),
                               *b->flashConfig(*sim::parseAddress("001BDC0B0002")), false);
            EXPECT_EQ(b->flashConfig(kLocal)->bondedAddress, *sim::parseAddress("001BDC0B0002")) << "bonded first";
        }
    }
}

TEST_F(CtlTest, BadProfilesAreRefusedByKeyAndNothingIsSent)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    const QByteArray good = R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "Cable Replacement",
        "baud": 9600, "dataBits": 8, "parity": "none", "stopBits": 1, "flow": "hardware", "role": "DCE"}})";
    struct Case {
        const char* from;
        const char* to;
        const char* message;
    } cases[] = {
        {"\"baud\": 9600", "\"baud\": 9601", "local.baud: 9601 is not allowed; use one of 300, 1200"},
        {"\"parity\": \"none\"", "\"parity\": \"evn\"", "local.parity: \"evn\" is not allowed; use one of \"none\", \"odd\", \"even\""},
        {"\"flow\": \"hardware\"", "\"flow\": true", "local.flow: true is not allowed"},
        {"\"role\": \"DCE\"", "\"role\": \"DCE\", \"buad\": 1", "local.buad: unknown key; allowed keys are"},
        {", \"stopBits\": 1", "", "local.stopBits: missing"},
        {"\"version\": 1", "\"version\": 2", "version: 2 is not supported"},
        {"\"role\": \"DCE\"", "\"role\": \"DCE\", \"name\": \"x\"", "local.name: is set only on an SPP Server"},
        {"\"role\": \"DCE\"", "\"role\": \"DTE\", \"cdOutput\": true", "local.cdOutput: true is allowed only with \"role\": \"DCE\""},
        {"\"function\": \"Cable Replacement\"", "\"function\": \"SPP Server\", \"pin\": \"12345678901234567\"",
         "local.pin: \"12345678901234567\" is too long; the device holds at most 15"},
        {"", "[1, 2]", "a profile is a JSON object"},
        {"\"local\"", "\"local\" \"", "not a JSON document"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        QByteArray text = *c.from ? good : QByteArray(c.to);
        if (*c.from) {
            ASSERT_TRUE(text.contains(c.from));
            text.replace(c.from, c.to);
        }
        Write("bad.json", text);
        const Outcome r = Cli({"apply", "--port", Path(*dev), File("bad.json")});
        EXPECT_EQ(r.code, ctl::kExitUsage);
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
    }
    // A profile that is sound but does not fit the device: refused after
    // the port check, before any setting.
    QByteArray spp = good;
    spp.replace("Cable Replacement", "SPP Server");
    Write("spp.json", spp);
    EXPECT_EQ(dev->receivedCount(), 0u);
    const Outcome r = Cli({"apply", "--port", Path(*dev), File("spp.json")});
    EXPECT_EQ(r.code, ctl::kExitUsage);
    EXPECT_TRUE(r.err.contains("is for a SPP Server; the device on COM Port")) << r.err.toStdString();
    EXPECT_EQ(Count(*dev, sim::type::SetPortConfig), 0u);
}

TEST_F(CtlTest, ApplyThatFailsMidwayNeverSavesToFlash)
{
    struct Case {
        const char* what;
        std::function<void(sim::Simulator&)> fault;
        int code;
        const char* message;
    } cases[] = {
        {"remote refuses", [](sim::Simulator& s) { s.refuse(sim::type::SetPortConfig, sim::reason::DeviceBusy); }, ctl::kExitRefused,
         "local port settings (SetPortConfig): the device refused it with reason 2 \"Device Busy\""},
        {"remote silent", [](sim::Simulator& s) { s.setSilentFor(sim::type::SetPortConfig, true); }, ctl::kExitTimedOut,
         "local port settings (SetPortConfig): the device did not answer within 250 ms"},
        {"bonding fails", [](sim::Simulator& s) { s.setBonding({.failBonds = 1, .failCode = 5}); }, ctl::kExitRefused,
         "bonding has failed (BondResult 5)"},
        {"old remote", [](sim::Simulator& s) { s.setAppVersion(*sim::parseAddress("001BDC0B0002"), "Vantrel App V2.08"); },
         ctl::kExitRefused, "VtrlCfg requires application version V2.09 or greater"},
    };
    auto source = Device("001BDC0A0001", "001BDC0A0002", 1);
    ASSERT_EQ(Cli({"read", "--port", Path(*source), "--remote", "001BDC0A0002", "-o", File("p.json")}).code, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto target = Device("001BDC0B0001", "001BDC0B0002", 1);
        auto stored = *target->workingConfig(kLocal);
        stored.baudCode = 1;  // differs from the profile
        target->setStoredConfig(kLocal, stored);
        c.fault(*target);
        const Outcome r = Cli({"apply", "--port", Path(*target), File("p.json"), "--remote", "001BDC0B0002"});
        EXPECT_EQ(r.code, c.code);
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
        EXPECT_EQ(Count(*target, sim::type::UpdateFlash), 0u);
        EXPECT_EQ(target->flashConfig(kLocal)->baudCode, 1);
        EXPECT_TRUE(target->waitForCommand(sim::type::Abort, 1, 2s)) << "the device is told the session ends unfinished";
    }
}

TEST_F(CtlTest, DryRunSendsNothingAndInfoTraceHoldsThePortCheckInOrder)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    ASSERT_EQ(Cli({"read", "--port", Path(*dev), "-o", File("p.json")}).code, 0);
    dev->clearReceived();
    const Outcome dry = Cli({"apply", "--port", Path(*dev), File("p.json"), "--dry-run"});
    EXPECT_EQ(dry.code, 0);
    EXPECT_TRUE(dry.out.contains("SetPortConfig to the attached device: baud 9600")) << dry.out.toStdString();
    EXPECT_TRUE(dev->waitIdle(200ms));
    EXPECT_EQ(dev->receivedCount(), 0u);

    const Outcome info = Cli({"info", "--port", Path(*dev), "--trace", File("t.log")});
    ASSERT_EQ(info.code, 0) << info.err.toStdString();
    EXPECT_TRUE(info.out.contains("Data Format  : 9600,8,N,1\n  Flow Control  : Hardware")) << info.out.toStdString();
    QFile log(File("t.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    QStringList kinds;
    const QRegularExpression frame(QStringLiteral("(TX|RX) \\w+"));
    for (const QByteArray& line : log.readAll().split('\n'))
        if (const auto m = frame.match(QString::fromLatin1(line)); m.hasMatch())
            kinds << m.captured(0);
    EXPECT_EQ(kinds, QStringList({"TX GetLocalAddress", "RX LocalAddress", "TX GetVersion", "RX VersionInfo",
                                  "TX GetConfig", "RX ConfigReport"}));
}

TEST_F(CtlTest, DeviceVanishingMidCommandEndsInThePortError)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    dev->setSilentFor(sim::type::InitiateInquiry, true);
    std::thread unplug([&] {
        if (dev->waitForCommand(sim::type::InitiateInquiry, 1, 5s))
            dev->stop();
    });
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = Cli({"discover", "--port", Path(*dev)});
    const auto took = std::chrono::steady_clock::now() - start;
    unplug.join();
    EXPECT_EQ(r.code, ctl::kExitPort);
    EXPECT_TRUE(r.err.contains("is gone")) << r.err.toStdString();
    EXPECT_LT(took, kFast.inquiry) << "ended by the lost port, not by the inquiry's time-out";
}

}  // namespace
