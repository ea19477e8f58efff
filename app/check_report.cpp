#include "app/check_report.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/posix/disk/byte_order.h"
#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/vhd.h"
#include "platform/posix/fs/fat_volume.h"
#include "platform/posix/fs/ntfs_volume.h"
#include "platform/posix/programs/expand_tool.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit::app {

namespace {

std::string Lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// 65535 cylinders, 16 heads, 255 sectors: the geometry qemu writes when the
// disk's size is in the footer's current size alone; it names no geometry a
// boot sector could match.
bool NoGeometry(const morlit::posix::VhdImage::Geometry& geometry) {
    return geometry.cylinders == 0xFFFF && geometry.heads == 16 && geometry.sectorsPerTrack == 255;
}

// Stands in for the programs while the run's driver step is played again to
// learn what it would have asked next: every program "starts" and ends
// well, and only its parameters are kept.
class NamingProcesses : public morlit::IProcesses, public morlit::ISystem {
  public:
    explicit NamingProcesses(morlit::ISystem& system) : system_(system) {}
    std::vector<std::wstring> asked;

    bool ShellExecuteEx(morlit::ShellExecuteInfo& info) override {
        asked.push_back(info.parameters);
        info.process = Process();
        return true;
    }
    morlit::u32 WaitForSingleObject(morlit::Handle, morlit::u32) override {
        return morlit::kWaitObject0;
    }
    bool GetExitCodeProcess(morlit::Handle, morlit::u32* code) override {
        *code = 0;
        return true;
    }
    bool GetVersionEx(morlit::OsVersion& out) override { return system_.GetVersionEx(out); }
    bool GetModuleFileName(std::wstring& path) override { return system_.GetModuleFileName(path); }
    bool GetWindowsDirectory(std::wstring& dir) override {
        return system_.GetWindowsDirectory(dir);
    }
    bool CloseHandle(morlit::Handle handle) override {
        return handle == Process() || system_.CloseHandle(handle);
    }

  private:
    morlit::Handle Process() { return reinterpret_cast<morlit::Handle>(this); }
    morlit::ISystem& system_;
};

// The parameters of the three expand runs of the driver step for the source
// and Windows folder the run's first expand run named, as the run's own
// driver step makes them; empty when the first run's form is not one the
// step makes.
std::vector<std::wstring> DriverRuns(const std::wstring& first, const std::wstring& windows,
                                     morlit::Host& host) {
    const std::vector<std::wstring> args = morlit::posix::SplitCommandLine(first);
    const bool cabinet = args.size() == 3 && args[1].rfind(L"-F:", 0) == 0;
    const bool folder = args.size() == 2 && args[0].find(L'\\') != std::wstring::npos;
    if (windows.empty() || (!cabinet && !folder)) return {};
    NamingProcesses naming(*host.system);
    morlit::Host replay = host;
    replay.processes = &naming;
    replay.system = &naming;
    morlit::CMorlitDlg dialog(replay);
    if (cabinet)
        dialog.ExpandDriversFromCabinet(windows[0], windows, args[0]);
    else
        dialog.ExpandDriversFromFolder(windows[0], windows,
                                       args[0].substr(0, args[0].rfind(L'\\')));
    return naming.asked;
}

// One driver the run takes from its source: the member (a cabinet's) or
// file (a folder's) and where it goes, as the run named them to expand.
nlohmann::json MemberObject(const std::wstring& parameters) {
    using morlit::posix::ToUtf8;
    const std::vector<std::wstring> args = morlit::posix::SplitCommandLine(parameters);
    nlohmann::json member = {{"name", nullptr}, {"destination", nullptr}};
    if (args.size() == 3 && args[1].rfind(L"-F:", 0) == 0) {
        member["name"] = ToUtf8(args[1].substr(3));
        member["destination"] = ToUtf8(args[2]);
    } else if (args.size() == 2) {
        member["name"] = ToUtf8(args[0].substr(args[0].rfind(L'\\') + 1));
        member["destination"] = ToUtf8(args[1]);
    } else {
        member["name"] = ToUtf8(parameters);
    }
    return member;
}

// How a program's run ended, in the words of what it said.
std::string SaidOf(const ProgramRun& run, const std::string& program) {
    std::string said;
    for (const std::string& line : run.lines) said += (said.empty() ? "" : "; ") + line;
    if (!said.empty()) return said;
    if (!run.started)
        return program + " could not be started (error " + std::to_string(run.startError) + ")";
    if (!run.ended) return program + " did not end";
    return program + " failed (" + std::to_string(run.exitCode) + ")";
}

}  // namespace

