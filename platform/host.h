// The services through which the run logic reaches its host. Each service is
// a small interface; a Host gathers one of each. The Windows host implements
// them over the real Win32 services, the Linux host over its own user-space
// layer, and the tests over a scripted stand-in with a virtual clock.
//
// Every operation keeps the contract of the Windows call it stands for: the
// same result values, and on failure the per-thread last-error value set to a
// Windows error code. Nothing throws across this boundary.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace morlit {

// ---------------------------------------------------------------------------
// Time and errors

class IClock {
  public:
    virtual ~IClock() = default;
    // Sleep: pauses the calling thread.
    virtual void Sleep(u32 milliseconds) = 0;
};

class IErrors {
  public:
    virtual ~IErrors() = default;
    virtual u32 GetLastError() = 0;
    virtual void SetLastError(u32 code) = 0;
};

// ---------------------------------------------------------------------------
// System information, handles and the executable

struct OsVersion {
    u32 major = 0;
    u32 minor = 0;
    u32 build = 0;
    u32 platformId = 0;  // 2 = VER_PLATFORM_WIN32_NT
};

class ISystem {
  public:
    virtual ~ISystem() = default;
    // GetVersionExW with a 276-byte OSVERSIONINFOW. False on failure.
    virtual bool GetVersionEx(OsVersion& out) = 0;
    // GetModuleFileNameW(NULL, ...): the running executable's full path.
    // False (and an empty path) on failure.
    virtual bool GetModuleFileName(std::wstring& path) = 0;
    // GetWindowsDirectoryW: the host's own Windows directory.
    virtual bool GetWindowsDirectory(std::wstring& dir) = 0;
    // CloseHandle for any handle a service handed out.
    virtual bool CloseHandle(Handle handle) = 0;
};

// ---------------------------------------------------------------------------
// Dialog framework

// The handlers a dialog object offers to the framework. The framework calls
// them while it runs the window: OnInitDialog when the window is created,
// the rest when the matching message arrives.
class IDialogEvents {
  public:
    virtual ~IDialogEvents() = default;
    virtual bool OnInitDialog() { return true; }
    // WM_SYSCOMMAND. Return false to let the default procedure handle it.
    virtual bool OnSysCommand(u32 /*id*/, std::intptr_t /*lParam*/) { return false; }
    // WM_PAINT. Return false to paint as a plain dialog.
    virtual bool OnPaint() { return false; }
    // WM_QUERYDRAGICON. Null means the default.
    virtual Handle OnQueryDragIcon() { return nullptr; }
    // WM_COMMAND / BN_CLICKED of a control. Return false for the default
    // behaviour (IDOK / IDCANCEL end a modal dialog).
    virtual bool OnCommand(int /*id*/) { return false; }
};

// A window made from a dialog template. Created by IUi::NewWindow, it exists
// as an object before its window does, so handlers can be set up first.
class IDialogWindow {
  public:
    virtual ~IDialogWindow() = default;  // destroys a window that still exists
    // Modeless creation from a template, no parent. False on failure.
    virtual bool Create(int templateId) = 0;
    // Modal run from a template; returns the code the dialog ended with.
    virtual std::intptr_t DoModal(int templateId) = 0;
    virtual void EndDialog(std::intptr_t result) = 0;
    virtual bool ModifyStyleEx(u32 remove, u32 add, u32 swpFlags) = 0;
    virtual bool ShowWindow(int command) = 0;
    virtual bool DestroyWindow() = 0;
    // The controls of the window, by ID.
    virtual bool EnableItem(int id, bool enable) = 0;
    virtual bool SetItemText(int id, const std::wstring& text) = 0;
    virtual std::wstring GetItemText(int id) = 0;
    // Window placement: out of the topmost band, centred, resized (the
    // message window does all three as it opens).
    virtual bool SetWindowPosNoTopMost(int x, int y, int cx, int cy, u32 flags) = 0;
    virtual void CenterWindow() = 0;
    virtual bool GetWindowRect(int& left, int& top, int& right, int& bottom) = 0;
    virtual bool MoveWindow(int x, int y, int width, int height, bool repaint) = 0;
    // The window's own text (its caption).
    virtual bool SetWindowText(const std::wstring& text) = 0;
    // Repaint now: the run holds the thread, so no WM_PAINT would arrive.
    virtual void UpdateWindow() = 0;
    // System menu: append a separator and an item. False if there is no menu.
    virtual bool AppendSystemMenuItem(u32 commandId, const std::wstring& text) = 0;
    virtual bool HasSystemMenu() = 0;
    virtual void SetIcon(Handle icon, bool big) = 0;
    virtual bool IsIconic() = 0;
    // Paint the icon centred while the window is minimised.
    virtual void PaintIconic(Handle icon) = 0;
    // Default processing of a system command.
    virtual void DefaultSysCommand(u32 id, std::intptr_t lParam) = 0;
};

