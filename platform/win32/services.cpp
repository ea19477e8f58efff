// The platform services over Win32. Each operation is the Windows call it is
// named after, with the same results and last-error value; the wrappers only
// convert between the service types and the Windows ones.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/win32/win32_host.h"
#include "platform/win32/win32_api.h"

namespace morlit::win32 {
namespace {

HANDLE ToHandle(Handle h) { return static_cast<HANDLE>(h); }
const wchar_t* OrNull(const std::wstring& s) { return s.empty() ? nullptr : s.c_str(); }

// --- time and errors ----------------------------------------------------------

class Win32Clock : public IClock {
  public:
    void Sleep(u32 milliseconds) override { ::Sleep(milliseconds); }
};

class Win32Errors : public IErrors {
  public:
    u32 GetLastError() override { return ::GetLastError(); }
    void SetLastError(u32 code) override { ::SetLastError(code); }
};

// --- system ---------------------------------------------------------------------

class Win32System : public ISystem {
  public:
    bool GetVersionEx(OsVersion& out) override {
        OSVERSIONINFOW info;
        std::memset(&info, 0, sizeof info);
        info.dwOSVersionInfoSize = sizeof info;  // 276
        if (!::GetVersionExW(&info)) return false;
        out.major = info.dwMajorVersion;
        out.minor = info.dwMinorVersion;
        out.build = info.dwBuildNumber;
        out.platformId = info.dwPlatformId;
        return true;
    }

    bool GetModuleFileName(std::wstring& path) override {
        // A buffer large enough for any path, so that a long module path
        // arrives whole and its user can refuse it rather than use a
        // truncated one.
        std::vector<wchar_t> buffer(32768);
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0 || n >= buffer.size()) {
            path.clear();
            return false;
        }
        path.assign(buffer.data(), n);
        return true;
    }

    bool GetWindowsDirectory(std::wstring& dir) override {
        wchar_t buffer[MAX_PATH + 1] = {};
        const UINT n = ::GetWindowsDirectoryW(buffer, MAX_PATH + 1);
        if (n == 0 || n > MAX_PATH) {
            dir.clear();
            return false;
        }
        dir.assign(buffer, n);
        return true;
    }

    bool CloseHandle(Handle handle) override { return ::CloseHandle(ToHandle(handle)) != FALSE; }
};

// --- virtual disk -----------------------------------------------------------------

class Win32VirtualDisk : public IVirtualDisk {
  public:
    u32 OpenVirtualDisk(const VirtualStorageType& type, const std::wstring& path, u32 accessMask,
                        u32 flags, Handle* handle) override {
        VIRTUAL_STORAGE_TYPE storage;
        std::memset(&storage, 0, sizeof storage);
        storage.DeviceId = type.deviceId;
        static_assert(sizeof storage.VendorId == sizeof type.vendorId, "GUID is 16 bytes");
        std::memcpy(&storage.VendorId, type.vendorId, sizeof type.vendorId);
        HANDLE h = nullptr;
        // No parameters: Windows 7 knows only version 1 of them, and takes
        // their absence as the defaults.
        const DWORD result = ::OpenVirtualDisk(
            &storage, path.c_str(), static_cast<VIRTUAL_DISK_ACCESS_MASK>(accessMask),
            static_cast<OPEN_VIRTUAL_DISK_FLAG>(flags), nullptr, &h);
        *handle = result == ERROR_SUCCESS ? h : nullptr;
        return result;
    }

    u32 AttachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) override {
        return ::AttachVirtualDisk(ToHandle(disk), nullptr,
                                   static_cast<ATTACH_VIRTUAL_DISK_FLAG>(flags), providerFlags,
                                   nullptr, nullptr);
    }

    u32 GetVirtualDiskPhysicalPath(Handle disk, u32* sizeBytes, std::wstring& path) override {
        std::vector<wchar_t> buffer(*sizeBytes / sizeof(wchar_t) + 1, L'\0');
        ULONG size = *sizeBytes;
        const DWORD result = ::GetVirtualDiskPhysicalPath(ToHandle(disk), &size, buffer.data());
        *sizeBytes = size;
        path = result == ERROR_SUCCESS ? std::wstring(buffer.data()) : std::wstring();
        return result;
    }

