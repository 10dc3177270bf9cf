#include "holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace vtrl::serial {
namespace {

// Ages are compared, not wall-clock instants: the process's from the boot
// clock, the lock's from its file time, so that clock drift since boot does
// not count. The margin covers a clock step between the two.
constexpr long kAgeMarginSeconds = 5;
// A lock file without a readable PID may be one another program is writing.
constexpr long kUnreadableGraceSeconds = 10;

struct State {
    std::mutex take;  // one claim at a time, so that none sees another's lock half registered
    std::mutex mutex;
    std::string lockDirOverride;
    std::multiset<std::string> claimed;  // real device paths
    std::multiset<std::string> locks;    // lock files this process wrote
};

// Never destroyed: a port still open at exit gives its claim back during
// the static destructors, in whatever order they run.
State& S() {
    static State* const state = new State;
    return *state;
}

int LockPid(const std::string& lockFile);

// A port left open at exit would otherwise leave its lock for the next
// program to find stale.
void RemoveOwnLocksAtExit() {
    std::lock_guard<std::mutex> guard(S().mutex);
    for (const std::string& lockFile : S().locks)
        if (LockPid(lockFile) == ::getpid()) ::unlink(lockFile.c_str());
}

bool IsDirectory(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ReadSmallFile(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return "";
    std::string text(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, text.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return text;
}

std::string ProgramName(int pid) {
    std::string name = ReadSmallFile("/proc/" + std::to_string(pid) + "/comm", 64);
    // The kernel's text, but a program sets its own name: keep it printable.
    name.erase(std::remove_if(name.begin(), name.end(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }),
               name.end());
    return name;
}

bool ProcessExists(int pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Seconds since the process started, from the boot clock; -1 when unknown.
long ProcessAge(int pid) {
    const std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat", 1024);
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    // Fields after the command name start with the third (state); the start
    // time is the 22nd.
    const char* p = stat.c_str() + close + 1;
    unsigned long long start = 0;
    for (int field = 3; field <= 22; ++field) {
        while (*p == ' ') ++p;
        if (*p == '\0') return -1;
        if (field == 22) {
            char* end = nullptr;
            start = std::strtoull(p, &end, 10);
            if (end == p) return -1;
            break;
        }
        while (*p != ' ' && *p != '\0') ++p;
    }
    const long ticks = ::sysconf(_SC_CLK_TCK);
    timespec now{};
    if (ticks <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &now) != 0) return -1;
    const long long age = static_cast<long long>(now.tv_sec) - static_cast<long long>(start / ticks);
    return age < 0 ? 0 : static_cast<long>(std::min<long long>(age, LONG_MAX));
}

struct LockContents {
    bool exists = false;
    int pid = 0;  // 0: no PID could be read
    long age = 0; // seconds since it was written
};

LockContents ReadLock(const std::string& lockFile) {
    LockContents lock;
    struct stat st{};
    if (::lstat(lockFile.c_str(), &st) != 0) return lock;
    lock.exists = true;
    const long age = static_cast<long>(std::time(nullptr) - st.st_mtime);
    lock.age = age < 0 ? 0 : age;
    const std::string text = ReadSmallFile(lockFile, 64);
    // HDB: the PID in ASCII, padded with blanks, and a newline.
    std::size_t i = text.find_first_not_of(' ');
    std::size_t digits = 0;
    long long value = 0;
    while (i != std::string::npos && i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 10) {
        value = value * 10 + (text[i] - '0');
        ++i;
        ++digits;
    }
    const bool rest = i == std::string::npos || i >= text.size() ||
                      text.find_first_not_of(" \n", i) == std::string::npos;
    if (digits > 0 && rest && value > 0 && value <= INT_MAX) {
        lock.pid = static_cast<int>(value);
    } else if (text.size() == sizeof(std::int32_t)) {
        // The older binary form: the PID as a native integer.
        std::int32_t binary = 0;
        std::memcpy(&binary, text.data(), sizeof binary);
        if (binary > 0) lock.pid = binary;
    }
    return lock;
}

int LockPid(const std::string& lockFile) { return ReadLock(lockFile).pid; }

enum class LockVerdict { None, Stale, Live };

LockVerdict Judge(const std::string& lockFile, const LockContents& lock, PortHolder& holder) {
    if (!lock.exists) return LockVerdict::None;
    if (lock.pid == 0) {
        if (lock.age < kUnreadableGraceSeconds) return LockVerdict::Live;
        return LockVerdict::Stale;
    }
    holder.pid = lock.pid;
    if (lock.pid == ::getpid()) {
        // Ours only while a port of this process holds it; otherwise an
        // earlier run that had the same PID left it.
        std::lock_guard<std::mutex> guard(S().mutex);
        if (S().locks.count(lockFile) == 0) return LockVerdict::Stale;
        holder.program = ProgramName(lock.pid);
        return LockVerdict::Live;
    }
    if (!ProcessExists(lock.pid)) return LockVerdict::Stale;
    const long processAge = ProcessAge(lock.pid);
    if (processAge >= 0 && lock.age > processAge + kAgeMarginSeconds) return LockVerdict::Stale;
    holder.program = ProgramName(lock.pid);
    return LockVerdict::Live;
}

// Writes the lock file whole under a temporary name and links it into place,
// so that nobody reads it half written. errno is EEXIST when a lock is there.
bool CreateLock(const std::string& dir, const std::string& lockFile) {
    static std::atomic<unsigned> counter{0};
    const std::string temp = dir + "/LTMP." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    // Readable by everyone whatever the umask: other programs check it.
    const bool written = ::fchmod(fd, 0644) == 0 && n > 0 && ::write(fd, text, static_cast<std::size_t>(n)) == n;
    ::close(fd);
    int err = EIO;
    bool linked = false;
    if (written) {
        linked = ::link(temp.c_str(), lockFile.c_str()) == 0;
        err = errno;
    }
    ::unlink(temp.c_str());
    errno = linked ? 0 : err;
    return linked;
}

}  // namespace

std::string RealDevice(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string result(real);
    std::free(real);
    return result;
}

std::string LockDirectory() {
    {
        std::lock_guard<std::mutex> guard(S().mutex);
        if (!S().lockDirOverride.empty()) return S().lockDirOverride;
    }
    if (IsDirectory("/run/lock")) return "/run/lock";
    if (IsDirectory("/var/lock")) return "/var/lock";
    return "";
}

void SetLockDirectoryForTesting(const std::string& dir) {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().lockDirOverride = dir;
}

std::string LockFilePath(const std::string& device) {
    const std::string dir = LockDirectory();
    if (dir.empty()) return "";
    std::string name = RealDevice(device);
    if (name.rfind("/dev/", 0) == 0) {
        name.erase(0, 5);
    } else {
        const std::size_t slash = name.rfind('/');
        if (slash != std::string::npos) name.erase(0, slash + 1);
    }
    std::replace(name.begin(), name.end(), '/', '_');
    if (name.empty()) return "";
    return dir + "/LCK.." + name;
}

std::optional<PortHolder> LockHolder(const std::string& device) {
    const std::string lockFile = LockFilePath(device);
    if (lockFile.empty()) return std::nullopt;
    PortHolder holder;
    if (Judge(lockFile, ReadLock(lockFile), holder) != LockVerdict::Live) return std::nullopt;
    if (holder.pid == ::getpid()) return std::nullopt;
    return holder;
}

std::map<std::string, std::vector<PortHolder>> OpenersOf(const std::set<std::string>& devices) {
    std::map<std::string, std::vector<PortHolder>> found;
    if (devices.empty()) return found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return found;
    const int self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid > INT_MAX || pid == self) continue;
        const std::string fdPath = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdPath.c_str());
        if (fds == nullptr) continue;  // gone, or not ours to look at
        std::set<std::string> hit;
        std::set<std::string> multiplexed;  // pseudo-terminals whose other end this process holds
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(::dirfd(fds), fd->d_name, target, sizeof target - 1);
            if (n <= 0) continue;
            const std::string path(target, static_cast<std::size_t>(n));
            if (devices.count(path)) hit.insert(path);
            if (path == "/dev/ptmx" || path == "/dev/pts/ptmx") {
                // The master's fdinfo names its terminal: "tty-index:\t3".
                const std::string info =
                    ReadSmallFile(std::string("/proc/") + entry->d_name + "/fdinfo/" + fd->d_name, 4096);
                const std::size_t at = info.find("tty-index:");
                if (at != std::string::npos)
                    multiplexed.insert("/dev/pts/" + std::to_string(std::strtol(info.c_str() + at + 10, nullptr, 10)));
            }
        }
        ::closedir(fds);
        for (const std::string& device : hit) {
            // The program at a pseudo-terminal's other end (a simulator, a
            // terminal multiplexer) is the line, not a holder of the port.
            if (multiplexed.count(device)) continue;
            found[device].push_back(PortHolder{static_cast<int>(pid), ProgramName(static_cast<int>(pid))});
        }
    }
    ::closedir(proc);
    return found;
}

