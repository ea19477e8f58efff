#include "tools/hive/hive_builder.h"

#include <hivex.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace morlit::tools {

namespace {

void Put16(std::string& b, size_t at, u32 v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& b, size_t at, u32 v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
u32 Get32(const std::string& b, size_t at) {
    u32 v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<u8>(b[at + i]);
    return v;
}

// 2009-07-14 as a FILETIME: any plausible stamp will do.
constexpr u32 kStampLow = 0xD5E0A000;
constexpr u32 kStampHigh = 0x01CA0457;

// A self-relative security descriptor: owner Administrators, group SYSTEM,
// and a DACL giving Administrators and SYSTEM full control and Everyone read
// access, inherited by subkeys.
std::string SecurityDescriptor() {
    const std::string admins("\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00",
                             16);
    const std::string system("\x01\x01\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00", 12);
    const std::string everyone("\x01\x01\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00", 12);
    auto ace = [](u32 mask, const std::string& sid) {
        std::string a(8, '\0');
        a[0] = 0;     // ACCESS_ALLOWED_ACE_TYPE
        a[1] = 0x02;  // CONTAINER_INHERIT_ACE
        Put16(a, 2, static_cast<u32>(8 + sid.size()));
        Put32(a, 4, mask);
        return a + sid;
    };
    const std::string aces = ace(0xF003F, admins) + ace(0xF003F, system) + ace(0x20019, everyone);
    std::string acl(8, '\0');
    acl[0] = 2;  // ACL_REVISION
    Put16(acl, 2, static_cast<u32>(8 + aces.size()));
    Put16(acl, 4, 3);
    acl += aces;
    std::string sd(20, '\0');
    sd[0] = 1;                    // revision
    Put16(sd, 2, 0x8004);         // SE_SELF_RELATIVE | SE_DACL_PRESENT
    Put32(sd, 4, 20);             // owner
    Put32(sd, 8, 20 + 16);        // group
    Put32(sd, 12, 0);             // no SACL
    Put32(sd, 16, 20 + 16 + 12);  // DACL
    return sd + admins + system + acl;
}

}  // namespace

std::string EmptyHive(const std::string& rootName) {
    constexpr size_t kHeader = 0x1000;
    constexpr size_t kBin = 0x1000;
    std::string b(kHeader + kBin, '\0');

    // Base block.
    std::memcpy(&b[0], "regf", 4);
    Put32(b, 4, 1);  // primary sequence
    Put32(b, 8, 1);  // secondary sequence: equal, so the hive is consistent
    Put32(b, 12, kStampLow);
    Put32(b, 16, kStampHigh);
    Put32(b, 20, 1);     // major version
    Put32(b, 24, 3);     // minor version (Windows XP)
    Put32(b, 28, 0);     // primary file
    Put32(b, 32, 1);     // flat format
    Put32(b, 36, 0x20);  // root cell, relative to the first hbin
    Put32(b, 40, kBin);  // size of the hive bins
    Put32(b, 44, 1);     // clustering factor
    u32 sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) sum ^= Get32(b, i);
    Put32(b, 0x1FC, sum);

    // The one hive bin.
    const size_t bin = kHeader;
    std::memcpy(&b[bin], "hbin", 4);
    Put32(b, bin + 4, 0);     // offset of this bin
    Put32(b, bin + 8, kBin);  // size of this bin
    Put32(b, bin + 20, kStampLow);
    Put32(b, bin + 24, kStampHigh);

    // Root key cell at bin offset 0x20.
    const size_t nkCell = 0x20;
    const size_t nkSize = (4 + 0x4C + rootName.size() + 7) & ~static_cast<size_t>(7);
    const size_t skCell = nkCell + nkSize;
    const std::string sd = SecurityDescriptor();
    const size_t skSize = (4 + 0x14 + sd.size() + 7) & ~static_cast<size_t>(7);
    const size_t freeCell = skCell + skSize;

    size_t nk = bin + nkCell;
    Put32(b, nk, static_cast<u32>(-static_cast<int>(nkSize)));
    nk += 4;
    std::memcpy(&b[nk], "nk", 2);
    Put16(b, nk + 0x02, 0x2C);  // hive entry, no delete, compressed (ASCII) name
    Put32(b, nk + 0x04, kStampLow);
    Put32(b, nk + 0x08, kStampHigh);
    Put32(b, nk + 0x10, 0xFFFFFFFF);  // parent: none
    Put32(b, nk + 0x14, 0);           // subkeys
    Put32(b, nk + 0x18, 0);           // volatile subkeys
    Put32(b, nk + 0x1C, 0xFFFFFFFF);  // subkey list
    Put32(b, nk + 0x20, 0xFFFFFFFF);  // volatile subkey list
    Put32(b, nk + 0x24, 0);           // values
    Put32(b, nk + 0x28, 0xFFFFFFFF);  // value list
    Put32(b, nk + 0x2C, static_cast<u32>(skCell));
    Put32(b, nk + 0x30, 0xFFFFFFFF);  // class name
    Put16(b, nk + 0x48, static_cast<u32>(rootName.size()));
    std::memcpy(&b[nk + 0x4C], rootName.data(), rootName.size());