    u32 DetachVirtualDisk(Handle disk, u32 flags, u32 providerFlags) override {
        return ::DetachVirtualDisk(ToHandle(disk), static_cast<DETACH_VIRTUAL_DISK_FLAG>(flags),
                                   providerFlags);
    }
};

// --- drive letters -------------------------------------------------------------------

// The disk a volume lies on, or false when the volume has no single disk
// number (a CD, a spanned volume, one that cannot be opened).
bool VolumeDiskNumber(const std::wstring& volumeName, DWORD* number) {
    // The volume device is the name without its trailing backslash; with it,
    // CreateFileW would open the root folder instead.
    std::wstring device = volumeName;
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    HANDLE h = ::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    STORAGE_DEVICE_NUMBER sdn;
    std::memset(&sdn, 0, sizeof sdn);
    DWORD returned = 0;
    const BOOL ok = ::DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &sdn,
                                      sizeof sdn, &returned, nullptr);
    ::CloseHandle(h);
    if (!ok || sdn.DeviceType != FILE_DEVICE_DISK) return false;
    *number = sdn.DeviceNumber;
    return true;
}

// The drive letters under which a volume is mounted, in the order Windows
// lists its mount points.
std::vector<wchar_t> VolumeLetters(const std::wstring& volumeName) {
    std::vector<wchar_t> names(MAX_PATH + 1, L'\0');
    DWORD needed = 0;
    while (!::GetVolumePathNamesForVolumeNameW(volumeName.c_str(), names.data(),
                                               static_cast<DWORD>(names.size()), &needed)) {
        if (::GetLastError() != ERROR_MORE_DATA || needed <= names.size()) return {};
        names.assign(needed, L'\0');
    }
    std::vector<wchar_t> letters;
    for (const wchar_t* p = names.data(); *p != L'\0'; p += std::wcslen(p) + 1) {
        // Only "X:\" is a drive letter; folder mount points are skipped.
        if (std::wcslen(p) == 3 && p[1] == L':' && p[2] == L'\\') {
            wchar_t c = p[0];
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
            if (c >= L'A' && c <= L'Z') letters.push_back(c);
        }
    }
    return letters;
}

// The disk and starting offset of the volume behind `device` (a volume name
// without its trailing backslash, or "\\.\X:"); false, with the last error
// set, when it is not one partition of one disk.
bool VolumeExtent(const std::wstring& device, DWORD* disk, u64* offset) {
    HANDLE h = ::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    VOLUME_DISK_EXTENTS extents;
    std::memset(&extents, 0, sizeof extents);
    DWORD returned = 0;
    const BOOL ok = ::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                                      sizeof extents, &returned, nullptr);
    const DWORD error = ::GetLastError();
    ::CloseHandle(h);
    if (!ok) {
        ::SetLastError(error);
        return false;
    }
    // A volume on one disk has one extent; a spanned one is no partition.
    if (extents.NumberOfDiskExtents != 1) {
        ::SetLastError(err::kInvalidDrive);
        return false;
    }
    *disk = extents.Extents[0].DiskNumber;
    *offset = static_cast<u64>(extents.Extents[0].StartingOffset.QuadPart);
    return true;
}

// Where a volume starts on its disk; the largest value when that cannot be
// read, so that such a volume comes after the others.
u64 VolumeStartingOffset(const std::wstring& volumeName) {
    std::wstring device = volumeName;
    if (!device.empty() && device.back() == L'\\') device.pop_back();
    DWORD disk = 0;
    u64 offset = 0;
    return VolumeExtent(device, &disk, &offset) ? offset : ~u64{0};
}

