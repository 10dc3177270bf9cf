// The simulator seen from the PC's side of the pseudo-terminal: real frames
// written to the slave, answers read back and checked byte by byte.

#include "simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vtrl::sim;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using vtrl::DeviceAddress;

namespace {

constexpr Millis kDeadline{5000};   // generous: CI runs under sanitizers
const DeviceAddress kLocal{};

// The PC end: a raw, non-blocking open of the slave.
class Line {
public:
    explicit Line(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
    }
    ~Line() { close(); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    bool ok() const { return fd_ >= 0; }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    void write(const Bytes& bytes) { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
    void send(std::uint8_t type, std::uint8_t seq, const Bytes& payload = {}) { write(encodeFrame(type, seq, payload)); }

    // Next complete frame, or nothing by the deadline.
    std::optional<Frame> next(Millis timeout = kDeadline)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (frames_.empty()) {
            const auto left = std::chrono::ceil<Millis>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            std::uint8_t buf[1024];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                raw.insert(raw.end(), buf, buf + n);
                parser_.feed(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), frames_);
            }
        }
        Frame f = std::move(frames_.front());
        frames_.erase(frames_.begin());
        return f;
    }

    // Collects whatever arrives within a short window; for checks that nothing came.
    Bytes drain(Millis window)
    {
        const auto before = raw.size();
        (void)next(window);
        return Bytes(raw.begin() + static_cast<std::ptrdiff_t>(before), raw.end());
    }

    Bytes raw;   // every byte read so far

private:
    int fd_ = -1;
    FrameParser parser_;
    std::vector<Frame> frames_;
};

DeviceAddress addr(const char* text) { return *parseAddress(text); }

Bytes withAddress(const DeviceAddress& a, Bytes tail = {})
{
    Bytes p(a.begin(), a.end());
    p.insert(p.end(), tail.begin(), tail.end());
    return p;
}

std::map<int, Bytes> decodeBlock(const Bytes& payload, std::size_t from)
{
    std::map<int, Bytes> out;
    std::size_t i = from;
    while (i + 2 <= payload.size() && payload[i] != 0 && payload[i + 1] != 0) {
        const std::size_t n = payload[i + 1];
        if (i + 2 + n > payload.size())
            break;
        out[payload[i]] = Bytes(payload.begin() + i + 2, payload.begin() + i + 2 + n);
        i += 2 + n;
    }
    return out;
}

class SimulatorLine : public testing::Test {
protected:
    void SetUp() override
    {
        sim.setInquiryDelay(5ms);
        sim.setBonding(BondingScript{.stepDelay = 5ms});
        ASSERT_TRUE(sim.start()) << sim.errorText();
        line = std::make_unique<Line>(sim.slavePath());
        ASSERT_TRUE(line->ok());
    }

    Frame expectFrame()
    {
        auto f = line->next();
        EXPECT_TRUE(f.has_value()) << "no answer within the deadline";
        if (!f)
            return Frame{};
        EXPECT_TRUE(f->crcOk);
        return *f;
    }

    // A bonding whose link comes up: afterwards the remote is reachable.
    void bondWithLink(const DeviceAddress& remote)
    {
        line->send(type::InitiateBonding, 0, withAddress(remote));
        EXPECT_EQ(expectFrame().payload, Bytes{0});
        Frame f = expectFrame();
        EXPECT_EQ(f.type, type::ConnectionStatus);
        EXPECT_EQ(f.payload, Bytes{2});
    }

    // Asserts that the command was handled and that nothing was written for it.
    void expectNoAnswer(std::uint8_t commandType, std::size_t occurrence = 1)
    {
        const auto written = sim.answersWritten();
        ASSERT_TRUE(sim.waitForCommand(commandType, occurrence, kDeadline));
        ASSERT_TRUE(sim.waitIdle(kDeadline));
        EXPECT_EQ(sim.answersWritten(), written);
        EXPECT_TRUE(line->drain(50ms).empty());
    }

    Simulator sim;
    std::unique_ptr<Line> line;
};

}  // namespace

TEST_F(SimulatorLine, LocalAddressAnswerCarriesTheAddressLeastSignificantByteFirst)
{
    sim.setLocalAddress(addr("0A0B0C0D0E0F"));
    line->write({0x5D, 0x03, 0x00, 0x00, 0x00, 0x89, 0x53, 0x14, 0x14});
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::LocalAddress);
    EXPECT_EQ(f.payload, (Bytes{0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A}));
    const auto got = sim.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].crcOk);
    EXPECT_EQ(got[0].type, 3);
}

