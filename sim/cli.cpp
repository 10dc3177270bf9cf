#include "cli.h"

#include <charconv>
#include <functional>
#include <stdexcept>

namespace vtrl::sim {

namespace {

std::optional<long> number(const std::string& text, long lo, long hi)
{
    long v = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size() || v < lo || v > hi)
        return std::nullopt;
    return v;
}

std::vector<std::string> split(const std::string& text, char sep, std::size_t maxParts)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() + 1 < maxParts) {
        auto pos = text.find(sep, start);
        if (pos == std::string::npos)
            break;
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// A baud code 1..10, or a rate that has a code.
std::optional<std::uint8_t> baudCode(const std::string& text)
{
    static constexpr long rates[] = {300, 1200, 2400, 4800, 7200, 9600, 19200, 38400, 57600, 115200};
    auto v = number(text, 1, 115200);
    if (!v)
        return std::nullopt;
    if (*v <= 10)
        return static_cast<std::uint8_t>(*v);
    for (std::size_t i = 0; i < std::size(rates); ++i)
        if (rates[i] == *v)
            return static_cast<std::uint8_t>(i + 1);
    return std::nullopt;
}

bool applyConfig(Simulator& sim, const DeviceAddress& device, const std::string& assignment)
{
    auto parts = split(assignment, '=', 2);
    if (parts.size() != 2)
        return false;
    auto tag = number(parts[0], 1, 18);
    auto config = sim.workingConfig(device);
    if (!tag || !config || !setConfigField(*config, static_cast<int>(*tag), parts[1]))
        return false;
    return sim.setStoredConfig(device, *config);
}

}  // namespace

std::string usageText()
{
    return R"(Usage: vtrlsim [options]
Plays a radio device on a pseudo-terminal; prints the terminal's path on the
first line and runs until interrupted, then prints what every device keeps in
flash.

  --link PATH              also make PATH a symlink to the terminal (removed on exit)
  --flash-out PATH         also save the flash image in PATH on exit
Attached device:
  --address HEX12          address, most significant byte first (default 001BDC0A1234)
  --name TEXT              device name (29 characters at most)
  --app-version TEXT       application version text (default "Vantrel App V3.05")
  --bt-version TEXT        Bluetooth version text
  --function cable|spp     Cable Replacement or SPP Server
  --baud CODE|RATE         baud code 1..10 or a rate such as 9600
  --config TAG=VALUE       any stored field by its tag 1..18 (12: HEX12; 9, 13, 17: text)
Remote devices:
  --remote HEX12,NAME[,APPVERSION]   add a remote (the first one replaces the defaults)
  --no-remotes             no remote device answers
  --remote-config HEX12:TAG=VALUE    stored field of a remote
  --inquiry-delay-ms N     spacing of inquiry results (default 100)
  --bond-fail N            the next N bondings fail
  --connect-fail N         N "not connected" reports before the link comes up
Discovery and pairing (the wizard lists only names containing "Vantrel/C" or "Unknown"):
  --inquiry-name HEX12:NAME          name a remote reports in an inquiry
  --inquiry-duplicates N   report every device N extra times
  --inquiry-complete-ms N  end the inquiry N ms after it starts (late: over 20000)
  --no-inquiry-complete    never end the inquiry
  --no-ping-confirm        no Confirmation for a ping
  --ping-connection STATUS a ConnectionStatus (2 = connected, links) after each ping
  --bond-delay-ms N        wait N ms before the BondResult
  --no-connect             the link never comes up after a bonding
  --remote-version HEX12:TEXT        application version text of a remote
  --remote-silent HEX12    a remote that never answers what is addressed to it
Faults:
  --delay-ms N             delay before every answer
  --silent                 answer nothing
  --silent-for TYPE        answer nothing to this command type
  --refuse TYPE:REASON[:once]  NegativeResponse with REASON (0..4) to command TYPE
  --bad-crc N              the next N answers carry a wrong CRC
  --truncate N             the next N answers lose their CRC bytes
  --wrong-seq N            the next N configuration reports carry a wrong sequence number
  --noise                  write noise bytes before every answer
  --no-checksum-reply      ignore frames with a bad CRC instead of refusing them
  --late TYPE:MS           answer command TYPE MS milliseconds later than the others
  --in-order               answer in the order the commands came, so a late answer
                           holds back all answers after it (default: they overtake it)
  --busy                   while a late answer is still due, refuse every new command
                           at once as busy (reason 2) and do not carry it out
  --confirm-as TYPE:OTHER  confirm command TYPE as if it were command OTHER
  --help                   this text
  --version                the version of vtrlsim
Command types: 3 address, 4 inquiry, 7 bonding, 10 port settings, 11 device settings,
12 ping, 13 abort, 14 save to flash, 16 configuration, 32 version.
)";
}

