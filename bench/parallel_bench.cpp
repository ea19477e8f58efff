// Many morlit commands at once, as a batch would run them: N copies of the
// XP sample image (drivers from its cabinets, the registry, Boot.ini), at
// most P runs at a time, without and with --pauses. Prints images per
// minute and the processor time each run took.
//
//   morlit_parallel_bench [--images N] [--jobs P] [--paused-images M] [MORLIT]
// Defaults: 48 images and 4 jobs without pauses; 16 images, all at once,
// with them. MORLIT: the command to run (default the build tree's).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "bench/bench_help.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const fs::path kDir = fs::path(MORLIT_BINARY_DIR) / "bench-data" / "parallel";

std::string Quote(const std::string& s) { return "'" + s + "'"; }

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

double ChildCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

pid_t Start(const std::string& morlit, const std::string& image, bool pauses) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (image + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args = {morlit};
    args.push_back(pauses ? "--pauses" : "--no-pauses");
    args.push_back(image);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, morlit.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start %s\n", morlit.c_str());
        std::exit(1);
    }
    return pid;
}

// Runs morlit on every image, at most `jobs` at a time. Wall seconds.
double RunBatch(const std::string& morlit, const std::vector<std::string>& images, int jobs,
                bool pauses, double* cpu) {
    const double cpuBefore = ChildCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::set<pid_t> running;
    size_t next = 0, failed = 0;
    while (next < images.size() || !running.empty()) {
        while (next < images.size() && static_cast<int>(running.size()) < jobs) {
            running.insert(Start(morlit, images[next++], pauses));
        }
        int status = 0;
        const pid_t done = ::wait(&status);
        if (done < 0) break;
        running.erase(done);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *cpu = ChildCpuSeconds() - cpuBefore;
    if (failed) {
        std::fprintf(stderr, "%zu of %zu runs failed (see %s/*.out)\n", failed, images.size(),
                     kDir.c_str());
        std::exit(1);
    }
    return seconds;
}

std::vector<std::string> FreshCopies(const std::string& sample, int count) {
    std::vector<std::string> images;
    for (int i = 0; i < count; ++i) {
        const std::string image = (kDir / ("run" + std::to_string(i) + ".vhd")).string();
        Run("cp --sparse=always " + Quote(sample) + " " + Quote(image));
        images.push_back(image);
    }
    return images;
}

void Report(const char* what, int images, int jobs, double seconds, double cpu) {
    std::printf("%-14s %6d %5d %9.2f %13.1f %14.3f\n", what, images, jobs, seconds,
                images * 60.0 / seconds, cpu / images);
}

}  // namespace

int main(int argc, char** argv) {
    int images = 48, jobs = 4, pausedImages = 16;
    std::string morlit = std::string(MORLIT_BINARY_DIR) + "/morlit";
    if (morlit::bench::AnsweredHelp(
            argc, argv,
            "usage: morlit_parallel_bench [--images N] [--jobs P] [--paused-images M]\n"
            "                             [MORLIT]\n"
            "Runs N morlit commands, P at a time, on copies of the XP sample image, then\n"
            "M with --pauses all at once, and prints images per minute. Defaults: 48\n"
            "images, 4 jobs, 16 paused images; MORLIT is the build tree's command.\n"))
        return 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--images" && i + 1 < argc)
            images = std::atoi(argv[++i]);
        else if (arg == "--jobs" && i + 1 < argc)
            jobs = std::atoi(argv[++i]);
        else if (arg == "--paused-images" && i + 1 < argc)
            pausedImages = std::atoi(argv[++i]);
        else
            morlit = arg;
    }
    if (images < 1 || jobs < 1 || pausedImages < 0) {
        std::fprintf(stderr,
                     "usage: morlit_parallel_bench [--images N] [--jobs P] "
                     "[--paused-images M] [MORLIT]\n");
        return 2;
    }
    fs::remove_all(kDir);
    fs::create_directories(kDir / "samples");
    const std::string bin = MORLIT_BINARY_DIR, src = MORLIT_SOURCE_DIR;
    Run("bash " + Quote(src + "/tools/make-sample-targets.sh") + " --build " + Quote(bin) + " " +
        Quote((kDir / "samples").string()) + " xp-cabinets >/dev/null");
    const std::string sample = (kDir / "samples" / "xp-cabinets.vhd").string();
    std::printf("%ld processors; the XP sample image (drivers from sp2.cab, registry, Boot.ini)\n",
                ::sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("%-14s %6s %5s %9s %13s %14s\n", "", "images", "jobs", "seconds", "images/minute",
                "cpu s per run");

    double cpu = 0;
    std::vector<std::string> copies = FreshCopies(sample, images);
    double seconds = RunBatch(morlit, copies, jobs, false, &cpu);
    Report("--no-pauses", images, jobs, seconds, cpu);
    if (pausedImages > 0) {
        copies = FreshCopies(sample, pausedImages);
        seconds = RunBatch(morlit, copies, pausedImages, true, &cpu);
        Report("with pauses", pausedImages, pausedImages, seconds, cpu);
    }
    fs::remove_all(kDir);
    return 0;
}