TEST_F(SimulatorLine, VersionInfoPutsVersionDigitsWhereTheWizardReadsThem)
{
    struct Row {
        DeviceAddress device;
        const char* digits;
    };
    const DeviceAddress legacy = addr("001BDC0ADEF0");
    sim.setBtVersion(kLocal, "BT Stack 9");
    bondWithLink(legacy);
    for (const Row& row : {Row{kLocal, "305"}, Row{legacy, "208"}}) {
        line->send(type::GetVersion, 1, withAddress(row.device));
        Frame f = expectFrame();
        ASSERT_EQ(f.type, type::VersionInfo);
        ASSERT_EQ(f.payload.size(), 102u);
        EXPECT_EQ(f.payload[19], row.digits[0]);
        EXPECT_EQ(f.payload[20], '.');
        EXPECT_EQ(f.payload[21], row.digits[1]);
        EXPECT_EQ(f.payload[22], row.digits[2]);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f.payload[6]), 13), "Vantrel App V");
    }
    line->send(type::GetVersion, 2, withAddress(kLocal));
    Frame f = expectFrame();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f.payload[38])), "BT Stack 9");
    EXPECT_EQ(f.payload[100] | (f.payload[101] << 8), 0x0305);
}

TEST_F(SimulatorLine, VersionTextOf32CharactersFillsItsFieldWithoutSpilling)
{
    sim.setAppVersion(kLocal, std::string(40, 'A'));
    sim.setBtVersion(kLocal, "B");
    line->send(type::GetVersion, 0, withAddress(kLocal));
    Frame f = expectFrame();
    ASSERT_EQ(f.payload.size(), 102u);
    EXPECT_EQ(f.payload[37], 'A');
    EXPECT_EQ(f.payload[38], 'B');
}

TEST_F(SimulatorLine, ConfigReportAnswersWithTheRequestSequenceAndTheStoredState)
{
    DeviceConfig c = *sim.workingConfig(kLocal);
    c.baudCode = 9;
    c.setName("Press 4");
    ASSERT_TRUE(sim.setStoredConfig(kLocal, c));
    line->send(type::GetConfig, 0x42, withAddress(kLocal));
    Frame f = expectFrame();
    ASSERT_EQ(f.type, type::ConfigReport);
    ASSERT_GE(f.payload.size(), 1u);
    EXPECT_EQ(f.payload[0], 0x42);
    auto tags = decodeBlock(f.payload, 1);
    EXPECT_EQ(tags.size(), 18u);
    EXPECT_EQ(tags[3], Bytes{9});
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(tags[9].data())), "Press 4");
    EXPECT_EQ(tags[12], withAddress(addr("001BDC0A5678")));   // default bond
    EXPECT_EQ(tags[11], Bytes{1});                             // as Master

    const DeviceAddress remote = addr("001BDC0A9ABC");
    bondWithLink(remote);
    line->send(type::GetConfig, 0xFF, withAddress(remote));
    f = expectFrame();
    EXPECT_EQ(f.payload[0], 0xFF);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(decodeBlock(f.payload, 1)[9].data())), "Vantrel/S Dock 2");
}

TEST_F(SimulatorLine, WrongSequenceFaultHitsOnlyTheScriptedReports)
{
    sim.setWrongConfigSeq(1);
    line->send(type::GetConfig, 7, withAddress(kLocal));
    EXPECT_EQ(expectFrame().payload.at(0), 8);
    line->send(type::GetConfig, 9, withAddress(kLocal));
    EXPECT_EQ(expectFrame().payload.at(0), 9);
}

TEST_F(SimulatorLine, PortSettingsReachWorkingStateAndOnlyUpdateFlashPersistsThem)
{
    const DeviceAddress remote = addr("001BDC0A5678");
    const DeviceConfig flashBefore = *sim.flashConfig(kLocal);
    // baud 10, 7 bits, stop 2, parity Even, DTE, no flow, power 0x13, CD on
    line->send(type::SetPortConfig, 3, withAddress(kLocal, {10, 1, 2, 3, 1, 1, 0x13, 1}));
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::Confirmation);
    EXPECT_EQ(f.payload, Bytes{10});
    line->send(type::SetPortConfig, 4, withAddress(remote, {5, 2, 1, 2, 2, 2, 0x11, 0}));
    EXPECT_EQ(expectFrame().payload, Bytes{10});

    DeviceConfig w = *sim.workingConfig(kLocal);
    EXPECT_EQ(w.baudCode, 10);
    EXPECT_EQ(w.dataBitsCode, 1);
    EXPECT_EQ(w.stopBitsCode, 2);
    EXPECT_EQ(w.parityCode, 3);
    EXPECT_EQ(w.interfaceCode, 1);
    EXPECT_EQ(w.flowControlCode, 1);
    EXPECT_EQ(w.powerByte, 0x13);
    EXPECT_EQ(w.outputOnCD, 1);
    EXPECT_EQ(sim.workingConfig(remote)->baudCode, 5);
    EXPECT_EQ(*sim.flashConfig(kLocal), flashBefore);
    EXPECT_NE(sim.flashConfig(remote)->baudCode, 5);

    line->write({0x5D, 0x0E, 0x05, 0x00, 0x00, 0xBF, 0x49, 0xB5, 0xE0});
    f = expectFrame();
    EXPECT_EQ(f.type, type::Confirmation);
    EXPECT_EQ(f.payload, Bytes{14});
    EXPECT_EQ(*sim.flashConfig(kLocal), w);
    EXPECT_EQ(sim.flashConfig(remote)->baudCode, 5);
}

