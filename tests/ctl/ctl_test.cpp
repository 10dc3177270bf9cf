// vtrlctl against simulated devices: what a technician would see on the
// command line and what the devices end up holding.
#include "ctl/cli.h"
#include "sim/simulator.h"
#include "tests/support/pg_server.h"
#include "tests/support/posix_ports.h"
#include "record/record.h"

#include "holders.h"
#include "portnames.h"
#include "serial.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
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
// Not shorter: a loaded machine must not turn a prompt answer into silence.
const ctl::Timeouts kFast = ctl::Timeouts{}.Scaled(0.25);

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
    void SetUp() override
    {
        serial::ResetRegisteredPortsForTesting();
        // Each test's runs go to its own default record.
        qputenv("VTRLCFG_RECORD", File("record.sqlite").toUtf8());
    }
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
        // The name in Latin-1, as the wizard writes it.
        c.setName("Pumpe Ger\xE4t 7"), c.linkTimeout = 33, c.authentication = 1, c.encryption = 1, c.setPin("4711");
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
        if (!pair) {
            QFile written(File("p.json"));
            ASSERT_TRUE(written.open(QIODevice::ReadOnly));
            EXPECT_TRUE(written.readAll().contains("\"Pumpe Ger\xC3\xA4t 7\"")) << "the name as text, not as bytes";
        }

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
        {"\"version\": 1", "\"version\": 2", "version: 2 is not supported"},
        {"\"role\": \"DCE\"", "\"role\": \"DCE\", \"name\": \"x\"", "local.name: is set only on an SPP Server"},
        {"\"role\": \"DCE\"", "\"role\": \"DTE\", \"cdOutput\": true", "local.cdOutput: true is allowed only with \"role\": \"DCE\""},
        {"\"function\": \"Cable Replacement\"", "\"function\": \"SPP Server\", \"pin\": \"12345678901234567\"",
         "local.pin: \"12345678901234567\" is too long; the device holds at most 15"},
        {"\"baud\": 9600", "\"baud\": 1e300", "local.baud: 1e+300 is not allowed"},
        {"\"role\": \"DCE\"", "\"role\": \"DCE\", \"powerLevel\": -1e300", "local.powerLevel: -1e+300 is not allowed; use a whole number from 0 to 7"},
        {"\"function\": \"Cable Replacement\"", "\"function\": \"SPP Server\", \"name\": \"Gate \u20ac\"",
         "local.name: \"\u20ac\" is not allowed; the device holds letters, digits and signs of Western European languages only"},
        {"\"function\": \"Cable Replacement\"", "\"function\": \"SPP Server\", \"pin\": \"12\u00e934\"",
         "local.pin: \"\u00e9\" is not allowed; the device holds digits, the letters A to Z and the signs of a US keyboard only"},
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
    const Outcome endless = Cli({"apply", "--port", Path(*dev), "/dev/zero"});
    EXPECT_EQ(endless.code, ctl::kExitUsage);
    EXPECT_TRUE(endless.err.contains("/dev/zero: larger than 65536 bytes")) << endless.err.toStdString();
    // read's own options and file, likewise before the device hears anything.
    for (const QStringList& args : {QStringList{"read", "--port", Path(*dev), "--remote", "ZZZ", "-o", File("r.json")},
                                    QStringList{"read", "--port", Path(*dev), "-o", File("missing/r.json")}}) {
        const Outcome r = Cli(args);
        EXPECT_NE(r.code, 0);
        EXPECT_TRUE(r.err.contains(args.contains("ZZZ") ? "--remote ZZZ" : "cannot write")) << r.err.toStdString();
    }
    // A profile that is sound but does not fit the device: refused after
    // the port check, before any setting.
    QByteArray spp = good;
    spp.replace("Cable Replacement", "SPP Server");
    Write("spp.json", spp);
    EXPECT_EQ(dev->receivedCount(), 0u);
    const Outcome r = Cli({"apply", "--port", Path(*dev), File("spp.json")});
    EXPECT_EQ(r.code, ctl::kExitUsage);
    EXPECT_TRUE(r.err.contains("is for a SPP Server; the device on " + Path(*dev) + " is a Cable Replacement")) << r.err.toStdString();
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
         "local port settings (SetPortConfig): the device did not answer within 1250 ms"},
        {"bonding fails", [](sim::Simulator& s) { s.setBonding({.failBonds = 1, .failCode = 5}); }, ctl::kExitRefused,
         "bonding has failed (BondResult 5)"},
        {"link never up", [](sim::Simulator& s) { s.setBonding({.linkComesUp = false}); }, ctl::kExitTimedOut,
         "connecting to 001BDC0B0002 (ConnectionStatus): the device did not answer within 1250 ms"},
        {"link keeps failing", [](sim::Simulator& s) { s.setBonding({.connectionDownReports = 9, .stepDelay = 5ms}); },
         ctl::kExitRefused, "the device reported 5 times that the link is not up"},
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

TEST_F(CtlTest, DryRunAndVerifyReadTheDeviceAndWriteNothing)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    // A partial profile: only the keys to change.
    Write("p.json", R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "Cable Replacement", "baud": 19200}})");
    dev->clearReceived();
    const Outcome dry = Cli({"apply", "--port", Path(*dev), File("p.json"), "--dry-run"});
    EXPECT_EQ(dry.code, 0) << dry.err.toStdString();
    EXPECT_TRUE(dry.out.contains("local.baud: 9600 -> 19200\n")) << dry.out.toStdString();
    EXPECT_TRUE(dry.out.contains("1 setting(s) would change")) << dry.out.toStdString();
    const Outcome differs = Cli({"verify", "--port", Path(*dev), File("p.json")});
    EXPECT_EQ(differs.code, ctl::kExitMismatch);
    EXPECT_TRUE(differs.err.contains("local.baud: profile 19200, device 9600")) << differs.err.toStdString();
    EXPECT_TRUE(dev->waitIdle(200ms));
    for (const auto& f : dev->received())
        EXPECT_TRUE(f.type == sim::type::GetLocalAddress || f.type == sim::type::GetVersion || f.type == sim::type::GetConfig)
            << "only reads, not type " << int(f.type);
    // Applied, the partial profile changes the baud alone; a verification then holds.
    ASSERT_EQ(Cli({"apply", "--port", Path(*dev), File("p.json")}).code, 0);
    EXPECT_EQ(dev->flashConfig(kLocal)->baudCode, 7);
    EXPECT_EQ(dev->flashConfig(kLocal)->flowControlCode, Device("001BDC0C0001", "001BDC0C0002", 1)->flashConfig(kLocal)->flowControlCode);
    EXPECT_EQ(Cli({"verify", "--port", Path(*dev), File("p.json")}).code, 0);

    const Outcome info = Cli({"info", "--port", Path(*dev), "--trace", File("t.log")});
    ASSERT_EQ(info.code, 0) << info.err.toStdString();
    EXPECT_TRUE(info.out.contains("Data Format  : 19200,8,N,1\n  Flow Control  : Hardware")) << info.out.toStdString();
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

