// A second run over an image the first run adjusted finds everything as it
// should be and must leave the image file exactly as it is: the same bytes
// and no write at all, so not even its modification time moves.
#include <sys/stat.h>

#include "tests/posix/e2e_fixture.h"

namespace morlit::posix::test {
namespace {

class Rerun : public ::testing::TestWithParam<const char*> {};

TEST_P(Rerun, ASecondRunWritesNothing) {
    const std::string dir = TestDir();
    const std::string image = CopyTarget(dir, GetParam());
    const std::string run = "LC_ALL=C " + Quote(Morlit()) + " " + Quote(image) + " </dev/null";
    std::string out;
    ASSERT_EQ(Shell(run + " 2>&1", &out), 0) << out;
    const std::string first = Slurp(image);
    const std::string firstTime = ModificationTime(image);
    ASSERT_EQ(Shell(run + " 2>&1", &out), 0) << out;
    EXPECT_EQ(out.find("The VHD file has been adjusted."), out.size() - 32) << out;
    const std::string second = Slurp(image);
    ASSERT_EQ(second.size(), first.size());
    std::string changed;
    for (size_t at = 0; at < first.size() && changed.size() < 400; at += 512) {
        if (first.compare(at, 512, second, at, 512) != 0) changed += std::to_string(at / 512) + " ";
    }
    EXPECT_EQ(changed, "") << "sectors changed by the second run";
    EXPECT_EQ(ModificationTime(image), firstTime);
    // No journal is left beside it.
    EXPECT_EQ(Slurp(image + "-journal"), "");
}

INSTANTIATE_TEST_SUITE_P(Samples, Rerun,
                         ::testing::Values("xp-cabinets.vhd", "win7.vhd", "xp-fat32.vhd"));

}  // namespace
}  // namespace morlit::posix::test