TEST_F(SimulatorLine, PortSettingsWithACodeOutOfRangeAreRefusedAndChangeNothing)
{
    const DeviceConfig before = *sim.workingConfig(kLocal);
    const Bytes rows[] = {{0, 2, 1, 1, 2, 3, 0x10, 0}, {11, 2, 1, 1, 2, 3, 0x10, 0}, {6, 3, 1, 1, 2, 3, 0x10, 0},
                          {6, 2, 3, 1, 2, 3, 0x10, 0}, {6, 2, 1, 4, 2, 3, 0x10, 0},  {6, 2, 1, 1, 0, 3, 0x10, 0},
                          {6, 2, 1, 1, 2, 4, 0x10, 0}, {6, 2, 1, 1, 2, 3, 0x10, 2}};
    for (const Bytes& row : rows) {
        line->send(type::SetPortConfig, 1, withAddress(kLocal, row));
        Frame f = expectFrame();
        EXPECT_EQ(f.type, type::NegativeResponse);
        EXPECT_EQ(f.payload, (Bytes{10, reason::ErrorExecuting}));
    }
    EXPECT_EQ(*sim.workingConfig(kLocal), before);
}

TEST_F(SimulatorLine, DeviceSettingsAreStoredAndAnUnterminatedNameIsCut)
{
    Bytes p(51, 0);
    std::fill_n(p.begin(), 30, 'x');   // no terminating zero
    p[30] = 0x2C;
    p[31] = 0x01;
    p[32] = 1;
    p[33] = 1;
    std::fill_n(p.begin() + 34, 16, '7');   // nor here
    p[50] = 1;
    line->send(type::SetDeviceConfig, 0, p);
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::Confirmation);
    EXPECT_EQ(f.payload, Bytes{11});
    DeviceConfig w = *sim.workingConfig(kLocal);
    EXPECT_EQ(w.name(), std::string(29, 'x'));
    EXPECT_EQ(w.linkTimeout, 300);
    EXPECT_EQ(w.encryption, 1);
    EXPECT_EQ(w.authentication, 1);
    EXPECT_EQ(w.pin(), std::string(15, '7'));
    EXPECT_EQ(sim.linkKeyResets(), 1);
    EXPECT_NE(sim.flashConfig(kLocal)->name(), w.name());
}

struct RefusalRow {
    const char* name;
    std::uint8_t command;
    Bytes payload;
    std::uint8_t reason;
    bool once;
    std::uint8_t normalAnswer;
};

void PrintTo(const RefusalRow& row, std::ostream* os) { *os << row.name; }

class SimulatorRefusal : public SimulatorLine, public testing::WithParamInterface<RefusalRow> {};

