#include "platform/posix/record/run_ending.h"

#include "platform/constants.h"
#include "platform/posix/disk/interrupt.h"
#include "ui/resource.h"
#include "ui/texts.h"

namespace morlit::posix {
namespace {

const char kNoDriverSource[] =
    "this installation has no driver source; give the Windows XP CD with --cdrom ISO|FOLDER";

RecordedCause Said(CauseKind kind, std::string line) { return {{std::move(line), true}, kind}; }

// A failure message's meaning, for a run that said nothing else.
RecordedCause FromMessage(const RecordedMessage& m) {
    const std::string code = m.hasCode ? " (Windows error " + std::to_string(m.code) + ")" : "";
    switch (m.id) {
        case IDS_OPEN_FAILED:
            return Said(
                m.code == err::kSharingViolation ? CauseKind::kImageInUse : CauseKind::kCannotOpen,
                "the image could not be opened" + code);
        case IDS_ATTACH_FAILED:
            return Said(CauseKind::kCannotOpen, "the image could not be attached" + code);
        case IDS_DISK_NOT_FOUND:
            return Said(CauseKind::kCannotOpen,
                        "the attached image was not found as a disk" + code);
        case IDS_LETTER_NOT_FOUND:
            return Said(CauseKind::kNoLetter, "no volume of the image got a drive letter");
        case IDS_DETACH_FAILED:
            return Said(m.code == err::kDiskFull ? CauseKind::kDiskFull : CauseKind::kWriteError,
                        "the image could not be written out and detached" + code);
        case IDS_REGISTRY_FAILED:
            return Said(CauseKind::kBadHive,
                        "the installation's registry could not be adjusted" + code);
        default:
            return Said(CauseKind::kOther,
                        "the run failed without a reason of its own; its messages are above");
    }
}

}  // namespace

std::optional<RecordedCause> EndingCause(const RunRecord& record,
                                         const std::vector<std::string>& volumes) {
    if (!record.ShownCauses().empty()) return std::nullopt;
    for (const RecordedMessage& m : record.messages) {
        // A question answered so that the run stops: the run's own choice,
        // which it never explains.
        if (m.id == IDS_INSERT_CD && m.answer == kIdCancel) {
            return Said(CauseKind::kNoDriverSource,
                        std::string(kNoDriverSource) +
                            (m.endOfInput ? " (the question for the CD met the end of the input)"
                                          : " (the question for the CD was answered cancel)"));
        }
        if (m.id == IDS_CD_NOT_FOUND && m.answer != kIdYes) {
            return Said(CauseKind::kNoDriverSource,
                        std::string(kNoDriverSource) +
                            " (no CD drive holds a disc with WIN51 and I386; the question to look "
                            "again " +
                            (m.endOfInput ? "met the end of the input)" : "was answered no)"));
        }
    }
    if (record.Message(IDS_NO_TARGET_OS)) {
        if (volumes.empty())
            return Said(CauseKind::kNoWindows, "no Windows installation found on the image");
        std::string line = "no Windows installation found: the first volume of the image, " +
                           volumes.front() + ", has no \\Windows or \\WINNT";
        if (volumes.size() > 1) {
            line += "; the image's other volumes, where Windows is not looked for:";
            for (size_t i = 1; i < volumes.size(); ++i) line += " " + volumes[i];
        }
        return Said(CauseKind::kNoWindows, line);
    }
    // Any other failure that named no cause: its last failure message.
    for (auto m = record.messages.rbegin(); m != record.messages.rend(); ++m) {
        if (m->id >= IDS_OPEN_FAILED && m->id != IDS_NO_TARGET_OS && m->id != IDS_INSERT_CD &&
            m->id != IDS_CD_NOT_FOUND)
            return FromMessage(*m);
    }
    return FromMessage(RecordedMessage());
}

RunClose CloseRun(PosixHost& host, RunRecorder& recorder) {
    RunClose close;
    const RunRecord& record = recorder.record();
    IRunEvents& say = recorder.events();
    // The changes become final only when the run's result chose its success
    // message; otherwise they are undone. A stop signal that came once the
    // run had decided (when it said it was finishing) waited until now and
    // changes nothing; one that came before made the next write fail.
    close.adjusted = record.adjusted.value_or(false);
    if (!close.adjusted && !InterruptRequested()) {
        if (std::optional<RecordedCause> ending =
                EndingCause(record, host.vdisk().AttachedVolumes()))
            say.Cause(ending->kind, ending->line);
    }
    close.end = host.FinishRun(close.adjusted);
    close.stop = InterruptRequested() ? InterruptSignal() : HeldStopSignal();
    if (close.adjusted && close.end.committed) {
        // The run had made its last change when the stop came.
        if (close.stop) {
            say.Warning(std::string(StopSignalName(close.stop)) +
                        " came too late to stop the run: the image was adjusted and is kept");
        }
        close.status = 0;
        return close;
    }
    if (close.stop && close.end.images == 0)
        say.Cause(CauseKind::kStopped, std::string("stopped by ") + StopSignalName(close.stop) +
                                           "; the image was not changed");
    close.status = close.stop ? 128 + close.stop : 1;
    return close;
}

}  // namespace morlit::posix
