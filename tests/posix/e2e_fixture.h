// Complete runs on the sample targets of tools/make-sample-targets.sh,
// checked afterwards with tools that share no code with Morlit: qemu-img,
// the ntfs-3g utilities on the extracted partition, hivexregedit on the
// extracted hive, cabextract and isoinfo for the expected driver bytes.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "platform/posix/record/run_ending.h"
#include "tests/posix/host_fixture.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit::posix::test {

// The built command.
inline std::string Morlit() { return std::string(MORLIT_BINARY_DIR) + "/morlit"; }

// A file's modification time to the nanosecond: it moves with any write.
inline std::string ModificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "<missing>";
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// The sample targets, built once per build tree and shared: tests copy an
// image before they run on it. Rebuilt when the tools that make them change.
inline std::string SampleTargets() {
    static std::string dir;
    if (!dir.empty()) return dir;
    const std::string src = MORLIT_SOURCE_DIR;
    const std::string bin = MORLIT_BINARY_DIR;
    const std::string targets = bin + "/sample_targets";
    std::string stamp;
    Shell("cd " + Quote(src) +
              " && cat tools/make-*.sh tools/make_cab.py tools/make-pe-version.py "
              "tools/tree_to_fat.py tools/trees/*.tree | "
              "md5sum && stat -c "
              "%Y:%s " +
              Quote(bin + "/mkimage") + " " + Quote(bin + "/tools/hive/morlit_make_hive") + " " +
              Quote(bin + "/tools/hive/morlit_make_dirty_hive"),
          &stamp);
    // Tests run in parallel processes: one builds, the others wait for it.
    const int lock = ::open((bin + "/sample_targets.lock").c_str(), O_CREAT | O_RDWR, 0644);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    if (Slurp(targets + "/stamp") != stamp) {
        std::string log;
        const int rc = Shell("rm -rf " + Quote(targets) + " && bash " +
                                 Quote(src + "/tools/make-sample-targets.sh") + " --build " +
                                 Quote(bin) + " " + Quote(targets),
                             &log);
        EXPECT_EQ(rc, 0) << log;
        if (rc == 0) std::ofstream(targets + "/stamp", std::ios::binary) << stamp;
    }
    if (lock >= 0) ::close(lock);
    dir = targets;
    return dir;
}

// One --json run of the command on `image` with `options`: its exit status
// and the one JSON object it printed (anything else throws); its stderr in
// *said. A CD question is answered as a check answers it (OK to inserting
// the CD, No to looking again), so that a run meets it as the check did.
inline int JsonCommand(const std::string& options, const std::string& image, nlohmann::json* object,
                       std::string* said = nullptr) {
    const std::string dir = FolderOf(image);
    const std::string answers = dir + "/answers", err = dir + "/stderr";
    std::ofstream(answers, std::ios::binary | std::ios::trunc) << "ok\nno\n";
    std::string out;
    const int rc = Shell("LC_ALL=C " + Quote(Morlit()) + " --json " + options + " " + Quote(image) +
                             " <" + Quote(answers) + " 2>" + Quote(said ? err : "/dev/null"),
                         &out);
    if (said) *said = Slurp(err);
    *object = nlohmann::json::parse(out);
    return rc;
}

// The words of a --json object's causes, in order.
inline nlohmann::json CauseTexts(const nlohmann::json& object) {
    nlohmann::json texts = nlohmann::json::array();
    for (const auto& cause : object["causes"]) texts.push_back(cause["text"]);
    return texts;
}

// A private copy of a sample target in the test's folder.
inline std::string CopyTarget(const std::string& dir, const std::string& name) {
    const std::string copy = dir + "/" + name;
    EXPECT_EQ(Shell("cp " + Quote(SampleTargets() + "/" + name) + " " + Quote(copy)), 0);
    return copy;
}

inline std::string Source(const std::string& path) { return SampleTargets() + "/sources/" + path; }

