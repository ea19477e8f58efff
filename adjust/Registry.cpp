// Registry hive adjustment: back up the target's SYSTEM hive, load it under
// HKLM\VirtualPC, read its default control set and import the rewritten
// template with the host's registry editor.
#include <cstring>

#include "platform/utf8.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit {

namespace {

// Why an adjustment of the registry failed, as message 140 shows it.
constexpr u32 kCodeLoadFailed = 1;
constexpr u32 kCodeNoControlSet = 2;
constexpr u32 kCodeImportFile = 3;
constexpr u32 kCodeEditorFailed = 4;
constexpr u32 kCodeUnloadFailed = 5;

// The editor gets this long, after the fixed pause, to finish its import.
constexpr u32 kEditorPauseMs = 3000;
constexpr u32 kEditorWaitMs = 60000;

// A refused unload is tried this often in all, this long apart.
constexpr int kUnloadAttempts = 5;
constexpr u32 kUnloadRetryMs = 500;

// The editor's path and its parameters each had to fit 260 characters with
// the terminator: "\Regedit.exe" is 12 characters, "/s \"\"" 5.
constexpr size_t kMaxWindowsDirectory = kMaxPath - 1 - 12;
constexpr size_t kMaxImportPath = kMaxPath - 1 - 5;

// The registry editor in the host's Windows folder; empty when the folder
// cannot be found or leaves no room for the editor's name.
std::wstring EditorPath(ISystem& system) {
    std::wstring folder;
    if (!system.GetWindowsDirectory(folder) || folder.empty() ||
        folder.size() > kMaxWindowsDirectory)
        return std::wstring();
    return folder + L"\\Regedit.exe";
}

}  // namespace

int CMorlitDlg::AdjustTargetRegistry(wchar_t /*letter*/, std::wstring windowsDirectory) {
    ShowProgress(RunStep::kAdjustingOs);
    EnableBackupRestorePrivileges();

    const std::wstring hive = windowsDirectory + L"\\system32\\config\\system";
    const std::wstring backup = hive + L"_back";
    // Never overwrite an existing backup: it holds the hive as it was before
    // the first adjustment. A failed copy does not stop the adjustment.
    const bool backedUp = m_host.files->CopyFile(hive, backup, true);
    // An existing backup is the expected refusal; any other is said, since
    // the user would otherwise believe a backup was made.
    const u32 backupError = backedUp ? 0 : m_host.errors->GetLastError();
    if (!backedUp && backupError != err::kFileExists) {
        SayWarning(m_host, "the system hive could not be copied to system_back (error " +
                               std::to_string(backupError) + "); it is adjusted without a backup");
    }

    if (m_host.registry->RegLoadKey(kHKeyLocalMachine, L"VirtualPC", hive) != err::kSuccess) {
        // The hive was never touched. A backup this run made of a file that
        // cannot be loaded would otherwise stay, and every later run would
        // keep it instead of backing up the hive it really changes. A backup
        // from an earlier run is never touched.
        if (backedUp) m_host.files->DeleteFile(backup);
        ShowCodeMessage(IDS_REGISTRY_FAILED, kCodeLoadFailed);
        return 0;
    }
    m_bHiveLoaded = true;

    u32 controlSet = 0;
    if (!ReadDefaultControlSet(controlSet)) {
        SayCause(m_host, CauseKind::kBadHive,
                 "the hive " + Utf8FromWide(hive) +
                     " names no default control set: Select\\Default is missing or is not a "
                     "DWORD from 1 to 999");
        ShowCodeMessage(IDS_REGISTRY_FAILED, kCodeNoControlSet);
        return 0;
    }

    bool written = false;
    const std::wstring importFile = RewriteControlSetTemplate(controlSet, &written);
    // The import file goes in every case, whatever happened to it.
    auto fail = [&](u32 code) {
        if (!importFile.empty()) m_host.files->DeleteFile(importFile);
        ShowCodeMessage(IDS_REGISTRY_FAILED, code);
        return 0;
    };
    if (!written || importFile.size() > kMaxImportPath) {
        SayCause(m_host, CauseKind::kTemplate,
                 "the import file beside the program could not be written from the registry "
                 "template");
        return fail(kCodeImportFile);
    }

    const std::wstring editor = EditorPath(*m_host.system);
    if (editor.empty()) return fail(kCodeEditorFailed);

    ShellExecuteInfo run;
    run.mask = kSeeMaskNoCloseProcess;
    run.verb = L"open";
    run.file = editor;
    run.parameters = L"/s \"" + importFile + L"\"";
    run.show = kSwShow;
    if (!m_host.processes->ShellExecuteEx(run) || run.process == nullptr) {
        return fail(kCodeEditorFailed);
    }

    m_host.clock->Sleep(kEditorPauseMs);
    const u32 waited = m_host.processes->WaitForSingleObject(run.process, kEditorWaitMs);
    u32 exitCode = kStillActive;
    const bool gotCode = m_host.processes->GetExitCodeProcess(run.process, &exitCode);
    m_host.system->CloseHandle(run.process);
    if (waited != kWaitObject0 || !gotCode) {
        SayCause(m_host, CauseKind::kProgramFailed,
                 "the registry editor did not end within " + std::to_string(kEditorWaitMs / 1000) +
                     " seconds");
        return fail(kCodeEditorFailed);
    }
    // A failing editor says why itself, where the host can tell.
    if (exitCode != 0) return fail(kCodeEditorFailed);

    m_host.files->DeleteFile(importFile);
    return 1;
}

