#include "radio.h"
#include "impl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace vtrl::sim {

Radio::Radio(Device& local, AnswerQueue& answers, Faults& faults) : local_(local), answers_(answers), faults_(faults)
{
    for (auto& p : defaultRemoteDevices())
        remotes.emplace_back(std::move(p));
}

Device* Radio::findRemote(const DeviceAddress& a)
{
    for (auto& r : remotes)
        if (r.profile.address == a)
            return &r;
    return nullptr;
}

Device* Radio::linked()
{
    if (toPartner_)
        return local_.working.bondedAddress == kZeroAddress ? nullptr : findRemote(local_.working.bondedAddress);
    return link_ ? findRemote(*link_) : nullptr;
}

Device* Radio::reachable(const DeviceAddress& a)
{
    if (a == kZeroAddress || a == local_.profile.address)
        return &local_;
    Device* r = linked();
    return r && r->profile.address == a ? r : nullptr;
}

void Radio::linkToPartner()
{
    toPartner_ = true;
    ++epoch_;
}

void Radio::dropLink()
{
    toPartner_ = false;
    link_.reset();
    ++epoch_;
}

void Radio::linkUpAfter(const DeviceAddress& remote, Millis after)
{
    const Clock::time_point sent = answers_.push(type::ConnectionStatus, {2}, after);
    linkUps_.emplace(sent, std::make_pair(remote, epoch_));
}

std::optional<Clock::time_point> Radio::nextEvent() const
{
    if (linkUps_.empty())
        return std::nullopt;
    return linkUps_.begin()->first;
}

void Radio::advance(Clock::time_point now)
{
    while (!linkUps_.empty() && linkUps_.begin()->first <= now) {
        const auto [remote, epoch] = linkUps_.begin()->second;
        linkUps_.erase(linkUps_.begin());
        if (epoch == epoch_) {
            toPartner_ = false;
            link_ = remote;
        }
    }
}

void Radio::inquire()
{
    Millis at{0};
    for (const auto& r : remotes) {
        if (!r.profile.discoverable)
            continue;
        std::vector<std::uint8_t> v(r.profile.address.begin(), r.profile.address.end());
        v.insert(v.end(), r.profile.inquiryExtra.begin(), r.profile.inquiryExtra.end());
        std::string name = r.profile.inquiryName.empty() ? r.working.name() : r.profile.inquiryName;
        name.resize(std::min<std::size_t>(name.size(), 247));   // 248-byte field with its zero
        v.insert(v.end(), name.begin(), name.end());
        v.push_back(0);
        for (int i = 0; i <= std::max(inquiry.duplicates, 0); ++i) {
            at += inquiryDelay;
            answers_.push(type::InquiryResult, v, at);
        }
    }
    if (!inquiry.completeMissing)
        answers_.push(type::InquiryComplete, {}, inquiry.completeAfter.value_or(at + inquiryDelay));
}

void Radio::bond(const DeviceAddress& a)
{
    dropLink();
    Device* remote = findRemote(a);
    if (!remote) {
        answers_.push(type::BondResult, {bonding.failCode ? bonding.failCode : std::uint8_t{1}});
        return;
    }
    if (bonding.failBonds > 0) {
        --bonding.failBonds;
        answers_.push(type::BondResult, {bonding.failCode}, bondResultDelay);
        return;
    }
    // The previous partner forgets the local device.
    if (Device* old = findRemote(local_.working.bondedAddress);
        old && old != remote && old->working.bondedAddress == local_.profile.address)
        old->working.bondedAddress = {};
    local_.working.bondedAddress = a;
    local_.working.bondRole = 1;
    remote->working.bondedAddress = local_.profile.address;
    remote->working.bondRole = 2;
    answers_.push(type::BondResult, {0}, bondResultDelay);
    Millis at = bondResultDelay;
    while (bonding.connectionDownReports > 0) {
        --bonding.connectionDownReports;
        at += bonding.stepDelay;
        answers_.push(type::ConnectionStatus, {bonding.downStatus}, at);
    }
    if (bonding.linkComesUp)
        linkUpAfter(a, at + bonding.stepDelay);
}

void Radio::pingUnit(const DeviceAddress& a)
{
    if (!findRemote(a)) {
        answers_.push(type::NegativeResponse, {type::PingRequest, reason::ProcessTimedOut});
        return;
    }
    if (ping.confirm)
        answers_.push(type::Confirmation, {faults_.confirmedName(type::PingRequest)});
    if (ping.connectionStatus == 2)
        linkUpAfter(a, ping.connectionDelay);
    else if (ping.connectionStatus)
        answers_.push(type::ConnectionStatus, {*ping.connectionStatus}, ping.connectionDelay);
}

