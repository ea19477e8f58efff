// Our registry editor stand-in against hivexregedit --merge, on the same
// ~10 MB SYSTEM hive (about 30,000 keys) and the same IDE template, in one
// run. Both start from a fresh copy of the hive in every iteration.
//
// Figures: "hivexregedit" is the whole process (start-up, open, merge,
// commit). "ours, editor's work" is what our editor itself does: parse the
// script, import into the already loaded hive, commit and write back to the
// volume's file, with the data there on return; loading is RegLoadKey's job
// on Windows, not the editor's. "ours, end to end" adds loading (reading
// the volume's file, the private copy, opening it with hivex) and unloading.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "bench/bench_help.h"
#include "platform/posix/programs/regedit_tool.h"
#include "tools/hive/hive_builder.h"

extern char** environ;

namespace {

using morlit::u32;

struct Setup {
    std::string dir;
    std::string original;  // the hive's bytes
    std::string reg;       // the IDE script
    bool ok = false;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

Setup& Shared() {
    static Setup s = [] {
        Setup s;
        // In memory for both tools, so disk write-back does not swamp the
        // comparison.
        char dir[] = "/dev/shm/morlit-bench-XXXXXX";
        if (!::mkdtemp(dir)) return s;
        s.dir = dir;
        ::mkdir((s.dir + "/vol").c_str(), 0755);
        morlit::tools::SystemHiveSpec spec;
        spec.defaultControlSet = 1;
        spec.controlSets = {1, 2};
        spec.fillerKeys = 32000;
        std::string error;
        if (!morlit::tools::BuildSystemHive(s.dir + "/original", spec, &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return s;
        }
        s.original = ReadFile(s.dir + "/original");
        s.reg = ReadFile(MORLIT_SOURCE_DIR "/templates/Dravmont.bin");
        WriteFile(s.dir + "/vol/ide.reg", s.reg);
        s.ok = !s.original.empty() && !s.reg.empty();
        return s;
    }();
    return s;
}

struct Totals {
    double seconds = 0;
    long runs = 0;
    size_t sizeAfter = 0;
};
Totals ours, theirs, importOnly;

class NoErrors : public morlit::IErrors {
  public:
    u32 GetLastError() override { return code; }
    void SetLastError(u32 c) override { code = c; }
    u32 code = 0;
};

void BM_OurEditor(benchmark::State& state) {
    Setup& s = Shared();
    if (!s.ok) {
        state.SkipWithError("no hive");
        return;
    }
    morlit::posix::FolderFileAccess files;
    files.Map(L'E', s.dir + "/vol");
    NoErrors errors;
    const std::string hive = s.dir + "/vol/system";
    for (auto _ : state) {
        state.PauseTiming();
        WriteFile(hive, s.original);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        morlit::posix::PosixRegistry registry(files, errors);
        std::string reason;
        if (registry.RegLoadKey(morlit::kHKeyLocalMachine, L"VirtualPC", L"E:\\system") != 0 ||
            morlit::posix::RunRegeditTool(registry, files, L"/s \"E:\\ide.reg\"", &reason) != 0) {
            state.SkipWithError(reason.c_str());
            return;
        }
        registry.RegUnLoadKey(morlit::kHKeyLocalMachine, L"VirtualPC");
        ours.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++ours.runs;
    }
    struct stat st;
    if (::stat(hive.c_str(), &st) == 0) ours.sizeAfter = static_cast<size_t>(st.st_size);
}
BENCHMARK(BM_OurEditor)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The editor's own work: parse, apply, commit and write back; loading and
// unloading are not timed.
void BM_OurImportOnly(benchmark::State& state) {
    Setup& s = Shared();
    if (!s.ok) {
        state.SkipWithError("no hive");
        return;
    }
    morlit::posix::FolderFileAccess files;
    files.Map(L'E', s.dir + "/vol");
    NoErrors errors;
    const std::string hive = s.dir + "/vol/system";
    for (auto _ : state) {
        state.PauseTiming();
        WriteFile(hive, s.original);
        auto registry = std::make_unique<morlit::posix::PosixRegistry>(files, errors);
        registry->RegLoadKey(morlit::kHKeyLocalMachine, L"VirtualPC", L"E:\\system");
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        std::string reason;
        if (morlit::posix::RunRegeditTool(*registry, files, L"/s \"E:\\ide.reg\"", &reason) != 0) {
            state.SkipWithError(reason.c_str());
            return;
        }
        importOnly.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++importOnly.runs;
        state.PauseTiming();
        registry.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_OurImportOnly)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_Hivexregedit(benchmark::State& state) {
    Setup& s = Shared();
    if (!s.ok) {
        state.SkipWithError("no hive");
        return;
    }
    const std::string hive = s.dir + "/work";
    const std::string reg = s.dir + "/vol/ide.reg";
    for (auto _ : state) {
        state.PauseTiming();
        WriteFile(hive, s.original);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        const char* argv[] = {
            "hivexregedit", "--merge",   "--prefix", "HKEY_LOCAL_MACHINE\\VirtualPC",
            hive.c_str(),   reg.c_str(), nullptr};
        pid_t pid;
        if (posix_spawnp(&pid, "hivexregedit", nullptr, nullptr, const_cast<char**>(argv),
                         environ) != 0) {
            state.SkipWithError("hivexregedit not found (libwin-hivex-perl)");
            return;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("hivexregedit failed");
            return;
        }
        theirs.seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++theirs.runs;
    }
    struct stat st;
    if (::stat(hive.c_str(), &st) == 0) theirs.sizeAfter = static_cast<size_t>(st.st_size);
}
BENCHMARK(BM_Hivexregedit)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    if (morlit::bench::AnsweredHelp(
            argc, argv,
            "usage: morlit_registry_bench [BENCHMARK FLAGS]\n"
            "Our registry editor's import of the IDE template into a SYSTEM hive of\n"
            "about 10 MB, against hivexregedit --merge.\n",
            true))
        return 0;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Setup& s = Shared();
    if (s.ok && ours.runs && theirs.runs) {
        const double a = ours.seconds / ours.runs * 1000, b = theirs.seconds / theirs.runs * 1000;
        std::printf("hive: %zu bytes, %ld keys; script: %zu bytes\n", s.original.size(),
                    morlit::tools::CountKeys(s.dir + "/original"), s.reg.size());
        std::printf("hivexregedit (whole process) %.2f ms\n", b);
        if (importOnly.runs) {
            const double c = importOnly.seconds / importOnly.runs * 1000;
            std::printf(
                "ours, editor's work (parse, import into the loaded hive, commit, write back) "
                "%.2f ms: %.1fx faster\n",
                c, b / c);
        }
        std::printf("ours, end to end (load, the editor's work, unload) %.2f ms: %.1fx faster\n", a,
                    b / a);
        std::printf("hive growth: ours +%zu bytes, hivexregedit +%zu bytes\n",
                    ours.sizeAfter - s.original.size(), theirs.sizeAfter - s.original.size());
    }
    if (!s.dir.empty()) {
        const std::string cmd = "rm -rf '" + s.dir + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "cannot remove %s\n", s.dir.c_str());
    }
    return 0;
}
