// Invariant checks for the fuzz targets: always on (the targets are built
// with NDEBUG like the library), and a failure stops the run with the
// reason, which libFuzzer reports as a crash and saves the input of.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                 \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                     \
        }                                                                                \
    } while (0)

// The library logs refusals on standard output; the targets drop them so
// that the fuzzer runs at full speed (libFuzzer reports on standard error).
inline void silenceLibraryLog() {
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
}
