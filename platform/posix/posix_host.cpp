#include "platform/posix/posix_host.h"

#include "platform/posix/cd_drives.h"
#include "platform/posix/disk/interrupt.h"
#include "platform/posix/programs/expand_tool.h"
#include "platform/posix/fs/host_folder_volume.h"
#include "platform/posix/programs/regedit_tool.h"

namespace morlit::posix {

namespace {

std::function<void(const std::string&)> DiagnosticOrStderr(
    std::function<void(const std::string&)> diagnostic) {
    if (diagnostic) return diagnostic;
    return [](const std::string& line) { std::cerr << "morlit: " << line << std::endl; };
}

}  // namespace

PosixHost::PosixHost(PosixHostOptions options)
    : out_(DiagnosticOrStderr(options.diagnostic)),
      // The layers' notes are the run's warnings: they go where its events
      // go, so that a recorder put in front of the host sees them too.
      diagnostic_([this](const std::string& line) { host.events->Warning(line); }),
      clock_(options.pauses),
      system_(handles_, errors_, options.modulePath),
      ui_(*options.in, *options.out, options.prompt),
      vdisk_(drives_, handles_, errors_, diagnostic_, options.opener),
      registry_(drives_, errors_, options.hiveCopyFolder),
      security_(handles_, errors_),
      files_(drives_, handles_, errors_),
      processes_(handles_, errors_),
      codepage_(errors_) {
    drives_.AddDrive(L'C', std::make_unique<SystemVolume>());
    drives_.AddDrive(L'Z', std::make_unique<HostFolderVolume>(options.hostRoot));
    // Discs already in a drive have their letters before any image is
    // attached, as on Windows, in the order they were mounted.
    if (!options.mountInfoPath.empty()) {
        for (auto& cd : MountedCds(options.mountInfoPath)) {
            const wchar_t letter = drives_.NextFreeLetter(L'D');
            if (letter) drives_.AddDrive(letter, std::move(cd));
        }
    }

    registry_.SetDiagnostic(diagnostic_);
    // Why an image or a hive was refused, or a tool failed, is why the run
    // fails: said as its cause, so that the report names it as such.
    const CauseSink cause = [this](CauseKind kind, const std::string& line) {
        host.events->Cause(kind, line);
    };
    registry_.SetCause(cause);
    vdisk_.SetCause(cause);

    // The host's tools, run in-process over the drive namespace.
    processes_.Register(L"C:\\Windows\\Regedit.exe", [this](const std::wstring& parameters) {
        std::string reason;
        const u32 code = RunRegeditTool(registry_, drives_, parameters, &reason);
        if (code) Diagnose("the registry editor", code, reason);
        return code;
    });
    processes_.Register(L"expand", [this](const std::wstring& parameters) {
        std::string reason;
        const u32 code = RunExpandTool(drives_, parameters, &reason, &codepage_);
        if (code) Diagnose("expand", code, reason);
        return code;
    });
    // What expand kept of a cabinet names volumes that are gone once the
    // image is detached.
    vdisk_.SetDetachHook([] { ClearExpandCache(); });

    host.clock = &clock_;
    host.errors = &errors_;
    host.system = &system_;
    host.ui = &ui_;
    host.vdisk = &vdisk_;
    host.letters = &vdisk_;
    host.partitions = &vdisk_;
    host.registry = &registry_;
    host.security = &security_;
    host.files = &files_;
    host.processes = &processes_;
    host.codepage = &codepage_;
    host.events = &lines_said_;
}

PosixHost::~PosixHost() { ClearExpandCache(); }

bool PosixHost::Silenced() const { return InterruptRequested() && !finishing_; }

void PosixHost::Print(const std::string& line) {
    // Once a stop was asked for, every failure that follows is its side
    // effect; the run's end says what stopped it.
    if (Silenced()) return;
    out_(line);
}

bool PosixHost::AddCdPath(const std::string& path, std::string* reason) {
    u32 error = 0;
    std::unique_ptr<Volume> cd = OpenCdPath(path, &error);
    if (!cd) {
        *reason = CdPathProblem(error);
        return false;
    }
    const wchar_t letter = drives_.NextFreeLetter(L'D');
    if (!letter || !drives_.AddDrive(letter, std::move(cd))) {
        *reason = "no drive letter is free";
        return false;
    }
    return true;
}

PosixVirtualDisk::RunEnd PosixHost::FinishRun(bool adjusted) {
    finishing_ = true;
    return vdisk_.FinishRun(adjusted);
}

void PosixHost::Diagnose(const std::string& program, u32 code, const std::string& reason) {
    // A tool that could not read its input from the image failed for the
    // disk's sake, not its own.
    host.events->Cause(err::IsReadFault(code) ? CauseKind::kReadError : CauseKind::kProgramFailed,
                       program + " failed (" + std::to_string(code) + ")" +
                           (reason.empty() ? std::string() : ": " + reason));
}

}  // namespace morlit::posix