TEST_F(CtlTest, InfoFailuresNameTheStepAndEndWithTheirClassOfExitCode)
{
    struct Case {
        const char* what;
        std::function<void(sim::Simulator&)> fault;
        int code;
        const char* message;
    } cases[] = {
        {"old device", [](sim::Simulator& s) { s.setAppVersion(kLocal, "Vantrel App V2.08"); }, ctl::kExitRefused,
         "version (GetVersion): the device runs \"Vantrel App V2.08\": VtrlCfg requires application version V2.09 or greater"},
        {"silent device", [](sim::Simulator& s) { s.setSilent(true); }, ctl::kExitTimedOut,
         "port check (GetLocalAddress): the device did not answer within 500 ms"},
        {"refused report", [](sim::Simulator& s) { s.refuse(sim::type::GetConfig, sim::reason::ErrorExecuting); },
         ctl::kExitRefused, "configuration (GetConfig): the device refused it with reason 4 \"Error Executing Command\""},
        // A report that answers another request is no answer to this one.
        {"stale report", [](sim::Simulator& s) { s.setWrongConfigSeq(1); }, ctl::kExitTimedOut,
         "configuration (GetConfig): the device answered request 2 with a report for request 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
        c.fault(*dev);
        const Outcome r = Cli({"info", "--port", Path(*dev)});
        EXPECT_EQ(r.code, c.code);
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
    }
    const Outcome r = Cli({"info", "--port", File("no-such-tty")});
    EXPECT_EQ(r.code, ctl::kExitPort);
    EXPECT_TRUE(r.err.contains("cannot open " + File("no-such-tty") + ": ") && r.err.contains("no-such-tty: No such file"))
        << r.err.toStdString();
}

TEST_F(CtlTest, VerificationReadsWhatTheDeviceHoldsAfterApplying)
{
    auto source = Device("001BDC0A0001", "001BDC0A0002", 1);
    auto c = *source->workingConfig(kLocal);
    c.baudCode = 7;
    source->setStoredConfig(kLocal, c);
    ASSERT_EQ(Cli({"read", "--port", Path(*source), "-o", File("p.json")}).code, 0);

    // Confirmed but not taken: only the fresh read can tell.
    auto broken = Device("001BDC0B0001", "001BDC0B0002", 1);
    broken->setIgnoreSettings(true);
    const Outcome bad = Cli({"apply", "--port", Path(*broken), File("p.json")});
    EXPECT_EQ(bad.code, ctl::kExitMismatch);
    EXPECT_TRUE(bad.err.contains(QRegularExpression("verification failed:\n.*:   local.baud: profile 19200, device 9600")))
        << bad.err.toStdString();

    auto target = Device("001BDC0C0001", "001BDC0C0002", 1);
    const Outcome kept = Cli({"apply", "--port", Path(*target), File("p.json"), "--no-flash"});
    EXPECT_EQ(kept.code, 0) << kept.err.toStdString();
    EXPECT_EQ(target->workingConfig(kLocal)->baudCode, 7);
    EXPECT_EQ(target->flashConfig(kLocal)->baudCode, 6);
    EXPECT_EQ(Count(*target, sim::type::UpdateFlash), 0u);
}

TEST_F(CtlTest, SppServerPinIsCheckedBeforeSendingAndMaskedInTheTrace)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 2);
    auto c = *dev->workingConfig(kLocal);
    c.setPin("");
    dev->setStoredConfig(kLocal, c);
    const QByteArray profile = R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server",
        "baud": 9600, "dataBits": 8, "parity": "none", "stopBits": 1, "flow": "hardware", "role": "DCE",
        "name": "Gate 3", "authentication": true PIN}})";
    Write("nopin.json", QByteArray(profile).replace(" PIN", ""));
    const Outcome refused = Cli({"apply", "--port", Path(*dev), File("nopin.json")});
    EXPECT_EQ(refused.code, ctl::kExitUsage);
    EXPECT_TRUE(refused.err.contains("local.pin: authentication is on but neither the profile nor the device holds a PIN"))
        << refused.err.toStdString();
    EXPECT_EQ(Count(*dev, sim::type::SetPortConfig) + Count(*dev, sim::type::SetDeviceConfig), 0u);

    Write("pin.json", QByteArray(profile).replace(" PIN", ", \"pin\": \"4711\""));
    for (const bool show : {false, true}) {
        SCOPED_TRACE(show ? "--include-pin" : "PIN hidden");
        QStringList args = {"apply", "--port", Path(*dev), File("pin.json"), "--trace", File("t.log")};
        if (show)
            args << "--include-pin";
        const Outcome r = Cli(args);
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        QFile log(File("t.log"));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        const QByteArray trace = log.readAll();
        EXPECT_TRUE(trace.contains("SetDeviceConfig")) << trace.toStdString();
        EXPECT_EQ(trace.contains("34 37 31 31"), show) << "the PIN's bytes in hex";
        EXPECT_EQ(trace.contains("pin=\"4711\""), show);
        EXPECT_EQ(trace.contains("pin=(hidden)"), !show);
    }
    EXPECT_EQ(dev->flashConfig(kLocal)->pin(), "4711");
    EXPECT_EQ(dev->flashConfig(kLocal)->name(), "Gate 3");
}

