// The main window. Its window handlers live in ui/, its run in run/ and its
// adjustments of the target in adjust/; all reach the system through the
// Host the dialog is given.
#pragma once

#include <string>

#include "platform/constants.h"
#include "platform/dialog.h"
#include "run/TargetInfo.h"
#include "ui/MessageDlg.h"
#include "ui/resource.h"

namespace morlit {

class CMorlitDlg : public CDialog {
  public:
    explicit CMorlitDlg(Host& host);
    ~CMorlitDlg() override;

    // Window handlers (ui/MorlitDlg.cpp).
    bool OnInitDialog() override;
    bool OnSysCommand(u32 id, std::intptr_t lParam) override;
    bool OnPaint() override;
    Handle OnQueryDragIcon() override;
    bool OnCommand(int id) override;
    void OnBnClickedBrowse();

    // The run controller and the progress window (run/RunController.cpp).
    void OnBnClickedOk();
    void ShowProgress(const std::wstring& text);
    // The step's status text, the step noted for a host that records it.
    void ShowProgress(RunStep step);

    // The run's pipeline: the mount stage (run/MountStage.cpp), then target
    // discovery and dispatch (run/Discovery.cpp).
    int RunAdjustment();
    // `otherLetters`: the disk's further volumes, in partition order.
    int DiscoverAndAdjust(wchar_t letter, const std::wstring& otherLetters = std::wstring());

    // Driver replacement (adjust/Drivers.cpp).
    int ExpandDriversFromFolder(wchar_t letter, std::wstring windowsDirectory, std::wstring source);
    int ExpandDriversFromCabinet(wchar_t letter, std::wstring windowsDirectory,
                                 std::wstring cabinet);
    int RunAndWait(const std::wstring& file, const std::wstring& parameters);

    // Registry adjustment (adjust/ControlSetTemplate.cpp, adjust/Registry.cpp).
    std::wstring RewriteControlSetTemplate(u32 controlSetNumber);
    // The same, telling whether the whole template reached the import file:
    // false when the template or the import file could not be opened, read
    // or written. The path is empty when the executable's directory is not
    // known.
    std::wstring RewriteControlSetTemplate(u32 controlSetNumber, bool* written);
    int AdjustTargetRegistry(wchar_t letter, std::wstring windowsDirectory);
    int EnableBackupRestorePrivileges();
    int ReadDefaultControlSet(u32& number);
    // Unloads HKLM\VirtualPC only when this run loaded it: the mount point
    // is one name for the whole machine, and another run may hold it. 1 when
    // there was nothing to unload or it was unloaded; 0 (with message 140)
    // when it stays loaded.
    int UnloadTargetRegistry();
    // Whether the registry step has what it needs beside the program: its
    // template readable and the editor's path known. 0 with message 140
    // (the code the step itself would give) when not. Changes nothing.
    int CheckRegistryInputs();

    // Boot.ini replacement (adjust/BootIni.cpp): PrepareBootIni asks
    // everything that can refuse the new Boot.ini (the template, the
    // partition number) and changes nothing; WriteBootIni then replaces it.
    // ReplaceBootIni is the two in one.
    int ReplaceBootIni(wchar_t letter, std::wstring windowsDirectory);
    int PrepareBootIni(wchar_t letter, const std::wstring& windowsDirectory, BootIniPlan* plan);
    int WriteBootIni(const BootIniPlan& plan);
    // The template's bytes with every "partition(1)" of an ARC path written
    // as "partition(N)"; the same bytes when it holds none.
    static std::string NameArcPartition(const std::string& bootIni, u32 number);

    // Run state.
    std::wstring m_strVhdPath;
    Handle m_hVirtualDisk = nullptr;
    CMessageDlg* m_pMessageDlg = nullptr;
    Handle m_hIcon = nullptr;
    // The attached disk's number, -1 until the mount stage has read it.
    int m_nDiskNumber = -1;
    // Whether this run's RegLoadKey of HKLM\VirtualPC succeeded.
    bool m_bHiveLoaded = false;

    // The executable's directory with its trailing backslash, or empty when
    // the module path has no backslash.
    std::wstring ExecutableDirectory();
    // A message from the string table formatted with one code, shown with
    // MB_OK and help context 0.
    void ShowCodeMessage(u32 id, u32 code);
};

}  // namespace morlit
