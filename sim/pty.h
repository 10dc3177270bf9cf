#pragma once
// The pseudo-terminal the PC talks to, and the loop that serves it: bytes in
// to frames, due answers out. Internal to the simulator; runs on its thread
// under its lock, which it lets go only while it waits.

#include "unit.h"
#include "wire.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vtrl::sim {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

class PtyLine {
public:
    // What the loop serves. Called with the lock held.
    class Client {
    public:
        virtual void onFrame(Frame&& frame) = 0;
        // Appends to `out` what is due to be written by `now`.
        virtual void release(Clock::time_point now, std::vector<std::uint8_t>& out) = 0;
        virtual std::optional<Clock::time_point> nextDue() const = 0;

    protected:
        ~Client() = default;
    };

    // False with `error` set when the terminal could not be set up.
    bool open(std::string& error);
    // Closes the terminal; bytes not yet written and a partial frame are lost.
    void close();
    const std::string& path() const { return path_; }
    // Makes a waiting serve() look again; call with the lock held.
    void wakeUp() const;
    // Serves until `stopping` is set; `lock` is held on entry and on return.
    void serve(std::unique_lock<std::mutex>& lock, Client& client, const bool& stopping,
               std::condition_variable& changed, std::string& error);
    bool written() const { return out_.empty(); }

    Millis resyncTimeout{500};   // 0: a partial frame waits forever
    std::size_t partialDrops = 0;
    Millis longestHold{0};   // see Simulator::longestHold

private:
    void flush();

    Fd master_, slave_, wake_;
    std::string path_;
    FrameParser parser_;
    Clock::time_point lastByte_{};
    std::vector<std::uint8_t> out_;
    std::chrono::nanoseconds runWait_{0};
};

}  // namespace vtrl::sim
