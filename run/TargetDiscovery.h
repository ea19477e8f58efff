// Target discovery: what the attached volume holds and where the driver
// source lies, decided only by probing fixed paths, listing the host's drives
// and asking the user. Dispatch: which adjustments then run, and which of
// their results end the run.
#pragma once

#include <string>

#include "platform/host.h"
#include "run/TargetInfo.h"

namespace morlit {

// Runs discovery on the volume with drive letter `letter`, probing through
// `find` only. True with `*out` filled when a target was recognised: a
// boot-manager target has no driver source, nor has a Vista/7 installation
// found where an XP/2000 one was looked for (its Windows directory holds
// System32\winload.exe); an XP/2000 target has one. False when the run ends
// with 0: no target (message 136, also for a Windows that is not XP where
// only the XP CD could give drivers), Cancel at the CD prompt, or no CD found
// and the user declined to search again. Writes nothing.
//
// `otherLetters`: the letters of the disk's further volumes, in partition
// order. A boot-manager volume without a Windows of its own (a "System
// Reserved" partition) has its registry adjusted on the first of them that
// holds an installation's SYSTEM hive.
bool DiscoverTarget(Host& host, IFileFind& find, wchar_t letter, TargetInfo* out,
                    const std::wstring& otherLetters = std::wstring());

// Calls the adjustments for a discovered target and returns the run's
// result. `ops` offers CheckRegistryInputs, PrepareBootIni,
// ExpandDriversFromCabinet, ExpandDriversFromFolder, AdjustTargetRegistry
// and WriteBootIni.
//
// Everything that can refuse an XP or 2000 target without changing it is
// asked before the drivers are written: on Windows the attached disk is
// the image itself, and nothing written can be taken back. What is left
// to fail afterwards can only be known by doing it (a cabinet member that
// does not decode, a hive that does not load, an import the editor
// refuses).
template <class Adjustments>
int DispatchTarget(const TargetInfo& target, Adjustments& ops) {
    if (target.sourceKind == TargetInfo::SourceKind::kNone) {
        // A boot-manager target: the registry is all there is to adjust, and
        // its result is the run's.
        return ops.AdjustTargetRegistry(target.letter, target.windowsDirectory);
    }
    BootIniPlan bootIni;
    if (ops.CheckRegistryInputs() == 0) return 0;
    if (ops.PrepareBootIni(target.letter, target.windowsDirectory, &bootIni) == 0) return 0;
    const int drivers = target.sourceKind == TargetInfo::SourceKind::kCabinet
                            ? ops.ExpandDriversFromCabinet(target.letter, target.windowsDirectory,
                                                           target.driverSource)
                            : ops.ExpandDriversFromFolder(target.letter, target.windowsDirectory,
                                                          target.driverSource);
    if (drivers == 0) return 0;
    if (ops.AdjustTargetRegistry(target.letter, target.windowsDirectory) == 0) return 0;
    // The old Boot.ini may already be gone when the new one cannot be
    // written: such a target no longer starts, so the run has failed.
    return ops.WriteBootIni(bootIni) == 0 ? 0 : 1;
}

}  // namespace morlit
