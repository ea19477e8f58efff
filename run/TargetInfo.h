// What target discovery hands to the adjustments.
#pragma once

#include <string>

namespace morlit {

struct TargetInfo {
    enum class SourceKind { kNone, kCabinet, kFolder };

    wchar_t letter = 0;             // the attached volume's letter, also with a CD source
    std::wstring windowsDirectory;  // "%c:\Windows" or "%c:\WINNT"
    SourceKind sourceKind = SourceKind::kNone;
    std::wstring driverSource;  // a cabinet path or an i386 folder
};

}  // namespace morlit