TEST_P(SimulatorRefusal, AnswersNegativeResponseWithTheReasonThenRecoversWhenOnce)
{
    const auto& row = GetParam();
    sim.refuse(row.command, row.reason, row.once);
    line->send(row.command, 0, row.payload);
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::NegativeResponse);
    EXPECT_EQ(f.payload, (Bytes{row.command, row.reason}));
    line->send(row.command, 1, row.payload);
    f = expectFrame();
    EXPECT_EQ(f.type, row.once ? row.normalAnswer : type::NegativeResponse);
    if (!row.once) {
        sim.accept(row.command);
        line->send(row.command, 2, row.payload);
        EXPECT_EQ(expectFrame().type, row.normalAnswer);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, SimulatorRefusal,
    testing::Values(RefusalRow{"PortSettingsBusyAlways", type::SetPortConfig, Bytes{0, 0, 0, 0, 0, 0, 6, 2, 1, 1, 2, 3, 0x10, 0},
                               reason::DeviceBusy, false, type::Confirmation},
                    RefusalRow{"FlashTimedOutOnce", type::UpdateFlash, {}, reason::ProcessTimedOut, true, type::Confirmation},
                    RefusalRow{"AddressChecksumOnce", type::GetLocalAddress, {}, reason::ChecksumFailure, true,
                               type::LocalAddress},
                    RefusalRow{"ConfigUnknownReasonAlways", type::GetConfig, Bytes(6, 0), 9, false, type::ConfigReport}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimulatorLine, SilentDeviceAnswersNothingButRecordsTheCommand)
{
    sim.setSilent(true);
    line->send(type::GetLocalAddress, 0);
    expectNoAnswer(type::GetLocalAddress);
    sim.setSilent(false);
    line->send(type::GetLocalAddress, 1);
    EXPECT_EQ(expectFrame().type, type::LocalAddress);
}

TEST_F(SimulatorLine, SilenceForOneCommandTypeLeavesTheOthersAnswered)
{
    sim.setSilentFor(type::GetConfig, true);
    line->send(type::GetConfig, 0, withAddress(kLocal));
    expectNoAnswer(type::GetConfig);
    line->send(type::GetLocalAddress, 1);
    EXPECT_EQ(expectFrame().type, type::LocalAddress);
}

TEST_F(SimulatorLine, BadCrcFaultCorruptsExactlyTheNextAnswers)
{
    sim.setBadCrc(1);
    line->send(type::GetLocalAddress, 0);
    auto bad = line->next();
    ASSERT_TRUE(bad);
    EXPECT_FALSE(bad->crcOk);
    EXPECT_EQ(bad->type, type::LocalAddress);
    line->send(type::GetLocalAddress, 1);
    EXPECT_TRUE(expectFrame().crcOk);
}

TEST_F(SimulatorLine, TruncatedAnswerLacksItsCrcBytes)
{
    sim.setTruncate(1);
    line->send(type::GetLocalAddress, 0);
    ASSERT_TRUE(sim.waitForAnswers(1, kDeadline));
    ASSERT_TRUE(sim.waitIdle(kDeadline));
    // Header and payload only: 11 bytes, then nothing; the receiver is left mid-frame.
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    while (line->raw.size() < 11 && std::chrono::steady_clock::now() < end)
        line->drain(20ms);
    EXPECT_EQ(line->raw.size(), 11u);
    EXPECT_TRUE(line->drain(50ms).empty());
}

TEST_F(SimulatorLine, NoiseBeforeAnswersDoesNotHideThem)
{
    const Bytes noise{0x00, 0xFF, 0x13};
    sim.setNoise(noise);
    line->send(type::GetLocalAddress, 0);
    EXPECT_EQ(expectFrame().type, type::LocalAddress);
    ASSERT_GE(line->raw.size(), 3u);
    EXPECT_EQ(Bytes(line->raw.begin(), line->raw.begin() + 3), noise);
}

TEST_F(SimulatorLine, CorruptCommandIsRefusedAsChecksumFailureOrIgnoredWhenScripted)
{
    Bytes frame = encodeFrame(type::UpdateFlash, 0, {});
    frame.back() ^= 0x40;
    line->write(frame);
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::NegativeResponse);
    EXPECT_EQ(f.payload, (Bytes{type::UpdateFlash, reason::ChecksumFailure}));
    EXPECT_FALSE(sim.received().at(0).crcOk);
    EXPECT_EQ(sim.flashConfig(kLocal), sim.workingConfig(kLocal));

    sim.setAnswerChecksumFailures(false);
    line->write(frame);
    ASSERT_TRUE(sim.waitForFrames(2, kDeadline));
    ASSERT_TRUE(sim.waitIdle(kDeadline));
    EXPECT_EQ(sim.answersWritten(), 1u);
}

TEST_F(SimulatorLine, UnknownTypeAndWrongLengthGetTheirReasons)
{
    line->send(0x55, 0, {});
    Frame f = expectFrame();
    EXPECT_EQ(f.payload, (Bytes{0x55, reason::UnknownCommand}));
    line->send(type::GetConfig, 1, Bytes(5, 0));
    f = expectFrame();
    EXPECT_EQ(f.payload, (Bytes{type::GetConfig, reason::ErrorExecuting}));
}

TEST_F(SimulatorLine, UnknownRemoteIsReportedAsTimedOut)
{
    const DeviceAddress nobody = addr("AABBCCDDEEFF");
    for (std::uint8_t command : {type::GetVersion, type::GetConfig, type::PingRequest}) {
        line->send(command, 0, withAddress(nobody));
        Frame f = expectFrame();
        EXPECT_EQ(f.type, type::NegativeResponse);
        EXPECT_EQ(f.payload, (Bytes{command, reason::ProcessTimedOut}));
    }
}