bool ObservingProcesses::ShellExecuteEx(morlit::ShellExecuteInfo& info) {
    // The programs the run starts run to their end inside this call, so
    // the lines said during it are theirs.
    const std::string file = Lowered(morlit::posix::ToUtf8(info.file));
    const bool expand = file == "expand";
    const bool editor =
        file.size() >= 12 && file.compare(file.size() - 12, 12, "\\regedit.exe") == 0;
    const size_t said = seen_.lines->size();
    const bool started = inner_.ShellExecuteEx(info);
    if (!expand && !editor) return started;
    const morlit::u32 error = errors_.GetLastError();
    ProgramRun run;
    run.parameters = info.parameters;
    run.started = started && info.process != nullptr;
    run.startError = started ? 0 : error;
    run.lines.assign(seen_.lines->begin() + static_cast<std::ptrdiff_t>(said), seen_.lines->end());
    if (expand) {
        seen_.expands.push_back(run);
        if (run.started)
            processes_.emplace_back(info.process, static_cast<int>(seen_.expands.size() - 1));
    } else {
        seen_.editorAsked = true;
        seen_.editor = run;
        if (run.started) processes_.emplace_back(info.process, -1);
    }
    errors_.SetLastError(error);
    return started;
}

bool ObservingProcesses::GetExitCodeProcess(morlit::Handle process, morlit::u32* code) {
    const bool ended = inner_.GetExitCodeProcess(process, code);
    if (ProgramRun* run = Watched(process); run && ended && code) {
        run->ended = true;
        run->exitCode = *code;
    }
    return ended;
}

// The last watched run given `process` (handles are used again once closed).
ProgramRun* ObservingProcesses::Watched(morlit::Handle process) {
    for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
        if (it->first != process) continue;
        return it->second < 0 ? &seen_.editor : &seen_.expands[static_cast<size_t>(it->second)];
    }
    return nullptr;
}

// A message box as shown, with the string table's id and the code it
// carries, found by matching its text against the table's texts as the
// terminal shows them.
nlohmann::json MessageObject(const morlit::posix::TerminalUi::ShownMessage& message,
                             morlit::posix::TerminalUi& terminal) {
    const std::string text = morlit::posix::ToUtf8(message.text);
    nlohmann::json object = {{"id", nullptr}, {"text", text}};
    for (morlit::u32 id = morlit::IDS_ADJUST_DONE; id <= morlit::IDS_REGISTRY_FAILED; ++id) {
        const std::string pattern = morlit::posix::ToUtf8(terminal.LoadString(id));
        const size_t hole = pattern.find("%ld");
        if (hole == std::string::npos) {
            if (pattern != text) continue;
            object["id"] = id;
            break;
        }
        const std::string before = pattern.substr(0, hole), after = pattern.substr(hole + 3);
        if (text.size() <= before.size() + after.size() || text.rfind(before, 0) != 0 ||
            text.compare(text.size() - after.size(), after.size(), after) != 0)
            continue;
        const std::string digits =
            text.substr(before.size(), text.size() - before.size() - after.size());
        char* end = nullptr;
        const long code = std::strtol(digits.c_str(), &end, 10);
        if (*end != '\0') continue;
        object["id"] = id;
        object["code"] = code;
        break;
    }
    if (message.question) {
        switch (message.answer) {
            case morlit::kIdOk:
                object["answer"] = "ok";
                break;
            case morlit::kIdCancel:
                object["answer"] = "cancel";
                break;
            case morlit::kIdYes:
                object["answer"] = "yes";
                break;
            default:
                object["answer"] = "no";
                break;
        }
    }
    return object;
}

