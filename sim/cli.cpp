#include "cli.h"

#include <algorithm>
#include <charconv>
#include <utility>

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

// TYPE:N with N in 0..hi.
std::optional<std::pair<std::uint8_t, long>> typeAndNumber(const std::string& text, long hi)
{
    const auto parts = split(text, ':', 2);
    const auto t = parts.size() == 2 ? number(parts[0], 0, 255) : std::nullopt;
    const auto n = parts.size() == 2 ? number(parts[1], 0, hi) : std::nullopt;
    if (!t || !n)
        return std::nullopt;
    return std::make_pair(static_cast<std::uint8_t>(*t), *n);
}

// What the options work on. Several options fill in one script, which goes
// to the simulator once they all are read.
struct Context {
    Simulator& sim;
    CliOptions& options;
    std::optional<BondingScript> bonding{};
    std::optional<InquiryScript> inquiry{};
    std::optional<PingScript> ping{};
    bool remotesReplaced = false;
    const DeviceAddress local{};

    BondingScript& bond() { return bonding ? *bonding : bonding.emplace(); }
    InquiryScript& inquire() { return inquiry ? *inquiry : inquiry.emplace(); }
    PingScript& pinging() { return ping ? *ping : ping.emplace(); }
};
using C = Context;
using V = const std::string&;

template <class T>
struct ValueOf {
    using type = T;
};
template <class T>
struct ValueOf<std::optional<T>> {
    using type = T;
};

// A count in 0..hi into a script's `field`; false when it is none.
template <long hi, class Field>
bool into(V value, Field& field)
{
    const auto n = number(value, 0, hi);
    if (n)
        field = static_cast<typename ValueOf<Field>::type>(*n);
    return n.has_value();
}

// A count in 0..hi handed to `set`; false when it is none.
template <long hi, class Set>
bool count(V value, Set set)
{
    const auto n = number(value, 0, hi);
    if (n)
        set(*n);
    return n.has_value();
}

// One option: the heading of its group in --help (where one starts), its
// spelling, its value's name (none for a switch), its line in --help (none:
// not listed; a newline continues it below), and what it does, false when
// the value is invalid.
struct Option {
    const char* heading;
    const char* name;
    const char* value;
    const char* help;
    bool (*apply)(C&, V);
};

