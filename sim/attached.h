#pragma once
// The attached device: the commands it carries out, its settings and its
// flash. Internal to the simulator; used under its lock.

#include "answers.h"
#include "faults.h"
#include "radio.h"
#include "wire.h"

#include <cstdint>
#include <vector>

namespace vtrl::sim {

class AttachedDevice {
public:
    AttachedDevice(Device& self, Radio& radio, AnswerQueue& answers, Faults& faults);

    // Carries out a command with a valid CRC and answers it.
    void handle(const Frame& command);
    // Any device by address: zero or its own is the attached one.
    Device* find(const DeviceAddress& address);

    int linkKeyResets = 0;   // SetDeviceConfig with the reset flag

private:
    void confirm(std::uint8_t command);
    void negative(std::uint8_t command, std::uint8_t why);
    void answerVersion(const DeviceAddress& address);
    void answerConfig(std::uint8_t seq, const DeviceAddress& address);
    void setPortConfig(const std::vector<std::uint8_t>& payload);
    void setDeviceConfig(const std::vector<std::uint8_t>& payload);

    Device& self_;
    Radio& radio_;
    AnswerQueue& answers_;
    Faults& faults_;
};

}  // namespace vtrl::sim
