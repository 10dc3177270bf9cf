#pragma once
// Invariant check for the fuzz entry points; also used by their replay test,
// which builds with g++ and no libFuzzer.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                               \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                              \
        }                                                                              \
    } while (0)
