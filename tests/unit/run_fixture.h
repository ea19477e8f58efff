// A main dialog over the scripted host, ready for a run.
#pragma once

#include <gtest/gtest.h>

#include <numeric>

#include "tests/support/script_host.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit::test {

class RunTest : public ::testing::Test {
  protected:
    RunTest() : dlg(sh.host) { dlg.m_strVhdPath = L"C:\\Images\\xp.vhd"; }

    u64 TotalSleep() const { return std::accumulate(sh.sleeps.begin(), sh.sleeps.end(), u64{0}); }
    // The texts shown in the progress window, in order.
    std::vector<std::string> StatusTexts() const {
        std::vector<std::string> out;
        for (const auto& c : sh.CallsStartingWith("dlg129.SetItemText(1002, ")) {
            out.push_back(c.substr(25, c.size() - 26));
        }
        return out;
    }
    std::wstring Formatted(u32 id, u32 code) const {
        return FormatWithCode(FindStringTableText(id), code);
    }

    ScriptHost sh;
    CMorlitDlg dlg;
};

}  // namespace morlit::test