TEST_F(CtlTest, SettingsAProfileCannotNameAreReportedOnReadAndRefusedOnApply)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    dev->setBonding({.connectionDownReports = 2, .stepDelay = 5ms});
    auto c = *dev->workingConfig(kLocal);
    c.baudCode = 0;
    dev->setStoredConfig(kLocal, c);
    const Outcome read = Cli({"read", "--port", Path(*dev), "--remote", "001BDC0A0002", "-o", File("p.json")});
    ASSERT_EQ(read.code, 0) << read.err.toStdString();
    EXPECT_EQ(read.err.count("Connection Error.. Retrying."), 2) << "bonded after two reports of a link not yet up";
    EXPECT_TRUE(read.err.contains("warning: local.baud: the device reports code 0, which names no setting")) << read.err.toStdString();
    const Outcome apply = Cli({"apply", "--port", Path(*dev), File("p.json"), "--remote", "001BDC0A0002"});
    EXPECT_EQ(apply.code, ctl::kExitUsage);
    EXPECT_TRUE(apply.err.contains("local.baud: 0 is not allowed")) << apply.err.toStdString();
}

// The program itself, for what only a process shows: its signals, its file
// size limit, its standard streams.
struct Launch {
    QStringList args;
    const char* stdoutTo = nullptr;  // a file instead of the captured output, e.g. /dev/full
    std::string stdinFrom = {};
    bool fullDisk = false;  // no file may grow: writes fail with EFBIG
    bool scaled = true;     // short time-outs; off where a trigger must come first
    std::string ports = {};  // VTRLCFG_PORTS
};

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;)
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    ::close(fd);
    return text;
}

