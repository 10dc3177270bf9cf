#pragma once
// Command line of vtrlsim, kept in the library so that tests can drive it.

#include "simulator.h"

#include <string>
#include <vector>

namespace vtrl::sim {

struct CliOptions {
    std::string link;   // symlink to the slave path, removed on exit
    std::string flashOut;   // file the flash image is saved in on exit
    bool help = false;
    bool version = false;
};

// Applies the arguments (without the program name) to the simulator.
// Returns an empty string, or the text of the first error.
std::string applyArguments(const std::vector<std::string>& args, Simulator& sim, CliOptions& options);

// The --help text, made from the option table that applyArguments reads.
std::string usageText();
// Every option's spelling, for checking the manual page against.
std::vector<std::string> optionNames();

}  // namespace vtrl::sim