class Win32DriveLetters : public IDriveLetters {
  public:
    int QueryLettersByDisk(u8 diskNumber, u8 letters[26]) override {
        wchar_t volume[MAX_PATH + 1] = {};
        HANDLE find = ::FindFirstVolumeW(volume, MAX_PATH + 1);
        if (find == INVALID_HANDLE_VALUE) return 0;
        // The enumeration order is not the partition order: a boot partition
        // may come after the one it starts.
        std::vector<DiskVolume> volumes;
        do {
            DWORD number = 0;
            if (!VolumeDiskNumber(volume, &number) || number != diskNumber) continue;
            volumes.push_back(DiskVolume{VolumeStartingOffset(volume), VolumeLetters(volume)});
        } while (::FindNextVolumeW(find, volume, MAX_PATH + 1));
        ::FindVolumeClose(find);
        return LettersInPartitionOrder(std::move(volumes), letters) > 0 ? 1 : 0;
    }
};

// --- the loader's partition numbers ---------------------------------------------------

// The disk and starting offset of a drive letter's volume; false, with the
// last error set, when it is not one partition of one disk.
bool LetterExtent(wchar_t letter, DWORD* disk, u64* offset) {
    const wchar_t device[] = {L'\\', L'\\', L'.', L'\\', letter, L':', L'\0'};
    return VolumeExtent(device, disk, offset);
}

// The disk's layout as IOCTL_DISK_GET_DRIVE_LAYOUT_EX gives it; false, with
// the last error set, when it cannot be read.
bool ReadDriveLayout(u8 diskNumber, std::vector<unsigned char>* answer, DWORD* size) {
    const std::wstring path = L"\\\\.\\PhysicalDrive" + std::to_wstring(diskNumber);
    HANDLE h = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    // Room for the four primary entries and 128 extended boot records of
    // four entries each; more only when the disk says so.
    answer->assign(sizeof(DRIVE_LAYOUT_INFORMATION_EX) + 516 * sizeof(PARTITION_INFORMATION_EX), 0);
    BOOL ok = FALSE;
    DWORD error = 0;
    for (int tries = 0; tries < 4; ++tries) {
        ok = ::DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, answer->data(),
                               static_cast<DWORD>(answer->size()), size, nullptr);
        error = ::GetLastError();
        if (ok || error != ERROR_INSUFFICIENT_BUFFER) break;
        answer->assign(answer->size() * 2, 0);
    }
    ::CloseHandle(h);
    if (!ok) ::SetLastError(error);
    return ok != FALSE;
}

class Win32Partitions : public IPartitions {
  public:
    u32 QueryArcPartitionNumber(u8 diskNumber, wchar_t letter, u32* number) override {
        DWORD disk = 0;
        u64 offset = 0;
        std::vector<unsigned char> answer;
        DWORD size = 0;
        if (!number) return Fail(ERROR_INVALID_PARAMETER);
        if (!LetterExtent(letter, &disk, &offset)) return Fail(::GetLastError());
        // The letter must be a volume of the attached disk, never another's.
        if (disk != diskNumber) return Fail(err::kInvalidDrive);
        if (!ReadDriveLayout(diskNumber, &answer, &size)) return Fail(::GetLastError());
        std::vector<LayoutEntry> layout;
        if (const u32 e = LayoutFromDriveLayout(answer.data(), size, &layout)) return Fail(e);
        const u32 found = ArcPartitionNumber(layout, offset);
        if (found == 0) return Fail(err::kNotFound);
        *number = found;
        ::SetLastError(ERROR_SUCCESS);
        return ERROR_SUCCESS;
    }

  private:
    static u32 Fail(DWORD code) {
        const u32 result = code == ERROR_SUCCESS ? err::kNotFound : code;
        ::SetLastError(result);
        return result;
    }
};

// --- registry and privileges ------------------------------------------------------------

