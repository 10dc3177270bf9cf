#include "pty.h"
#include "impl.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace vtrl::sim {

namespace {

std::string sysError(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool pointLink(const std::string& link, const std::string& target)
{
    ::unlink(link.c_str());
    return target.empty() || ::symlink(target.c_str(), link.c_str()) == 0;
}

// How long this thread has waited to run, as the system counts it; zero
// where it does not.
std::chrono::nanoseconds runQueueWait()
{
    const Fd fd(::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC));
    char text[96] = {};
    unsigned long long ran = 0, waited = 0;
    if (!fd || ::read(fd.get(), text, sizeof text - 1) <= 0 || std::sscanf(text, "%llu %llu", &ran, &waited) != 2)
        return {};
    return std::chrono::nanoseconds(waited);
}

}  // namespace

Fd& Fd::operator=(Fd&& o) noexcept
{
    if (this != &o) {
        reset();
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

void Fd::reset()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool PtyLine::open(std::string& error)
{
    master_ = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_) {
        error = sysError("posix_openpt");
        return false;
    }
    if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
        error = sysError("grantpt/unlockpt");
        return false;
    }
    char name[256];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0) {
        error = sysError("ptsname_r");
        return false;
    }
    path_ = name;
    // Held open for the whole run: when the wizard closes the port the
    // master would otherwise see a hang-up and lose the line settings.
    slave_ = Fd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave_) {
        error = sysError("open slave");
        return false;
    }
    termios t{};
    if (::tcgetattr(slave_.get(), &t) == 0) {
        ::cfmakeraw(&t);   // no echo: our answers must not come back to us as commands
        ::cfsetispeed(&t, B115200);
        ::cfsetospeed(&t, B115200);
        ::tcsetattr(slave_.get(), TCSANOW, &t);
    }
    const int flags = ::fcntl(master_.get(), F_GETFL);
    ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK);
    wake_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) {
        error = sysError("eventfd");
        return false;
    }
    return true;
}

void PtyLine::close()
{
    out_.clear();
    parser_.reset();
    wake_.reset();
    slave_.reset();
    master_.reset();
    path_.clear();
}

void PtyLine::wakeUp() const
{
    if (wake_) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(wake_.get(), &one, sizeof one);
    }
}

void PtyLine::flush()
{
    while (!out_.empty()) {
        const ssize_t n = ::write(master_.get(), out_.data(), out_.size());
        if (n > 0) {
            out_.erase(out_.begin(), out_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;   // EAGAIN: nobody reads the slave; poll tells when there is room
    }
}

void PtyLine::serve(std::unique_lock<std::mutex>& lock, Client& client, const bool& stopping,
                    std::condition_variable& changed, std::string& error)
{
    runWait_ = runQueueWait();
    while (!stopping) {
        const auto now = Clock::now();
        client.release(now, out_);
        flush();
        if (parser_.midFrame() && resyncTimeout.count() > 0 && now - lastByte_ >= resyncTimeout) {
            parser_.reset();
            ++partialDrops;
        }
        changed.notify_all();

        int timeout = -1;
        auto consider = [&](Clock::time_point t) {
            auto ms = std::chrono::ceil<Millis>(t - now).count();
            ms = std::max<decltype(ms)>(ms, 0);
            if (timeout < 0 || ms < timeout)
                timeout = static_cast<int>(std::min<decltype(ms)>(ms, 60'000));
        };
        if (auto due = client.nextDue())
            consider(*due);
        if (parser_.midFrame() && resyncTimeout.count() > 0)
            consider(lastByte_ + resyncTimeout);

        pollfd fds[2] = {{master_.get(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0},
                         {wake_.get(), POLLIN, 0}};
        lock.unlock();
        const int rc = ::poll(fds, 2, timeout);
        const auto woke = Clock::now();
        lock.lock();
        const auto runWait = runQueueWait();
        const auto held = std::chrono::duration_cast<Millis>(Clock::now() - woke + (runWait - runWait_));
        runWait_ = runWait;
        longestHold = std::max(longestHold, held);
        if (rc < 0 && errno != EINTR) {
            error = sysError("poll");
            break;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t v;
            [[maybe_unused]] auto r = ::read(wake_.get(), &v, sizeof v);
        }
        if (fds[0].revents & POLLIN) {
            std::uint8_t buf[4096];
            const ssize_t n = ::read(master_.get(), buf, sizeof buf);
            if (n > 0) {
                lastByte_ = Clock::now();
                std::vector<Frame> frames;
                parser_.feed(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), frames);
                for (auto& f : frames)
                    client.onFrame(std::move(f));
            }
        }
    }
    changed.notify_all();
}

// ---- the terminal's life -------------------------------------------------------

bool Simulator::start()
{
    std::lock_guard lock(d_->m);
    if (d_->started)
        return true;
    d_->error.clear();
    if (!d_->line.open(d_->error)) {
        d_->line.close();
        return false;
    }
    d_->stopping = false;
    d_->started = true;
    d_->thread = std::thread([this] {
        std::unique_lock lock(d_->m);
        d_->line.serve(lock, *d_, d_->stopping, d_->cv, d_->error);
    });
    return true;
}

void Simulator::stop()
{
    {
        std::lock_guard lock(d_->m);
        if (!d_->started)
            return;
        d_->stopping = true;
        d_->line.wakeUp();
    }
    d_->thread.join();
    std::lock_guard lock(d_->m);
    d_->started = false;
    d_->answers.clear();
    d_->radio.clearEvents();
    d_->line.close();
    d_->cv.notify_all();
}

bool Simulator::running() const
{
    std::lock_guard lock(d_->m);
    return d_->started && !d_->stopping;
}

std::string Simulator::slavePath() const
{
    std::lock_guard lock(d_->m);
    return d_->line.path();
}

std::string Simulator::errorText() const
{
    std::lock_guard lock(d_->m);
    return d_->error;
}

void Simulator::setResyncTimeout(Millis timeout)
{
    std::lock_guard lock(d_->m);
    d_->line.resyncTimeout = std::max(timeout, Millis{0});
    d_->line.wakeUp();
}

std::size_t Simulator::partialFramesDropped() const
{
    std::lock_guard lock(d_->m);
    return d_->line.partialDrops;
}

Millis Simulator::longestHold() const
{
    std::lock_guard lock(d_->m);
    return d_->line.longestHold;
}

bool Simulator::waitForPartialDrops(std::size_t dropped, Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->line.partialDrops >= dropped; });
}

// ---- vanishing -----------------------------------------------------------------

bool Simulator::setStablePath(const std::string& path)
{
    std::lock_guard lock(stableMutex_);
    stablePath_ = path;
    return path.empty() || pointLink(path, slavePath());
}

void Simulator::hangUp()
{
    std::lock_guard lock(stableMutex_);
    if (!stablePath_.empty())
        ::unlink(stablePath_.c_str());
    stop();
}

bool Simulator::comeBack()
{
    std::lock_guard lock(stableMutex_);
    if (!start())
        return false;
    return stablePath_.empty() || pointLink(stablePath_, slavePath());
}

}  // namespace vtrl::sim
