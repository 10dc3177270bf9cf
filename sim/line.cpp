// The loop that serves the line, and the line's life: start, stop, and the
// device unplugged and plugged in again.

#include "line.h"
#include "impl.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace vtrl::sim {

namespace {

bool pointLink(const std::string& link, const std::string& target)
{
    std::error_code ec;
    std::filesystem::remove(link, ec);
    if (target.empty())
        return true;
    std::filesystem::create_symlink(target, link, ec);
    return !ec;
}

// How long this thread has waited to run, as the system counts it; zero
// where it does not (no /proc: not Linux).
std::chrono::nanoseconds runQueueWait()
{
    std::FILE* file = std::fopen("/proc/thread-self/schedstat", "r");
    if (!file)
        return {};
    unsigned long long ran = 0, waited = 0;
    const bool read = std::fscanf(file, "%llu %llu", &ran, &waited) == 2;
    std::fclose(file);
    return read ? std::chrono::nanoseconds(waited) : std::chrono::nanoseconds{};
}

}  // namespace

void Line::setTransport(std::unique_ptr<Transport> transport)
{
    close();
    transport_ = std::move(transport);
}

bool Line::open(std::string& error)
{
    if (!transport_)
        transport_ = PlatformTransport();
    if (!transport_) {
        error = "this system has no pseudo-terminals: attach the device in-process (sim/directline.h)";
        return false;
    }
    open_ = transport_->open(error);
    if (!open_)
        transport_->close();   // what the failed open had set up
    return open_;
}

void Line::close()
{
    out_.clear();
    parser_.reset();
    if (transport_ && open_)
        transport_->close();
    open_ = false;
}

std::string Line::path() const
{
    return transport_ && open_ ? transport_->path() : std::string();
}

void Line::wakeUp() const
{
    if (transport_ && open_)
        transport_->wakeUp();
}

void Line::serve(std::unique_lock<std::mutex>& lock, Client& client, const bool& stopping,
                 std::condition_variable& changed, std::string& error)
{
    runWait_ = runQueueWait();
    std::vector<std::uint8_t> in;
    while (!stopping) {
        const auto now = Clock::now();
        client.release(now, out_);
        transport_->write(out_);
        if (parser_.midFrame() && resyncTimeout.count() > 0 && now - lastByte_ >= resyncTimeout) {
            parser_.reset();
            ++partialDrops;
        }
        changed.notify_all();

        std::optional<Millis> timeout;
        auto consider = [&](Clock::time_point t) {
            const Millis ms = std::clamp(std::chrono::ceil<Millis>(t - now), Millis{0}, Millis{60'000});
            if (!timeout || ms < *timeout)
                timeout = ms;
        };
        if (auto due = client.nextDue())
            consider(*due);
        if (parser_.midFrame() && resyncTimeout.count() > 0)
            consider(lastByte_ + resyncTimeout);

        in.clear();
        lock.unlock();
        std::string failure;
        const bool ok = transport_->wait(timeout, !out_.empty(), in, failure);
        const auto woke = Clock::now();
        lock.lock();
        const auto runWait = runQueueWait();
        const auto held = std::chrono::duration_cast<Millis>(Clock::now() - woke + (runWait - runWait_));
        runWait_ = runWait;
        longestHold = std::max(longestHold, held);
        if (!ok)
            error = failure;
        if (!ok)
            break;
        if (!in.empty()) {
            lastByte_ = Clock::now();
            std::vector<Frame> frames;
            parser_.feed(in, frames);
            for (auto& f : frames)
                client.onFrame(std::move(f));
        }
    }
    changed.notify_all();
}

// ---- the line's life -----------------------------------------------------------

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

bool Simulator::start(std::unique_ptr<Transport> line)
{
    stop();
    {
        std::lock_guard lock(d_->m);
        d_->line.setTransport(std::move(line));
    }
    return start();
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
        pointLink(stablePath_, {});
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
