// What a check or a --json run reports, observed on the run's way: thin
// decorators of the host's services that record what the run asked, and the
// report objects made from that and from the image beneath a check.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "platform/constants.h"
#include "platform/host.h"
#include "platform/posix/disk/overlay_device.h"
#include "platform/posix/disk/partition_table.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/terminal_ui.h"

namespace morlit::app {

// What the run asked of the host that tells what it found: the hive it
// loaded, the expand runs that took the drivers from their source, the
// registry editor's run of the template, and the partition number Boot.ini
// names. Each observer hands the call on unchanged.
// One run of a program the run starts: what it was given and how it ended.
struct ProgramRun {
    std::wstring parameters;
    bool started = false;        // ShellExecuteEx gave a process
    morlit::u32 startError = 0;  // the last error when it did not
    bool ended = false;          // its exit code was read
    morlit::u32 exitCode = 0;
    std::vector<std::string> lines;  // said while it ran
};

struct Observed {
    std::wstring hiveFile;
    bool hiveTried = false;
    morlit::u32 hiveCode = 0;
    std::vector<std::string> hiveLines;
    std::vector<ProgramRun> expands;  // in the order asked
    bool editorAsked = false;         // the registry editor was started for the template
    ProgramRun editor;
    morlit::u32 arcPartition = 0;
    // The kernel whose file version the run read before asking for the XP
    // CD, and that version (major.minor) when it could be read.
    std::wstring kernelFile;
    std::string kernelVersion;
    const std::vector<std::string>* lines = nullptr;  // every line said, as it grows
    // With a check: the disk signature and partition offset the loaded
    // hive's MountedDevices gives C:, when it names them so (12 bytes).
    bool readMountedDevices = false;
    std::string mountedC;
};

class ObservingRegistry : public morlit::IRegistry {
  public:
    ObservingRegistry(morlit::IRegistry& inner, Observed& seen) : inner_(inner), seen_(seen) {}
    morlit::u32 RegLoadKey(morlit::RegKey root, const std::wstring& subKey,
                           const std::wstring& file) override {
        const size_t said = seen_.lines->size();
        const morlit::u32 code = inner_.RegLoadKey(root, subKey, file);
        seen_.hiveTried = true;
        seen_.hiveFile = file;
        seen_.hiveCode = code;
        seen_.hiveLines.assign(seen_.lines->begin() + static_cast<std::ptrdiff_t>(said),
                               seen_.lines->end());
        if (code == 0 && seen_.readMountedDevices) {
            // Only read: opening a key and querying a value change nothing.
            morlit::RegKey key = 0;
            if (inner_.RegOpenKeyEx(root, subKey + L"\\MountedDevices", 0, morlit::kKeyRead,
                                    &key) == 0) {
                morlit::u8 data[64];
                morlit::u32 type = 0, size = sizeof data;
                if (inner_.RegQueryValueEx(key, L"\\DosDevices\\C:", &type, data, &size) == 0 &&
                    type == morlit::kRegBinary && size == 12)
                    seen_.mountedC.assign(reinterpret_cast<const char*>(data), size);
                inner_.RegCloseKey(key);
            }
        }
        return code;
    }
    morlit::u32 RegUnLoadKey(morlit::RegKey root, const std::wstring& subKey) override {
        return inner_.RegUnLoadKey(root, subKey);
    }
    morlit::u32 RegOpenKeyEx(morlit::RegKey root, const std::wstring& subKey, morlit::u32 options,
                             morlit::u32 sam, morlit::RegKey* key) override {
        return inner_.RegOpenKeyEx(root, subKey, options, sam, key);
    }
    morlit::u32 RegQueryValueEx(morlit::RegKey key, const std::wstring& name, morlit::u32* type,
                                morlit::u8* data, morlit::u32* size) override {
        return inner_.RegQueryValueEx(key, name, type, data, size);
    }
    morlit::u32 RegCloseKey(morlit::RegKey key) override { return inner_.RegCloseKey(key); }

  private:
    morlit::IRegistry& inner_;
    Observed& seen_;
};

class ObservingProcesses : public morlit::IProcesses {
  public:
    ObservingProcesses(morlit::IProcesses& inner, Observed& seen, morlit::IErrors& errors)
        : inner_(inner), seen_(seen), errors_(errors) {}
    bool ShellExecuteEx(morlit::ShellExecuteInfo& info) override;
    morlit::u32 WaitForSingleObject(morlit::Handle handle, morlit::u32 milliseconds) override {
        return inner_.WaitForSingleObject(handle, milliseconds);
    }
    bool GetExitCodeProcess(morlit::Handle process, morlit::u32* code) override;

