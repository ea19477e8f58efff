// Builds SYSTEM hives for tests and benchmarks. hivex cannot create a hive,
// so the builder writes a minimal empty one itself (the regf header with its
// checksum, one hbin, a root key and its security cell) and fills it with
// hivex.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace morlit::tools {

struct SystemHiveSpec {
    u32 defaultControlSet = 1;        // Select\Default
    u32 currentControlSet = 1;        // Select\Current
    std::vector<u32> controlSets{1};  // ControlSetNNN keys to make
    // Extra generated keys spread over the control sets' Services and Enum
    // trees, with typical values, to reach a realistic size.
    u32 fillerKeys = 0;
    // Write Select\Default as this raw type and data instead (for bad hives).
    bool rawDefault = false;
    u32 rawDefaultType = 0;
    std::string rawDefaultData;
    bool withSelect = true;
};

// The bytes of an empty hive: a root key named `rootName` and nothing else.
std::string EmptyHive(const std::string& rootName = "ROOT");

// Writes an empty hive to `path` and fills it. False with `error` set on
// failure.
bool BuildSystemHive(const std::string& path, const SystemHiveSpec& spec, std::string* error);

// Adds the key `keyPath` ("A\\B\\C", with its missing parents) to the hive
// file at `path`, with a DWORD value "Marker". False with `error` set on
// failure.
bool AddMarkedKey(const std::string& path, const std::string& keyPath, u32 marker,
                  std::string* error);

// The number of keys in a hive file (the root included), or -1.
long CountKeys(const std::string& path);

}  // namespace morlit::tools
