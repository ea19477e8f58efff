#include "run/DiskNumber.h"

namespace morlit {

bool ParsePhysicalDriveNumber(const std::wstring& path, int* number) {
    static const std::wstring kPrefix = L"\\\\.\\PhysicalDrive";
    if (path.size() <= kPrefix.size() || path.compare(0, kPrefix.size(), kPrefix) != 0) {
        return false;
    }
    int value = 0;
    for (size_t i = kPrefix.size(); i < path.size(); ++i) {
        const wchar_t c = path[i];
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
        if (value > 255) return false;
    }
    *number = value;
    return true;
}

}  // namespace morlit
