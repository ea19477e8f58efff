// Start-up: the host gate and what InitInstance does on either side of it.
#include <gtest/gtest.h>

#include "app/MorlitApp.h"
#include "tests/support/script_host.h"
#include "ui/texts.h"

namespace morlit::test {
namespace {

OsVersion Nt(u32 major, u32 minor, u32 build) { return OsVersion{major, minor, build, 2}; }

TEST(HostGateTest, AcceptsOnlyNtSixOneAndLaterMinorsWithABuildFrom6000) {
    EXPECT_TRUE(IsSupportedHost(true, Nt(6, 1, 7601)));
    EXPECT_TRUE(IsSupportedHost(true, Nt(6, 1, 6000)));
    // Only the major number must be 6: Windows 8 and 8.1 pass.
    EXPECT_TRUE(IsSupportedHost(true, Nt(6, 2, 9200)));
    EXPECT_TRUE(IsSupportedHost(true, Nt(6, 3, 9600)));

    EXPECT_FALSE(IsSupportedHost(true, Nt(6, 0, 6002)));  // Vista, any build
    EXPECT_FALSE(IsSupportedHost(true, Nt(6, 0, 7601)));
    EXPECT_FALSE(IsSupportedHost(true, Nt(5, 1, 2600)));
    EXPECT_FALSE(IsSupportedHost(true, Nt(10, 0, 19045)));
    EXPECT_FALSE(IsSupportedHost(true, Nt(6, 1, 5999)));
    // Only the low 16 bits of the build count.
    EXPECT_FALSE(IsSupportedHost(true, Nt(6, 1, 0x10000 + 5999)));
    EXPECT_TRUE(IsSupportedHost(true, Nt(6, 1, 0xABCD0000u + 7601)));

    EXPECT_FALSE(IsSupportedHost(true, OsVersion{6, 1, 7601, 1}));  // not the NT platform
    EXPECT_FALSE(IsSupportedHost(false, Nt(6, 1, 7601)));           // version unknown
}

class InitInstanceTest : public ::testing::Test {
  protected:
    bool Run() {
        CMorlitApp app(sh.host);
        return app.InitInstance();
    }
    ScriptHost sh;
};

TEST_F(InitInstanceTest, AcceptedHostRunsTheMainWindowModallyAndReturnsFalse) {
    EXPECT_FALSE(Run());
    EXPECT_EQ(sh.IndexOf("InitCommonControls(0xFF)"), 0);
    const int version = sh.IndexOf("GetVersionEx()");
    const int icon = sh.IndexOf("LoadAppIcon(128)");
    const int modal = sh.IndexOf("dlg102.DoModal(102)");
    EXPECT_TRUE(version > 0 && version < icon && icon < modal) << testing::PrintToString(sh.calls);
    EXPECT_EQ(sh.CallsStartingWith("GetVersionEx").size(), 1u);
    EXPECT_TRUE(sh.messages.empty());
    EXPECT_EQ(sh.liveWindows, 0);
}

TEST_F(InitInstanceTest, RefusedHostShowsOnlyTheWindows7Message) {
    sh.version = Nt(5, 1, 2600);
    EXPECT_FALSE(Run());
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, L"このアプリケーションは、Windows 7 専用です。");
    EXPECT_EQ(sh.messages[0].style, 0u);
    EXPECT_EQ(sh.messages[0].helpContext, 0u);
    EXPECT_FALSE(sh.Called("LoadAppIcon"));
    EXPECT_FALSE(sh.Called("dlg102"));
}

TEST_F(InitInstanceTest, VersionReadIsRetriedOnceThenRefused) {
    sh.Fail("GetVersionEx", err::kInvalidParameter, 0, 1);
    EXPECT_FALSE(Run());
    EXPECT_EQ(sh.CallsStartingWith("GetVersionEx").size(), 2u);
    EXPECT_TRUE(sh.messages.empty());
    EXPECT_TRUE(sh.Called("dlg102.DoModal(102)"));

    ScriptHost twice;
    twice.Fail("GetVersionEx", err::kInvalidParameter, 0, 2);
    CMorlitApp app(twice.host);
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(twice.CallsStartingWith("GetVersionEx").size(), 2u);
    ASSERT_EQ(twice.messages.size(), 1u);
    EXPECT_EQ(twice.messages[0].text, kWindows7Only);
    EXPECT_FALSE(twice.Called("dlg102"));
}

}  // namespace
}  // namespace morlit::test
