// Checks of a hive file's structure that name what is wrong with it, in a
// few words for a diagnostic line: hivex reports only an errno when it
// refuses a hive.
#pragma once

#include <string>

namespace morlit::posix {

// The first fault of the base block: too short, no signature, an unknown
// major version or a bad checksum. Empty when there is none.
std::string BaseBlockFault(const std::string& hive);

// The first fault of the hive bins the base block announces: a bin that is
// missing, misplaced, of a bad size or running past the file; with `cells`,
// also a cell of a bad size and a root cell that is not a key. Empty when
// there is none.
std::string HiveBinsFault(const std::string& hive, bool cells);

// Both of the above: why a hive cannot be loaded, or empty.
std::string HiveFault(const std::string& hive);

}  // namespace morlit::posix
