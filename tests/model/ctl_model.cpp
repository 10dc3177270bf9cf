// vtrlctl's part of the model: a random valid profile applied to a device
// that misbehaves at random. The exit code, the step the message names and
// what the flash holds must agree with what the device did.
#include "world.h"

#include "ctl/cli.h"
#include "ctl/profile.h"
#include "demo/scenario.h"
#include "protocol/params.h"
#include "serial/portnames.h"
#include "sim/device.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <mutex>

namespace vtrl::model {

namespace {

using Kind = sim::CommandFault::Kind;

// vtrlctl's time-outs in the model: the device answers in a millisecond, but
// a loaded machine must not turn a prompt answer into silence.
const ctl::Timeouts kCtlTimeouts = ctl::Timeouts{}.Scaled(0.1);

int CtlTimeout(const sim::ReceivedFrame& c)
{
    const bool remote = c.payload.size() >= 6 && std::any_of(c.payload.begin(), c.payload.begin() + 6, [](auto b) { return b != 0; });
    switch (c.type) {
    case sim::type::InitiateBonding: return static_cast<int>(kCtlTimeouts.bondStep.count());
    case sim::type::GetVersion:
    case sim::type::GetConfig:
        return static_cast<int>((remote ? kCtlTimeouts.bondStep : kCtlTimeouts.portCheck).count());
    case sim::type::SetPortConfig: return static_cast<int>(kCtlTimeouts.portSettings.count());
    case sim::type::SetDeviceConfig:
        return static_cast<int>(kCtlTimeouts.deviceSettingsTick.count()) * kCtlTimeouts.deviceSettingsTicks;
    case sim::type::UpdateFlash: return static_cast<int>(kCtlTimeouts.flash.count());
    default: return static_cast<int>(kCtlTimeouts.portCheck.count());
    }
}

const char* CommandName(std::uint8_t type)
{
    switch (type) {
    case sim::type::GetLocalAddress: return "GetLocalAddress";
    case sim::type::GetVersion: return "GetVersion";
    case sim::type::GetConfig: return "GetConfig";
    case sim::type::InitiateBonding: return "InitiateBonding";
    case sim::type::SetPortConfig: return "SetPortConfig";
    case sim::type::SetDeviceConfig: return "SetDeviceConfig";
    case sim::type::UpdateFlash: return "UpdateFlash";
    case sim::type::Abort: return "Abort";
    default: return "?";
    }
}

// What the device did with each command, in order.
struct Thrown {
    std::uint8_t type;
    sim::CommandFault fault;
    int timeout;
    bool busy = false;  // refused at once by a busy device
    bool Late() const { return fault.lateBy.count() > timeout; }
    bool Refused() const { return busy || (fault.kind == Kind::Refuse && !Late()); }
    bool Acted() const { return !busy && fault.kind != Kind::Drop && fault.kind != Kind::Refuse; }
    // The device never answered in time, or refused.
    bool Fails() const { return busy || fault.kind == Kind::Drop || fault.kind == Kind::Mute || fault.kind == Kind::Refuse || Late(); }
};

struct CtlDice {
    CtlDice(std::uint64_t seed, int calm, sim::AnswerOrder order) : rng(seed), calm(calm), order(order) {}
    sim::CommandFault Throw(const sim::ReceivedFrame& c)
    {
        std::lock_guard lock(m);
        const int timeout = CtlTimeout(c);
        sim::CommandFault f;
        if (c.type != sim::type::Abort && !rng.Chance(calm)) {
            const auto& rows = BehaviourTable();
            f = rows[1 + static_cast<std::size_t>(rng.Below(static_cast<int>(rows.size()) - 1))].make(rng, timeout);
            // Late is either well within the time-out or well past it (up
            // to the model's bound), so that the outcome does not hang on
            // the machine's load.
            if (f.lateBy.count() > 0)
                f.lateBy = rng.Chance(50) ? Millis(1 + rng.Below(timeout / 4))
                                          : Millis(timeout * 3 / 2 + rng.Below(kLateBound * timeout - timeout * 3 / 2 - 1));
        }
        const bool busy = order == sim::AnswerOrder::Busy && c.busy && c.type != sim::type::Abort && f.kind != Kind::Drop;
        thrown.push_back({c.type, f, timeout, busy});
        return f;
    }
    Rng rng;
    int calm;
    sim::AnswerOrder order;
    std::mutex m;
    std::vector<Thrown> thrown;
};

ctl::PortSettings RandomPort(Rng& r)
{
    ctl::PortSettings p;
    p.baud = static_cast<std::uint8_t>(1 + r.Below(10));
    p.dataBits = static_cast<std::uint8_t>(1 + r.Below(2));
    p.parity = static_cast<std::uint8_t>(1 + r.Below(3));
    p.stopBits = static_cast<std::uint8_t>(1 + r.Below(2));
    p.flow = static_cast<std::uint8_t>(1 + r.Below(3));
    p.interfaceCode = static_cast<std::uint8_t>(1 + r.Below(2));
    if (r.Chance(50))
        p.powerLevel = static_cast<std::uint8_t>(r.Below(5));
    if (p.interfaceCode == 2 && r.Chance(50))
        p.cdOutput = r.Chance(50);
    return p;
}

protocol::DeviceConfig Decoded(const sim::DeviceConfig& c)
{
    protocol::DeviceConfig out{};
    const auto block = sim::encodeParameterBlock(c);
    protocol::DecodeConfig(out, block.data(), block.size());
    return out;
}

}  // namespace

std::string RunCtlSequence(std::uint64_t seed, bool verbose)
{
    Rng r(seed ^ 0xC7151AB5EEDull);
    serial::ResetRegisteredPortsForTesting();
    const int function = 1 + r.Below(2);
    sim::Simulator device;
    if (function == 2)
        demo::SetUpSppDevice(device);
    const std::vector<sim::DeviceProfile> remotes = device.remotes();
    const int calm[] = {95, 80, 60};
    // The kind of device from dice of its own: the rest stays as it was for a seed.
    const sim::AnswerOrder orders[] = {sim::AnswerOrder::InOrder, sim::AnswerOrder::Busy, sim::AnswerOrder::Overtaking};
    const sim::AnswerOrder order = orders[Rng(seed ^ 0x0DE7C711ull).Below(3)];
    auto dice = std::make_shared<CtlDice>(r.Next(), calm[r.Below(3)], order);
    device.setFaultPlan([dice](const sim::ReceivedFrame& f) { return dice->Throw(f); });
    device.setAnswerOrder(order);
    device.setAnswerDelay(Millis(1));
    device.setBondResultDelay(Millis(2));
    sim::BondingScript bonding;
    bonding.stepDelay = Millis(2);
    device.setBonding(bonding);
    if (!device.start())
        return "the simulator did not start: " + device.errorText();

    ctl::Profile profile;
    profile.function = static_cast<std::uint8_t>(function);
    profile.local = RandomPort(r);
    std::optional<DeviceAddress> remote;
    if (function == 1) {
        profile.remote = RandomPort(r);
        remote = remotes[r.Chance(75) ? 0 : 1].address;  // the bonded one, or one to bond with
    } else {
        const char* names[] = {"Vantrel/S Bay 2", "Vantrel/S Loading Bay North 2", ""};
        if (r.Chance(70))
            profile.device.name = names[r.Below(3)];
        if (r.Chance(50))
            profile.device.linkTimeout = static_cast<std::uint8_t>(r.Below(41));
        if (r.Chance(50))
            profile.device.encryption = r.Chance(50);
        if (r.Chance(50))
            profile.device.authentication = r.Chance(50);
        if (profile.device.authentication.value_or(false) || r.Chance(30))
            profile.device.pin = r.Chance(50) ? "4711" : "135792468013579";
    }

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("profile.json"));
    {
        QFile f(file);
        if (!f.open(QIODevice::WriteOnly))
            return "cannot write the profile";
        f.write(ctl::ProfileJson(profile));
    }
    const sim::DeviceConfig localBefore = *device.flashConfig({});
    const std::optional<sim::DeviceConfig> remoteBefore = remote ? device.flashConfig(*remote) : std::nullopt;

