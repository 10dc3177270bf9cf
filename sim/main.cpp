// vtrlsim: the device simulator as a program, for the demo and manual tests.

#include "cli.h"
#include "vtrl_version.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <pthread.h>

int main(int argc, char** argv)
{
    vtrl::sim::Simulator sim;
    vtrl::sim::CliOptions options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (auto error = vtrl::sim::applyArguments(args, sim, options); !error.empty()) {
        std::cerr << "vtrlsim: " << error << "\n" << "Try vtrlsim --help.\n";
        return 2;
    }
    if (options.help) {
        std::cout << vtrl::sim::usageText();
        return 0;
    }
    if (options.version) {
        std::cout << "vtrlsim " << vtrl::kVersion << "\n";
        return 0;
    }

    // Blocked before the service thread starts, so that it inherits the mask
    // and only sigwait below sees the signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!sim.start()) {
        std::cerr << "vtrlsim: " << sim.errorText() << "\n";
        return 1;
    }
    const std::string path = sim.slavePath();
    std::cout << path << std::endl;

    namespace fs = std::filesystem;
    bool linked = false;
    if (!options.link.empty()) {
        std::error_code ec;
        if (fs::is_symlink(fs::symlink_status(options.link, ec)))
            fs::remove(options.link, ec);
        fs::create_symlink(path, options.link, ec);
        if (ec) {
            std::cerr << "vtrlsim: cannot create " << options.link << ": " << ec.message() << "\n";
            return 1;
        }
        linked = true;
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);

    if (linked) {
        std::error_code ec;
        fs::remove(options.link, ec);
    }
    sim.stop();
    // What a session wrote, for the person who ran it.
    const std::string image = sim.flashImage();
    std::cout << image << std::flush;
    if (!options.flashOut.empty()) {
        std::ofstream file(options.flashOut);
        file << image;
        if (!file.flush()) {
            std::cerr << "vtrlsim: cannot write " << options.flashOut << "\n";
            return 1;
        }
    }
    return 0;
}
