// --help for the benchmarks, answered before anything else runs: some make
// images and cabinets of hundreds of megabytes first, and Google Benchmark
// would list only its own flags.
#pragma once

#include <cstdio>
#include <cstring>

namespace morlit::bench {

// Prints `usage` when --help or -h is among the arguments (and, for a
// Google Benchmark program, that its flags are passed on): the caller then
// exits 0.
inline bool AnsweredHelp(int argc, char** argv, const char* usage, bool benchmarkFlags = false) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            if (benchmarkFlags) {
                std::fputs(
                    "Google Benchmark's own flags (--benchmark_filter=REGEX,\n"
                    "--benchmark_format=json, ...) are passed on to it.\n",
                    stdout);
            }
            return true;
        }
    }
    return false;
}

}  // namespace morlit::bench