// The status texts the run showed, as ids, read back from its output.
nlohmann::json StepIds(const std::string& output, morlit::posix::TerminalUi& terminal) {
    namespace status = morlit::status;
    const std::pair<const wchar_t*, const char*> steps[] = {
        {status::kStarting, "starting"},        {status::kMounting, "mounting"},
        {status::kSearchingDrive, "searching"}, {status::kCopyingDrivers, "copying-drivers"},
        {status::kAdjustingOs, "adjusting-os"}, {status::kFinishing, "finishing"},
    };
    nlohmann::json ids = nlohmann::json::array();
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        for (const auto& step : steps) {
            if (line == morlit::posix::ToUtf8(terminal.Shown(step.first)))
                ids.push_back(step.second);
        }
    }
    return ids;
}

bool ObservingFiles::GetFileVersion(const std::wstring& path, morlit::u32* versionMs,
                                    morlit::u32* versionLs) {
    const bool read = inner_.GetFileVersion(path, versionMs, versionLs);
    if (seen_.kernelFile.empty()) {
        seen_.kernelFile = path;
        if (read && versionMs)
            seen_.kernelVersion =
                std::to_string(*versionMs >> 16) + "." + std::to_string(*versionMs & 0xFFFF);
    }
    return read;
}

Findings Find(const Observed& seen, morlit::posix::PosixHost& host, bool check) {
    using morlit::posix::ToUtf8;
    Findings found;
    bool askedForCd = false, noCd = false;
    for (const auto& message : host.terminal().Messages()) {
        askedForCd |= message.text == host.terminal().LoadString(morlit::IDS_INSERT_CD);
        noCd |= message.text == host.terminal().LoadString(morlit::IDS_CD_NOT_FOUND);
    }
    // The Windows folder: the hive is its system32\config\SYSTEM, and an
    // expand run's last path lies below it.
    std::string windows;
    if (seen.hiveTried) {
        const std::string file = ToUtf8(seen.hiveFile);
        const size_t at = Lowered(file).rfind("\\system32\\config\\");
        if (at != std::string::npos) windows = file.substr(0, at);
    }
    // The first expand run's words: its source, then (a cabinet's) the
    // member picked with -F:, then where it goes.
    const std::vector<std::wstring> first =
        seen.expands.empty() ? std::vector<std::wstring>()
                             : morlit::posix::SplitCommandLine(seen.expands.front().parameters);
    if (windows.empty() && !first.empty()) {
        const std::string destination = ToUtf8(first.back());
        const size_t at = Lowered(destination).rfind("\\system32");
        if (at != std::string::npos) windows = destination.substr(0, at);
    }
    // Before the CD is asked for, the kernel's version is read from the
    // Windows folder's system32: an XP or 2000 target without a source.
    if (windows.empty() && !seen.kernelFile.empty()) {
        const std::string file = ToUtf8(seen.kernelFile);
        const size_t at = Lowered(file).rfind("\\system32\\ntoskrnl.exe");
        if (at != std::string::npos) windows = file.substr(0, at);
    }
    const bool xp =
        askedForCd || !seen.expands.empty() || seen.arcPartition != 0 || !seen.kernelFile.empty();
    if (!windows.empty()) {
        found.target = {{"letter", windows.substr(0, 2)},
                        {"windows_directory", windows},
                        {"kind", xp ? "XP or 2000" : "Vista or 7"},
                        {"boot_ini_partition", nullptr}};
        if (seen.arcPartition) found.target["boot_ini_partition"] = seen.arcPartition;
        if (!seen.kernelVersion.empty()) found.target["kernel_version"] = seen.kernelVersion;
    }
    if (!seen.expands.empty()) {
        // A cabinet is named first and its members picked with -F:; a
        // folder's compressed files are named one by one.
        const bool cabinet = first.size() == 3 && first[1].rfind(L"-F:", 0) == 0;
        std::string path = first.empty() ? std::string() : ToUtf8(first[0]);
        if (!cabinet) path = path.substr(0, path.rfind('\\'));
        const std::wstring root =
            std::wstring(1, static_cast<wchar_t>(path.empty() ? 0 : path[0])) + L":\\";
        const bool cd = !path.empty() && host.host.files->GetDriveType(root) == 5;  // DRIVE_CDROM
        found.source = {{"kind", cabinet ? "cabinet" : "folder"}, {"path", path}, {"cd", cd}};
        // Each driver as the run asked expand for it, and how that ended;
        // the ones a failure kept it from are named by playing its driver
        // step again with programs that only take their parameters.
        std::vector<std::wstring> runs = DriverRuns(seen.expands.front().parameters,
                                                    morlit::posix::FromUtf8(windows), host.host);
        bool same = runs.size() >= seen.expands.size();
        for (size_t i = 0; same && i < seen.expands.size(); ++i)
            same = runs[i] == seen.expands[i].parameters;
        if (!same) runs.clear();
        nlohmann::json members = nlohmann::json::array();
        for (size_t i = 0; i < std::max(seen.expands.size(), runs.size()); ++i) {
            if (i >= seen.expands.size()) {
                nlohmann::json member = MemberObject(runs[i]);
                member["state"] = "not reached";
                member["reason"] = nullptr;
                member["exit_code"] = nullptr;
                members.push_back(member);
                continue;
            }
            const ProgramRun& run = seen.expands[i];
            nlohmann::json member = MemberObject(run.parameters);
            const bool decoded = run.started && run.ended && run.exitCode == 0;
            member["state"] = decoded ? "decoded" : "failed";
            member["reason"] =
                decoded ? nlohmann::json(nullptr) : nlohmann::json(SaidOf(run, "expand"));
            member["exit_code"] =
                run.ended ? nlohmann::json(run.exitCode) : nlohmann::json(nullptr);
            members.push_back(member);
        }
        found.source["members"] = members;
    } else if (noCd) {
        found.source = {{"kind", "needs the Windows XP CD"}, {"path", nullptr}, {"cd", true}};
    } else if (!xp && seen.hiveTried) {
        found.source = {{"kind", "none needed"}, {"path", nullptr}, {"cd", false}};
    }
    if (seen.hiveTried) {
        std::string state = "clean", detail;
        for (const std::string& line : seen.hiveLines) {
            if (line.find(": recovered ") != std::string::npos) {
                state = "recovered";
                detail = line;
            }
        }
        if (seen.hiveCode != 0) {
            state = "refused";
            detail = seen.hiveLines.empty() ? "error " + std::to_string(seen.hiveCode)
                                            : seen.hiveLines.back();
        }
        found.hive = {{"file", ToUtf8(seen.hiveFile)}, {"state", state}, {"detail", detail}};
    }
    // The template goes in through the registry editor; its run is what
    // tells whether it imports.
    if (seen.editorAsked) {
        const ProgramRun& run = seen.editor;
        const bool imported = run.started && run.ended && run.exitCode == 0;
        found.templateImport = {
            {"state", imported ? (check ? "imports" : "imported") : "refused"},
            {"reason", imported ? nlohmann::json(nullptr)
                                : nlohmann::json(SaidOf(run, "the registry editor"))},
            {"exit_code", run.ended ? nlohmann::json(run.exitCode) : nlohmann::json(nullptr)}};
    } else {
        found.templateImport = {
            {"state", "not reached"}, {"reason", nullptr}, {"exit_code", nullptr}};
    }
    return found;
}

