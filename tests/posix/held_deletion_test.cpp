// A deletion the drive namespace holds back must look done to every caller
// and be carried out whenever the file is not made again with the same data.
#include <gtest/gtest.h>

#include <map>

#include "platform/constants.h"
#include "platform/posix/drive_namespace.h"

namespace morlit::posix::test {
namespace {

// Flat files in memory; counts the calls that would change a disk.
class MemoryVolume : public Volume {
  public:
    std::map<std::wstring, std::string> files;
    int changes = 0;
    u32 DriveType() const override { return kDriveFixed; }
    u32 Stat(const PathParts& p, NodeInfo* info) override {
        auto it = files.find(p.back());
        if (it == files.end()) return err::kFileNotFound;
        *info = NodeInfo();
        info->size = it->second.size();
        info->attributes = kFileAttributeArchive;
        return 0;
    }
    u32 ReadFile(const PathParts& p, std::string* data) override {
        auto it = files.find(p.back());
        if (it == files.end()) return err::kFileNotFound;
        *data = it->second;
        return 0;
    }
    u32 WriteFile(const PathParts& p, const std::string& data) override {
        ++changes;
        files[p.back()] = data;
        return 0;
    }
    u32 DeleteFile(const PathParts& p) override {
        if (!files.erase(p.back())) return err::kFileNotFound;
        ++changes;
        return 0;
    }
    u32 SetAttributes(const PathParts&, u32) override { return 0; }
    u32 SetUncompressed(const PathParts&) override { return 0; }
    bool SameAsNewFile(const PathParts& p) override { return files.count(p.back()) != 0; }
};

struct Namespace {
    DriveNamespace drives;
    MemoryVolume* d = nullptr;
    Namespace() {
        auto v = std::make_unique<MemoryVolume>();
        d = v.get();
        d->files[L"BOOT.INI"] = "old";
        drives.AddDrive(L'D', std::move(v));
    }
};

TEST(HeldDeletion, TheSameFileMadeAgainChangesNothingAndAnythingElseDeletesIt) {
    {
        // Gone for every probe, under any case; made again with its data:
        // nothing reaches the volume.
        Namespace n;
        ASSERT_EQ(n.drives.DeleteFile(L"D:\\BOOT.INI"), 0u);
        NodeInfo info;
        EXPECT_EQ(n.drives.Stat(L"D:\\boot.ini", &info), err::kFileNotFound);
        std::string data;
        EXPECT_EQ(n.drives.ReadFile(L"D:\\BOOT.INI", &data), err::kFileNotFound);
        EXPECT_EQ(n.drives.DeleteFile(L"D:\\BOOT.INI"), err::kFileNotFound);
        ASSERT_EQ(n.drives.WriteFile(L"D:\\BOOT.INI", ""), 0u);  // as fopen "wb" empties it
        EXPECT_EQ(n.drives.Stat(L"D:\\BOOT.INI", &info), 0u);
        EXPECT_EQ(info.size, 0u);
        ASSERT_EQ(n.drives.WriteFile(L"D:\\BOOT.INI", "old"), 0u);
        EXPECT_EQ(n.d->changes, 0);
        EXPECT_EQ(n.drives.ReadFile(L"D:\\BOOT.INI", &data), 0u);
        EXPECT_EQ(data, "old");
    }
    {
        // Other data: deleted, then written.
        Namespace n;
        n.drives.DeleteFile(L"D:\\BOOT.INI");
        ASSERT_EQ(n.drives.WriteFile(L"D:\\BOOT.INI", "new"), 0u);
        EXPECT_EQ(n.d->changes, 2);
        EXPECT_EQ(n.d->files[L"BOOT.INI"], "new");
    }
    {
        // Another name on the same volume carries the deletion out first; a
        // failed copy after it leaves no file.
        Namespace n;
        n.drives.DeleteFile(L"D:\\BOOT.INI");
        NodeInfo info;
        EXPECT_EQ(n.drives.Stat(L"D:\\OTHER", &info), err::kFileNotFound);
        EXPECT_EQ(n.d->files.count(L"BOOT.INI"), 0u);
    }
    {
        // Made again empty and left so: the volume has the empty file once
        // the drive goes.
        Namespace n;
        n.drives.DeleteFile(L"D:\\BOOT.INI");
        n.drives.WriteFile(L"D:\\BOOT.INI", "");
        std::unique_ptr<Volume> gone = n.drives.RemoveDrive(L'D');
        EXPECT_EQ(n.d->files[L"BOOT.INI"], "");
        EXPECT_EQ(n.drives.TakeDeferredFailure(), 0u);
    }
    {
        // Data already there is not written again.
        Namespace n;
        EXPECT_EQ(n.drives.WriteFile(L"D:\\BOOT.INI", "old"), 0u);
        EXPECT_EQ(n.d->changes, 0);
    }
}

}  // namespace
}  // namespace morlit::posix::test