// The run as Start runs it, with the image chosen as Browse would give it.
inline std::string RunStart(TestHost& t, const std::string& image) {
    // As the command runs it: a recorder in front of the host's own
    // services, and the run ended by its result.
    RunRecorder recorder(t.posix->host, RecordingOf(*t.posix, false));
    Host host = t.posix->host;
    host.clock = t.host.clock;
    CMorlitDlg dialog(host);
    dialog.Create(IDD_MORLIT_DIALOG);
    dialog.m_strVhdPath = HostPathToWindows(image);
    dialog.OnBnClickedOk();
    EXPECT_EQ(dialog.m_hVirtualDisk, nullptr);
    CloseRun(*t.posix, recorder);
    // Shown in the test's output, so a failing run says why.
    for (const auto& line : t.diagnostics) std::cerr << "diagnostic: " << line << "\n";
    return t.out.str();
}

// A member of a cabinet as cabextract decodes it.
inline std::string CabMember(const std::string& cabinet, const std::string& member) {
    std::string out;
    EXPECT_EQ(
        Shell("cabextract -q -p -F " + Quote(member) + " " + Quote(cabinet) + " 2>/dev/null", &out),
        0);
    return out;
}

inline std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The image as the independent tools see it after a run.
class ImageCheck {
  public:
    ImageCheck(const std::string& image, u64 startSector) : image_(image) {
        std::string log;
        infoOk_ = Shell("qemu-img info -f vpc " + Quote(image) + " >/dev/null", &log) == 0;
        part_ = ExtractPartition(image, startSector);
        fsckOk_ = Shell("ntfsfix -n " + Quote(part_), &fsckLog_) == 0;
    }
    ~ImageCheck() { Shell("rm -f " + Quote(part_) + " " + Quote(part_ + ".hive")); }

    bool QemuAccepts() const { return infoOk_; }
    bool NtfsfixAccepts() const { return fsckOk_; }
    const std::string& NtfsfixLog() const { return fsckLog_; }

    bool Exists(const std::string& path) const {
        // ntfsinfo ends with 0 even for a missing file; ntfscat does not.
        return Shell("ntfscat " + Quote(part_) + " " + Quote(path) + " >/dev/null") == 0;
    }
    // A file's bytes, by its path as stored (ntfscat compares names exactly).
    std::string Cat(const std::string& path) const {
        std::string out;
        if (Shell("ntfscat " + Quote(part_) + " " + Quote(path) + " 2>/dev/null", &out) != 0)
            return "<missing " + path + ">";
        return out;
    }
    // The names in a folder, as ntfsls lists them (long names).
    std::string List(const std::string& folder) const {
        std::string out;
        Shell("ntfsls " + Quote(part_) + " -p " + Quote(folder), &out);
        return out;
    }
    bool ReadOnly(const std::string& path) const {
        std::string out;
        Shell("ntfsinfo -F " + Quote(path) + " " + Quote(part_) +
                  " | grep 'File attributes' | head -1",
              &out);
        return out.find("READONLY") != std::string::npos ||
               out.find("READ_ONLY") != std::string::npos;
    }
    // The hive's keys (as hivexregedit --export names them, in lower case, as
    // the registry compares them: "\controlset002\...") with the text of each
    // key's values.
    std::map<std::string, std::string> HiveKeys(const std::string& hivePath) const {
        const std::string hive = part_ + ".hive";
        std::ofstream(hive, std::ios::binary) << Cat(hivePath);
        return ExportKeys(hive);
    }
    static std::map<std::string, std::string> ExportKeys(const std::string& hiveFile) {
        std::string text;
        std::map<std::string, std::string> keys;
        if (Shell("hivexregedit --export " + Quote(hiveFile) + " '\\' 2>/dev/null", &text) != 0)
            return keys;
        std::istringstream in(text);
        std::string line, key;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > 2 && line[0] == '[' && line.back() == ']') {
                key = Lower(line.substr(1, line.size() - 2));
                keys[key];
            } else if (!key.empty() && !line.empty()) {
                keys[key] += line + "\n";
            }
        }
        return keys;
    }

  private:
    std::string image_;
    std::string part_;
    bool infoOk_ = false;
    bool fsckOk_ = false;
    std::string fsckLog_;
};