class Win32Registry : public IRegistry {
  public:
    u32 RegLoadKey(RegKey root, const std::wstring& subKey, const std::wstring& file) override {
        return static_cast<u32>(::RegLoadKeyW(ToHKey(root), subKey.c_str(), file.c_str()));
    }
    u32 RegUnLoadKey(RegKey root, const std::wstring& subKey) override {
        return static_cast<u32>(::RegUnLoadKeyW(ToHKey(root), subKey.c_str()));
    }
    u32 RegOpenKeyEx(RegKey root, const std::wstring& subKey, u32 options, u32 sam,
                     RegKey* key) override {
        HKEY h = nullptr;
        const LONG result = ::RegOpenKeyExW(ToHKey(root), subKey.c_str(), options, sam, &h);
        *key = result == ERROR_SUCCESS ? reinterpret_cast<RegKey>(h) : 0;
        return static_cast<u32>(result);
    }
    u32 RegQueryValueEx(RegKey key, const std::wstring& name, u32* type, u8* data,
                        u32* size) override {
        DWORD t = 0;
        DWORD s = size ? *size : 0;
        const LONG result =
            ::RegQueryValueExW(ToHKey(key), name.c_str(), nullptr, &t, data, size ? &s : nullptr);
        if (type) *type = t;
        if (size) *size = s;
        return static_cast<u32>(result);
    }
    u32 RegCloseKey(RegKey key) override { return static_cast<u32>(::RegCloseKey(ToHKey(key))); }
};

class Win32Security : public ISecurity {
  public:
    bool OpenProcessToken(u32 desiredAccess, Handle* token) override {
        HANDLE h = nullptr;
        const BOOL ok = ::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &h);
        *token = ok ? h : nullptr;
        return ok != FALSE;
    }
    bool LookupPrivilegeValue(const std::wstring& name, Luid* luid) override {
        LUID l = {};
        if (!::LookupPrivilegeValueW(nullptr, name.c_str(), &l)) return false;
        luid->low = l.LowPart;
        luid->high = l.HighPart;
        return true;
    }
    bool AdjustTokenPrivilege(Handle token, const Luid& luid, u32 attributes) override {
        TOKEN_PRIVILEGES privileges;
        static_assert(sizeof privileges == 16, "one privilege in a 16-byte TOKEN_PRIVILEGES");
        std::memset(&privileges, 0, sizeof privileges);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Luid.LowPart = luid.low;
        privileges.Privileges[0].Luid.HighPart = luid.high;
        privileges.Privileges[0].Attributes = attributes;
        // TRUE with ERROR_NOT_ALL_ASSIGNED when the token lacks the privilege:
        // the caller reads the last error, as it would on Windows.
        return ::AdjustTokenPrivileges(ToHandle(token), FALSE, &privileges, sizeof privileges,
                                       nullptr, nullptr) != FALSE;
    }
};

// --- files ------------------------------------------------------------------------------

class Win32FileFind : public IFileFind {
  public:
    ~Win32FileFind() override { Close(); }
    bool FindFile(const std::wstring& path) override {
        Close();
        WIN32_FIND_DATAW data;
        find_ = ::FindFirstFileW(path.c_str(), &data);
        return find_ != INVALID_HANDLE_VALUE;
    }
    void Close() override {
        if (find_ != INVALID_HANDLE_VALUE) {
            // Keep the search's own last error for the caller.
            const DWORD error = ::GetLastError();
            ::FindClose(find_);
            ::SetLastError(error);
            find_ = INVALID_HANDLE_VALUE;
        }
    }

  private:
    HANDLE find_ = INVALID_HANDLE_VALUE;
};

// A C runtime stream; the runtime applies its own text or binary mode.
class Win32Stream : public IFileStream {
  public:
    explicit Win32Stream(FILE* file) : file_(file) {}
    ~Win32Stream() override {
        if (file_) std::fclose(file_);
    }
    bool Gets(char* buffer, int count) override {
        return file_ && std::fgets(buffer, count, file_) != nullptr;
    }
    bool Puts(const char* text) override { return file_ && std::fputs(text, file_) >= 0; }
    bool Eof() override { return !file_ || std::feof(file_) != 0; }
    bool Close() override {
        if (!file_) return false;
        FILE* f = file_;
        file_ = nullptr;
        return std::fclose(f) == 0;
    }

  private:
    FILE* file_;
};

