// The morlit command: the Linux front end of the Morlit run. It takes the
// image from the command line as if it had been chosen with Browse, and runs
// Start on it, with status texts and messages on the terminal.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/constants.h"
#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/interrupt.h"
#include "platform/posix/disk/vhd.h"
#include "platform/posix/fs/file_access.h"
#include "platform/posix/message_catalog.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/run_ending.h"
#include "platform/posix/run_folder.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace {

const char kUsage[] =
    "usage: morlit [--help] [--version] [--pauses] [--templates DIR] [--cdrom PATH]...\n"
    "              IMAGE.vhd\n"
    "       morlit --put-back IMAGE.vhd\n"
    "\n"
    "Prepares the Windows XP, 2000 or 7 installation in IMAGE.vhd to boot under\n"
    "Windows Virtual PC. Questions are answered on standard input (ok/cancel,\n"
    "yes/no); at the end of input a question takes Cancel or No.\n"
    "\n"
    "  --cdrom PATH     a CD-ROM drive holding PATH, a folder or an ISO image\n"
    "                   (such as the Windows XP CD, where the drivers can come\n"
    "                   from); repeatable. Mounted discs are CD-ROM drives too,\n"
    "                   from D: on; these follow them, then the image's volume.\n"
    "  --pauses         wait between the steps as the Windows program does (about\n"
    "                   12 seconds in all); by default there are no pauses, as\n"
    "                   there is no Windows to wait for. --no-pauses is accepted.\n"
    "  --templates DIR  the folder of the registry and Boot.ini templates;\n"
    "                   by default beside the program, else ../share/morlit.\n"
    "  --put-back       only put IMAGE back as it was before a run that was\n"
    "                   killed, from the journal beside it (IMAGE.vhd-journal).\n"
    "The image is either adjusted completely or left exactly as it was: a run\n"
    "that fails, or is stopped with Ctrl-C, puts back everything it changed, and\n"
    "a run that was killed is put back by the next one (keep IMAGE.vhd-journal\n"
    "with the image when moving it).\n"
    "Texts are in Japanese under a Japanese locale (LC_ALL, LC_MESSAGES, LANG),\n"
    "otherwise in English.\n"
    "Exit status: 0 when the image was adjusted (or, with --put-back, is as it\n"
    "was), 1 when the run failed, 2 for a usage error, 128 + the signal's number\n"
    "when SIGINT, SIGTERM, SIGHUP or SIGQUIT stopped the run.\n";

const char* const kTemplates[] = {"Dravmont.bin", "Tolmarin.bin", "Quessil.bin"};

// Where the templates are looked for: the folder given, else beside the
// program (a build tree), else the installed layout's share folder.
std::vector<std::string> TemplateFolders(const std::string& given) {
    if (!given.empty()) return {given};
    const std::string exe = morlit::posix::ExecutablePath();
    if (exe.empty()) return {};
    const std::string bin = morlit::posix::FolderOf(exe);
    return {bin, morlit::posix::FolderOf(bin) + "/share/morlit"};
}