TEST_F(SimulatorLine, KnownRemoteIsReachedOnlyOverAnEstablishedLink)
{
    struct Row {
        const char* what;
        std::optional<bool> bondingLinkComesUp;   // none: no bonding
        bool answered;
    };
    const DeviceAddress partner = addr("001BDC0A5678");
    const DeviceAddress dock = addr("001BDC0A9ABC");
    const DeviceConfig partnerFlash = *sim.flashConfig(partner);
    std::uint8_t baud = 1;
    for (const Row& row : {Row{"never linked", std::nullopt, false}, Row{"bonding without link", false, false},
                           Row{"bonding with link", true, true}}) {
        SCOPED_TRACE(row.what);
        if (row.bondingLinkComesUp) {
            sim.setBonding(BondingScript{.linkComesUp = *row.bondingLinkComesUp, .stepDelay = 5ms});
            line->send(type::InitiateBonding, 0, withAddress(dock));
            EXPECT_EQ(expectFrame().payload, Bytes{0});
            if (*row.bondingLinkComesUp) {
                EXPECT_EQ(expectFrame().payload, Bytes{2});
            }
        }
        const DeviceConfig flashBefore = *sim.flashConfig(dock);
        ++baud;
        line->send(type::SetPortConfig, 1, withAddress(dock, {baud, 2, 1, 1, 2, 3, 0x10, 0}));
        line->send(type::GetConfig, 2, withAddress(dock));
        if (row.answered) {
            EXPECT_EQ(expectFrame().type, type::Confirmation);
            EXPECT_EQ(expectFrame().type, type::ConfigReport);
        } else {
            EXPECT_EQ(expectFrame().payload, (Bytes{type::SetPortConfig, reason::ProcessTimedOut}));
            EXPECT_EQ(expectFrame().payload, (Bytes{type::GetConfig, reason::ProcessTimedOut}));
        }
        line->send(type::UpdateFlash, 3);
        EXPECT_EQ(expectFrame().payload, Bytes{type::UpdateFlash});
        EXPECT_EQ(sim.flashConfig(dock)->baudCode, row.answered ? baud : flashBefore.baudCode);
        EXPECT_EQ(*sim.flashConfig(partner), partnerFlash) << "a bonding leaves the old partner out of reach";
    }
}

TEST_F(SimulatorLine, InquiryReportsEveryDiscoverableRemoteThenCompletes)
{
    DeviceProfile hidden;
    hidden.address = addr("001BDC0A0001");
    hidden.discoverable = false;
    sim.addRemote(hidden);
    line->write({0x5D, 0x04, 0x01, 0x02, 0x00, 0x0A, 0x00, 0xAE, 0x1C, 0x79, 0x29});
    std::vector<std::string> names;
    for (;;) {
        Frame f = expectFrame();
        if (f.type != type::InquiryResult) {
            EXPECT_EQ(f.type, type::InquiryComplete);
            break;
        }
        ASSERT_GE(f.payload.size(), 10u);
        EXPECT_EQ(f.payload.back(), 0);
        names.emplace_back(reinterpret_cast<const char*>(&f.payload[9]));
        if (names.size() == 1) {
            EXPECT_EQ(Bytes(f.payload.begin(), f.payload.begin() + 6), withAddress(addr("001BDC0A5678")));
        }
        ASSERT_LT(names.size(), 10u);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Vantrel/C", "Unknown", "Vantrel/C", "Mobile Phone"}));
}

TEST_F(SimulatorLine, InquiryScriptRepeatsResultsAndMovesOrDropsTheCompletion)
{
    struct Row {
        InquiryScript script;
        std::size_t results;
        bool completes;
    };
    sim.clearRemotes();
    DeviceProfile remote;
    remote.address = addr("001BDC0A0002");
    sim.addRemote(remote);
    InquiryScript repeated, early, missing;
    repeated.duplicates = 2;
    early.completeAfter = 1ms;
    missing.completeMissing = true;
    for (const Row& row : {Row{repeated, 3, true}, Row{early, 0, true}, Row{missing, 1, false}}) {
        sim.setInquiry(row.script);
        line->send(type::InitiateInquiry, 0, {0x0A, 0x00});
        std::vector<std::uint8_t> types;
        while (auto f = line->next(300ms)) {
            types.push_back(f->type);
            if (f->type == type::InquiryComplete)
                break;
        }
        if (row.completes) {
            ASSERT_FALSE(types.empty());
            EXPECT_EQ(types.front() == type::InquiryComplete, row.results == 0) << "early completion comes first";
            EXPECT_EQ(std::count(types.begin(), types.end(), type::InquiryComplete), 1);
        } else {
            EXPECT_EQ(std::count(types.begin(), types.end(), type::InquiryComplete), 0);
        }
        if (row.results > 0) {
            EXPECT_EQ(static_cast<std::size_t>(std::count(types.begin(), types.end(), type::InquiryResult)), row.results);
        }
        line->drain(50ms);
    }
}

TEST_F(SimulatorLine, PingScriptAndUnresponsiveRemote)
{
    const DeviceAddress remote = addr("001BDC0A9ABC");
    sim.setPing(PingScript{.confirm = false, .connectionStatus = 2, .connectionDelay = 1ms});
    line->send(type::PingRequest, 0, withAddress(remote));
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::ConnectionStatus);
    EXPECT_EQ(f.payload, Bytes{2});
    line->send(type::GetConfig, 1, withAddress(remote));
    EXPECT_EQ(expectFrame().type, type::ConfigReport) << "the ping's link reaches the pinged unit";

    ASSERT_TRUE(sim.setUnresponsive(remote, true));
    EXPECT_FALSE(sim.setUnresponsive(addr("AABBCCDDEEFF"), true)) << "not a remote";
    line->send(type::GetVersion, 1, withAddress(remote));
    expectNoAnswer(type::GetVersion);
    line->send(type::GetConfig, 2, withAddress(remote));
    expectNoAnswer(type::GetConfig);
    line->send(type::GetVersion, 3, withAddress(kLocal));
    EXPECT_EQ(expectFrame().type, type::VersionInfo) << "the attached device still answers";
}

