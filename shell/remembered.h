#pragma once
// What the wizard keeps between runs: the device function and the port of the
// last device it connected to. Offered as the first choice next time; never
// acted on by itself.

#include <optional>

#include <QString>

namespace vtrl::remembered {

struct LastDevice {
    int function = 0;  // 1 Cable Replacement, 2 SPP Server
    int port = 0;      // COM number
    QString path;      // the device the number named then
};

std::optional<LastDevice> Load();
void Save(const LastDevice& device);
void Forget();

}  // namespace vtrl::remembered
