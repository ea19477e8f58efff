// The whole registry adjustment in-process on the Linux host's registry and
// editor stand-in, over a folder-backed volume with a real hive.
#include <cwctype>

#include "platform/constants.h"
#include "platform/crt_stream.h"
#include "platform/posix/programs/regedit_tool.h"
#include "platform/posix/registry/hive_format.h"
#include "tests/posix/hive_fixture.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit::posix::test {
namespace {

// Files of the drive namespace over FolderFileAccess: what the adjustment
// uses of IFiles.
class VolumeFiles : public IFiles {
  public:
    VolumeFiles(FolderFileAccess& files, IErrors& errors) : files_(files), errors_(errors) {}
    std::unique_ptr<IFileFind> NewFileFind() override { return nullptr; }
    bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) override {
        NodeInfo info;
        if (failIfExists && files_.Stat(to, &info) == 0) return Fail(err::kFileExists);
        std::string data;
        if (const u32 code = files_.ReadFile(from, &data)) return Fail(code);
        if (const u32 code = files_.WriteFile(to, data)) return Fail(code);
        return true;
    }
    bool DeleteFile(const std::wstring& path) override {
        const std::string host = files_.HostPath(path);
        if (host.empty() || ::unlink(host.c_str()) != 0) return Fail(err::kFileNotFound);
        return true;
    }
    bool GetAttributes(const std::wstring&, u8*) override { return Fail(err::kNotSupported); }
    bool SetAttributes(const std::wstring&, u8) override { return Fail(err::kNotSupported); }
    Handle CreateFile(const std::wstring&, u32, u32, u32, u32) override { return InvalidHandle(); }
    bool DeviceIoControl(Handle, u32, const void*, u32, void*, u32, u32*) override { return false; }
    u32 GetLogicalDriveStrings(u32, wchar_t*) override { return 0; }
    u32 GetDriveType(const std::wstring&) override { return kDriveFixed; }
    bool GetFileVersion(const std::wstring&, u32*, u32*) override {
        return Fail(err::kResourceTypeNotFound);
    }
    std::unique_ptr<IFileStream> OpenStream(const std::wstring& path, const char* mode) override {
        const bool text = !CrtStream::IsBinaryMode(mode);
        if (mode[0] == 'r') {
            std::string data;
            if (const u32 code = files_.ReadFile(path, &data)) {
                Fail(code);
                return nullptr;
            }
            return CrtStream::ForReading(data, text);
        }
        if (const u32 code = files_.WriteFile(path, "")) {
            Fail(code);
            return nullptr;
        }
        return CrtStream::ForWriting(
            [this, path](const std::string& bytes) { return files_.WriteFile(path, bytes) == 0; },
            text);
    }

  private:
    bool Fail(u32 code) {
        errors_.SetLastError(code);
        return false;
    }
    FolderFileAccess& files_;
    IErrors& errors_;
};

// Started programs: only the registry editor exists, run in-process.
class EditorProcesses : public IProcesses {
  public:
    EditorProcesses(PosixRegistry& registry, FileAccess& files)
        : registry_(registry), files_(files) {}
    bool ShellExecuteEx(ShellExecuteInfo& info) override {
        started.push_back(info.file + L" " + info.parameters);
        std::wstring file = info.file;
        for (auto& c : file) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        if (file != L"c:\\windows\\regedit.exe") return false;
        exitCode = RunRegeditTool(registry_, files_, info.parameters, &reason);
        info.process = this;
        return true;
    }
    u32 WaitForSingleObject(Handle, u32) override { return kWaitObject0; }
    bool GetExitCodeProcess(Handle, u32* code) override {
        *code = exitCode;
        return true;
    }
    std::vector<std::wstring> started;
    u32 exitCode = 0;
    std::string reason;

  private:
    PosixRegistry& registry_;
    FileAccess& files_;
};

class AdjustOnLinuxTest : public HiveTest {
  protected:
    void SetUp() override {
        HiveTest::SetUp();
        ASSERT_EQ(std::system(("mkdir -p '" + root + "/c/Tools'").c_str()), 0);
        WriteHostFile(root + "/c/Tools/Dravmont.bin",
                      ReadHostFile(MORLIT_SOURCE_DIR "/templates/Dravmont.bin"));
        files.Map(L'C', root + "/c");
        volumeFiles = std::make_unique<VolumeFiles>(files, errors);
        editor = std::make_unique<EditorProcesses>(*registry, files);
        host = sh.host;
        host.registry = registry.get();
        host.files = volumeFiles.get();
        host.processes = editor.get();
        dlg = std::make_unique<CMorlitDlg>(host);
    }
    int Adjust() { return dlg->AdjustTargetRegistry(L'E', L"E:\\Windows"); }
    bool Exists(const std::wstring& path) {
        NodeInfo info;
        return files.Stat(path, &info) == 0;
    }
    std::string BackupPath() const { return HivePath() + "_back"; }

