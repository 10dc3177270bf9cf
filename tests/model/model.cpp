// The model's runner: sets up a fresh device and wizard for a sequence, plays
// the actions, lets the oracle look after each of them and after every pass
// of the event loop, and shortens what fails.
#include "line_watch.h"
#include "world.h"

#include "demo/scenario.h"
#include "demo/hands.h"
#include "pages/wizard.h"
#include "platform/messagebox.h"
#include "serial/portnames.h"
#include "serial/ports.h"
#include "shell/deviceaddress.h"
#include "sim/device.h"
#include "sim/wire.h"

#include <QCoreApplication>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>

#include <unistd.h>

namespace vtrl::model {

std::string Action::Text() const
{
    std::string s = name;
    for (int a : args)
        s += ':' + std::to_string(a);
    return s;
}

Action Action::Parse(const std::string& text)
{
    Action a;
    std::istringstream in(text);
    std::getline(in, a.name, ':');
    for (std::string part; std::getline(in, part, ':');)
        a.args.push_back(std::atoi(part.c_str()));
    return a;
}

std::string ActionsText(const std::vector<Action>& actions)
{
    std::string s;
    for (const Action& a : actions)
        s += (s.empty() ? "" : " ") + a.Text();
    return s;
}

std::vector<Action> ParseActions(const std::string& text)
{
    std::vector<Action> out;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        out.push_back(Action::Parse(word));
    return out;
}

bool World::Look()
{
    if (!finding.empty())
        return false;
    for (const OracleRow& row : OracleTable()) {
        std::string seen = row.check(*this);
        if (!seen.empty()) {
            finding = std::move(seen);
            check = row.name;
            return false;
        }
    }
    pageBefore = main.ShownPage();
    bondBefore = device.workingConfig({})->bondedAddress;
    return true;
}

bool World::Pump(int ms)
{
    const auto until = Clock::now() + Millis(ms);
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!Look())
            return false;
        if (Clock::now() >= until)
            break;
        QTest::qWait(1);
    } while (true);
    return Look();
}

