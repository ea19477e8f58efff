#include "platform/posix/posix_host.h"

#include "platform/posix/host_folder_volume.h"

namespace morlit::posix {

namespace {

std::function<void(const std::string&)> DiagnosticOrStderr(
    std::function<void(const std::string&)> diagnostic) {
    if (diagnostic) return diagnostic;
    return [](const std::string& line) { std::cerr << "morlit: " << line << std::endl; };
}

}  // namespace

PosixHost::PosixHost(PosixHostOptions options)
    : system_(handles_, errors_),
      ui_(*options.in, *options.out, options.prompt),
      vdisk_(drives_, handles_, errors_, DiagnosticOrStderr(options.diagnostic), options.opener),
      security_(handles_, errors_),
      files_(drives_, handles_, errors_),
      processes_(handles_, errors_),
      codepage_(errors_) {
    drives_.AddDrive(L'C', std::make_unique<SystemVolume>());
    drives_.AddDrive(L'Z', std::make_unique<HostFolderVolume>(options.hostRoot));
    host.clock = &clock_;
    host.errors = &errors_;
    host.system = &system_;
    host.ui = &ui_;
    host.vdisk = &vdisk_;
    host.letters = &vdisk_;
    host.registry = &registry_;
    host.security = &security_;
    host.files = &files_;
    host.processes = &processes_;
    host.codepage = &codepage_;
}

PosixHost::~PosixHost() = default;

}  // namespace morlit::posix
