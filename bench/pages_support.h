#pragma once
// What the page benches share beside the rig (demo/rig.h): resident memory.

#include <cstdlib>
#include <fstream>
#include <string>

namespace vtrl::bench {

inline long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

}  // namespace vtrl::bench
