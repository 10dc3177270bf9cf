// vtrlwalk: the wizard walked through both page sequences against simulated
// devices without a person, for a machine without a display:
//     vtrlwalk [PICTURE_FOLDER]
// Prints every step, saves a picture of every page in PICTURE_FOLDER
// (default "walkthrough" in the working directory), then prints what each
// simulated device keeps in flash. Exit status 0 when both walks reached the
// Finish page and the devices keep what was chosen.
#include "walk.h"

#include "scenario.h"
#include "serial/portnames.h"
#include "shell/uifont.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char* argv[])
{
    // Without a display the offscreen platform still renders every page.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("VtrlCfg"));
    QApplication::setFont(vtrl::WizardFont());
    // The simulated devices are not the operator's: what the wizard keeps
    // between runs stays with this run.
    const QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    const QString folder = QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("walkthrough")).absolutePath();
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "vtrlwalk: cannot create %s\n", qPrintable(folder));
        return 2;
    }
    std::printf("Pictures of every page go to %s\n", qPrintable(folder));

    namespace demo = vtrl::demo;
    vtrl::sim::Simulator cable;
    vtrl::sim::Simulator spp;
    demo::SetUpSppDevice(spp);
    for (vtrl::sim::Simulator* device : {&cable, &spp}) {
        if (!device->start()) {
            std::fprintf(stderr, "vtrlwalk: the device simulator did not start: %s\n", device->errorText().c_str());
            return 2;
        }
    }
    const int cablePort = static_cast<int>(vtrl::serial::RegisterPortPath(cable.slavePath()));
    const int sppPort = static_cast<int>(vtrl::serial::RegisterPortPath(spp.slavePath()));

    demo::WalkThrough walk(stdout, folder);
    bool ok = true;
    const auto run = [&](const char* title, vtrl::sim::Simulator& device, int port, auto&& walkIt, auto&& check) {
        std::printf("\n%s, simulated device on %s (COM %d):\n", title, device.slavePath().c_str(), port);
        std::fflush(stdout);
        const bool walked = walkIt();
        std::printf("  %s in %lld ms from the first page to the Finish page.\n", walked ? "Walked" : "Stopped",
                    static_cast<long long>(walk.Elapsed().count()));
        std::printf("  Time on each page: %s.\n", qPrintable(walk.PageTimes().join(QStringLiteral(", "))));
        std::printf("\n%s", device.flashImage().c_str());
        const QString mismatch = walked ? check() : QStringLiteral("not walked to the end");
        std::printf("  Flash holds the chosen settings: %s\n", mismatch.isEmpty() ? "yes" : qPrintable("NO, " + mismatch));
        ok = ok && walked && mismatch.isEmpty();
    };
    run("Cable Replacement", cable, cablePort, [&] { return walk.WalkCableReplacement(cablePort, demo::CableDemoChoices()); },
        [&] { return demo::CableFlashMismatch(cable, demo::CableDemoChoices()); });
    run("SPP Server", spp, sppPort, [&] { return walk.WalkSppServer(sppPort, demo::SppDemoChoices()); },
        [&] { return demo::SppFlashMismatch(spp, demo::SppDemoChoices()); });

    std::printf("\n%lld pictures in %s\n", static_cast<long long>(walk.Shots().size()), qPrintable(folder));
    std::printf("%s\n", ok ? "Both sequences reached the Finish page." : "The walk-through FAILED.");
    return ok ? 0 : 1;
}