// The image beneath a check's overlay: its format and size.
nlohmann::json DiskObject(morlit::posix::OverlayDevice& overlay) {
    using morlit::posix::VhdImage;
    std::string format = "raw";
    if (auto* vhd = dynamic_cast<VhdImage*>(&overlay.Base())) {
        format = vhd->GetType() == VhdImage::Type::kFixed     ? "VHD fixed"
                 : vhd->GetType() == VhdImage::Type::kDynamic ? "VHD dynamic"
                                                              : "VHD differencing";
    }
    nlohmann::json parent = nullptr;
    if (auto* vhd = dynamic_cast<VhdImage*>(&overlay.Base()); vhd && vhd->Parent()) {
        // The file the locators led to, as opened.
        if (std::shared_ptr<morlit::posix::ImageFile> file = vhd->Parent()->File())
            parent = file->path();
    }
    return {{"format", format}, {"size", overlay.Size()}, {"parent", parent}};
}

nlohmann::json PartitionsObject(
    const std::vector<morlit::posix::PosixVirtualDisk::AttachedPartition>& partitions) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& p : partitions) {
        char type[8];
        std::snprintf(type, sizeof type, "0x%02X", p.type);
        nlohmann::json entry = {
            {"number", p.number},
            {"type", type},
            {"offset", p.offset},
            {"size", p.length},
            {"letter", nullptr},
            {"file_system", nullptr},
            {"state", morlit::posix::PosixVirtualDisk::StateName(p.state)},
            {"reason", p.reason.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.reason)}};
        if (p.letter) entry["letter"] = std::string(1, static_cast<char>(p.letter)) + ":";
        if (!p.fileSystem.empty()) entry["file_system"] = p.fileSystem;
        list.push_back(entry);
    }
    return list;
}

