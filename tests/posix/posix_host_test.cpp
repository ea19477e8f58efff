// The Linux host on real images made by tools/make-sample-image.sh: attach,
// letters, the file services on NTFS, and the state the image is left in,
// checked with qemu-img and the ntfs-3g tools.
#include <signal.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/crt_stream.h"
#include "platform/posix/disk/vhd.h"
#include "platform/posix/disk/image_file.h"
#include "tests/posix/host_fixture.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit::posix::test {
namespace {

std::string NtfsInfo(const std::string& part, const std::string& file) {
    std::string out;
    Shell("ntfsinfo -F " + Quote(file) + " " + Quote(part), &out);
    return out;
}

std::string NtfsCat(const std::string& part, const std::string& file) {
    std::string out;
    Shell("ntfscat " + Quote(part) + " " + Quote(file), &out);
    return out;
}

// The security id and name spaces ntfsinfo shows for a file.
std::string Field(const std::string& info, const std::string& name) {
    std::string all;
    std::istringstream lines(info);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t at = line.find(name + ":");
        if (at != std::string::npos) {
            std::string value = line.substr(at + name.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            all += (all.empty() ? "" : "|") + value;
        }
    }
    return all;
}

void ExpectVolumeClean(const std::string& image, u64 start = 2048) {
    std::string log;
    // qemu-img cannot check VHDs; reading every sector of it in the
    // conversion below is the check.
    EXPECT_EQ(Shell("qemu-img info -f vpc " + Quote(image), &log), 0) << log;
    const std::string part = ExtractPartition(image, start);
    EXPECT_EQ(Shell("ntfsfix -n " + Quote(part), &log), 0) << log;
}

TEST(PosixHostAttach, Win7ImageGetsDriveDAndIsUnchangedAfterReading) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "w7.vhd", "--format dynamic");
    const std::string before = Slurp(image);
    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_NE(disk, nullptr) << t.Diagnostics();
    u32 size = 520;
    std::wstring physical;
    ASSERT_EQ(t.host.vdisk->GetVirtualDiskPhysicalPath(disk, &size, physical), 0u);
    EXPECT_EQ(physical, L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(size, (physical.size() + 1) * 2);
    EXPECT_EQ(t.Letter(disk), L'D');

    // Drive list in letter order, with their types.
    wchar_t drives[64] = {};
    const u32 n = t.host.files->GetLogicalDriveStrings(64, drives);
    EXPECT_EQ(std::wstring(drives, n), std::wstring(L"C:\\\0D:\\\0Z:\\\0", 12));
    EXPECT_EQ(t.host.files->GetLogicalDriveStrings(3, drives), 13u);
    EXPECT_EQ(t.host.files->GetDriveType(L"D:\\"), kDriveFixed);
    EXPECT_EQ(t.host.files->GetDriveType(L"E:\\"), kDriveNoRootDir);

    // The probe: one exact name, file or folder, without regard to case.
    auto find = t.host.files->NewFileFind();
    EXPECT_TRUE(find->FindFile(L"D:\\bootmgr"));
    EXPECT_TRUE(find->FindFile(L"d:\\BOOT\\bcd"));
    EXPECT_TRUE(find->FindFile(L"D:\\windows\\SYSTEM32\\Config"));
    EXPECT_TRUE(find->FindFile(L"D:\\PROGRA~1"));  // a short name finds its file
    EXPECT_FALSE(find->FindFile(L"D:\\WINNT"));
    EXPECT_EQ(t.host.errors->GetLastError(), err::kFileNotFound);
    EXPECT_FALSE(find->FindFile(L"D:\\Windows\\*"));
    EXPECT_FALSE(find->FindFile(L"D:\\nothing\\bootmgr"));

    u8 attributes = 0;
    ASSERT_TRUE(t.host.files->GetAttributes(L"D:\\bootmgr", &attributes));
    EXPECT_EQ(attributes, 0x27);
    ASSERT_TRUE(t.host.files->GetAttributes(L"D:\\Boot", &attributes));
    EXPECT_TRUE(attributes & kFileAttributeDirectory);

    auto stream = t.host.files->OpenStream(L"D:\\Boot\\BCD", "r");
    ASSERT_TRUE(stream);
    char line[64];
    ASSERT_TRUE(stream->Gets(line, sizeof line));
    EXPECT_STREQ(line, "regf (sample boot configuration)");

    t.Detach(disk);
    EXPECT_EQ(t.host.files->GetDriveType(L"D:\\"), kDriveNoRootDir);
    EXPECT_EQ(Slurp(image), before) << "a run that wrote nothing changed the image";
    EXPECT_TRUE(t.diagnostics.empty()) << t.Diagnostics();
}

