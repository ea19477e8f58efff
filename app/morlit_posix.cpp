// The morlit command: the Linux front end of the Morlit run. It takes the
// image from the command line as if it had been chosen with Browse, and runs
// Start on it, with status texts and messages on the terminal.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "platform/posix/disk/interrupt.h"
#include "platform/posix/fs/file_access.h"
#include "platform/posix/posix_host.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace {

const char kUsage[] =
    "usage: morlit [--help] [--version] [--cdrom PATH]... IMAGE.vhd\n"
    "\n"
    "Prepares the Windows XP, 2000 or 7 installation in IMAGE.vhd to boot under\n"
    "Windows Virtual PC. Questions are answered on standard input (ok/cancel,\n"
    "yes/no); at the end of input a question takes Cancel or No.\n"
    "\n"
    "  --cdrom PATH  a CD-ROM drive holding PATH, a folder or an ISO image (such\n"
    "                as the Windows XP CD, where the drivers can come from);\n"
    "                repeatable. Mounted discs are CD-ROM drives too, from D:\n"
    "                on; these follow them, then the image's volume.\n"
    "The image is either adjusted completely or left exactly as it was: a run\n"
    "that fails, or is stopped with Ctrl-C, puts back everything it changed, and\n"
    "a run that was killed is put back by the next one.\n"
    "Exit status: 0 when the image was adjusted, 1 when the run failed, 2 for\n"
    "a usage error.\n";

}  // namespace

int main(int argc, char** argv) {
    std::string image;
    std::vector<std::string> cdroms;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
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

    // Ctrl-C and SIGTERM make the next write to the image fail, so the run
    // ends on its own failure path and puts the image back.
    morlit::posix::InstallInterruptHandlers();

    morlit::posix::PosixHostOptions options;
    options.prompt = ::isatty(STDIN_FILENO) != 0;
    morlit::posix::PosixHost host(options);
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
    const wchar_t* done = morlit::FindStringTableText(morlit::IDS_ADJUST_DONE);
    const bool adjusted =
        done && host.terminal().LastMessage() == done && !morlit::posix::InterruptRequested();
    const morlit::posix::PosixVirtualDisk::RunEnd end = host.FinishRun(adjusted);
    return adjusted && end.committed ? 0 : 1;
}
