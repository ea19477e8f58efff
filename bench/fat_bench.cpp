// A FAT32 volume of 512 MiB (4 KiB clusters) holding a 128 MiB file written
// by mcopy: reading it through FatVolume in 1 MiB ranges against mtype, and
// writing a new 128 MiB file through FatVolume (with and without the
// rollback journal) against mcopy and sync, over clusters written before
// and, as a new file lands on the free space of a sparse image, into holes.
// Each FatVolume iteration mounts the volume, which checks every chain and
// folder.
//
// The image lives in MORLIT_BENCH_DIR (default: the build tree) and is
// deleted at the end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "bench/bench_help.h"
#include "platform/posix/disk/raw_image.h"
#include "platform/posix/fs/fat_volume.h"

namespace {

using morlit::u32;
using morlit::u64;
using morlit::posix::FatVolume;
using morlit::posix::ImageWrites;
using morlit::posix::RawImage;

constexpr size_t kFileSize = 128u << 20;
constexpr size_t kWindow = 1u << 20;

std::string Dir() {
    const char* dir = std::getenv("MORLIT_BENCH_DIR");
    return std::string(dir ? dir : MORLIT_BINARY_DIR "/bench_fat");
}
std::string Image() { return Dir() + "/fat32.img"; }
std::string Content() { return Dir() + "/content.bin"; }
std::string Pristine() { return Dir() + "/pristine.img"; }

void Run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

const std::string kMtools = "MTOOLS_SKIP_CHECK=1 ";

void Prepare() {
    Run("rm -rf '" + Dir() + "' && mkdir -p '" + Dir() + "'");
    Run("head -c " + std::to_string(kFileSize) + " /dev/urandom > '" + Content() + "'");
    Run("mkfs.fat -F 32 -s 8 -C '" + Image() + "' 524288 >/dev/null");
    Run(kMtools + "mcopy -i '" + Image() + "' '" + Content() + "' ::/big.bin");
    Run("cp --sparse=always '" + Image() + "' '" + Pristine() + "'");
}

struct Mounted {
    std::unique_ptr<RawImage> disk;
    std::unique_ptr<FatVolume> volume;
};

Mounted Mount(ImageWrites writes = ImageWrites::kJournalled) {
    Mounted m;
    u32 error = 0;
    std::string reason;
    m.disk = RawImage::Open(Image(), true, &error, &reason, writes);
    FatVolume::MountError why;
    if (m.disk) m.volume = FatVolume::Mount(*m.disk, 0, m.disk->Size(), &why, &reason);
    if (!m.volume) {
        std::fprintf(stderr, "mount failed: %s\n", reason.c_str());
        std::exit(1);
    }
    return m;
}

void BM_FatVolumeRead(benchmark::State& state) {
    std::string data;
    for (auto _ : state) {
        Mounted m = Mount();
        for (u64 at = 0; at < kFileSize; at += kWindow) {
            if (m.volume->ReadRange({L"big.bin"}, at, kWindow, &data) != 0)
                state.SkipWithError("read failed");
        }
        benchmark::DoNotOptimize(data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_MtypeRead(benchmark::State& state) {
    for (auto _ : state) Run(kMtools + "mtype -i '" + Image() + "' ::/big.bin > /dev/null");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// Journalled, as a run writes (the old bytes saved first), and direct: the
// FAT layer's own cost.
void BM_FatVolumeWrite(benchmark::State& state, ImageWrites writes, bool holes) {
    std::ifstream in(Content(), std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    for (auto _ : state) {
        {
            Mounted m = Mount(writes);
            if (m.volume->WriteFile({L"new file.bin"}, content) != 0)
                state.SkipWithError("write failed");
            m.volume.reset();
            std::string reason;
            if (morlit::posix::CloseAndCommit(std::move(m.disk), &reason) != 0)
                state.SkipWithError("commit failed");
        }
        state.PauseTiming();
        // Freed clusters keep their bytes; only a fresh sparse copy has
        // holes where the next file goes.
        Run(holes ? "cp --sparse=always '" + Pristine() + "' '" + Image() + "' && sync"
                  : kMtools + "mdel -i '" + Image() + "' '::/new file.bin'");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

// mcopy does not sync; FatVolume's contract is that the data is on the
// disk on return, so mcopy is timed with the image synced after it.
void BM_McopyWrite(benchmark::State& state) {
    for (auto _ : state) {
        Run(kMtools + "mcopy -i '" + Image() + "' '" + Content() + "' '::/new file.bin' && sync '" +
            Image() + "'");
        state.PauseTiming();
        Run(kMtools + "mdel -i '" + Image() + "' '::/new file.bin'");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

}  // namespace

int main(int argc, char** argv) {
    if (morlit::bench::AnsweredHelp(
            argc, argv,
            "usage: morlit_fat_bench [BENCHMARK FLAGS]\n"
            "Reads and writes of a 128 MiB file on a FAT32 volume through FatVolume,\n"
            "against mtype and mcopy. The image lies in MORLIT_BENCH_DIR (default: the\n"
            "build tree) and is deleted at the end.\n",
            true))
        return 0;
    benchmark::Initialize(&argc, argv);
    Prepare();
    for (auto* b : {benchmark::RegisterBenchmark("FatVolumeRead", BM_FatVolumeRead),
                    benchmark::RegisterBenchmark("MtypeRead", BM_MtypeRead),
                    benchmark::RegisterBenchmark("FatVolumeWrite", BM_FatVolumeWrite,
                                                 ImageWrites::kJournalled, false),
                    benchmark::RegisterBenchmark("FatVolumeWriteDirect", BM_FatVolumeWrite,
                                                 ImageWrites::kDirect, false),
                    benchmark::RegisterBenchmark("FatVolumeWriteIntoHoles", BM_FatVolumeWrite,
                                                 ImageWrites::kJournalled, true),
                    benchmark::RegisterBenchmark("FatVolumeWriteIntoHolesDirect", BM_FatVolumeWrite,
                                                 ImageWrites::kDirect, true),
                    benchmark::RegisterBenchmark("McopyWrite", BM_McopyWrite)})
        b->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    Run("rm -rf '" + Dir() + "'");
    return 0;
}