TEST(PosixHostAttach, XpImageAtSector63AndSecondDiskGetsNextNumberAndLetter) {
    const std::string dir = TestDir();
    const std::string xp =
        MakeImage(dir, "xp.vhd", "--start 63 --tree " + Quote(TreeFile("xp.tree")));
    const std::string w2k = MakeImage(dir, "w2k.vhd", "--tree " + Quote(TreeFile("win2000.tree")));
    TestHost t;
    Handle a = t.Attach(xp);
    Handle b = t.Attach(w2k);
    ASSERT_TRUE(a && b) << t.Diagnostics();
    EXPECT_EQ(t.Letter(a), L'D');
    EXPECT_EQ(t.Letter(b), L'E');
    auto find = t.host.files->NewFileFind();
    EXPECT_TRUE(find->FindFile(L"D:\\Windows\\system32\\drivers\\intelide.sys"));
    EXPECT_TRUE(find->FindFile(L"E:\\winnt\\system32\\config\\SYSTEM"));
    EXPECT_TRUE(find->FindFile(L"D:\\Documents and Settings\\All Users"));
    t.Detach(a);
    // A freed letter and disk number are given out again.
    Handle c = t.Attach(xp);
    ASSERT_TRUE(c);
    EXPECT_EQ(t.Letter(c), L'D');
    t.Detach(c);
    t.Detach(b);
}

TEST(PosixHostAttach, CdDriveAddedFirstKeepsItsLetter) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "w7.vhd", "");
    TestHost t;
    class Cd : public SystemVolume {
        u32 DriveType() const override { return kDriveCdrom; }
    };
    ASSERT_TRUE(t.posix->drives().AddDrive(L'D', std::make_unique<Cd>()));
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk);
    EXPECT_EQ(t.Letter(disk), L'E');
    EXPECT_EQ(t.host.files->GetDriveType(L"D:\\"), kDriveCdrom);
    t.Detach(disk);
}

TEST(PosixHostFiles, WritesKeepNamesAndDescriptorsAndNewFilesLookLikeWindowsOnes) {
    const std::string dir = TestDir();
    const std::string image =
        MakeImage(dir, "xp.vhd", "--format dynamic --tree " + Quote(TreeFile("xp.tree")));
    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk);
    IFiles& files = *t.host.files;

    // In place: the system hive keeps its name and descriptor.
    ASSERT_TRUE(files.CopyFile(L"D:\\WINDOWS\\system32\\config\\system",
                               L"D:\\WINDOWS\\system32\\config\\system_back", true));
    EXPECT_FALSE(files.CopyFile(L"D:\\WINDOWS\\system32\\config\\system",
                                L"D:\\WINDOWS\\system32\\config\\SYSTEM_BACK", true));
    EXPECT_EQ(t.host.errors->GetLastError(), err::kFileExists);

    // Boot.ini: attributes cleared, deleted, written anew.
    ASSERT_TRUE(files.SetAttributes(L"D:\\boot.ini", kFileAttributeArchive));
    ASSERT_TRUE(files.DeleteFile(L"D:\\BOOT.INI"));
    EXPECT_FALSE(files.DeleteFile(L"D:\\boot.ini"));
    EXPECT_EQ(t.host.errors->GetLastError(), err::kFileNotFound);
    auto out = files.OpenStream(L"D:\\Boot.ini", "w");
    ASSERT_TRUE(out);
    ASSERT_TRUE(out->Puts("[boot loader]\ntimeout=30\n"));
    ASSERT_TRUE(out->Close());

    // Read-only files are neither replaced nor deleted.
    EXPECT_FALSE(files.DeleteFile(L"D:\\NTLDR"));
    EXPECT_EQ(t.host.errors->GetLastError(), err::kAccessDenied);
    EXPECT_FALSE(files.CopyFile(L"D:\\boot.ini", L"D:\\NTLDR", false));
    EXPECT_EQ(t.host.errors->GetLastError(), err::kAccessDenied);

    // The request to store a file uncompressed.
    Handle file = files.CreateFile(L"D:\\Boot.ini", kGenericRead | kGenericWrite,
                                   kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    ASSERT_NE(file, InvalidHandle());
    u16 format = kCompressionFormatNone;
    u32 returned = 1;
    EXPECT_TRUE(files.DeviceIoControl(file, kFsctlSetCompression, &format, sizeof format, nullptr,
                                      0, &returned));
    EXPECT_TRUE(t.host.system->CloseHandle(file));
    file = files.CreateFile(L"D:\\Boot.ini", kGenericRead, kFileShareRead, kOpenExisting, 0);
    EXPECT_FALSE(files.DeviceIoControl(file, kFsctlSetCompression, &format, sizeof format, nullptr,
                                       0, &returned));
    EXPECT_EQ(t.host.errors->GetLastError(), err::kAccessDenied);
    t.host.system->CloseHandle(file);
    EXPECT_EQ(files.CreateFile(L"D:\\missing", kGenericRead, 0, kOpenExisting, 0), InvalidHandle());

    t.Detach(disk);
    ExpectVolumeClean(image);

    const std::string part = ExtractPartition(image);
    EXPECT_EQ(NtfsCat(part, "/Boot.ini"), "[boot loader]\r\ntimeout=30\r\n");
    EXPECT_EQ(NtfsCat(part, "/WINDOWS/system32/config/system_back"), "regf (sample SYSTEM hive)");
    // A new 8.3 name is stored once, as Win32 and DOS; a long one gets a
    // short name; both inherit their folder's descriptor like their siblings.
    const std::string bootIni = NtfsInfo(part, "/Boot.ini");
    EXPECT_EQ(Field(bootIni, "Namespace"), "Win32 & DOS") << bootIni;
    EXPECT_EQ(Field(bootIni, "Security ID"), Field(NtfsInfo(part, "/NTDETECT.COM"), "Security ID"));
    const std::string back = NtfsInfo(part, "/WINDOWS/system32/config/system_back");
    EXPECT_NE(Field(back, "Namespace").find("DOS"), std::string::npos) << back;
    EXPECT_NE(Field(back, "Namespace").find("Win32"), std::string::npos) << back;
    EXPECT_EQ(Field(back, "Security ID"),
              Field(NtfsInfo(part, "/WINDOWS/system32/config/system"), "Security ID"));
    std::string listing;
    Shell("ntfsls -x -p /WINDOWS/system32/config " + Quote(part), &listing);
    EXPECT_NE(listing.find("SYSTEM~1"), std::string::npos) << listing;
}

