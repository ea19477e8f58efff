// make_dirty_hive CLEAN OUTDIR NAME FORMAT
// Leaves in OUTDIR the hive file NAME as a machine that stopped mid-write
// leaves it: CLEAN marked dirty, with newer keys only in its logs.
//   FORMAT old    NAME.LOG, old format (XP, 2000)
//          old2   NAME.LOG1 written for another state of the hive and
//                 NAME.LOG2 that applies, old format (Vista, 7)
//          new    NAME.LOG1 with two entries and NAME.LOG2 with one,
//                 new format (8.1 and later)
// The keys only the logs hold, each with a DWORD "Marker":
//   ControlSet001\Enum\PCI\VEN_8086&DEV_7111\Recovered      (1)
//   ControlSet001\Enum\STORAGE\Volume\Recovered              (2)
//   ControlSet001\Enum\Root\Recovered                        (3, new only)
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/hive/hive_builder.h"
#include "tools/hive/hive_log_writer.h"

namespace {

using namespace morlit;
using namespace morlit::tools;

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Write(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

// `from` with one more marked key, through a scratch file.
bool Grow(const std::string& scratch, const std::string& from, const std::string& key, u32 marker,
          std::string* out) {
    std::string error;
    if (!Write(scratch, from) || !AddMarkedKey(scratch, key, marker, &error)) {
        std::fprintf(stderr, "make_dirty_hive: %s\n", error.c_str());
        return false;
    }
    *out = Read(scratch);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s CLEAN OUTDIR NAME old|old2|new\n", argv[0]);
        return 2;
    }
    const std::string clean = Read(argv[1]);
    const std::string base = std::string(argv[2]) + "/" + argv[3];
    const std::string format = argv[4];
    const std::string scratch = base + ".scratch";
    if (clean.size() < 8192) {
        std::fprintf(stderr, "make_dirty_hive: %s is not a hive\n", argv[1]);
        return 1;
    }
    const std::string pci = "ControlSet001\\Enum\\PCI\\VEN_8086&DEV_7111\\Recovered";
    const std::string storage = "ControlSet001\\Enum\\STORAGE\\Volume\\Recovered";
    std::string one, two;
    if (!Grow(scratch, clean, pci, 1, &one) || !Grow(scratch, one, storage, 2, &two)) return 1;

    const u32 sequence = PrimarySequence(clean) + 1;
    std::string primary = clean;
    SetSequences(&primary, sequence, sequence - 1);
    bool ok = Write(base, primary);
    if (format == "old") {
        ok = ok && Write(base + ".LOG", OldFormatLog(clean, two, sequence));
    } else if (format == "old2") {
        std::string stale;
        if (!Grow(scratch, clean, "ControlSet001\\Enum\\Stale", 9, &stale)) return 1;
        SetLastWritten(&stale, LastWritten(clean) + 10000000);
        ok = ok && Write(base + ".LOG1", OldFormatLog(clean, stale, sequence - 1)) &&
             Write(base + ".LOG2", OldFormatLog(clean, two, sequence));
    } else if (format == "new") {
        std::string three;
        if (!Grow(scratch, two, "ControlSet001\\Enum\\Root\\Recovered", 3, &three)) return 1;
        ok = ok &&
             Write(base + ".LOG1", NewFormatLog(clean, sequence,
                                                {NewFormatEntry(clean, one, sequence),
                                                 NewFormatEntry(one, two, sequence + 1)})) &&
             Write(base + ".LOG2",
                   NewFormatLog(two, sequence + 2, {NewFormatEntry(two, three, sequence + 2)}));
    } else {
        std::fprintf(stderr, "make_dirty_hive: unknown format %s\n", format.c_str());
        ok = false;
    }
    std::remove(scratch.c_str());
    return ok ? 0 : 1;
}