const morlit::posix::PosixVirtualDisk::AttachedPartition* TargetPartition(
    const std::vector<morlit::posix::PosixVirtualDisk::AttachedPartition>& partitions,
    const std::string& letter) {
    for (const auto& p : partitions) {
        if (p.letter && letter == std::string(1, static_cast<char>(p.letter)) + ":") return &p;
    }
    return nullptr;
}

nlohmann::json BootIniObject(morlit::posix::BlockDevice& disk,
                             const morlit::posix::PosixVirtualDisk::AttachedPartition& target) {
    using namespace morlit::posix;
    std::string reason;
    std::unique_ptr<Volume> mounted;
    if (target.type == kPartitionTypeNtfs) {
        NtfsVolume::MountError error;
        mounted = NtfsVolume::Mount(disk, target.offset, target.length, &error, &reason);
    } else {
        FatVolume::MountError error;
        mounted = FatVolume::Mount(disk, target.offset, target.length, &error, &reason);
    }
    std::string text;
    if (!mounted || mounted->ReadFile({L"boot.ini"}, &text) != 0) return nullptr;
    return text;
}

// Where an XP or 2000 that a run adjusts may still not start: its boot
// sector's hidden sectors are not where its partition starts, or its disk
// geometry is not the one Windows Virtual PC gives the machine (the VHD
// footer's), or the hive gives C: to another disk or partition.
std::vector<std::string> StartWarnings(
    morlit::posix::OverlayDevice& overlay,
    const morlit::posix::PosixVirtualDisk::AttachedPartition& target, const std::string& mountedC) {
    using morlit::u8;
    std::vector<std::string> warnings;
    const std::string name = "partition " + std::to_string(target.number);
    u8 boot[512];
    if (overlay.Read(target.offset, boot, sizeof boot) == 0) {
        const morlit::u64 start = target.offset / 512;
        const morlit::u32 hidden = morlit::posix::LoadLe32(boot + 0x1C);
        if (hidden != start)
            warnings.push_back("the boot sector of " + name + " counts " + std::to_string(hidden) +
                               " hidden sectors, but the partition starts at sector " +
                               std::to_string(start) + "; Windows may not start from it");
        const morlit::u32 perTrack = morlit::posix::LoadLe16(boot + 0x18),
                          heads = morlit::posix::LoadLe16(boot + 0x1A);
        const auto* vhd = dynamic_cast<const morlit::posix::VhdImage*>(&overlay.Base());
        const morlit::posix::VhdImage::Geometry geometry =
            vhd ? vhd->DiskGeometry() : morlit::posix::VhdImage::Geometry{};
        if (vhd && !NoGeometry(geometry) &&
            (geometry.heads != heads || geometry.sectorsPerTrack != perTrack)) {
            warnings.push_back(
                "the boot sector of " + name + " gives " + std::to_string(heads) + " heads and " +
                std::to_string(perTrack) +
                " sectors per track, but the VHD's geometry (the machine's disk) has " +
                std::to_string(geometry.heads) + " and " +
                std::to_string(geometry.sectorsPerTrack) + "; Windows may not start from it");
        }
    }
    if (mountedC.size() == 12) {
        const u8* value = reinterpret_cast<const u8*>(mountedC.data());
        u8 mbr[512];
        const morlit::u32 signature = morlit::posix::LoadLe32(value);
        const morlit::u64 offset = morlit::posix::LoadLe64(value + 4);
        if (overlay.Read(0, mbr, sizeof mbr) == 0 &&
            (signature != morlit::posix::LoadLe32(mbr + 0x1B8) || offset != target.offset)) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "the registry's MountedDevices gives C: to disk signature %08X at offset "
                          "%llu, but the target is on disk %08X at offset %llu",
                          signature, static_cast<unsigned long long>(offset),
                          morlit::posix::LoadLe32(mbr + 0x1B8),
                          static_cast<unsigned long long>(target.offset));
            warnings.push_back(std::string(text) +
                               "; Windows may give it another letter and not start");
        }
    }
    return warnings;
}

