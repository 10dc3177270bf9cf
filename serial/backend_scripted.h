#pragma once
// A backend without hardware for tests: ports exist when a test adds them,
// events and failures happen when a test says so, and everything the driver
// asked of a port is recorded.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "backend.h"

namespace vtrl::serial {

class ScriptedBackend final : public SerialBackend {
public:
    // What one wait of the port's monitor thread sees; all parts at once.
    struct Injection {
        std::vector<std::uint8_t> bytes;
        std::uint32_t lineErrors = 0;  // kCe* bits
        bool lineBreak = false;
        std::optional<std::uint32_t> modemStatus;  // kMs* bits; changed lines raise events
    };
    enum class Fail { Open, SetupQueues, GetState, SetState, SetTimeouts, EventMask, Wait,
                      ClearError, ModemStatus, Read, ReadNoEvent, Write, WriteNoEvent, Break };

    ScriptedBackend();
    ~ScriptedBackend() override;

    void AddPort(std::uint32_t port);
    void Inject(std::uint32_t port, const Injection& injection);
    void InjectBytes(std::uint32_t port, const std::vector<std::uint8_t>& bytes);
    void SetFailure(std::uint32_t port, Fail what, bool on = true);
    // The device goes away: the wait reports what is pending, then the
    // hang-up; queued bytes stay readable, writes fail as gone.
    void HangUp(std::uint32_t port);
    // Writes accept at most this many bytes in all (then report that count).
    void LimitWrites(std::uint32_t port, std::uint32_t bytes);

    bool IsOpen(std::uint32_t port);
    std::vector<std::uint8_t> Written(std::uint32_t port);
    std::vector<std::uint32_t> Escapes(std::uint32_t port);
    std::optional<LineSettings> Settings(std::uint32_t port);
    std::optional<CommTimeouts> Timeouts(std::uint32_t port);
    std::uint32_t EventMask(std::uint32_t port);
    int BreakCount(std::uint32_t port);
    bool BreakOn(std::uint32_t port);
    std::uint32_t QueuedBytes(std::uint32_t port);

    std::shared_ptr<Device> Open(std::uint32_t port, SystemError& error) override;
    std::shared_ptr<StopEvent> CreateStopEvent() override;
    PortProbe Probe(std::uint32_t port) override;

    struct PortState;
    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace vtrl::serial
