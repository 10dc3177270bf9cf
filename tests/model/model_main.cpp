// The model test's program: replays the findings of earlier runs, then plays
// random sequences for the wizard and for vtrlctl.
//
//   model_test                      VTRL_MODEL_SEQUENCES sequences (default 25)
//   model_test --sequences N        N wizard sequences (and N/4 vtrlctl ones)
//   model_test --seconds S          as many as fit in S seconds
//   model_test --jobs J             J processes side by side (VTRL_MODEL_JOBS): the
//                                   sequences mostly wait on the device's time
//   model_test --seed S             the first seed (default VTRL_MODEL_SEED, or 1)
//   model_test --seed S --actions "Next Set ..."   replays one action list
//   model_test --ctl N              N vtrlctl sequences only
//   model_test -v                   each action, device behaviour and finding
//
// A failure prints its seed and a shortened action list, and the command
// that replays it. The closing line counts sequences: "N passed, N failed".
#include "model.h"
#include "stalls.h"

#include "serial/holders.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <csignal>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vtrl::model;

namespace {

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::strtoull(v, nullptr, 10) : fallback;
}

void Report(const char* kind, std::uint64_t seed, const Outcome& failed, const std::vector<Action>& shortened,
            int reproduced = -1)
{
    std::printf("model: %s seed %llu fails \"%s\": %s\n", kind, static_cast<unsigned long long>(seed),
                failed.check.c_str(), failed.finding.c_str());
    if (!failed.deviceModel.empty())
        std::printf("  the device %s\n", failed.deviceModel.c_str());
    if (!failed.actions.empty()) {
        std::printf("  actions (%zu): %s\n", failed.actions.size(), ActionsText(failed.actions).c_str());
        std::printf("  shortened (%zu): %s\n", shortened.size(), ActionsText(shortened).c_str());
        std::printf("  replay: model_test --seed %llu --actions \"%s\"\n", static_cast<unsigned long long>(seed),
                    ActionsText(shortened).c_str());
        if (reproduced >= 0)
            std::printf("  the shortened list failed again %d of 3 times (the rest is timing)\n", reproduced);
    }
    std::printf("  the line or the device held a command up for %lld ms at the longest\n",
                static_cast<long long>(failed.heldUp.count()));
    if (!failed.trace.empty())
        std::printf("  as it was played (ms from the start):\n%s", failed.trace.c_str());
    std::fflush(stdout);
}

struct Tally {
    std::uint64_t played = 0;
    int passed = 0, failed = 0;
    int voided = 0;          // found only after a stall, and not when played again
    long long longest = 0;   // the longest stall, in ms
};

// Half the shortest time-out of the model's pages: what a late answer has to
// spare before the wizard's grace ends.
constexpr std::chrono::milliseconds kStallLimit{15};

void ReportVoid(const char* kind, std::uint64_t seed, const std::string& finding, std::chrono::milliseconds stall,
                std::chrono::milliseconds held)
{
    std::printf("model: %s seed %llu found \"%s\" after the process stood still for %lld ms and the line or the device "
                "held a command up for %lld ms, and nothing when played again: not counted\n",
                kind, static_cast<unsigned long long>(seed), finding.c_str(), static_cast<long long>(stall.count()),
                static_cast<long long>(held.count()));
    std::fflush(stdout);
}

struct Run {
    std::uint64_t sequences = 0, seconds = 0, seed = 1;
    int job = 0, jobs = 1;
    Options options;
};