TEST(PosixHostFiles, ReplacedFileKeepsItsShortNameAndSecurity) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "w7.vhd", "");
    // Read before the attach: qemu-img refuses an image a run holds.
    const std::string part0 = ExtractPartition(image);
    const std::string info0 = NtfsInfo(part0, "/Program Files");
    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk);
    ASSERT_EQ(
        t.posix->drives().WriteFile(L"D:\\Windows\\system32\\hal.dll", std::string(70000, 'h')),
        0u);
    ASSERT_EQ(t.posix->drives().WriteFile(L"D:\\Windows\\system32\\HAL.DLL", "short"), 0u);
    ASSERT_EQ(t.posix->drives().WriteFile(L"D:\\Program Files\\A long file name.txt", "x"), 0u);
    ASSERT_EQ(t.posix->drives().WriteFile(L"D:\\Program Files\\A long file name 2.txt", "y"), 0u);
    t.Detach(disk);
    ExpectVolumeClean(image);
    const std::string part = ExtractPartition(image);
    EXPECT_EQ(NtfsCat(part, "/Windows/system32/hal.dll"), "short");
    const std::string hal = NtfsInfo(part, "/Windows/system32/hal.dll");
    EXPECT_EQ(Field(hal, "Namespace"), "Win32 & DOS");
    std::string listing;
    Shell("ntfsls -x -p '/Program Files' " + Quote(part), &listing);
    EXPECT_NE(listing.find("ALONGF~1.TXT"), std::string::npos) << listing;
    EXPECT_NE(listing.find("ALONGF~2.TXT"), std::string::npos) << listing;
}

