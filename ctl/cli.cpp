#include "ctl/cli.h"
#include "ctl/command.h"

#include "portnames.h"
#include "vtrl_version.h"

#include <QCommandLineParser>

namespace vtrl::ctl {

namespace {

bool g_catchStopSignals = false;

const QString kHelpEpilog = QStringLiteral(R"(
Commands (vtrlctl help COMMAND, or COMMAND --help, tells more):
  ports [--watch] [--json]      the COM ports, their devices, whether each is free and who
                                holds it; --watch follows ports coming and going
  info --port P [--json]        address, versions and configuration of the attached device
  discover --port P [--json]    search for remote devices (about 20 s)
  read --port P [--remote ADDR] -o FILE [--include-pin] [--json]
                                save the device's settings (and the remote's) as a profile
  apply --port P FILE|- [--remote ADDR] [--no-flash] [--dry-run] [--json] [--report LOG]
                                put a profile on the device (and its remote), save it in
                                flash and verify it by a fresh read
  report LOG [--json]           units done and failed, and why, from apply --report LOG

P is a COM number (3, COM3, -p3), a device path (/dev/ttyUSB0) or name (ttyUSB0).
ADDR is 12 hex digits. --trace FILE (or -) logs every frame sent and received.

Exit codes:
  0  done
  1  an output, trace or report file could not be written (the old file is kept)
  2  usage or profile error (also a profile that does not fit the device)
  3  port error: cannot open, write or read the port, or the device vanished
  4  the device refused a step, or its application version is older than V2.09
  5  the device did not answer a step in time, or its answers failed their checksum
  6  verification: the device does not hold what the profile says
  129, 130, 143  stopped by SIGHUP, SIGINT or SIGTERM (the device is told with Abort)
)");

struct OptionInfo {
    const char* name;
    const char* shortName;
    const char* value;
    const char* text;
};

const OptionInfo kOptions[] = {
    {"port", "p", "P", "COM number (3, COM3), device path (/dev/ttyUSB0) or device name (ttyUSB0)."},
    {"remote", nullptr, "ADDR", "Address of the remote device (12 hex digits)."},
    {"output", "o", "FILE", "Profile file to write (- for standard output); an old file is replaced only once the new one is complete."},
    {"json", nullptr, nullptr, "Machine-readable output on standard output."},
    {"include-pin", nullptr, nullptr, "Write the PIN into the profile (file readable by its owner only) and show it in the trace."},
    {"no-flash", nullptr, nullptr, "Apply without saving to flash."},
    {"dry-run", nullptr, nullptr, "Print what apply would send, and send nothing."},
    {"trace", nullptr, "FILE", "Log every frame sent and received to FILE (- for standard error)."},
    {"report", nullptr, "LOG", "Append one JSON line about this run to LOG (shared by parallel runs)."},
    {"watch", nullptr, nullptr, "Print ports as they come and go, until Ctrl-C."},
};

struct CommandInfo {
    const char* name;
    QStringList options;
    const char* usage;
    const char* about;
    CommandRunner run;
};

const CommandInfo kCommands[] = {
    {"ports", {QStringLiteral("json"), QStringLiteral("watch")}, "vtrlctl ports [--watch] [--json]",
     "Lists the COM ports, each with its device path and whether it is free, in use\n"
     "(by which program, where that can be found) or refused for lack of permission;\n"
     "USB adapters with vendor, product, USB ID, serial number and /dev/serial/by-id\n"
     "path. Nothing is opened but the paths of VTRLCFG_PORTS (added from COM97 on).\n"
     "--watch prints the free ports there are, then one line for each that comes or\n"
     "goes, until SIGINT or SIGTERM (exit 0); with --json one JSON object a line.", &RunPorts},
    {"info", {QStringLiteral("port"), QStringLiteral("json"), QStringLiteral("trace")}, "vtrlctl info --port P [--json] [--trace FILE]",
     "Shows the attached device's address, application and Bluetooth versions and\n"
     "configuration, as the wizard's COM port page does. \"Power Class\" is the\n"
     "device's hardware class: class 2 has power levels 0 to 7, the others 0 to 4.", &RunInfo},
    {"discover", {QStringLiteral("port"), QStringLiteral("json"), QStringLiteral("trace")},
     "vtrlctl discover --port P [--json] [--trace FILE]",
     "Searches for remote devices (about 20 s, progress on standard error) and lists\n"
     "the address and name of each one found.", &RunDiscover},
    {"read",
     {QStringLiteral("port"), QStringLiteral("remote"), QStringLiteral("output"), QStringLiteral("include-pin"), QStringLiteral("json"),
      QStringLiteral("trace")},
     "vtrlctl read --port P [--remote ADDR] -o FILE|- [--include-pin] [--json] [--trace FILE]",
     "Saves the attached device's settings as a profile; with --remote also the remote\n"
     "device's, bonding with it first when the pair is not bonded. FILE is replaced only\n"
     "when the new profile is written whole; on any failure the old one stays.", &RunRead},
    {"apply",
     {QStringLiteral("port"), QStringLiteral("remote"), QStringLiteral("no-flash"), QStringLiteral("dry-run"), QStringLiteral("include-pin"),
      QStringLiteral("json"), QStringLiteral("trace"), QStringLiteral("report")},
     "vtrlctl apply --port P FILE|- [--remote ADDR] [--no-flash] [--dry-run] [--json] [--report LOG] [--trace FILE]",
     "Puts a profile (FILE, or - for standard input) on the attached device and, with\n"
     "--remote, on the remote device of a Cable Replacement pair; saves it in flash and\n"
     "verifies it by a fresh read. A failure or a stop (Ctrl-C) before the save sends\n"
     "Abort and says which settings the device took. --report LOG appends a record of\n"
     "the run to LOG; vtrlctl report LOG summarises it.", &RunApply},
    {"report", {QStringLiteral("json")}, "vtrlctl report LOG [--json]",
     "Summarises a file written by apply --report: runs, units done and failed, the\n"
     "latest failure of each failed unit, and the causes of failure counted over all runs.", &RunReport},
};

const CommandInfo* FindCommand(const QString& name)
{
    for (const CommandInfo& c : kCommands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

QString CommandHelp(const CommandInfo& c)
{
    QString text = QStringLiteral("Usage: %1\n\n%2\n\nOptions:\n").arg(QLatin1String(c.usage), QLatin1String(c.about));
    for (const OptionInfo& o : kOptions) {
        if (!c.options.contains(QLatin1String(o.name)))
            continue;
        QString names = o.shortName ? QStringLiteral("-%1, --%2").arg(QLatin1String(o.shortName), QLatin1String(o.name))
                                    : QStringLiteral("    --%1").arg(QLatin1String(o.name));
        if (o.value)
            names += QLatin1Char(' ') + QLatin1String(o.value);
        text += QStringLiteral("  %1  %2\n").arg(names, -22).arg(QLatin1String(o.text));
    }
    text += QStringLiteral("  %1  Show this help.\n\nExit codes: see vtrlctl --help.\n").arg(QStringLiteral("-h, --help"), -22);
    return text;
}

// "-p97" and "-o-" as "-p 97" and "-o -"; the parser reads single-dash words as long options.
QStringList ExpandShortOptions(const QStringList& args)
{
    QStringList out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (i > 0 && a.size() > 2 && a.at(0) == QLatin1Char('-') && (a.at(1) == QLatin1Char('p') || a.at(1) == QLatin1Char('o'))
            && !a.mid(1).startsWith(QLatin1String("port")) && !a.mid(1).startsWith(QLatin1String("output"))) {
            out << a.left(2) << a.mid(a.at(2) == QLatin1Char('=') ? 3 : 2);
            continue;
        }
        out << a;
    }
    return out;
}


}  // namespace

void CatchStopSignals() { g_catchStopSignals = true; }

bool StopSignalsWanted() { return g_catchStopSignals; }

Timeouts TimeoutsFromEnvironment()
{
    bool ok = false;
    const double scale = qEnvironmentVariable("VTRLCTL_TIME_SCALE").toDouble(&ok);
    if (ok && scale > 0 && scale <= 1)
        return Timeouts{}.Scaled(scale);
    return Timeouts{};
}

namespace {

int RunParsed(const QStringList& args, QTextStream& out, QTextStream& err, const Timeouts& timeouts)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reads, saves and applies the settings of Vantrel radio devices."));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version."));
    parser.addOption(help);
    parser.addOption(version);
    for (const OptionInfo& o : kOptions) {
        QStringList names{QLatin1String(o.name)};
        if (o.shortName)
            names.prepend(QLatin1String(o.shortName));
        parser.addOption(o.value ? QCommandLineOption(names, QLatin1String(o.text), QLatin1String(o.value))
                                 : QCommandLineOption(names, QLatin1String(o.text)));
    }
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("ports, info, discover, read, apply or report."));

    const auto usage = [&](const QString& text) {
        err << "vtrlctl: " << text << "\nTry vtrlctl --help.\n";
        err.flush();
        return kExitUsage;
    };
    if (!parser.parse(ExpandShortOptions(args)))
        return usage(parser.errorText());
    if (parser.isSet(version)) {
        out << "vtrlctl " << kVersion << '\n';
        return kExitDone;
    }
    QStringList positional = parser.positionalArguments();
    bool wantHelp = parser.isSet(help);
    if (!positional.isEmpty() && positional.front() == QLatin1String("help")) {
        positional.removeFirst();
        wantHelp = true;
    }
    const CommandInfo* command = positional.isEmpty() ? nullptr : FindCommand(positional.front());
    if (!positional.isEmpty() && !command)
        return usage(QStringLiteral("unknown command \"%1\"; use ports, info, discover, read, apply or report").arg(positional.front()));
    if (wantHelp) {
        out << (command ? CommandHelp(*command) : parser.helpText() + kHelpEpilog);
        return kExitDone;
    }
    if (!command)
        return usage(QStringLiteral("no command given"));
    const QString name = positional.front();
    for (const QString& option : parser.optionNames()) {
        const QString longName = option == QLatin1String("p") ? QStringLiteral("port")
            : option == QLatin1String("o")                     ? QStringLiteral("output")
                                                               : option;
        if (!command->options.contains(longName))
            return usage(QStringLiteral("--%1 does not apply to %2").arg(longName, name));
    }
    const bool takesFile = name == QLatin1String("apply") || name == QLatin1String("report");
    if (!takesFile && positional.size() > 1)
        return usage(QStringLiteral("%1 takes no file argument (\"%2\")").arg(name, positional.at(1)));
    if (name == QLatin1String("report") && positional.size() != 2)
        return usage(QStringLiteral("report needs exactly one file, the one apply --report wrote"));
    serial::RegisterPortsFromEnvironment();
    return command->run(parser, out, err, timeouts);
}

}  // namespace

int RunCli(const QStringList& args, QTextStream& out, QTextStream& err, const Timeouts& timeouts)
{
    int code = RunParsed(args, out, err, timeouts);
    // Output that never arrived is a failure, whatever the command did.
    out.flush();
    if (out.status() != QTextStream::Ok) {
        err << "vtrlctl: cannot write the output: " << StreamError(out) << '\n';
        err.flush();
        if (code == kExitDone)
            code = kExitFailure;
    }
    return code;
}

}  // namespace vtrl::ctl