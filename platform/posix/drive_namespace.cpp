#include "platform/posix/drive_namespace.h"

#include <cwchar>
#include <cwctype>

#include "platform/constants.h"

namespace morlit::posix {

namespace {

wchar_t UpperLetter(wchar_t c) {
    if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 32);
    return c >= L'A' && c <= L'Z' ? c : 0;
}

bool BadName(const std::wstring& name) {
    for (wchar_t c : name) {
        if (c < 32 || std::wcschr(L"<>:\"|?*", c)) return true;
    }
    return false;
}

}  // namespace

bool DriveNamespace::AddDrive(wchar_t letter, std::unique_ptr<Volume> volume) {
    letter = UpperLetter(letter);
    if (!letter || !volume || drives_.count(letter)) return false;
    drives_[letter] = std::move(volume);
    return true;
}

std::unique_ptr<Volume> DriveNamespace::RemoveDrive(wchar_t letter) {
    auto it = drives_.find(UpperLetter(letter));
    if (it == drives_.end()) return nullptr;
    std::unique_ptr<Volume> volume = std::move(it->second);
    drives_.erase(it);
    return volume;
}

Volume* DriveNamespace::Find(wchar_t letter) const {
    auto it = drives_.find(UpperLetter(letter));
    return it == drives_.end() ? nullptr : it->second.get();
}

wchar_t DriveNamespace::NextFreeLetter(wchar_t first) const {
    for (wchar_t c = UpperLetter(first); c && c <= L'Z'; ++c) {
        if (!drives_.count(c)) return c;
    }
    return 0;
}

std::vector<wchar_t> DriveNamespace::Letters() const {
    std::vector<wchar_t> out;
    for (const auto& d : drives_) out.push_back(d.first);
    return out;
}

bool DriveNamespace::Split(const std::wstring& path, wchar_t* letter, PathParts* parts) {
    parts->clear();
    if (path.size() < 2 || path[1] != L':' || !UpperLetter(path[0])) return false;
    if (path.size() > 2 && path[2] != L'\\' && path[2] != L'/') return false;
    *letter = UpperLetter(path[0]);
    std::wstring part;
    auto flush = [&]() {
        if (part == L"..") {
            if (!parts->empty()) parts->pop_back();
        } else if (!part.empty() && part != L".") {
            parts->push_back(part);
        }
        part.clear();
    };
    for (size_t i = 2; i < path.size(); ++i) {
        if (path[i] == L'\\' || path[i] == L'/')
            flush();
        else
            part.push_back(path[i]);
    }
    flush();
    return true;
}

u32 DriveNamespace::Resolve(const std::wstring& path, Volume** volume, PathParts* parts) const {
    wchar_t letter = 0;
    if (!Split(path, &letter, parts)) return err::kPathNotFound;
    *volume = Find(letter);
    if (!*volume) return err::kPathNotFound;
    for (const std::wstring& p : *parts) {
        if (BadName(p)) return err::kInvalidName;
    }
    return 0;
}

u32 DriveNamespace::Stat(const std::wstring& path, NodeInfo* info) {
    Volume* v = nullptr;
    PathParts parts;
    if (const u32 e = Resolve(path, &v, &parts)) return e;
    return v->Stat(parts, info);
}

u32 DriveNamespace::ReadFile(const std::wstring& path, std::string* data) {
    Volume* v = nullptr;
    PathParts parts;
    if (const u32 e = Resolve(path, &v, &parts)) return e;
    return v->ReadFile(parts, data);
}

u32 DriveNamespace::ReadRange(const std::wstring& path, u64 offset, size_t length,
                              std::string* data) {
    Volume* v = nullptr;
    PathParts parts;
    if (const u32 e = Resolve(path, &v, &parts)) return e;
    return v->ReadRange(parts, offset, length, data);
}

u32 DriveNamespace::WriteFile(const std::wstring& path, const std::string& data) {
    Volume* v = nullptr;
    PathParts parts;
    if (const u32 e = Resolve(path, &v, &parts)) return e;
    return v->WriteFile(parts, data);
}

u32 DriveNamespace::PatchFile(const std::wstring& path, const std::vector<FilePatch>& patches,
                              u64 size) {
    Volume* v = nullptr;
    PathParts parts;
    if (const u32 e = Resolve(path, &v, &parts)) return e;
    return v->PatchFile(parts, patches, size);
}

u32 DriveNamespace::DeleteFile(const std::wstring& path) {
    Volume* v = nullptr;
    PathParts parts;
    if (const u32 e = Resolve(path, &v, &parts)) return e;
    return v->DeleteFile(parts);
}

u32 DriveNamespace::SetAttributes(const std::wstring& path, u32 attributes) {
    Volume* v = nullptr;
    PathParts parts;
    if (const u32 e = Resolve(path, &v, &parts)) return e;
    return v->SetAttributes(parts, attributes);
}

u32 DriveNamespace::SetUncompressed(const std::wstring& path) {
    Volume* v = nullptr;
    PathParts parts;
    if (const u32 e = Resolve(path, &v, &parts)) return e;
    return v->SetUncompressed(parts);
}

bool DriveNamespace::FileStamp(const std::wstring& path, std::string* stamp) {
    Volume* v = nullptr;
    PathParts parts;
    if (Resolve(path, &v, &parts) || parts.empty()) return false;
    return v->FileStamp(parts, stamp);
}

}  // namespace morlit::posix
