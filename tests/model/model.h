#pragma once
// The model test: a random but reproducible operator plays the real wizard
// against a simulated device that misbehaves at random, and an oracle checks
// after every action and every delivered notification that what the pages
// claim is what the devices hold.
//
// Three tables make the model (model_tables.cpp): what the operator can do,
// what the device does with each command, and what must always hold. The
// runner (model.cpp) plays a sequence from a seed, or replays a list of
// actions, and shortens a failing list to what still fails.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vtrl::model {

// A small, portable generator: the same seed gives the same sequence on
// every standard library.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1 (0 when n is 0).
    int Below(int n) { return n <= 0 ? 0 : static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
    bool Chance(int percent) { return Below(100) < percent; }

private:
    std::uint64_t state_;
};

// One operator action or device event, as a replayable word: "Next",
// "Pick:3:5", "Wait:40".
struct Action {
    std::string name;
    std::vector<int> args;
    std::string Text() const;
    static Action Parse(const std::string& text);
};

std::string ActionsText(const std::vector<Action>& actions);
std::vector<Action> ParseActions(const std::string& text);

struct Outcome {
    std::string finding;  // empty: the oracle saw nothing wrong
    std::string check;    // the oracle row that failed
    std::vector<Action> actions;  // as played (the skipped ones left out)
    std::string trace;  // the actions and the device's dice, with times: what -v prints
    std::string deviceModel;  // how the device orders its answers
    // The longest the line or the simulated device held a command up: what
    // no real device and line do, and a loaded machine does.
    std::chrono::milliseconds heldUp{0};
    bool Failed() const { return !finding.empty(); }
};

struct Options {
    int maxActions = 70;
    bool verbose = false;  // each action and what the oracle sees, on stderr
};

// Plays one sequence: the actions come from the seed, or from `script` when
// given (an action not possible at its turn is skipped). The device's
// behaviour always comes from the seed.
Outcome RunSequence(std::uint64_t seed, const Options& options, const std::vector<Action>* script = nullptr);

// Drops actions while the sequence still fails the same check.
std::vector<Action> Shorten(std::uint64_t seed, const Options& options, const Outcome& failed);

// vtrlctl's part: a random profile applied to a device that misbehaves at
// random; the exit code, the step named and the flash must agree with what
// the device did. Empty when they do.
std::string RunCtlSequence(std::uint64_t seed, bool verbose);

// Findings of earlier runs, replayed as plain tests.
struct Replay {
    const char* what;
    std::uint64_t seed;
    const char* actions;  // empty: the seed's own sequence
};
const std::vector<Replay>& Replays();

}  // namespace vtrl::model