// Gives the run its own program folder with the templates in it. False,
// after saying why on standard error, when the run cannot go ahead.
bool PrepareRunFolder(const std::string& templates,
                      std::unique_ptr<morlit::posix::RunFolder>* folder) {
    using namespace morlit::posix;
    std::string reason;
    *folder = RunFolder::Create(RunFolderBase(), &reason);
    if (!*folder) {
        std::cerr << "morlit: " << reason << "\n";
        return false;
    }
    // The run logic keeps these paths in 260-character buffers, and the
    // registry editor's parameters hold the import file's path in quotes.
    const std::string& dir = (*folder)->path();
    const size_t program = WindowsPathLength(HostPathToWindows(dir + "/morlit"));
    const size_t import = WindowsPathLength(HostPathToWindows(dir + "/Morlit.reg"));
    if (program >= morlit::kMaxPath || import > 254) {
        std::cerr << "morlit: the run's folder " << dir
                  << " is too long a path: as a Windows path the program must stay under 260 "
                     "characters and the import file under 255; set TMPDIR to a shorter folder\n";
        return false;
    }
    const std::vector<std::string> folders = TemplateFolders(templates);
    const std::vector<std::string> missing = CopyTemplates(
        folders, std::vector<std::string>(std::begin(kTemplates), std::end(kTemplates)), dir);
    if (!missing.empty()) {
        std::string names, searched;
        for (const auto& name : missing) names += (names.empty() ? "" : ", ") + name;
        for (const auto& f : folders) searched += (searched.empty() ? "" : ", ") + f;
        if (searched.empty()) searched = "nothing";
        // Every target's registry is adjusted from the first template, so a
        // run without it could only fail, after changing the image.
        if (missing.front() == kTemplates[0]) {
            std::cerr << "morlit: missing template " << names << " (searched " << searched
                      << "); every run needs " << kTemplates[0]
                      << ", so the image was not opened; give the templates' folder with "
                         "--templates DIR\n";
            return false;
        }
        // The others serve only some targets (Boot.ini of XP and 2000): the
        // run goes ahead and fails with its own message if it needs one.
        std::cerr << "morlit: missing template " << names << " (searched " << searched << ")\n";
    }
    return true;
}

// Standard streams that are not open would be taken by the first files the
// run opens, the image among them, and the run's messages written into them.
void KeepStandardStreamsOpen() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