TEST(PosixHostFiles, CompressedFilesAreStoredUncompressedOnRequestAndRewritable) {
    const std::string dir = TestDir();
    const std::string image =
        MakeImage(dir, "c.vhd", "--compressed packed.bin --compressed rewritten.bin");
    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk);
    u8 attributes = 0;
    Handle file = t.host.files->CreateFile(L"D:\\packed.bin", kGenericRead | kGenericWrite,
                                           kFileShareRead | kFileShareWrite, kOpenExisting, 0);
    ASSERT_NE(file, InvalidHandle());
    u16 format = kCompressionFormatNone;
    u32 returned = 0;
    EXPECT_TRUE(t.host.files->DeviceIoControl(file, kFsctlSetCompression, &format, sizeof format,
                                              nullptr, 0, &returned));
    u16 compress = 1;  // COMPRESSION_FORMAT_DEFAULT is not offered
    EXPECT_FALSE(t.host.files->DeviceIoControl(file, kFsctlSetCompression, &compress,
                                               sizeof compress, nullptr, 0, &returned));
    EXPECT_FALSE(t.host.files->DeviceIoControl(file, 0x90000, &format, sizeof format, nullptr, 0,
                                               &returned));
    EXPECT_EQ(t.host.errors->GetLastError(), err::kInvalidFunction);
    t.host.system->CloseHandle(file);
    ASSERT_EQ(t.posix->drives().WriteFile(L"D:\\rewritten.bin", std::string(5000, 'r')), 0u);
    ASSERT_TRUE(t.host.files->GetAttributes(L"D:\\packed.bin", &attributes));
    t.Detach(disk);
    ExpectVolumeClean(image);
    const std::string part = ExtractPartition(image);
    EXPECT_EQ(NtfsCat(part, "/packed.bin"), std::string(200000, 'c'));
    EXPECT_EQ(NtfsCat(part, "/rewritten.bin"), std::string(5000, 'r'));
    const std::string info = NtfsInfo(part, "/packed.bin");
    // The standard information holds the attributes (the copy in the name
    // attribute is only refreshed on rename, by Windows as well).
    EXPECT_EQ(Field(info, "File attributes").rfind("ARCHIVE (0x00000020)", 0), 0u) << info;
    EXPECT_EQ(Field(info, "Compressed size"), "") << info;
}