    QStringList args = {QStringLiteral("vtrlctl"), QStringLiteral("apply"), QStringLiteral("--port"),
                        QString::fromStdString(device.slavePath()), file, QStringLiteral("--record"), QStringLiteral("off")};
    if (remote)
        args << QStringLiteral("--remote") << QString::fromStdString(sim::formatAddress(*remote));
    QString outText, errText;
    QTextStream out(&outText), err(&errText);
    const int code = ctl::RunCli(args, out, err, kCtlTimeouts);
    out.flush();
    err.flush();
    device.waitIdle(Millis(500));
    device.stop();

    // What the device did: the first command it refused or left unanswered
    // in time ends the apply, with its step named.
    std::vector<Thrown> thrown;
    {
        std::lock_guard lock(dice->m);
        thrown = dice->thrown;
    }
    int expected = ctl::kExitDone;
    std::string step;
    bool flashActed = false;
    for (const Thrown& t : thrown) {
        if (t.type == sim::type::UpdateFlash && t.Acted())
            flashActed = true;
        if (t.Fails()) {
            expected = t.Refused() ? ctl::kExitRefused : ctl::kExitTimedOut;
            step = std::string("(") + CommandName(t.type) + ")";
            break;
        }
    }
    const std::string message = errText.toStdString();
    const auto said = [&](const std::string& what) {
        std::string s = what + "; exit " + std::to_string(code) + ": " + message + "\n  the device "
            + DeviceModelName(order);
        if (verbose) {
            s += "\n  the device:";
            for (const Thrown& t : thrown)
                s += std::string(" ") + CommandName(t.type) + "/"
                    + (t.busy ? std::string("busy") : std::to_string(static_cast<int>(t.fault.kind)))
                    + (t.fault.lateBy.count() > 0 ? "+" + std::to_string(t.fault.lateBy.count()) : std::string());
        }
        return s;
    };
    if (verbose)
        std::fprintf(stderr, "vtrlctl seed %llu: %s\n", static_cast<unsigned long long>(seed), said("").c_str());
    if (code != expected)
        return said("expected exit " + std::to_string(expected) + (step.empty() ? "" : " at " + step));
    if (!step.empty() && message.find(step) == std::string::npos)
        return said("the message does not name the step " + step);

    const protocol::DeviceConfig localNow = Decoded(*device.flashConfig({}));
    QStringList differences =
        ctl::CompareSettings(QStringLiteral("local"), profile.local, function == 2 ? &profile.device : nullptr, localNow);
    if (remote)
        differences += ctl::CompareSettings(QStringLiteral("remote"), *profile.remote, nullptr, Decoded(*device.flashConfig(*remote)));
    const bool unchanged = *device.flashConfig({}) == localBefore && (!remote || device.flashConfig(*remote) == remoteBefore);
    if (code == ctl::kExitDone && !differences.isEmpty())
        return said("exit 0, but the flash differs: " + differences.join(QStringLiteral("; ")).toStdString());
    if (code != ctl::kExitDone && !unchanged) {
        // Only a save the device carried out and did not confirm in time may
        // have changed it, and then to the profile.
        const bool saveStep = message.find("(UpdateFlash)") != std::string::npos || message.find("verification") != std::string::npos;
        if (!flashActed || !saveStep || !differences.isEmpty())
            return said("the flash changed although the apply failed");
    }
    return {};
}

}  // namespace vtrl::model
