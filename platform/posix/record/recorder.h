// Keeps a run's record: decorators put in front of a Host's services that
// hand every call on unchanged and note, as values, what the run said of
// itself (its events, each message box with its id, code and answer) and
// what the host answered to the calls that tell what it found (the hive it
// loaded, the programs it started, the partition Boot.ini names, the
// kernel's version). They work over any host: the Linux command's and the
// scripted one of the tests.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/host.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/record/run_record.h"

namespace morlit::posix {

struct RecorderOptions {
    // A check reads MountedDevices' C: from the hive while the run has it
    // loaded (only reads: a key opened and a value queried).
    bool readMountedDevices = false;
    // Whether a line said now is dropped as a stop's side effect.
    std::function<bool()> silenced;
    // A message text as the user sees it (translated); as given when unset.
    std::function<std::wstring(const std::wstring&)> shown;
    // Whether the last question took its answer at the end of the input.
    std::function<bool()> lastAnswerAtEndOfInput;
    // Rewrites a cause before it is recorded: on the Linux host, a read of
    // the image that failed before is named as its cause.
    std::function<void(CauseKind* kind, std::string* line)> nameCause;
    // The loader's own verdict on the hive it was last given.
    std::function<void(HiveState* state, std::string* line)> lastHiveLoad;
};

class RunRecorder {
  public:
    // Puts the decorators in front of `host`'s services; `host` must not be
    // used once the recorder is gone. A host without run events gets ones
    // that only record. The Linux host's layers say their causes and notes
    // through its own Host's events: give it PosixHost::host itself.
    RunRecorder(Host& host, RecorderOptions options = RecorderOptions());
    ~RunRecorder();
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    const RunRecord& record() const;
    // The events decorator: what is said through it is recorded and handed
    // on to the host's own events.
    IRunEvents& events();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The recorder's view of the Linux host: what its terminal showed, which
// lines it drops after a stop, and what its loader said of the hive. `check`:
// the run is a check's, which also reads MountedDevices' C:.
RecorderOptions RecordingOf(PosixHost& host, bool check);

}  // namespace morlit::posix
