#pragma once
// The radio side of the attached device: the remote units in range, inquiry,
// bonding, ping, and the link that decides which remote the device reaches.
// Internal to the simulator; used under its lock.

#include "answers.h"
#include "faults.h"

#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace vtrl::sim {

class Radio {
public:
    Radio(Device& local, AnswerQueue& answers, Faults& faults);

    std::vector<Device> remotes;
    Millis inquiryDelay{100};
    InquiryScript inquiry;
    BondingScript bonding;
    PingScript ping;
    Millis bondResultDelay{0};
    std::set<DeviceAddress> unresponsive;   // never answer what is addressed to them

    Device* findRemote(const DeviceAddress& address);
    // The remote the link is up to, if it is one of ours.
    Device* linked();
    // The attached device, or a remote only while the link is up to it.
    Device* reachable(const DeviceAddress& address);
    // A fresh attached device reaches its bonded partner by itself.
    void linkToPartner();

    // Commands that go on the air.
    void inquire();
    void bond(const DeviceAddress& target);
    void pingUnit(const DeviceAddress& target);

    // Links that come up when their ConnectionStatus 2 is sent.
    std::optional<Clock::time_point> nextEvent() const;
    void advance(Clock::time_point now);
    void clearEvents() { linkUps_.clear(); }

private:
    void linkUpAfter(const DeviceAddress& remote, Millis after);
    void dropLink();

    Device& local_;
    AnswerQueue& answers_;
    Faults& faults_;
    // Until the first bonding or link report the link is up to the attached
    // device's bonded partner, which a powered pair reaches by itself; a
    // bonding drops it until its ConnectionStatus 2 goes out.
    bool toPartner_ = true;
    std::optional<DeviceAddress> link_;
    unsigned epoch_ = 0;   // a bonding voids the link-ups still to come
    std::multimap<Clock::time_point, std::pair<DeviceAddress, unsigned>> linkUps_;
};

}  // namespace vtrl::sim