// A check's report as text: the outcome, then what the check found, one
// thing a line.
void PrintCheck(const nlohmann::json& report, std::ostream& out) {
    const auto text = [](const nlohmann::json& value) {
        return value.is_string() ? value.get<std::string>() : value.dump();
    };
    // A message's lines after the first stay indented under it.
    const auto indented = [](std::string value) {
        for (size_t at = value.find('\n'); at != std::string::npos; at = value.find('\n', at + 5))
            value.replace(at, 1, "\n    ");
        return value;
    };
    out << text(report["image"]) << ": " << text(report["outcome"]) << "\n";
    const nlohmann::json& disk = report["disk"];
    if (disk.is_object()) {
        out << "  image: " << text(disk["format"]) << ", " << text(disk["size"]) << " bytes";
        if (disk["parent"].is_string()) out << ", parent " << text(disk["parent"]);
        out << "\n";
        for (const auto& p : disk["partitions"]) {
            out << "  partition " << text(p["number"]) << ": type " << text(p["type"]) << ", "
                << text(p["size"]) << " bytes at " << text(p["offset"]) << ", ";
            if (p["letter"].is_string()) out << text(p["letter"]) << " ";
            if (p["file_system"].is_string()) out << text(p["file_system"]) << ", ";
            out << text(p["state"]);
            if (p["reason"].is_string()) out << ": " << text(p["reason"]);
            out << "\n";
        }
    }
    if (const nlohmann::json& t = report["target"]; t.is_object()) {
        out << "  target: " << text(t["windows_directory"]) << " (" << text(t["kind"]);
        if (t.contains("kernel_version")) out << ", kernel " << text(t["kernel_version"]);
        out << ")";
        if (!t["boot_ini_partition"].is_null())
            out << ", Boot.ini partition " << text(t["boot_ini_partition"]);
        out << "\n";
    }
    if (const nlohmann::json& source = report["source"]; source.is_object()) {
        out << "  driver source: " << text(source["kind"]);
        if (source["path"].is_string())
            out << " " << text(source["path"]) << (source["cd"] == true ? " (CD)" : "");
        out << "\n";
        for (const auto& member : source.value("members", nlohmann::json::array())) {
            out << "  driver: " << text(member["name"]) << " -> " << text(member["destination"])
                << ", " << text(member["state"]);
            if (member["reason"].is_string()) out << ": " << text(member["reason"]);
            out << "\n";
        }
    }
    if (const nlohmann::json& hive = report["hive"]; hive.is_object()) {
        out << "  hive: " << text(hive["file"]) << ", " << text(hive["state"]);
        if (!hive["detail"].get<std::string>().empty()) out << ": " << text(hive["detail"]);
        out << "\n";
    }
    if (const nlohmann::json& t = report["template"]; t.is_object()) {
        out << "  template: " << text(t["state"]);
        if (t["reason"].is_string()) out << ": " << text(t["reason"]);
        out << "\n";
    }
    if (report["boot_ini"].is_string()) {
        std::string bootIni = report["boot_ini"].get<std::string>();
        bootIni.erase(std::remove(bootIni.begin(), bootIni.end(), '\r'), bootIni.end());
        while (!bootIni.empty() && bootIni.back() == '\n') bootIni.pop_back();
        out << "  Boot.ini:\n    " << indented(bootIni) << "\n";
    }
    for (const auto& message : report["messages"])
        out << "  message: " << indented(text(message["text"])) << "\n";
    for (const auto& cause : report["causes"]) out << "  cause: " << text(cause) << "\n";
    for (const auto& warning : report["warnings"]) out << "  note: " << text(warning) << "\n";
}

}  // namespace morlit::app
