#pragma once

#include <cstdio>
#include <cstdlib>

// Ends the run with the broken invariant's name, so libFuzzer keeps the input that broke it.
inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}
