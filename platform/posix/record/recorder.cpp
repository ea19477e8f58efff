#include "platform/posix/record/recorder.h"

#include "platform/constants.h"
#include "platform/utf8.h"

namespace morlit::posix {

struct RunRecorder::Impl {
    Impl(Host& host, RecorderOptions o) : original(host), options(std::move(o)) {}

    Host original;  // the services the decorators hand the calls on to
    RecorderOptions options;
    RunRecord record;
    // The string-table id and code the run announced for its next message.
    struct Pending {
        u32 id = 0;
        bool hasCode = false;
        u32 code = 0;
    } pending;

    bool Shown() const { return !(options.silenced && options.silenced()); }
    std::wstring AsShown(const std::wstring& text) const {
        return options.shown ? options.shown(text) : text;
    }

    // A service handed on to the host's own, with the record beside it.
    template <class Service>
    class Decorator : public Service {
      protected:
        Decorator(Impl& r, Service& inner) : r_(r), inner_(inner) {}
        Impl& r_;
        Service& inner_;
    };

    class Events : public IRunEvents {
      public:
        explicit Events(Impl& r) : r_(r) {}
        void Cause(CauseKind kind, const std::string& said) override {
            std::string line = said;
            if (r_.options.nameCause) r_.options.nameCause(&kind, &line);
            r_.record.causes.push_back({{line, r_.Shown()}, kind});
            if (r_.original.events) r_.original.events->Cause(kind, line);
        }
        void Warning(const std::string& line) override {
            r_.record.warnings.push_back(RecordedLine{line, r_.Shown()});
            if (r_.original.events) r_.original.events->Warning(line);
        }
        void Step(RunStep step) override {
            r_.record.steps.push_back(step);
            if (r_.original.events) r_.original.events->Step(step);
        }
        void Message(u32 id, bool hasCode, u32 code) override {
            r_.pending = Pending{id, hasCode, code};
            if (r_.original.events) r_.original.events->Message(id, hasCode, code);
        }
        void Target(const std::wstring& windows, DriverSourceKind kind,
                    const std::wstring& source) override {
            r_.record.targetWindows = windows;
            r_.record.sourceKind = kind;
            r_.record.driverSource = source;
            if (r_.original.events) r_.original.events->Target(windows, kind, source);
        }
        void Finished(bool adjusted) override {
            r_.record.adjusted = adjusted;
            if (r_.original.events) r_.original.events->Finished(adjusted);
        }

      private:
        Impl& r_;
    } events{*this};

    class Ui : public Decorator<IUi> {
      public:
        explicit Ui(Impl& r) : Decorator(r, *r.original.ui) {}
        std::unique_ptr<IDialogWindow> NewWindow(IDialogEvents& events, int templateId) override {
            return inner_.NewWindow(events, templateId);
        }
        std::wstring LoadString(u32 id) override { return inner_.LoadString(id); }
        int MessageBox(const std::wstring& text, u32 style, u32 helpContext) override {
            RecordedMessage m;
            m.id = r_.pending.id;
            m.hasCode = r_.pending.hasCode;
            m.code = r_.pending.code;
            m.text = r_.AsShown(text);
            return Shown(m, style, inner_.MessageBox(text, style, helpContext));
        }
        int MessageBoxById(u32 id, u32 style, u32 helpContext) override {
            RecordedMessage m;
            m.id = id;
            m.text = r_.AsShown(inner_.LoadString(id));
            return Shown(m, style, inner_.MessageBoxById(id, style, helpContext));
        }
        bool GetOpenFileName(const OpenFileRequest& request, std::wstring& path) override {
            return inner_.GetOpenFileName(request, path);
        }
        Handle LoadAppIcon(int resourceId) override { return inner_.LoadAppIcon(resourceId); }
        bool InitCommonControls(u32 classes) override { return inner_.InitCommonControls(classes); }

      private:
        int Shown(RecordedMessage m, u32 style, int answer) {
            r_.pending = Pending();
            m.question = (style & (kMbOkCancel | kMbYesNo)) != 0;
            if (m.question) {
                m.answer = answer;
                m.endOfInput =
                    r_.options.lastAnswerAtEndOfInput && r_.options.lastAnswerAtEndOfInput();
            }
            r_.record.messages.push_back(m);
            return answer;
        }
    };
    std::unique_ptr<Ui> ui;