class Win32Files : public IFiles {
  public:
    std::unique_ptr<IFileFind> NewFileFind() override { return std::make_unique<Win32FileFind>(); }
    bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) override {
        return ::CopyFileW(from.c_str(), to.c_str(), failIfExists ? TRUE : FALSE) != FALSE;
    }
    bool DeleteFile(const std::wstring& path) override {
        return ::DeleteFileW(path.c_str()) != FALSE;
    }
    bool GetAttributes(const std::wstring& path, u8* attributes) override {
        const DWORD a = ::GetFileAttributesW(path.c_str());
        if (a == INVALID_FILE_ATTRIBUTES) return false;
        *attributes = static_cast<u8>(a & 0xFF);
        return true;
    }
    bool SetAttributes(const std::wstring& path, u8 attributes) override {
        return ::SetFileAttributesW(path.c_str(), attributes) != FALSE;
    }
    Handle CreateFile(const std::wstring& path, u32 access, u32 share, u32 disposition,
                      u32 flagsAndAttributes) override {
        return ::CreateFileW(path.c_str(), access, share, nullptr, disposition, flagsAndAttributes,
                             nullptr);
    }
    bool DeviceIoControl(Handle file, u32 code, const void* in, u32 inSize, void* out, u32 outSize,
                         u32* returned) override {
        DWORD r = 0;
        const BOOL ok = ::DeviceIoControl(ToHandle(file), code, const_cast<void*>(in), inSize, out,
                                          outSize, &r, nullptr);
        if (returned) *returned = r;
        return ok != FALSE;
    }
    u32 GetLogicalDriveStrings(u32 bufferChars, wchar_t* buffer) override {
        return ::GetLogicalDriveStringsW(bufferChars, buffer);
    }
    u32 GetDriveType(const std::wstring& root) override { return ::GetDriveTypeW(root.c_str()); }
    std::unique_ptr<IFileStream> OpenStream(const std::wstring& path, const char* mode) override {
        std::wstring wideMode;
        for (const char* p = mode; *p; ++p) wideMode.push_back(static_cast<wchar_t>(*p));
        FILE* file = nullptr;
        if (_wfopen_s(&file, path.c_str(), wideMode.c_str()) != 0 || file == nullptr) {
            return nullptr;
        }
        return std::make_unique<Win32Stream>(file);
    }

    // --- file versions ---
    bool GetFileVersion(const std::wstring& path, u32* versionMs, u32* versionLs) override {
        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
        if (size == 0) return false;
        std::vector<u8> info(size);
        if (!::GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return false;
        void* value = nullptr;
        UINT length = 0;
        if (!::VerQueryValueW(info.data(), L"\\", &value, &length) || value == nullptr ||
            length < sizeof(VS_FIXEDFILEINFO)) {
            ::SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
            return false;
        }
        VS_FIXEDFILEINFO fixed;
        std::memcpy(&fixed, value, sizeof fixed);
        // A block without the signature holds no version to trust.
        if (fixed.dwSignature != 0xFEEF04BD) {
            ::SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
            return false;
        }
        *versionMs = fixed.dwFileVersionMS;
        *versionLs = fixed.dwFileVersionLS;
        return true;
    }
};

// --- processes --------------------------------------------------------------------------

class Win32Processes : public IProcesses {
  public:
    bool ShellExecuteEx(ShellExecuteInfo& info) override {
        SHELLEXECUTEINFOW sei;
        std::memset(&sei, 0, sizeof sei);
        sei.cbSize = sizeof sei;
        sei.fMask = info.mask;
        sei.lpVerb = OrNull(info.verb);
        sei.lpFile = info.file.c_str();
        sei.lpParameters = OrNull(info.parameters);
        sei.lpDirectory = OrNull(info.directory);
        sei.nShow = info.show;
        const BOOL ok = ::ShellExecuteExW(&sei);
        info.process = ok ? sei.hProcess : nullptr;
        return ok != FALSE;
    }
    u32 WaitForSingleObject(Handle handle, u32 milliseconds) override {
        return ::WaitForSingleObject(ToHandle(handle), milliseconds);
    }
    bool GetExitCodeProcess(Handle process, u32* code) override {
        DWORD c = 0;
        const BOOL ok = ::GetExitCodeProcess(ToHandle(process), &c);
        if (ok && code) *code = c;
        return ok != FALSE;
    }
};

// --- code page --------------------------------------------------------------------------

