// Fills an NTFS partition file with a file tree, through the host's own NTFS
// layer, so sample images need no mounting. Used by make-sample-image.sh.
//
//   mkimage populate PARTITION TREE...   apply tree descriptions in order
//   mkimage mark-dirty PARTITION         set the volume's dirty flag
//   mkimage hibernate PARTITION          leave a hibernation file on it
//   mkimage log-restart PARTITION clean|unclean|newer|chkdsk
//                                        restart pages in $LogFile as Windows
//                                        XP leaves them after a clean
//                                        shutdown, or after a crash
//   mkimage compressed PARTITION NAME SIZE
//                                        a compressed file of SIZE bytes in
//                                        the root, in a compressed folder
//
// A tree description has one entry per line ('#' starts a comment; paths
// use backslashes and are relative to the volume's root):
//   dir PATH              a folder, with its missing parents ("a b" for
//                         a path holding spaces)
//   file PATH [TEXT]      a file holding TEXT (\n, \r, \t and \\ escapes)
//   copy PATH HOSTFILE    a file holding a host file's bytes (relative
//                         host paths start at the description's folder)
//   attr PATH FLAGS       attributes: any of readonly,hidden,system,archive
//   include TREE          another description, relative to this one
#include <sys/stat.h>  // before libntfs-3g, whose headers need its time types
#include <time.h>

#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/mst.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

#include "platform/constants.h"
#include "platform/posix/fs/file_access.h"
#include "platform/posix/fs/ntfs_volume.h"
#include "platform/posix/disk/raw_image.h"

using namespace morlit;
using namespace morlit::posix;

namespace {

PathParts Parts(const std::string& path) {
    PathParts parts;
    std::string part;
    std::istringstream in(path);
    while (std::getline(in, part, '\\')) {
        if (!part.empty()) parts.push_back(FromUtf8(part));
    }
    return parts;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char c = text[++i];
        out.push_back(c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c);
    }
    return out;
}

// "verb path rest", where a path holding spaces is written in double quotes.
bool SplitEntry(const std::string& line, std::string* verb, std::string* path, std::string* rest) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') return false;
    size_t end = line.find_first_of(" \t", i);
    *verb = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
    i = end == std::string::npos ? line.size() : line.find_first_not_of(" \t", end);
    if (i == std::string::npos) i = line.size();
    if (i < line.size() && line[i] == '"') {
        end = line.find('"', i + 1);
        if (end == std::string::npos) end = line.size();
        *path = line.substr(i + 1, end - i - 1);
        end = end < line.size() ? end + 1 : end;
    } else {
        end = line.find_first_of(" \t", i);
        if (end == std::string::npos) end = line.size();
        *path = line.substr(i, end - i);
    }
    *rest = end < line.size() ? line.substr(end + 1) : std::string();
    return true;
}

bool MakeFolders(NtfsVolume& volume, const PathParts& path) {
    PathParts prefix;
    for (const std::wstring& part : path) {
        prefix.push_back(part);
        const u32 e = volume.CreateFolder(prefix);
        if (e && e != err::kAlreadyExists) return false;
    }
    return true;
}

std::string Folder(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : file.substr(0, slash);
}

bool ReadHost(const std::string& path, std::string* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *data = s.str();
    return true;
}

bool Apply(NtfsVolume& volume, const std::string& treeFile) {
    std::ifstream in(treeFile);
    if (!in) {
        std::cerr << "mkimage: cannot read " << treeFile << "\n";
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string verb;
        std::string path;
        std::string rest;
        if (!SplitEntry(line, &verb, &path, &rest)) continue;
        const std::string where = treeFile + ":" + std::to_string(number) + ": ";
        const PathParts parts = Parts(path);
        u32 e = 0;
        if (verb == "include") {
            if (!Apply(volume, path[0] == '/' ? path : Folder(treeFile) + "/" + path)) return false;
            continue;
        } else if (verb == "dir") {
            if (!MakeFolders(volume, parts)) e = err::kPathNotFound;
        } else if (verb == "file" || verb == "copy") {
            std::string data = Unescape(rest);
            if (verb == "copy") {
                const std::string host = rest[0] == '/' ? rest : Folder(treeFile) + "/" + rest;
                if (!ReadHost(host, &data)) {
                    std::cerr << where << "cannot read " << host << "\n";
                    return false;
                }
            }
            if (!MakeFolders(volume, PathParts(parts.begin(), parts.end() - 1)))
                e = err::kPathNotFound;
            else
                e = volume.WriteFile(parts, data);
        } else if (verb == "attr") {
            u32 flags = 0;
            std::istringstream names(rest);
            std::string name;
            while (std::getline(names, name, ',')) {
                if (name == "readonly") flags |= kFileAttributeReadOnly;
                if (name == "hidden") flags |= kFileAttributeHidden;
                if (name == "system") flags |= kFileAttributeSystem;
                if (name == "archive") flags |= kFileAttributeArchive;
            }
            e = volume.SetAttributes(parts, flags);
        } else {
            std::cerr << where << "unknown entry '" << verb << "'\n";
            return false;
        }
        if (e) {
            std::cerr << where << verb << " " << path << " failed with error " << e << "\n";
            return false;
        }
    }
    return true;
}

