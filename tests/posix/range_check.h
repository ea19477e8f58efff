// Ranged reads of a volume's file checked against the file's whole bytes:
// starts at and beside sector, block and cluster edges, lengths from none to
// far past the end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/fs/volume.h"

namespace morlit::test {

inline void ExpectRangesMatch(posix::Volume& volume, const posix::PathParts& path,
                              const std::string& whole) {
    const u64 size = whole.size();
    std::vector<u64> starts = {0,    1,    511,   512,          2047, 2048,     2049,         4095,
                               4096, 4097, 65537, size / 2 + 3, size, size + 1, size + 100000};
    if (size > 0) starts.push_back(size - 1);
    const size_t lengths[] = {0, 1, 7, 2048, 4097, 3 * 65536 + 5, 1u << 20};
    std::string data = "stale";
    for (u64 start : starts) {
        for (size_t length : lengths) {
            ASSERT_EQ(volume.ReadRange(path, start, length, &data), 0u) << start << "+" << length;
            const std::string want =
                start >= size ? std::string() : whole.substr(static_cast<size_t>(start), length);
            // Compared as a flag: a mismatch would print megabytes.
            EXPECT_TRUE(data == want) << start << "+" << length << " gave " << data.size()
                                      << " bytes, want " << want.size();
        }
    }
}

}  // namespace morlit::test
