#pragma once

#include <cstdio>
#include <cstdlib>

// An invariant that must hold for every input: a violation is a finding, kept by libFuzzer.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)