TEST(PosixHostBadInput, EachRefusedImageIsLeftByteIdentical) {
    const std::string dir = TestDir();
    struct Case {
        std::string name;
        std::string options;
        std::string diagnostic;
    };
    const std::vector<Case> cases = {
        {"fat.vhd", "--no-fs --type 0c", "partition 1 (type 0x0C) holds no FAT volume"},
        {"linux.vhd", "--no-fs --type 83", "partition 1 (type 0x83) is neither NTFS nor FAT"},
        {"blank.vhd", "--no-fs", "partition 1 holds no NTFS volume"},
        {"dirty.vhd", "--dirty", "NTFS volume on partition 1 is marked dirty"},
        {"hiber.vhd", "--hibernated", "NTFS volume on partition 1 is hibernated"},
        {"unclean.vhd", "--log unclean",
         "NTFS volume on partition 1 was not shut down cleanly (it was in use); attach the image "
         "in Windows once"},
        {"newer.vhd", "--log newer",
         "NTFS volume on partition 1 was not shut down cleanly: its journal was left open by a "
         "newer Windows (8 or later) that shut down with fast startup"},
        {"chkdsk.vhd", "--log chkdsk",
         "NTFS volume on partition 1 was being checked by chkdsk, which did not finish"},
        {"fat16-dirty.vhd", "--fs fat16 --dirty",
         "FAT volume on partition 1 was not shut down cleanly"},
        {"fat32-dirty.vhd", "--fs fat32 --dirty",
         "FAT volume on partition 1 was not shut down cleanly"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string image = MakeImage(dir, c.name, c.options);
        const std::string before = Slurp(image);
        TestHost t;
        Handle disk = t.Attach(image);
        ASSERT_TRUE(disk);
        EXPECT_EQ(t.Letter(disk), 0);
        ASSERT_EQ(t.diagnostics.size(), 1u) << t.Diagnostics();
        EXPECT_NE(t.diagnostics[0].find(c.diagnostic), std::string::npos) << t.Diagnostics();
        t.Detach(disk);
        EXPECT_EQ(Slurp(image), before);
    }
    // The same restart pages saying "clean" mount: what is refused above is
    // the journal's state, not pages the check cannot read.
    TestHost t;
    Handle disk = t.Attach(MakeImage(dir, "clean-log.vhd", "--log clean"));
    ASSERT_TRUE(disk);
    EXPECT_NE(t.Letter(disk), 0);
    EXPECT_TRUE(t.diagnostics.empty()) << t.Diagnostics();
    t.Detach(disk);
}

// FAT and NTFS partitions, primary or logical, take letters in partition
// order, as on Windows, logical drives where their extended partition stands;
// another type takes none and says so. Boot.ini's loader counts every
// primary partition before the logical drives, so there a letter's partition
// number need not follow the letters. sfdisk lays the disks out, and a file
// written to E: is read back from E's partition by fsck.fat and mtype.
TEST(PosixHost, FatAndNtfsPartitionsTakeLettersInPartitionOrder) {
    struct Volume {
        const char* file;
        u32 start;
    };
    struct Layout {
        const char* name;
        const char* make;   // the volumes, made in files of their own
        const char* table;  // sfdisk's input
        std::vector<Volume> volumes;
        const char* other;  // the partition that takes no letter
        std::string arc;    // the loader's partition numbers of D:, E:, F:
    };
    const Layout layouts[] = {
        {"primary",
         "truncate -s 8M p1 p3 p4 && truncate -s 48M p2 && mkfs.fat -F 16 -s 1 p1 >/dev/null"
         " && mkntfs -F -q -Q p3 && mkfs.fat -F 32 -s 1 p2 >/dev/null",
         "start=2048, size=16384, type=e\\nstart=18432, size=98304, type=b\\n"
         "start=116736, size=16384, type=7\\nstart=133120, size=16384, type=83",
         {{"p1", 2048}, {"p2", 18432}, {"p3", 116736}},
         "partition 4 (type 0x83)",
         "123"},
        {"logical",
         "truncate -s 8M p1 p5 && truncate -s 48M p3 && mkntfs -F -q -Q p1"
         " && mkfs.fat -F 16 -s 1 p5 >/dev/null && mkfs.fat -F 32 -s 1 p3 >/dev/null",
         "start=2048, size=16384, type=7\\nstart=18432, size=40960, type=f\\n"
         "start=59392, size=98304, type=b\\nstart=20480, size=16384, type=e\\n"
         "start=38912, size=16384, type=83",
         {{"p1", 2048}, {"p5", 20480}, {"p3", 59392}},
         "partition 6 (type 0x83)",
         "132"},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const std::string dir = TestDir() + "/" + layout.name;
        const std::string image = dir + "/disk.vhd";
        std::string script = "mkdir -p " + Quote(dir) + " && cd " + Quote(dir) + " && " +
                             layout.make + " && truncate -s 80M disk.raw && printf 'label: dos\\n" +
                             layout.table + "\\n' | sfdisk -q disk.raw >/dev/null";
        for (const Volume& v : layout.volumes) {
            script += std::string(" && dd if=") + v.file +
                      " of=disk.raw bs=512 seek=" + std::to_string(v.start) +
                      " conv=notrunc status=none";
        }
        script +=
            " && qemu-img convert -q -f raw -O vpc -o subformat=fixed,force_size=on"
            " disk.raw disk.vhd";
        std::string log;
        ASSERT_EQ(Shell(script, &log), 0) << log;

        TestHost t;
        Handle disk = t.Attach(image);
        ASSERT_TRUE(disk);
        u8 letters[26] = {};
        ASSERT_EQ(t.host.letters->QueryLettersByDisk(1, letters), 1);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(letters), 3), "DEF");
        EXPECT_EQ(letters[3], 0);
        ASSERT_EQ(t.diagnostics.size(), 1u) << t.Diagnostics();
        EXPECT_NE(t.diagnostics[0].find(std::string(layout.other) + " is neither NTFS nor FAT"),
                  std::string::npos);
        EXPECT_EQ(t.host.files->GetDriveType(L"D:\\"), kDriveFixed);
        std::string arc;
        for (wchar_t letter : {L'D', L'e', L'F'}) {
            u32 number = 0;
            EXPECT_EQ(t.host.partitions->QueryArcPartitionNumber(1, letter, &number), 0u);
            arc += std::to_string(number);
        }
        EXPECT_EQ(arc, layout.arc);
        // Only the attached disk's volumes have a number there.
        u32 number = 0;
        EXPECT_EQ(t.host.partitions->QueryArcPartitionNumber(1, L'C', &number), err::kInvalidDrive);
        EXPECT_EQ(t.host.partitions->QueryArcPartitionNumber(2, L'D', &number),
                  err::kInvalidParameter);
        EXPECT_EQ(number, 0u);
        // Boot.ini's compression request fails on FAT as on Windows.
        ASSERT_EQ(t.posix->drives().WriteFile(L"E:\\Boot.ini", "[boot loader]\r\n"), 0u);
        EXPECT_EQ(t.posix->drives().SetUncompressed(L"E:\\Boot.ini"), err::kInvalidFunction);
        t.Detach(disk);

        const Volume& e = layout.volumes[1];
        std::string fsck;
        EXPECT_EQ(
            Shell("cd " + Quote(dir) + " && qemu-img convert -f vpc -O raw disk.vhd out.raw" +
                      " && dd if=out.raw of=" + e.file + " bs=512 skip=" + std::to_string(e.start) +
                      " count=$(($(stat -c %s " + e.file + ") / 512)) status=none && fsck.fat -n " +
                      e.file + " && MTOOLS_SKIP_CHECK=1 mtype -i " + e.file + " ::/Boot.ini",
                  &fsck),
            0)
            << fsck;
        EXPECT_NE(fsck.find("[boot loader]"), std::string::npos) << fsck;
    }
}