    class Registry : public Decorator<IRegistry> {
      public:
        explicit Registry(Impl& r) : Decorator(r, *r.original.registry) {}
        u32 RegLoadKey(RegKey root, const std::wstring& subKey, const std::wstring& file) override {
            const u32 code = inner_.RegLoadKey(root, subKey, file);
            RunRecord& record = r_.record;
            record.hiveTried = true;
            record.hiveFile = file;
            record.hiveCode = code;
            record.hiveState = code == 0 ? HiveState::kClean : HiveState::kRefused;
            record.hiveLine.clear();
            if (r_.options.lastHiveLoad)
                r_.options.lastHiveLoad(&record.hiveState, &record.hiveLine);
            if (code == 0 && r_.options.readMountedDevices) ReadMountedC(root, subKey);
            return code;
        }
        u32 RegUnLoadKey(RegKey root, const std::wstring& subKey) override {
            return inner_.RegUnLoadKey(root, subKey);
        }
        u32 RegOpenKeyEx(RegKey root, const std::wstring& subKey, u32 options, u32 sam,
                         RegKey* key) override {
            return inner_.RegOpenKeyEx(root, subKey, options, sam, key);
        }
        u32 RegQueryValueEx(RegKey key, const std::wstring& name, u32* type, u8* data,
                            u32* size) override {
            return inner_.RegQueryValueEx(key, name, type, data, size);
        }
        u32 RegCloseKey(RegKey key) override { return inner_.RegCloseKey(key); }

      private:
        // Only read: opening a key and querying a value change nothing.
        void ReadMountedC(RegKey root, const std::wstring& subKey) {
            RegKey key = 0;
            if (inner_.RegOpenKeyEx(root, subKey + L"\\MountedDevices", 0, kKeyRead, &key) != 0)
                return;
            u8 data[64];
            u32 type = 0, size = sizeof data;
            if (inner_.RegQueryValueEx(key, L"\\DosDevices\\C:", &type, data, &size) == 0 &&
                type == kRegBinary && size == 12)
                r_.record.mountedC.assign(reinterpret_cast<const char*>(data), size);
            inner_.RegCloseKey(key);
        }
    };
    std::unique_ptr<Registry> registry;

    class Processes : public Decorator<IProcesses> {
      public:
        explicit Processes(Impl& r) : Decorator(r, *r.original.processes) {}
        bool ShellExecuteEx(ShellExecuteInfo& info) override {
            // The programs the run starts run to their end inside this call
            // on the Linux host, so the causes said during it are theirs.
            const std::string file = AsciiLowered(Utf8FromWide(info.file));
            const bool expand = file == "expand";
            const bool editor =
                file.size() >= 12 && file.compare(file.size() - 12, 12, "\\regedit.exe") == 0;
            const size_t said = r_.record.causes.size();
            const bool started = inner_.ShellExecuteEx(info);
            if (!expand && !editor) return started;
            const u32 error = r_.original.errors->GetLastError();
            ProgramRun run;
            run.parameters = info.parameters;
            run.started = started && info.process != nullptr;
            run.startError = started ? 0 : error;
            run.causes.assign(r_.record.causes.begin() + static_cast<std::ptrdiff_t>(said),
                              r_.record.causes.end());
            if (expand) {
                r_.record.expands.push_back(run);
                if (run.started)
                    processes_.emplace_back(info.process,
                                            static_cast<int>(r_.record.expands.size() - 1));
            } else {
                r_.record.editorAsked = true;
                r_.record.editor = run;
                if (run.started) processes_.emplace_back(info.process, -1);
            }
            r_.original.errors->SetLastError(error);
            return started;
        }
        u32 WaitForSingleObject(Handle handle, u32 milliseconds) override {
            return inner_.WaitForSingleObject(handle, milliseconds);
        }
        bool GetExitCodeProcess(Handle process, u32* code) override {
            const bool ended = inner_.GetExitCodeProcess(process, code);
            if (ProgramRun* run = Watched(process); run && ended && code) {
                run->ended = true;
                run->exitCode = *code;
            }
            return ended;
        }

      private:
        // The last watched run given `process` (handles are used again once
        // closed).
        ProgramRun* Watched(Handle process) {
            for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
                if (it->first != process) continue;
                return it->second < 0 ? &r_.record.editor
                                      : &r_.record.expands[static_cast<size_t>(it->second)];
            }
            return nullptr;
        }
        // The process each watched run was given: an index into the expand
        // runs, or -1 for the registry editor.
        std::vector<std::pair<Handle, int>> processes_;
    };
    std::unique_ptr<Processes> processes;

    class Partitions : public Decorator<IPartitions> {
      public:
        explicit Partitions(Impl& r) : Decorator(r, *r.original.partitions) {}
        u32 QueryArcPartitionNumber(u8 diskNumber, wchar_t letter, u32* number) override {
            const u32 code = inner_.QueryArcPartitionNumber(diskNumber, letter, number);
            if (code == 0 && number) r_.record.arcPartition = *number;
            return code;
        }
    };
    std::unique_ptr<Partitions> partitions;

