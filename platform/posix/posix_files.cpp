#include "platform/posix/posix_files.h"

#include <algorithm>
#include <cstring>

#include "platform/constants.h"
#include "platform/crt_stream.h"
#include "platform/posix/fs/pe_version.h"

namespace morlit::posix {

namespace {

struct FileObject : HandleObject {
    std::wstring path;
    u32 access = 0;
};

class FileFind : public IFileFind {
  public:
    FileFind(DriveNamespace& drives, IErrors& errors) : drives_(drives), errors_(errors) {}
    bool FindFile(const std::wstring& path) override {
        // One exact name: wildcards are not part of the probe.
        if (path.find_first_of(L"*?") != std::wstring::npos) {
            errors_.SetLastError(err::kInvalidName);
            return false;
        }
        NodeInfo info;
        Volume* volume = nullptr;
        PathParts parts;
        u32 e = drives_.Resolve(path, &volume, &parts);
        // A drive's root is not a name that can be found.
        if (!e && parts.empty()) e = err::kFileNotFound;
        // Asked through the namespace, which knows of deletions held back.
        if (!e) e = drives_.Stat(path, &info);
        errors_.SetLastError(e);
        return e == 0;
    }
    void Close() override {}

  private:
    DriveNamespace& drives_;
    IErrors& errors_;
};

}  // namespace

bool PosixFiles::Result(u32 code) {
    errors_.SetLastError(code);
    return code == 0;
}

std::unique_ptr<IFileFind> PosixFiles::NewFileFind() {
    return std::make_unique<FileFind>(drives_, errors_);
}

bool PosixFiles::CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) {
    NodeInfo source;
    if (const u32 e = drives_.Stat(from, &source)) return Result(e);
    if (source.directory) return Result(err::kAccessDenied);
    NodeInfo target;
    const u32 t = drives_.Stat(to, &target);
    if (t == 0) {
        if (failIfExists) return Result(err::kFileExists);
        if (target.directory || (target.attributes & kFileAttributeReadOnly))
            return Result(err::kAccessDenied);
    } else if (t != err::kFileNotFound) {
        return Result(t);
    }
    std::string data;
    if (const u32 e = drives_.ReadFile(from, &data)) return Result(e);
    if (const u32 e = drives_.WriteFile(to, data)) return Result(e);
    // The copy takes the source's attributes, marked for backup.
    const u32 attributes = (source.attributes & 0x7) | kFileAttributeArchive;
    return Result(drives_.SetAttributes(to, attributes));
}

bool PosixFiles::DeleteFile(const std::wstring& path) { return Result(drives_.DeleteFile(path)); }

bool PosixFiles::GetAttributes(const std::wstring& path, u8* attributes) {
    NodeInfo info;
    if (const u32 e = drives_.Stat(path, &info)) return Result(e);
    *attributes = static_cast<u8>(info.attributes);
    return Result(0);
}

bool PosixFiles::SetAttributes(const std::wstring& path, u8 attributes) {
    // The volume changes only the bits a program may set; the folder bit and
    // the others stay as they are.
    return Result(drives_.SetAttributes(path, attributes));
}

Handle PosixFiles::CreateFile(const std::wstring& path, u32 access, u32 /*share*/, u32 disposition,
                              u32 /*flagsAndAttributes*/) {
    if (disposition != kOpenExisting) {
        Result(err::kNotSupported);
        return InvalidHandle();
    }
    NodeInfo info;
    if (const u32 e = drives_.Stat(path, &info)) {
        Result(e);
        return InvalidHandle();
    }
    auto file = std::make_shared<FileObject>();
    file->path = path;
    file->access = access;
    Result(0);
    return handles_.Add(file);
}

bool PosixFiles::DeviceIoControl(Handle handle, u32 code, const void* in, u32 inSize, void* /*out*/,
                                 u32 /*outSize*/, u32* returned) {
    auto file = handles_.Get<FileObject>(handle);
    if (!file) return Result(err::kInvalidHandle);
    if (returned) *returned = 0;
    if (code != kFsctlSetCompression) return Result(err::kInvalidFunction);
    if (!in || inSize < sizeof(u16)) return Result(err::kInvalidParameter);
    if (!(file->access & kGenericWrite)) return Result(err::kAccessDenied);
    u16 format = 0;
    std::memcpy(&format, in, sizeof format);
    // Only taking compression away is offered: the volumes are written
    // uncompressed.
    if (format != kCompressionFormatNone) return Result(err::kNotSupported);
    return Result(drives_.SetUncompressed(file->path));
}

u32 PosixFiles::GetLogicalDriveStrings(u32 bufferChars, wchar_t* buffer) {
    std::wstring list;
    for (wchar_t letter : drives_.Letters()) {
        list += letter;
        list += L":\\";
        list += L'\0';
    }
    const u32 needed = static_cast<u32>(list.size() + 1);
    if (!buffer || bufferChars < needed) {
        errors_.SetLastError(0);
        return needed;
    }
    std::copy(list.begin(), list.end(), buffer);
    buffer[list.size()] = L'\0';
    errors_.SetLastError(0);
    return static_cast<u32>(list.size());
}

u32 PosixFiles::GetDriveType(const std::wstring& root) {
    wchar_t letter = 0;
    PathParts parts;
    if (!DriveNamespace::Split(root, &letter, &parts) || !parts.empty()) return kDriveNoRootDir;
    Volume* volume = drives_.Find(letter);
    return volume ? volume->DriveType() : kDriveNoRootDir;
}

std::unique_ptr<IFileStream> PosixFiles::OpenStream(const std::wstring& path, const char* mode) {
    const bool text = !CrtStream::IsBinaryMode(mode);
    if (mode[0] == 'r') {
        std::string data;
        if (const u32 e = drives_.ReadFile(path, &data)) {
            Result(e);
            return nullptr;
        }
        Result(0);
        return CrtStream::ForReading(std::move(data), text);
    }
    if (mode[0] != 'w') {
        Result(err::kInvalidParameter);
        return nullptr;
    }
    // "w" creates or empties the file at once, as the runtime does.
    if (const u32 e = drives_.WriteFile(path, std::string())) {
        Result(e);
        return nullptr;
    }
    Result(0);
    DriveNamespace* drives = &drives_;
    IErrors* errors = &errors_;
    return CrtStream::ForWriting(
        [drives, errors, path](const std::string& bytes) {
            const u32 e = drives->WriteFile(path, bytes);
            errors->SetLastError(e);
            return e == 0;
        },
        text);
}

// A kernel is a few megabytes; a file far larger than any executable is not
// read whole into memory for its version.
constexpr u64 kMaxVersionedFileBytes = 64u << 20;

bool PosixFiles::GetFileVersion(const std::wstring& path, u32* versionMs, u32* versionLs) {
    NodeInfo info;
    if (const u32 e = drives_.Stat(path, &info)) return Result(e);
    if (info.directory) return Result(err::kAccessDenied);
    if (info.size > kMaxVersionedFileBytes) return Result(err::kNotEnoughMemory);
    std::string data;
    if (const u32 e = drives_.ReadFile(path, &data)) return Result(e);
    PeFileVersion version;
    if (const u32 e =
            ReadPeFileVersion(reinterpret_cast<const u8*>(data.data()), data.size(), &version))
        return Result(e);
    *versionMs = version.ms;
    *versionLs = version.ls;
    return Result(0);
}

}  // namespace morlit::posix
