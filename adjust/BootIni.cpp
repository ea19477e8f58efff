// Boot.ini replacement: the template for the target's kind of Windows is
// copied over the volume's Boot.ini, which is then left writable and stored
// uncompressed so that the loader can read it.
#include "ui/MorlitDlg.h"

namespace morlit {

namespace {

// Clears the read-only bit of an existing file, keeping its other bits.
void ClearReadOnly(IFiles& files, const std::wstring& path) {
    u8 attributes = 0;
    if (!files.GetAttributes(path, &attributes)) return;
    files.SetAttributes(path, static_cast<u8>(attributes & ~kFileAttributeReadOnly));
}

}  // namespace

int CMorlitDlg::ReplaceBootIni(wchar_t letter, std::wstring windowsDirectory) {
    IFiles& files = *m_host.files;

    const std::wstring folder = ExecutableDirectory();
    if (folder.empty()) return 0;

    // The Windows 2000 directory is written "WINNT"; anything else is XP.
    const std::wstring templatePath =
        folder +
        (windowsDirectory.find(L"WINNT") != std::wstring::npos ? L"Tolmarin.bin" : L"Quessil.bin");

    const std::wstring target = std::wstring(1, letter) + L":\\Boot.ini";

    // The old Boot.ini is deleted before the copy; without a readable
    // template that would leave the volume with none at all.
    if (!files.OpenStream(templatePath, "rb")) return 0;

    ClearReadOnly(files, target);
    files.DeleteFile(target);
    if (!files.CopyFile(templatePath, target, false)) return 0;
    // The copy takes over the template's attributes.
    ClearReadOnly(files, target);

    const Handle file =
        files.CreateFile(target, kGenericRead | kGenericWrite, kFileShareRead | kFileShareWrite,
                         kOpenExisting, kFileAttributeNormal);
    if (file == InvalidHandle()) return 0;
    const u16 format = kCompressionFormatNone;
    u32 returned = 0;
    files.DeviceIoControl(file, kFsctlSetCompression, &format, sizeof format, nullptr, 0,
                          &returned);
    m_host.system->CloseHandle(file);
    return 1;
}

}  // namespace morlit
