#include "platform/posix/mountinfo.h"

#include <fstream>
#include <sstream>

namespace morlit::posix {
namespace {

// The kernel writes space, tab, newline and backslash in paths as a
// backslash and three octal digits.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string f;
    while (in >> f) out.push_back(f);
    return out;
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
    std::vector<MountEntry> mounts;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mountpoint options [optional...] - type source superoptions
        const std::vector<std::string> f = Fields(line);
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (dash + 2 >= f.size()) continue;  // no type and source after the separator
        MountEntry m;
        m.root = Unescape(f[3]);
        m.mountPoint = Unescape(f[4]);
        m.fsType = f[dash + 1];
        m.source = Unescape(f[dash + 2]);
        mounts.push_back(std::move(m));
    }
    return mounts;
}

std::vector<MountEntry> OpticalMounts(const std::vector<MountEntry>& mounts) {
    std::vector<MountEntry> out;
    for (size_t i = 0; i < mounts.size(); ++i) {
        const MountEntry& m = mounts[i];
        if (m.fsType != "iso9660" && m.fsType != "udf") continue;
        bool hidden = false;
        for (size_t j = i + 1; j < mounts.size() && !hidden; ++j) {
            hidden = mounts[j].mountPoint == m.mountPoint;
        }
        if (!hidden) out.push_back(m);
    }
    return out;
}

std::vector<MountEntry> ListOpticalMounts(const std::string& mountInfoPath) {
    std::ifstream in(mountInfoPath);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return OpticalMounts(ParseMountInfo(text.str()));
}

}  // namespace morlit::posix
