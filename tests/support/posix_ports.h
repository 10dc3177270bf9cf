#pragma once
// Ports as the tests on a POSIX system meet them: a pseudo-terminal standing
// for one, and another program holding one.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace vtrl::test {

// The slave stands for the port; the master closes with the object.
struct Pty {
    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
            && ::ptsname_r(master, name, sizeof name) == 0)
            slave = name;
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master = -1;
    std::string slave;  // empty when none could be had
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
