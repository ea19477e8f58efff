// Boot.ini replacement: the template for the target's kind of Windows is
// copied over the volume's Boot.ini, which is then left writable and stored
// uncompressed so that the loader can read it. The templates name partition
// 1; a target on another partition gets the template with its ARC paths
// naming that partition instead, or the loader would look for the system in
// the wrong place.
#include <cstring>

#include "platform/utf8.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit {

namespace {

// Clears the read-only bit of an existing file, keeping its other bits.
void ClearReadOnly(IFiles& files, const std::wstring& path) {
    u8 attributes = 0;
    if (!files.GetAttributes(path, &attributes)) return;
    files.SetAttributes(path, static_cast<u8>(attributes & ~kFileAttributeReadOnly));
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsAsciiAlpha(char c) { return Lower(c) >= 'a' && Lower(c) <= 'z'; }
bool IsAsciiAlnum(char c) { return IsAsciiAlpha(c) || (c >= '0' && c <= '9'); }

// Whether `text` holds `word` at `at`, without regard to ASCII case.
bool HasWordAt(const std::string& text, size_t at, const char* word) {
    const size_t length = std::strlen(word);
    if (text.size() - at < length) return false;
    for (size_t k = 0; k < length; ++k) {
        if (Lower(text[at + k]) != word[k]) return false;
    }
    return true;
}

// One "name(value)" component of an ARC path at `at`: its end, or `at` when
// there is none.
size_t ComponentEnd(const std::string& text, size_t at, size_t* valueAt) {
    size_t i = at;
    while (i < text.size() && IsAsciiAlpha(text[i])) ++i;
    if (i == at || i >= text.size() || text[i] != '(') return at;
    *valueAt = ++i;
    while (i < text.size() && IsAsciiAlnum(text[i])) ++i;
    if (i >= text.size() || text[i] != ')') return at;
    return i + 1;
}

// Whether text[from, to) is the number 1 in plain decimal digits: "1", "01",
// "001". A space, a sign or a hex prefix is not taken as a number at all, so
// such a value stays as the template has it rather than being guessed at.
bool IsDecimalOne(const std::string& text, size_t from, size_t to) {
    while (from < to && text[from] == '0') ++from;
    return to - from == 1 && text[from] == '1';
}

// Reads the whole stream. The buffer is filled with LF before each read, so
// the last NUL in it is the one that ends what was read, whatever bytes
// the file holds.
bool ReadAll(IFileStream& in, std::string* content) {
    constexpr int kBuffer = 4096;
    char buffer[kBuffer];
    for (;;) {
        std::memset(buffer, '\n', sizeof buffer);
        if (!in.Gets(buffer, kBuffer)) break;
        const void* end = nullptr;
        for (int i = kBuffer - 1; i >= 0 && end == nullptr; --i) {
            if (buffer[i] == '\0') end = buffer + i;
        }
        content->append(buffer, static_cast<const char*>(end) - buffer);
    }
    return in.Eof();
}

}  // namespace

std::string CMorlitDlg::NameArcPartition(const std::string& bootIni, u32 number) {
    const std::string digits = std::to_string(number);
    std::string out;
    size_t copied = 0;
    for (size_t i = 0; i < bootIni.size(); ++i) {
        // An ARC path starts with its adapter, not inside a longer word:
        // "multi(" (the disk through the BIOS), "scsi(" (through the
        // loader's own SCSI driver) or "signature(".
        if (i > 0 && IsAsciiAlpha(bootIni[i - 1])) continue;
        if (!HasWordAt(bootIni, i, "multi(") && !HasWordAt(bootIni, i, "scsi(") &&
            !HasWordAt(bootIni, i, "signature("))
            continue;
        size_t at = i;
        size_t valueAt = 0;
        for (size_t end; (end = ComponentEnd(bootIni, at, &valueAt)) != at; at = end) {
            const size_t valueEnd = end - 1;
            if (HasWordAt(bootIni, at, "partition(") && IsDecimalOne(bootIni, valueAt, valueEnd)) {
                out.append(bootIni, copied, valueAt - copied);
                out += digits;
                copied = valueEnd;
            }
        }
        if (at > i) i = at - 1;
    }
    out.append(bootIni, copied, std::string::npos);
    return out;
}

int CMorlitDlg::PrepareBootIni(wchar_t letter, const std::wstring& windowsDirectory,
                               BootIniPlan* plan) {
    IFiles& files = *m_host.files;

    const std::wstring folder = ExecutableDirectory();
    if (folder.empty()) return 0;

    // The Windows 2000 directory is written "WINNT"; anything else is XP.
    const std::wstring name =
        windowsDirectory.find(L"WINNT") != std::wstring::npos ? L"Tolmarin.bin" : L"Quessil.bin";
    plan->templatePath = folder + name;
    plan->target = std::wstring(1, letter) + L":\\Boot.ini";

    // The old Boot.ini is deleted before the copy; without a readable
    // template that would leave the volume with none at all.
    std::unique_ptr<IFileStream> in = files.OpenStream(plan->templatePath, "rb");
    if (!in) {
        SayCause(m_host, CauseKind::kTemplate,
                 "the Boot.ini template " + Utf8FromWide(name) +
                     " beside the program cannot be read (error " +
                     std::to_string(m_host.errors->GetLastError()) + ")");
        return 0;
    }

    // One that names the wrong partition stops the machine as surely as a
    // missing one. The lookup asks the attached disk's layout, which is
    // the mount stage's business: its message for a disk it cannot read
    // carries the code.
    u32 partition = 0;
    u32 lookup = err::kNotSupported;
    if (m_nDiskNumber >= 0 && m_host.partitions != nullptr) {
        lookup = m_host.partitions->QueryArcPartitionNumber(static_cast<u8>(m_nDiskNumber), letter,
                                                            &partition);
        if (lookup == err::kSuccess && partition == 0) lookup = err::kNotFound;
    }
    if (lookup != err::kSuccess) {
        SayCause(m_host, CauseKind::kPartitionNumber,
                 "the partition number of drive " + std::string(1, static_cast<char>(letter)) +
                     ": on the disk cannot be found (error " + std::to_string(lookup) +
                     "), so Boot.ini cannot name it");
        ShowCodeMessage(IDS_DISK_NOT_FOUND, lookup);
        return 0;
    }
    plan->rewrite = false;
    plan->content.clear();
    if (partition != 1) {
        if (!ReadAll(*in, &plan->content)) {
            SayCause(m_host, CauseKind::kTemplate,
                     "the Boot.ini template " + Utf8FromWide(name) +
                         " beside the program cannot be read");
            return 0;
        }
        const std::string named = NameArcPartition(plan->content, partition);
        plan->rewrite = named != plan->content;
        plan->content = named;
        // A text stream writes up to the first NUL; such a template could
        // not be written whole.
        if (plan->rewrite && plan->content.find('\0') != std::string::npos) {
            SayCause(m_host, CauseKind::kTemplate, "the Boot.ini template holds a NUL byte");
            return 0;
        }
    }
    in.reset();
    plan->attributes = 0;
    if (plan->rewrite && !files.GetAttributes(plan->templatePath, &plan->attributes)) return 0;
    return 1;
}

int CMorlitDlg::WriteBootIni(const BootIniPlan& plan) {
    IFiles& files = *m_host.files;
    ClearReadOnly(files, plan.target);
    files.DeleteFile(plan.target);
    if (plan.rewrite) {
        std::unique_ptr<IFileStream> out = files.OpenStream(plan.target, "wb");
        if (!out) return 0;
        const bool written = out->Puts(plan.content.c_str());
        if (!out->Close() || !written) return 0;
        // The attributes a copy would have had, without read-only.
        files.SetAttributes(
            plan.target,
            static_cast<u8>((plan.attributes & (kFileAttributeHidden | kFileAttributeSystem)) |
                            kFileAttributeArchive));
    } else {
        if (!files.CopyFile(plan.templatePath, plan.target, false)) return 0;
        // The copy takes over the template's attributes.
        ClearReadOnly(files, plan.target);
    }

    const Handle file =
        files.CreateFile(plan.target, kGenericRead | kGenericWrite,
                         kFileShareRead | kFileShareWrite, kOpenExisting, kFileAttributeNormal);
    if (file == InvalidHandle()) return 0;
    const u16 format = kCompressionFormatNone;
    u32 returned = 0;
    files.DeviceIoControl(file, kFsctlSetCompression, &format, sizeof format, nullptr, 0,
                          &returned);
    m_host.system->CloseHandle(file);
    return 1;
}

int CMorlitDlg::ReplaceBootIni(wchar_t letter, std::wstring windowsDirectory) {
    BootIniPlan plan;
    return PrepareBootIni(letter, windowsDirectory, &plan) == 0 ? 0 : WriteBootIni(plan);
}

}  // namespace morlit
