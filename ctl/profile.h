#pragma once
// Profiles: a device's settings in JSON, in the words a technician reads,
// and their conversion from and to the configuration record.

#include "protocol/params.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace vtrl::ctl {

inline constexpr int kProfileVersion = 1;
inline constexpr const char* kProfileFormat = "vtrlctl profile";

// What SetPortConfig carries. Codes are the record's 1-based codes. A
// profile may give only the keys to change: a key left out keeps the
// device's value (read before anything is sent). Power level and CD output
// without a value keep the device's too.
struct PortSettings {
    std::optional<std::uint8_t> baud;
    std::optional<std::uint8_t> dataBits;
    std::optional<std::uint8_t> parity;
    std::optional<std::uint8_t> stopBits;
    std::optional<std::uint8_t> flow;
    std::optional<std::uint8_t> interfaceCode;  // 1 DTE, 2 DCE
    std::optional<std::uint8_t> powerLevel;
    std::optional<bool> cdOutput;
    bool operator==(const PortSettings&) const = default;
};

// `partial` with every key it leaves out taken from `current`; power level
// and CD output stay as given.
PortSettings Filled(const PortSettings& partial, const protocol::DeviceConfig& current);

// What SetDeviceConfig carries (SPP Server only). A missing field keeps the
// device's value; resetLinkKeys is a one-shot request, never read back. Name
// and PIN hold the device's bytes (Latin-1).
struct DeviceSettings {
    std::optional<std::string> name;
    std::optional<std::uint8_t> linkTimeout;
    std::optional<bool> authentication;
    std::optional<bool> encryption;
    std::optional<std::string> pin;
    bool resetLinkKeys = false;

    bool empty() const { return !name && !linkTimeout && !authentication && !encryption && !pin && !resetLinkKeys; }
    bool operator==(const DeviceSettings&) const = default;
};

struct Profile {
    std::uint8_t function = protocol::kCableReplacement;  // or protocol::kSppServer
    PortSettings local;
    DeviceSettings device;
    std::optional<PortSettings> remote;
    bool operator==(const Profile&) const = default;
};

// Parses and validates a profile. The error names the key and the values it
// allows.
std::variant<Profile, QString> LoadProfile(const QByteArray& json);

QByteArray ProfileJson(const Profile& profile);

// The profile a device's records describe. Codes the profile cannot name are
// written as their numbers and reported in `warnings`, so that applying the
// profile is refused with the key named. The PIN only with `includePin`.
Profile ProfileFromConfig(const protocol::DeviceConfig& local, const protocol::DeviceConfig* remote, bool includePin,
                          QStringList& warnings);

// Words for the codes, as profiles and messages use them.
QString BaudText(std::uint8_t code);
QString ParityText(std::uint8_t code);
QString FlowText(std::uint8_t code);
QString RoleText(std::uint8_t interfaceCode);
QString DataBitsText(std::uint8_t code);
QString FunctionText(std::uint8_t code);

// A name or PIN as the device holds it (Latin-1), for profiles and messages.
QString DeviceText(const std::string& bytes);

// Each setting `want` names, with what the profile and the device say:
// {"local.baud", "19200", "9600", false}. PINs are never shown.
struct SettingValue {
    QString key;
    QString want;
    QString have;
    bool same = false;
};
QList<SettingValue> SettingValues(const QString& prefix, const PortSettings& want, const DeviceSettings* device,
                                  const protocol::DeviceConfig& have);

// The settings of `want` that `have` does not hold, one line each
// ("local.baud: profile 19200, device 9600"). `prefix` is "local" or "remote".
QStringList CompareSettings(const QString& prefix, const PortSettings& want, const DeviceSettings* device,
                            const protocol::DeviceConfig& have);

}  // namespace vtrl::ctl