TEST(PosixHostBadInput, PartitionTablePastTheDiskMountsNothing) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "past.vhd", "");
    // Make partition 1 twice as long as the disk: the fixed image holds the
    // disk as it stands, so the table can be patched in place.
    std::string data = Slurp(image);
    const u32 sectors = 48 * 2048 * 2;
    for (int i = 0; i < 4; ++i) data[446 + 12 + i] = static_cast<char>((sectors >> (8 * i)) & 0xFF);
    std::ofstream(image, std::ios::binary | std::ios::trunc) << data;
    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk);
    EXPECT_EQ(t.Letter(disk), 0);
    EXPECT_NE(t.Diagnostics().find("partition 1 reaches past the end of the disk"),
              std::string::npos)
        << t.Diagnostics();
    t.Detach(disk);
    EXPECT_EQ(Slurp(image), data);
}

TEST(PosixHostBadInput, ImageInUseOrNotWritableOrMissingFailsToOpen) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "w7.vhd", "");
    TestHost first;
    Handle disk = first.Attach(image);
    ASSERT_TRUE(disk);
    TestHost second;
    u32 error = 0;
    EXPECT_EQ(second.Attach(image, &error), nullptr);
    EXPECT_EQ(error, err::kSharingViolation);
    EXPECT_EQ(second.host.errors->GetLastError(), err::kSharingViolation);
    EXPECT_EQ(second.diagnostics.size(), 1u);
    first.Detach(disk);

    ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
    EXPECT_EQ(second.Attach(image, &error), nullptr);
    EXPECT_EQ(error, err::kAccessDenied);
    ::chmod(image.c_str(), 0644);

    EXPECT_EQ(second.Attach(dir + "/none.vhd", &error), nullptr);
    EXPECT_EQ(error, err::kFileNotFound);
}

// The whole run on a real image, on the virtual clock: the texts as the
// terminal shows them.
std::string RunDialog(TestHost& t, const std::string& image) {
    CMorlitDlg dlg(t.host);
    dlg.Create(IDD_MORLIT_DIALOG);
    dlg.m_strVhdPath = HostPathToWindows(image);
    dlg.OnBnClickedOk();
    EXPECT_EQ(dlg.m_hVirtualDisk, nullptr);
    const wchar_t* done = FindStringTableText(IDS_ADJUST_DONE);
    t.posix->FinishRun(done && t.posix->terminal().LastMessage() == done);
    return t.out.str();
}

TEST(PosixHostRun, StartOnAnImageWhoseHiveIsNoHiveEndsWithMessage140) {
    // The plain sample tree holds a placeholder where the SYSTEM hive goes:
    // the run finds the boot manager, backs the "hive" up, fails to load it,
    // says why on standard error, deletes the backup it made, and the image
    // is put back with everything else.
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "w7.vhd", "--format dynamic");
    const std::string before = Slurp(image);
    TestHost t;
    const std::string out = RunDialog(t, image);
    EXPECT_EQ(out,
              "処理を開始します...\nVHDをマウントしています...\n"
              "マウントしたドライブを検索しています...\n対象となるOSを調整しています...\n"
              "対象となるOSのレジストリが読み込めませんでした。(1)\n終了処理をしています...\n"
              "エラーが発生したため、\nVHDファイルの調整が完了できませんでした。\n");
    EXPECT_EQ(t.clock.pauses, (std::vector<u32>{1000, 1000, 3000, 1000, 1000, 1000}));
    EXPECT_EQ(t.posix->handles().Count(), 0u);
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));
    ASSERT_EQ(t.diagnostics.size(), 2u) << t.Diagnostics();
    EXPECT_NE(t.diagnostics[0].find("too short for a hive"), std::string::npos) << t.diagnostics[0];
    EXPECT_EQ(t.diagnostics.back(), image + " was put back as it was before the run");
}

