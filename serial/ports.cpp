// The port list's platform-neutral part: identity texts and probe entries.

#include "ports.h"

namespace vtrl::serial {
namespace {

void Add(std::string& text, const std::string& separator, const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += separator;
    text += part;
}

}  // namespace

std::string IdentitySummary(const PortIdentity& id) {
    std::string text;
    Add(text, ", ", id.product);
    Add(text, ", ", id.vendor);
    Add(text, ", ", id.vidPid);
    if (!id.serial.empty()) Add(text, ", ", "serial " + id.serial);
    return text;
}

std::string IdentityDetails(const PortIdentity& id) {
    std::string text;
    const std::pair<const char*, const std::string*> lines[] = {
        {"Product: ", &id.product},      {"Vendor: ", &id.vendor}, {"USB ID: ", &id.vidPid},
        {"Serial number: ", &id.serial}, {"Driver: ", &id.driver}, {"Stable path: ", &id.byIdPath}};
    for (const auto& [label, value] : lines)
        if (!value->empty()) Add(text, "\n", label + *value);
    return text;
}

PortEntry EntryFromProbe(const PortProbe& probe) {
    PortEntry entry;
    entry.port = probe.port;
    entry.path = probe.path;
    entry.device = probe.path;
    entry.detail = probe.detail;
    entry.joinGroup = probe.joinGroup;
    entry.holder = probe.holder;
    switch (probe.outcome) {
        case PortProbe::Outcome::Opened: entry.state = PortEntry::State::Free; break;
        case PortProbe::Outcome::InUse: entry.state = PortEntry::State::InUse; break;
        case PortProbe::Outcome::Denied: entry.state = PortEntry::State::Denied; break;
        case PortProbe::Outcome::Missing:
        case PortProbe::Outcome::Failed: entry.state = PortEntry::State::Failed; break;
    }
    return entry;
}

}  // namespace vtrl::serial