// The framework's file-open dialog, with the OPENFILENAMEW fields the main
// window sets.
struct OpenFileRequest {
    u32 constructorFlags = 0;  // flags given to the CFileDialog constructor
    u32 flags = 0;             // OPENFILENAMEW.Flags after adjustment
    u32 filterIndex = 0;
    std::wstring defaultExtension;
    std::wstring filter;  // with its embedded null characters
    std::wstring title;
    u32 fileBufferChars = 0;
};

class IUi {
  public:
    virtual ~IUi() = default;
    // A window object for the given handlers and dialog template; its
    // window is made by Create or DoModal.
    virtual std::unique_ptr<IDialogWindow> NewWindow(IDialogEvents& events, int templateId) = 0;
    // CString::LoadString. Empty when the string does not exist.
    virtual std::wstring LoadString(u32 id) = 0;
    // AfxMessageBox(text, style, helpContext): returns the button pressed.
    virtual int MessageBox(const std::wstring& text, u32 style, u32 helpContext) = 0;
    // AfxMessageBox(id, style, helpContext): the text from the string table.
    virtual int MessageBoxById(u32 id, u32 style, u32 helpContext) = 0;
    // CFileDialog::DoModal: true (IDOK) with the chosen full path.
    virtual bool GetOpenFileName(const OpenFileRequest& request, std::wstring& path) = 0;
    // LoadIconW for icon group 128 of the program's resources.
    virtual Handle LoadAppIcon(int resourceId) = 0;
    // InitCommonControlsEx with the given ICC_ classes; false when it fails.
    // A host without common controls has nothing to prepare.
    virtual bool InitCommonControls(u32 /*classes*/) { return true; }
};

// ---------------------------------------------------------------------------
// Virtual disk service (virtdisk.h) and the drive-letter lookup

struct VirtualStorageType {
    u32 deviceId = 0;      // 2 = VIRTUAL_STORAGE_TYPE_DEVICE_VHD
    u8 vendorId[16] = {};  // VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT, as its in-memory GUID bytes
};

class IVirtualDisk {
  public:
    virtual ~IVirtualDisk() = default;
    // Each returns a Windows error code (0 = ERROR_SUCCESS) and also leaves a
    // last-error value, which is what messages show.
    virtual u32 OpenVirtualDisk(const VirtualStorageType& type, const std::wstring& path,
                                u32 accessMask, u32 flags, Handle* handle) = 0;
    virtual u32 AttachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) = 0;
    // sizeBytes: in, the buffer size in bytes; out, the size needed.
    virtual u32 GetVirtualDiskPhysicalPath(Handle disk, u32* sizeBytes, std::wstring& path) = 0;
    virtual u32 DetachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) = 0;
};

