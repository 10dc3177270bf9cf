#pragma once
// The line between the PC and the simulated device, and the loop that serves
// it: bytes in to frames, due answers out. What carries the bytes is a
// Transport: a pseudo-terminal (pty.cpp) or a line inside this process that
// the serial driver reaches through its backend interface (directline.cpp).
// Internal to the simulator; the loop runs on its thread under its lock,
// which it lets go only while it waits.

#include "unit.h"
#include "wire.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vtrl::sim {

class Transport {
public:
    virtual ~Transport() = default;
    // Called with the simulator's lock held, but for wait().
    // False with `error` set when the line could not be set up.
    virtual bool open(std::string& error) = 0;
    // The device goes away: the PC's side sees a hang-up. Bytes not yet
    // written are lost. The line can be opened again.
    virtual void close() = 0;
    // What the PC opens; empty where it is not a path.
    virtual std::string path() const = 0;
    // Makes a waiting wait() return.
    virtual void wakeUp() = 0;
    // Waits at most `timeout` (none: until woken) for bytes from the PC, or,
    // with `wantWrite`, for room to write; appends what came to `in`. Called
    // on the simulator's thread without its lock; close() waits for it to
    // end. False with `error` set when the line failed.
    virtual bool wait(std::optional<Millis> timeout, bool wantWrite, std::vector<std::uint8_t>& in,
                      std::string& error) = 0;
    // Writes what the line takes now and removes it from `out`.
    virtual void write(std::vector<std::uint8_t>& out) = 0;
};

// The platform's own transport: a pseudo-terminal on POSIX systems; null
// where there is none (Windows).
std::unique_ptr<Transport> PlatformTransport();

class Line {
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

    // The transport from now on, kept over close() and open().
    void setTransport(std::unique_ptr<Transport> transport);
    // With no transport set, the platform's. False with `error` set when the
    // line could not be set up.
    bool open(std::string& error);
    // Closes the line; bytes not yet written and a partial frame are lost.
    void close();
    std::string path() const;
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
    std::unique_ptr<Transport> transport_;
    bool open_ = false;
    FrameParser parser_;
    Clock::time_point lastByte_{};
    std::vector<std::uint8_t> out_;
    std::chrono::nanoseconds runWait_{0};
};

}  // namespace vtrl::sim