const Option kOptions[] = {
    {nullptr, "--link", "PATH", "also make PATH a symlink to the terminal (removed on exit)",
     [](C& c, V v) { c.options.link = v; return true; }},
    {nullptr, "--flash-out", "PATH", "also save the flash image in PATH on exit",
     [](C& c, V v) { c.options.flashOut = v; return true; }},
    {nullptr, "--help", nullptr, "this text", [](C& c, V) { return c.options.help = true; }},
    {nullptr, "-h", nullptr, nullptr, [](C& c, V) { return c.options.help = true; }},
    {nullptr, "--version", nullptr, "the version of vtrlsim", [](C& c, V) { return c.options.version = true; }},

    {"Attached device:", "--address", "HEX12", "address, most significant byte first (default 001BDC0A1234)",
     [](C& c, V v) {
         const auto a = parseAddress(v);
         if (a)
             c.sim.setLocalAddress(*a);
         return a.has_value();
     }},
    {nullptr, "--name", "TEXT", "device name (29 characters at most)",
     [](C& c, V v) { return applyConfig(c.sim, c.local, "9=" + v); }},
    {nullptr, "--app-version", "TEXT", "application version text (default \"Vantrel App V3.05\")",
     [](C& c, V v) { c.sim.setAppVersion(c.local, v); return true; }},
    {nullptr, "--bt-version", "TEXT", "Bluetooth version text",
     [](C& c, V v) { c.sim.setBtVersion(c.local, v); return true; }},
    {nullptr, "--function", "cable|spp", "Cable Replacement or SPP Server",
     [](C& c, V v) { return (v == "cable" || v == "spp") && applyConfig(c.sim, c.local, v == "cable" ? "2=1" : "2=2"); }},
    {nullptr, "--baud", "CODE|RATE", "baud code 1..10 or a rate such as 9600",
     [](C& c, V v) {
         const auto code = baudCode(v);
         return code && applyConfig(c.sim, c.local, "3=" + std::to_string(*code));
     }},
    {nullptr, "--config", "TAG=VALUE", "any stored field by its tag 1..18 (12: HEX12; 9, 13, 17: text)",
     [](C& c, V v) { return applyConfig(c.sim, c.local, v); }},

    {"Remote devices:", "--remote", "HEX12,NAME[,APPVERSION]", "add a remote (the first one replaces the defaults)",
     [](C& c, V v) {
         const auto parts = split(v, ',', 3);
         const auto a = parseAddress(parts[0]);
         if (!a || parts.size() < 2 || *a == DeviceAddress{})
             return false;
         if (!std::exchange(c.remotesReplaced, true))
             c.sim.clearRemotes();
         DeviceProfile p;
         p.address = *a;
         p.config.interfaceCode = 1;
         p.config.bondRole = 2;
         p.config.setName(parts[1]);
         if (parts.size() == 3)
             p.appVersion = parts[2];
         c.sim.addRemote(p);
         return true;
     }},
    {nullptr, "--no-remotes", nullptr, "no remote device answers",
     [](C& c, V) {
         c.sim.clearRemotes();
         return c.remotesReplaced = true;
     }},
    {nullptr, "--remote-config", "HEX12:TAG=VALUE", "stored field of a remote",
     [](C& c, V v) {
         const auto parts = split(v, ':', 2);
         const auto a = parseAddress(parts[0]);
         return parts.size() == 2 && a && *a != DeviceAddress{} && applyConfig(c.sim, *a, parts[1]);
     }},
    {nullptr, "--inquiry-delay-ms", "N", "spacing of inquiry results (default 100)",
     [](C& c, V v) { return count<600'000>(v, [&](long n) { c.sim.setInquiryDelay(Millis{n}); }); }},
    {nullptr, "--bond-fail", "N", "the next N bondings fail",
     [](C& c, V v) { return into<1'000'000>(v, c.bond().failBonds); }},
    {nullptr, "--connect-fail", "N", "N \"not connected\" reports before the link comes up",
     [](C& c, V v) { return into<1'000'000>(v, c.bond().connectionDownReports); }},

    {"Discovery and pairing (the wizard lists only names containing \"Vantrel/C\" or \"Unknown\"):",
     "--inquiry-name", "HEX12:NAME", "name a remote reports in an inquiry",
     [](C& c, V v) {
         const auto target = remoteAndValue(v, c.sim);
         if (target)
             c.sim.setInquiryName(target->first, target->second);
         return target.has_value();
     }},
    {nullptr, "--inquiry-duplicates", "N", "report every device N extra times",
     [](C& c, V v) { return into<100>(v, c.inquire().duplicates); }},
    {nullptr, "--inquiry-complete-ms", "N", "end the inquiry N ms after it starts (late: over 20000)",
     [](C& c, V v) { return into<600'000>(v, c.inquire().completeAfter); }},
    {nullptr, "--no-inquiry-complete", nullptr, "never end the inquiry",
     [](C& c, V) { return c.inquire().completeMissing = true; }},
    {nullptr, "--no-ping-confirm", nullptr, "no Confirmation for a ping",
     [](C& c, V) {
         c.pinging().confirm = false;
         return true;
     }},
    {nullptr, "--ping-connection", "STATUS", "a ConnectionStatus (2 = connected, links) after each ping",
     [](C& c, V v) { return into<255>(v, c.pinging().connectionStatus); }},
    {nullptr, "--bond-delay-ms", "N", "wait N ms before the BondResult",
     [](C& c, V v) { return count<600'000>(v, [&](long n) { c.sim.setBondResultDelay(Millis{n}); }); }},
    {nullptr, "--no-connect", nullptr, "the link never comes up after a bonding",
     [](C& c, V) {
         c.bond().linkComesUp = false;
         return true;
     }},
    {nullptr, "--remote-version", "HEX12:TEXT", "application version text of a remote",
     [](C& c, V v) {
         const auto target = remoteAndValue(v, c.sim);
         if (target)
             c.sim.setAppVersion(target->first, target->second);
         return target.has_value();
     }},
    {nullptr, "--remote-silent", "HEX12", "a remote that never answers what is addressed to it",
     [](C& c, V v) {
         const auto a = parseAddress(v);
         return a && c.sim.setUnresponsive(*a, true);
     }},

    {"Faults:", "--delay-ms", "N", "delay before every answer",
     [](C& c, V v) { return count<600'000>(v, [&](long n) { c.sim.setAnswerDelay(Millis{n}); }); }},
    {nullptr, "--silent", nullptr, "answer nothing", [](C& c, V) { c.sim.setSilent(true); return true; }},
    {nullptr, "--silent-for", "TYPE", "answer nothing to this command type",
     [](C& c, V v) { return count<255>(v, [&](long n) { c.sim.setSilentFor(static_cast<std::uint8_t>(n), true); }); }},
    {nullptr, "--refuse", "TYPE:REASON[:once]", "NegativeResponse with REASON (0..4) to command TYPE",
     [](C& c, V v) {
         const auto parts = split(v, ':', 3);
         const auto t = parts.size() >= 2 ? number(parts[0], 0, 255) : std::nullopt;
         const auto r = parts.size() >= 2 ? number(parts[1], 0, 255) : std::nullopt;
         if (!t || !r || (parts.size() == 3 && parts[2] != "once"))
             return false;
         c.sim.refuse(static_cast<std::uint8_t>(*t), static_cast<std::uint8_t>(*r), parts.size() == 3);
         return true;
     }},
    {nullptr, "--bad-crc", "N", "the next N answers carry a wrong CRC",
     [](C& c, V v) { return count<1'000'000>(v, [&](long n) { c.sim.setBadCrc(static_cast<int>(n)); }); }},
    {nullptr, "--truncate", "N", "the next N answers lose their CRC bytes",
     [](C& c, V v) { return count<1'000'000>(v, [&](long n) { c.sim.setTruncate(static_cast<int>(n)); }); }},
    {nullptr, "--wrong-seq", "N", "the next N configuration reports carry a wrong sequence number",
     [](C& c, V v) { return count<1'000'000>(v, [&](long n) { c.sim.setWrongConfigSeq(static_cast<int>(n)); }); }},
    {nullptr, "--noise", nullptr, "write noise bytes before every answer",
     [](C& c, V) {
         c.sim.setNoise({0x00, 0xFF, 0x13, 0xA5, 0x0D, 0x0A});
         return true;
     }},
    {nullptr, "--no-checksum-reply", nullptr, "ignore frames with a bad CRC instead of refusing them",
     [](C& c, V) {
         c.sim.setAnswerChecksumFailures(false);
         return true;
     }},
    {nullptr, "--late", "TYPE:MS", "answer command TYPE MS milliseconds later than the others",
     [](C& c, V v) {
         const auto late = typeAndNumber(v, 600'000);
         if (late)
             c.sim.setAnswerDelayFor(late->first, Millis{late->second});
         return late.has_value();
     }},
    {nullptr, "--in-order", nullptr,
     "answer in the order the commands came, so a late answer\n"
     "holds back all answers after it (default: they overtake it)",
     [](C& c, V) {
         c.sim.setAnswerOrder(AnswerOrder::InOrder);
         return true;
     }},
    {nullptr, "--busy", nullptr,
     "while a late answer is still due, refuse every new command\n"
     "at once as busy (reason 2) and do not carry it out",
     [](C& c, V) {
         c.sim.setAnswerOrder(AnswerOrder::Busy);
         return true;
     }},
    {nullptr, "--confirm-as", "TYPE:OTHER", "confirm command TYPE as if it were command OTHER",
     [](C& c, V v) {
         const auto renamed = typeAndNumber(v, 255);
         if (renamed)
             c.sim.confirmAs(renamed->first, static_cast<std::uint8_t>(renamed->second));
         return renamed.has_value();
     }},
};

}  // namespace

std::string usageText()
{
    std::string text = "Usage: vtrlsim [options]\n"
                       "Plays a radio device on a pseudo-terminal; prints the terminal's path on the\n"
                       "first line and runs until interrupted, then prints what every device keeps in\n"
                       "flash.\n\n";
    constexpr std::size_t kColumn = 25;  // where the help starts, past the indent
    for (const Option& o : kOptions) {
        if (!o.help)
            continue;
        if (o.heading)
            text += std::string(o.heading) + "\n";
        std::string left = o.name;
        if (o.value)
            left += std::string(" ") + o.value;
        text += "  " + left + std::string(left.size() + 2 > kColumn ? 2 : kColumn - left.size(), ' ');
        for (const char* h = o.help; *h; ++h)
            text += *h == '\n' ? "\n  " + std::string(kColumn, ' ') : std::string(1, *h);
        text += "\n";
    }
    return text + "Command types: 3 address, 4 inquiry, 7 bonding, 10 port settings, 11 device settings,\n"
                  "12 ping, 13 abort, 14 save to flash, 16 configuration, 32 version.\n";
}

std::vector<std::string> optionNames()
{
    std::vector<std::string> names;
    for (const Option& o : kOptions)
        names.push_back(o.name);
    return names;
}

std::string applyArguments(const std::vector<std::string>& args, Simulator& sim, CliOptions& options)
{
    Context context{sim, options};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        const auto found = std::find_if(std::begin(kOptions), std::end(kOptions),
                                        [&](const Option& o) { return opt == o.name; });
        if (found == std::end(kOptions))
            return "unknown option " + opt;
        std::string value;
        if (found->value) {
            if (i + 1 >= args.size())
                return opt + " needs a value";
            value = args[++i];
        }
        if (!found->apply(context, value))
            return opt + ": invalid value \"" + value + "\"";
    }
    if (context.bonding)
        sim.setBonding(*context.bonding);
    if (context.inquiry)
        sim.setInquiry(*context.inquiry);
    if (context.ping)
        sim.setPing(*context.ping);
    return {};
}

}  // namespace vtrl::sim