// Starts vtrlctl, calls `during` with its pid and its standard output, and
// waits for it to end.
Outcome Program(const Launch& run, const std::function<void(pid_t, int)>& during = {})
{
    std::vector<std::string> words{VTRLCTL_BINARY};
    for (const QString& a : run.args)
        words.push_back(a.toStdString());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only calls that are safe between fork and exec.
        if (!run.stdinFrom.empty())
            ::dup2(::open(run.stdinFrom.c_str(), O_RDONLY), 0);
        ::dup2(run.stdoutTo ? ::open(run.stdoutTo, O_WRONLY) : out[1], 1);
        ::dup2(err[1], 2);
        ::signal(SIGXFSZ, SIG_IGN);
        if (run.fullDisk) {
            const rlimit none{0, 0};
            ::setrlimit(RLIMIT_FSIZE, &none);
        }
        if (run.scaled)
            ::setenv("VTRLCTL_TIME_SCALE", "0.25", 1);
        if (!run.ports.empty())
            ::setenv("VTRLCFG_PORTS", run.ports.c_str(), 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (during)
        during(pid, out[0]);
    Outcome r;
    r.err = QString::fromStdString(ReadAll(err[0]));
    r.out = QString::fromStdString(ReadAll(out[0]));
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return r;
}

// Another program that holds a port: it has it open under flock, or it is
// the live process named in the port's lock file.
class Holder {
public:
    enum Kind { None, Opened, Locked, Shell };
    Holder(Kind kind, const std::string& path)
    {
        if (kind == None)
            return;
        if (kind == Shell) {
            // A shell's exec 3<>: open, no lock, nothing of the test's own inherited.
            shell_ = ::fork();
            if (shell_ == 0) {
                ::execl("/bin/sh", "sh", "-c", ("exec 3<>'" + path + "'; sleep 30 3>&-").c_str(), static_cast<char*>(nullptr));
                ::_exit(127);
            }
            // Until the shell has the port open (its sleep has it then).
            for (int i = 0; i < 200 && !serial::OpenersOf({serial::RealDevice(path)}).count(serial::RealDevice(path)); ++i)
                std::this_thread::sleep_for(10ms);
            return;
        }
        using Grip = test::ForkedHolder::Grip;
        program_.emplace(path, kind == Opened ? Grip::Flock : Grip::Nothing);
        // Written after the holder started, or it would count as stale.
        if (kind == Locked && pid() > 0) {
            lockFile_ = serial::LockFilePath(serial::RealDevice(path));
            std::ofstream(lockFile_) << QString::asprintf("%10d\n", pid()).toStdString();
        }
    }
    ~Holder()
    {
        if (shell_ > 0) {
            ::kill(shell_, SIGKILL);
            ::waitpid(shell_, nullptr, 0);
        }
        if (!lockFile_.empty())
            ::unlink(lockFile_.c_str());
    }
    int pid() const { return shell_ > 0 ? shell_ : program_ ? program_->pid() : -1; }

private:
    std::optional<test::ForkedHolder> program_;
    std::string lockFile_;
    pid_t shell_ = -1;
};

QByteArray Contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

TEST_F(CtlTest, FailuresOnTheLineEndWithTheirCodeAndMessageAndLeaveDeviceAndFilesAsSaid)
{
    constexpr std::uint8_t kOldBaud = 6, kNewBaud = 7;  // 9600 in flash, 19200 in the profile
    Write("old.json", "the profile saved yesterday\n");
    const auto slow = [](std::uint8_t type) { return [type](sim::Simulator& s) { s.setAnswerDelayFor(type, 20s); }; };
    const auto when = [](std::uint8_t type, auto act) {
        return [type, act](sim::Simulator& s, pid_t pid) {
            if (s.waitForCommand(type, 1, 10s))
                act(s, pid);
        };
    };
    const auto signal = [](int number) { return [number](sim::Simulator&, pid_t pid) { ::kill(pid, number); }; };
    using Clock = std::chrono::steady_clock;
    Clock::time_point hungUp{};
    const auto hangUp = [&hungUp](sim::Simulator& s, pid_t) {
        hungUp = Clock::now();
        s.hangUp();
    };
    struct Case {
        const char* what;
        Launch run;
        std::function<void(sim::Simulator&)> fault;
        std::function<void(sim::Simulator&, pid_t)> during;
        int code;
        QStringList messages;
        bool flashNew = false;    // the device's flash holds the profile afterwards
        bool workingNew = false;  // it runs the profile's settings
        bool aborted = false;     // Abort came after the last other frame
        Holder::Kind holder = Holder::None;  // another program holds the port ($PID in messages)
    } cases[] = {
        {"full disk under read -o", {.args = {"read", "-o", File("old.json")}, .fullDisk = true}, {}, {}, ctl::kExitFailure,
         {"cannot write " + File("old.json") + ": ", "was left as it was"}},
        {"full disk under the trace", {.args = {"info", "--trace", File("t.log")}, .stdoutTo = "/dev/null", .fullDisk = true}, {}, {}, ctl::kExitFailure,
         {"cannot write the trace " + File("t.log"), "the trace is incomplete"}},
        {"full disk under the report", {.args = {"apply", File("p.json"), "--report", File("r.log"), "--record", "off"}, .fullDisk = true},
         {}, {}, ctl::kExitFailure, {"cannot append to the report " + File("r.log"), "this run is not in it"}, true, true},
        {"full disk under the record", {.args = {"apply", File("p.json")}, .fullDisk = true}, {}, {}, ctl::kExitFailure,
         {"cannot open the record " + File("record.sqlite")}},
        {"info into /dev/full", {.args = {"info"}, .stdoutTo = "/dev/full"}, {}, {}, ctl::kExitFailure, {"cannot write the output: No space left on device"}},
        {"read -o - into /dev/full", {.args = {"read", "-o", "-"}, .stdoutTo = "/dev/full"}, {}, {}, ctl::kExitFailure, {"cannot write the output"}},
        {"SIGINT while the port settings are unanswered", {.args = {"apply", File("p.json")}, .scaled = false},
         slow(sim::type::SetPortConfig), when(sim::type::SetPortConfig, signal(SIGINT)), 130,
         {"local port settings (SetPortConfig): stopped by SIGINT", "may have taken the local port settings (sent, not confirmed)",
          "None of them is saved to flash", "Abort sent"},
         false, true, true},
        {"SIGHUP before any setting", {.args = {"apply", File("p.json")}, .scaled = false}, slow(sim::type::GetConfig),
         when(sim::type::GetConfig, signal(SIGHUP)), 129,
         {"configuration (GetConfig): stopped by SIGHUP", "No setting was sent: the device is unchanged."}, false, false, true},
        {"SIGTERM while saving", {.args = {"apply", File("p.json")}, .scaled = false}, slow(sim::type::UpdateFlash),
         when(sim::type::UpdateFlash, signal(SIGTERM)), 143,
         {"stopped by SIGTERM", "The device took the local port settings.", "its flash may hold the old or the new settings"},
         true, true, true},
        // The device saved and named another command: not a refusal.
        {"save confirmed as another command", {.args = {"apply", File("p.json")}},
         [](sim::Simulator& s) { s.confirmAs(sim::type::UpdateFlash, sim::type::SetPortConfig); }, {}, ctl::kExitRefused,
         {"save to flash (UpdateFlash): the device confirmed command 10 instead", "its flash may hold the old or the new settings"},
         true, true, true},
        {"vanished after UpdateFlash", {.args = {"apply", File("p.json")}, .scaled = false}, slow(sim::type::UpdateFlash),
         when(sim::type::UpdateFlash, hangUp), ctl::kExitPort,
         {"save to flash (UpdateFlash): the port", "is gone", "its flash may hold the old or the new settings"}, true, true},
        // Full time-outs: the hang-up, not the inquiry's 20 s, must end it.
        {"vanished mid-inquiry", {.args = {"discover"}, .scaled = false}, {}, when(sim::type::InitiateInquiry, hangUp),
         ctl::kExitPort, {"the port " + File("dev.tty") + " is gone (the device vanished or was unplugged)"}},
        {"a lock file of a live program", {.args = {"info"}}, {}, {}, ctl::kExitPort,
         {"cannot open " + File("dev.tty") + " ($DEVICE): in use by vtrl-holder (PID $PID)"}, false, false, false,
         Holder::Locked},
        {"a shell that has the port open, without a lock", {.args = {"info"}}, {}, {}, ctl::kExitPort,
         {"cannot open " + File("dev.tty") + " ($DEVICE): in use by sh (PID $PID)"}, false, false, false, Holder::Shell},
        {"a refused setting", {.args = {"apply", File("p.json")}}, [](sim::Simulator& s) { s.refuse(sim::type::SetPortConfig, 2); }, {},
         ctl::kExitRefused, {"The device refused the local port settings and did not carry them out.", "the device is unchanged"},
         false, false, true},
        {"ports: held under flock without a lock file", {.args = {"ports"}}, {}, {}, ctl::kExitDone,
         {"COM Port 97 (" + File("dev.tty") + ")  in use         by vtrl-holder (PID $PID)"}, false, false, false,
         Holder::Opened},
        {"ports --json: a VTRLCFG_PORTS path", {.args = {"ports", "--json"}}, {}, {}, ctl::kExitDone,
         {"\"item\": \"COM Port 97 (" + File("dev.tty") + ")\"", "\"path\": \"" + File("dev.tty") + "\"",
          "\"device\": \"$DEVICE\"", "\"state\": \"free\""}},
        {"answers with a bad CRC", {.args = {"info", "--trace", File("t.log")}}, [](sim::Simulator& s) { s.setBadCrc(100); }, {},
         ctl::kExitTimedOut, {"port check (GetLocalAddress): the device answered, but 1 frame failed its checksum: check the cable"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        serial::ResetRegisteredPortsForTesting();
        auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
        const QString port = File("dev.tty");
        ASSERT_TRUE(dev->setStablePath(port.toStdString()));
        auto profile = *dev->workingConfig(kLocal);
        profile.baudCode = kNewBaud;
        dev->setStoredConfig(kLocal, profile);
        ASSERT_EQ(Cli({"read", "--port", port, "-o", File("p.json")}).code, 0);
        profile.baudCode = kOldBaud;
        dev->setStoredConfig(kLocal, profile);
        dev->clearReceived();
        QFile::remove(File("t.log"));
        if (c.fault)
            c.fault(*dev);
        Launch run = c.run;
        if (run.args.front() == "ports") {
            run.ports = port.toStdString();
        } else {
            run.args.insert(1, "--port");
            run.args.insert(2, port);
        }
        const Holder holder(c.holder, port.toStdString());
        const Outcome r = Program(run, [&](pid_t pid, int) {
            if (c.during)
                c.during(*dev, pid);
        });
        if (QByteArray(c.what).contains("vanished"))
            RecordProperty(QByteArray(c.what).replace(' ', '_').append("_ms").toStdString(),
                           static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - hungUp).count()));
        EXPECT_EQ(r.code, c.code);
        const QString said = r.err + r.out;
        for (QString m : c.messages) {
            m.replace("$PID", QString::number(holder.pid())).replace("$DEVICE", QString::fromStdString(serial::RealDevice(port.toStdString())));
            EXPECT_TRUE(said.contains(m)) << "missing: " << m.toStdString() << "\nin: " << said.toStdString();
        }
        EXPECT_EQ(Contents(File("old.json")), "the profile saved yesterday\n");
        EXPECT_EQ(dev->flashConfig(kLocal)->baudCode, c.flashNew ? kNewBaud : kOldBaud);
        EXPECT_EQ(dev->workingConfig(kLocal)->baudCode, c.workingNew ? kNewBaud : kOldBaud);
        // The simulator reads the line on a thread of its own: the program
        // can be gone before its last frame has been read.
        if (c.aborted)
            dev->waitForCommand(sim::type::Abort, 1, 5s);
        const auto frames = dev->received();
        const bool abortLast = !frames.empty() && frames.back().type == sim::type::Abort;
        EXPECT_EQ(abortLast, c.aborted);
        for (const auto& f : frames)
            EXPECT_TRUE(f.crcOk) << "a frame was cut by another";
        if (QByteArray(c.what).contains("CRC")) {
            EXPECT_TRUE(Contents(File("t.log")).contains("RX (bad CRC)")) << "the trace shows the frame it dropped";
        }
    }
}

// The next line of `fd`, or "" when none comes within `patience`.
std::string NextLine(int fd, std::string& buffer, std::chrono::milliseconds patience)
{
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (std::size_t end; (end = buffer.find('\n')) == std::string::npos;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        char chunk[4096];
        ssize_t n = 0;
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 || (n = ::read(fd, chunk, sizeof chunk)) <= 0)
            return "";
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
    const std::size_t end = buffer.find('\n');
    std::string line = buffer.substr(0, end);
    buffer.erase(0, end + 1);
    return line;
}

TEST_F(CtlTest, PortsWatchPrintsAPortAsItGoesAndComesBackUntilStopped)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    const QString link = File("watched.tty");
    ASSERT_TRUE(dev->setStablePath(link.toStdString()));
    std::vector<QJsonObject> events;
    const Outcome r = Program({.args = {"ports", "--watch", "--json"}, .ports = link.toStdString()}, [&](pid_t pid, int out) {
        std::string buffer;
        const auto next = [&] {
            // Lines for the machine's own ports may come too.
            for (std::string line; !(line = NextLine(out, buffer, 10s)).empty();) {
                const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
                if (o["path"].toString() == link) {
                    events.push_back(o);
                    return true;
                }
            }
            return false;
        };
        if (next()) {  // there from the start
            dev->hangUp();
            if (next()) {
                dev->comeBack();
                next();
            }
        }
        ::kill(pid, SIGINT);
    });
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    ASSERT_EQ(events.size(), 3u) << r.err.toStdString();
    const char* expected[][2] = {{"here", "free"}, {"went", "gone"}, {"came", "free"}};
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i]["event"].toString(), expected[i][0]);
        EXPECT_EQ(events[i]["state"].toString(), expected[i][1]);
        EXPECT_EQ(events[i]["item"].toString(), "COM Port 97 (" + link + ")");
    }
    EXPECT_EQ(events[2]["device"].toString(), QString::fromStdString(serial::RealDevice(link.toStdString())))
        << "the new pseudo-terminal behind the link";
}