std::unique_ptr<NtfsVolume> Open(RawImage& image) {
    NtfsVolume::MountError error;
    std::string reason;
    auto volume = NtfsVolume::Mount(image, 0, image.Size(), &error, &reason);
    if (!volume) std::cerr << "mkimage: the volume " << reason << "\n";
    return volume;
}

void Put(std::string& page, size_t at, u64 value, int bytes) {
    for (int i = 0; i < bytes; ++i) page[at + i] = static_cast<char>(value >> (8 * i));
}

// The two restart pages at the start of $LogFile (offsets 0 and 4096), as
// Windows XP and later leave them: the log always open (client 0 in use),
// and the clean flag (0x0002 in the restart area's flags) set only when the
// volume was shut down cleanly. Laid out from the published description of
// the journal: a 32-byte page header, the update sequence array, the
// restart area at 0x38 and its one client record 0x40 after it.
// "newer": version 2.0, as Windows 8 and later leave it open after a
// shutdown with fast startup; "chkdsk": the pages as chkdsk marks them
// ("CHKD") while it works on the volume.
bool WriteRestartPages(ntfs_volume* vol, const std::string& state) {
    const bool clean = state == "clean";
    ntfs_inode* ni = ntfs_inode_open(vol, FILE_LogFile);
    ntfs_attr* na = ni ? ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0) : nullptr;
    bool ok = na != nullptr;
    constexpr size_t kPage = 4096, kArea = 0x38, kClients = 0x40;
    for (size_t copy = 0; ok && copy < 2; ++copy) {
        std::string page(kPage, '\0');
        page.replace(0, 4, state == "chkdsk" ? "CHKD" : "RSTR");
        Put(page, 4, 0x20, 2);                       // update sequence array offset
        Put(page, 6, 1 + kPage / 512, 2);            // and count
        Put(page, 16, kPage, 4);                     // system page size
        Put(page, 20, kPage, 4);                     // log page size
        Put(page, 24, kArea, 2);                     // restart area offset
        Put(page, 26, state == "newer" ? 0 : 1, 2);  // minor version
        Put(page, 28, state == "newer" ? 2 : 1, 2);  // major version
        Put(page, kArea + 0, 0x100000, 8);           // current LSN
        Put(page, kArea + 8, 1, 2);                  // log clients
        Put(page, kArea + 10, 0xFFFF, 2);            // no free client
        Put(page, kArea + 12, 0, 2);                 // client 0 in use
        Put(page, kArea + 14, clean ? 2 : 0, 2);
        int bits = 0;
        for (u64 size = static_cast<u64>(na->data_size); size; size >>= 1) ++bits;
        Put(page, kArea + 16, 67 - bits, 4);  // sequence number bits
        Put(page, kArea + 20, kClients + 0xA0, 2);
        Put(page, kArea + 22, kClients, 2);  // client array offset
        Put(page, kArea + 24, static_cast<u64>(na->data_size), 8);
        Put(page, kArea + 36, 0x30, 2);  // log record header length
        Put(page, kArea + 38, 0x40, 2);  // log page data offset
        Put(page, kArea + 40, 1, 4);     // times the log was opened
        const size_t client = kArea + kClients;
        Put(page, client + 16, 0xFFFF, 2);  // no previous client
        Put(page, client + 18, 0xFFFF, 2);  // no next client
        Put(page, client + 28, 8, 4);       // name length in bytes
        for (size_t i = 0; i < 4; ++i) Put(page, client + 32 + 2 * i, "NTFS"[i], 2);
        ok = ntfs_mst_pre_write_fixup(reinterpret_cast<NTFS_RECORD*>(&page[0]), kPage) == 0 &&
             ntfs_attr_pwrite(na, static_cast<s64>(copy * kPage), kPage, page.data()) ==
                 static_cast<s64>(kPage);
    }
    if (na) ntfs_attr_close(na);
    if (ni) ntfs_inode_close(ni);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: mkimage populate PARTITION TREE... | mark-dirty PARTITION | "
                     "hibernate PARTITION | log-restart PARTITION clean|unclean|newer|chkdsk\n";
        return 2;
    }
    const std::string command = argv[1];
    const std::string partition = argv[2];
    if (command == "mark-dirty") {
        ntfs_volume* vol = ntfs_mount(partition.c_str(), NTFS_MNT_NONE);
        if (!vol || ntfs_volume_write_flags(vol, vol->flags | VOLUME_IS_DIRTY)) {
            std::cerr << "mkimage: cannot mark " << partition << " dirty\n";
            return 1;
        }
        return ntfs_umount(vol, FALSE) == 0 ? 0 : 1;
    }
    if (command == "log-restart" && argc == 4) {
        const std::string state = argv[3];
        ntfs_volume* vol = ntfs_mount(partition.c_str(), NTFS_MNT_NONE);
        const bool ok =
            vol &&
            (state == "clean" || state == "unclean" || state == "newer" || state == "chkdsk") &&
            WriteRestartPages(vol, state);
        if (!ok) std::cerr << "mkimage: cannot write restart pages to " << partition << "\n";
        return vol && ntfs_umount(vol, FALSE) == 0 && ok ? 0 : 1;
    }
    if (command == "compressed" && argc == 5) {
        // Our own layer never compresses, so the library makes this file.
        ntfs_volume* vol = ntfs_mount(partition.c_str(), NTFS_MNT_NONE);
        if (!vol) return 1;
        NVolSetCompression(vol);
        ntfs_inode* root = ntfs_inode_open(vol, FILE_root);
        u32 flags = 0x800;
        ntfschar* name = nullptr;
        const int length = ntfs_mbstoucs(argv[3], &name);
        std::string data(static_cast<size_t>(std::stoul(argv[4])), 'c');
        bool ok = root && !ntfs_set_ntfs_attrib(root, reinterpret_cast<const char*>(&flags),
                                                sizeof flags, 0);
        ntfs_inode* ni =
            ok ? ntfs_create(root, 0, name, static_cast<u8>(length), S_IFREG) : nullptr;
        ntfs_attr* na = ni ? ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0) : nullptr;
        ok = na && ntfs_attr_pwrite(na, 0, static_cast<s64>(data.size()), data.data()) ==
                       static_cast<s64>(data.size());
        if (na) ntfs_attr_close(na);
        if (ni) ntfs_inode_close(ni);
        if (root) {
            flags = 0;
            ntfs_set_ntfs_attrib(root, reinterpret_cast<const char*>(&flags), sizeof flags, 0);
            ntfs_inode_close(root);
        }
        free(name);
        return ntfs_umount(vol, FALSE) == 0 && ok ? 0 : 1;
    }
    u32 error = 0;
    std::string reason;
    auto image = RawImage::Open(partition, true, &error, &reason, ImageWrites::kDirect);
    if (!image) {
        std::cerr << "mkimage: " << reason << "\n";
        return 1;
    }
    auto volume = Open(*image);
    if (!volume) return 1;
    if (command == "hibernate") {
        std::string header(8192, '\0');
        header.replace(0, 4, "hibr");
        return volume->WriteFile({L"hiberfil.sys"}, header) == 0 ? 0 : 1;
    }
    if (command != "populate") {
        std::cerr << "mkimage: unknown command " << command << "\n";
        return 2;
    }
    for (int i = 3; i < argc; ++i) {
        if (!Apply(*volume, argv[i])) return 1;
    }
    return volume->Unmount() == 0 ? 0 : 1;
}