// This job's share: seeds seed + job, seed + job + jobs, ...; the replayed
// findings in the first job only.
Tally Play(const Run& run)
{
    // Sibling jobs draw their pseudo-terminals from one pool, and a number
    // one job has just let go of may keep its lock file a moment longer than
    // its descriptor: each job keeps its locks to itself.
    struct OwnLocks {
        char dir[32] = "/tmp/vtrl-model-locks-XXXXXX";
        OwnLocks() { vtrl::serial::SetLockDirectoryForTesting(::mkdtemp(dir) ? dir : ""); }
        ~OwnLocks()
        {
            vtrl::serial::SetLockDirectoryForTesting("");
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    } locks;
    Tally t;
    const StallWatch stalls;
    // A finding that came after a stall longer than a late answer has to
    // spare, of the whole process, or of a command held up by the machine's
    // pseudo-terminal or the simulated device (which no real line or device
    // does), is played once more, and not counted if it does not come again.
    // The wizard's own threads held up are no excuse.
    const auto voided = [&](const char* kind, std::uint64_t seed, const std::string& finding,
                            StallWatch::Clock::time_point begun, const auto& failsAgain,
                            std::chrono::milliseconds held = {}) {
        const auto stall = stalls.LongestSince(begun);
        if (std::max(stall, held) < kStallLimit || failsAgain())
            return false;
        ReportVoid(kind, seed, finding, stall, held);
        ++t.voided;
        return true;
    };
    if (run.job == 0)
        for (const Replay& r : Replays()) {
            const auto script = ParseActions(r.actions);
            const auto play = [&] { return RunSequence(r.seed, run.options, *r.actions ? &script : nullptr); };
            const auto begun = StallWatch::Clock::now();
            const Outcome o = play();
            if (!o.Failed()) {
                ++t.passed;
            } else if (!voided("replayed", r.seed, o.finding, begun, [&] { return play().Failed(); }, o.heldUp)) {
                ++t.failed;
                std::printf("model: the replayed finding \"%s\" is back\n", r.what);
                Report("replayed", r.seed, o, o.actions);
            }
        }
    const auto start = std::chrono::steady_clock::now();
    const auto within = [&] {
        return run.seconds == 0 || std::chrono::steady_clock::now() - start < std::chrono::seconds(run.seconds);
    };
    for (std::uint64_t n = static_cast<std::uint64_t>(run.job); n < run.sequences && within(); n += static_cast<std::uint64_t>(run.jobs)) {
        const std::uint64_t s = run.seed + n;
        ++t.played;
        auto begun = StallWatch::Clock::now();
        const Outcome o = RunSequence(s, run.options);
        if (!o.Failed()) {
            ++t.passed;
        } else if (!voided("wizard", s, o.finding, begun, [&] { return RunSequence(s, run.options).Failed(); },
                           o.heldUp)) {
            ++t.failed;
            const std::vector<Action> shortened = Shorten(s, run.options, o);
            int again = 0;
            for (int i = 0; i < 3; ++i)
                again += RunSequence(s, run.options, &shortened).check == o.check;
            Report("wizard", s, o, shortened, again);
        }
        // vtrlctl's sequences are quick: one for every four of the wizard's.
        if (n % 4 == 0) {
            const auto play = [&] { return RunCtlSequence(s, run.options.verbose); };
            begun = StallWatch::Clock::now();
            const std::string ctl = play();
            if (ctl.empty()) {
                ++t.passed;
            } else if (!voided("vtrlctl", s, ctl, begun, [&] { return !play().empty(); })) {
                ++t.failed;
                std::printf("model: vtrlctl seed %llu fails: %s\n", static_cast<unsigned long long>(s), ctl.c_str());
                std::fflush(stdout);
            }
        }
    }
    t.longest = stalls.Longest().count();
    return t;
}

void Summary(const Tally& t)
{
    if (t.played > 0)
        std::printf("model: the process stood still for %lld ms at the longest; %d void after a stall\n", t.longest,
                    t.voided);
    std::printf("model: %d passed, %d failed\n", t.passed, t.failed);
}

// Runs the jobs as child processes (the wizard's forms are one per process)
// and adds up what they report through a pipe.
Tally PlayInJobs(int argc, char** argv, Run run)
{
    std::vector<std::pair<pid_t, int>> children;
    for (int j = 0; j < run.jobs; ++j) {
        int fds[2];
        if (::pipe(fds) != 0)
            break;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a stopped run stops its jobs
            ::close(fds[0]);
            QApplication app(argc, argv);
            run.job = j;
            const Tally t = Play(run);
            const std::string line = std::to_string(t.played) + " " + std::to_string(t.passed) + " " + std::to_string(t.failed) +
                                     " " + std::to_string(t.voided) + " " + std::to_string(t.longest) + "\n";
            (void)!::write(fds[1], line.data(), line.size());
            std::fflush(stdout);
            ::_exit(0);
        }
        ::close(fds[1]);
        children.emplace_back(pid, fds[0]);
    }
    Tally total;
    for (const auto& [pid, fd] : children) {
        char buffer[64] = {};
        const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
        ::close(fd);
        int status = 0;
        ::waitpid(pid, &status, 0);
        unsigned long long played = 0;
        int passed = 0, failed = 0, voided = 0;
        long long longest = 0;
        if (n > 0 && std::sscanf(buffer, "%llu %d %d %d %lld", &played, &passed, &failed, &voided, &longest) == 5) {
            total.played += played, total.passed += passed, total.failed += failed, total.voided += voided;
            total.longest = std::max(total.longest, longest);
        } else {
            ++total.failed;  // the job died: its own output says where
            std::printf("model: a job ended without its tally (status %d)\n", status);
        }
    }
    return total;
}

}  // namespace

