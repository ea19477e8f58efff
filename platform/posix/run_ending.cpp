#include "platform/posix/run_ending.h"

#include <algorithm>

#include "platform/constants.h"
#include "platform/posix/disk/interrupt.h"
#include "ui/resource.h"
#include "ui/texts.h"

namespace morlit::posix {
namespace {

bool Is(const RunRecord& run, const std::wstring& text, u32 id) {
    const wchar_t* pattern = FindStringTableText(id);
    if (!pattern) return false;
    const std::wstring p = run.shown ? run.shown(pattern) : std::wstring(pattern);
    // Messages with a code carry it where the pattern has "%ld".
    const size_t code = p.find(L"%ld");
    if (code == std::wstring::npos) return text == p;
    return text.size() > p.size() - 3 && text.compare(0, code, p, 0, code) == 0 &&
           text.compare(text.size() - (p.size() - code - 3), std::wstring::npos, p, code + 3,
                        std::wstring::npos) == 0;
}

// The code a message carries in its "(%ld)".
std::string CodeOf(const std::wstring& text) {
    const size_t open = text.rfind(L'(');
    const size_t close = text.rfind(L')');
    if (open == std::wstring::npos || close == std::wstring::npos || close < open) return "";
    std::string code;
    for (size_t i = open + 1; i < close; ++i) code.push_back(static_cast<char>(text[i]));
    return code;
}

const char kNoDriverSource[] =
    "this installation has no driver source; give the Windows XP CD with --cdrom ISO|FOLDER";

}  // namespace

std::string EndingCause(const RunRecord& run) {
    // The run named its own cause.
    if (run.causesSaid > 0) return "";
    for (const TerminalUi::ShownMessage& m : run.messages) {
        // A question answered so that the run stops: the run's own choice,
        // which it never explains.
        if (Is(run, m.text, IDS_INSERT_CD) && m.answer == kIdCancel) {
            return std::string(kNoDriverSource) +
                   (m.endOfInput ? " (the question for the CD met the end of the input)"
                                 : " (the question for the CD was answered cancel)");
        }
        if (Is(run, m.text, IDS_CD_NOT_FOUND) && m.answer != kIdYes) {
            return std::string(kNoDriverSource) +
                   " (no CD drive holds a disc with WIN51 and I386; the question to look again " +
                   (m.endOfInput ? "met the end of the input)" : "was answered no)");
        }
    }
    for (const TerminalUi::ShownMessage& m : run.messages) {
        if (Is(run, m.text, IDS_NO_TARGET_OS)) {
            if (run.volumes.empty()) return "no Windows installation found on the image";
            std::string line = "no Windows installation found: the first volume of the image, " +
                               run.volumes.front() + ", has no \\Windows or \\WINNT";
            if (run.volumes.size() > 1) {
                line += "; the image's other volumes, where Windows is not looked for:";
                for (size_t i = 1; i < run.volumes.size(); ++i) line += " " + run.volumes[i];
            }
            return line;
        }
    }
    // Any other failure that said nothing: its last message, in words.
    if (run.linesSaid > 0) return "";
    struct Known {
        u32 id;
        const char* words;
    };
    static const Known kKnown[] = {
        {IDS_OPEN_FAILED, "the image could not be opened"},
        {IDS_ATTACH_FAILED, "the image could not be attached"},
        {IDS_DISK_NOT_FOUND, "the attached image was not found as a disk"},
        {IDS_LETTER_NOT_FOUND, "no volume of the image got a drive letter"},
        {IDS_DETACH_FAILED, "the image could not be written out and detached"},
        {IDS_REGISTRY_FAILED, "the installation's registry could not be loaded"},
    };
    for (auto m = run.messages.rbegin(); m != run.messages.rend(); ++m) {
        for (const Known& k : kKnown) {
            if (!Is(run, m->text, k.id)) continue;
            const std::string code = CodeOf(m->text);
            return std::string(k.words) + (code.empty() ? "" : " (Windows error " + code + ")");
        }
    }
    return "the run failed without a reason of its own; its messages are above";
}

RunClose CloseRun(PosixHost& host, const std::function<void(const std::string&)>& say,
                  const std::vector<std::string>& said) {
    RunClose close;
    // The changes become final only when the run says it adjusted the
    // image; otherwise they are undone. A stop signal that came once the run
    // had decided (when it said it was finishing) waited until now and
    // changes nothing; one that came before made the next write fail.
    const std::wstring done = host.terminal().LoadString(IDS_ADJUST_DONE);
    close.adjusted = !done.empty() && host.terminal().LastMessage() == done;
    std::string ending;  // the line that says why the run failed, when it had none
    if (!close.adjusted && !InterruptRequested()) {
        RunRecord record;
        record.messages = host.terminal().Messages();
        record.volumes = host.vdisk().AttachedVolumes();
        record.linesSaid = host.DiagnosticLines();
        record.causesSaid = host.CausesSaid();
        record.shown = [&host](const std::wstring& text) { return host.terminal().Shown(text); };
        ending = EndingCause(record);
        if (!ending.empty()) say(ending);
    }
    close.end = host.FinishRun(close.adjusted);
    // The causes the run gave that were shown (a stop hides those that
    // are only its side effects).
    for (const std::string& line : host.CauseLines()) {
        if (std::find(said.begin(), said.end(), line) != said.end()) close.causes.push_back(line);
    }
    if (!ending.empty()) close.causes.push_back(ending);
    close.stop = InterruptRequested() ? InterruptSignal() : HeldStopSignal();
    if (close.adjusted && close.end.committed) {
        // The run had made its last change when the stop came.
        if (close.stop) {
            say(std::string(StopSignalName(close.stop)) +
                " came too late to stop the run: the image was adjusted and is kept");
        }
        close.status = 0;
        return close;
    }
    if (close.stop && close.end.images == 0)
        say(std::string("stopped by ") + StopSignalName(close.stop) +
            "; the image was not changed");
    close.status = close.stop ? 128 + close.stop : 1;
    return close;
}

}  // namespace morlit::posix
