// The model test's program: replays the findings of earlier runs, then plays
// random sequences for the wizard and for vtrlctl.
//
//   model_test                      VTRL_MODEL_SEQUENCES sequences (default 60)
//   model_test --sequences N        N wizard sequences (and N/4 vtrlctl ones)
//   model_test --seconds S          as many as fit in S seconds
//   model_test --seed S             the first seed (default VTRL_MODEL_SEED, or 1)
//   model_test --seed S --actions "Next Set ..."   replays one action list
//   model_test --ctl N              N vtrlctl sequences only
//   model_test -v                   each action, device behaviour and finding
//
// A failure prints its seed and a shortened action list, and the command
// that replays it. The closing line counts sequences: "N passed, N failed".
#include "model.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace vtrl::model;

namespace {

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

void Report(const char* kind, std::uint64_t seed, const Outcome& failed, const std::vector<Action>& shortened)
{
    std::printf("model: %s seed %llu fails \"%s\": %s\n", kind, static_cast<unsigned long long>(seed),
                failed.check.c_str(), failed.finding.c_str());
    if (!failed.actions.empty()) {
        std::printf("  actions (%zu): %s\n", failed.actions.size(), ActionsText(failed.actions).c_str());
        std::printf("  shortened (%zu): %s\n", shortened.size(), ActionsText(shortened).c_str());
        std::printf("  replay: model_test --seed %llu --actions \"%s\"\n", static_cast<unsigned long long>(seed),
                    ActionsText(shortened).c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    std::uint64_t sequences = EnvNumber("VTRL_MODEL_SEQUENCES", 60);
    std::uint64_t seconds = 0;
    std::uint64_t seed = EnvNumber("VTRL_MODEL_SEED", 1);
    std::string actions;
    bool haveActions = false;
    std::uint64_t ctlOnly = 0;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--sequences" && value)
            sequences = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--seconds" && value)
            seconds = std::strtoull(argv[++i], nullptr, 10), sequences = UINT64_MAX;
        else if (a == "--seed" && value)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--actions" && value)
            actions = argv[++i], haveActions = true;
        else if (a == "--ctl" && value)
            ctlOnly = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "-v")
            options.verbose = true;
        else {
            std::fprintf(stderr, "usage: %s [--sequences N | --seconds S] [--seed S [--actions LIST]] [-v]\n", argv[0]);
            return 2;
        }
    }

    int passed = 0, failed = 0;
    if (ctlOnly > 0) {
        for (std::uint64_t i = 0; i < ctlOnly; ++i) {
            const std::string ctl = RunCtlSequence(seed + i, options.verbose);
            if (!ctl.empty())
                std::printf("model: vtrlctl seed %llu fails: %s\n", static_cast<unsigned long long>(seed + i), ctl.c_str());
            ++(ctl.empty() ? passed : failed);
        }
        std::printf("model: %d passed, %d failed\n", passed, failed);
        return failed ? 1 : 0;
    }
    if (haveActions) {
        const auto script = ParseActions(actions);
        const Outcome o = RunSequence(seed, options, &script);
        if (o.Failed())
            Report("replayed", seed, o, o.actions);
        std::printf("model: %d passed, %d failed\n", o.Failed() ? 0 : 1, o.Failed() ? 1 : 0);
        return o.Failed() ? 1 : 0;
    }

    // The findings of earlier runs, each once as a plain test.
    for (const Replay& r : Replays()) {
        const auto script = ParseActions(r.actions);
        const Outcome o = RunSequence(r.seed, options, *r.actions ? &script : nullptr);
        if (o.Failed()) {
            ++failed;
            std::printf("model: the replayed finding \"%s\" is back\n", r.what);
            Report("replayed", r.seed, o, o.actions);
        } else {
            ++passed;
        }
    }

    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    };
    std::uint64_t played = 0;
    for (; played < sequences && (seconds == 0 || static_cast<std::uint64_t>(elapsed()) < seconds); ++played) {
        const std::uint64_t s = seed + played;
        const Outcome o = RunSequence(s, options);
        if (o.Failed()) {
            ++failed;
            Report("wizard", s, o, Shorten(s, options, o));
        } else {
            ++passed;
        }
        // vtrlctl's sequences are quicker to fail and slower to pass: one in four.
        if (played % 4 == 0) {
            const std::string ctl = RunCtlSequence(s, options.verbose);
            if (!ctl.empty()) {
                ++failed;
                std::printf("model: vtrlctl seed %llu fails: %s\n", static_cast<unsigned long long>(s), ctl.c_str());
            } else {
                ++passed;
            }
        }
    }
    const auto took = std::max<long long>(1, elapsed());
    std::printf("model: %llu wizard sequences from seed %llu in %lld s (%.0f per minute)\n",
                static_cast<unsigned long long>(played), static_cast<unsigned long long>(seed), took,
                60.0 * static_cast<double>(played) / static_cast<double>(took));
    std::printf("model: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
