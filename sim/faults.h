#pragma once
// The fault switches as prebuilt fault plans, composed with a test's own
// plan: what the device does with each command before it acts on it, and
// what happens to its answers on the line. Internal to the simulator; used
// under its lock.

#include "answers.h"

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
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
    // Where a switch's plan is asked, in this order. A silent device hears
    // nothing, so the test's plan is not asked either; the others come after
    // the test's plan, the line's checksum and a busy device's refusal.
    enum class Order {
        Silence,         // Ignore: no answer at all
        Slowness,        // slowBy: a late confirmation
        Silencing,       // Ignore: no answer to one command type
        IgnoreSettings,  // ConfirmOnly: settings that do not take
        Refusal,         // Refuse
        Renaming,        // confirmAs: asked as each Confirmation is written
    };
    // Switches a prebuilt plan on under (order, command type), replacing the
    // one there; `once`: off again after it said something once.
    void set(Order order, std::uint8_t commandType, FaultPlan plan, bool once = false);
    void clear(Order order, std::uint8_t commandType);

    // The test's own plan (Simulator::setFaultPlan).
    FaultPlan plan;

    // What the line does to answers, counted by answer rather than by
    // command, so no plan of a command can say it.
    Millis answerDelay{0};
    int badCrc = 0;
    int truncate = 0;
    int wrongConfigSeq = 0;
    std::vector<std::uint8_t> noise;
    // What the device does with a frame whose CRC is wrong, and while busy.
    bool answerChecksumFailures = true;
    bool refuseWhileBusy = false;   // AnswerOrder::Busy

    Verdict judge(const ReceivedFrame& command);
    AnswerStyle unaskedStyle() const { return AnswerStyle{answerDelay}; }

    // The type a Confirmation of `command` names.
    std::uint8_t confirmedName(std::uint8_t command);
    // True when this ConfigReport is to carry a wrong sequence number.
    bool takeWrongConfigSeq();
    // An encoded answer as the line mangles it: CRC spoilt or cut off.
    void spoil(std::vector<std::uint8_t>& frame);

private:
    struct Switch {
        FaultPlan plan;
        bool once = false;
    };
    // The first word of the switches of `order` on `command`; Normal when
    // none says anything.
    CommandFault ask(Order order, const ReceivedFrame& command);

    std::map<std::pair<Order, std::uint8_t>, Switch> switches_;
    // The test's plan renaming the Confirmation of the command judged last.
    std::optional<std::pair<std::uint8_t, std::uint8_t>> planRenaming_;
};

}  // namespace vtrl::sim
