// What a run found, worked out from its record alone: the target, the
// driver source with its drivers, the hive and the registry template's
// import. Empty where the run did not get that far.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/posix/record/run_record.h"

namespace morlit::posix {

struct Findings {
    struct Target {
        std::string letter;                        // "E:"
        std::string windowsDirectory;              // "E:\Windows"
        bool xp = false;                           // XP or 2000: drivers, registry and Boot.ini
        u32 bootIniPartition = 0;                  // 0: not asked
        std::optional<std::string> kernelVersion;  // "5.1", when read before the CD question
    };
    enum class SourceKind { kCabinet, kFolder, kNeedsCd, kNoneNeeded };
    enum class MemberState { kDecoded, kFailed, kNotReached };
    struct Member {
        std::string name;  // a cabinet's member or a folder's file
        std::optional<std::string> destination;
        MemberState state = MemberState::kNotReached;
        std::optional<std::string> reason;  // what expand said of a failure
        std::optional<u32> exitCode;
    };
    struct Source {
        SourceKind kind = SourceKind::kCabinet;
        std::optional<std::string> path;
        bool cd = false;
        bool listsMembers = false;  // a cabinet or folder the run took drivers from
        std::vector<Member> members;
    };
    struct Hive {
        std::string file;
        HiveState state = HiveState::kClean;
        std::optional<std::string> detail;  // what the loader said: recovery or refusal
    };
    enum class TemplateState { kImports, kImported, kRefused, kNotReached };
    struct Template {
        TemplateState state = TemplateState::kNotReached;
        std::optional<std::string> reason;
        std::optional<u32> exitCode;
    };

    std::optional<Target> target;
    std::optional<Source> source;
    std::optional<Hive> hive;
    Template templateImport;
};

// The parameters of the three expand runs of the run's driver step for a
// first run given `first` and the Windows folder `windows`, as the run's own
// driver step makes them; empty when it cannot tell. The command plays the
// step again for it.
using DriverRuns = std::function<std::vector<std::wstring>(const std::wstring& first,
                                                           const std::wstring& windows)>;

// `check`: the run was a check's, whose writes stay in memory (the
// template "imports" rather than "imported"). `files` tells whether the
// source's drive is a CD-ROM drive.
Findings Find(const RunRecord& record, IFiles& files, bool check,
              const DriverRuns& driverRuns = DriverRuns());

// The names reports give the values.
const char* SourceKindName(Findings::SourceKind kind);
const char* MemberStateName(Findings::MemberState state);
const char* HiveStateName(HiveState state);
const char* TemplateStateName(Findings::TemplateState state);

}  // namespace morlit::posix
