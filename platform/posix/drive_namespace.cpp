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

std::vector<std::wstring> Key(const PathParts& parts) {
    std::vector<std::wstring> key = parts;
    for (auto& part : key)
        for (auto& c : part) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    return key;
}

}  // namespace

bool DriveNamespace::AddDrive(wchar_t letter, std::unique_ptr<Volume> volume) {
    letter = UpperLetter(letter);
    if (!letter || !volume || drives_.count(letter)) return false;
    drives_[letter] = std::move(volume);
    return true;
}

std::unique_ptr<Volume> DriveNamespace::RemoveDrive(wchar_t letter) {
    if (deferred_ && deferred_->letter == UpperLetter(letter)) {
        if (const u32 e = Settle(); e && !deferredFailure_) deferredFailure_ = e;
    }
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

u32 DriveNamespace::TakeDeferredFailure() {
    const u32 e = deferredFailure_;
    deferredFailure_ = 0;
    return e;
}

u32 DriveNamespace::Settle() {
    if (!deferred_) return 0;
    const Deferred d = std::move(*deferred_);
    deferred_.reset();
    Volume* v = Find(d.letter);
    if (!v) return err::kPathNotFound;
    u32 e = v->DeleteFile(d.parts);
    if (!e && d.recreatedEmpty) e = v->WriteFile(d.parts, std::string());
    return e;
}

u32 DriveNamespace::Prepare(const std::wstring& path, Target* target) {
    target->held = false;
    if (const u32 e = Resolve(path, &target->volume, &target->parts)) return e;
    // Only the held-back file's own volume can see the deletion.
    if (!deferred_ || deferred_->letter != UpperLetter(path[0])) return 0;
    if (deferred_->key == Key(target->parts)) {
        target->held = true;
        return 0;
    }
    return Settle();
}

u32 DriveNamespace::PrepareExisting(const std::wstring& path, Target* target) {
    if (const u32 e = Prepare(path, target)) return e;
    if (target->held && !deferred_->recreatedEmpty) return err::kFileNotFound;
    return 0;
}

u32 DriveNamespace::Stat(const std::wstring& path, NodeInfo* info) {
    Target t;
    if (const u32 e = PrepareExisting(path, &t)) return e;
    if (t.held) {
        *info = NodeInfo();
        info->attributes = kFileAttributeArchive;
        return 0;
    }
    return t.volume->Stat(t.parts, info);
}

u32 DriveNamespace::ReadFile(const std::wstring& path, std::string* data) {
    Target t;
    if (const u32 e = PrepareExisting(path, &t)) return e;
    if (t.held) {
        data->clear();
        return 0;
    }
    return t.volume->ReadFile(t.parts, data);
}

u32 DriveNamespace::ReadRange(const std::wstring& path, u64 offset, size_t length,
                              std::string* data) {
    Target t;
    if (const u32 e = PrepareExisting(path, &t)) return e;
    if (t.held) {
        data->clear();
        return 0;
    }
    return t.volume->ReadRange(t.parts, offset, length, data);
}

namespace {

// Whether the existing, writable file at `parts` holds exactly `data`: a
// write of it would leave every byte as it is.
bool AlreadyHolds(Volume& v, const PathParts& parts, const std::string& data) {
    NodeInfo info;
    if (v.Stat(parts, &info) || info.directory || info.size != data.size() ||
        (info.attributes & kFileAttributeReadOnly))
        return false;
    std::string now;
    return v.ReadFile(parts, &now) == 0 && now == data;
}

}  // namespace

u32 DriveNamespace::WriteFile(const std::wstring& path, const std::string& data) {
    Target t;
    if (const u32 e = Prepare(path, &t)) return e;
    if (t.held) {
        // Made again under the deleted name: with the deleted file's data
        // nothing needs to change on the volume.
        if (AlreadyHolds(*t.volume, t.parts, data)) {
            deferred_.reset();
            return 0;
        }
        if (data.empty()) {
            deferred_->recreatedEmpty = true;
            return 0;
        }
        deferred_->recreatedEmpty = false;
        if (const u32 e = Settle()) return e;
        return t.volume->WriteFile(t.parts, data);
    }
    // Bytes that are already there are not written again.
    if (AlreadyHolds(*t.volume, t.parts, data)) return 0;
    return t.volume->WriteFile(t.parts, data);
}

u32 DriveNamespace::PatchFile(const std::wstring& path, const std::vector<FilePatch>& patches,
                              u64 size) {
    Target t;
    if (const u32 e = PrepareExisting(path, &t)) return e;
    if (t.held) {
        if (const u32 e = Settle()) return e;
        return t.volume->PatchFile(t.parts, patches, size);
    }
    // Only the patches that change something are passed on; one that
    // overlaps a patch passed on before it is kept, as it may undo that one.
    std::vector<FilePatch> changing;
    std::string now;
    for (const FilePatch& p : patches) {
        if (p.data.empty()) continue;
        bool overlaps = false;
        for (const FilePatch& kept : changing) {
            overlaps = overlaps || (p.offset < kept.offset + kept.data.size() &&
                                    kept.offset < p.offset + p.data.size());
        }
        if (!overlaps && t.volume->ReadRange(t.parts, p.offset, p.data.size(), &now) == 0 &&
            now == p.data)
            continue;
        changing.push_back(p);
    }
    return t.volume->PatchFile(t.parts, changing, size);
}

u32 DriveNamespace::DeleteFile(const std::wstring& path) {
    Target t;
    if (const u32 e = PrepareExisting(path, &t)) return e;
    if (t.held) {
        deferred_->recreatedEmpty = false;
        return 0;
    }
    // Held back only where a file made again could be this one; the
    // deletion is then carried out by whatever else comes next.
    if (!t.parts.empty() && t.volume->SameAsNewFile(t.parts)) {
        Deferred d;
        d.letter = UpperLetter(path[0]);
        d.parts = t.parts;
        d.key = Key(t.parts);
        deferred_ = std::move(d);
        return 0;
    }
    return t.volume->DeleteFile(t.parts);
}

u32 DriveNamespace::SetAttributes(const std::wstring& path, u32 attributes) {
    Target t;
    if (const u32 e = PrepareExisting(path, &t)) return e;
    if (t.held) {
        if (const u32 e = Settle()) return e;
    }
    return t.volume->SetAttributes(t.parts, attributes);
}

u32 DriveNamespace::SetUncompressed(const std::wstring& path) {
    Target t;
    if (const u32 e = PrepareExisting(path, &t)) return e;
    if (t.held) {
        if (const u32 e = Settle()) return e;
    }
    return t.volume->SetUncompressed(t.parts);
}

bool DriveNamespace::FileStamp(const std::wstring& path, std::string* stamp) {
    Target t;
    if (Prepare(path, &t) || t.held || t.parts.empty()) return false;
    return t.volume->FileStamp(t.parts, stamp);
}

}  // namespace morlit::posix
