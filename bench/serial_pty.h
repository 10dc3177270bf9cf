#pragma once
// A pseudo-terminal pair for the driver benchmarks; the slave gets a COM number.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "portnames.h"

struct BenchPty {
    int master = -1;
    std::uint32_t port = 0;
    BenchPty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        char name[128] = {};
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0) {
            std::fprintf(stderr, "no pseudo-terminal\n");
            std::exit(2);
        }
        port = vtrl::serial::RegisterPortPath(name);
    }
    ~BenchPty() {
        if (master >= 0) ::close(master);
    }
};
