#pragma once
// Ports as the tests on a POSIX system meet them: a pseudo-terminal standing
// for one, and another program holding one.

#include "serial/portnames.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vtrl::test {

// A pseudo-terminal pair, the one of the tests and the driver benches: the
// slave stands for the port (registered as a COM port when `listed`), the
// master for what is at the other end. The master closes with the object.
class Pty {
public:
    explicit Pty(bool listed = false)
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0
            || ::ptsname_r(master_, name, sizeof name) != 0)
            return;
        path_ = name;
        if (listed)
            port_ = serial::RegisterPortPath(path_);
    }
    ~Pty() { CloseMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    const std::string& path() const { return path_; }  // empty when none could be had
    std::uint32_t port() const { return port_; }       // 0 unless listed
    void CloseMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }
    // Writes all of `bytes`; false when the terminal would not take them.
    bool Send(const std::vector<std::uint8_t>& bytes)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Writes what the terminal takes without blocking.
    void Offer(const std::vector<std::uint8_t>& bytes)
    {
        const int flags = ::fcntl(master_, F_GETFL);
        ::fcntl(master_, F_SETFL, flags | O_NONBLOCK);
        [[maybe_unused]] const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        ::fcntl(master_, F_SETFL, flags);
    }
    // Up to `count` bytes, waiting at most 10 s for each read.
    std::vector<std::uint8_t> Receive(std::size_t count)
    {
        std::vector<std::uint8_t> got;
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                break;
            std::uint8_t buffer[256];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

private:
    int master_ = -1;
    std::string path_;
    std::uint32_t port_ = 0;
};

// Another program that has the port open, with or without flock, until the
// object goes. One that opens nothing is still a live PID for a lock file to
// name.
class ForkedHolder {
public:
    enum class Grip { Nothing, Open, Flock };

    ForkedHolder(const std::string& path, Grip grip)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        if (::pipe(release_) == 0)
            pid_ = ::fork();
        if (pid_ == 0) {
            ::close(release_[1]);
            // Another program has only what it opened itself: none of the
            // test's descriptors (a pseudo-terminal's master among them).
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != ready[1] && fd != release_[0])
                    ::close(fd);
            ::prctl(PR_SET_NAME, "vtrl-holder");
            if (grip != Grip::Nothing) {
                const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
                if (fd >= 0 && grip == Grip::Flock)
                    ::flock(fd, LOCK_EX);
            }
            const char one = 1;
            [[maybe_unused]] ssize_t n = ::write(ready[1], &one, 1);
            char byte;
            n = ::read(release_[0], &byte, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        if (release_[0] >= 0)
            ::close(release_[0]);
        char byte;
        started_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~ForkedHolder()
    {
        if (release_[1] >= 0)
            ::close(release_[1]);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
    }
    ForkedHolder(const ForkedHolder&) = delete;
    ForkedHolder& operator=(const ForkedHolder&) = delete;

    // -1 when the child did not get as far as holding the port.
    int pid() const { return started_ ? pid_ : -1; }

private:
    int release_[2] = {-1, -1};
    int pid_ = -1;
    bool started_ = false;
};

}  // namespace vtrl::test