class IDriveLetters {
  public:
    virtual ~IDriveLetters() = default;
    // QueryLettersByDisk: exactly 1 on success, with byte 0 of the 26-byte
    // buffer holding an ASCII drive letter of a volume on that disk. The
    // disk's other letters follow in partition order, up to a zero byte.
    virtual int QueryLettersByDisk(u8 diskNumber, u8 letters[26]) = 0;
};

// ---------------------------------------------------------------------------
// Registry and privileges

struct Luid {
    u32 low = 0;
    std::int32_t high = 0;
};

class IRegistry {
  public:
    virtual ~IRegistry() = default;
    // Each returns a Windows error code, 0 on success.
    virtual u32 RegLoadKey(RegKey root, const std::wstring& subKey, const std::wstring& file) = 0;
    virtual u32 RegUnLoadKey(RegKey root, const std::wstring& subKey) = 0;
    virtual u32 RegOpenKeyEx(RegKey root, const std::wstring& subKey, u32 options, u32 sam,
                             RegKey* key) = 0;
    // data may be null to ask for the size. *size: in, the buffer size; out,
    // the value's size. A value larger than the buffer gives ERROR_MORE_DATA.
    virtual u32 RegQueryValueEx(RegKey key, const std::wstring& name, u32* type, u8* data,
                                u32* size) = 0;
    virtual u32 RegCloseKey(RegKey key) = 0;
};

class ISecurity {
  public:
    virtual ~ISecurity() = default;
    // Each returns the Win32 BOOL result (false sets the last error).
    virtual bool OpenProcessToken(u32 desiredAccess, Handle* token) = 0;
    virtual bool LookupPrivilegeValue(const std::wstring& name, Luid* luid) = 0;
    // AdjustTokenPrivileges with one privilege and SE_PRIVILEGE_ENABLED.
    virtual bool AdjustTokenPrivilege(Handle token, const Luid& luid, u32 attributes) = 0;
};

// ---------------------------------------------------------------------------
// File system

// CFileFind: an existence probe for one exact name, file or folder. Names
// compare without regard to case. Each FindFile ends the previous search.
class IFileFind {
  public:
    virtual ~IFileFind() = default;  // releases any open search
    virtual bool FindFile(const std::wstring& path) = 0;
    virtual void Close() = 0;
};

// A C runtime text or binary stream (_wfopen_s and friends), as the template
// rewriting uses it.
class IFileStream {
  public:
    virtual ~IFileStream() = default;  // closes
    // fgets: reads at most count-1 bytes, stops after LF; false at EOF/error
    // with nothing read.
    virtual bool Gets(char* buffer, int count) = 0;
    // fputs: writes the bytes up to the terminator. False on a write error.
    virtual bool Puts(const char* text) = 0;
    virtual bool Eof() = 0;
    // fclose: false when the data could not be written out.
    virtual bool Close() = 0;
};

class IFiles {
  public:
    virtual ~IFiles() = default;
    virtual std::unique_ptr<IFileFind> NewFileFind() = 0;
    virtual bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) = 0;
    virtual bool DeleteFile(const std::wstring& path) = 0;
    // CFile::GetStatus / SetStatus, limited to the attribute byte.
    virtual bool GetAttributes(const std::wstring& path, u8* attributes) = 0;
    virtual bool SetAttributes(const std::wstring& path, u8 attributes) = 0;
    // CreateFileW: InvalidHandle() on failure.
    virtual Handle CreateFile(const std::wstring& path, u32 access, u32 share, u32 disposition,
                              u32 flagsAndAttributes) = 0;
    virtual bool DeviceIoControl(Handle file, u32 code, const void* in, u32 inSize, void* out,
                                 u32 outSize, u32* returned) = 0;
    // GetLogicalDriveStringsW: fills up to bufferChars characters.
    virtual u32 GetLogicalDriveStrings(u32 bufferChars, wchar_t* buffer) = 0;
    virtual u32 GetDriveType(const std::wstring& root) = 0;
    // _wfopen_s: mode as the C runtime takes it ("r", "w", "rb", "wb").
    // Null on failure (errno-style failure, last error set).
    virtual std::unique_ptr<IFileStream> OpenStream(const std::wstring& path, const char* mode) = 0;

    // --- file versions ---
    // GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW(L"\\")
    // on an executable file: the file version of its VS_FIXEDFILEINFO
    // (dwFileVersionMS: major << 16 | minor; dwFileVersionLS: build << 16 |
    // revision). False, with the failing call's last error, when the file
    // cannot be read or holds no such version.
    virtual bool GetFileVersion(const std::wstring& path, u32* versionMs, u32* versionLs) = 0;
};

