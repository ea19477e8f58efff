// Recovery of a dirty hive from its transaction logs, as Windows does when
// it loads one: a hive written while the machine crashed, lost power or was
// copied while running keeps its newest data only in the logs, and a hive
// written back without them would lose that data for good.
#pragma once

#include <string>
#include <vector>

namespace morlit::posix {

// A log file found beside the hive: its name as probed ("system.LOG1") and
// its bytes.
struct HiveLog {
    std::string name;
    std::string data;
};

enum class HiveState {
    kClean,            // consistent: used as it is, its logs ignored
    kDirtyWithoutLog,  // dirty, no log beside it: used as it stands
    kRecovered,        // dirty, replayed from a log
    kRefused,          // dirty and not recoverable: must not be loaded
};

struct HiveRecovery {
    HiveState state = HiveState::kClean;
    // One line saying what was done or why the hive is refused; empty for a
    // clean hive.
    std::string line;
};

// Whether the base block says the last write did not complete: a wrong
// checksum, or primary and secondary sequence numbers that differ. A file
// that is not a hive at all is not dirty (the load refuses it later).
bool HiveIsDirty(const std::string& hive);

// Brings a dirty `hive` up to date from `logs` (in the order .LOG, .LOG1,
// .LOG2; only those present). On kRecovered, `*hive` is the recovered hive
// with equal sequence numbers and a valid checksum; in every other case it
// is left as it was. `name` names the hive in the line ("system").
HiveRecovery RecoverHive(const std::string& name, std::string* hive,
                         const std::vector<HiveLog>& logs);

}  // namespace morlit::posix
