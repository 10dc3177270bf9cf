#pragma once
// Finding out whether a COM port could be opened, for the port list.

#include <cstdint>
#include <string>

namespace vtrl::serial {

// A program that holds a port: by its lock file or by having it open.
struct PortHolder {
    int pid = 0;          // 0: not known
    std::string program;  // empty: not readable
};

// "minicom (PID 1234)", "PID 1234", or "" when nothing is known.
inline std::string HolderText(const PortHolder& holder) {
    if (holder.pid <= 0) return holder.program;
    const std::string pid = "PID " + std::to_string(holder.pid);
    return holder.program.empty() ? pid : holder.program + " (" + pid + ")";
}

// The one text for a port another program holds, in the wizard and in
// vtrlctl: "in use by minicom (PID 1234)", "in use by another program".
inline std::string InUseText(const PortHolder& holder) {
    const std::string who = HolderText(holder);
    return "in use by " + (who.empty() ? std::string("another program") : who);
}

// The one hint for a port refused to a user outside its group.
inline std::string JoinGroupText(const std::string& group) { return "join group " + group; }

struct PortProbe {
    enum class Outcome { Opened, Missing, InUse, Denied, Failed } outcome = Outcome::Failed;
    std::uint32_t port = 0;
    std::string path;    // the device the port number names
    std::string detail;  // the system's reason, for the operator
    std::string joinGroup;  // Denied: a group that may use the device, when this user is not in it
    PortHolder holder{};    // InUse: who holds it, where that can be found (also named in detail)
};

// Opens the port's device exclusively, as SerialOpen does, and closes it at
// once. Goes through the same backend as the driver.
PortProbe ProbePort(std::uint32_t port);

// Why the calling thread's last SerialOpen failed, as a probe would say it
// (outcome Opened after a success): for the operator's message, without
// opening the port again.
PortProbe LastOpenFailure();

}  // namespace vtrl::serial