TEST_F(CtlTest, ReportHoldsOneLinePerRunWithoutThePinAndSummarisesUnitsDoneAndFailed)
{
    auto good = Device("001BDC0A0001", "001BDC0A0002", 2);
    auto bad = Device("001BDC0B0001", "001BDC0B0002", 2);
    bad->setSilentFor(sim::type::SetDeviceConfig, true);
    Write("spp.json", R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server", "baud": 9600,
        "dataBits": 8, "parity": "none", "stopBits": 1, "flow": "hardware", "role": "DCE", "pin": "4711"}})");
    const QString log = File("line.log");
    const Outcome ok = Cli({"apply", "-p" + Path(*good), File("spp.json"), "--report", log, "--json"});
    const Outcome failed = Cli({"apply", "--port", Path(*bad), File("spp.json"), "--report", log});
    EXPECT_EQ(ok.code, 0) << ok.err.toStdString();
    EXPECT_EQ(failed.code, ctl::kExitTimedOut);
    for (const Outcome* r : {&ok, &failed})
        for (const QString& line : r->err.split('\n', Qt::SkipEmptyParts))
            EXPECT_TRUE(line.startsWith("/dev/pts/") || line.startsWith("vtrlctl: /dev/pts/"))
                << "a progress line without its port: " << line.toStdString();

    const QByteArray text = Contents(log);
    EXPECT_FALSE(text.contains("4711")) << "the PIN never enters the record";
    const QList<QByteArray> lines = text.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    const QJsonObject first = QJsonDocument::fromJson(lines[0]).object();
    EXPECT_EQ(QJsonDocument::fromJson(ok.out.toUtf8()).object(), first) << "--json prints the record";
    EXPECT_EQ(first["device"]["address"].toString(), "001BDC0A0001");
    EXPECT_EQ(first["verification"]["result"].toString(), "ok");
    EXPECT_EQ(first["flash"].toString(), "saved");
    for (const QJsonValue step : first["steps"].toArray())
        EXPECT_EQ(step["result"].toString(), "ok") << step["step"].toString().toStdString();
    const QJsonObject second = QJsonDocument::fromJson(lines[1]).object();
    EXPECT_EQ(second["exit"].toInt(), ctl::kExitTimedOut);
    EXPECT_EQ(second["failure"]["step"].toString(), "local device settings");
    EXPECT_EQ(second["flash"].toString(), "not saved");
    EXPECT_EQ(second["profile"]["sha256"], first["profile"]["sha256"]);

    const Outcome summary = Cli({"report", log});
    EXPECT_EQ(summary.code, ctl::kExitUnitsFailed) << "a unit's latest run failed";
    EXPECT_TRUE(summary.out.contains("2 run(s), 2 unit(s): 1 done, 1 failed")) << summary.out.toStdString();
    EXPECT_TRUE(summary.out.contains(QRegularExpression(
        "001BDC0B0001 .* exit 5  local device settings \\(SetDeviceConfig\\): the device did not answer")))
        << summary.out.toStdString();
    EXPECT_TRUE(summary.out.contains("1  local device settings: no answer")) << summary.out.toStdString();
}

