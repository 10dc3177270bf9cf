// Who holds a port: UUCP lock files both ways, and programs found in /proc.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "holders.h"
#include "portnames.h"
#include "probe.h"
#include "support.h"
#include "tests/support/posix_ports.h"

namespace vtrl::serial::test {
namespace {

using ::vtrl::test::ForkedHolder;
using ::vtrl::test::Pty;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string HdbLock(long pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10ld\n", pid);
    return text;
}

// A pseudo-terminal whose slave is a registered port, lock files in a folder
// of the test's own.
class Claims : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ResetRegisteredPortsForTesting();
        char dir[] = "/tmp/vtrl-locks-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        lockDir_ = dir;
        SetLockDirectoryForTesting(lockDir_);
        ASSERT_FALSE(pty_.path().empty());
        slave_ = pty_.path();
        port_ = RegisterPortPath(slave_);
        lockFile_ = LockFilePath(slave_);
        ASSERT_EQ(lockFile_, lockDir_ + "/LCK.." + slave_.substr(5).replace(3, 1, "_"));
    }
    void TearDown() override {
        DriverTest::TearDown();
        SetLockDirectoryForTesting("");
        std::filesystem::remove_all(lockDir_);
    }
    void PutLock(const std::string& contents, long ageSeconds) {
        std::ofstream(lockFile_, std::ios::binary) << contents;
        const timespec when[2] = {{::time(nullptr) - ageSeconds, 0}, {::time(nullptr) - ageSeconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, lockFile_.c_str(), when, 0), 0);
    }

    std::string lockDir_;
    std::string lockFile_;
    std::string slave_;
    std::uint32_t port_ = 0;
    Pty pty_;
    Recorder rec;
};

TEST_F(Claims, OurLockIsHeldWhileThePortIsOpenAndRemovedOnClose) {
    const std::int32_t h = Open(port_, rec);
    ASSERT_GT(h, 0);
    EXPECT_EQ(Slurp(lockFile_), HdbLock(::getpid()));
    EXPECT_TRUE(ClaimedHere(slave_));
    SerialClose(h);
    EXPECT_FALSE(std::filesystem::exists(lockFile_));
    EXPECT_FALSE(ClaimedHere(slave_));
}

using Grip = ForkedHolder::Grip;

struct ForeignLock {
    const char* what;
    std::optional<long> pid;  // none: garbage instead of a PID; 0: a program the test starts
    long ageSeconds;
    bool refused;
};

void PrintTo(const ForeignLock& c, std::ostream* os) { *os << c.what; }

class ForeignLocks : public Claims, public ::testing::WithParamInterface<ForeignLock> {};

TEST_P(ForeignLocks, ALiveOneRefusesAndNamesItsHolderAStaleOneIsTakenOver) {
    const ForeignLock& c = GetParam();
    const ForkedHolder program("/dev/null", Grip::Open);
    ASSERT_GT(program.pid(), 0);
    const long pid = c.pid ? (*c.pid == 0 ? static_cast<long>(program.pid()) : *c.pid) : 0;
    const std::string contents = c.pid ? HdbLock(pid) : std::string("not a pid\n");
    PutLock(contents, c.ageSeconds);
    const std::int32_t h = Open(port_, rec);
    if (!c.refused) {
        EXPECT_GT(h, 0);
        EXPECT_EQ(Slurp(lockFile_), HdbLock(::getpid()));
        return;
    }
    EXPECT_EQ(h, SERIAL_ERR_SYSTEM);
    EXPECT_EQ(Slurp(lockFile_), contents) << "another program's lock is left alone";
    for (const PortProbe& why : {LastOpenFailure(), ProbePort(port_)}) {
        EXPECT_EQ(why.outcome, PortProbe::Outcome::InUse);
        EXPECT_EQ(why.holder.pid, pid);
        if (pid > 0) {
            EXPECT_NE(why.detail.find("(PID " + std::to_string(pid) + ")"), std::string::npos) << why.detail;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForeignLocks,
    ::testing::Values(ForeignLock{"live", 0L, 0, true},
                      ForeignLock{"process gone", 2147483000L, 0, false},
                      ForeignLock{"PID used again by a later process", 0L, 40L * 24 * 3600, false},
                      ForeignLock{"no PID, being written", std::nullopt, 0, true},
                      ForeignLock{"no PID, old", std::nullopt, 3600, false}),
    [](const ::testing::TestParamInfo<ForeignLock>& info) { return RowName(info.param.what); });

TEST_F(Claims, AProgramThatHasThePortOpenIsNamedWithItsPid) {
    const ForkedHolder holder(slave_, Grip::Flock);
    ASSERT_GT(holder.pid(), 0);
    const auto openers = OpenersOf({slave_});
    ASSERT_EQ(openers.count(slave_), 1u);
    EXPECT_EQ(openers.at(slave_).front().pid, holder.pid());
    EXPECT_EQ(openers.at(slave_).front().program, "vtrl-holder");

    EXPECT_EQ(Open(port_, rec), SERIAL_ERR_SYSTEM);
    const std::string expected = slave_ + " is in use by vtrl-holder (PID " + std::to_string(holder.pid()) + ")";
    EXPECT_EQ(LastOpenFailure().detail, expected);
    EXPECT_EQ(ProbePort(port_).detail, expected);
    EXPECT_FALSE(std::filesystem::exists(lockFile_)) << "a refused open leaves no lock behind";
}

}  // namespace
}  // namespace vtrl::serial::test
