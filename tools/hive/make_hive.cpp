// make_hive OUT [--default N] [--sets 1,2,3] [--filler KEYS] [--default-sz TEXT]
// Writes a SYSTEM hive for tests and benchmarks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/hive/hive_builder.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUT [--default N] [--sets 1,2] [--filler KEYS]\n", argv[0]);
        return 2;
    }
    morlit::tools::SystemHiveSpec spec;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const char* arg = argv[i + 1];
        if (opt == "--default") {
            spec.defaultControlSet = static_cast<morlit::u32>(std::strtoul(arg, nullptr, 10));
        } else if (opt == "--sets") {
            spec.controlSets.clear();
            for (const char* p = arg; *p;) {
                char* end = nullptr;
                spec.controlSets.push_back(static_cast<morlit::u32>(std::strtoul(p, &end, 10)));
                p = *end == ',' ? end + 1 : end;
                if (end == p && *p) break;
            }
        } else if (opt == "--default-sz") {
            // A Select\\Default that is a string, not a number: a bad hive.
            spec.rawDefault = true;
            spec.rawDefaultType = 1;  // REG_SZ
            spec.rawDefaultData.clear();
            for (const char* p = arg; *p; ++p) spec.rawDefaultData += std::string{*p, '\0'};
            spec.rawDefaultData.append(2, '\0');
        } else if (opt == "--filler") {
            spec.fillerKeys = static_cast<morlit::u32>(std::strtoul(arg, nullptr, 10));
        } else {
            std::fprintf(stderr, "unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    std::string error;
    if (!morlit::tools::BuildSystemHive(argv[1], spec, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("%s: %ld keys\n", argv[1], morlit::tools::CountKeys(argv[1]));
    return 0;
}
