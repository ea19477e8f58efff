// The one record of what a run did: facts kept as values where they are
// known (the run's own events, the host's answers to the calls that tell
// what it found), put into words only where the record is shown.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/posix/registry/hive_recovery.h"

namespace morlit::posix {

// A message box as the run showed it.
struct RecordedMessage {
    u32 id = 0;  // the string-table id; 0 for a text that has none
    bool hasCode = false;
    u32 code = 0;
    std::wstring text;  // as the user saw it, in the user's language
    bool question = false;
    int answer = 0;           // kIdOk, kIdCancel, kIdYes or kIdNo, for a question
    bool endOfInput = false;  // the answer was taken at the end of the input
};

// A line the run or a layer below it said, with why when it is a cause.
struct RecordedLine {
    std::string line;
    bool shown = true;  // false: said after a stop, as its side effect, and dropped
};
struct RecordedCause : RecordedLine {
    CauseKind kind = CauseKind::kOther;
};

// One run of a program the run starts: what it was given and how it ended.
struct ProgramRun {
    std::wstring parameters;
    bool started = false;  // ShellExecuteEx gave a process
    u32 startError = 0;    // the last error when it did not
    bool ended = false;    // its exit code was read
    u32 exitCode = 0;
    std::vector<RecordedCause> causes;  // said while it ran
    bool Succeeded() const { return started && ended && exitCode == 0; }
};

struct RunRecord {
    // What the run said of itself.
    std::vector<RecordedMessage> messages;
    std::vector<RunStep> steps;
    std::vector<RecordedCause> causes;
    std::vector<RecordedLine> warnings;
    // The result that chose the final message; empty when the run never
    // got there.
    std::optional<bool> adjusted;

    // The target discovery decided on, when it decided on one.
    std::wstring targetWindows;
    DriverSourceKind sourceKind = DriverSourceKind::kNone;  // kNone: a Vista or 7
    std::wstring driverSource;                              // empty for none

    // What the host answered to the calls that tell what the run found.
    bool hiveTried = false;
    std::wstring hiveFile;
    u32 hiveCode = 0;
    HiveState hiveState = HiveState::kClean;
    std::string hiveLine;             // what the loader said of it; empty for a clean hive
    std::vector<ProgramRun> expands;  // in the order asked
    bool editorAsked = false;         // the registry editor was started for the template
    ProgramRun editor;
    u32 arcPartition = 0;  // the partition number Boot.ini names, 0 when not asked
    // The kernel whose file version the run read before asking for the XP
    // CD, and that version when it could be read.
    std::wstring kernelFile;
    bool kernelVersionRead = false;
    u32 kernelMajor = 0, kernelMinor = 0;
    // With a check: the disk signature and partition offset the loaded
    // hive's MountedDevices gives C:, when it names them so (12 bytes).
    std::string mountedC;

    // The causes that were shown, in the order they were said.
    std::vector<RecordedCause> ShownCauses() const;
    // The first message of `id`, or null.
    const RecordedMessage* Message(u32 id) const;
};

// A cause kind as reports name it ("read error").
const char* CauseKindName(CauseKind kind);
// A step as reports name it ("copying-drivers").
const char* RunStepName(RunStep step);

}  // namespace morlit::posix
