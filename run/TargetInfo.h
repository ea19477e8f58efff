// What target discovery hands to the adjustments.
#pragma once

#include <string>

#include "platform/host.h"

namespace morlit {

struct TargetInfo {
    using SourceKind = DriverSourceKind;

    wchar_t letter = 0;             // the attached volume's letter, also with a CD source
    std::wstring windowsDirectory;  // "%c:\Windows" or "%c:\WINNT"
    SourceKind sourceKind = SourceKind::kNone;
    std::wstring driverSource;  // a cabinet path or an i386 folder
};

// The Boot.ini an XP or 2000 target gets, decided before the run changes
// anything on the volume.
struct BootIniPlan {
    std::wstring templatePath;  // beside the program: Quessil.bin or Tolmarin.bin
    std::wstring target;        // "%c:\Boot.ini"
    bool rewrite = false;       // the template's ARC paths are renamed for another partition
    std::string content;        // the renamed template, when `rewrite`
    u8 attributes = 0;          // the template's attributes, when `rewrite`
};

}  // namespace morlit
