#include "app/check_report.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/posix/disk/byte_order.h"
#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/vhd.h"
#include "platform/posix/fs/fat_volume.h"
#include "platform/posix/fs/ntfs_volume.h"
#include "ui/texts.h"

namespace morlit::app {

namespace {

std::string Lowered(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The volume list's entry of partition `number` ("D: (NTFS, partition 1,
// 500 MiB)"), empty when it got no letter.
std::string VolumeOf(const std::vector<std::string>& volumes, int number) {
    const std::string mark = ", partition " + std::to_string(number) + ",";
    for (const std::string& volume : volumes)
        if (volume.find(mark) != std::string::npos) return volume;
    return std::string();
}

// 65535 cylinders, 16 heads, 255 sectors: the geometry qemu writes when the
// disk's size is in the footer's current size alone; it names no geometry a
// boot sector could match.
bool NoGeometry(const morlit::u8* footer) {
    return footer[56] == 0xFF && footer[57] == 0xFF && footer[58] == 16 && footer[59] == 255;
}

}  // namespace

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

Findings Find(const Observed& seen, morlit::posix::PosixHost& host) {
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
    if (windows.empty() && !seen.expands.empty()) {
        const std::string parameters = ToUtf8(seen.expands.front());
        const size_t open = parameters.rfind('"', parameters.size() - 2);
        const std::string destination = parameters.substr(open + 1, parameters.size() - open - 2);
        const size_t at = Lowered(destination).rfind("\\system32");
        if (at != std::string::npos) windows = destination.substr(0, at);
    }
    const bool xp = askedForCd || !seen.expands.empty() || seen.arcPartition != 0;
    if (!windows.empty()) {
        found.target = {{"letter", windows.substr(0, 2)},
                        {"windows_directory", windows},
                        {"kind", xp ? "XP or 2000" : "Vista or 7"},
                        {"boot_ini_partition", nullptr}};
        if (seen.arcPartition) found.target["boot_ini_partition"] = seen.arcPartition;
    }
    if (!seen.expands.empty()) {
        // A cabinet is named first and its members picked with -F:; a
        // folder's compressed files are named one by one.
        const std::string parameters = ToUtf8(seen.expands.front());
        const size_t end = parameters.find('"', 1);
        std::string path = parameters.substr(1, end == std::string::npos ? 0 : end - 1);
        const bool cabinet = parameters.find("\" -F:") != std::string::npos;
        if (!cabinet) path = path.substr(0, path.rfind('\\'));
        const std::wstring root =
            std::wstring(1, static_cast<wchar_t>(path.empty() ? 0 : path[0])) + L":\\";
        const bool cd = !path.empty() && host.host.files->GetDriveType(root) == 5;  // DRIVE_CDROM
        found.source = {{"kind", cabinet ? "cabinet" : "folder"}, {"path", path}, {"cd", cd}};
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

// Each partition of the disk as the check's attach saw it: with the letter
// it got, or the line that said why it got none.
nlohmann::json PartitionsObject(morlit::posix::BlockDevice& disk,
                                const std::vector<std::string>& volumes,
                                const std::vector<std::string>& attachLines) {
    using namespace morlit::posix;
    nlohmann::json list = nlohmann::json::array();
    std::vector<Partition> partitions;
    std::string reason;
    std::vector<std::string> warnings;
    if (ReadPartitionTable(disk, &partitions, &reason, &warnings) != 0) return list;
    for (const Partition& p : partitions) {
        char type[8];
        std::snprintf(type, sizeof type, "0x%02X", p.type);
        nlohmann::json entry = {{"number", p.number}, {"type", type},      {"offset", p.offset},
                                {"size", p.length},   {"letter", nullptr}, {"state", "clean"}};
        const std::string volume = VolumeOf(volumes, p.number);
        if (!volume.empty()) {
            entry["letter"] = volume.substr(0, 2);
            entry["file_system"] = volume.substr(4, volume.find(',') - 4);
        } else {
            const std::string name = "partition " + std::to_string(p.number) + " ";
            std::string why = "no letter";
            for (const std::string& line : attachLines)
                if (line.find(name) != std::string::npos) why = "no letter: " + line;
            entry["state"] = why;
        }
        list.push_back(entry);
    }
    return list;
}

// The Boot.ini the run left on the target's volume, read back from the
// overlay; null when there is none to read.
nlohmann::json BootIniObject(morlit::posix::BlockDevice& disk,
                             const std::vector<std::string>& volumes, const std::string& letter) {
    using namespace morlit::posix;
    std::vector<Partition> partitions;
    std::string reason;
    std::vector<std::string> warnings;
    if (letter.empty() || ReadPartitionTable(disk, &partitions, &reason, &warnings) != 0)
        return nullptr;
    for (const Partition& p : partitions) {
        const std::string volume = VolumeOf(volumes, p.number);
        if (volume.rfind(letter, 0) != 0) continue;
        std::unique_ptr<Volume> mounted;
        if (p.type == kPartitionTypeNtfs) {
            NtfsVolume::MountError error;
            mounted = NtfsVolume::Mount(disk, p.offset, p.length, &error, &reason);
        } else {
            FatVolume::MountError error;
            mounted = FatVolume::Mount(disk, p.offset, p.length, &error, &reason);
        }
        std::string text;
        if (!mounted || mounted->ReadFile({L"boot.ini"}, &text) != 0) return nullptr;
        return text;
    }
    return nullptr;
}

// The partition of the volume with drive letter `letter` ("E:"); false
// when there is none.
bool TargetPartition(morlit::posix::BlockDevice& disk, const std::vector<std::string>& volumes,
                     const std::string& letter, morlit::posix::Partition* found) {
    using namespace morlit::posix;
    std::vector<Partition> partitions;
    std::string reason;
    std::vector<std::string> warnings;
    if (letter.empty() || ReadPartitionTable(disk, &partitions, &reason, &warnings) != 0)
        return false;
    for (const Partition& p : partitions) {
        if (VolumeOf(volumes, p.number).rfind(letter, 0) != 0) continue;
        *found = p;
        return true;
    }
    return false;
}

// Where an XP or 2000 that a run adjusts may still not start: its boot
// sector's hidden sectors are not where its partition starts, or its disk
// geometry is not the one Windows Virtual PC gives the machine (the VHD
// footer's), or the hive gives C: to another disk or partition.
std::vector<std::string> StartWarnings(morlit::posix::OverlayDevice& overlay,
                                       const morlit::posix::Partition& target,
                                       const std::string& mountedC) {
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
        std::shared_ptr<morlit::posix::ImageFile> file = overlay.Base().File();
        struct stat st {};
        u8 footer[512];
        if (file && ::fstat(file->fd(), &st) == 0 && st.st_size >= 512 &&
            file->Read(footer, sizeof footer, static_cast<morlit::u64>(st.st_size) - 512) == 0 &&
            std::memcmp(footer, "conectix", 8) == 0 && !NoGeometry(footer) &&
            (footer[58] != heads || footer[59] != perTrack)) {
            warnings.push_back(
                "the boot sector of " + name + " gives " + std::to_string(heads) + " heads and " +
                std::to_string(perTrack) +
                " sectors per track, but the VHD's geometry (the machine's disk) has " +
                std::to_string(footer[58]) + " and " + std::to_string(footer[59]) +
                "; Windows may not start from it");
        }
    }
    if (mountedC.size() == 12) {
        const u8* value = reinterpret_cast<const u8*>(mountedC.data());
        u8 mbr[512];
        const morlit::u32 signature = morlit::posix::LoadLe32(value);
        const morlit::u64 offset = morlit::u64{morlit::posix::LoadLe32(value + 4)} |
                                   morlit::u64{morlit::posix::LoadLe32(value + 8)} << 32;
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
            if (p["letter"].is_string())
                out << text(p["letter"]) << " " << text(p["file_system"]) << ", "
                    << text(p["state"]) << "\n";
            else
                out << text(p["state"]) << "\n";
        }
    }
    if (const nlohmann::json& t = report["target"]; t.is_object()) {
        out << "  target: " << text(t["windows_directory"]) << " (" << text(t["kind"]) << ")";
        if (!t["boot_ini_partition"].is_null())
            out << ", Boot.ini partition " << text(t["boot_ini_partition"]);
        out << "\n";
    }
    if (const nlohmann::json& source = report["source"]; source.is_object()) {
        out << "  driver source: " << text(source["kind"]);
        if (source["path"].is_string())
            out << " " << text(source["path"]) << (source["cd"] == true ? " (CD)" : "");
        out << "\n";
    }
    if (const nlohmann::json& hive = report["hive"]; hive.is_object()) {
        out << "  hive: " << text(hive["file"]) << ", " << text(hive["state"]);
        if (!hive["detail"].get<std::string>().empty()) out << ": " << text(hive["detail"]);
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
