#include "ui/texts.h"

#include <cstdint>

namespace morlit {

const wchar_t* FindStringTableText(u32 id) {
    switch (id) {
#define MORLIT_STRING_CASE(id, symbol, text) \
    case id:                                 \
        return text;
        MORLIT_STRING_TABLE(MORLIT_STRING_CASE)
#undef MORLIT_STRING_CASE
        default:
            return nullptr;
    }
}

std::wstring FormatWithCode(const std::wstring& pattern, u32 code) {
    const std::wstring number = std::to_wstring(static_cast<std::int32_t>(code));
    std::wstring out = pattern;
    const auto at = out.find(L"%ld");
    if (at != std::wstring::npos) out.replace(at, 3, number);
    return out;
}

const wchar_t* StatusText(RunStep step) {
    switch (step) {
        case RunStep::kStarting:
            return status::kStarting;
        case RunStep::kMounting:
            return status::kMounting;
        case RunStep::kSearchingDrive:
            return status::kSearchingDrive;
        case RunStep::kCopyingDrivers:
            return status::kCopyingDrivers;
        case RunStep::kAdjustingOs:
            return status::kAdjustingOs;
        case RunStep::kFinishing:
            break;
    }
    return status::kFinishing;
}

}  // namespace morlit
