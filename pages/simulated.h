#pragma once
// The wizard with simulated devices instead of serial ports, for training
// rooms and demonstrations on a PC without a device (vtrlcfg --demo): COM 1
// is a Cable Replacement unit with its remote units in reach, COM 2 an SPP
// Server, both in this process; no real port is listed or opened.

#include "sim/directline.h"
#include "sim/simulator.h"

#include <QString>

namespace vtrl {

// An attached SPP Server on its own.
void SetUpSppServer(sim::Simulator& device);

class SimulatedDevices {
public:
    static constexpr std::uint32_t kCablePort = 1;
    static constexpr std::uint32_t kSppPort = 2;

    // Starts the devices and makes them the driver's only ports.
    SimulatedDevices();
    // Gives the driver its own ports back.
    ~SimulatedDevices();
    SimulatedDevices(const SimulatedDevices&) = delete;
    SimulatedDevices& operator=(const SimulatedDevices&) = delete;

    // Empty when both devices run; otherwise why not.
    QString Error() const { return error_; }
    // For the window title.
    static QString TitleNote();

    sim::Simulator& cable() { return cable_; }
    sim::Simulator& spp() { return spp_; }

private:
    sim::DirectBackend ports_;
    sim::Simulator cable_;
    sim::Simulator spp_;
    QString error_;
};

}  // namespace vtrl
