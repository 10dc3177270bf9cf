#pragma once
// Simulated devices as COM ports of this process: a serial backend whose
// ports are lines in memory with a Simulator at the other end. The driver
// reaches them through its backend interface as it reaches a real port, so
// the wizard runs without a pseudo-terminal: on Windows, in a training room,
// in tests.
//
//     vtrl::sim::Simulator device;
//     vtrl::sim::DirectBackend ports;
//     ports.attach(1, device);               // the device starts, on COM 1
//     vtrl::serial::SetBackend(&ports);      // the driver's ports are these
//
// A port exists while its device runs: a device stopped (or hung up) is a
// port pulled out, and an open port then sees the hang-up; comeBack() plugs
// it in again. Nothing else is a port. The backend must outlive the ports
// the driver opened through it.

#include "serial/backend.h"
#include "simulator.h"

#include <cstdint>
#include <memory>

namespace vtrl::sim {

class DirectBackend final : public serial::SerialBackend {
public:
    DirectBackend();
    ~DirectBackend() override;
    DirectBackend(const DirectBackend&) = delete;
    DirectBackend& operator=(const DirectBackend&) = delete;

    // Starts `device` (after stopping it) on COM `port` of this backend.
    // False, with the device's errorText(), when it did not start.
    bool attach(std::uint32_t port, Simulator& device);

    std::shared_ptr<serial::Device> Open(std::uint32_t port, serial::SystemError& error) override;
    std::shared_ptr<serial::StopEvent> CreateStopEvent() override;
    serial::PortProbe Probe(std::uint32_t port) override;

    struct Hub;

private:
    std::shared_ptr<Hub> hub_;
};

// What the port list shows as a direct port's path.
inline constexpr const char* kDirectPortPath = "simulated device";

}  // namespace vtrl::sim
