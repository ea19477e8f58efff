// Test content for the benchmarks' large cabinets and images.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace morlit::bench {

// Roughly half random bytes, half text: compresses to about two thirds.
inline void WriteContent(const std::filesystem::path& path, size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data = "MORLIT BENCH " + path.filename().string() + "\r\n";
    data.reserve(size);
    while (data.size() < size) {
        const size_t run = 64 + rng() % 512;
        if (rng() % 2) {
            for (size_t i = 0; i < run; ++i) data.push_back(static_cast<char>(rng()));
        } else {
            for (size_t i = 0; i < run; ++i) data.push_back("etaoin shrdlu\r\n"[rng() % 15]);
        }
    }
    data.resize(size);
    std::ofstream(path, std::ios::binary) << data;
}

}  // namespace morlit::bench
