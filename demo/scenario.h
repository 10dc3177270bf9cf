#pragma once
// The devices and the operator's choices of the walk-through, and the check
// that the devices keep exactly what was chosen.

#include "walk.h"

#include "sim/simulator.h"

#include <QString>

namespace vtrl::demo {

// The Cable Replacement walk uses the simulator's own demo devices: an
// attached unit bonded to the first of three remotes in reach, the last of
// them too old for the wizard, and a phone the wizard does not list.

// From now on the COM port page's list hears from its device database that
// the device at `devnode` (a simulator's pseudo-terminal) is a USB adapter,
// an FTDI one: how a real adapter's identity shows.
void PretendUsbAdapter(const std::string& devnode);

// An attached SPP Server on its own.
void SetUpSppDevice(sim::Simulator& device);

CableChoices CableDemoChoices();
SppChoices SppDemoChoices();

// What the devices' flash must hold after a walk with `choices`, given what
// they held before it: the chosen settings changed, nothing else.
void ApplyCableChoices(const CableChoices& choices, sim::DeviceConfig& local, sim::DeviceConfig& remote,
                       const DeviceAddress& localAddress, const DeviceAddress& remoteAddress);
void ApplySppChoices(const SppChoices& choices, sim::DeviceConfig& local);

// Empty when each device's flash holds what was chosen; otherwise names the
// device and the fields that differ. Call with the devices as they were
// set up, walked once.
QString CableFlashMismatch(const sim::Simulator& device, const CableChoices& choices);
QString SppFlashMismatch(const sim::Simulator& device, const SppChoices& choices);

}  // namespace vtrl::demo