// ---------------------------------------------------------------------------
// Processes

struct ShellExecuteInfo {
    u32 mask = 0;       // SEE_MASK_NOCLOSEPROCESS = 0x40
    std::wstring verb;  // empty = default verb
    std::wstring file;
    std::wstring parameters;
    std::wstring directory;  // empty = inherited
    int show = 0;
    Handle process = nullptr;  // out, with SEE_MASK_NOCLOSEPROCESS
};

class IProcesses {
  public:
    virtual ~IProcesses() = default;
    virtual bool ShellExecuteEx(ShellExecuteInfo& info) = 0;
    // WAIT_OBJECT_0 (0), WAIT_TIMEOUT (258) or WAIT_FAILED (0xFFFFFFFF).
    virtual u32 WaitForSingleObject(Handle handle, u32 milliseconds) = 0;
    virtual bool GetExitCodeProcess(Handle process, u32* code) = 0;
};

// ---------------------------------------------------------------------------
// The ANSI code page

class ICodePage {
  public:
    virtual ~ICodePage() = default;
    // The string class's assignment from a narrow string.
    virtual std::wstring AnsiToWide(const std::string& text) = 0;
    // WideCharToMultiByte(CP_ACP, 0, ...) into a buffer of `capacity` bytes:
    // false when it does not fit.
    virtual bool WideToAnsi(const std::wstring& text, u32 capacity, std::string& out) = 0;
};

// ---------------------------------------------------------------------------
// What a run says about itself

// Why a run could not go on, as a value; the line beside it says it in
// words.
enum class CauseKind : u8 {
    kOther,
    kUsage,            // the command line or the program's own setup
    kNoWindows,        // no Windows installation where one was looked for
    kWrongWindows,     // a Windows the run cannot adjust this way
    kNoDriverSource,   // no cabinet, no i386 folder, no XP CD
    kImageInUse,       // another program holds the image
    kCannotOpen,       // the image cannot be opened or attached as it is
    kReadError,        // a read of the image, its journal or a parent failed
    kWriteError,       // a write, truncation or sync failed
    kDiskFull,         // the file system holding the image is full
    kBadHive,          // the installation's registry hive cannot be loaded
    kUncleanVolume,    // a volume Windows did not shut down cleanly (or hibernated)
    kBareVolume,       // a volume without a partition table
    kNoLetter,         // no volume of the image got a drive letter
    kTemplate,         // a template beside the program is missing or unreadable
    kPartitionNumber,  // the partition Boot.ini must name is not known
    kProgramFailed,    // expand or the registry editor failed
    kRegistryUnload,   // the hive stays loaded
    kJournal,          // the changes could not be made final or put back
    kStopped,          // a stop signal ended the run
};

// Where a target's drivers come from: a cabinet, or a folder of compressed
// files (an i386 folder or the CD's I386); none for a Vista or 7, which
// keeps its own.
enum class DriverSourceKind : u8 { kNone, kCabinet, kFolder };

// The steps a run shows in its progress window, in the order of a full run.
enum class RunStep : u8 {
    kStarting,
    kMounting,
    kSearchingDrive,
    kCopyingDrivers,
    kAdjustingOs,
    kFinishing,
};