TEST_F(SimulatorLine, BondingMovesTheBondToTheNewPartnerAndReportsTheLinkUp)
{
    const DeviceAddress oldPartner = addr("001BDC0A5678");
    const DeviceAddress target = addr("001BDC0A9ABC");
    sim.setBonding(BondingScript{.failBonds = 1, .failCode = 3, .connectionDownReports = 1, .stepDelay = 5ms});
    line->send(type::InitiateBonding, 0, withAddress(target));
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::BondResult);
    EXPECT_EQ(f.payload, Bytes{3});
    EXPECT_EQ(sim.workingConfig(kLocal)->bondedAddress, oldPartner);

    line->send(type::InitiateBonding, 1, withAddress(target));
    f = expectFrame();
    EXPECT_EQ(f.type, type::BondResult);
    EXPECT_EQ(f.payload, Bytes{0});
    f = expectFrame();
    EXPECT_EQ(f.type, type::ConnectionStatus);
    EXPECT_EQ(f.payload, Bytes{0});
    f = expectFrame();
    EXPECT_EQ(f.type, type::ConnectionStatus);
    EXPECT_EQ(f.payload, Bytes{2});

    const DeviceAddress localAddress = sim.local().address;
    EXPECT_EQ(sim.workingConfig(kLocal)->bondedAddress, target);
    EXPECT_EQ(sim.workingConfig(kLocal)->bondRole, 1);
    EXPECT_EQ(sim.workingConfig(target)->bondedAddress, localAddress);
    EXPECT_EQ(sim.workingConfig(oldPartner)->bondedAddress, DeviceAddress{});
    EXPECT_EQ(sim.flashConfig(kLocal)->bondedAddress, oldPartner);
}

TEST_F(SimulatorLine, PingIsConfirmedAndAbortIsCountedWithoutAnswer)
{
    line->send(type::PingRequest, 0, withAddress(addr("001BDC0A9ABC")));
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::Confirmation);
    EXPECT_EQ(f.payload, Bytes{12});
    line->send(type::Abort, 1, {3});
    expectNoAnswer(type::Abort);
    EXPECT_EQ(sim.abortCount(), 1);
}

TEST_F(SimulatorLine, AnswerDelayHoldsTheAnswerBack)
{
    sim.setAnswerDelay(150ms);
    const auto sent = std::chrono::steady_clock::now();
    line->send(type::GetLocalAddress, 0);
    EXPECT_EQ(expectFrame().type, type::LocalAddress);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 150ms);
}

TEST_F(SimulatorLine, ReopeningThePortAfterCloseStillWorks)
{
    line->send(type::GetLocalAddress, 0);
    EXPECT_EQ(expectFrame().type, type::LocalAddress);
    line->close();
    line = std::make_unique<Line>(sim.slavePath());
    ASSERT_TRUE(line->ok());
    line->send(type::GetLocalAddress, 1);
    EXPECT_EQ(expectFrame().type, type::LocalAddress);
    EXPECT_TRUE(sim.running());
}

TEST_F(SimulatorLine, PartialFrameIsDroppedAfterIdleSoTheNextCommandIsAnswered)
{
    sim.setResyncTimeout(30ms);
    line->write({0x5D, 0x10, 0x00, 0x06});
    ASSERT_TRUE(sim.waitForPartialDrops(1, kDeadline));
    line->send(type::GetLocalAddress, 1);
    EXPECT_EQ(expectFrame().type, type::LocalAddress);
}

TEST(SimulatorLifecycle, StopThenStartOpensAFreshTerminal)
{
    Simulator sim;
    ASSERT_TRUE(sim.start());
    EXPECT_FALSE(sim.slavePath().empty());
    sim.stop();
    EXPECT_FALSE(sim.running());
    EXPECT_TRUE(sim.slavePath().empty());
    ASSERT_TRUE(sim.start());
    Line line(sim.slavePath());
    ASSERT_TRUE(line.ok());
    line.send(type::GetLocalAddress, 0);
    auto f = line.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->type, type::LocalAddress);
}

// ---- switches for the configuration and save pages ----

