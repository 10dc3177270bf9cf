#pragma once
// The fault switches: what the device does with each command before it acts
// on it, and what happens to its answers on the line. Internal to the
// simulator; used under its lock.

#include "answers.h"

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace vtrl::sim {

// What becomes of one command that arrived.
struct Verdict {
    enum class Action {
        Drop,          // lost before it reached the device
        Ignore,        // the device does nothing with it, says nothing
        Refuse,        // NegativeResponse [refusalByte0, reason], nothing done
        ConfirmOnly,   // confirmed, nothing done (settings that do not take)
        Handle,        // the device acts on it
    };
    Action action = Action::Handle;
    CommandFault::Kind planned = CommandFault::Kind::Normal;
    std::uint8_t refusalByte0 = 0;
    std::uint8_t reason = 0;
    AnswerStyle style;
};

class Faults {
public:
    // Switches, set through the Simulator.
    Millis answerDelay{0};
    std::map<std::uint8_t, Millis> typeDelays;
    bool silent = false;
    std::set<std::uint8_t> silentTypes;
    struct Refusal {
        std::uint8_t reason;
        bool once;
    };
    std::map<std::uint8_t, Refusal> refusals;
    int badCrc = 0;
    int truncate = 0;
    int wrongConfigSeq = 0;
    std::vector<std::uint8_t> noise;
    bool answerChecksumFailures = true;
    bool ignoreSettings = false;
    struct Renaming {
        std::uint8_t named;
        bool once;
    };
    std::map<std::uint8_t, Renaming> confirmRenames;
    FaultPlan plan;
    bool refuseWhileBusy = false;   // AnswerOrder::Busy

    Verdict judge(const ReceivedFrame& command);
    AnswerStyle unaskedStyle() const { return AnswerStyle{answerDelay}; }

    // The type a Confirmation of `command` names.
    std::uint8_t confirmedName(std::uint8_t command);
    // True when this ConfigReport is to carry a wrong sequence number.
    bool takeWrongConfigSeq();
    // An encoded answer as the line mangles it: CRC spoilt or cut off.
    void spoil(std::vector<std::uint8_t>& frame);
};

}  // namespace vtrl::sim
