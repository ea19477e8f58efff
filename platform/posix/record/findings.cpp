#include "platform/posix/record/findings.h"

#include <algorithm>

#include "platform/constants.h"
#include "platform/posix/programs/expand_tool.h"
#include "platform/utf8.h"
#include "ui/texts.h"

namespace morlit::posix {

namespace {

// `path` up to where `tail` starts in it (without regard to case); empty
// when it does not hold `tail`.
std::string Before(const std::wstring& path, const char* tail) {
    const std::string text = Utf8FromWide(path);
    const size_t at = AsciiLowered(text).rfind(tail);
    return at == std::string::npos ? std::string() : text.substr(0, at);
}

// The Windows folder the run worked on: the one discovery decided on, or,
// for an XP or 2000 refused before that (no driver source), the one whose
// kernel's version it read before the CD question.
std::string WindowsFolder(const RunRecord& record) {
    if (!record.targetWindows.empty()) return Utf8FromWide(record.targetWindows);
    if (!record.kernelFile.empty()) return Before(record.kernelFile, "\\system32\\ntoskrnl.exe");
    return std::string();
}

// How a program's run ended, in the words of what it said.
std::string SaidOf(const ProgramRun& run, const std::string& program) {
    std::string said;
    for (const RecordedCause& cause : run.causes) said += (said.empty() ? "" : "; ") + cause.line;
    if (!said.empty()) return said;
    if (!run.started)
        return program + " could not be started (error " + std::to_string(run.startError) + ")";
    if (!run.ended) return program + " did not end";
    return program + " failed (" + std::to_string(run.exitCode) + ")";
}

// One driver the run takes from its source: the member (a cabinet's) or
// file (a folder's) and where it goes, as the run named them to expand.
Findings::Member MemberOf(const std::wstring& parameters) {
    const std::vector<std::wstring> args = SplitCommandLine(parameters);
    Findings::Member member;
    if (TakesCabinetMember(args)) {
        member.name = Utf8FromWide(args[1].substr(3));
        member.destination = Utf8FromWide(args[2]);
    } else if (args.size() == 2) {
        member.name = Utf8FromWide(args[0].substr(args[0].rfind(L'\\') + 1));
        member.destination = Utf8FromWide(args[1]);
    } else {
        member.name = Utf8FromWide(parameters);
    }
    return member;
}

// Each driver as the run asked expand for it, and how that ended; the ones a
// failure kept it from are those the replayed step names after them, when
// its first requests are the run's own.
std::vector<Findings::Member> Members(const RunRecord& record, const std::string& windows,
                                      const DriverRuns& driverRuns) {
    std::vector<std::wstring> runs;
    if (driverRuns) runs = driverRuns(record.expands.front().parameters, WideFromUtf8(windows));
    bool same = runs.size() >= record.expands.size();
    for (size_t i = 0; same && i < record.expands.size(); ++i)
        same = runs[i] == record.expands[i].parameters;
    if (!same) runs.clear();
    std::vector<Findings::Member> members;
    for (size_t i = 0; i < std::max(record.expands.size(), runs.size()); ++i) {
        if (i >= record.expands.size()) {
            members.push_back(MemberOf(runs[i]));
            continue;
        }
        const ProgramRun& run = record.expands[i];
        Findings::Member member = MemberOf(run.parameters);
        member.state =
            run.Succeeded() ? Findings::MemberState::kDecoded : Findings::MemberState::kFailed;
        if (!run.Succeeded()) member.reason = SaidOf(run, "expand");
        if (run.ended) member.exitCode = run.exitCode;
        members.push_back(member);
    }
    return members;
}

std::optional<Findings::Source> SourceOf(const RunRecord& record,
                                         const std::vector<std::wstring>& first,
                                         const std::string& windows, bool xp, IFiles& files,
                                         const DriverRuns& driverRuns) {
    Findings::Source source;
    if (!record.expands.empty()) {
        // A cabinet is named first and its members picked with -F:; a
        // folder's compressed files are named one by one.
        const bool cabinet = TakesCabinetMember(first);
        std::string path = first.empty() ? std::string() : Utf8FromWide(first[0]);
        if (!cabinet) path = path.substr(0, path.rfind('\\'));
        source.kind = cabinet ? Findings::SourceKind::kCabinet : Findings::SourceKind::kFolder;
        source.path = path;
        source.cd = !path.empty() &&
                    files.GetDriveType(std::wstring(1, static_cast<wchar_t>(path[0])) + L":\\") ==
                        kDriveCdrom;
        source.listsMembers = true;
        source.members = Members(record, windows, driverRuns);
        return source;
    }
    if (!record.driverSource.empty()) {
        // Refused before its drivers were asked for.
        source.kind = record.sourceKind == DriverSourceKind::kCabinet
                          ? Findings::SourceKind::kCabinet
                          : Findings::SourceKind::kFolder;
        source.path = Utf8FromWide(record.driverSource);
        source.cd = !source.path->empty() &&
                    files.GetDriveType(record.driverSource.substr(0, 1) + L":\\") == kDriveCdrom;
        return source;
    }
    if (record.Message(IDS_CD_NOT_FOUND)) {
        source.kind = Findings::SourceKind::kNeedsCd;
        source.cd = true;
        return source;
    }
    if (!xp && record.hiveTried) {
        source.kind = Findings::SourceKind::kNoneNeeded;
        return source;
    }
    return std::nullopt;
}

Findings::Template TemplateOf(const RunRecord& record, bool check) {
    Findings::Template result;
    // The template goes in through the registry editor; its run is what
    // tells whether it imports.
    if (!record.editorAsked) return result;
    const ProgramRun& run = record.editor;
    if (run.Succeeded()) {
        result.state =
            check ? Findings::TemplateState::kImports : Findings::TemplateState::kImported;
    } else {
        result.state = Findings::TemplateState::kRefused;
        result.reason = SaidOf(run, "the registry editor");
    }
    if (run.ended) result.exitCode = run.exitCode;
    return result;
}

}  // namespace

Findings Find(const RunRecord& record, IFiles& files, bool check, const DriverRuns& driverRuns) {
    Findings found;
    // The first expand run's words: its source, then (a cabinet's) the
    // member picked with -F:, then where it goes.
    const std::vector<std::wstring> first =
        record.expands.empty() ? std::vector<std::wstring>()
                               : SplitCommandLine(record.expands.front().parameters);
    const std::string windows = WindowsFolder(record);
    // A Vista or 7 is decided on as such; a target refused before that was
    // looked at as an XP or 2000 (its kernel read, the CD asked for).
    const bool xp = record.targetWindows.empty() || record.sourceKind != DriverSourceKind::kNone;
    if (!windows.empty()) {
        Findings::Target target;
        target.letter = windows.substr(0, 2);
        target.windowsDirectory = windows;
        target.xp = xp;
        target.bootIniPartition = record.arcPartition;
        if (record.kernelVersionRead)
            target.kernelVersion =
                std::to_string(record.kernelMajor) + "." + std::to_string(record.kernelMinor);
        found.target = target;
    }
    found.source = SourceOf(record, first, windows, xp, files, driverRuns);
    if (record.hiveTried) {
        Findings::Hive hive;
        hive.file = Utf8FromWide(record.hiveFile);
        hive.state = record.hiveState;
        if (!record.hiveLine.empty()) {
            hive.detail = record.hiveLine;
        } else if (record.hiveCode != 0) {
            hive.detail = "error " + std::to_string(record.hiveCode);
        }
        found.hive = hive;
    }
    found.templateImport = TemplateOf(record, check);
    return found;
}

// The names, in the order of each enum.
const char* SourceKindName(Findings::SourceKind kind) {
    static const char* const kNames[] = {"cabinet", "folder", "needs the Windows XP CD",
                                         "none needed"};
    return kNames[static_cast<size_t>(kind)];
}

const char* MemberStateName(Findings::MemberState state) {
    static const char* const kNames[] = {"decoded", "failed", "not reached"};
    return kNames[static_cast<size_t>(state)];
}

const char* HiveStateName(HiveState state) {
    static const char* const kNames[] = {"clean", "dirty without log", "recovered", "refused"};
    return kNames[static_cast<size_t>(state)];
}

const char* TemplateStateName(Findings::TemplateState state) {
    static const char* const kNames[] = {"imports", "imported", "refused", "not reached"};
    return kNames[static_cast<size_t>(state)];
}

}  // namespace morlit::posix