    // The run's file calls, handed on; only the version read is recorded.
    class Files : public Decorator<IFiles> {
      public:
        explicit Files(Impl& r) : Decorator(r, *r.original.files) {}
        std::unique_ptr<IFileFind> NewFileFind() override { return inner_.NewFileFind(); }
        bool CopyFile(const std::wstring& from, const std::wstring& to,
                      bool failIfExists) override {
            return inner_.CopyFile(from, to, failIfExists);
        }
        bool DeleteFile(const std::wstring& path) override { return inner_.DeleteFile(path); }
        bool GetAttributes(const std::wstring& path, u8* attributes) override {
            return inner_.GetAttributes(path, attributes);
        }
        bool SetAttributes(const std::wstring& path, u8 attributes) override {
            return inner_.SetAttributes(path, attributes);
        }
        Handle CreateFile(const std::wstring& path, u32 access, u32 share, u32 disposition,
                          u32 flags) override {
            return inner_.CreateFile(path, access, share, disposition, flags);
        }
        bool DeviceIoControl(Handle file, u32 code, const void* in, u32 inSize, void* out,
                             u32 outSize, u32* returned) override {
            return inner_.DeviceIoControl(file, code, in, inSize, out, outSize, returned);
        }
        u32 GetLogicalDriveStrings(u32 bufferChars, wchar_t* buffer) override {
            return inner_.GetLogicalDriveStrings(bufferChars, buffer);
        }
        u32 GetDriveType(const std::wstring& root) override { return inner_.GetDriveType(root); }
        std::unique_ptr<IFileStream> OpenStream(const std::wstring& path,
                                                const char* mode) override {
            return inner_.OpenStream(path, mode);
        }
        // The run reads one version: the kernel's, before it asks for the CD.
        bool GetFileVersion(const std::wstring& path, u32* versionMs, u32* versionLs) override {
            const bool read = inner_.GetFileVersion(path, versionMs, versionLs);
            RunRecord& record = r_.record;
            if (record.kernelFile.empty()) {
                record.kernelFile = path;
                record.kernelVersionRead = read && versionMs;
                if (record.kernelVersionRead) {
                    record.kernelMajor = *versionMs >> 16;
                    record.kernelMinor = *versionMs & 0xFFFF;
                }
            }
            return read;
        }
    };
    std::unique_ptr<Files> files;
};

RunRecorder::RunRecorder(Host& host, RecorderOptions options)
    : impl_(std::make_unique<Impl>(host, std::move(options))) {
    Impl& r = *impl_;
    host.events = &r.events;
    r.ui = std::make_unique<Impl::Ui>(r);
    host.ui = r.ui.get();
    r.registry = std::make_unique<Impl::Registry>(r);
    host.registry = r.registry.get();
    r.processes = std::make_unique<Impl::Processes>(r);
    host.processes = r.processes.get();
    if (host.partitions) {
        r.partitions = std::make_unique<Impl::Partitions>(r);
        host.partitions = r.partitions.get();
    }
    r.files = std::make_unique<Impl::Files>(r);
    host.files = r.files.get();
}

RunRecorder::~RunRecorder() = default;

const RunRecord& RunRecorder::record() const { return impl_->record; }
IRunEvents& RunRecorder::events() { return impl_->events; }

RecorderOptions RecordingOf(PosixHost& host, bool check) {
    RecorderOptions options;
    options.readMountedDevices = check;
    options.silenced = [&host] { return host.Silenced(); };
    options.shown = [&host](const std::wstring& text) { return host.terminal().Shown(text); };
    options.lastAnswerAtEndOfInput = [&host] { return host.terminal().LastAnswerAtEndOfInput(); };
    options.nameCause = [&host](CauseKind* kind, std::string* line) {
        *line = host.vdisk().NameReadFailure(*line, kind);
    };
    options.lastHiveLoad = [&host](HiveState* state, std::string* line) {
        *state = host.registry().LastLoad().state;
        *line = host.registry().LastLoad().line;
    };
    return options;
}

std::vector<RecordedCause> RunRecord::ShownCauses() const {
    std::vector<RecordedCause> shown;
    for (const RecordedCause& c : causes) {
        if (c.shown) shown.push_back(c);
    }
    return shown;
}

const RecordedMessage* RunRecord::Message(u32 id) const {
    for (const RecordedMessage& m : messages) {
        if (m.id == id) return &m;
    }
    return nullptr;
}

const char* CauseKindName(CauseKind kind) {
    // In the order of the enum.
    static const char* const kNames[] = {"other",
                                         "usage",
                                         "no windows",
                                         "wrong windows",
                                         "no driver source",
                                         "image in use",
                                         "cannot open",
                                         "read error",
                                         "write error",
                                         "disk full",
                                         "bad hive",
                                         "unclean volume",
                                         "bare volume",
                                         "no letter",
                                         "template",
                                         "partition number",
                                         "program failed",
                                         "registry unload",
                                         "journal",
                                         "stopped"};
    static_assert(sizeof kNames / sizeof *kNames == static_cast<size_t>(CauseKind::kStopped) + 1);
    return kNames[static_cast<size_t>(kind)];
}

const char* RunStepName(RunStep step) {
    static const char* const kNames[] = {"starting",        "mounting",     "searching",
                                         "copying-drivers", "adjusting-os", "finishing"};
    static_assert(sizeof kNames / sizeof *kNames == static_cast<size_t>(RunStep::kFinishing) + 1);
    return kNames[static_cast<size_t>(step)];
}

}  // namespace morlit::posix