TEST_F(CtlTest, CommandLineConventions)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    const Outcome version = Cli({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "vtrlctl " PROJECT_VERSION "\n") << "the version of project() in CMakeLists.txt";
    const Outcome help = Cli({"help", "apply"});
    EXPECT_EQ(help.code, 0);
    EXPECT_TRUE(help.out.contains("--report LOG")) << help.out.toStdString();
    EXPECT_EQ(Cli({"apply", "--help"}).out, help.out);

    ASSERT_EQ(Cli({"read", "-p" + Path(*dev), "-o" + File("p.json")}).code, 0);
    QByteArray twice = Contents(File("p.json"));
    twice.replace("\"baud\": 9600", "\"baud\": 9600, \"baud\": 19200");
    Write("twice.json", twice);
    Write("empty.json", " \n");
    struct Case {
        QStringList args;
        int code;
        const char* message;
    } cases[] = {
        {{"apply", "--port", Path(*dev), File("twice.json")}, ctl::kExitUsage, "twice.json: local.baud: appears twice"},
        {{"apply", "--port", Path(*dev), File("empty.json")}, ctl::kExitUsage, "empty.json: the profile is empty"},
        {{"info", "--port", "ttyVTRLNONE"}, ctl::kExitPort, "/dev/ttyVTRLNONE: No such file or directory; vtrlctl ports lists"},
        {{"read", "--port", Path(*dev), "-o", "-", "--json"}, ctl::kExitUsage, "--json: with -o - the profile itself is the JSON"},
        {{"info", "-p", "97", "-p", Path(*dev)}, ctl::kExitUsage, "--port is given twice; give it once"},
        {{"apply", "--port", Path(*dev), File("p.json"), "--label", "station"}, ctl::kExitUsage, "--label station: give key=value"},
        {{"info", "--port", Path(*dev), "--timeout", "0"}, ctl::kExitUsage, "--timeout 0: give the milliseconds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const Outcome r = Cli(c.args);
        EXPECT_EQ(r.code, c.code);
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
    }
    EXPECT_EQ(Count(*dev, sim::type::SetPortConfig), 0u);
    const Outcome piped = Program({.args = {"apply", "--port", Path(*dev), "-"}, .stdinFrom = File("p.json").toStdString()});
    EXPECT_EQ(piped.code, 0) << piped.err.toStdString();
}

// What a profile file, a FIFO or a folder given to -o become.
TEST_F(CtlTest, ReadWritesIntoWhatIsNoRegularFileAndReplacesOnlyRegularOnes)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    const std::string fifo = File("fifo").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string read;
    std::thread reader([&] { read = ReadAll(::open(fifo.c_str(), O_RDONLY)); });
    const Outcome toFifo = Cli({"read", "--port", Path(*dev), "-o", File("fifo")});
    reader.join();
    EXPECT_EQ(toFifo.code, 0) << toFifo.err.toStdString();
    EXPECT_NE(read.find("\"vtrlctl profile\""), std::string::npos) << "the reader got the profile";
    struct stat st{};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO is still a FIFO";

    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    const Outcome toFolder = Cli({"read", "--port", Path(*dev), "-o", File("folder")});
    EXPECT_EQ(toFolder.code, ctl::kExitUsage);
    EXPECT_TRUE(toFolder.err.contains("is a folder")) << toFolder.err.toStdString();

    Write("real.json", "old");
    ASSERT_TRUE(QFile::link(File("real.json"), File("link.json")));
    ASSERT_EQ(Cli({"read", "--port", Path(*dev), "-o", File("link.json")}).code, 0);
    EXPECT_TRUE(QFileInfo(File("link.json")).isSymLink()) << "a link stays a link";
    EXPECT_TRUE(Contents(File("real.json")).contains("vtrlctl profile"));
}

TEST_F(CtlTest, TheConsoleIsMarkedAndAPathIsNamedAsGiven)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    const std::string device = serial::RealDevice(dev->slavePath());
    Write("consoles", QByteArray("tty0                 -WU (EC  p  )    4:1\n") + QByteArray(device.c_str() + 5) + "  -W- (E  p a)  4:64\n");
    serial::SetConsolesFileForTesting(File("consoles").toStdString());
    qputenv("VTRLCFG_PORTS", Path(*dev).toUtf8());
    const Outcome ports = Cli({"ports"});
    qunsetenv("VTRLCFG_PORTS");
    serial::SetConsolesFileForTesting("");
    EXPECT_TRUE(ports.out.contains(QRegularExpression("COM Port 97 \\(" + QRegularExpression::escape(Path(*dev)) + "\\) +console +the kernel's console")))
        << ports.out.toStdString();

    // A link named on the command line is called by itself and its device, in messages and the record.
    serial::ResetRegisteredPortsForTesting();
    ASSERT_TRUE(dev->setStablePath(File("unit.tty").toStdString()));
    ASSERT_EQ(Cli({"read", "--port", Path(*dev), "-o", File("p.json")}).code, 0);
    const Outcome applied = Cli({"apply", "--port", File("unit.tty"), File("p.json"), "--json"});
    ASSERT_EQ(applied.code, 0) << applied.err.toStdString();
    const QString name = File("unit.tty") + " (" + QString::fromStdString(device) + ")";
    EXPECT_EQ(QJsonDocument::fromJson(applied.out.toUtf8())["port"].toString(), name);
    EXPECT_TRUE(applied.err.startsWith(name + ": Connected")) << applied.err.toStdString();
}