// ---- scripting ---------------------------------------------------------------

std::optional<DeviceAddress> Simulator::linkedRemote() const
{
    std::lock_guard lock(d_->m);
    if (const Device* r = d_->radio.linked())
        return r->profile.address;
    return std::nullopt;
}

void Simulator::clearRemotes()
{
    std::lock_guard lock(d_->m);
    d_->radio.remotes.clear();
}

void Simulator::addRemote(const DeviceProfile& profile)
{
    std::lock_guard lock(d_->m);
    if (Device* r = d_->radio.findRemote(profile.address))
        *r = Device(profile);
    else
        d_->radio.remotes.emplace_back(profile);
}

std::vector<DeviceProfile> Simulator::remotes() const
{
    std::lock_guard lock(d_->m);
    std::vector<DeviceProfile> out;
    for (const auto& r : d_->radio.remotes)
        out.push_back(r.profile);
    return out;
}

void Simulator::setInquiryDelay(Millis spacing)
{
    std::lock_guard lock(d_->m);
    d_->radio.inquiryDelay = std::max(spacing, Millis{0});
}

void Simulator::setBonding(const BondingScript& script)
{
    std::lock_guard lock(d_->m);
    d_->radio.bonding = script;
}

void Simulator::setInquiry(const InquiryScript& script)
{
    std::lock_guard lock(d_->m);
    d_->radio.inquiry = script;
}

void Simulator::setPing(const PingScript& script)
{
    std::lock_guard lock(d_->m);
    d_->radio.ping = script;
}

void Simulator::setBondResultDelay(Millis delay)
{
    std::lock_guard lock(d_->m);
    d_->radio.bondResultDelay = std::max(delay, Millis{0});
}

bool Simulator::setInquiryName(const DeviceAddress& remote, const std::string& name)
{
    std::lock_guard lock(d_->m);
    Device* r = d_->radio.findRemote(remote);
    if (!r)
        return false;
    r->profile.inquiryName = name;
    return true;
}

bool Simulator::setUnresponsive(const DeviceAddress& remote, bool unresponsive)
{
    std::lock_guard lock(d_->m);
    if (!d_->radio.findRemote(remote))
        return false;
    if (unresponsive)
        d_->radio.unresponsive.insert(remote);
    else
        d_->radio.unresponsive.erase(remote);
    return true;
}

// ---- the demo's remotes --------------------------------------------------------

std::vector<DeviceProfile> defaultRemoteDevices()
{
    auto remote = [](const char* address, const char* name, const char* version) {
        DeviceProfile p;
        p.address = *parseAddress(address);
        p.appVersion = version;
        p.config.interfaceCode = 1;
        p.config.bondRole = 2;
        p.config.setName(name);
        p.config.setPin("0000");
        return p;
    };
    std::vector<DeviceProfile> out;
    // Over the air a cable replacement unit calls itself "Vantrel/C"; one
    // whose name the radio could not read is "Unknown".
    out.push_back(remote("001BDC0A5678", "Vantrel/S Pump Room", "Vantrel App V3.05"));
    out.back().config.bondedAddress = defaultLocalDevice().address;
    out.back().inquiryName = "Vantrel/C";
    out.push_back(remote("001BDC0A9ABC", "Vantrel/S Dock 2", "Vantrel App V2.10"));
    out.back().inquiryName = "Unknown";
    out.push_back(remote("001BDC0ADEF0", "Vantrel/S Legacy", "Vantrel App V2.08"));
    out.back().inquiryName = "Vantrel/C";
    // Something else in range, which the wizard must not offer.
    out.push_back(remote("5C17A0B1C2D3", "Mobile Phone", "Phone OS 11.2"));
    return out;
}

std::vector<std::vector<std::uint8_t>> inquiryFlood(int wanted, int total)
{
    const auto result = [](std::uint8_t top, int n, const char* label) {
        std::vector<std::uint8_t> p = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), 0, 0, 0, top,
                                       0x00, 0x1F, 0x00};
        char name[32];
        std::snprintf(name, sizeof name, "%s %04d", label, n);
        p.insert(p.end(), name, name + std::strlen(name) + 1);
        return p;
    };
    std::vector<std::vector<std::uint8_t>> out;
    const int foreign = std::max(1, wanted / 5);
    for (int i = 0; out.size() < static_cast<std::size_t>(std::max(total, 0)); ++i) {
        // Wanted units first, then every third result a foreign one.
        if (i < wanted || i % 3 != 0)
            out.push_back(result(0x02, i % std::max(wanted, 1), "Vantrel/C"));
        else
            out.push_back(result(0x06, i % foreign, "Phone"));
    }
    return out;
}

}  // namespace vtrl::sim
