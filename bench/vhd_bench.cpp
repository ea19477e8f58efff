// Sequential read and write of a 2 GiB dynamic image holding 1.5 GiB of
// data through the VHD layer, timed in the same run as qemu-img doing the
// same work: converting the image to a null target (read), and converting
// the raw disk to a dynamic image (write). Prints our time over qemu-img's.
//
// The images live in MORLIT_BENCH_DIR (default: the build tree) and are
// deleted at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_help.h"
#include "platform/posix/disk/vhd.h"

namespace {

using morlit::u32;
using morlit::u64;
using morlit::posix::VhdImage;

constexpr u64 kDiskSize = 2ull << 30;
constexpr u64 kDataSize = 3ull << 29;  // 1.5 GiB
constexpr size_t kChunk = 4 << 20;

std::string Dir() {
    const char* dir = std::getenv("MORLIT_BENCH_DIR");
    return std::string(dir ? dir : MORLIT_BINARY_DIR "/bench_vhd");
}
std::string RawPath() { return Dir() + "/disk.raw"; }
std::string SourcePath() { return Dir() + "/source.vhd"; }
std::string TargetPath() { return Dir() + "/target.vhd"; }

// CPU seconds (user and system) of the child processes waited for so far:
// qemu-img's own, which the benchmark's CPU column (this process) leaves out.
double ChildCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// The raw disk (data, then a hole) and the same disk as a dynamic image
// made by qemu-img.
void Prepare() {
    Run("mkdir -p '" + Dir() + "'");
    const int fd = ::open(RawPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) std::exit(1);
    std::vector<u64> chunk(kChunk / 8);
    u64 state = 0x9E3779B97F4A7C15ull;
    for (u64 at = 0; at < kDataSize; at += kChunk) {
        for (u64& word : chunk) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state | 1;
        }
        if (::pwrite(fd, chunk.data(), kChunk, static_cast<off_t>(at)) !=
            static_cast<ssize_t>(kChunk)) {
            std::exit(1);
        }
    }
    if (::ftruncate(fd, static_cast<off_t>(kDiskSize)) != 0) std::exit(1);
    ::close(fd);
    Run("qemu-img convert -f raw -O vpc -o subformat=dynamic,force_size=on '" + RawPath() + "' '" +
        SourcePath() + "'");
}

std::unique_ptr<VhdImage> OpenImage(const std::string& path, bool writable) {
    u32 error = 0;
    std::string reason;
    auto image = VhdImage::Open(path, writable, &error, &reason);
    if (!image) {
        std::fprintf(stderr, "%s: %u %s\n", path.c_str(), error, reason.c_str());
        std::exit(1);
    }
    return image;
}

void BM_VhdRead(benchmark::State& state) {
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        auto image = OpenImage(SourcePath(), false);
        for (u64 at = 0; at < image->Size(); at += kChunk) {
            if (image->Read(at, buffer.data(), kChunk) != 0) state.SkipWithError("read failed");
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDiskSize));
}

void BM_QemuConvertToNull(benchmark::State& state) {
    const std::string command =
        "qemu-img convert -f vpc -n '" + SourcePath() +
        "' --target-image-opts driver=null-co,size=" + std::to_string(kDiskSize);
    const double cpu_before = ChildCpuSeconds();
    for (auto _ : state) Run(command);
    state.counters["qemu_cpu_s"] =
        (ChildCpuSeconds() - cpu_before) / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDiskSize));
}

// The raw disk's data copied into a new dynamic image, flushed to disk.
double g_flush_seconds = 0;