TEST_F(CtlTest, AReadWhoseAnswerFailedItsChecksumIsAskedOnceMore)
{
    for (const int bad : {1, 2}) {
        auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
        dev->setBadCrc(bad);
        const Outcome r = Cli({"info", "--port", Path(*dev)});
        EXPECT_EQ(r.code, bad == 1 ? 0 : ctl::kExitTimedOut) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("the answer failed its checksum; asking once more")) << r.err.toStdString();
        EXPECT_EQ(Count(*dev, sim::type::GetLocalAddress), 2u) << "asked twice, never a third time";
    }
}

TEST_F(CtlTest, RemoteBondedQuietAndTimeout)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    const Outcome none = Cli({"read", "--port", Path(*dev), "--remote", "bonded", "-o", File("p.json")});
    EXPECT_EQ(none.code, ctl::kExitUsage);
    EXPECT_TRUE(none.err.contains("--remote bonded: the device on " + Path(*dev) + " is bonded to no remote device")) << none.err.toStdString();
    ASSERT_EQ(Cli({"read", "--port", Path(*dev), "--remote", "001BDC0A0002", "-o", File("p.json")}).code, 0);
    const Outcome quiet = Cli({"apply", "-q", "--port", Path(*dev), File("p.json"), "--remote", "bonded"});
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.err, "") << "-q: errors only";
    EXPECT_EQ(Count(*dev, sim::type::SetPortConfig), 2u) << "the local device and the remote it is bonded to";
    dev->setSilent(true);
    const Outcome slow = Cli({"info", "--port", Path(*dev), "--timeout", "1200"});
    EXPECT_TRUE(slow.err.contains("did not answer within 1200 ms")) << "longer than the scaled 500 ms: " << slow.err.toStdString();
}

// The record in its database: every run of apply, the summary by unit,
// station and day, one unit's history, the export.
TEST_F(CtlTest, ApplyRunsGoToTheRecordAndReportSummarisesThem)
{
    auto a = Device("001BDC0A0001", "001BDC0A0002", 2);
    auto b = Device("001BDC0B0001", "001BDC0B0002", 2);
    Write("spp.json", R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server", "baud": 19200, "pin": "4711"}})");
    ASSERT_EQ(Cli({"apply", "--port", Path(*a), File("spp.json"), "--label", "station=3", "--label", "order=WO-1182"}).code, 0);
    b->setSilentFor(sim::type::SetDeviceConfig, true);
    EXPECT_EQ(Cli({"apply", "--port", Path(*b), File("spp.json"), "--label", "station=4"}).code, ctl::kExitTimedOut);
    const Outcome failing = Cli({"report"});
    EXPECT_EQ(failing.code, ctl::kExitUnitsFailed);
    b->setSilentFor(sim::type::SetDeviceConfig, false);
    ASSERT_EQ(Cli({"apply", "--port", Path(*b), File("spp.json"), "--label", "station=4"}).code, 0);
    ASSERT_EQ(Cli({"apply", "--port", Path(*a), File("spp.json"), "--label", "station=3"}).code, 0);

    const Outcome summary = Cli({"report", File("record.sqlite")});
    EXPECT_EQ(summary.code, 0) << summary.out.toStdString() << summary.err.toStdString();
    for (const QString& line : {QString("4 run\\(s\\), 2 unit\\(s\\): 2 done, 0 failed"), QString("1  local device settings: no answer"),
                                QString("\\n1 unit\\(s\\) done after a failed run"), QString("\\n  3 +1 done +0 failed"),
                                QString("\\n  4 +1 done +0 failed"), "\\n  " + QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd") + " +2 done +0 failed"})
        EXPECT_TRUE(summary.out.contains(QRegularExpression(line))) << "missing: " << line.toStdString() << "\n" << summary.out.toStdString();
    const Outcome history = Cli({"report", "--unit", "001BDC0B0001"});
    EXPECT_EQ(history.out.count('\n'), 2) << history.out.toStdString();
    EXPECT_TRUE(history.out.contains("local device settings: no answer  exit 5")) << history.out.toStdString();
    const Outcome exported = Cli({"report", "--export"});
    ASSERT_EQ(exported.out.count('\n'), 4);
    EXPECT_FALSE(exported.out.contains("4711")) << "the PIN never enters the record";
    const QJsonObject first = QJsonDocument::fromJson(exported.out.section('\n', 0, 0).toUtf8()).object();
    EXPECT_EQ(first["labels"]["order"].toString(), "WO-1182");
    EXPECT_EQ(first["station"].toString(), "3");
    EXPECT_EQ(first["program"].toString(), "apply");
    EXPECT_EQ(first["verification"]["result"].toString(), "ok");
    // An exported file reads as a record of old.
    Write("export.log", exported.out.toUtf8());
    EXPECT_TRUE(Cli({"report", File("export.log")}).out.contains("4 run(s), 2 unit(s): 2 done")) << "JSON lines";
}

std::unique_ptr<sim::Simulator> Spp(const char* address) { return Device(address, "001BDC0F0002", 2); }

TEST_F(CtlTest, LineCommissionsAUnitOnEveryPortNamesThemAndRecordsEach)
{
    std::vector<std::unique_ptr<sim::Simulator>> units;
    const QStringList addresses = {"001BDC0A0001", "001BDC0A0002", "001BDC0A0003"};
    for (const QString& address : addresses)
        units.push_back(Spp(address.toLatin1().constData()));
    units[2]->refuse(sim::type::SetDeviceConfig, 4);
    Write("spp.json", R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server", "baud": 19200}})");
    QStringList args = {"line", File("spp.json"), "--once", "--name", "PUMP-{n:03}", "--label", "station=7"};
    for (const auto& u : units)
        args << "--port" << Path(*u);
    const Outcome r = Cli(args);
    EXPECT_EQ(r.code, ctl::kExitRefused) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("line: 2 unit(s) done, 1 failed")) << r.err.toStdString();
    for (std::size_t i = 0; i < units.size(); ++i)
        EXPECT_TRUE(r.out.contains(Path(*units[i]) + ": " + addresses[i] + ": ")) << "plain lines name the slot and unit\n" << r.out.toStdString();
    QStringList names;
    for (int i = 0; i < 2; ++i) {
        names << QString::fromStdString(units[i]->flashConfig(kLocal)->name());
        EXPECT_EQ(units[i]->flashConfig(kLocal)->baudCode, 7);
    }
    EXPECT_NE(names[0], names[1]);
    for (const QString& name : names)
        EXPECT_TRUE(QRegularExpression("^PUMP-00[123]$").match(name).hasMatch()) << name.toStdString();
    const Outcome report = Cli({"report", "--json"});
    const QJsonObject o = QJsonDocument::fromJson(report.out.toUtf8()).object();
    EXPECT_EQ(o["runs"].toInt(), 3);
    EXPECT_EQ(o["stations"]["7"]["done"].toInt(), 2);
    EXPECT_EQ(o["failed"][0]["failure"]["step"].toString(), "local device settings");

    // Done before with this profile and still holding it: not done again.
    args.removeLast(), args.removeLast();
    for (const auto& u : units)
        u->clearReceived();
    const Outcome again = Cli(args);
    EXPECT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_TRUE(again.out.contains("already commissioned")) << again.out.toStdString();
    EXPECT_EQ(Count(*units[0], sim::type::SetPortConfig) + Count(*units[1], sim::type::SetPortConfig), 0u);
}

// A stop while one slot saves and another waits for its next unit: the
// saving unit is told with Abort and its record says what it holds.
TEST_F(CtlTest, LineStoppedBySigtermEndsEachSlotAndRecordsTheUnitInTheMiddle)
{
    auto saving = Spp("001BDC0A0001");
    auto done = Spp("001BDC0A0002");
    saving->setAnswerDelayFor(sim::type::UpdateFlash, 20s);
    Write("spp.json", R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server", "baud": 19200}})");
    const Outcome r = Program({.args = {"line", File("spp.json"), "--port", Path(*saving), "--port", Path(*done)}, .scaled = false},
                              [&](pid_t pid, int) {
                                  // The other slot's unit done, waiting for it to go.
                                  for (int i = 0; i < 500 && done->flashConfig(kLocal)->baudCode != 7; ++i)
                                      std::this_thread::sleep_for(10ms);
                                  if (saving->waitForCommand(sim::type::UpdateFlash, 1, 10s) && done->waitForCommand(sim::type::GetLocalAddress, 3, 10s))
                                      ::kill(pid, SIGTERM);
                              });
    EXPECT_EQ(r.code, 143) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("001BDC0A0001: failed (exit 143): save to flash (UpdateFlash): stopped by SIGTERM")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("its flash may hold the old or the new settings. | Abort sent")) << r.out.toStdString();
    EXPECT_TRUE(saving->waitForCommand(sim::type::Abort, 1, 5s));
    const QJsonObject o = QJsonDocument::fromJson(Cli({"report", "--json"}).out.toUtf8()).object();
    EXPECT_EQ(o["runs"].toInt(), 2);
    EXPECT_EQ(o["done"][0]["unit"].toString(), "001BDC0A0002") << "the other slot's unit stays done";
    EXPECT_EQ(o["failed"][0]["unit"].toString(), "001BDC0A0001");
    EXPECT_EQ(o["failed"][0]["exit"].toInt(), 143);
}

