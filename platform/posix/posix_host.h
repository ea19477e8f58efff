// The Linux host: every service of platform/host.h over the drive namespace
// (Z: the host's root, C: the host system, CD drives and attached volumes
// from D: on), the image layer and the terminal.
#pragma once

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/posix/drive_namespace.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/posix_codepage.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/posix_processes.h"
#include "platform/posix/posix_system.h"
#include "platform/posix/posix_virtual_disk.h"
#include "platform/posix/registry/registry.h"
#include "platform/posix/terminal_ui.h"

namespace morlit::posix {

struct PosixHostOptions {
    std::istream* in = &std::cin;
    std::ostream* out = &std::cout;
    bool prompt = false;  // print the choices of a question (stdin is a terminal)
    // One plain line about why something failed; stderr when not set.
    std::function<void(const std::string&)> diagnostic;
    ImageOpener opener = OpenDiskImage;
    std::string hostRoot = "/";  // the folder Z: shows
    // Where the mounted optical discs are listed; empty for none.
    std::string mountInfoPath = "/proc/self/mountinfo";
    // The executable as GetModuleFileName reports it (templates and the
    // import file live beside it); empty for the running program. The
    // command points it into the run's private folder.
    std::string modulePath;
    // Where the registry keeps its private copy of a loaded hive; empty for
    // $TMPDIR, /dev/shm or /tmp.
    std::string hiveCopyFolder;
    // False: the run's pauses are skipped (its steps and texts stay).
    bool pauses = true;
};

class PosixHost {
  public:
    explicit PosixHost(PosixHostOptions options = PosixHostOptions());
    ~PosixHost();
    PosixHost(const PosixHost&) = delete;
    PosixHost& operator=(const PosixHost&) = delete;

    Host host;  // every service pointing into this object

    DriveNamespace& drives() { return drives_; }
    PosixProcesses& processes() { return processes_; }
    TerminalUi& terminal() { return ui_; }
    HandleTable& handles() { return handles_; }
    PosixRegistry& registry() { return registry_; }
    PosixVirtualDisk& vdisk() { return vdisk_; }
    // Whether a line said now is dropped: once a stop was asked for, every
    // failure that follows is its side effect, until the run is finishing.
    bool Silenced() const;

    // Adds a CD drive for a folder or an ISO image at the next free letter,
    // before an image is attached. False with a plain sentence in `reason`
    // when the path is neither.
    bool AddCdPath(const std::string& path, std::string* reason);

    // Ends the run: commits or rolls back every image it wrote (see
    // PosixVirtualDisk::FinishRun).
    PosixVirtualDisk::RunEnd FinishRun(bool adjusted);
    bool CommitClosed() { return vdisk_.CommitClosed(); }

  private:
    void Diagnose(const std::string& program, u32 code, const std::string& reason);
    void Print(const std::string& line);

    bool finishing_ = false;
    std::function<void(const std::string&)> out_;
    std::function<void(const std::string&)> diagnostic_;
    DriveNamespace drives_;
    HandleTable handles_;
    RealClock clock_;
    ThreadErrors errors_;
    PosixSystem system_;
    TerminalUi ui_;
    PosixVirtualDisk vdisk_;
    PosixRegistry registry_;
    PosixSecurity security_;
    PosixFiles files_;
    PosixProcesses processes_;
    PosixCodePage codepage_;

    // The run's causes and warnings are shown as diagnostic lines; the rest
    // of what the run says of itself is for a recorder in front of it.
    class Lines : public IRunEvents {
      public:
        explicit Lines(PosixHost& host) : host_(host) {}
        void Cause(CauseKind kind, const std::string& text) override {
            // A read of the image that failed before is why this failed.
            host_.Print(host_.vdisk_.NameReadFailure(text, &kind));
        }
        void Warning(const std::string& line) override { host_.Print(line); }

      private:
        PosixHost& host_;
    } lines_said_{*this};
};

}  // namespace morlit::posix
