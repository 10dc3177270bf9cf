// vtrlwalk: the wizard walked through both page sequences against simulated
// devices without a person, for a machine without a display:
//     vtrlwalk [--in-process] [PICTURE_FOLDER]
//     vtrlwalk --scene NAME|all [--scene NAME...] [PICTURE_FOLDER]
// Prints every step, saves a picture of every page in PICTURE_FOLDER
// (default "walkthrough" in the working directory), then prints what each
// simulated device keeps in flash. Exit status 0 when both walks reached the
// Finish page and the devices keep what was chosen. The devices are on
// pseudo-terminals, or with --in-process (always on Windows) on COM 1 and 2
// of this process, as in vtrlcfg --demo. With --scene it plays only the
// scenes named (scenes.h) and saves their pictures.
#include "walk.h"

#include "scenario.h"
#include "scenes.h"
#include "pages/simulated.h"
#include "serial/portnames.h"
#include "shell/uifont.h"

#include <QApplication>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <memory>

int main(int argc, char* argv[])
{
    // Without a display the offscreen platform still renders every page.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#ifdef _WIN32
    bool inProcess = true;   // no pseudo-terminals
#else
    bool inProcess = false;
#endif
    const char* folderArg = nullptr;
    QStringList scenes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--in-process") == 0) {
            inProcess = true;
        } else if (std::strcmp(argv[i], "--scene") == 0) {
            if (++i == argc) {
                std::fprintf(stderr, "vtrlwalk: --scene needs a name: all, %s\n",
                             qPrintable(vtrl::demo::SceneNames().join(QStringLiteral(", "))));
                return 2;
            }
            scenes << QString::fromLocal8Bit(argv[i]);
        } else {
            folderArg = argv[i];
        }
    }
    QApplication::setApplicationName(QStringLiteral("VtrlCfg"));
    QApplication::setFont(vtrl::WizardFont());
    // The simulated devices are not the operator's: what the wizard keeps
    // between runs stays with this run.
    const QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    const QString folder = QDir(folderArg ? QString::fromLocal8Bit(folderArg) : QStringLiteral("walkthrough")).absolutePath();
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "vtrlwalk: cannot create %s\n", qPrintable(folder));
        return 2;
    }
    if (!scenes.isEmpty()) {
        QString error;
        if (!vtrl::demo::PlayScenes(scenes, folder, stdout, error)) {
            std::fprintf(stderr, "vtrlwalk: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }
    std::printf("Pictures of every page go to %s\n", qPrintable(folder));

    namespace demo = vtrl::demo;
    std::unique_ptr<vtrl::SimulatedDevices> direct;
    vtrl::sim::Simulator ptyCable;
    vtrl::sim::Simulator ptySpp;
    int cablePort = 0;
    int sppPort = 0;
    if (inProcess) {
        direct = std::make_unique<vtrl::SimulatedDevices>();
        if (!direct->Error().isEmpty()) {
            std::fprintf(stderr, "vtrlwalk: the device simulator did not start: %s\n", qPrintable(direct->Error()));
            return 2;
        }
        cablePort = vtrl::SimulatedDevices::kCablePort;
        sppPort = vtrl::SimulatedDevices::kSppPort;
    } else {
        demo::SetUpSppDevice(ptySpp);
        for (vtrl::sim::Simulator* device : {&ptyCable, &ptySpp}) {
            if (!device->start()) {
                std::fprintf(stderr, "vtrlwalk: the device simulator did not start: %s\n", device->errorText().c_str());
                return 2;
            }
        }
        cablePort = static_cast<int>(vtrl::serial::RegisterPortPath(ptyCable.slavePath()));
        sppPort = static_cast<int>(vtrl::serial::RegisterPortPath(ptySpp.slavePath()));
    }
    vtrl::sim::Simulator& cable = direct ? direct->cable() : ptyCable;
    vtrl::sim::Simulator& spp = direct ? direct->spp() : ptySpp;

    demo::WalkThrough walk(stdout, folder);
    bool ok = true;
    const auto run = [&](const char* title, vtrl::sim::Simulator& device, int port, auto&& walkIt, auto&& check) {
        const std::string where = device.slavePath().empty() ? std::string("a line in this process") : device.slavePath();
        std::printf("\n%s, simulated device on %s (COM %d):\n", title, where.c_str(), port);
        std::fflush(stdout);
        const bool walked = walkIt();
        std::printf("  %s in %lld ms from the first page to the Finish page.\n", walked ? "Walked" : "Stopped",
                    static_cast<long long>(walk.Elapsed().count()));
        std::printf("  Time on each page: %s.\n", qPrintable(walk.PageTimes().join(QStringLiteral(", "))));
        std::printf("\n%s", device.flashImage().c_str());
        const QString mismatch = walked ? check() : QStringLiteral("not walked to the end");
        std::printf("  Flash holds the chosen settings: %s\n", mismatch.isEmpty() ? "yes" : qPrintable("NO, " + mismatch));
        const QStringList unfit = walk.Unfit();
        std::printf("  Every text fits its box: %s\n",
                    unfit.isEmpty() ? "yes" : qPrintable("NO, " + unfit.join(QStringLiteral("; "))));
        ok = ok && walked && mismatch.isEmpty() && unfit.isEmpty();
    };
    run("Cable Replacement", cable, cablePort, [&] { return walk.WalkCableReplacement(cablePort, demo::CableDemoChoices()); },
        [&] { return demo::CableFlashMismatch(cable, demo::CableDemoChoices()); });
    run("SPP Server", spp, sppPort, [&] { return walk.WalkSppServer(sppPort, demo::SppDemoChoices()); },
        [&] { return demo::SppFlashMismatch(spp, demo::SppDemoChoices()); });

    const QFont font = vtrl::WizardFont();
    std::printf("\nFont: %s, %d px, on a screen at %d %%\n", qPrintable(font.family()), font.pixelSize(),
                qRound(qApp->devicePixelRatio() * 100));
    std::printf("%lld pictures in %s\n", static_cast<long long>(walk.Shots().size()), qPrintable(folder));
    std::printf("%s\n", ok ? "Both sequences reached the Finish page." : "The walk-through FAILED.");
    return ok ? 0 : 1;
}