TEST_F(SimulatorLine, LateTypeIsAnsweredAfterTheOthersAndConfirmAsNamesTheOtherCommand)
{
    sim.setAnswerDelayFor(type::UpdateFlash, 300ms);
    sim.confirmAs(type::UpdateFlash, type::SetDeviceConfig);
    line->send(type::UpdateFlash, 0);
    line->send(type::GetLocalAddress, 1);
    EXPECT_EQ(expectFrame().type, type::LocalAddress) << "the late answer must not hold up the others";
    Frame f = expectFrame();
    EXPECT_EQ(f.type, type::Confirmation);
    EXPECT_EQ(f.payload, Bytes{type::SetDeviceConfig});

    sim.setAnswerDelayFor(type::UpdateFlash, 0ms);
    sim.confirmAs(type::UpdateFlash, type::UpdateFlash);
    line->send(type::UpdateFlash, 2);
    EXPECT_EQ(expectFrame().payload, Bytes{type::UpdateFlash});
}

TEST_F(SimulatorLine, FlashImageShowsWhatIsKeptAndFlagsUnsavedSettings)
{
    Bytes p(51, 0);
    const std::string name = "Gate 7";
    std::copy(name.begin(), name.end(), p.begin());
    p[30] = 33;
    line->send(type::SetDeviceConfig, 0, p);
    ASSERT_EQ(expectFrame().type, type::Confirmation);
    const std::string before = sim.flashImage();
    EXPECT_EQ(before.find("Gate 7"), std::string::npos);
    EXPECT_NE(before.find("not in flash"), std::string::npos);

    line->send(type::UpdateFlash, 1);
    ASSERT_EQ(expectFrame().type, type::Confirmation);
    const std::string after = sim.flashImage();
    EXPECT_NE(after.find("Flash of the attached device 001BDC0A1234:\n"), std::string::npos) << after;
    EXPECT_NE(after.find("device name   \"Gate 7\"\n  link timeout  33\n"), std::string::npos) << after;
    EXPECT_NE(after.find("  serial        9600,8,N,1, flow Hardware, DCE\n"), std::string::npos) << after;
    EXPECT_EQ(after.find("not in flash"), std::string::npos);
    EXPECT_NE(after.find("Remote devices whose flash is as it was: 001BDC0A5678, 001BDC0A9ABC, 001BDC0ADEF0"),
              std::string::npos) << after;
}

// ---- the fault plan and answers in order ----

