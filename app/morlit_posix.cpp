// The morlit command: the Linux front end of the Morlit run. It takes the
// image from the command line as if it had been chosen with Browse, and runs
// Start on it, with status texts and messages on the terminal.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/driver_replay.h"
#include "platform/constants.h"
#include "platform/posix/cd_drives.h"
#include "platform/posix/disk/byte_order.h"
#include "platform/posix/disk/image_file.h"
#include "platform/posix/disk/interrupt.h"
#include "platform/posix/disk/overlay_device.h"
#include "platform/posix/disk/partition_table.h"
#include "platform/posix/disk/vhd.h"
#include "platform/posix/fs/fat_volume.h"
#include "platform/posix/fs/ntfs_volume.h"
#include "platform/posix/fs/file_access.h"
#include "platform/posix/message_catalog.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/record/findings.h"
#include "platform/posix/record/recorder.h"
#include "platform/posix/record/report.h"
#include "platform/posix/record/run_ending.h"
#include "platform/posix/run_folder.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace {

const char kUsage[] =
    "usage: morlit [--pauses] [--json] [--templates DIR] [--cdrom PATH]...\n"
    "              IMAGE.vhd...\n"
    "       morlit --check [--json] [--templates DIR] [--cdrom PATH]... IMAGE.vhd...\n"
    "       morlit --put-back IMAGE.vhd...\n"
    "       morlit --help | --version\n"
    "\n"
    "Prepares the Windows XP, 2000 or 7 installation in IMAGE.vhd to boot under\n"
    "Windows Virtual PC. Several images are adjusted one after another, each as a\n"
    "run of its own, its output after a line \"==> IMAGE.vhd <==\". Each line on\n"
    "standard error names its image: \"morlit: IMAGE.vhd: ...\". Questions are\n"
    "answered on standard input (ok/cancel, yes/no); at the end of the input a\n"
    "question takes Cancel or No.\n"
    "\n"
    "  --cdrom PATH     a CD-ROM drive holding PATH, a folder or an ISO image\n"
    "                   (such as the Windows XP CD, where the drivers can come\n"
    "                   from); repeatable. Mounted discs are CD-ROM drives too,\n"
    "                   from D: on; these follow them, then the image's volume.\n"
    "  --check          look only: run over each image opened read-only, every\n"
    "                   write kept in memory, and say \"would adjust\", \"already\n"
    "                   adjusted\" or \"would fail\" with what was found; the CD\n"
    "                   question is answered OK, then No to searching again.\n"
    "  --json           standard output carries one JSON object per image, one a\n"
    "                   line, and nothing else (see the manual page).\n"
    "  --pauses         wait between the steps as the Windows program does (about\n"
    "                   12 seconds in all); by default there are no pauses, as\n"
    "                   there is no Windows to wait for. --no-pauses is accepted.\n"
    "  --templates DIR  the folder of the registry and Boot.ini templates;\n"
    "                   by default beside the program, else ../share/morlit.\n"
    "  --put-back       only put IMAGE back as it was before a run that was\n"
    "                   killed, from the journal beside it (IMAGE.vhd-journal).\n"
    "  -h, --help       print this text and exit.\n"
    "  --version        print the version and exit.\n"
    "\n"
    "The image is either adjusted completely or left exactly as it was: a run\n"
    "that fails, or is stopped with Ctrl-C, puts back everything it changed, and\n"
    "a run that was killed is put back by the next one (keep IMAGE.vhd-journal\n"
    "with the image when moving it).\n"
    "Texts are in Japanese when the first of LANGUAGE (ignored under the C\n"
    "locale), LC_ALL, LC_MESSAGES and LANG that is set names Japanese, else in\n"
    "English.\n"
    "Exit status: 0 when every image was adjusted (or, with --put-back, is as it\n"
    "was; with --check, would be adjusted or is already), 1 when a run failed,\n"
    "2 for a usage error, 128 + the signal's number when SIGINT, SIGTERM, SIGHUP\n"
    "or SIGQUIT stopped a run; the images after it are not started and are named\n"
    "on standard error.\n";

// Writes one line on standard error, "morlit: IMAGE: " first.
using Say = std::function<void(const std::string&)>;

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

// Says why a run cannot go ahead, as its cause.
using Refuse = std::function<void(morlit::CauseKind kind, const std::string& line)>;

