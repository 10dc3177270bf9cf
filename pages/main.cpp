#include "pages/console.h"
#include "pages/simulated.h"
#include "pages/wizard.h"
#include "vtrl_version.h"

#include <QApplication>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char kUsageLine[] = "Usage: vtrlcfg [--help] [--version] [--demo] [Qt options]\n";

constexpr char kHelp[] = R"(Configuration wizard for Vantrel Bluetooth RS-232 cable-replacement radios:
finds the attached device on a serial port, bonds it to its remote device and
sets and saves the settings of both.

  --help      show this text and exit
  --version   show the version and exit
  --demo      a demonstration without a device: simulated devices on COM 1
              (Cable Replacement, with remote units in reach) and COM 2
              (SPP Server) instead of the serial ports

Qt's own options, with one dash (-platform NAME, -style NAME, ...), go to Qt.
Environment:
  VTRLCFG_PORTS   colon-separated device paths to add to the COM port list
  VTRLCFG_RECORD  the record every confirmed save is appended to (off: none)
See vtrlcfg(1).
)";

int UnknownOption(const char* arg)
{
    vtrl::UseStartingConsole();
    std::fprintf(stderr, "vtrlcfg: unknown option %s\n%s", arg, kUsageLine);
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    // Answered before the application object exists: it needs a display, and
    // these must work without one (in a terminal, a package check, a script).
    bool demo = false;
    std::vector<char*> qtArgs{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            vtrl::UseStartingConsole();
            std::fputs(kUsageLine, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            vtrl::UseStartingConsole();
            std::printf("vtrlcfg %s\n", vtrl::kVersion);
            return 0;
        }
        if (std::strcmp(argv[i], "--demo") == 0) {
            demo = true;
            continue;
        }
        // Qt's options are documented with one dash, so a double-dash word
        // other than ours is a mistake whatever follows.
        if (std::strncmp(argv[i], "--", 2) == 0)
            return UnknownOption(argv[i]);
        qtArgs.push_back(argv[i]);
    }
    int qtArgc = static_cast<int>(qtArgs.size());
    qtArgs.push_back(nullptr);

    QApplication app(qtArgc, qtArgs.data());
    // Qt has taken out what it knows; whatever is left is nobody's.
    if (qtArgc > 1)
        return UnknownOption(qtArgs[1]);
    if (!demo)
        return vtrl::RunWizard();
    const auto devices = std::make_unique<vtrl::SimulatedDevices>();
    if (!devices->Error().isEmpty()) {
        vtrl::UseStartingConsole();
        std::fprintf(stderr, "vtrlcfg: the simulated devices did not start: %s\n", qPrintable(devices->Error()));
        return 1;
    }
    return vtrl::RunWizard(vtrl::SimulatedDevices::TitleNote());
}