TEST(PosixHostRun, FailuresShowTheirMessageOnceAndLeaveTheImage) {
    const std::string dir = TestDir();
    const std::string dirty = MakeImage(dir, "dirty.vhd", "--dirty");
    const std::string before = Slurp(dirty);
    TestHost t;
    std::string out = RunDialog(t, dirty);
    EXPECT_NE(out.find("マウントしたドライブレターが取得できませんでした。\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("VHDファイルの調整が完了できませんでした。"), std::string::npos);
    EXPECT_EQ(t.diagnostics.size(), 1u);
    EXPECT_EQ(Slurp(dirty), before);

    std::string data = before;
    data[data.size() - 512 + 64] ^= 1;  // the footer's checksum
    std::ofstream(dirty, std::ios::binary | std::ios::trunc) << data;
    TestHost u;
    out = RunDialog(u, dirty);
    EXPECT_NE(out.find("VHDファイルのオープンに失敗しました。(1392)\n"), std::string::npos) << out;
    EXPECT_EQ(Slurp(dirty), data);
}

// The end of a run decides: a disk still open (its detach failed) is put
// back even after the run's success message; a detached one that failed is
// put back too; only a detached disk of a successful run is kept.
TEST(PosixHostDurability, TheEndOfARunKeepsOnlyADetachedDiskOfASuccessfulRun) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "w7.vhd", "");
    const std::string before = Slurp(image);
    struct Case {
        bool detach, adjusted, kept;
    };
    for (const Case c :
         {Case{false, true, false}, Case{true, false, false}, Case{true, true, true}}) {
        SCOPED_TRACE(std::string(c.detach ? "detached" : "still open") +
                     (c.adjusted ? ", adjusted" : ", failed"));
        TestHost t;
        Handle disk = t.Attach(image);
        ASSERT_TRUE(disk);
        ASSERT_EQ(t.posix->drives().WriteFile(L"D:\\new.txt", "new"), 0u);
        if (c.detach) {
            ASSERT_EQ(t.host.vdisk->DetachVirtualDisk(disk, 0, 0), 0u);
            ASSERT_TRUE(t.host.system->CloseHandle(disk));
        }
        const PosixVirtualDisk::RunEnd end = t.posix->FinishRun(c.adjusted);
        EXPECT_EQ(end.committed, c.kept);
        EXPECT_EQ(end.rolledBack, !c.kept);
        EXPECT_FALSE(end.failed);
        EXPECT_FALSE(FileExists(image + "-journal"));
        EXPECT_EQ(Slurp(image) == before, !c.kept);
        // The handle of a disk left open no longer reaches the image.
        if (!c.detach) {
            EXPECT_NE(t.host.vdisk->AttachVirtualDisk(disk, 0, 0), 0u);
        }
    }
}

int FullFromNow(const IoEvent& event) {
    return event.step == IoStep::kImageWrite || event.step == IoStep::kJournalWrite ? ENOSPC : 0;
}

// A write that failed on a full file system, and that the caller passed
// over, still fails the detach - with the full disk named - so the run never
// ends as adjusted for an image that does not hold its changes; the image is
// put back as it was.
TEST(PosixHostDurability, AFullFileSystemFailsTheDetachAndIsNamed) {
    const std::string dir = TestDir();
    const std::string image = MakeImage(dir, "w7.vhd", "");
    const std::string before = Slurp(image);
    TestHost t;
    Handle disk = t.Attach(image);
    ASSERT_TRUE(disk);
    SetIoHook(FullFromNow);
    EXPECT_NE(t.posix->drives().WriteFile(L"D:\\new.txt", std::string(100000, 'n')), 0u);
    SetIoHook(nullptr);
    EXPECT_EQ(t.host.vdisk->DetachVirtualDisk(disk, 0, 0), err::kDiskFull);
    EXPECT_EQ(t.host.errors->GetLastError(), err::kDiskFull);
    EXPECT_NE(t.Diagnostics().find("the image was detached, but writing it out failed: the file "
                                   "system holding " +
                                   image + " is full"),
              std::string::npos)
        << t.Diagnostics();
    const PosixVirtualDisk::RunEnd end = t.posix->FinishRun(true);
    EXPECT_FALSE(end.committed);
    EXPECT_FALSE(end.failed);
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));
}

// The next read of the file open at g_failing_fd fails once with EIO.
int g_failing_fd = -1;
bool g_read_failed = false;
int FailOneReadOfFile(const IoEvent& event) {
    if (event.step != IoStep::kImageRead || event.fd != g_failing_fd || g_read_failed) return 0;
    g_read_failed = true;
    return EIO;
}

// Opens images as the host does, and aims g_failing_fd at the bottom of a
// differencing image's chain.
std::unique_ptr<BlockDevice> OpenAimingAtTheBase(const std::string& path, bool writable, u32* error,
                                                 std::string* reason) {
    std::unique_ptr<VhdImage> vhd = VhdImage::Open(path, writable, error, reason);
    if (vhd) {
        const VhdImage* below = vhd.get();
        while (below->Parent()) below = below->Parent();
        g_failing_fd = below->File()->fd();
    }
    return vhd;
}

