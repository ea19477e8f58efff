// The three extractions of a driver replacement from one large solid
// cabinet whose drivers lie at its end, against cabextract: one pass (what
// the three should cost together) and three -F calls (what three separate
// expand runs cost).
//
// Makes a MSZIP cabinet (gcab -z) and an LZX one (tools/make_cab.py) of
// more than 100 MB in the build tree and deletes them at the end.
//
// Figures, per run (mean of the iterations): "ours" is the three expand
// commands in this process from an empty cache (opening the cabinet,
// decoding, checking, writing the three files); wall time, and this
// process's processor time. "cabextract" is `cabextract -F` started once
// (one pass over the folder: what the three should cost together) or three
// times (three separate expand runs); wall time, and the children's
// processor time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_help.h"
#include "bench/bench_content.h"
#include "platform/posix/programs/expand_tool.h"

namespace fs = std::filesystem;
using morlit::bench::WriteContent;
using morlit::posix::ClearExpandCache;
using morlit::posix::FolderFileAccess;
using morlit::posix::RunExpandTool;

namespace {

const fs::path kDir = fs::path(MORLIT_BINARY_DIR) / "bench-data" / "expand";
const char* const kDrivers[] = {"hal.dll", "intelide.sys", "ntoskrnl.exe"};
constexpr int kFillers = 80;
constexpr size_t kFillerSize = 2u << 20;  // 160 MB of folder data in all

// Mean seconds per iteration by benchmark: wall clock, and processor time
// (our process, or the cabextract children) which the load of other
// processes on the machine disturbs less.
std::map<std::string, double> gSeconds;
std::map<std::string, double> gCpuSeconds;
std::map<std::string, morlit::posix::ExpandCacheStats> gStats;

double CpuSeconds(int who) {
    rusage r{};
    getrusage(who, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

void MakeCabinets() {
    fs::remove_all(kDir);
    fs::create_directories(kDir / "content");
    fs::create_directories(kDir / "out");
    std::string names;
    std::string lzxArgs;
    for (int i = 0; i < kFillers; ++i) {
        const std::string name = "filler" + std::to_string(100 + i) + ".dat";
        WriteContent(kDir / "content" / name, kFillerSize, 100 + i);
        names += " " + name;
        lzxArgs += " " + name + "=" + name;
    }
    const size_t sizes[] = {134400, 7040, 2150400};  // like XP SP3's
    for (int i = 0; i < 3; ++i) {
        WriteContent(kDir / "content" / kDrivers[i], sizes[i], 7 + i);
        names += std::string(" ") + kDrivers[i];
        lzxArgs += std::string(" ") + kDrivers[i] + "=" + kDrivers[i];
    }
    const std::string in = "cd " + Quote((kDir / "content").string()) + " && ";
    const std::string mszip = in + "gcab -c -n -z ../mszip.cab" + names;
    const std::string lzx = in + "python3 " +
                            Quote(std::string(MORLIT_SOURCE_DIR) + "/tools/make_cab.py") +
                            " --lzx ../lzx.cab" + lzxArgs;
    if (std::system(mszip.c_str()) != 0 || std::system(lzx.c_str()) != 0) std::exit(1);
    fs::remove_all(kDir / "content");
    std::printf("mszip.cab %.1f MB, lzx.cab %.1f MB\n", fs::file_size(kDir / "mszip.cab") / 1e6,
                fs::file_size(kDir / "lzx.cab") / 1e6);
}

void Record(benchmark::State& state, const std::string& name, double seconds, double cpu) {
    gSeconds[name] = seconds / static_cast<double>(state.iterations());
    gCpuSeconds[name] = cpu / static_cast<double>(state.iterations());
}

void Ours(benchmark::State& state, const char* cabinet) {
    FolderFileAccess files;
    files.Map(L'D', kDir.string());
    files.SetSettleSeconds(0);  // the cabinet was made moments ago
    const std::wstring cab = L"\"D:\\" + morlit::posix::FromUtf8(cabinet) + L"\"";
    double total = 0;
    const double cpuStart = CpuSeconds(RUSAGE_SELF);
    for (auto _ : state) {
        ClearExpandCache();  // each iteration is one run from a cold start
        const auto start = std::chrono::steady_clock::now();
        // The run's order: HAL, kernel, IDE driver.
        for (const char* member : {"hal.dll", "ntoskrnl.exe", "intelide.sys"}) {
            std::string reason;
            if (RunExpandTool(files,
                              cab + L" -F:" + morlit::posix::FromUtf8(member) + L" \"D:\\out\"",
                              &reason) != 0) {
                state.SkipWithError(reason.c_str());
                return;
            }
        }
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    gStats[cabinet] = morlit::posix::GetExpandCacheStats();  // of the last run
    ClearExpandCache();
    Record(state, std::string("ours/") + cabinet, total, CpuSeconds(RUSAGE_SELF) - cpuStart);
}

void Cabextract(benchmark::State& state, const char* cabinet, int calls) {
    const char* members[] = {"hal.dll", "ntoskrnl.exe", "intelide.sys"};
    double total = 0;
    const double cpuStart = CpuSeconds(RUSAGE_CHILDREN);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) {
            const std::string command = "cabextract -q -d " + Quote((kDir / "out").string()) +
                                        " -F " + members[i] + " " +
                                        Quote((kDir / cabinet).string());
            if (std::system(command.c_str()) != 0) {
                state.SkipWithError("cabextract failed");
                return;
            }
        }
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    Record(state, "cabextract" + std::to_string(calls) + "/" + cabinet, total,
           CpuSeconds(RUSAGE_CHILDREN) - cpuStart);
}

}  // namespace

int main(int argc, char** argv) {
    if (morlit::bench::AnsweredHelp(
            argc, argv,
            "usage: expand_bench [BENCHMARK FLAGS]\n"
            "The three driver extractions of a run from one solid cabinet of more than\n"
            "100 MB (MSZIP and LZX, made in the build tree), against cabextract.\n",
            true))
        return 0;
    MakeCabinets();
    for (const char* cab : {"mszip.cab", "lzx.cab"}) {
        benchmark::RegisterBenchmark((std::string("cabextract_one_pass/") + cab).c_str(),
                                     [cab](benchmark::State& s) { Cabextract(s, cab, 1); })
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("cabextract_three_calls/") + cab).c_str(),
                                     [cab](benchmark::State& s) { Cabextract(s, cab, 3); })
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("expand_three_runs/") + cab).c_str(),
                                     [cab](benchmark::State& s) { Ours(s, cab); })
            ->Iterations(3)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    for (const char* cab : {"mszip.cab", "lzx.cab"}) {
        const auto& st = gStats[cab];
        std::printf(
            "%s, our last run: cabinet opened %llu time(s), %llu pass(es) from the folder's start, "
            "%.1f MB decoded, %llu member(s) served from memory\n",
            cab, static_cast<unsigned long long>(st.cabinetReads),
            static_cast<unsigned long long>(st.folderRestarts), st.decodedBytes / 1e6,
            static_cast<unsigned long long>(st.retainedHits));
        for (auto* table : {&gSeconds, &gCpuSeconds}) {
            const double ours = (*table)[std::string("ours/") + cab];
            const double one = (*table)[std::string("cabextract1/") + cab];
            const double three = (*table)[std::string("cabextract3/") + cab];
            if (ours <= 0 || one <= 0 || three <= 0) continue;
            std::printf(
                "%s %s: ours %.0f ms, one cabextract pass %.0f ms, three calls %.0f ms: "
                "ours / one pass = %.2fx, three calls / ours = %.2fx\n",
                cab, table == &gSeconds ? "wall" : "cpu ", ours * 1e3, one * 1e3, three * 1e3,
                ours / one, three / ours);
        }
    }
    fs::remove_all(kDir.parent_path());
    return 0;
}