// Gives the run its own program folder with the templates in it. False,
// after saying why, when the run cannot go ahead.
bool PrepareRunFolder(const std::string& templates,
                      std::unique_ptr<morlit::posix::RunFolder>* folder, const Say& warn,
                      const Refuse& refuse) {
    using namespace morlit::posix;
    std::string reason;
    *folder = RunFolder::Create(RunFolderBase(), &reason);
    if (!*folder) {
        refuse(morlit::CauseKind::kUsage, reason);
        return false;
    }
    // The run logic keeps these paths in 260-character buffers, and the
    // registry editor's parameters hold the import file's path in quotes.
    const std::string& dir = (*folder)->path();
    const size_t program = WindowsPathLength(HostPathToWindows(dir + "/morlit"));
    const size_t import = WindowsPathLength(HostPathToWindows(dir + "/Morlit.reg"));
    if (program >= morlit::kMaxPath || import > 254) {
        refuse(morlit::CauseKind::kUsage,
               "the run's folder " + dir +
                   " is too long a path: as a Windows path the program must stay under 260 "
                   "characters and the import file under 255; set TMPDIR to a shorter folder");
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
            refuse(morlit::CauseKind::kTemplate, "missing template " + names + " (searched " +
                                                     searched + "); every run needs " +
                                                     kTemplates[0] +
                                                     ", so the image was not opened; give the "
                                                     "templates' folder with --templates DIR");
            return false;
        }
        // The others serve only some targets (Boot.ini of XP and 2000): the
        // run goes ahead and fails with its own message if it needs one.
        warn("missing template " + names + " (searched " + searched + ")");
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
int PutBack(const std::string& image, const Say& say) {
    using namespace morlit::posix;
    // The line saying the image was put back comes from the image layer; it
    // names the image like every other line of this image's.
    struct Notes {
        explicit Notes(const Say& say) { SetImageNoteSink(say); }
        ~Notes() { SetImageNoteSink(nullptr); }
    } notes(say);
    int e = 0;
    std::shared_ptr<ImageFile> file = ImageFile::OpenFile(image, true, ImageWrites::kDirect, &e);
    if (!file) {
        say(std::string("cannot open it: ") + std::strerror(e));
        return 1;
    }
    if (::access(file->JournalPath().c_str(), F_OK) != 0) {
        say("nothing to put back: there is no " + file->JournalPath());
        return 0;
    }
    std::string reason;
    if (file->Prepare(ProbeVhdIdentity, &reason) != 0) {
        say(reason);
        return 1;
    }
    return 0;
}

struct RunOptions {
    std::vector<std::string> cdroms;
    std::string templates;
    bool pauses = false;
    bool json = false;   // one JSON object per image on standard output, nothing else
    bool check = false;  // look only: the image is opened read-only, writes stay in memory
};

// A check's disks: each image the run opens, read-only beneath an overlay
// that keeps the run's writes. The check holds them (and so the image's
// shared lock) until its report is made, after the run has closed its disk.
struct CheckDisks {
    std::vector<std::shared_ptr<morlit::posix::OverlayDevice>> overlays;
};

// The run's view of one overlay: the run owns and closes this, the check
// keeps the overlay.
class OverlayView : public morlit::posix::BlockDevice {
  public:
    explicit OverlayView(std::shared_ptr<morlit::posix::OverlayDevice> overlay)
        : overlay_(std::move(overlay)) {}
    morlit::u64 Size() const override { return overlay_->Size(); }
    morlit::u32 Read(morlit::u64 offset, void* buffer, std::size_t length) override {
        return overlay_->Read(offset, buffer, length);
    }
    morlit::u32 Write(morlit::u64 offset, const void* buffer, std::size_t length) override {
        return overlay_->Write(offset, buffer, length);
    }
    morlit::u32 Flush() override { return overlay_->Flush(); }

  private:
    std::shared_ptr<morlit::posix::OverlayDevice> overlay_;
};

// How one image's run ended.
struct ImageEnd {
    int status = 1;  // 0 adjusted, 1 failed, 2 a bad --cdrom, 128 + n stopped
    int stop = 0;    // the stop signal that came during the run, 0 for none
    nlohmann::json report = nlohmann::json::object();  // with --json: what the run showed
    std::string checkText;                             // with --check: the text report
};

// What a run leaves for its report besides its status.
struct RunTrace {
    std::ostringstream output;  // the terminal's output, with --json or --check
    morlit::posix::RunRecord record;
    morlit::posix::Findings found;
    morlit::posix::JournalEnd journal = morlit::posix::JournalEnd::kNone;
    std::vector<morlit::posix::PosixVirtualDisk::AttachedPartition> partitions;  // from attach
    CheckDisks disks;                                                            // with --check

    // A cause or a warning the command found itself, outside the run: kept
    // for the report and said at once.
    void Cause(morlit::CauseKind kind, const std::string& line, const Say& say) {
        record.causes.push_back({{line, true}, kind});
        say(line);
    }
    void Warning(const std::string& line, const Say& say) {
        record.warnings.push_back({line, true});
        say(line);
    }
};

// The host's options for one run: its program folder, the terminal, and a
// check's read-only opener beneath an overlay.
morlit::posix::PosixHostOptions HostOptions(const RunOptions& run, const std::string& folder,
                                            const Say& say, RunTrace* trace,
                                            std::istream* checkAnswers) {
    using namespace morlit::posix;
    PosixHostOptions options;
    options.prompt = ::isatty(STDIN_FILENO) != 0;
    options.modulePath = folder + "/morlit";
    options.hiveCopyFolder = folder;
    options.pauses = run.pauses;
    options.diagnostic = say;
    if (run.json) {
        options.out = &trace->output;
        options.prompt = false;
    }
    if (run.check) {
        options.out = &trace->output;
        options.in = checkAnswers;
        options.prompt = false;
        CheckDisks* disks = &trace->disks;
        options.opener = [disks](const std::string& path, bool /*writable*/, morlit::u32* error,
                                 std::string* reason) -> std::unique_ptr<BlockDevice> {
            // Read-only takes the shared lock qemu's readers take, and makes
            // no journal: nothing reaches the file.
            std::unique_ptr<BlockDevice> image = OpenDiskImage(path, false, error, reason);
            if (!image) return nullptr;
            disks->overlays.push_back(std::make_shared<OverlayDevice>(std::move(image)));
            return std::make_unique<OverlayView>(disks->overlays.back());
        };
    }
    return options;
}

// The image's path as the file dialog would hand it over: a full one.
// Empty when the current folder cannot be found.
std::string AbsolutePath(const std::string& image) {
    if (image[0] == '/') return image;
    char cwd[PATH_MAX];
    return ::getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + image : std::string();
}

// The terminal's texts in the user's language.
void SetLanguage(morlit::posix::PosixHost& host) {
    using namespace morlit::posix;
    const std::string exe = ExecutablePath();
    std::string warning;
    host.terminal().SetCatalog(CatalogFor(MessageLanguageFromEnvironment(),
                                          LocaleFolders(exe.empty() ? exe : FolderOf(exe)),
                                          &warning));
    if (!warning.empty()) host.host.events->Warning(warning);
}

// The dialog's Start on the image, its host path as a Windows path on Z:.
void StartOn(morlit::Host& host, const std::string& absolute) {
    morlit::CMorlitDlg dialog(host);
    dialog.Create(IDD_MORLIT_DIALOG);
    const std::wstring path = morlit::posix::HostPathToWindows(absolute);
    dialog.m_strVhdPath = path;
    dialog.GetDlgItem(IDC_EDIT_VHD_PATH).SetWindowText(path);
    dialog.OnBnClickedOk();
}

// The run's record after what was said before it started, and what became
// of its journal.
void KeepRecord(const morlit::posix::RunRecord& recorded, const morlit::posix::RunClose& close,
                RunTrace* trace) {
    using namespace morlit::posix;
    RunRecord record = recorded;
    record.causes.insert(record.causes.begin(), trace->record.causes.begin(),
                         trace->record.causes.end());
    record.warnings.insert(record.warnings.begin(), trace->record.warnings.begin(),
                           trace->record.warnings.end());
    trace->record = std::move(record);
    if (close.end.kept)
        trace->journal = JournalEnd::kKept;
    else if (close.end.rolledBack)
        trace->journal = JournalEnd::kPutBack;
    else if (close.adjusted && close.end.committed && close.end.images > 0)
        trace->journal = JournalEnd::kCommitted;
}

// Adjusts one image as the dialog's Start does, with a host, a lock, a
// journal and a run folder of its own.
ImageEnd AdjustImageRun(const std::string& image, const RunOptions& run, const Say& say,
                        RunTrace* trace) {
    using namespace morlit::posix;
    ImageEnd result;
    // What stops the run before it starts is its cause.
    const Refuse refuse = [&](morlit::CauseKind kind, const std::string& line) {
        trace->Cause(kind, line, say);
    };
    const std::string absolute = AbsolutePath(image);
    if (absolute.empty()) {
        refuse(morlit::CauseKind::kUsage, "cannot find the current folder");
        return result;
    }

    std::unique_ptr<RunFolder> folder;
    const Say warn = [&](const std::string& line) { trace->Warning(line, say); };
    if (!PrepareRunFolder(run.templates, &folder, warn, refuse)) return result;

    // A check answers the CD question itself: OK to the request to insert
    // it, so that a CD already given is found, and No to searching again.
    std::istringstream checkAnswers("ok\nno\n");
    PosixHost host(HostOptions(run, folder->path(), say, trace, &checkAnswers));
    // Everything the run says of itself, and the host's answers that tell
    // what it found, are kept on their way.
    RunRecorder recorder(host.host, RecordingOf(host, run.check));
    SetLanguage(host);
    for (const std::string& cd : run.cdroms) {
        std::string reason;
        if (!host.AddCdPath(cd, &reason)) {
            refuse(morlit::CauseKind::kUsage, "--cdrom " + cd + ": " + reason);
            KeepRecord(recorder.record(), RunClose(), trace);
            result.status = 2;
            return result;
        }
    }
    // The image layer's notes (a journal played back, a lock it could not
    // take) are the run's warnings.
    SetImageNoteSink([&host](const std::string& line) { host.host.events->Warning(line); });
    StartOn(host.host, absolute);
    const RunClose close = CloseRun(host, recorder);
    SetImageNoteSink(nullptr);
    // What the run found is only reported: a plain run needs none of it.
    if (run.json || run.check) {
        trace->found = Find(recorder.record(), *host.host.files, run.check,
                            [&host](const std::wstring& first, const std::wstring& windows) {
                                return morlit::app::ReplayDriverRuns(host.host, first, windows);
                            });
    }
    trace->partitions = host.vdisk().AttachedPartitions();
    KeepRecord(recorder.record(), close, trace);
    result.stop = close.stop;
    result.status = close.status;
    return result;
}

// A check's outcome from the run's status, and what it found on the disk
// beneath its overlay: the partitions, the Boot.ini a run would write, and
// where the adjusted Windows may still not start (said as warnings).
void CheckDisk(RunTrace& trace, ImageEnd& result, const Say& say, morlit::posix::Report* report) {
    using namespace morlit::posix;
    // What the run built on a read that failed says nothing of what a run
    // would do: its image would refuse the commit, and the run would leave
    // the image as it was. An image opened only to read keeps that read too.
    for (const auto& overlay : trace.disks.overlays) {
        const auto file = overlay->Base().File();
        const std::string read = file ? file->ReadFailure() : std::string();
        if (result.status != 0 || read.empty()) continue;
        trace.Cause(morlit::CauseKind::kReadError,
                    read + "; a run would fail and leave the image as it was", say);
        result.status = 1;
    }
    bool differs = false;
    for (const auto& overlay : trace.disks.overlays) {
        differs |= !overlay->Differences().empty();
        if (report->disk) continue;
        report->disk = DiskFactsOf(*overlay, trace.partitions);
        // What a run would write, as a run that ends well leaves it.
        const auto& target = trace.found.target;
        if (!target || !target->xp) continue;
        const auto* partition = TargetPartition(trace.partitions, target->letter);
        if (!partition) continue;
        if (result.status == 0) report->bootIni = ReadBootIni(*overlay, *partition);
        for (const std::string& line : StartWarnings(*overlay, *partition, trace.record.mountedC))
            trace.Warning(line, say);
    }
    if (result.status == 0) {
        report->outcome = differs ? Outcome::kWouldAdjust : Outcome::kAlreadyAdjusted;
    } else if (result.status <= 128) {
        report->outcome = Outcome::kWouldFail;
        result.status = 1;
    }
}

ImageEnd AdjustImage(const std::string& image, const RunOptions& run, const Say& say) {
    using namespace morlit::posix;
    const auto start = std::chrono::steady_clock::now();
    RunTrace trace;
    // A journal a killed run left is played back as the image is opened.
    const morlit::u64 playedBefore = ImageFile::PlayedBackAtOpen();
    ImageEnd result = AdjustImageRun(image, run, say, &trace);
    if (!run.json && !run.check) return result;
    Report report;
    report.image = image;
    report.record = &trace.record;
    report.findings = trace.found;
    report.check = run.check;
    report.playedBackAtOpen = ImageFile::PlayedBackAtOpen() != playedBefore;
    report.journal = trace.journal;
    if (report.playedBackAtOpen && report.journal == JournalEnd::kNone)
        report.journal = JournalEnd::kPlayedBackAtOpen;
    report.outcome = result.status == 0    ? Outcome::kAdjusted
                     : result.status > 128 ? Outcome::kStopped
                                           : Outcome::kFailed;
    if (run.check) CheckDisk(trace, result, say, &report);
    report.exitStatus = result.status;
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (run.json) {
        result.report = ToJson(report);
    } else {
        std::ostringstream text;
        PrintCheck(report, text);
        result.checkText = text.str();
    }
    return result;
}

// Whether the batch stops before the next image: a stop signal came during
// the last one (or held back since it decided), or comes as the hold that
// kept it from the last run's finish is lifted. The signal, 0 for none.
int StopBeforeNextImage(int lastStop) {
    using namespace morlit::posix;
    if (lastStop) return lastStop;
    if (const int held = HeldStopSignal()) return held;
    ReleaseStopSignals();
    return InterruptRequested() ? InterruptSignal() : 0;
}

// What the command line asks for.
struct Options {
    std::vector<std::string> images;
    RunOptions run;
    bool putBack = false;
};

// Says what is wrong with the command line in one line, and where to read
// how it goes. The status to exit with.
int UsageError(const std::string& mistake) {
    std::cerr << "morlit: " << mistake << "\nTry 'morlit --help' for more information.\n";
    return 2;
}

// Reads the command line into `options`. -1 to go on; else the status to
// exit with, after the help, the version or a usage error was printed.
int ParseArguments(int argc, char** argv, Options* options) {
    // Values above any character, so that optopt tells a long option from a
    // short one.
    enum : int { kCdrom = 256, kCheck, kJson, kNoPauses, kPauses, kPutBack, kTemplates, kVersion };
    static const option kOptions[] = {
        {"cdrom", required_argument, nullptr, kCdrom},
        {"check", no_argument, nullptr, kCheck},
        {"help", no_argument, nullptr, 'h'},
        {"json", no_argument, nullptr, kJson},
        {"no-pauses", no_argument, nullptr, kNoPauses},
        {"pauses", no_argument, nullptr, kPauses},
        {"put-back", no_argument, nullptr, kPutBack},
        {"templates", required_argument, nullptr, kTemplates},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    auto nameOf = [](int value) {
        for (const option& o : kOptions)
            if (o.name && o.val == value) return std::string("--") + o.name;
        return std::string("-") + static_cast<char>(value);
    };
    RunOptions& run = options->run;
    std::string pauseOption;  // --pauses or --no-pauses, when given
    ::opterr = 0;             // each mistake is said here, in a line of its own
    for (int c; (c = ::getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
        switch (c) {
            case 'h':
                std::cout << kUsage;
                return 0;
            case kVersion:
                std::cout << "morlit " << MORLIT_VERSION << "\n";
                return 0;
            case kPauses:
            case kNoPauses:
                run.pauses = c == kPauses;
                pauseOption = nameOf(c);
                break;
            case kPutBack:
                options->putBack = true;
                break;
            case kCheck:
                run.check = true;
                break;
            case kJson:
                run.json = true;
                break;
            // An empty value would silently stand for the option not given.
            case kTemplates:
                if (!*::optarg) return UsageError("--templates needs a folder, not an empty name");
                run.templates = ::optarg;
                break;
            case kCdrom:
                if (!*::optarg) return UsageError("--cdrom needs a path, not an empty name");
                run.cdroms.push_back(::optarg);
                break;
            case ':':
                return UsageError(nameOf(::optopt) +
                                  (::optopt == kCdrom ? " needs a path" : " needs a folder"));
            default: {
                if (::optopt > 255) return UsageError(nameOf(::optopt) + " takes no value");
                if (::optopt) return UsageError("unknown option " + nameOf(::optopt));
                // A long option that is unknown, or the start of several.
                const std::string given = argv[::optind - 1];
                const std::string name = given.substr(0, given.find('='));
                std::string candidates;
                int matches = 0;
                for (const option& o : kOptions) {
                    if (o.name && std::string("--").append(o.name).rfind(name, 0) == 0)
                        candidates += (matches++ ? ", " : "") + nameOf(o.val);
                }
                if (matches > 1)
                    return UsageError("option " + name + " is ambiguous: " + candidates);
                return UsageError("unknown option " + name);
            }
        }
    }
    // getopt_long has moved the images behind the options.
    std::vector<std::string>& images = options->images;
    images.assign(argv + ::optind, argv + argc);
    if (options->putBack) {
        const std::pair<bool, std::string> others[] = {
            {run.check, "--check"},
            {run.json, "--json"},
            {!run.cdroms.empty(), "--cdrom"},
            {!run.templates.empty(), "--templates"},
            {!pauseOption.empty(), pauseOption},
        };
        for (const auto& [given, name] : others)
            if (given) return UsageError("--put-back cannot be used with " + name);
    }
    if (images.empty()) return UsageError("no image given");
    if (std::find(images.begin(), images.end(), std::string()) != images.end())
        return UsageError("an image name is empty");
    // A CD that cannot be read is a mistake of the command line: said before
    // any image is opened.
    for (const std::string& cd : run.cdroms) {
        morlit::u32 error = 0;
        if (morlit::posix::OpenCdPath(cd, &error)) continue;
        return UsageError("--cdrom " + cd + ": " + morlit::posix::CdPathProblem(error));
    }
    return -1;
}

// Several images are done one after another, each as a run of its own;
// a stop signal ends the batch with the image it came in. The exit status.
int RunImages(const Options& options) {
    const std::vector<std::string>& images = options.images;
    const RunOptions& run = options.run;
    const bool putBack = options.putBack;
    const bool batch = images.size() > 1;
    bool failed = false;
    for (size_t i = 0; i < images.size(); ++i) {
        const std::string& image = images[i];
        const bool last = i + 1 == images.size();
        // Every line names its image, also when there is one: runs that
        // xargs starts side by side share one standard error, where each
        // line goes in one write so that theirs cannot cut into it.
        const Say say = [&image](const std::string& line) {
            std::cerr << "morlit: " + image + ": " + line + "\n" << std::flush;
        };
        if (batch && !putBack && !run.json && !run.check)
            std::cout << "==> " << image << " <==" << std::endl;
        int stop = 0;
        if (putBack) {
            failed |= PutBack(image, say) != 0;
            stop = morlit::posix::InterruptRequested() ? morlit::posix::InterruptSignal() : 0;
        } else {
            const ImageEnd end = AdjustImage(image, run, say);
            // A host path need not be UTF-8 and lines say host paths as
            // their bytes: the object shows such a byte as U+FFFD and stays
            // valid JSON.
            if (run.json)
                std::cout << end.report.dump(-1, ' ', false,
                                             nlohmann::json::error_handler_t::replace)
                          << std::endl;
            else if (run.check)
                std::cout << end.checkText;
            // A --cdrom path that is no CD is a usage error before any image
            // is touched; later it can only be a failure of that image.
            if (end.status == 2 && i == 0) return 2;
            failed |= end.status != 0;
            // The last image's run says itself whether the stop changed it.
            if (last) return end.status > 2 ? end.status : failed ? 1 : 0;
            stop = StopBeforeNextImage(end.stop);
        }
        if (stop && !last) {
            std::string rest;
            for (size_t j = i + 1; j < images.size(); ++j)
                rest += (rest.empty() ? "" : ", ") + images[j];
            std::cerr << "morlit: not started: " << rest << std::endl;
            return 128 + stop;
        }
    }
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    KeepStandardStreamsOpen();
    // Stop signals only set a flag: the next write to the image fails, so the
    // run ends on its own failure path, puts the image back, and the run's
    // folder is removed on the way out. A closed output ends nothing.
    morlit::posix::InstallInterruptHandlers();
    Options options;
    if (const int status = ParseArguments(argc, argv, &options); status >= 0) return status;
    return RunImages(options);
}
