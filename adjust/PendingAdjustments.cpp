// TEMPORARY: stand-ins for the driver, registry and Boot.ini adjustments so
// that the run links and completes while those are built on their own
// branches. Delete this file when the real adjustments are merged.
#include "ui/MorlitDlg.h"

namespace morlit {

int CMorlitDlg::ExpandDriversFromFolder(wchar_t, std::wstring, std::wstring) { return 1; }
int CMorlitDlg::ExpandDriversFromCabinet(wchar_t, std::wstring, std::wstring) { return 1; }
int CMorlitDlg::AdjustTargetRegistry(wchar_t, std::wstring) { return 1; }
int CMorlitDlg::ReplaceBootIni(wchar_t, std::wstring) { return 1; }

}  // namespace morlit
