// One "Set COM Port Selection" attempt that closes the held port and connects
// again, to the configuration shown: wall time and the CPU time (user +
// system, all threads) the wizard process spends on it.
//
//     bench_comport_connect [runs]        (default 20)
//
// The simulated device runs in a child process, so its CPU time is not
// counted as the wizard's.
#include "demo/rig.h"
#include "pages/wizard.h"
#include "platform/messagebox.h"
#include "serial/portnames.h"
#include "sim/simulator.h"

#include <QApplication>
#include <QTest>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct DeviceProcess {
    pid_t pid = -1;
    int stopFd = -1;  // closing it ends the child
    std::string path;
};

// Forks before any thread exists; the child serves the device until the
// parent closes its end of the stop pipe (or dies).
bool StartDevice(DeviceProcess& device)
{
    int pathPipe[2], stopPipe[2];
    if (pipe(pathPipe) != 0 || pipe(stopPipe) != 0)
        return false;
    device.pid = fork();
    if (device.pid < 0)
        return false;
    if (device.pid == 0) {
        close(pathPipe[0]);
        close(stopPipe[1]);
        int rc = 1;
        {
            vtrl::sim::Simulator sim;
            if (sim.start()) {
                const std::string line = sim.slavePath() + "\n";
                if (write(pathPipe[1], line.data(), line.size()) == static_cast<ssize_t>(line.size()))
                    rc = 0;
                close(pathPipe[1]);
                char byte;
                while (read(stopPipe[0], &byte, 1) > 0) {
                }
            } else {
                std::fprintf(stderr, "simulator: %s\n", sim.errorText().c_str());
            }
        }
        _exit(rc);
    }
    close(pathPipe[1]);
    close(stopPipe[0]);
    device.stopFd = stopPipe[1];
    char c;
    while (read(pathPipe[0], &c, 1) == 1 && c != '\n')
        device.path += c;
    close(pathPipe[0]);
    return !device.path.empty();
}

void StopDevice(DeviceProcess& device)
{
    if (device.stopFd >= 0)
        close(device.stopFd);
    if (device.pid > 0)
        waitpid(device.pid, nullptr, 0);
}

double ProcessCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    DeviceProcess device;
    if (!StartDevice(device)) {
        std::fprintf(stderr, "could not start the simulated device\n");
        StopDevice(device);
        return 1;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int rc = 0;
    {
        QApplication app(argc, argv);
        vtrl::platform::ScriptedMessageBoxes boxes;
        vtrl::demo::Rig rig;  // its device is the child's, registered here
        const int port = static_cast<int>(vtrl::serial::RegisterPortPath(device.path));
        if (!rig.Open(vtrl::fnCableReplacement) || !rig.Select(port)) {
            std::fprintf(stderr, "%s is not listed\n", device.path.c_str());
            StopDevice(device);
            return 1;
        }
        vtrl::TfrmCommPortSel& page = *vtrl::frmCommPortSel;

        auto opened = std::chrono::steady_clock::now();
        QObject::connect(&page.Panel0, &vtrl::StatusPanel::textSet, [&](const QString& text) {
            if (text == QLatin1String("Establishing connection with device..."))
                opened = std::chrono::steady_clock::now();
        });
        std::vector<double> wall, exchange, cpu;
        // Run 0 opens the port with none held and is not counted.
        for (int r = 0; r <= runs && rc == 0; ++r) {
            const double cpuStart = ProcessCpuMs();
            const auto start = std::chrono::steady_clock::now();
            QTest::mouseClick(&page.btnSetCommPortSel, Qt::LeftButton);
            // Wait for events, not in slices: QTest::qWaitFor sleeps 10 ms
            // between looks, which would be most of what is measured here.
            const auto deadline = start + std::chrono::seconds(10);
            while (!page.ConfigurationShown && std::chrono::steady_clock::now() < deadline)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            const auto end = std::chrono::steady_clock::now();
            const double cpuEnd = ProcessCpuMs();
            if (!page.ConfigurationShown) {
                std::fprintf(stderr, "run %d: no configuration (%s)\n", r, qPrintable(page.Panel0.text()));
                rc = 1;
            } else if (r > 0) {
                wall.push_back(std::chrono::duration<double, std::milli>(end - start).count());
                exchange.push_back(std::chrono::duration<double, std::milli>(end - opened).count());
                cpu.push_back(cpuEnd - cpuStart);
            }
        }
        if (rc == 0) {
            std::printf("bench_comport_connect: %d attempts that close the held port and connect again\n", runs);
            std::printf("  CPU time (user+system) of the wizard process: median %.2f ms, min %.2f ms, max %.2f ms\n",
                        Median(cpu), *std::min_element(cpu.begin(), cpu.end()),
                        *std::max_element(cpu.begin(), cpu.end()));
            std::printf("  wall time: median %.1f ms (of which port open to configuration shown: %.1f ms)\n",
                        Median(wall), Median(exchange));
        }
    }
    StopDevice(device);
    return rc;
}
