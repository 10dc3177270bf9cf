#include "pages/wizard.h"
#include "vtrl_version.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

namespace {

constexpr char kUsageLine[] = "Usage: vtrlcfg [--help] [--version] [Qt options]\n";

constexpr char kHelp[] = R"(Configuration wizard for Vantrel Bluetooth RS-232 cable-replacement radios:
finds the attached device on a serial port, bonds it to its remote device and
sets and saves the settings of both.

  --help      show this text and exit
  --version   show the version and exit

Qt's own options, with one dash (-platform NAME, -style NAME, ...), go to Qt.
Environment:
  VTRLCFG_PORTS   colon-separated device paths to add to the COM port list
  VTRLCFG_RECORD  the record every confirmed save is appended to (off: none)
See vtrlcfg(1).
)";

int UnknownOption(const char* arg)
{
    std::fprintf(stderr, "vtrlcfg: unknown option %s\n%s", arg, kUsageLine);
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    // Answered before the application object exists: it needs a display, and
    // these must work without one (in a terminal, a package check, a script).
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsageLine, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("vtrlcfg %s\n", vtrl::kVersion);
            return 0;
        }
        // Qt's options are documented with one dash, so a double-dash word
        // other than ours is a mistake whatever follows.
        if (std::strncmp(argv[i], "--", 2) == 0)
            return UnknownOption(argv[i]);
    }

    QApplication app(argc, argv);
    // Qt has taken out what it knows; whatever is left is nobody's.
    if (argc > 1)
        return UnknownOption(argv[1]);
    return vtrl::RunWizard();
}
