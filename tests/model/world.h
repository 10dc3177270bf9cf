#pragma once
// What the model's tables work on: the wizard, the device, the operator's
// dice and what the oracle remembers between two looks.

#include "model.h"

#include "demo/rig.h"

#include "pages/wizard.h"
#include "sim/simulator.h"

#include <QString>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vtrl::model {

class LineWatch;

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The pages' time-outs in the model: short, so that many sequences run.
inline constexpr demo::RigTimers kTimers{.drain = 5, .heartbeat = 40, .bond = 50, .inquiry = 250,
                                         .inquiryProgress = 50, .portConfig = 40, .deviceTick = 30, .flash = 50,
                                         .flashProgress = 50};

// How long the page on show waits at most for one answer.
int LongestTimeout(TWizardChildForm* page);
// The page's time-out for a command, by its type and unit.
int TimeoutOf(const sim::ReceivedFrame& command);
// A late answer or refusal comes at most this many time-outs of its command
// after the device received it.
inline constexpr int kLateBound = 10;
// The longest any command's answer may take: what the end of a sequence
// waits for.
inline constexpr int kLongestLate = kLateBound * kTimers.inquiry;

// The three kinds of device a sequence plays, as the timeline names them.
const char* DeviceModelName(sim::AnswerOrder order);

// The settings a port page sends and records, as the device holds them.
struct PortFields {
    int baud = 0, dataBits = 0, parity = 0, stopBits = 0, flow = 0, interface = 0, power = 0, cd = 0;
    bool operator==(const PortFields&) const = default;
    std::string Text() const;
};
// Those the local device page sends and records.
struct DeviceFields {
    std::string name, pin;
    int linkTimeout = 0, authentication = 0, encryption = 0;
    bool operator==(const DeviceFields&) const = default;
    std::string Text() const;
};

PortFields PortOf(const sim::DeviceConfig& c);
PortFields PortOf(const protocol::DeviceConfig& c);
PortFields PortShown(const TfrmConfigPort& page);
DeviceFields DeviceOf(const sim::DeviceConfig& c);
DeviceFields DeviceOf(const protocol::DeviceConfig& c);
DeviceFields DeviceShown(const TfrmConfigLocalDevice& page);

struct World {
    World(sim::Simulator& d, TfrmMain& m, int f, int p) : device(d), main(m), function(f), port(p) {}
    sim::Simulator& device;
    TfrmMain& main;
    int function = 1;  // 1 Cable Replacement, 2 SPP Server
    int port = 0;
    const LineWatch* line = nullptr;  // what the wizard wrote and read
    bool lineDrops = false;  // the line may hang up and come back
    bool chatty = false;     // the device sends frames nobody asked for

    // For the oracle: what it saw at its last look.
    std::size_t framesSeen = 0;
    TWizardChildForm* pageBefore = nullptr;
    DeviceAddress bondBefore{};  // the unit the device was bonded to
    Clock::time_point wayOnSince = Clock::now();
    // Set by the actions for the oracle: a settings page was left by Next
    // while it showed these values.
    TWizardChildForm* leftByNext = nullptr;
    std::optional<PortFields> leftPort;
    std::optional<DeviceFields> leftDevice;
    int savedClaims = 0;  // "All settings were saved successfully." shown

    std::string finding, check;

    template <typename Page>
    Page* Shown(Page* page) const
    {
        return page && main.ShownPage() == page ? page : nullptr;
    }
    // Delivers events for `ms`, the oracle looking after every pass. False
    // once it found something.
    bool Pump(int ms);
    // Runs the oracle's table once.
    bool Look();
};

// ---- the three tables ---------------------------------------------------

struct ActionRow {
    const char* name;
    int weight;
    bool leadsOn;  // counts as a way on for the "nothing is stuck" check
    bool (*possible)(World&);
    std::vector<int> (*choose)(World&, Rng&);
    void (*perform)(World&, const std::vector<int>&);
};
const std::vector<ActionRow>& ActionTable();

struct BehaviourRow {
    const char* name;
    int weight;
    // Late answers and refusals stay within kLateBound time-outs.
    sim::CommandFault (*make)(Rng&, int timeoutMs);
};
const std::vector<BehaviourRow>& BehaviourTable();

struct OracleRow {
    const char* name;
    std::string (*check)(World&);  // empty: holds
};
const std::vector<OracleRow>& OracleTable();

}  // namespace vtrl::model