// A differencing image reads what it does not hold through its parent, and
// that through its own. A read of the base that fails during the run,
// whatever the volume code makes of it, fails the detach with the base named;
// even a caller that then ends the run as adjusted gets no commit, and the
// child is put back byte for byte - for a parent and a grandparent alike.
TEST(PosixHostDurability, AFailedReadOfAParentFailsTheDetachAndIsNamed) {
    const std::string dir = TestDir();
    const std::string base =
        MakeImage(dir, "base.vhd", "--format dynamic --tree " + Quote(TreeFile("xp.tree")));
    const std::string tool =
        "python3 " + Quote(std::string(MORLIT_SOURCE_DIR) + "/tools/vhdtool.py");
    const std::string middle = dir + "/middle.vhd", child = dir + "/child.vhd",
                      grandchild = dir + "/grandchild.vhd";
    ASSERT_EQ(Shell(tool + " diff " + Quote(base) + " " + Quote(child)), 0);
    ASSERT_EQ(Shell(tool + " diff " + Quote(base) + " " + Quote(middle)), 0);
    ASSERT_EQ(Shell(tool + " diff " + Quote(middle) + " " + Quote(grandchild)), 0);
    const std::string base_bytes = Slurp(base), middle_bytes = Slurp(middle);
    for (const std::string& image : {child, grandchild}) {
        SCOPED_TRACE(image);
        const std::string before = Slurp(image);
        TestHost t("", OpenAimingAtTheBase);
        Handle disk = t.Attach(image);
        ASSERT_TRUE(disk);
        EXPECT_EQ(t.posix->drives().WriteFile(L"D:\\new.txt", "new"), 0u);
        g_read_failed = false;
        SetIoHook(FailOneReadOfFile);
        std::string data;
        (void)t.posix->drives().ReadFile(L"D:\\WINDOWS\\system32\\config\\system", &data);
        SetIoHook(nullptr);
        ASSERT_TRUE(g_read_failed) << "the read never reached the base";
        EXPECT_NE(t.host.vdisk->DetachVirtualDisk(disk, 0, 0), 0u);
        const std::string named = "a read of \"" + base + "\", which \"" + image + "\"";
        EXPECT_NE(t.Diagnostics().find(named), std::string::npos) << t.Diagnostics();
        EXPECT_NE(t.Diagnostics().find("(error 30: Input/output error); the run's changes cannot "
                                       "rest on it and are not kept"),
                  std::string::npos)
            << t.Diagnostics();
        EXPECT_TRUE(t.host.system->CloseHandle(disk));
        const PosixVirtualDisk::RunEnd end = t.posix->FinishRun(true);
        EXPECT_FALSE(end.committed);
        EXPECT_TRUE(end.rolledBack);
        EXPECT_NE(t.Diagnostics().find("could not be made final: " + named), std::string::npos)
            << t.Diagnostics();
        EXPECT_TRUE(Slurp(image) == before);
        EXPECT_FALSE(FileExists(image + "-journal"));
    }
    EXPECT_TRUE(Slurp(base) == base_bytes);
    EXPECT_TRUE(Slurp(middle) == middle_bytes);
    g_failing_fd = -1;
}

// Killed with changes on the image and its journal beside it: the next open
// puts the image back byte for byte, and the volume is clean again.
TEST(PosixHostDurability, KilledAfterItsWritesTheImageIsPutBackAtTheNextOpen) {
    const std::string dir = TestDir();
    const std::string image =
        MakeImage(dir, "xp.vhd", "--format dynamic --tree " + Quote(TreeFile("xp.tree")));
    const std::string before = Slurp(image);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TestHost t;
        Handle disk = t.Attach(image);
        u32 ok = disk && t.Letter(disk) == L'D' &&
                 t.host.files->CopyFile(L"D:\\WINDOWS\\system32\\config\\system",
                                        L"D:\\WINDOWS\\system32\\config\\system_back", true) &&
                 t.posix->drives().WriteFile(L"D:\\WINDOWS\\system32\\hal.dll",
                                             std::string(300000, 'H')) == 0;
        const char byte = ok ? 'y' : 'n';
        (void)!::write(ready[1], &byte, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    EXPECT_EQ(byte, 'y');
    EXPECT_FALSE(Slurp(image) == before);
    ASSERT_TRUE(FileExists(image + "-journal"));
    // A reader cannot put it back and says so.
    u32 error = 0;
    std::string reason;
    EXPECT_FALSE(VhdImage::Open(image, false, &error, &reason));
    EXPECT_EQ(error, err::kSharingViolation);
    EXPECT_FALSE(Slurp(image) == before);
    std::vector<std::string> notes;
    SetImageNoteSink([&](const std::string& line) { notes.push_back(line); });
    EXPECT_TRUE(VhdImage::Open(image, true, &error, &reason)) << reason;
    SetImageNoteSink(nullptr);
    EXPECT_TRUE(Slurp(image) == before);
    EXPECT_FALSE(FileExists(image + "-journal"));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("was put back"), std::string::npos) << notes[0];
    ExpectVolumeClean(image);
}

}  // namespace
}  // namespace morlit::posix::test
