// ISO 9660 images: an input is an image file. It is opened and the names
// the seed images hold are looked up and read.
#include "platform/posix/fs/iso_volume.h"
#include "tests/fuzz/fuzz_util.h"

using morlit::u32;
using morlit::posix::PathParts;

MORLIT_FUZZ_TARGET(iso) {
    const std::string path = morlit::fuzz::ScratchDir() + "/cd.iso";
    morlit::fuzz::WriteWhole(path, data, size);
    u32 error = 0;
    auto volume = morlit::posix::IsoVolume::Open(path, &error);
    if (!volume) {
        MORLIT_FUZZ_CHECK(error != 0);
        return 0;
    }
    const PathParts paths[] = {
        {},
        {L"WIN51"},
        {L"readme.txt"},
        {L"I386"},
        {L"i386", L"txtsetup.sif"},
        {L"I386", L"DRIVER.CAB"},
        {L"I386", L"A Long Name With Spaces.txt"},
        {L"deep", L"a", L"b", L"c", L"d", L"e", L"f", L"g", L"file.txt"},
        {L"missing", L"x"},
    };
    for (const PathParts& p : paths) {
        morlit::posix::NodeInfo info;
        volume->Stat(p, &info);
        std::string bytes;
        if (volume->ReadFile(p, &bytes) == 0 && !info.directory) {
            MORLIT_FUZZ_CHECK(bytes.size() == info.size);
        }
        volume->ReadRange(p, 0, 100, &bytes);
        volume->ReadRange(p, 3000, 5000, &bytes);
        volume->ReadRange(p, ~0ull - 10, 100, &bytes);
    }
    return 0;
}