TEST_F(SimulatorLine, FaultPlanAndAnswerOrderShapeWhatThePcGetsAndWhatTheDeviceHolds)
{
    using Kind = CommandFault::Kind;
    const DeviceAddress dock = addr("001BDC0A9ABC");
    const DeviceAddress legacy = addr("001BDC0ADEF0");
    struct Row {
        const char* what;
        std::uint8_t command;   // SetPortConfig of the attached device, or InitiateBonding
        DeviceAddress target;   // the unit bonded with
        CommandFault fault;
        AnswerOrder order;
        std::vector<std::uint8_t> arrives;   // frame types on the PC's side; LocalAddress answers the follower
        Bytes refusal;                       // payload of the first NegativeResponse among them
        bool acted;
    };
    const Millis late{300};
    const auto port = type::SetPortConfig;
    const auto bond = type::InitiateBonding;
    const auto ok = type::Confirmation, la = type::LocalAddress, br = type::BondResult, cs = type::ConnectionStatus;
    const auto no = type::NegativeResponse;
    const auto over = AnswerOrder::Overtaking, inOrder = AnswerOrder::InOrder, busy = AnswerOrder::Busy;
    const Bytes busyRefusal{type::GetLocalAddress, reason::DeviceBusy};
    const Row rows[] = {
        {"normal", port, {}, {}, over, {ok, la}, {}, true},
        {"late is overtaken", port, {}, {Kind::Late, late}, over, {la, ok}, {}, true},
        {"late holds back the next in order", port, {}, {Kind::Late, late}, inOrder, {ok, la}, {}, true},
        {"dropped", port, {}, {Kind::Drop}, over, {la}, {}, false},
        {"muted", port, {}, {Kind::Mute}, over, {la}, {}, true},
        {"twice", port, {}, {Kind::Twice}, over, {ok, ok, la}, {}, true},
        {"refused", port, {}, {Kind::Refuse, {}, 3, 0xEE}, over, {no, la}, {0xEE, 3}, false},
        {"late refusal is overtaken", port, {}, {Kind::Refuse, late, 3, 0xEE}, over, {la, no}, {0xEE, 3}, false},
        {"late refusal holds back the next in order", port, {}, {Kind::Refuse, late, 3, 0xEE}, inOrder, {no, la}, {0xEE, 3}, false},
        {"busy: the next is refused at once, not carried out", port, {}, {Kind::Late, late}, busy, {no, ok}, busyRefusal, true},
        {"busy while a late refusal is due", port, {}, {Kind::Refuse, late, 4, 0x0A}, busy, {no, no}, busyRefusal, false},
        {"busy with nothing late answers as usual", port, {}, {Kind::Twice}, busy, {ok, ok, la}, {}, true},
        {"busy: a lost answer is not late", port, {}, {Kind::Mute}, busy, {la}, {}, true},
        {"bonding dropped", bond, dock, {Kind::Drop}, inOrder, {la}, {}, false},
        {"bonding muted: the link comes up unreported", bond, dock, {Kind::Mute}, inOrder, {la}, {}, true},
        {"bonding twice", bond, legacy, {Kind::Twice}, inOrder, {br, br, cs, cs, la}, {}, true},
        {"busy with a late bonding", bond, dock, {Kind::Late, late}, busy, {no, br, cs}, busyRefusal, true},
        // What the switches say, said by a plan.
        {"ignored: not acted on, not answered", port, {}, {Kind::Ignore}, over, {la}, {}, false},
        {"confirmed only: the settings do not take", port, {}, {Kind::ConfirmOnly}, over, {ok, la}, {}, false},
        {"slow is overtaken", port, {}, {Kind::Normal, {}, 2, 0, late}, over, {la, ok}, {}, true},
        {"busy while a slow answer is due", port, {}, {Kind::Normal, {}, 2, 0, late}, busy, {no, ok}, busyRefusal, true},
        {"confirmed under another name", port, {}, {Kind::Normal, {}, 2, 0, {}, type::UpdateFlash}, over, {ok, la},
         {}, true},
    };
    std::uint8_t baud = 1;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        sim.setAnswerOrder(row.order);
        sim.setFaultPlan([command = row.command, fault = row.fault](const ReceivedFrame& f) {
            return f.type == command ? fault : CommandFault{};
        });
        sim.clearReceived();
        baud = static_cast<std::uint8_t>(baud % 10 + 1);   // always a new code in range
        Bytes both = row.command == port ? encodeFrame(port, 1, withAddress(kLocal, {baud, 2, 1, 1, 2, 3, 0x10, 0}))
                                         : encodeFrame(bond, 1, withAddress(row.target));
        const Bytes follower = encodeFrame(type::GetLocalAddress, 2, {});
        both.insert(both.end(), follower.begin(), follower.end());
        line->write(both);
        ASSERT_TRUE(sim.waitForCommand(type::GetLocalAddress, 1, kDeadline));
        ASSERT_TRUE(sim.waitIdle(kDeadline));
        std::vector<Frame> got;
        while (auto f = line->next(50ms))
            got.push_back(*f);

        std::vector<std::uint8_t> types;
        bool refusalSeen = false;
        for (std::size_t i = 0; i < got.size(); ++i) {
            types.push_back(got[i].type);
            if (got[i].type == type::NegativeResponse && !std::exchange(refusalSeen, true)) {
                EXPECT_EQ(got[i].payload, row.refusal);
            }
            if (row.fault.kind == Kind::Twice && i > 0 && got[i].type == got[i - 1].type) {
                EXPECT_EQ(got[i].seq, got[i - 1].seq) << "a retransmission is the same frame";
                EXPECT_EQ(got[i].crc, got[i - 1].crc);
                EXPECT_EQ(got[i].payload, got[i - 1].payload);
            }
        }
        EXPECT_EQ(types, row.arrives);
        EXPECT_EQ(sim.received().at(0).dropped, row.fault.kind == Kind::Drop);
        EXPECT_EQ(sim.received().at(1).busy, row.fault.lateBy > 0ms || row.fault.slowBy > 0ms)
            << "the follower came while a late answer was due";
        if (!got.empty() && got[0].type == type::Confirmation) {
            EXPECT_EQ(got[0].payload, Bytes{row.fault.confirmAs.value_or(row.command)}) << "the type it names";
        }
        if (row.command == port) {
            EXPECT_EQ(sim.workingConfig(kLocal)->baudCode == baud, row.acted);
        } else {
            EXPECT_EQ(sim.linkedRemote() == row.target, row.acted);
            EXPECT_EQ(sim.workingConfig(kLocal)->bondedAddress == row.target, row.acted);
        }
    }
}

TEST(SimulatorLifecycle, UnaskedFramesWhileTheDeviceVanishesAndComesBack)
{
    Simulator sim;
    ASSERT_TRUE(sim.start());
    std::atomic<bool> done{false};
    std::thread sender([&] {
        while (!done)
            sim.sendUnasked(type::InquiryComplete, {});
    });
    for (int i = 0; i < 20; ++i) {
        sim.hangUp();
        ASSERT_TRUE(sim.comeBack());
    }
    done = true;
    sender.join();
    EXPECT_TRUE(sim.running());
}
