#pragma once
// A pseudo-terminal whose slave is registered as a COM port, for the driver
// benchmarks.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
    BenchPty(const BenchPty&) = delete;
    BenchPty& operator=(const BenchPty&) = delete;
};