std::optional<PortHolder> FlockHolder(const std::string& device) {
    struct stat st{};
    if (::stat(device.c_str(), &st) != 0) return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 4711 00:19:3 0 EOF": the file as the major and
    // minor number (hex) of its file system and its inode. Waiters ("1: ->
    // FLOCK ...") hold nothing.
    char file[64];
    std::snprintf(file, sizeof file, " %02x:%02x:%llu ", ::major(st.st_dev), ::minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    const std::string locks = ReadSmallFile("/proc/locks", 256 * 1024);
    const int self = ::getpid();
    std::size_t at = 0;
    while (at < locks.size()) {
        std::size_t end = locks.find('\n', at);
        if (end == std::string::npos) end = locks.size();
        const std::string line = locks.substr(at, end - at) + ' ';
        at = end + 1;
        const std::size_t match = line.find(file);
        if (line.find(" FLOCK ") == std::string::npos || line.find("->") != std::string::npos ||
            match == std::string::npos)
            continue;
        // The PID is the word before the file.
        const std::size_t start = line.rfind(' ', match - 1);
        if (start == std::string::npos) continue;
        char* stop = nullptr;
        const long pid = std::strtol(line.c_str() + start + 1, &stop, 10);
        if (stop != line.c_str() + match || pid <= 0 || pid > INT_MAX || pid == self) continue;
        return PortHolder{static_cast<int>(pid), ProgramName(static_cast<int>(pid))};
    }
    return std::nullopt;
}

DeviceClaim::DeviceClaim(std::string device, std::string lockFile)
    : device_(std::move(device)), lockFile_(std::move(lockFile)) {
    static const bool atExit = std::atexit(RemoveOwnLocksAtExit) == 0;
    (void)atExit;
    std::lock_guard<std::mutex> guard(S().mutex);
    S().claimed.insert(device_);
    if (!lockFile_.empty()) S().locks.insert(lockFile_);
}

DeviceClaim::~DeviceClaim() {
    {
        std::lock_guard<std::mutex> guard(S().mutex);
        if (auto it = S().claimed.find(device_); it != S().claimed.end()) S().claimed.erase(it);
        if (!lockFile_.empty())
            if (auto it = S().locks.find(lockFile_); it != S().locks.end()) S().locks.erase(it);
    }
    // Someone may have broken a lock and taken it since; that one is theirs.
    if (!lockFile_.empty() && ReadLock(lockFile_).pid == ::getpid()) ::unlink(lockFile_.c_str());
}

DeviceClaim::Result DeviceClaim::Take(const std::string& device, std::unique_ptr<DeviceClaim>& claim,
                                      PortHolder& holder) {
    std::lock_guard<std::mutex> one(S().take);
    const std::string real = RealDevice(device);
    const std::string lockFile = LockFilePath(real);
    if (lockFile.empty()) {
        claim.reset(new DeviceClaim(real, ""));
        return Result::Claimed;
    }
    const std::string dir = lockFile.substr(0, lockFile.rfind('/'));
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (CreateLock(dir, lockFile)) {
            claim.reset(new DeviceClaim(real, lockFile));
            return Result::Claimed;
        }
        if (errno != EEXIST) {
            // A folder we may not write: the other protections still hold.
            claim.reset(new DeviceClaim(real, ""));
            return Result::Claimed;
        }
        holder = PortHolder{};
        const LockVerdict verdict = Judge(lockFile, ReadLock(lockFile), holder);
        if (verdict == LockVerdict::Live) return Result::Held;
        if (verdict == LockVerdict::Stale) ::unlink(lockFile.c_str());
    }
    // Another program keeps putting a lock there.
    return Result::Held;
}

bool ClaimedHere(const std::string& device) {
    const std::string real = RealDevice(device);
    std::lock_guard<std::mutex> guard(S().mutex);
    return S().claimed.count(real) > 0;
}

namespace {
std::string g_consolesFile;  // tests only
}

void SetConsolesFileForTesting(const std::string& file) { g_consolesFile = file; }

std::set<std::string> ConsoleDevices() {
    // "ttyS0                -W- (EC  p a)    4:64", one console a line.
    const std::string text = ReadSmallFile(g_consolesFile.empty() ? "/proc/consoles" : g_consolesFile, 64 * 1024);
    std::set<std::string> devices;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::size_t name = line.find_first_not_of(' ');
        if (name == std::string::npos) continue;
        const std::string word = line.substr(name, line.find(' ', name) - name);
        if (!word.empty() && word.find("..") == std::string::npos) devices.insert("/dev/" + word);
    }
    return devices;
}

}  // namespace vtrl::serial
