// The message-box conventions of the dialog framework the program was designed
// on, kept apart from <windows.h> so that tests can check them directly.
#pragma once

#include "platform/types.h"

namespace morlit::win32 {

// The framework gives a box without an icon of its own the icon that fits its
// buttons: an exclamation mark for OK and OK/Cancel, a question mark for
// Yes/No and Yes/No/Cancel. Other button sets stay without one.
inline u32 FrameworkMessageStyle(u32 style) {
    constexpr u32 kIconMask = 0xF0;
    constexpr u32 kTypeMask = 0x0F;
    constexpr u32 kIconExclamation = 0x30;
    constexpr u32 kIconQuestion = 0x20;
    if ((style & kIconMask) != 0) return style;
    switch (style & kTypeMask) {
        case 0x0:  // MB_OK
        case 0x1:  // MB_OKCANCEL
            return style | kIconExclamation;
        case 0x3:  // MB_YESNOCANCEL
        case 0x4:  // MB_YESNO
            return style | kIconQuestion;
        default:
            return style;
    }
}

// The help context a message box carries. A box shown by string number with
// the default context (-1) takes the number itself; the framework offsets
// prompt contexts by HID_BASE_PROMPT. Zero means no help.
inline u32 FrameworkHelpContext(u32 stringId, u32 helpContext) {
    constexpr u32 kHidBasePrompt = 0x30000;
    if (helpContext == 0xFFFFFFFFu) helpContext = stringId;
    return helpContext == 0 ? 0 : kHidBasePrompt + helpContext;
}

}  // namespace morlit::win32