// What a run says about itself, as values, for a host that keeps a record
// of it: the causes that stopped it (with one plain line in English, where
// the dialog's messages alone would not tell a user what to do), the steps
// it reached, the string-table id and code of each message before it is
// shown, and the result that chose its final message. The Linux command
// writes the causes on standard error and reports the rest; the Windows
// host shows only the dialog's messages and leaves the service out.
class IRunEvents {
  public:
    virtual ~IRunEvents() = default;
    virtual void Cause(CauseKind kind, const std::string& line) = 0;  // UTF-8
    // Something the user should know that did not stop the run.
    virtual void Warning(const std::string& line) = 0;  // UTF-8
    virtual void Step(RunStep /*step*/) {}
    // The next message box shows string-table text `id`, formatted with
    // `code` when `hasCode`.
    virtual void Message(u32 /*id*/, bool /*hasCode*/, u32 /*code*/) {}
    // The target discovery decided on: its Windows folder and where its
    // drivers come from. An XP or 2000 has a source (drivers, registry and
    // Boot.ini are adjusted), a Vista or 7 none (the registry alone).
    virtual void Target(const std::wstring& /*windowsDirectory*/, DriverSourceKind /*kind*/,
                        const std::wstring& /*driverSource*/) {}
    // The run's result, which chose its final message.
    virtual void Finished(bool /*adjusted*/) {}
};

// ---------------------------------------------------------------------------
// The loader's partition numbers

class IPartitions {
  public:
    virtual ~IPartitions() = default;
    // The number Boot.ini's ARC paths give the partition of the volume with
    // drive letter `letter` on disk `diskNumber` (see platform/arc_partition.h).
    // 0 with *number set, else a Windows error code; a letter that is not a
    // volume of that disk is an error, never another disk's number.
    virtual u32 QueryArcPartitionNumber(u8 diskNumber, wchar_t letter, u32* number) = 0;
};

// ---------------------------------------------------------------------------

// One of each service. The dialog is given a Host and reaches the system only
// through it; a test can mix the scripted services with real ones.
struct Host {
    IClock* clock = nullptr;
    IErrors* errors = nullptr;
    ISystem* system = nullptr;
    IUi* ui = nullptr;
    IVirtualDisk* vdisk = nullptr;
    IDriveLetters* letters = nullptr;
    IRegistry* registry = nullptr;
    ISecurity* security = nullptr;
    IFiles* files = nullptr;
    IProcesses* processes = nullptr;
    ICodePage* codepage = nullptr;
    IRunEvents* events = nullptr;  // optional
    // Boot.ini is written only where the loader's partition number is known.
    IPartitions* partitions = nullptr;
};

// Where a layer below the services says why the run stops.
using CauseSink = std::function<void(CauseKind kind, const std::string& line)>;

// Tells the host why the run stops, when it has somewhere to say it.
inline void SayCause(const Host& host, CauseKind kind, const std::string& line) {
    if (host.events != nullptr) host.events->Cause(kind, line);
}
inline void SayWarning(const Host& host, const std::string& line) {
    if (host.events != nullptr) host.events->Warning(line);
}
inline void NoteStep(const Host& host, RunStep step) {
    if (host.events != nullptr) host.events->Step(step);
}
inline void NoteMessage(const Host& host, u32 id) {
    if (host.events != nullptr) host.events->Message(id, false, 0);
}
inline void NoteMessage(const Host& host, u32 id, u32 code) {
    if (host.events != nullptr) host.events->Message(id, true, code);
}
inline void NoteTarget(const Host& host, const std::wstring& windowsDirectory,
                       DriverSourceKind kind, const std::wstring& driverSource) {
    if (host.events != nullptr) host.events->Target(windowsDirectory, kind, driverSource);
}
inline void NoteFinished(const Host& host, bool adjusted) {
    if (host.events != nullptr) host.events->Finished(adjusted);
}

}  // namespace morlit
