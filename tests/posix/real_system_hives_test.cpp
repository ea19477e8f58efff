// Every real SYSTEM hive we have, through what a run does with a target's
// hive on this host: the real PosixHost over a host folder (Z:), the run's
// own registry step (backup, load with log recovery, Select\Default, the
// import file written from the template, Regedit.exe /s, unload), read back
// with libhivex alone. A hive Windows would load must load here, gain exactly
// what the template sets in its default control set and nothing else, be left
// clean, and a second run must not touch it.
#include <hivex.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>

#include "platform/posix/disk/byte_order.h"
#include "platform/posix/posix_system.h"
#include "platform/posix/registry/hive_recovery.h"
#include "run/TargetDiscovery.h"
#include "tests/posix/host_fixture.h"
#include "tests/posix/realdata.h"
#include "ui/MorlitDlg.h"

namespace morlit::posix::test {
namespace {

// ---- a hive as hivex reads it: every key with every value -----------------

struct Value {
    std::string name;  // as stored
    u32 type = 0;
    std::string data;
};
struct Key {
    std::string path;                     // as stored, "" for the root
    std::map<std::string, Value> values;  // by lower-case name
};
// By lower-case path: Windows matches key and value names without case.
using Tree = std::map<std::string, Key>;

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The whole tree of `file`; false with the reason when hivex cannot open or
// read it.
bool ReadTree(const std::string& file, Tree* tree, std::string* why) {
    tree->clear();
    hive_h* h = hivex_open(file.c_str(), 0);
    if (!h) {
        *why = "hivex cannot open " + file;
        return false;
    }
    bool ok = true;
    std::vector<std::pair<hive_node_h, std::string>> pending{{hivex_root(h), ""}};
    while (ok && !pending.empty()) {
        const auto [node, path] = pending.back();
        pending.pop_back();
        Key& key = (*tree)[LowerAscii(path)];
        key.path = path;
        hive_value_h* values = hivex_node_values(h, node);
        if (!values) {
            *why = "cannot list the values of " + path;
            ok = false;
            break;
        }
        for (size_t i = 0; ok && values[i]; ++i) {
            char* name = hivex_value_key(h, values[i]);
            hive_type type;
            size_t length = 0;
            char* data = hivex_value_value(h, values[i], &type, &length);
            if (name && data) {
                Value v{name, static_cast<u32>(type), std::string(data, length)};
                key.values[LowerAscii(v.name)] = v;
            } else {
                *why = "cannot read a value of " + path;
                ok = false;
            }
            std::free(name);
            std::free(data);
        }
        std::free(values);
        hive_node_h* children = ok ? hivex_node_children(h, node) : nullptr;
        if (ok && !children) {
            *why = "cannot list the subkeys of " + path;
            ok = false;
        }
        for (size_t i = 0; ok && children[i]; ++i) {
            char* name = hivex_node_name(h, children[i]);
            if (!name) {
                *why = "cannot read a subkey name of " + path;
                ok = false;
                break;
            }
            pending.emplace_back(children[i], path.empty() ? name : path + "\\" + name);
            std::free(name);
        }
        std::free(children);
    }
    hivex_close(h);
    return ok;
}

// ---- what the template sets, read from it as regedit reads REGEDIT4 -------

struct TemplateValue {
    std::string key;  // below the mount point, control set named as in the template
    Value value;
};

std::string Widen(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

// The template is plain ASCII: strings become UTF-16LE with a terminator,
// hex(2) bytes are ANSI and are widened the same way.
std::vector<TemplateValue> TemplateValues() {
    std::istringstream in(Slurp(std::string(MORLIT_SOURCE_DIR) + "/templates/Dravmont.bin"));
    const std::string mount = "[HKEY_LOCAL_MACHINE\\VirtualPC\\";
    std::vector<TemplateValue> values;
    std::string line, key, joined;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        joined += line;
        if (!joined.empty() && joined.back() == '\\') {
            joined.pop_back();
            continue;
        }
        std::string text;
        text.swap(joined);
        while (!text.empty() && text[0] == ' ') text.erase(0, 1);
        if (text.compare(0, mount.size(), mount) == 0 && text.back() == ']') {
            key = text.substr(mount.size(), text.size() - mount.size() - 1);
            continue;
        }
        if (text.empty() || text[0] != '"') continue;
        const size_t eq = text.find("\"=");
        TemplateValue t;
        t.key = key;
        t.value.name = text.substr(1, eq - 1);
        const std::string data = text.substr(eq + 2);
        if (data[0] == '"') {
            t.value.type = kRegSz;
            t.value.data = Widen(data.substr(1, data.size() - 2) + '\0');
        } else if (data.compare(0, 6, "dword:") == 0) {
            t.value.type = kRegDword;
            const u32 n = static_cast<u32>(std::stoul(data.substr(6), nullptr, 16));
            t.value.data.resize(4);
            StoreLe32(reinterpret_cast<u8*>(&t.value.data[0]), n);
        } else if (data.compare(0, 7, "hex(2):") == 0) {
            t.value.type = kRegExpandSz;
            std::string bytes;
            std::istringstream hex(data.substr(7));
            std::string byte;
            while (std::getline(hex, byte, ','))
                bytes.push_back(static_cast<char>(std::stoul(byte, nullptr, 16)));
            t.value.data = Widen(bytes);
        } else {
            ADD_FAILURE() << "the template has a value this test does not read: " << text;
            continue;
        }
        values.push_back(t);
    }
    return values;
}

// `tree` as the template imported into control set `set` leaves it: missing
// keys made with the template's names, existing ones keep theirs.
Tree WithTemplate(Tree tree, u32 set) {
    char name[32];
    std::snprintf(name, sizeof name, "ControlSet%03u", set);
    for (TemplateValue t : TemplateValues()) {
        EXPECT_EQ(LowerAscii(t.key.substr(0, 13)), "controlset001") << t.key;
        t.key.replace(0, 13, name);
        std::string path;
        size_t from = 0;
        for (;;) {
            const size_t slash = t.key.find('\\', from);
            const std::string part = t.key.substr(from, slash - from);
            const std::string stored = path.empty() ? part : path + "\\" + part;
            auto it = tree.find(LowerAscii(stored));
            if (it == tree.end()) it = tree.emplace(LowerAscii(stored), Key{stored, {}}).first;
            path = it->second.path;
            if (slash == std::string::npos) break;
            from = slash + 1;
        }
        Key& key = tree[LowerAscii(path)];
        auto existing = key.values.find(LowerAscii(t.value.name));
        if (existing != key.values.end()) t.value.name = existing->second.name;
        key.values[LowerAscii(t.value.name)] = t.value;
    }
    return tree;
}

// Where two trees differ, at most a few lines of it; how many differences in
// `*count` when given.
std::string Differences(const Tree& want, const Tree& got, int* count = nullptr) {
    std::string out;
    int shown = 0;
    const auto say = [&](const std::string& line) {
        if (shown++ < 12) out += line + "\n";
    };
    for (const auto& [lower, key] : want) {
        auto it = got.find(lower);
        if (it == got.end()) {
            say("missing key " + key.path);
            continue;
        }
        if (it->second.path != key.path) say("key " + key.path + " is now " + it->second.path);
        for (const auto& [vl, v] : key.values) {
            auto g = it->second.values.find(vl);
            if (g == it->second.values.end())
                say("missing value " + key.path + " : " + v.name);
            else if (g->second.name != v.name || g->second.type != v.type ||
                     g->second.data != v.data)
                say("value " + key.path + " : " + v.name + " differs (type " +
                    std::to_string(g->second.type) + ", " + std::to_string(g->second.data.size()) +
                    " bytes; want type " + std::to_string(v.type) + ", " +
                    std::to_string(v.data.size()) + " bytes)");
        }
        for (const auto& [vl, v] : it->second.values)
            if (!key.values.count(vl)) say("extra value " + key.path + " : " + v.name);
    }
    for (const auto& [lower, key] : got)
        if (!want.count(lower)) say("extra key " + key.path);
    if (shown > 12) out += "... " + std::to_string(shown - 12) + " more\n";
    if (count) *count = shown;
    return out;
}

// ---- the cases -----------------------------------------------------------

enum class Kind {
    kXp,           // an XP/2000 target: WINDOWS\system32\config\system, the template import
    kBootManager,  // a Windows 7/10 target: Windows\System32\config\SYSTEM, dispatched as
                   // the boot manager's target (no drivers, no Boot.ini)
};

struct RealHive {
    const char* name;
    const char* file;               // under realdata/hives
    std::vector<const char*> logs;  // suffixes of its logs beside it
    Kind kind;
    HiveState state;  // how it loads
    u32 setDefault;   // 0: as found; else Select\Default made this first (hivexregedit)
    u32 defaultSet;   // the control set the template must land in
};

void PrintTo(const RealHive& p, std::ostream* os) { *os << p.name; }

class RealSystemHive : public ::testing::TestWithParam<RealHive> {};

// A run's registry step on `windows` (a host folder) on a fresh host, as the
// command gives each run one; the time it took in milliseconds.
double RunRegistryStep(const RealHive& p, const std::string& windows, std::string* said) {
    TestHost t;
    CMorlitDlg dlg(t.host);
    const std::wstring directory = HostPathToWindows(windows);
    const auto start = std::chrono::steady_clock::now();
    int result = 0;
    if (p.kind == Kind::kXp) {
        result = dlg.AdjustTargetRegistry(L'Z', directory);
    } else {
        TargetInfo target;
        target.letter = L'Z';
        target.windowsDirectory = directory;
        result = DispatchTarget(target, dlg);
    }
    EXPECT_EQ(dlg.UnloadTargetRegistry(), 1);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result, 1) << t.out.str() << t.Diagnostics();
    EXPECT_FALSE(FileExists(t.programDir + "/Morlit.reg"));
    *said = t.Diagnostics();
    return ms;
}

TEST_P(RealSystemHive, RunAddsTheTemplateToTheDefaultSetAndNothingElse) {
    MORLIT_REQUIRE_REALDATA();
    const RealHive& p = GetParam();
    const std::string dir = TestDir();
    const bool xp = p.kind == Kind::kXp;
    const std::string windows = dir + (xp ? "/WINDOWS" : "/Windows");
    const std::string config = windows + (xp ? "/system32/config" : "/System32/config");
    const std::string hive = config + (xp ? "/system" : "/SYSTEM");
    ASSERT_EQ(Shell("mkdir -p " + Quote(config)), 0);
    ASSERT_TRUE(UnpackRealData(std::string("hives/") + p.file, config, xp ? "system" : "SYSTEM"));
    std::vector<HiveLog> logs;
    for (const char* suffix : p.logs) {
        const std::string name = std::string(xp ? "system" : "SYSTEM") + suffix;
        ASSERT_TRUE(UnpackRealData(std::string("hives/") + p.file + suffix, config, name));
        logs.push_back(HiveLog{name, Slurp(config + "/" + name)});
    }
    if (p.setDefault != 0) {
        const std::string reg = dir + "/default.reg";
        std::ofstream(reg, std::ios::binary)
            << "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n"
               "\"Default\"=dword:0000000"
            << p.setDefault << "\n";
        std::string log;
        ASSERT_EQ(Shell("hivexregedit --merge --prefix 'HKEY_LOCAL_MACHINE\\SYSTEM' " +
                            Quote(hive) + " " + Quote(reg),
                        &log),
                  0)
            << log;
    }
    const std::string original = Slurp(hive);

    // The hive as Windows would load it: a dirty one recovered from its logs
    // or, without any, as it stands.
    std::string loaded = original;
    EXPECT_EQ(RecoverHive("system", &loaded, logs).state, p.state);
    const std::string loadedFile = dir + "/loaded";
    std::ofstream(loadedFile, std::ios::binary) << loaded;
    Tree before, asFound;
    std::string why;
    ASSERT_TRUE(ReadTree(loadedFile, &before, &why)) << why;
    ASSERT_TRUE(ReadTree(hive, &asFound, &why)) << why;
    // What the logs add, and what the template changes: a case where either
    // is nothing would prove less than it seems.
    int fromLogs = 0, fromTemplate = 0;
    Differences(before, asFound, &fromLogs);
    const Tree want = WithTemplate(before, p.defaultSet);
    Differences(want, before, &fromTemplate);
    EXPECT_EQ(fromLogs > 0, p.state == HiveState::kRecovered);
    EXPECT_GT(fromTemplate, 0);

    std::string said;
    const double first = RunRegistryStep(p, windows, &said);
    const std::string after = Slurp(hive);
    EXPECT_TRUE(WholeBaseBlock(after)) << said;
    EXPECT_EQ(Slurp(config + "/system_back"), original);
    if (p.state == HiveState::kClean) {
        EXPECT_EQ(said, "");
    } else {
        EXPECT_NE(said, "") << "a dirty hive is loaded without a word";
    }
    Tree got;
    ASSERT_TRUE(ReadTree(hive, &got, &why)) << why;
    EXPECT_EQ(Differences(want, got), "");

    // A second run finds everything in place and writes nothing; the backup
    // still holds the hive as it was before the first.
    const double second = RunRegistryStep(p, windows, &said);
    EXPECT_TRUE(Slurp(hive) == after);
    EXPECT_EQ(Slurp(config + "/system_back"), original);

    std::printf(
        "[ hive     ] %s: %zu bytes, %zu keys, %d differences from its logs, %d from the "
        "template; run %.0f ms, rerun %.0f ms\n",
        p.name, original.size(), got.size(), fromLogs, fromTemplate, first, second);
}

const std::vector<const char*> kNoLogs;

INSTANTIATE_TEST_SUITE_P(
    RealHives, RealSystemHive,
    ::testing::Values(
        // XP as it left its hive: clean, an old base-block-only log older
        // than the hive beside it.
        RealHive{"XpSystem", "more/xp_system", {".LOG"}, Kind::kXp, HiveState::kClean, 0, 1},
        // The same hive whose default is its second control set: the
        // template's ControlSet001 becomes ControlSet002.
        RealHive{
            "XpSystemDefault2", "more/xp_system", {".LOG"}, Kind::kXp, HiveState::kClean, 2, 2},
        // Setup's copy: one control set, Current 0, Default 1.
        RealHive{"XpSetupCopy", "more/xp_system.sav", kNoLogs, Kind::kXp, HiveState::kClean, 0, 1},
        RealHive{"Win7", "SYSTEM", kNoLogs, Kind::kXp, HiveState::kClean, 0, 1},
        RealHive{"Win7BootManager", "SYSTEM", kNoLogs, Kind::kBootManager, HiveState::kClean, 0, 1},
        RealHive{"Win7Era16MB", "more/regipy2019_SYSTEM", kNoLogs, Kind::kXp, HiveState::kClean, 0,
                 1},
        RealHive{"Win7Era16MBBootManager", "more/regipy2019_SYSTEM", kNoLogs, Kind::kBootManager,
                 HiveState::kClean, 0, 1},
        RealHive{"System2Dirty", "SYSTEM_2", kNoLogs, Kind::kXp, HiveState::kDirtyWithoutLog, 0, 1},
        RealHive{"System2DirtyBootManager", "SYSTEM_2", kNoLogs, Kind::kBootManager,
                 HiveState::kDirtyWithoutLog, 0, 1},
        RealHive{"Win10_1709Dirty", "SYSTEM_WIN_10_1709", kNoLogs, Kind::kXp,
                 HiveState::kDirtyWithoutLog, 0, 1},
        RealHive{"Win10_1709DirtyBootManager", "SYSTEM_WIN_10_1709", kNoLogs, Kind::kBootManager,
                 HiveState::kDirtyWithoutLog, 0, 1},
        // Dirty with new-format logs holding pending entries: recovered.
        RealHive{
            "Win10Logs", "SYSTEM_B", {".LOG1", ".LOG2"}, Kind::kXp, HiveState::kRecovered, 0, 1},
        RealHive{"Win10LogsBootManager",
                 "SYSTEM_B",
                 {".LOG1", ".LOG2"},
                 Kind::kBootManager,
                 HiveState::kRecovered,
                 0,
                 1}),
    [](const ::testing::TestParamInfo<RealHive>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace morlit::posix::test
