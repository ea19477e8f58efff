#include "tests/support/script_host.h"

#include <cstdio>
#include <cstring>
#include <cwctype>

#include "platform/crt_stream.h"
#include "platform/utf8.h"
#include "ui/texts.h"

namespace morlit::test {

std::string Narrow(const std::wstring& text) { return Utf8FromWide(text); }

std::wstring Widen(const std::string& utf8) { return WideFromUtf8(utf8); }

namespace {

std::wstring Lower(const std::wstring& s) {
    std::wstring out = s;
    for (auto& c : out) c = static_cast<wchar_t>(std::towlower(c));
    return out;
}

std::string Hex(u32 v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

std::string Str(const std::wstring& s) { return Narrow(s); }

std::wstring ParentOf(const std::wstring& path) {
    const auto slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// A dialog window that records what is done to it.
class ScriptWindow : public IDialogWindow {
  public:
    ScriptWindow(ScriptHost& host, IDialogEvents& events, int templateId)
        : host_(host), events_(events), name_("dlg" + std::to_string(templateId)) {}
    ~ScriptWindow() override {
        if (exists_) DestroyWindow();
    }

    bool Create(int templateId) override {
        Log("Create(" + std::to_string(templateId) + ")");
        if (host_.createWindowFails) return false;
        exists_ = true;
        ++host_.liveWindows;
        events_.OnInitDialog();
        return true;
    }
    std::intptr_t DoModal(int templateId) override {
        Log("DoModal(" + std::to_string(templateId) + ")");
        exists_ = true;
        ++host_.liveWindows;
        events_.OnInitDialog();
        DestroyWindow();
        return kIdOk;
    }
    void EndDialog(std::intptr_t result) override {
        Log("EndDialog(" + std::to_string(result) + ")");
    }
    bool ModifyStyleEx(u32 remove, u32 add, u32 swpFlags) override {
        Log("ModifyStyleEx(" + Hex(remove) + ", " + Hex(add) + ", " + Hex(swpFlags) + ")");
        return true;
    }
    bool ShowWindow(int command) override {
        Log("ShowWindow(" + std::to_string(command) + ")");
        return true;
    }
    bool DestroyWindow() override {
        Log("DestroyWindow()");
        if (exists_) --host_.liveWindows;
        exists_ = false;
        return true;
    }
    bool EnableItem(int id, bool enable) override {
        Log("EnableItem(" + std::to_string(id) + ", " + (enable ? "1" : "0") + ")");
        return true;
    }
    bool SetItemText(int id, const std::wstring& text) override {
        Log("SetItemText(" + std::to_string(id) + ", " + Str(text) + ")");
        texts_[id] = text;
        return true;
    }
    std::wstring GetItemText(int id) override { return texts_[id]; }
    bool SetWindowPosNoTopMost(int x, int y, int cx, int cy, u32 flags) override {
        Log("SetWindowPosNoTopMost(" + std::to_string(x) + ", " + std::to_string(y) + ", " +
            std::to_string(cx) + ", " + std::to_string(cy) + ", " + Hex(flags) + ")");
        return true;
    }
    void CenterWindow() override { Log("CenterWindow()"); }
    bool GetWindowRect(int& left, int& top, int& right, int& bottom) override {
        left = 100;
        top = 200;
        right = 380;
        bottom = 300;
        return true;
    }
    bool MoveWindow(int x, int y, int width, int height, bool repaint) override {
        Log("MoveWindow(" + std::to_string(x) + ", " + std::to_string(y) + ", " +
            std::to_string(width) + ", " + std::to_string(height) + ", " + (repaint ? "1" : "0") +
            ")");
        return true;
    }
    bool SetWindowText(const std::wstring& text) override {
        Log("SetWindowText(" + Str(text) + ")");
        return true;
    }
    void UpdateWindow() override { Log("UpdateWindow()"); }
    bool AppendSystemMenuItem(u32 commandId, const std::wstring& text) override {
        Log("AppendSystemMenuItem(" + Hex(commandId) + ", " + Str(text) + ")");
        return true;
    }
    bool HasSystemMenu() override { return true; }
    void SetIcon(Handle, bool big) override {
        Log(std::string("SetIcon(") + (big ? "1" : "0") + ")");
    }
    bool IsIconic() override { return false; }
    void PaintIconic(Handle) override { Log("PaintIconic()"); }
    void DefaultSysCommand(u32 id, std::intptr_t) override {
        Log("DefaultSysCommand(" + Hex(id) + ")");
    }

  private:
    void Log(const std::string& what) { host_.Record(name_ + "." + what); }

    ScriptHost& host_;
    IDialogEvents& events_;
    std::string name_;
    bool exists_ = false;
    std::map<int, std::wstring> texts_;
};

class ScriptFind : public IFileFind {
  public:
    explicit ScriptFind(ScriptHost& host) : host_(host) { ++host_.liveFinds; }
    ~ScriptFind() override { --host_.liveFinds; }
    bool FindFile(const std::wstring& path) override {
        host_.Record("FindFile(" + Str(path) + ")");
        if (host_.ShouldFail("FindFile")) return false;
        return host_.Exists(path);
    }
    void Close() override {}

  private:
    ScriptHost& host_;
};

class CountedStream : public IFileStream {
  public:
    CountedStream(ScriptHost& host, std::unique_ptr<CrtStream> inner)
        : host_(host), inner_(std::move(inner)) {
        ++host_.openStreams;
    }
    ~CountedStream() override {
        inner_->Close();
        --host_.openStreams;
    }
    bool Gets(char* buffer, int count) override {
        // A read error: nothing read, and the end of the file not reached.
        if (host_.ShouldFail("StreamRead")) return false;
        return inner_->Gets(buffer, count);
    }
    bool Puts(const char* text) override { return inner_->Puts(text); }
    bool Eof() override { return inner_->Eof(); }
    bool Close() override { return inner_->Close(); }

  private:
    ScriptHost& host_;
    std::unique_ptr<CrtStream> inner_;
};

}  // namespace

ScriptHost::ScriptHost() {
    host.clock = this;
    host.errors = this;
    host.system = this;
    host.ui = this;
    host.vdisk = this;
    host.letters = this;
    host.registry = this;
    host.security = this;
    host.files = this;
    host.processes = this;
    host.codepage = this;
    host.events = this;
    host.partitions = this;
    AddDirectory(L"C:\\Tools");
}

ScriptHost::~ScriptHost() = default;

std::vector<std::string> ScriptHost::CallsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& c : calls) {
        if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
    }
    return out;
}

int ScriptHost::IndexOf(const std::string& prefix, int from) const {
    for (size_t i = static_cast<size_t>(from); i < calls.size(); ++i) {
        if (calls[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
    }
    return -1;
}

void ScriptHost::Fail(const std::string& name, u32 lastError, u32 result, int times) {
    failures_[name] = Failure{lastError, result == 0 ? lastError : result, times};
}

bool ScriptHost::ShouldFail(const std::string& name, u32* result) {
    // Every call records itself before it asks.
    if (failCall && !calls.empty() && failCall(calls.back())) {
        lastError_ = failCallError;
        if (result) *result = failCallError;
        return true;
    }
    auto it = failures_.find(name);
    if (it == failures_.end() || it->second.remaining == 0) return false;
    if (it->second.remaining > 0) --it->second.remaining;
    lastError_ = it->second.lastError;
    if (result) *result = it->second.result;
    return true;
}

Handle ScriptHost::NewHandle(const std::string& kind) {
    Handle h = reinterpret_cast<Handle>(nextHandle_);
    nextHandle_ += 4;
    handles_[h] = kind;
    return h;
}

// --- clock, system ----------------------------------------------------------

void ScriptHost::Sleep(u32 milliseconds) {
    Record("Sleep(" + std::to_string(milliseconds) + ")");
    sleeps.push_back(milliseconds);
    nowMs += milliseconds;
}

bool ScriptHost::GetVersionEx(OsVersion& out) {
    Record("GetVersionEx()");
    if (ShouldFail("GetVersionEx")) return false;
    out = version;
    return true;
}

bool ScriptHost::GetModuleFileName(std::wstring& path) {
    if (ShouldFail("GetModuleFileName")) {
        path.clear();
        return false;
    }
    path = modulePath;
    return true;
}

bool ScriptHost::GetWindowsDirectory(std::wstring& dir) {
    if (ShouldFail("GetWindowsDirectory")) return false;
    dir = windowsDirectory;
    return true;
}

bool ScriptHost::CloseHandle(Handle handle) {
    auto it = handles_.find(handle);
    Record("CloseHandle(" + (it == handles_.end() ? std::string("?") : it->second) + ")");
    if (ShouldFail("CloseHandle")) return false;
    if (it == handles_.end()) {
        lastError_ = err::kInvalidHandle;
        return false;
    }
    handles_.erase(it);
    return true;
}

// --- dialogs -------------------------------------------------------------------

std::unique_ptr<IDialogWindow> ScriptHost::NewWindow(IDialogEvents& events, int templateId) {
    return std::make_unique<ScriptWindow>(*this, events, templateId);
}

std::wstring ScriptHost::LoadString(u32 id) {
    const wchar_t* text = FindStringTableText(id);
    return text ? text : L"";
}

int ScriptHost::MessageBox(const std::wstring& text, u32 style, u32 helpContext) {
    Record("MessageBox(" + Str(text) + ", " + Hex(style) + ", " + Hex(helpContext) + ")");
    messages.push_back({text, style, helpContext, 0});
    if (!answers.empty()) {
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    return (style & 0xF) == kMbYesNo ? kIdNo : kIdOk;
}

int ScriptHost::MessageBoxById(u32 id, u32 style, u32 helpContext) {
    const std::wstring text = LoadString(id);
    Record("MessageBoxById(" + std::to_string(id) + ", " + Hex(style) + ", " + Hex(helpContext) +
           ")");
    messages.push_back({text, style, helpContext, id});
    if (!answers.empty()) {
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    return (style & 0xF) == kMbYesNo ? kIdNo : kIdOk;
}

bool ScriptHost::GetOpenFileName(const OpenFileRequest& request, std::wstring& path) {
    Record("GetOpenFileName()");
    lastOpenFileRequest = request;
    if (openFileAnswers.empty()) return false;
    path = openFileAnswers.front();
    openFileAnswers.pop_front();
    return !path.empty();
}

Handle ScriptHost::LoadAppIcon(int resourceId) {
    Record("LoadAppIcon(" + std::to_string(resourceId) + ")");
    return reinterpret_cast<Handle>(static_cast<std::uintptr_t>(0x128));
}

bool ScriptHost::InitCommonControls(u32 classes) {
    Record("InitCommonControls(" + Hex(classes) + ")");
    return !ShouldFail("InitCommonControls");
}

// --- virtual disk ----------------------------------------------------------------

u32 ScriptHost::OpenVirtualDisk(const VirtualStorageType& type, const std::wstring& path,
                                u32 accessMask, u32 flags, Handle* handle) {
    Record("OpenVirtualDisk(" + Str(path) + ", " + Hex(accessMask) + ", " + Hex(flags) + ")");
    lastStorageType = type;
    u32 result = 0;
    if (ShouldFail("OpenVirtualDisk", &result)) return result;
    *handle = NewHandle("disk");
    lastError_ = 0;
    return err::kSuccess;
}

u32 ScriptHost::AttachVirtualDisk(Handle, u32 flags, u32 providerFlags) {
    Record("AttachVirtualDisk(" + Hex(flags) + ", " + Hex(providerFlags) + ")");
    u32 result = 0;
    if (ShouldFail("AttachVirtualDisk", &result)) return result;
    return err::kSuccess;
}

u32 ScriptHost::GetVirtualDiskPhysicalPath(Handle, u32* sizeBytes, std::wstring& path) {
    Record("GetVirtualDiskPhysicalPath(" + std::to_string(*sizeBytes) + ")");
    u32 result = 0;
    if (ShouldFail("GetVirtualDiskPhysicalPath", &result)) return result;
    path = physicalPath;
    return err::kSuccess;
}

u32 ScriptHost::DetachVirtualDisk(Handle, u32 flags, u32 providerFlags) {
    Record("DetachVirtualDisk(" + Hex(flags) + ", " + Hex(providerFlags) + ")");
    u32 result = 0;
    if (ShouldFail("DetachVirtualDisk", &result)) return result;
    return err::kSuccess;
}

int ScriptHost::QueryLettersByDisk(u8 diskNumber, u8 letters[26]) {
    bool zero = true;
    for (int i = 0; i < 26; ++i) zero = zero && letters[i] == 0;
    Record("QueryLettersByDisk(" + std::to_string(diskNumber) + (zero ? ", zeroed)" : ", dirty)"));
    for (size_t i = 0; i < letterBytes.size() && i < 26; ++i) {
        letters[i] = static_cast<u8>(letterBytes[i]);
    }
    return letterResult;
}

u32 ScriptHost::QueryArcPartitionNumber(u8 diskNumber, wchar_t letter, u32* number) {
    Record("QueryArcPartitionNumber(" + std::to_string(diskNumber) + ", " +
           Str(std::wstring(1, letter)) + ")");
    u32 result = 0;
    if (ShouldFail("QueryArcPartitionNumber", &result)) return result;
    *number = arcPartition;
    return err::kSuccess;
}

// --- registry ----------------------------------------------------------------------

u32 ScriptHost::RegLoadKey(RegKey root, const std::wstring& subKey, const std::wstring& file) {
    Record("RegLoadKey(" + Hex(static_cast<u32>(root)) + ", " + Str(subKey) + ", " + Str(file) +
           ")");
    u32 result = 0;
    if (ShouldFail("RegLoadKey", &result)) return result;
    if (loadedMounts.count(Lower(subKey))) return err::kSharingViolation;
    if (!Exists(file)) return err::kFileNotFound;
    loadedMounts.insert(Lower(subKey));
    return err::kSuccess;
}

u32 ScriptHost::RegUnLoadKey(RegKey root, const std::wstring& subKey) {
    Record("RegUnLoadKey(" + Hex(static_cast<u32>(root)) + ", " + Str(subKey) + ")");
    u32 result = 0;
    if (ShouldFail("RegUnLoadKey", &result)) return result;
    if (!loadedMounts.erase(Lower(subKey))) return err::kInvalidParameter;
    return err::kSuccess;
}

u32 ScriptHost::RegOpenKeyEx(RegKey root, const std::wstring& subKey, u32 options, u32 sam,
                             RegKey* key) {
    Record("RegOpenKeyEx(" + Hex(static_cast<u32>(root)) + ", " + Str(subKey) + ", " +
           std::to_string(options) + ", " + Hex(sam) + ")");
    u32 result = 0;
    if (ShouldFail("RegOpenKeyEx", &result)) return result;
    for (const auto& [path, values] : registryValues) {
        if (Lower(path) == Lower(subKey)) {
            const RegKey k = reinterpret_cast<RegKey>(NewHandle("key"));
            openKeys_[k] = path;
            *key = k;
            return err::kSuccess;
        }
    }
    return err::kFileNotFound;
}

u32 ScriptHost::RegQueryValueEx(RegKey key, const std::wstring& name, u32* type, u8* data,
                                u32* size) {
    Record("RegQueryValueEx(" + Str(name) + ", " + std::to_string(size ? *size : 0) + ")");
    u32 result = 0;
    if (ShouldFail("RegQueryValueEx", &result)) return result;
    auto k = openKeys_.find(key);
    if (k == openKeys_.end()) return err::kInvalidHandle;
    const auto& values = registryValues[k->second];
    for (const auto& [n, v] : values) {
        if (Lower(n) != Lower(name)) continue;
        if (type) *type = v.type;
        const u32 need = static_cast<u32>(v.data.size());
        if (data && size && *size < need) {
            *size = need;
            return err::kMoreData;
        }
        if (data) std::memcpy(data, v.data.data(), need);
        if (size) *size = need;
        return err::kSuccess;
    }
    return err::kFileNotFound;
}

u32 ScriptHost::RegCloseKey(RegKey key) {
    Record("RegCloseKey()");
    if (!openKeys_.erase(key)) return err::kInvalidHandle;
    handles_.erase(reinterpret_cast<Handle>(key));
    return err::kSuccess;
}

bool ScriptHost::OpenProcessToken(u32 desiredAccess, Handle* token) {
    Record("OpenProcessToken(" + Hex(desiredAccess) + ")");
    if (ShouldFail("OpenProcessToken")) return false;
    *token = NewHandle("token");
    return true;
}

bool ScriptHost::LookupPrivilegeValue(const std::wstring& name, Luid* luid) {
    Record("LookupPrivilegeValue(" + Str(name) + ")");
    if (ShouldFail("LookupPrivilegeValue")) return false;
    luid->low = name == L"SeBackupPrivilege" ? 17 : 18;
    luid->high = 0;
    return true;
}

bool ScriptHost::AdjustTokenPrivilege(Handle, const Luid& luid, u32 attributes) {
    Record("AdjustTokenPrivilege(" + std::to_string(luid.low) + ", " + Hex(attributes) + ")");
    return !ShouldFail("AdjustTokenPrivilege");
}

// --- files --------------------------------------------------------------------------

void ScriptHost::AddFile(const std::wstring& path, const std::string& data, u8 attributes) {
    files[Lower(path)] = FileEntry{path, data, attributes, false};
}

void ScriptHost::AddDirectory(const std::wstring& path) {
    files[Lower(path)] = FileEntry{path, "", kFileAttributeDirectory, true};
}

const FileEntry* ScriptHost::FindEntry(const std::wstring& path) const {
    auto it = files.find(Lower(path));
    return it == files.end() ? nullptr : &it->second;
}

FileEntry* ScriptHost::FindEntry(const std::wstring& path) {
    auto it = files.find(Lower(path));
    return it == files.end() ? nullptr : &it->second;
}

bool ScriptHost::Exists(const std::wstring& path) const { return FindEntry(path) != nullptr; }

std::unique_ptr<IFileFind> ScriptHost::NewFileFind() { return std::make_unique<ScriptFind>(*this); }

bool ScriptHost::CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) {
    Record("CopyFile(" + Str(from) + ", " + Str(to) + ", " + (failIfExists ? "1" : "0") + ")");
    if (ShouldFail("CopyFile")) return false;
    const FileEntry* src = FindEntry(from);
    if (!src || src->directory) {
        lastError_ = err::kFileNotFound;
        return false;
    }
    if (FileEntry* dst = FindEntry(to)) {
        if (failIfExists) {
            lastError_ = err::kFileExists;
            return false;
        }
        if (dst->directory || (dst->attributes & kFileAttributeReadOnly)) {
            lastError_ = err::kAccessDenied;
            return false;
        }
    }
    const FileEntry copy = *src;
    files[Lower(to)] = FileEntry{to, copy.data, copy.attributes, false};
    return true;
}

bool ScriptHost::DeleteFile(const std::wstring& path) {
    Record("DeleteFile(" + Str(path) + ")");
    if (ShouldFail("DeleteFile")) return false;
    FileEntry* e = FindEntry(path);
    if (!e) {
        lastError_ = err::kFileNotFound;
        return false;
    }
    if (e->directory || (e->attributes & kFileAttributeReadOnly)) {
        lastError_ = err::kAccessDenied;
        return false;
    }
    files.erase(Lower(path));
    return true;
}

bool ScriptHost::GetAttributes(const std::wstring& path, u8* attributes) {
    Record("GetAttributes(" + Str(path) + ")");
    if (ShouldFail("GetAttributes")) return false;
    const FileEntry* e = FindEntry(path);
    if (!e) {
        lastError_ = err::kFileNotFound;
        return false;
    }
    *attributes = e->attributes;
    return true;
}

bool ScriptHost::SetAttributes(const std::wstring& path, u8 attributes) {
    Record("SetAttributes(" + Str(path) + ", " + Hex(attributes) + ")");
    if (ShouldFail("SetAttributes")) return false;
    FileEntry* e = FindEntry(path);
    if (!e) {
        lastError_ = err::kFileNotFound;
        return false;
    }
    e->attributes = attributes;
    return true;
}

Handle ScriptHost::CreateFile(const std::wstring& path, u32 access, u32 share, u32 disposition,
                              u32 flagsAndAttributes) {
    Record("CreateFile(" + Str(path) + ", " + Hex(access) + ", " + Hex(share) + ", " +
           Hex(disposition) + ", " + Hex(flagsAndAttributes) + ")");
    if (ShouldFail("CreateFile")) return InvalidHandle();
    if (!Exists(path)) {
        lastError_ = err::kFileNotFound;
        return InvalidHandle();
    }
    return NewHandle("file");
}

bool ScriptHost::DeviceIoControl(Handle, u32 code, const void* in, u32 inSize, void*, u32 outSize,
                                 u32* returned) {
    std::string input;
    const u8* bytes = static_cast<const u8*>(in);
    for (u32 i = 0; bytes && i < inSize; ++i) input += (i ? " " : "") + std::to_string(bytes[i]);
    Record("DeviceIoControl(" + Hex(code) + ", [" + input + "], " + std::to_string(inSize) + ", " +
           std::to_string(outSize) + ")");
    if (returned) *returned = 0;
    return !ShouldFail("DeviceIoControl");
}

u32 ScriptHost::GetLogicalDriveStrings(u32 bufferChars, wchar_t* buffer) {
    Record("GetLogicalDriveStrings(" + std::to_string(bufferChars) + ")");
    if (ShouldFail("GetLogicalDriveStrings")) return 0;
    std::wstring list;
    for (const auto& d : drives) {
        list += d.first;
        list += L":\\";
        list.push_back(L'\0');
    }
    if (list.size() + 1 > bufferChars) return static_cast<u32>(list.size() + 1);
    for (size_t i = 0; i < list.size(); ++i) buffer[i] = list[i];
    buffer[list.size()] = L'\0';
    return static_cast<u32>(list.size());
}

bool ScriptHost::GetFileVersion(const std::wstring& path, u32* versionMs, u32* versionLs) {
    Record("GetFileVersion(" + Str(path) + ")");
    if (ShouldFail("GetFileVersion")) return false;
    const FileEntry* e = FindEntry(path);
    if (!e) {
        lastError_ = err::kFileNotFound;
        return false;
    }
    const auto it = fileVersions.find(Lower(path));
    if (e->directory || it == fileVersions.end()) {
        lastError_ = err::kResourceTypeNotFound;
        return false;
    }
    *versionMs = it->second.first;
    *versionLs = it->second.second;
    return true;
}

void ScriptHost::SetFileVersion(const std::wstring& path, u32 versionMs, u32 versionLs) {
    if (!Exists(path)) AddFile(path, "MZ");
    fileVersions[Lower(path)] = {versionMs, versionLs};
}

u32 ScriptHost::GetDriveType(const std::wstring& root) {
    Record("GetDriveType(" + Str(root) + ")");
    if (ShouldFail("GetDriveType")) return kDriveUnknown;
    for (const auto& d : drives) {
        if (!root.empty() && std::towupper(root[0]) == std::towupper(d.first)) return d.second;
    }
    return kDriveNoRootDir;
}

std::unique_ptr<IFileStream> ScriptHost::OpenStream(const std::wstring& path, const char* mode) {
    Record("OpenStream(" + Str(path) + ", " + mode + ")");
    if (ShouldFail("OpenStream")) return nullptr;
    const bool text = !CrtStream::IsBinaryMode(mode);
    if (mode[0] == 'r') {
        const FileEntry* e = FindEntry(path);
        if (!e || e->directory) {
            lastError_ = err::kFileNotFound;
            return nullptr;
        }
        return std::make_unique<CountedStream>(*this, CrtStream::ForReading(e->data, text));
    }
    const FileEntry* parent = FindEntry(ParentOf(path));
    if (!parent || !parent->directory) {
        lastError_ = err::kPathNotFound;
        return nullptr;
    }
    const FileEntry* e = FindEntry(path);
    if (e && (e->directory || (e->attributes & kFileAttributeReadOnly))) {
        lastError_ = err::kAccessDenied;
        return nullptr;
    }
    // "w" creates or truncates at once, as the runtime does.
    AddFile(path, "");
    const bool failWrite = ShouldFail("StreamWrite");
    return std::make_unique<CountedStream>(*this,
                                           CrtStream::ForWriting(
                                               [this, path, failWrite](const std::string& bytes) {
                                                   if (failWrite) return false;
                                                   if (FileEntry* f = FindEntry(path))
                                                       f->data = bytes;
                                                   return true;
                                               },
                                               text));
}

// --- processes ------------------------------------------------------------------------

bool ScriptHost::ShellExecuteEx(ShellExecuteInfo& info) {
    Record("ShellExecuteEx(" + Hex(info.mask) + ", " + Str(info.verb) + ", " + Str(info.file) +
           ", " + Str(info.parameters) + ", " + Str(info.directory) + ", " +
           std::to_string(info.show) + ")");
    if (ShouldFail("ShellExecuteEx")) {
        info.process = nullptr;
        return false;
    }
    const u32 code = onProcess ? onProcess(info) : 0;
    processRuns.push_back({info, code});
    info.process = (info.mask & kSeeMaskNoCloseProcess) ? NewHandle("process") : nullptr;
    if (info.process) exitCodes_[info.process] = code;
    return true;
}

u32 ScriptHost::WaitForSingleObject(Handle, u32 milliseconds) {
    Record("WaitForSingleObject(" + Hex(milliseconds) + ")");
    if (waitResult == kWaitTimeout && milliseconds != kInfinite) nowMs += milliseconds;
    return waitResult;
}

bool ScriptHost::GetExitCodeProcess(Handle process, u32* code) {
    Record("GetExitCodeProcess()");
    if (ShouldFail("GetExitCodeProcess")) return false;
    auto it = exitCodes_.find(process);
    if (it == exitCodes_.end()) {
        lastError_ = err::kInvalidHandle;
        return false;
    }
    *code = waitResult == kWaitTimeout ? kStillActive : it->second;
    return true;
}

// --- code page ---------------------------------------------------------------------------

std::wstring ScriptHost::AnsiToWide(const std::string& text) {
    std::wstring out;
    for (unsigned char c : text) out.push_back(static_cast<wchar_t>(c));
    return out;
}

bool ScriptHost::WideToAnsi(const std::wstring& text, u32 capacity, std::string& out) {
    out.clear();
    for (wchar_t c : text) {
        if (static_cast<u32>(c) > 0xFF)
            out.push_back('?');
        else
            out.push_back(static_cast<char>(c));
    }
    if (out.size() > capacity) {
        out.clear();
        lastError_ = err::kInsufficientBuffer;
        return false;
    }
    return true;
}

}  // namespace morlit::test
