// The help contexts our message boxes carry, kept apart from <windows.h> so
// that tests can check them directly.
#pragma once

#include "platform/types.h"

namespace morlit::win32 {

// The help context a message box carries. A box shown by string number with
// the default context (-1) takes the number itself; the framework offsets
// prompt contexts by HID_BASE_PROMPT. Zero means no help.
inline u32 FrameworkHelpContext(u32 stringId, u32 helpContext) {
    constexpr u32 kHidBasePrompt = 0x30000;
    if (helpContext == 0xFFFFFFFFu) helpContext = stringId;
    return helpContext == 0 ? 0 : kHidBasePrompt + helpContext;
}

}  // namespace morlit::win32