// Plays back the journal a killed run left beside the image, and nothing
// else.
int PutBack(const std::string& image) {
    using namespace morlit::posix;
    int e = 0;
    std::shared_ptr<ImageFile> file = ImageFile::OpenFile(image, true, ImageWrites::kDirect, &e);
    if (!file) {
        std::cerr << "morlit: cannot open " << image << ": " << std::strerror(e) << "\n";
        return 1;
    }
    if (::access(file->JournalPath().c_str(), F_OK) != 0) {
        std::cerr << "morlit: nothing to put back: there is no " << file->JournalPath() << "\n";
        return 0;
    }
    std::string reason;
    if (file->Prepare(ProbeVhdIdentity, &reason) != 0) {
        std::cerr << "morlit: " << reason << "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    KeepStandardStreamsOpen();
    // Stop signals only set a flag: the next write to the image fails, so the
    // run ends on its own failure path, puts the image back, and the run's
    // folder is removed on the way out. A closed output ends nothing.
    morlit::posix::InstallInterruptHandlers();
    std::string image;
    std::vector<std::string> cdroms;
    std::string templates;
    bool pauses = false;
    bool putBack = false;
    bool pauseOption = false;  // --pauses or --no-pauses given
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pauses" || arg == "--no-pauses") {
            pauses = arg == "--pauses";
            pauseOption = true;
            continue;
        }
        if (arg == "--put-back") {
            putBack = true;
            continue;
        }
        if (arg == "--templates" || arg.rfind("--templates=", 0) == 0) {
            if (arg == "--templates" && i + 1 >= argc) {
                std::cerr << "morlit: --templates needs a folder\n" << kUsage;
                return 2;
            }
            templates = arg == "--templates" ? argv[++i] : arg.substr(12);
            continue;
        }
        if (arg == "--cdrom" || arg.rfind("--cdrom=", 0) == 0) {
            if (arg == "--cdrom" && i + 1 >= argc) {
                std::cerr << "morlit: --cdrom needs a path\n" << kUsage;
                return 2;
            }
            cdroms.push_back(arg == "--cdrom" ? argv[++i] : arg.substr(8));
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "morlit " << MORLIT_VERSION << "\n";
            return 0;
        }
        if (arg == "--") {
            if (i + 1 < argc && image.empty() && i + 2 == argc)
                image = argv[i + 1];
            else {
                std::cerr << kUsage;
                return 2;
            }
            break;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            std::cerr << "morlit: unknown option " << arg << "\n" << kUsage;
            return 2;
        }
        if (!image.empty()) {
            std::cerr << "morlit: one image only\n" << kUsage;
            return 2;
        }
        image = arg;
    }
    if (image.empty() || (putBack && (!cdroms.empty() || !templates.empty() || pauseOption))) {
        std::cerr << kUsage;
        return 2;
    }
    if (putBack) return PutBack(image);

    // The file dialog would hand over a full path: the image's host path as
    // a Windows path on Z:.
    std::string absolute = image;
    if (absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) {
            std::cerr << "morlit: cannot find the current folder\n";
            return 1;
        }
        absolute = std::string(cwd) + "/" + image;
    }

    std::unique_ptr<morlit::posix::RunFolder> folder;
    if (!PrepareRunFolder(templates, &folder)) return 1;

    morlit::posix::PosixHostOptions options;
    options.prompt = ::isatty(STDIN_FILENO) != 0;
    options.modulePath = folder->path() + "/morlit";
    options.hiveCopyFolder = folder->path();
    options.pauses = pauses;
    morlit::posix::PosixHost host(options);
    {
        const std::string exe = morlit::posix::ExecutablePath();
        std::string warning;
        host.terminal().SetCatalog(morlit::posix::CatalogFor(
            morlit::posix::MessageLanguageFromEnvironment(),
            morlit::posix::LocaleFolders(exe.empty() ? exe : morlit::posix::FolderOf(exe)),
            &warning));
        if (!warning.empty()) std::cerr << "morlit: " << warning << "\n";
    }
    for (const std::string& cd : cdroms) {
        std::string reason;
        if (!host.AddCdPath(cd, &reason)) {
            std::cerr << "morlit: --cdrom " << cd << ": " << reason << "\n";
            return 2;
        }
    }
    morlit::CMorlitDlg dialog(host.host);
    dialog.Create(IDD_MORLIT_DIALOG);
    const std::wstring path = morlit::posix::HostPathToWindows(absolute);
    dialog.m_strVhdPath = path;
    dialog.GetDlgItem(IDC_EDIT_VHD_PATH).SetWindowText(path);
    dialog.OnBnClickedOk();

    // The changes become final only when the run says it adjusted the image;
    // otherwise they are undone here. A stop signal that came once the run
    // had decided (when it said it was finishing) waited until now and
    // changes nothing; one that came before made the next write fail.
    using morlit::posix::InterruptRequested;
    using morlit::posix::InterruptSignal;
    const std::wstring done = host.terminal().LoadString(morlit::IDS_ADJUST_DONE);
    const bool adjusted = !done.empty() && host.terminal().LastMessage() == done;
    if (!adjusted && !InterruptRequested()) {
        morlit::posix::RunRecord record;
        record.messages = host.terminal().Messages();
        record.volumes = host.vdisk().AttachedVolumes();
        record.linesSaid = host.DiagnosticLines();
        record.causesSaid = host.CausesSaid();
        record.shown = [&host](const std::wstring& text) { return host.terminal().Shown(text); };
        const std::string cause = morlit::posix::EndingCause(record);
        if (!cause.empty()) std::cerr << "morlit: " << cause << std::endl;
    }
    const morlit::posix::PosixVirtualDisk::RunEnd end = host.FinishRun(adjusted);
    const int stop = InterruptRequested() ? InterruptSignal() : morlit::posix::HeldStopSignal();
    if (adjusted && end.committed) {
        // The run had made its last change when the stop came.
        if (stop) {
            std::cerr << "morlit: " << morlit::posix::StopSignalName(stop)
                      << " came too late to stop the run: the image was adjusted and is kept"
                      << std::endl;
        }
        return 0;
    }
    if (stop && end.images == 0) {
        std::cerr << "morlit: stopped by " << morlit::posix::StopSignalName(stop)
                  << "; the image was not changed" << std::endl;
    }
    return stop ? 128 + stop : 1;
}