namespace {

// The operator reads every box and goes on; asked whether to quit, says No.
class OperatorBoxes final : public platform::MessageBoxService {
public:
    OperatorBoxes() : previous_(platform::SetMessageBoxService(this)) {}
    ~OperatorBoxes() override { platform::SetMessageBoxService(previous_); }
    OperatorBoxes(const OperatorBoxes&) = delete;
    OperatorBoxes& operator=(const OperatorBoxes&) = delete;
    int show(QWidget*, const QString&, const QString&, platform::MbButtons buttons, platform::MbIcon) override
    {
        switch (buttons) {
        case platform::MbButtons::YesNo: return platform::mrNo;
        case platform::MbButtons::RetryCancel: return platform::mrCancel;
        case platform::MbButtons::Ok: break;
        }
        return platform::mrOk;
    }

private:
    platform::MessageBoxService* previous_;
};

// Milliseconds since `begun`, as the timeline writes them.
std::string MsSince(Clock::time_point begun)
{
    return std::to_string(std::chrono::duration_cast<Millis>(Clock::now() - begun).count());
}

// The device's dice, thrown on the simulator's thread for each command.
struct DeviceDice {
    DeviceDice(std::uint64_t seed, int calm, int calmFirst, sim::AnswerOrder order, const LineWatch& line)
        : rng(seed), crowd(seed ^ 0xB05Eull), calm(calm), calmFirst(calmFirst), order(order), line(line)
    {
    }
    sim::CommandFault Throw(const sim::ReceivedFrame& command)
    {
        using sim::CommandFault;
        Millis onLine{0};
        if (const auto written = line.WrittenAt(sim::encodeFrame(command.type, command.seq, command.payload))) {
            onLine = std::chrono::duration_cast<Millis>(Clock::now() - *written);
            std::lock_guard lock(m);
            lineHeld = std::max(lineHeld, onLine);
        }
        if (calmFirst > 0) {
            --calmFirst;
            return {};
        }
        const auto& rows = BehaviourTable();
        int total = calm;
        for (std::size_t i = 1; i < rows.size(); ++i)
            total += rows[i].weight;
        int pick = rng.Below(total);
        std::size_t row = 0;
        if (pick >= calm) {
            pick -= calm;
            for (row = 1; row + 1 < rows.size() && pick >= rows[row].weight; ++row)
                pick -= rows[row].weight;
        }
        sim::CommandFault fault = rows[row].make(rng, TimeoutOf(command));
        // A device still working on an older command, and not refusing
        // new ones, loses more of them: the resend after a time-out is
        // where an answer is mistaken for another send's.
        const bool crowded = command.busy && order != sim::AnswerOrder::Busy && command.type != sim::type::Abort;
        std::string what = rows[row].name;
        // (Dice of their own: the others stay what they were for a seed.)
        if (const int lose = crowded ? crowd.Below(100) : 100; lose < 40) {
            fault = CommandFault{lose < 20 ? CommandFault::Kind::Drop : CommandFault::Kind::Mute};
            what = lose < 20 ? "lost on the way in while busy" : "answer lost while busy";
        }
        std::lock_guard lock(m);
        std::string unit;
        if (command.payload.size() >= 6 && command.type != sim::type::SetDeviceConfig) {
            DeviceAddress a{};
            std::copy_n(command.payload.begin(), 6, a.begin());
            if (a != DeviceAddress{})
                unit = " to " + sim::formatAddress(a);
        }
        // A busy device refuses at once what the dice did not lose.
        const bool busy = order == sim::AnswerOrder::Busy && command.busy && command.type != sim::type::Abort
            && fault.kind != sim::CommandFault::Kind::Drop;
        log.push_back(MsSince(begun) + " device: command " + std::to_string(command.type) + unit + " "
                      + (busy ? std::string("refused at once: busy with a late answer") : what)
                      + (!busy && fault.lateBy.count() > 0 ? " +" + std::to_string(fault.lateBy.count()) + " ms"
                                                           : std::string())
                      + (onLine.count() > 1 ? ", " + std::to_string(onLine.count()) + " ms on the line" : std::string()));
        return fault;
    }
    void Wrote(std::uint8_t type, Millis late)
    {
        std::lock_guard lock(m);
        log.push_back(MsSince(begun) + " device: answer " + std::to_string(type) + " out"
                      + (late.count() > 0 ? ", " + std::to_string(late.count()) + " ms past its time" : std::string()));
    }
    Rng rng;
    Rng crowd;
    Clock::time_point begun = Clock::now();
    int calm;       // weight of answering at once
    int calmFirst;  // commands answered at once before the dice are thrown
    sim::AnswerOrder order;
    const LineWatch& line;
    Millis lineHeld{0};  // the longest a command took from the wizard's write to the device
    std::mutex m;
    std::vector<std::string> log;
};

// Where a crash is reported from: the sequence under way. The handlers that
// were there before (the sanitizers' own) still report it afterwards.
char gUnderWay[96] = "";
constexpr int kCrashSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE};
struct sigaction gBefore[std::size(kCrashSignals)];

extern "C" void ReportUnderWay(int signal)
{
    if (gUnderWay[0]) {
        (void)!::write(2, gUnderWay, strnlen(gUnderWay, sizeof gUnderWay));
        (void)!::write(2, "\n", 1);
    }
    for (std::size_t i = 0; i < std::size(kCrashSignals); ++i)
        if (kCrashSignals[i] == signal)
            ::sigaction(signal, &gBefore[i], nullptr);
    ::raise(signal);  // delivered once this handler returns
}

// What a hurried operator reaches for.
bool Onward(const ActionRow& row)
{
    for (const char* name : {"SetCom", "Next", "Search", "Select", "Bond", "Set", "Save"})
        if (std::strcmp(row.name, name) == 0)
            return true;
    return false;
}

