// A scripted host for unit tests. It implements every service, records each
// call with its arguments in order, answers message boxes from a queue, lets
// a test make any named call fail with a chosen result and last error, keeps
// files and registry values in memory, and runs a virtual clock: Sleep costs
// no time, but every pause is recorded.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/constants.h"
#include "platform/host.h"

namespace morlit::test {

std::string Narrow(const std::wstring& text);  // UTF-8
std::wstring Widen(const std::string& utf8);

struct MessageRecord {
    std::wstring text;
    u32 style = 0;
    u32 helpContext = 0;
    u32 id = 0;  // the string-table ID when shown by number, else 0
};

struct FileEntry {
    std::wstring name;  // the path as created
    std::string data;
    u8 attributes = kFileAttributeArchive;
    bool directory = false;
};

struct RegValue {
    u32 type = kRegDword;
    std::string data;
};

struct ProcessRun {
    ShellExecuteInfo info;
    u32 exitCode = 0;
};

class ScriptHost : public IClock,
                   public IErrors,
                   public ISystem,
                   public IUi,
                   public IVirtualDisk,
                   public IDriveLetters,
                   public IRegistry,
                   public ISecurity,
                   public IFiles,
                   public IProcesses,
                   public ICodePage,
                   public IRunEvents,
                   public IPartitions {
  public:
    ScriptHost();
    ~ScriptHost() override;

    Host host;  // every service pointing at this object

    // --- the record -------------------------------------------------------
    std::vector<std::string> calls;  // "Name(arg, arg)" in UTF-8, in order
    std::vector<MessageRecord> messages;
    std::vector<u32> sleeps;
    u64 nowMs = 0;
    // Calls whose name starts with `prefix`, in order.
    std::vector<std::string> CallsStartingWith(const std::string& prefix) const;
    // Index of the first call starting with `prefix` at or after `from`, or -1.
    int IndexOf(const std::string& prefix, int from = 0) const;
    bool Called(const std::string& prefix) const { return IndexOf(prefix) >= 0; }

    // --- failures ---------------------------------------------------------
    // Make the next `times` calls of `name` fail (times < 0: every call).
    // `result` is what a code-returning call returns; `lastError` is left in
    // the last-error value.
    void Fail(const std::string& name, u32 lastError, u32 result = 0, int times = -1);
    void ClearFailures() { failures_.clear(); }
    // Fails every call whose record (as in `calls`) this accepts, returning
    // and leaving `failCallError`.
    std::function<bool(const std::string& call)> failCall;
    u32 failCallError = err::kAccessDenied;

    // --- answers ----------------------------------------------------------
    std::deque<int> answers;  // message-box answers; empty: IDOK, or IDNO for MB_YESNO
    std::deque<std::wstring> openFileAnswers;  // empty string = the user cancels

    // --- scripted system --------------------------------------------------
    OsVersion version{6, 1, 7601, 2};
    std::wstring modulePath = L"C:\\Tools\\Morlit.exe";
    std::wstring windowsDirectory = L"C:\\Windows";
    std::wstring physicalPath = L"\\\\.\\PhysicalDrive3";
    int letterResult = 1;
    std::string letterBytes = "E";
    bool createWindowFails = false;

    // Registry values under HKLM by key path, compared without case:
    // registryValues[L"VirtualPC\\Select"][L"Default"].
    std::map<std::wstring, std::map<std::wstring, RegValue>> registryValues;
    std::set<std::wstring> loadedMounts;  // lower-case mount names

    // In-memory files by path, compared without case.
    void AddFile(const std::wstring& path, const std::string& data,
                 u8 attributes = kFileAttributeArchive);
    void AddDirectory(const std::wstring& path);
    bool Exists(const std::wstring& path) const;
    const FileEntry* FindEntry(const std::wstring& path) const;
    FileEntry* FindEntry(const std::wstring& path);
    std::map<std::wstring, FileEntry> files;  // key: lower-case path

    // Drives for GetLogicalDriveStrings, in list order: letter and type.
    std::vector<std::pair<wchar_t, u32>> drives;

    // Started programs: what each run does (may change files) and its exit
    // code. Without a handler a program ends with exitCode 0.
    std::function<u32(const ShellExecuteInfo&)> onProcess;
    std::vector<ProcessRun> processRuns;
    u32 waitResult = kWaitObject0;

    // --- services ---------------------------------------------------------
    void Sleep(u32 milliseconds) override;
    u32 GetLastError() override { return lastError_; }
    void SetLastError(u32 code) override { lastError_ = code; }

    bool GetVersionEx(OsVersion& out) override;
    bool GetModuleFileName(std::wstring& path) override;
    bool GetWindowsDirectory(std::wstring& dir) override;
    bool CloseHandle(Handle handle) override;

    std::unique_ptr<IDialogWindow> NewWindow(IDialogEvents& events, int templateId) override;
    std::wstring LoadString(u32 id) override;
    int MessageBox(const std::wstring& text, u32 style, u32 helpContext) override;
    int MessageBoxById(u32 id, u32 style, u32 helpContext) override;
    bool GetOpenFileName(const OpenFileRequest& request, std::wstring& path) override;
    Handle LoadAppIcon(int resourceId) override;
    bool InitCommonControls(u32 classes) override;
    OpenFileRequest lastOpenFileRequest;
    int liveWindows = 0;  // windows created and not yet destroyed

    u32 OpenVirtualDisk(const VirtualStorageType& type, const std::wstring& path, u32 accessMask,
                        u32 flags, Handle* handle) override;
    u32 AttachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) override;
    u32 GetVirtualDiskPhysicalPath(Handle disk, u32* sizeBytes, std::wstring& path) override;
    u32 DetachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) override;
    VirtualStorageType lastStorageType;

    int QueryLettersByDisk(u8 diskNumber, u8 letters[26]) override;

    u32 RegLoadKey(RegKey root, const std::wstring& subKey, const std::wstring& file) override;
    u32 RegUnLoadKey(RegKey root, const std::wstring& subKey) override;
    u32 RegOpenKeyEx(RegKey root, const std::wstring& subKey, u32 options, u32 sam,
                     RegKey* key) override;
    u32 RegQueryValueEx(RegKey key, const std::wstring& name, u32* type, u8* data,
                        u32* size) override;
    u32 RegCloseKey(RegKey key) override;

    bool OpenProcessToken(u32 desiredAccess, Handle* token) override;
    bool LookupPrivilegeValue(const std::wstring& name, Luid* luid) override;
    bool AdjustTokenPrivilege(Handle token, const Luid& luid, u32 attributes) override;

    std::unique_ptr<IFileFind> NewFileFind() override;
    bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) override;
    bool DeleteFile(const std::wstring& path) override;
    bool GetAttributes(const std::wstring& path, u8* attributes) override;
    bool SetAttributes(const std::wstring& path, u8 attributes) override;
    Handle CreateFile(const std::wstring& path, u32 access, u32 share, u32 disposition,
                      u32 flagsAndAttributes) override;
    bool DeviceIoControl(Handle file, u32 code, const void* in, u32 inSize, void* out, u32 outSize,
                         u32* returned) override;
    u32 GetLogicalDriveStrings(u32 bufferChars, wchar_t* buffer) override;
    u32 GetDriveType(const std::wstring& root) override;
    std::unique_ptr<IFileStream> OpenStream(const std::wstring& path, const char* mode) override;
    // File versions: a file given one with SetFileVersion reads it; any
    // other file has none (1813), a missing one fails with 2.
    bool GetFileVersion(const std::wstring& path, u32* versionMs, u32* versionLs) override;
    void SetFileVersion(const std::wstring& path, u32 versionMs, u32 versionLs = 0);
    std::map<std::wstring, std::pair<u32, u32>> fileVersions;  // key: lower-case path
    int liveFinds = 0;    // file-find objects not yet destroyed
    int openStreams = 0;  // streams not yet destroyed

    bool ShellExecuteEx(ShellExecuteInfo& info) override;
    u32 WaitForSingleObject(Handle handle, u32 milliseconds) override;
    bool GetExitCodeProcess(Handle process, u32* code) override;

    // Latin-1 both ways: every byte maps to one character and back.
    std::wstring AnsiToWide(const std::string& text) override;
    bool WideToAnsi(const std::wstring& text, u32 capacity, std::string& out) override;

    std::vector<std::string> causes;    // lines given to Cause, in order
    std::vector<CauseKind> causeKinds;  // and their kinds
    std::vector<std::string> warnings;
    std::vector<RunStep> steps;
    // Each Message event: "id" or "id(code)".
    std::vector<std::string> notedMessages;
    std::vector<bool> finished;  // each Finished event's result
    void Cause(CauseKind kind, const std::string& line) override {
        causes.push_back(line);
        causeKinds.push_back(kind);
    }
    void Warning(const std::string& line) override { warnings.push_back(line); }
    void Step(RunStep step) override { steps.push_back(step); }
    void Message(u32 id, bool hasCode, u32 code) override {
        notedMessages.push_back(std::to_string(id) +
                                (hasCode ? "(" + std::to_string(code) + ")" : ""));
    }
    void Finished(bool adjusted) override { finished.push_back(adjusted); }

    // The loader's partition number of every letter, unless scripted to fail.
    u32 arcPartition = 1;
    u32 QueryArcPartitionNumber(u8 diskNumber, wchar_t letter, u32* number) override;

    // Records a call; used by the window and find objects too.
    void Record(const std::string& call) { calls.push_back(call); }
    // True (and the last error set) when the named call is scripted to fail.
    bool ShouldFail(const std::string& name, u32* result = nullptr);

  private:
    struct Failure {
        u32 lastError;
        u32 result;
        int remaining;
    };
    std::map<std::string, Failure> failures_;
    u32 lastError_ = 0;
    std::uintptr_t nextHandle_ = 0x1000;
    std::map<Handle, std::string> handles_;  // open handles and what they are
    std::map<Handle, u32> exitCodes_;
    std::map<RegKey, std::wstring> openKeys_;

    Handle NewHandle(const std::string& kind);
};

}  // namespace morlit::test