namespace {

// HEX12:VALUE naming a known remote, or nullopt.
std::optional<std::pair<DeviceAddress, std::string>> remoteAndValue(const std::string& text, const Simulator& sim)
{
    auto parts = split(text, ':', 2);
    auto a = parseAddress(parts[0]);
    if (parts.size() != 2 || !a || *a == DeviceAddress{})
        return std::nullopt;
    for (const auto& r : sim.remotes())
        if (r.address == *a)
            return std::make_pair(*a, parts[1]);
    return std::nullopt;
}

// The options of the discovery page's switches; false when `opt` is none of them.
bool applyDiscoveryOption(const std::string& opt, const std::function<bool(const char*)>& takes,
                          const std::string& value, Simulator& sim, InquiryScript& inquiry, PingScript& ping,
                          BondingScript& bonding, bool& bad)
{
    auto count = [&](long hi) {
        auto n = number(value, 0, hi);
        bad = !n;
        return n.value_or(0);
    };
    if (takes("--inquiry-name") || takes("--remote-version")) {
        auto target = remoteAndValue(value, sim);
        bad = !target;
        if (target && opt == "--inquiry-name")
            sim.setInquiryName(target->first, target->second);
        else if (target)
            sim.setAppVersion(target->first, target->second);
    } else if (takes("--inquiry-duplicates")) {
        inquiry.duplicates = static_cast<int>(count(100));
        sim.setInquiry(inquiry);
    } else if (takes("--inquiry-complete-ms")) {
        inquiry.completeAfter = Millis{count(600'000)};
        sim.setInquiry(inquiry);
    } else if (opt == "--no-inquiry-complete") {
        inquiry.completeMissing = true;
        sim.setInquiry(inquiry);
    } else if (opt == "--no-ping-confirm") {
        ping.confirm = false;
        sim.setPing(ping);
    } else if (takes("--ping-connection")) {
        ping.connectionStatus = static_cast<std::uint8_t>(count(255));
        sim.setPing(ping);
    } else if (takes("--bond-delay-ms")) {
        sim.setBondResultDelay(Millis{count(600'000)});
    } else if (opt == "--no-connect") {
        bonding.linkComesUp = false;
        sim.setBonding(bonding);
    } else if (takes("--remote-silent")) {
        auto a = parseAddress(value);
        bad = !a || !sim.setUnresponsive(*a, true);
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::string applyArguments(const std::vector<std::string>& args, Simulator& sim, CliOptions& options)
{
    bool remotesReplaced = false;
    BondingScript bonding;
    InquiryScript inquiry;
    PingScript ping;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        auto flag = [&](const char* name) { return opt == name; };
        std::string value;
        auto takes = [&](const char* name) {
            if (opt != name)
                return false;
            if (i + 1 >= args.size())
                throw std::runtime_error(opt + " needs a value");
            value = args[++i];
            return true;
        };
        auto bad = [&] { return opt + ": invalid value \"" + value + "\""; };
        const DeviceAddress local{};
        try {
            if (flag("--help") || flag("-h")) {
                options.help = true;
            } else if (flag("--version")) {
                options.version = true;
            } else if (takes("--link")) {
                options.link = value;
            } else if (takes("--flash-out")) {
                options.flashOut = value;
            } else if (takes("--address")) {
                auto a = parseAddress(value);
                if (!a)
                    return bad();
                sim.setLocalAddress(*a);
            } else if (takes("--name")) {
                if (!applyConfig(sim, local, "9=" + value))
                    return bad();
            } else if (takes("--app-version")) {
                sim.setAppVersion(local, value);
            } else if (takes("--bt-version")) {
                sim.setBtVersion(local, value);
            } else if (takes("--function")) {
                if (value != "cable" && value != "spp")
                    return bad();
                applyConfig(sim, local, value == "cable" ? "2=1" : "2=2");
            } else if (takes("--baud")) {
                auto code = baudCode(value);
                if (!code || !applyConfig(sim, local, "3=" + std::to_string(*code)))
                    return bad();
            } else if (takes("--config")) {
                if (!applyConfig(sim, local, value))
                    return bad();
            } else if (takes("--remote")) {
                auto parts = split(value, ',', 3);
                auto a = parseAddress(parts[0]);
                if (!a || parts.size() < 2 || *a == DeviceAddress{})
                    return bad();
                if (!remotesReplaced)
                    sim.clearRemotes();
                remotesReplaced = true;
                DeviceProfile p;
                p.address = *a;
                p.config.interfaceCode = 1;
                p.config.bondRole = 2;
                p.config.setName(parts[1]);
                if (parts.size() == 3)
                    p.appVersion = parts[2];
                sim.addRemote(p);
            } else if (flag("--no-remotes")) {
                sim.clearRemotes();
                remotesReplaced = true;
            } else if (takes("--remote-config")) {
                auto parts = split(value, ':', 2);
                auto a = parseAddress(parts[0]);
                if (parts.size() != 2 || !a || *a == DeviceAddress{} || !applyConfig(sim, *a, parts[1]))
                    return bad();
            } else if (takes("--inquiry-delay-ms")) {
                auto n = number(value, 0, 600'000);
                if (!n)
                    return bad();
                sim.setInquiryDelay(Millis{*n});
            } else if (takes("--bond-fail") || takes("--connect-fail")) {
                auto n = number(value, 0, 1'000'000);
                if (!n)
                    return bad();
                (opt == "--bond-fail" ? bonding.failBonds : bonding.connectionDownReports) = static_cast<int>(*n);
                sim.setBonding(bonding);
            } else if (takes("--delay-ms")) {
                auto n = number(value, 0, 600'000);
                if (!n)
                    return bad();
                sim.setAnswerDelay(Millis{*n});
            } else if (flag("--silent")) {
                sim.setSilent(true);
            } else if (takes("--silent-for")) {
                auto n = number(value, 0, 255);
                if (!n)
                    return bad();
                sim.setSilentFor(static_cast<std::uint8_t>(*n), true);
            } else if (takes("--refuse")) {
                auto parts = split(value, ':', 3);
                auto t = parts.size() >= 2 ? number(parts[0], 0, 255) : std::nullopt;
                auto r = parts.size() >= 2 ? number(parts[1], 0, 255) : std::nullopt;
                if (!t || !r || (parts.size() == 3 && parts[2] != "once"))
                    return bad();
                sim.refuse(static_cast<std::uint8_t>(*t), static_cast<std::uint8_t>(*r), parts.size() == 3);
            } else if (takes("--bad-crc") || takes("--truncate") || takes("--wrong-seq")) {
                auto n = number(value, 0, 1'000'000);
                if (!n)
                    return bad();
                const int count = static_cast<int>(*n);
                if (opt == "--bad-crc")
                    sim.setBadCrc(count);
                else if (opt == "--truncate")
                    sim.setTruncate(count);
                else
                    sim.setWrongConfigSeq(count);
            } else if (flag("--noise")) {
                sim.setNoise({0x00, 0xFF, 0x13, 0xA5, 0x0D, 0x0A});
            } else if (takes("--late") || takes("--confirm-as")) {
                auto parts = split(value, ':', 2);
                auto t = parts.size() == 2 ? number(parts[0], 0, 255) : std::nullopt;
                auto v = parts.size() == 2 ? number(parts[1], 0, opt == "--late" ? 600'000 : 255) : std::nullopt;
                if (!t || !v)
                    return bad();
                if (opt == "--late")
                    sim.setAnswerDelayFor(static_cast<std::uint8_t>(*t), Millis{*v});
                else
                    sim.confirmAs(static_cast<std::uint8_t>(*t), static_cast<std::uint8_t>(*v));
            } else if (flag("--in-order")) {
                sim.setAnswerOrder(AnswerOrder::InOrder);
            } else if (flag("--busy")) {
                sim.setAnswerOrder(AnswerOrder::Busy);
            } else if (flag("--no-checksum-reply")) {
                sim.setAnswerChecksumFailures(false);
            } else if (bool invalid = false;
                       applyDiscoveryOption(opt, takes, value, sim, inquiry, ping, bonding, invalid)) {
                if (invalid)
                    return bad();
            } else {
                return "unknown option " + opt;
            }
        } catch (const std::runtime_error& error) {
            return error.what();
        }
    }
    return {};
}

}  // namespace vtrl::sim