    size_t sk = bin + skCell;
    Put32(b, sk, static_cast<u32>(-static_cast<int>(skSize)));
    sk += 4;
    std::memcpy(&b[sk], "sk", 2);
    Put32(b, sk + 0x04, static_cast<u32>(skCell));  // the list of sk cells is just this one
    Put32(b, sk + 0x08, static_cast<u32>(skCell));
    Put32(b, sk + 0x0C, 1);  // reference count
    Put32(b, sk + 0x10, static_cast<u32>(sd.size()));
    std::memcpy(&b[sk + 0x14], sd.data(), sd.size());

    // The rest of the bin is one free cell.
    Put32(b, bin + freeCell, static_cast<u32>(kBin - freeCell));
    return b;
}

namespace {

std::string Utf16Z(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    out.append(2, '\0');
    return out;
}

std::string Dword(u32 v) {
    std::string d(4, '\0');
    Put32(d, 0, v);
    return d;
}

struct Value {
    std::string name;
    hive_type type;
    std::string data;
};

class Filler {
  public:
    explicit Filler(hive_h* h) : h_(h) {}

    hive_node_h Key(hive_node_h parent, const std::string& name) {
        hive_node_h child = hivex_node_get_child(h_, parent, name.c_str());
        if (child) return child;
        child = hivex_node_add_child(h_, parent, name.c_str());
        if (!child) ok_ = false;
        return child;
    }
    hive_node_h Path(hive_node_h from, const std::string& path) {
        size_t start = 0;
        hive_node_h node = from;
        while (ok_ && start <= path.size()) {
            const size_t slash = path.find('\\', start);
            node = Key(node, path.substr(start, slash == std::string::npos ? std::string::npos
                                                                           : slash - start));
            if (slash == std::string::npos) break;
            start = slash + 1;
        }
        return node;
    }
    void Values(hive_node_h node, const std::vector<Value>& values) {
        if (!ok_) return;
        std::vector<hive_set_value> set;
        for (const Value& v : values) {
            set.push_back(hive_set_value{const_cast<char*>(v.name.c_str()), v.type, v.data.size(),
                                         const_cast<char*>(v.data.data())});
        }
        if (hivex_node_set_values(h_, node, set.size(), set.data(), 0) != 0) ok_ = false;
    }
    bool ok() const { return ok_; }

  private:
    hive_h* h_;
    bool ok_ = true;
};

std::vector<Value> ServiceValues(const std::string& name, u32 start, u32 type,
                                 const std::string& group) {
    std::vector<Value> v = {
        {"Type", hive_t_REG_DWORD, Dword(type)},
        {"Start", hive_t_REG_DWORD, Dword(start)},
        {"ErrorControl", hive_t_REG_DWORD, Dword(1)},
        {"ImagePath", hive_t_REG_EXPAND_SZ, Utf16Z("system32\\DRIVERS\\" + name + ".sys")},
        {"DisplayName", hive_t_REG_SZ, Utf16Z(name + " driver")},
    };
    if (!group.empty()) v.push_back({"Group", hive_t_REG_SZ, Utf16Z(group)});
    return v;
}

}  // namespace