class Win32CodePage : public ICodePage {
  public:
    std::wstring AnsiToWide(const std::string& text) override {
        if (text.empty()) return {};
        const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                            nullptr, 0);
        if (n <= 0) return {};
        std::wstring out(static_cast<size_t>(n), L'\0');
        ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
        return out;
    }
    bool WideToAnsi(const std::wstring& text, u32 capacity, std::string& out) override {
        out.clear();
        if (text.empty()) return true;
        std::string buffer(capacity, '\0');
        const int n = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                            capacity ? &buffer[0] : nullptr,
                                            static_cast<int>(capacity), nullptr, nullptr);
        if (n <= 0) {
            if (capacity == 0) ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        out.assign(buffer.data(), static_cast<size_t>(n));
        return true;
    }
};

}  // namespace

IClock& Clock() {
    static Win32Clock s;
    return s;
}
IErrors& Errors() {
    static Win32Errors s;
    return s;
}
ISystem& System() {
    static Win32System s;
    return s;
}
IVirtualDisk& VirtualDisk() {
    static Win32VirtualDisk s;
    return s;
}
IDriveLetters& DriveLetters() {
    static Win32DriveLetters s;
    return s;
}
IRegistry& Registry() {
    static Win32Registry s;
    return s;
}
ISecurity& Security() {
    static Win32Security s;
    return s;
}
IFiles& Files() {
    static Win32Files s;
    return s;
}
IProcesses& Processes() {
    static Win32Processes s;
    return s;
}
ICodePage& CodePage() {
    static Win32CodePage s;
    return s;
}
IPartitions& Partitions() {
    static Win32Partitions s;
    return s;
}

struct Win32Host::Services {
    std::unique_ptr<IUi> ui;
};

Win32Host::Win32Host(void* instance) : services_(std::make_unique<Services>()) {
    services_->ui = NewUi(instance);
    host.clock = &Clock();
    host.errors = &Errors();
    host.system = &System();
    host.ui = services_->ui.get();
    host.vdisk = &VirtualDisk();
    host.letters = &DriveLetters();
    host.registry = &Registry();
    host.security = &Security();
    host.files = &Files();
    host.processes = &Processes();
    host.codepage = &CodePage();
    host.partitions = &Partitions();
}

Win32Host::~Win32Host() = default;

int LettersInPartitionOrder(std::vector<DiskVolume> volumes, u8 letters[26]) {
    std::stable_sort(volumes.begin(), volumes.end(), [](const DiskVolume& a, const DiskVolume& b) {
        return a.startingOffset < b.startingOffset;
    });
    int count = 0;
    for (const DiskVolume& v : volumes) {
        for (wchar_t c : v.letters) {
            if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
            if (c >= L'A' && c <= L'Z' && count < 26) letters[count++] = static_cast<u8>(c);
        }
    }
    return count;
}

u32 LayoutFromDriveLayout(const void* answer, size_t size, std::vector<LayoutEntry>* layout) {
    layout->clear();
    const size_t header = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    if (answer == nullptr || size < header) return ERROR_INVALID_DATA;
    DRIVE_LAYOUT_INFORMATION_EX info;
    std::memcpy(&info, answer, header);
    // Only an MBR disk has ARC partition numbers as Boot.ini uses them.
    if (info.PartitionStyle != PARTITION_STYLE_MBR) return ERROR_NOT_SUPPORTED;
    if (info.PartitionCount > (size - header) / sizeof(PARTITION_INFORMATION_EX)) {
        return ERROR_INVALID_DATA;
    }
    const auto* bytes = static_cast<const unsigned char*>(answer) + header;
    for (DWORD i = 0; i < info.PartitionCount; ++i) {
        PARTITION_INFORMATION_EX entry;
        std::memcpy(&entry, bytes + i * sizeof entry, sizeof entry);
        // The MBR's four entries come first, then four per extended boot
        // record in the order of the chain.
        layout->push_back(LayoutEntry{entry.Mbr.PartitionType, i >= 4,
                                      static_cast<u64>(entry.StartingOffset.QuadPart)});
    }
    return ERROR_SUCCESS;
}

}  // namespace morlit::win32