void BM_VhdWrite(benchmark::State& state) {
    double flush_seconds = 0;
    std::vector<char> buffer(kChunk);
    const int raw = ::open(RawPath().c_str(), O_RDONLY);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(TargetPath().c_str());
        Run("qemu-img create -q -f vpc -o subformat=dynamic,force_size=on '" + TargetPath() + "' " +
            std::to_string(kDiskSize));
        ::sync();
        state.ResumeTiming();
        auto image = OpenImage(TargetPath(), true);
        // The data extents only, found as qemu-img finds them.
        for (u64 at = 0; at < kDiskSize;) {
            const off_t data = ::lseek(raw, static_cast<off_t>(at), SEEK_DATA);
            if (data < 0) break;
            const off_t hole = ::lseek(raw, data, SEEK_HOLE);
            for (u64 pos = static_cast<u64>(data); pos < static_cast<u64>(hole); pos += kChunk) {
                const size_t n = static_cast<size_t>(std::min<u64>(kChunk, hole - pos));
                if (::pread(raw, buffer.data(), n, static_cast<off_t>(pos)) !=
                        static_cast<ssize_t>(n) ||
                    image->Write(pos, buffer.data(), n) != 0) {
                    state.SkipWithError("write failed");
                }
            }
            at = static_cast<u64>(hole);
        }
        const auto flush_start = std::chrono::steady_clock::now();
        if (image->Flush() != 0) state.SkipWithError("flush failed");
        std::string reason;
        if (morlit::posix::CloseAndCommit(std::move(image), &reason) != 0)
            state.SkipWithError("commit failed");
        flush_seconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - flush_start).count();
    }
    state.counters["flush_s"] = flush_seconds / static_cast<double>(state.iterations());
    g_flush_seconds = flush_seconds / static_cast<double>(state.iterations());
    ::close(raw);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDiskSize));
}

// qemu-img's default cache mode for the target does not flush at all;
// "-t writeback" flushes as it goes, the durable comparison.
void BM_QemuConvertRawToVpc(benchmark::State& state, const char* cache) {
    const std::string command = "qemu-img convert -t " + std::string(cache) +
                                " -f raw -O vpc -o subformat=dynamic,force_size=on '" + RawPath() +
                                "' '" + TargetPath() + "'";
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(TargetPath().c_str());
        ::sync();
        const double cpu_before = ChildCpuSeconds();
        state.ResumeTiming();
        Run(command);
        state.PauseTiming();
        cpu += ChildCpuSeconds() - cpu_before;
        state.ResumeTiming();
    }
    state.counters["qemu_cpu_s"] = cpu / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDiskSize));
}

BENCHMARK(BM_VhdRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_QemuConvertToNull)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_VhdWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_CAPTURE(BM_QemuConvertRawToVpc, unsafe, "unsafe")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK_CAPTURE(BM_QemuConvertRawToVpc, writeback, "writeback")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

// Keeps each benchmark's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                seconds[run.benchmark_name()] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

double Find(const std::map<std::string, double>& seconds, const std::string& prefix) {
    for (const auto& [name, value] : seconds) {
        if (name.rfind(prefix, 0) == 0) return value;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (morlit::bench::AnsweredHelp(
            argc, argv,
            "usage: morlit_bench_vhd [BENCHMARK FLAGS]\n"
            "Sequential reads and writes of a 2 GiB dynamic VHD image through the VHD\n"
            "layer, against qemu-img convert. The images lie in MORLIT_BENCH_DIR\n"
            "(default: the build tree) and are deleted at the end unless\n"
            "MORLIT_BENCH_KEEP is set.\n",
            true))
        return 0;
    benchmark::Initialize(&argc, argv);
    std::printf("load average at start: %s\n", LoadAverage().c_str());
    Prepare();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double read = Find(reporter.seconds, "BM_VhdRead");
    const double null_convert = Find(reporter.seconds, "BM_QemuConvertToNull");
    const double write = Find(reporter.seconds, "BM_VhdWrite");
    const double vpc_convert = Find(reporter.seconds, "BM_QemuConvertRawToVpc/unsafe");
    const double vpc_synced = Find(reporter.seconds, "BM_QemuConvertRawToVpc/writeback");
    if (read > 0 && null_convert > 0) {
        std::printf("read:  %.3f s, qemu-img convert to null %.3f s, ratio %.2f (goal <= 1.2)\n",
                    read, null_convert, read / null_convert);
    }
    if (write > 0 && vpc_convert > 0) {
        std::printf(
            "write: %.3f s (of which the final flush %.3f s), qemu-img convert raw to vpc %.3f s "
            "(no flush), ratio %.2f, %.2f without our flush (goal <= 1.0)\n",
            write, g_flush_seconds, vpc_convert, write / vpc_convert,
            (write - g_flush_seconds) / vpc_convert);
    }
    if (write > 0 && vpc_synced > 0) {
        std::printf("write: qemu-img convert -t writeback raw to vpc %.3f s, ratio %.2f\n",
                    vpc_synced, write / vpc_synced);
    }
    std::printf("load average at end: %s\n", LoadAverage().c_str());
    if (!std::getenv("MORLIT_BENCH_KEEP")) Run("rm -rf '" + Dir() + "'");
    return 0;
}
