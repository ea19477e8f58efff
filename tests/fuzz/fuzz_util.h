// Shared pieces of the fuzz harnesses. Each harness is a named target, run
// by libFuzzer (libfuzzer_main.cpp) and replayed over the saved inputs of
// tests/data/ by the Linux tests, where a failed check is a test failure
// instead of a crash.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace morlit::fuzz {

// Called when a harness's check fails: aborts under libFuzzer, records a
// test failure in the replay.
void CheckFailed(const char* condition, const char* file, int line);

#define MORLIT_FUZZ_CHECK(condition)                                                   \
    do {                                                                               \
        if (!(condition)) ::morlit::fuzz::CheckFailed(#condition, __FILE__, __LINE__); \
    } while (0)

#define MORLIT_FUZZ_TARGET(name) int ::morlit::fuzz::Fuzz_##name(const uint8_t* data, size_t size)

int Fuzz_vhd(const uint8_t* data, size_t size);
int Fuzz_partition_table(const uint8_t* data, size_t size);
int Fuzz_reg_import(const uint8_t* data, size_t size);
int Fuzz_expand(const uint8_t* data, size_t size);
int Fuzz_iso(const uint8_t* data, size_t size);
int Fuzz_mountinfo(const uint8_t* data, size_t size);
int Fuzz_command_line(const uint8_t* data, size_t size);
int Fuzz_crt_stream(const uint8_t* data, size_t size);
int Fuzz_ntfs(const uint8_t* data, size_t size);
int Fuzz_fat(const uint8_t* data, size_t size);
int Fuzz_pe_version(const uint8_t* data, size_t size);

// A folder of this process, made once and removed at exit.
inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/morlit-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) std::abort();
        static std::string removeAtExit;
        removeAtExit = pattern;
        std::atexit([] {
            const std::string cmd = "rm -rf '" + removeAtExit + "'";
            if (std::system(cmd.c_str()) != 0) std::perror("rm");
        });
        return pattern;
    }();
    return dir;
}

inline void WriteWhole(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

inline void WriteWhole(const std::string& path, const std::string& data) {
    WriteWhole(path, data.data(), data.size());
}

inline std::string ReadWhole(const std::string& path) {
    std::string out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

inline uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace morlit::fuzz