// Two line processes, on three simulators each, write one database at once:
// an SQLite file on this PC, and a PostgreSQL server as a plant's line PCs would.
TEST_F(CtlTest, TwoLinesAtOnceLoseNoRecordInSqliteOrPostgreSql)
{
    test::PgServer postgres;
    if (!postgres.skip.isEmpty())
        GTEST_SKIP() << postgres.skip.toStdString();
    ASSERT_FALSE(postgres.url.isEmpty()) << postgres.error.toStdString();
    Write("spp.json", R"({"format": "vtrlctl profile", "version": 1, "local": {"function": "SPP Server", "baud": 19200}})");
    for (const QString& db : {File("shared.sqlite"), postgres.url}) {
        SCOPED_TRACE(db.toStdString());
        std::vector<std::unique_ptr<sim::Simulator>> units;
        Launch lines[2];
        for (int l = 0; l < 2; ++l) {
            lines[l].args = {"line", File("spp.json"), "--once", "--record", db, "--label", QString("station=%1").arg(l + 1)};
            for (int u = 0; u < 3; ++u) {
                const std::string address = "001BDC0" + std::to_string(l + 1) + "000" + std::to_string(u + 1);
                units.push_back(Spp(address.c_str()));
                lines[l].args << "--port" << Path(*units.back());
            }
        }
        Outcome second;
        const Outcome first = Program(lines[0], [&](pid_t, int) { second = Program(lines[1]); });
        EXPECT_EQ(first.code, 0) << first.err.toStdString();
        EXPECT_EQ(second.code, 0) << second.err.toStdString();
        const Outcome report = Cli({"report", db, "--json"});
        EXPECT_EQ(report.code, 0) << report.err.toStdString();
        const QJsonObject o = QJsonDocument::fromJson(report.out.toUtf8()).object();
        EXPECT_EQ(o["runs"].toInt(), 6) << report.out.toStdString();
        EXPECT_EQ(o["stations"]["1"]["done"].toInt(), 3);
        EXPECT_EQ(o["stations"]["2"]["done"].toInt(), 3);
        for (const auto& u : units)
            EXPECT_EQ(u->flashConfig(kLocal)->baudCode, 7);
    }
}

TEST_F(CtlTest, ARecordOfANewerSchemaIsRefusedAndNothingIsSent)
{
    auto dev = Device("001BDC0A0001", "001BDC0A0002", 1);
    ASSERT_EQ(Cli({"read", "--port", Path(*dev), "-o", File("p.json")}).code, 0);
    {
        QString error;
        ASSERT_TRUE(record::Store::Open(File("record.sqlite"), error)) << error.toStdString();
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
        db.setDatabaseName(File("record.sqlite"));
        ASSERT_TRUE(db.open());
        QSqlQuery(db).exec("UPDATE vtrl_schema SET version = 99");
    }
    QSqlDatabase::removeDatabase("newer");
    dev->clearReceived();
    const Outcome r = Cli({"apply", "--port", Path(*dev), File("p.json")});
    EXPECT_EQ(r.code, ctl::kExitFailure);
    EXPECT_TRUE(r.err.contains("schema version 99, newer than this program's 1")) << r.err.toStdString();
    EXPECT_EQ(dev->receivedCount(), 0u);
}

}  // namespace
