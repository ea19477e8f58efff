// The file services of the Linux host over its drive namespace.
#pragma once

#include "platform/host.h"
#include "platform/posix/drive_namespace.h"
#include "platform/posix/handle_table.h"

namespace morlit::posix {

class PosixFiles : public IFiles {
  public:
    PosixFiles(DriveNamespace& drives, HandleTable& handles, IErrors& errors)
        : drives_(drives), handles_(handles), errors_(errors) {}

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
    bool GetFileVersion(const std::wstring& path, u32* versionMs, u32* versionLs) override;

  private:
    bool Result(u32 code);  // sets the last error; true for 0
    DriveNamespace& drives_;
    HandleTable& handles_;
    IErrors& errors_;
};

}  // namespace morlit::posix