    morlit::test::ScriptHost sh;
    Host host;
    std::unique_ptr<VolumeFiles> volumeFiles;
    std::unique_ptr<EditorProcesses> editor;
    std::unique_ptr<CMorlitDlg> dlg;
};

const char* const kIdeDevices[] = {
    "primary_ide_channel",
    "secondary_ide_channel",
    "*pnp0600",
    "*azt0502",
    "pci#cc_0101",
    "pci#ven_8086&dev_7111",
    "pci#ven_8086&dev_7010",
    "pci#ven_8086&dev_7199",
    "pci#ven_8086&dev_1222",
    "pci#ven_8086&dev_1230",
    "pci#ven_8086&dev_2411",
    "pci#ven_8086&dev_2421",
};

TEST_F(AdjustOnLinuxTest, TemplateLandsInTheDefaultControlSetOnly) {
    tools::SystemHiveSpec spec;
    spec.defaultControlSet = 2;
    spec.currentControlSet = 1;
    spec.controlSets = {1, 2, 3};
    const std::string original = MakeHive(spec);
    const long keysBefore = tools::CountKeys(HivePath());

    ASSERT_EQ(Adjust(), 1) << editor->reason;
    EXPECT_TRUE(sh.messages.empty());
    ASSERT_EQ(editor->started.size(), 1u);
    EXPECT_EQ(editor->started[0], L"C:\\Windows\\Regedit.exe /s \"C:\\Tools\\Morlit.reg\"");
    EXPECT_FALSE(Exists(L"C:\\Tools\\Morlit.reg"));
    // The run controller unloads; the hive was already written back.
    EXPECT_EQ(registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC"), 0u);
    EXPECT_EQ(TempFiles(), 0);

    EXPECT_EQ(ReadHostFile(BackupPath()), original);
    HiveReader hive(HivePath());
    ASSERT_TRUE(hive.ok());
    const std::string cdd = "ControlSet002\\Control\\CriticalDeviceDatabase\\";
    for (const char* device : kIdeDevices) {
        SCOPED_TRACE(device);
        const std::string service = hive.Value(cdd + device, "Service").data;
        EXPECT_TRUE(service == Utf16(L"atapi") || service == Utf16(L"intelide") ||
                    service == Utf16(L"pciide"));
        EXPECT_EQ(hive.Value(cdd + device, "ClassGUID").data,
                  Utf16(L"{4D36E96A-E325-11CE-BFC1-08002BE10318}"));
    }
    EXPECT_EQ(hive.Value(cdd + "pci#ven_8086&dev_7111", "Service").data, Utf16(L"intelide"));
    EXPECT_EQ(hive.Value(cdd + "gendisk", "Service").data, Utf16(L"disk"));
    const std::string services = "ControlSet002\\Services\\";
    for (const char* name : {"atapi", "IntelIde", "PCIIde"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(hive.Value(services + name, "Start").data, Dword(0));
        EXPECT_EQ(hive.Value(services + name, "Type").data, Dword(1));
        EXPECT_EQ(hive.Value(services + name, "ErrorControl").data, Dword(1));
        const HiveValue image = hive.Value(services + name, "ImagePath");
        EXPECT_EQ(image.type, kRegExpandSz);
        std::wstring file = L"system32\\DRIVERS\\";
        for (const char* p = name; *p; ++p) file += static_cast<wchar_t>(std::towlower(*p));
        EXPECT_EQ(image.data, Utf16(file + L".sys"));
    }
    EXPECT_EQ(hive.Value(services + "atapi", "Group").data, Utf16(L"SCSI miniport"));
    EXPECT_EQ(hive.Value(services + "PCIIde", "Group").data, Utf16(L"System Bus Extender"));
    EXPECT_EQ(hive.Value(services + "intelppm", "Start").data, Dword(4));
    // What the target had stays.
    EXPECT_EQ(hive.Value(services + "atapi", "DisplayName").data, Utf16(L"atapi driver"));

    // Nowhere else: the other control sets are as they were, and the only new
    // keys are the 13 devices and the two services the target lacked.
    for (const char* set : {"ControlSet001", "ControlSet003"}) {
        SCOPED_TRACE(set);
        EXPECT_EQ(hive.Value(std::string(set) + "\\Services\\atapi", "Start").data, Dword(3));
        EXPECT_EQ(hive.Value(std::string(set) + "\\Services\\intelppm", "Start").data, Dword(1));
        EXPECT_FALSE(hive.HasKey(std::string(set) + "\\Services\\IntelIde"));
        EXPECT_FALSE(hive.HasKey(std::string(set) + "\\Control\\CriticalDeviceDatabase\\gendisk"));
    }
    EXPECT_EQ(tools::CountKeys(HivePath()), keysBefore + 15);

    // hivex's shell reads the result.
    std::string out;
    EXPECT_EQ(RunCommand("printf 'cd \\\\ControlSet002\\\\Services\\\\IntelIde\\nlsval\\n' | "
                         "hivexsh '" +
                             HivePath() + "' 2>&1",
                         &out),
              0)
        << out;
    EXPECT_NE(out.find("\"Start\"=dword:00000000"), std::string::npos) << out;

    // A second adjustment keeps the first backup.
    ASSERT_EQ(Adjust(), 1) << editor->reason;
    registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC");
    EXPECT_EQ(ReadHostFile(BackupPath()), original);
    EXPECT_EQ(tools::CountKeys(HivePath()), keysBefore + 15);
}

TEST_F(AdjustOnLinuxTest, UnusableHivesFailWithoutTouchingTheImage) {
    // Default as a one-character string: refused, nothing imported.
    tools::SystemHiveSpec spec;
    spec.rawDefault = true;
    spec.rawDefaultType = kRegSz;
    spec.rawDefaultData = std::string("2\0\0\0", 4);
    spec.controlSets = {1, 2};
    const std::string original = MakeHive(spec);
    EXPECT_EQ(Adjust(), 0);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, FormatWithCode(FindStringTableText(140), 2));
    EXPECT_TRUE(editor->started.empty());
    registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC");
    EXPECT_EQ(ReadHostFile(HivePath()), original);

    // Not a hive at all.
    WriteHostFile(HivePath(), std::string(10000, 'z'));
    ::unlink(BackupPath().c_str());
    sh.messages.clear();
    EXPECT_EQ(Adjust(), 0);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, FormatWithCode(FindStringTableText(140), 1));
    EXPECT_EQ(ReadHostFile(HivePath()), std::string(10000, 'z'));
    // The backup this run made of it is gone again.
    EXPECT_FALSE(Exists(L"E:\\Windows\\system32\\config\\system_back"));

    // Dirty, and its only log is not one: refused, hive and log untouched.
    std::string dirty = original;
    // A write begun and never finished.
    hive::Put32(dirty, hive::kPrimarySequenceAt, hive::Get32(dirty, hive::kPrimarySequenceAt) + 1);
    hive::StoreChecksum(dirty);
    WriteHostFile(HivePath(), dirty);
    const std::string log = HivePath() + ".LOG";
    WriteHostFile(log, std::string(4096, 'q'));
    sh.messages.clear();
    EXPECT_EQ(Adjust(), 0);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, FormatWithCode(FindStringTableText(140), 1));
    EXPECT_EQ(ReadHostFile(HivePath()), dirty);
    EXPECT_EQ(ReadHostFile(log), std::string(4096, 'q'));
    EXPECT_FALSE(Exists(L"E:\\Windows\\system32\\config\\system_back"));
    EXPECT_EQ(TempFiles(), 0);
}

TEST_F(AdjustOnLinuxTest, ATemplateOutsideTheMountPointFailsWithCode4) {
    tools::SystemHiveSpec spec;
    spec.controlSets = {1};
    const std::string original = MakeHive(spec);
    WriteHostFile(root + "/c/Tools/Dravmont.bin",
                  "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\A]\r\n"
                  "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\atapi]\r\n"
                  "\"Start\"=dword:00000000\r\n");
    EXPECT_EQ(Adjust(), 0);
    ASSERT_EQ(sh.messages.size(), 1u);
    EXPECT_EQ(sh.messages[0].text, FormatWithCode(FindStringTableText(140), 4));
    EXPECT_NE(editor->reason.find("refused"), std::string::npos) << editor->reason;
    EXPECT_FALSE(Exists(L"C:\\Tools\\Morlit.reg"));
    registry->RegUnLoadKey(kHKeyLocalMachine, L"VirtualPC");
    EXPECT_EQ(ReadHostFile(HivePath()), original);
}

}  // namespace
}  // namespace morlit::posix::test