const ActionRow* RowOf(const std::string& name)
{
    for (const ActionRow& row : ActionTable())
        if (name == row.name)
            return &row;
    return nullptr;
}

}  // namespace

Outcome RunSequence(std::uint64_t seed, const Options& options, const std::vector<Action>* script)
{
    static const bool handlers = [] {
        struct sigaction report {};
        report.sa_handler = ReportUnderWay;
        for (std::size_t i = 0; i < std::size(kCrashSignals); ++i)
            ::sigaction(kCrashSignals[i], &report, &gBefore[i]);
        return true;
    }();
    (void)handlers;
    std::snprintf(gUnderWay, sizeof gUnderWay, "model: crashed in the sequence of seed %llu",
                  static_cast<unsigned long long>(seed));

    Outcome out;
    const LineWatch line;  // before the device and the wizard: it outlives their ports
    Rng hands(seed);
    Rng setup(seed ^ 0x5EED0F0DE71CEull);
    OperatorBoxes boxes;
    demo::Rig rig;

    // The device: either function, a link time-out the spin box cannot show
    // now and then, and a temper from calm to moody. On a stable link, since
    // the operator may pull it out and plug it in again.
    const int function = 1 + setup.Below(2);
    int port = 0;
    sim::Simulator& device = rig.AddDevice(&port, demo::Rig::Line::Stable);
    if (function == 2)
        demo::SetUpSppDevice(device);
    sim::DeviceConfig stored = *device.workingConfig({});
    const std::uint16_t linkTimeouts[] = {20, 40, 300, 1000};
    stored.linkTimeout = linkTimeouts[setup.Below(4)];
    device.setStoredConfig({}, stored);
    const int calm[] = {600, 200, 80};
    // Mostly a first connection that goes through: the pages after it are
    // where sequences go wrong.
    // One of the three kinds of device, from dice of its own so that the
    // rest of the set-up stays what it was for a seed.
    const sim::AnswerOrder orders[] = {sim::AnswerOrder::InOrder, sim::AnswerOrder::Busy, sim::AnswerOrder::Overtaking};
    const sim::AnswerOrder order = orders[Rng(seed ^ 0x0DE7A1C5ull).Below(3)];
    out.deviceModel = DeviceModelName(order);
    auto dice = std::make_shared<DeviceDice>(setup.Next(), calm[setup.Below(3)], setup.Chance(75) ? 3 : 0, order, line);
    device.setFaultPlan([dice](const sim::ReceivedFrame& f) { return dice->Throw(f); });
    device.setAnswerWatch([dice](std::uint8_t type, Millis late) { dice->Wrote(type, late); });
    device.setAnswerOrder(order);
    device.setAnswerDelay(Millis(1));
    device.setInquiryDelay(Millis(5));
    device.setBondResultDelay(Millis(5));
    sim::BondingScript bonding;
    bonding.stepDelay = Millis(5);
    device.setBonding(bonding);
    sim::PingScript ping;
    ping.connectionStatus = 2;
    ping.connectionDelay = Millis(5);
    device.setPing(ping);
    if (!rig.Open(function == 2 ? fnSppServer : fnCableReplacement, kTimers)) {
        out.finding = "set-up: " + rig.Error().toStdString();
        out.check = "set-up";
        return out;
    }
    TfrmMain& main = rig.main();

    World w(device, main, function, port);
    w.line = &line;
    w.lineDrops = setup.Chance(30);
    w.chatty = setup.Chance(50);
    QObject::connect(&frmFlashUpdate->Panel0, &StatusPanel::textSet, [&w](const QString& text) {
        if (text == QStringLiteral("All settings were saved successfully."))
            ++w.savedClaims;
    });

    // Every play keeps its timeline: a finding that does not come again
    // has only this to tell its story.
    std::size_t logged = 0;
    const auto say = [&](const std::string& line) {
        std::lock_guard lock(dice->m);
        for (; logged < dice->log.size(); ++logged)
            out.trace += "      " + dice->log[logged] + "\n";
        if (!line.empty())
            out.trace += MsSince(dice->begun) + " " + line + "\n";
        if (options.verbose)
            std::fputs(std::exchange(out.trace, {}).c_str(), stderr);
    };

    say(std::string("the device ") + out.deviceModel);
    // Half the operators are in a hurry to get on: deeper into the wizard.
    const bool hurried = hands.Chance(50);
    const std::size_t turns = script ? script->size() : static_cast<std::size_t>(options.maxActions);
    for (std::size_t turn = 0; turn < turns && w.finding.empty(); ++turn) {
        const ActionRow* row = nullptr;
        Action action;
        if (script) {
            action = (*script)[turn];
            row = RowOf(action.name);
            if (!row)
                continue;
            // The button may come on a little later than when the list was
            // made: the operator waits for it, as long as the page would.
            const auto until = Clock::now() + Millis(2 * LongestTimeout(main.ShownPage()));
            while (!row->possible(w) && Clock::now() < until && w.Pump(1))
                ;
            if (!w.finding.empty())
                break;
            if (!row->possible(w))
                continue;
        } else {
            std::vector<std::pair<const ActionRow*, int>> open;
            int total = 0;
            for (const ActionRow& r : ActionTable())
                if (r.possible(w)) {
                    const int weight = r.weight * (hurried && Onward(r) ? 4 : 1);
                    open.emplace_back(&r, weight);
                    total += weight;
                }
            int pick = hands.Below(total);
            for (const auto& [r, weight] : open) {
                row = r;
                if ((pick -= weight) < 0)
                    break;
            }
            action = Action{row->name, row->choose(w, hands)};
        }
        say("[" + main.ShownPage()->Caption().toStdString() + "] " + action.Text());
        out.actions.push_back(action);
        row->perform(w, action.args);
        w.Pump(0);
        if (main.ShownPage() == frmFinish)
            break;
    }
    // What is still on its way arrives, and what the pages send on it, and
    // the oracle looks once more.
    if (w.finding.empty()) {
        const auto until = Clock::now() + Millis(2 * kLongestLate);
        auto quiet = Clock::now();
        while (w.Pump(1) && Clock::now() < until) {
            if (device.answersPending() > 0)
                quiet = Clock::now();
            else if (Clock::now() - quiet > Millis(20))
                break;
        }
    }
    say(w.finding.empty() ? std::string() : "finding: " + w.finding);
    // The device's lock is taken apart from the dice's: its thread holds
    // its own while it throws them.
    out.heldUp = device.longestHold();
    {
        std::lock_guard lock(dice->m);
        out.heldUp = std::max(out.heldUp, dice->lineHeld);
    }
    out.finding = w.finding;
    out.check = w.check;
    gUnderWay[0] = '\0';
    return out;
}

std::vector<Action> Shorten(std::uint64_t seed, const Options& options, const Outcome& failed)
{
    std::vector<Action> best = failed.actions;
    const char* limit = std::getenv("VTRL_MODEL_SHORTEN");  // replays at most; 150
    int budget = limit && *limit ? std::atoi(limit) : 150;
    for (std::size_t chunk = std::max<std::size_t>(1, best.size() / 2); chunk >= 1 && budget > 0; chunk /= 2) {
        for (std::size_t at = 0; at < best.size() && budget > 0;) {
            std::vector<Action> shorter(best.begin(), best.begin() + static_cast<std::ptrdiff_t>(at));
            shorter.insert(shorter.end(), best.begin() + static_cast<std::ptrdiff_t>(std::min(best.size(), at + chunk)),
                           best.end());
            --budget;
            const Outcome again = RunSequence(seed, options, &shorter);
            if (again.Failed() && again.check == failed.check && again.actions.size() < best.size())
                best = again.actions;
            else
                at += chunk;
        }
        if (chunk == 1)
            break;
    }
    return best;
}

}  // namespace vtrl::model