// A FAT volume of an image after a run, as fsck.fat and the mtools see it.
class FatImage {
  public:
    FatImage(const std::string& image, u64 startSector) {
        part_ = ExtractPartition(image, startSector);
        fsckOk_ = Shell("fsck.fat -n " + Quote(part_), &fsckLog_) == 0;
    }
    ~FatImage() { Shell("rm -f " + Quote(part_) + " " + Quote(part_ + ".hive")); }
    bool FsckAccepts() const { return fsckOk_; }
    const std::string& FsckLog() const { return fsckLog_; }
    std::string Cat(const std::string& path) const {
        std::string out;
        if (Shell(kMtools + "mtype -i " + Quote(part_) + " " + Quote("::/" + path) + " 2>/dev/null",
                  &out) != 0)
            return "<missing " + path + ">";
        return out;
    }
    std::string List(const std::string& folder) const {
        std::string out;
        Shell(kMtools + "mdir -a -i " + Quote(part_) + " " + Quote("::/" + folder), &out);
        return out;
    }
    std::string Attributes(const std::string& path) const {
        std::string out;
        Shell(kMtools + "mattrib -i " + Quote(part_) + " " + Quote("::/" + path), &out);
        return out.substr(0, out.find("::"));
    }
    std::map<std::string, std::string> HiveKeys(const std::string& path) const {
        std::ofstream(part_ + ".hive", std::ios::binary) << Cat(path);
        return ImageCheck::ExportKeys(part_ + ".hive");
    }

  private:
    const std::string kMtools = "MTOOLS_SKIP_CHECK=1 ";
    std::string part_;
    bool fsckOk_ = false;
    std::string fsckLog_;
};

// The keys the registry template names, below its control set
// ("Control\CriticalDeviceDatabase\primary_ide_channel", ...).
inline std::set<std::string> TemplateKeys() {
    std::set<std::string> keys;
    std::istringstream in(Slurp(std::string(MORLIT_SOURCE_DIR) + "/templates/Dravmont.bin"));
    const std::string prefix = "[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\";
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, prefix.size(), prefix) == 0 && line.back() == ']')
            keys.insert(Lower(line.substr(prefix.size(), line.size() - prefix.size() - 1)));
    }
    return keys;
}

inline std::string ControlSet(u32 number) {
    char name[32];
    std::snprintf(name, sizeof name, "\\controlset%03u", number);
    return name;
}

// Every template key under the default control set; everything else as it
// was in `original` (a hive file).
inline void ExpectTemplateOnlyUnder(const std::map<std::string, std::string>& after,
                                    const std::string& original, u32 defaultSet) {
    const std::string set = ControlSet(defaultSet);
    for (const std::string& key : TemplateKeys()) {
        EXPECT_TRUE(after.count(set + "\\" + key)) << set << "\\" << key;
    }
    const auto under = [&](const std::string& key) {
        return key.compare(0, set.size() + 1, set + "\\") == 0;
    };
    std::map<std::string, std::string> before = ImageCheck::ExportKeys(original);
    ASSERT_FALSE(before.empty());
    std::map<std::string, std::string> rest;
    for (const auto& k : after) {
        if (!under(k.first)) rest.insert(k);
    }
    for (auto it = before.begin(); it != before.end();) {
        it = under(it->first) ? before.erase(it) : std::next(it);
    }
    EXPECT_TRUE(rest == before) << "keys outside " << set << " changed";
    // Values the template sets: the IDE driver starts at boot, intelppm never.
    ASSERT_TRUE(after.count(set + "\\services\\intelide") &&
                after.count(set + "\\services\\intelppm"));
    EXPECT_NE(after.at(set + "\\services\\intelide").find("\"Start\"=dword:00000000"),
              std::string::npos);
    EXPECT_NE(after.at(set + "\\services\\intelppm").find("\"Start\"=dword:00000004"),
              std::string::npos);
}

}  // namespace morlit::posix::test