int main(int argc, char** argv)
{
    Run run;
    run.sequences = EnvNumber("VTRL_MODEL_SEQUENCES", 25);
    run.seed = EnvNumber("VTRL_MODEL_SEED", 1);
    run.jobs = static_cast<int>(EnvNumber("VTRL_MODEL_JOBS", 1));
    std::string actions;
    bool haveActions = false;
    std::uint64_t ctlOnly = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--sequences" && value)
            run.sequences = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--seconds" && value)
            run.seconds = std::strtoull(argv[++i], nullptr, 10), run.sequences = UINT64_MAX;
        else if (a == "--seed" && value)
            run.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "--jobs" && value)
            run.jobs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--actions" && value)
            actions = argv[++i], haveActions = true;
        else if (a == "--ctl" && value)
            ctlOnly = std::strtoull(argv[++i], nullptr, 10);
        else if (a == "-v")
            run.options.verbose = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--sequences N | --seconds S] [--jobs J] [--seed S [--actions LIST]] [--ctl N] [-v]\n",
                         argv[0]);
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (run.jobs > 1 && run.sequences > 1 && !haveActions && ctlOnly == 0) {
        const auto start = std::chrono::steady_clock::now();
        const Tally t = PlayInJobs(argc, argv, run);
        const auto took = std::max<long long>(
            1, std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count());
        std::printf("model: %llu wizard sequences from seed %llu in %lld s with %d jobs (%.0f per minute)\n",
                    static_cast<unsigned long long>(t.played), static_cast<unsigned long long>(run.seed), took, run.jobs,
                    60.0 * static_cast<double>(t.played) / static_cast<double>(took));
        Summary(t);
        return t.failed ? 1 : 0;
    }

    QApplication app(argc, argv);
    Tally t;
    if (haveActions) {
        const auto script = ParseActions(actions);
        const Outcome o = RunSequence(run.seed, run.options, &script);
        if (o.Failed())
            Report("replayed", run.seed, o, o.actions);
        ++(o.Failed() ? t.failed : t.passed);
    } else if (ctlOnly > 0) {
        for (std::uint64_t i = 0; i < ctlOnly; ++i) {
            const std::string ctl = RunCtlSequence(run.seed + i, run.options.verbose);
            if (!ctl.empty())
                std::printf("model: vtrlctl seed %llu fails: %s\n", static_cast<unsigned long long>(run.seed + i), ctl.c_str());
            ++(ctl.empty() ? t.passed : t.failed);
        }
    } else {
        const auto start = std::chrono::steady_clock::now();
        t = Play(run);
        const auto took = std::max<long long>(
            1, std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count());
        std::printf("model: %llu wizard sequences from seed %llu in %lld s (%.0f per minute)\n",
                    static_cast<unsigned long long>(t.played), static_cast<unsigned long long>(run.seed), took,
                    60.0 * static_cast<double>(t.played) / static_cast<double>(took));
    }
    Summary(t);
    return t.failed ? 1 : 0;
}
