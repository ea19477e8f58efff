// The morlit command: the Linux front end of the Morlit run. It takes the
// image from the command line as if it had been chosen with Browse, and runs
// Start on it, with status texts and messages on the terminal.
#include <unistd.h>

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
#include "platform/posix/fs/file_access.h"
#include "platform/posix/message_catalog.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/run_folder.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace {

const char kUsage[] =
    "usage: morlit [--help] [--version] [--pauses] [--templates DIR] [--cdrom PATH]...\n"
    "              IMAGE.vhd\n"
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
    "The image is either adjusted completely or left exactly as it was: a run\n"
    "that fails, or is stopped with Ctrl-C, puts back everything it changed, and\n"
    "a run that was killed is put back by the next one.\n"
    "Texts are in Japanese under a Japanese locale (LC_ALL, LC_MESSAGES, LANG),\n"
    "otherwise in English.\n"
    "Exit status: 0 when the image was adjusted, 1 when the run failed, 2 for\n"
    "a usage error, 128 + the signal's number when SIGINT or SIGTERM stopped\n"
    "the run.\n";

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
        // The run goes ahead: it fails with its own message only if it needs
        // a missing template.
        std::string names, searched;
        for (const auto& name : missing) names += (names.empty() ? "" : ", ") + name;
        for (const auto& f : folders) searched += (searched.empty() ? "" : ", ") + f;
        std::cerr << "morlit: missing template " << names << " (searched "
                  << (searched.empty() ? std::string("nothing") : searched) << ")\n";
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string image;
    std::vector<std::string> cdroms;
    std::string templates;
    bool pauses = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pauses" || arg == "--no-pauses") {
            pauses = arg == "--pauses";
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
    if (image.empty()) {
        std::cerr << kUsage;
        return 2;
    }

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

    // SIGINT and SIGTERM only set a flag: the next write to the image fails,
    // so the run ends on its own failure path, puts the image back, and the
    // run's folder is removed on the way out.
    morlit::posix::InstallInterruptHandlers();
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

    // The changes become final only when the run says it adjusted the image,
    // the image was detached, and no one asked the run to stop; otherwise
    // they are undone here.
    const std::wstring done = host.terminal().LoadString(morlit::IDS_ADJUST_DONE);
    const bool adjusted = !done.empty() && host.terminal().LastMessage() == done &&
                          !morlit::posix::InterruptRequested();
    const morlit::posix::PosixVirtualDisk::RunEnd end = host.FinishRun(adjusted);
    if (adjusted && end.committed) return 0;
    return morlit::posix::InterruptRequested() ? 128 + morlit::posix::InterruptSignal() : 1;
}