int CMorlitDlg::CheckRegistryInputs() {
    // The same limits the step itself applies, asked before anything on the
    // target changes: on Windows nothing written can be taken back.
    const std::wstring directory = ExecutableDirectory();
    const std::wstring importFile = directory.empty() ? std::wstring() : directory + L"Morlit.reg";
    std::unique_ptr<IFileStream> in;
    if (!directory.empty()) in = m_host.files->OpenStream(directory + L"Dravmont.bin", "r");
    // Read to its end: a read error is found now, not half-way through the
    // import file.
    bool readable = in != nullptr;
    if (readable) {
        char piece[256];
        while (in->Gets(piece, sizeof piece)) {
        }
        readable = in->Eof();
        in.reset();
    }
    if (!readable || importFile.size() > kMaxImportPath) {
        SayCause(m_host, CauseKind::kTemplate,
                 !readable ? "the registry template Dravmont.bin beside the program cannot be read"
                           : "the import file's path beside the program is too long");
        ShowCodeMessage(IDS_REGISTRY_FAILED, kCodeImportFile);
        return 0;
    }
    if (EditorPath(*m_host.system).empty()) {
        SayCause(m_host, CauseKind::kProgramFailed, "the registry editor's folder cannot be found");
        ShowCodeMessage(IDS_REGISTRY_FAILED, kCodeEditorFailed);
        return 0;
    }
    return 1;
}

int CMorlitDlg::UnloadTargetRegistry() {
    if (!m_bHiveLoaded) return 1;
    // Windows refuses the unload while a handle into the hive is still open
    // (the editor's, a scanner's); such a handle is usually closed soon.
    u32 result = err::kSuccess;
    for (int attempt = 0; attempt < kUnloadAttempts; ++attempt) {
        if (attempt > 0) m_host.clock->Sleep(kUnloadRetryMs);
        result = m_host.registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC");
        if (result == err::kSuccess) {
            m_bHiveLoaded = false;
            return 1;
        }
    }
    // The hive stays loaded from a disk that is about to be detached, so the
    // run cannot count as done. The flag stays: the next run unloads it
    // before it loads a hive of its own at the same mount point.
    SayCause(
        m_host, CauseKind::kRegistryUnload,
        "the target's registry hive could not be unloaded (error " + std::to_string(result) + ")");
    ShowCodeMessage(IDS_REGISTRY_FAILED, kCodeUnloadFailed);
    return 0;
}

int CMorlitDlg::EnableBackupRestorePrivileges() {
    Handle token = nullptr;
    if (!m_host.security->OpenProcessToken(kTokenAdjustPrivileges | kTokenQuery, &token)) {
        return 0;
    }
    int result = 1;
    for (const wchar_t* name : {L"SeBackupPrivilege", L"SeRestorePrivilege"}) {
        Luid luid;
        if (!m_host.security->LookupPrivilegeValue(name, &luid) ||
            !m_host.security->AdjustTokenPrivilege(token, luid, kSePrivilegeEnabled)) {
            result = 0;
            break;
        }
    }
    m_host.system->CloseHandle(token);
    return result;
}

int CMorlitDlg::ReadDefaultControlSet(u32& number) {
    RegKey key = 0;
    if (m_host.registry->RegOpenKeyEx(kHKeyLocalMachine, L"VirtualPC\\Select", 0, kKeyRead, &key) !=
        err::kSuccess) {
        return 0;
    }
    u8 data[4] = {0, 0, 0, 0};
    u32 size = sizeof data;
    u32 type = 0;
    const u32 result = m_host.registry->RegQueryValueEx(key, L"Default", &type, data, &size);
    m_host.registry->RegCloseKey(key);
    // Only a DWORD names a control set; a string "2" would read as 50.
    if (result != err::kSuccess || type != kRegDword || size != 4) return 0;
    const u32 value = static_cast<u32>(data[0]) | (static_cast<u32>(data[1]) << 8) |
                      (static_cast<u32>(data[2]) << 16) | (static_cast<u32>(data[3]) << 24);
    // Three digits name the control set in the import file.
    if (value < 1 || value > 999) return 0;
    number = value;
    return 1;
}

}  // namespace morlit