  private:
    ProgramRun* Watched(morlit::Handle process);
    morlit::IProcesses& inner_;
    Observed& seen_;
    morlit::IErrors& errors_;
    // The process each watched run was given: an index into the expand
    // runs, or -1 for the registry editor.
    std::vector<std::pair<morlit::Handle, int>> processes_;
};

class ObservingPartitions : public morlit::IPartitions {
  public:
    ObservingPartitions(morlit::IPartitions& inner, Observed& seen) : inner_(inner), seen_(seen) {}
    morlit::u32 QueryArcPartitionNumber(morlit::u8 diskNumber, wchar_t letter,
                                        morlit::u32* number) override {
        const morlit::u32 code = inner_.QueryArcPartitionNumber(diskNumber, letter, number);
        if (code == 0 && number) seen_.arcPartition = *number;
        return code;
    }

  private:
    morlit::IPartitions& inner_;
    Observed& seen_;
};

// The run's file calls, handed on; only the version read is recorded.
class ObservingFiles : public morlit::IFiles {
  public:
    ObservingFiles(morlit::IFiles& inner, Observed& seen) : inner_(inner), seen_(seen) {}
    std::unique_ptr<morlit::IFileFind> NewFileFind() override { return inner_.NewFileFind(); }
    bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) override {
        return inner_.CopyFile(from, to, failIfExists);
    }
    bool DeleteFile(const std::wstring& path) override { return inner_.DeleteFile(path); }
    bool GetAttributes(const std::wstring& path, morlit::u8* attributes) override {
        return inner_.GetAttributes(path, attributes);
    }
    bool SetAttributes(const std::wstring& path, morlit::u8 attributes) override {
        return inner_.SetAttributes(path, attributes);
    }
    morlit::Handle CreateFile(const std::wstring& path, morlit::u32 access, morlit::u32 share,
                              morlit::u32 disposition, morlit::u32 flags) override {
        return inner_.CreateFile(path, access, share, disposition, flags);
    }
    bool DeviceIoControl(morlit::Handle file, morlit::u32 code, const void* in, morlit::u32 inSize,
                         void* out, morlit::u32 outSize, morlit::u32* returned) override {
        return inner_.DeviceIoControl(file, code, in, inSize, out, outSize, returned);
    }
    morlit::u32 GetLogicalDriveStrings(morlit::u32 bufferChars, wchar_t* buffer) override {
        return inner_.GetLogicalDriveStrings(bufferChars, buffer);
    }
    morlit::u32 GetDriveType(const std::wstring& root) override {
        return inner_.GetDriveType(root);
    }
    std::unique_ptr<morlit::IFileStream> OpenStream(const std::wstring& path,
                                                    const char* mode) override {
        return inner_.OpenStream(path, mode);
    }
    bool GetFileVersion(const std::wstring& path, morlit::u32* versionMs,
                        morlit::u32* versionLs) override;

  private:
    morlit::IFiles& inner_;
    Observed& seen_;
};

// The target, the driver source and the hive as the run's calls showed
// them; null where the run did not get that far.
struct Findings {
    nlohmann::json target = nullptr, source = nullptr, hive = nullptr;
    nlohmann::json templateImport = nullptr;  // whether the registry template imports
};

// A message box as shown, with the string table's id and the code it
// carries, found by matching its text against the table's texts as the
// terminal shows them.
nlohmann::json MessageObject(const morlit::posix::TerminalUi::ShownMessage& message,
                             morlit::posix::TerminalUi& terminal);

// The status texts the run showed, as ids, read back from its output.
nlohmann::json StepIds(const std::string& output, morlit::posix::TerminalUi& terminal);

// What the run's calls showed; `check`: the run was a check's, whose
// writes stay in memory.
Findings Find(const Observed& seen, morlit::posix::PosixHost& host, bool check);

// The image beneath a check's overlay: its format and size.
nlohmann::json DiskObject(morlit::posix::OverlayDevice& overlay);

// Each partition of the disk as the run's attach left it: the letter it
// got, else its state and the line that said why it got none.
nlohmann::json PartitionsObject(
    const std::vector<morlit::posix::PosixVirtualDisk::AttachedPartition>& partitions);

// The partition the run's attach gave drive letter `letter` ("E:"); null
// when none got it.
const morlit::posix::PosixVirtualDisk::AttachedPartition* TargetPartition(
    const std::vector<morlit::posix::PosixVirtualDisk::AttachedPartition>& partitions,
    const std::string& letter);

// The Boot.ini the run left on the target's volume, read back from the
// overlay; null when there is none to read.
nlohmann::json BootIniObject(morlit::posix::BlockDevice& disk,
                             const morlit::posix::PosixVirtualDisk::AttachedPartition& target);

// Where an XP or 2000 that a run adjusts may still not start: its boot
// sector's hidden sectors are not where its partition starts, or its disk
// geometry is not the one Windows Virtual PC gives the machine (the VHD
// footer's), or the hive gives C: to another disk or partition.
std::vector<std::string> StartWarnings(
    morlit::posix::OverlayDevice& overlay,
    const morlit::posix::PosixVirtualDisk::AttachedPartition& target, const std::string& mountedC);

// A check's report as text: the outcome, then what the check found, one
// thing a line.
void PrintCheck(const nlohmann::json& report, std::ostream& out);

}  // namespace morlit::app