bool BuildSystemHive(const std::string& path, const SystemHiveSpec& spec, std::string* error) {
    const std::string empty = EmptyHive("CMI-CreateHive{2A7FB991-7BBE-4F9D-B91E-7CB51D4737F5}");
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(empty.data(), 1, empty.size(), f) != empty.size()) {
        if (f) std::fclose(f);
        if (error) *error = "cannot write " + path;
        return false;
    }
    std::fclose(f);

    hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (!h) {
        if (error) *error = std::string("hivex refuses the empty hive: ") + std::strerror(errno);
        return false;
    }
    Filler fill(h);
    const hive_node_h root = hivex_root(h);

    if (spec.withSelect) {
        const hive_node_h select = fill.Key(root, "Select");
        std::vector<Value> values = {
            {"Current", hive_t_REG_DWORD, Dword(spec.currentControlSet)},
            {"Failed", hive_t_REG_DWORD, Dword(0)},
            {"LastKnownGood", hive_t_REG_DWORD, Dword(spec.defaultControlSet)},
        };
        if (spec.rawDefault) {
            values.push_back(
                {"Default", static_cast<hive_type>(spec.rawDefaultType), spec.rawDefaultData});
        } else {
            values.push_back({"Default", hive_t_REG_DWORD, Dword(spec.defaultControlSet)});
        }
        fill.Values(select, values);
    }
    fill.Values(fill.Path(root, "Setup"),
                {{"SystemPartition", hive_t_REG_SZ, Utf16Z("\\Device\\HarddiskVolume1")}});

    u32 fillerLeft = spec.fillerKeys;
    for (size_t s = 0; s < spec.controlSets.size() && fill.ok(); ++s) {
        char name[32];
        std::snprintf(name, sizeof name, "ControlSet%03u", spec.controlSets[s]);
        const hive_node_h set = fill.Key(root, name);
        const hive_node_h control = fill.Key(set, "Control");
        fill.Values(control, {{"SystemBootDevice", hive_t_REG_SZ,
                               Utf16Z("multi(0)disk(0)rdisk(0)partition(1)")}});
        const hive_node_h cdd = fill.Key(control, "CriticalDeviceDatabase");
        // A target that already knows a SCSI controller, not the PIIX4.
        fill.Values(
            fill.Key(cdd, "pci#ven_1000&dev_0030"),
            {{"Service", hive_t_REG_SZ, Utf16Z("lsi_scsi")},
             {"ClassGUID", hive_t_REG_SZ, Utf16Z("{4D36E97B-E325-11CE-BFC1-08002BE10318}")}});
        const hive_node_h services = fill.Key(set, "Services");
        fill.Values(fill.Key(services, "atapi"), ServiceValues("atapi", 3, 1, "SCSI miniport"));
        fill.Values(fill.Key(services, "intelppm"), ServiceValues("intelppm", 1, 1, ""));
        fill.Values(fill.Key(services, "lsi_scsi"),
                    ServiceValues("lsi_scsi", 0, 1, "SCSI miniport"));

        // Filler: small groups keep hivex's sorted lists short (it copies a
        // list whenever a key is added to it, and never reuses the space).
        const u32 share = static_cast<u32>(fillerLeft / (spec.controlSets.size() - s));
        fillerLeft -= share;
        u32 made = 0;
        for (u32 group = 0; made < share && fill.ok(); ++group) {
            char gname[32];
            std::snprintf(gname, sizeof gname, "Group%03u", group);
            char bname[32];
            std::snprintf(bname, sizeof bname, "Bus%02u", group / 25);
            const hive_node_h g = fill.Key(fill.Path(set, std::string("Enum\\") + bname), gname);
            ++made;
            for (u32 k = 0; k < 19 && made < share && fill.ok(); ++k, ++made) {
                char kname[32];
                std::snprintf(kname, sizeof kname, "svc%03u_%02u", group, k);
                // DWORDs only: they live inside their value cells, which
                // keeps hivex's growth near a real hive's density.
                fill.Values(fill.Key(g, kname), {{"Type", hive_t_REG_DWORD, Dword(1)},
                                                 {"Start", hive_t_REG_DWORD, Dword(3)},
                                                 {"ErrorControl", hive_t_REG_DWORD, Dword(1)}});
            }
        }
    }

    const bool ok = fill.ok() && hivex_commit(h, nullptr, 0) == 0;
    if (!ok && error) *error = std::string("cannot fill the hive: ") + std::strerror(errno);
    hivex_close(h);
    return ok;
}

bool AddMarkedKey(const std::string& path, const std::string& keyPath, u32 marker,
                  std::string* error) {
    hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (!h) {
        if (error) *error = std::string("hivex refuses ") + path + ": " + std::strerror(errno);
        return false;
    }
    Filler fill(h);
    fill.Values(fill.Path(hivex_root(h), keyPath), {{"Marker", hive_t_REG_DWORD, Dword(marker)}});
    const bool ok = fill.ok() && hivex_commit(h, nullptr, 0) == 0;
    if (!ok && error) *error = std::string("cannot add ") + keyPath + ": " + std::strerror(errno);
    hivex_close(h);
    return ok;
}

long CountKeys(const std::string& path) {
    hive_h* h = hivex_open(path.c_str(), 0);
    if (!h) return -1;
    long count = 0;
    std::vector<hive_node_h> stack{hivex_root(h)};
    while (!stack.empty()) {
        const hive_node_h node = stack.back();
        stack.pop_back();
        ++count;
        hive_node_h* children = hivex_node_children(h, node);
        if (!children) {
            count = -1;
            break;
        }
        for (size_t i = 0; children[i]; ++i) stack.push_back(children[i]);
        std::free(children);
    }
    hivex_close(h);
    return count;
}

}  // namespace morlit::tools
