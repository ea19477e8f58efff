// A C library errno as the Windows error code a Windows call would report.
#pragma once

#include "platform/types.h"

namespace morlit::posix {

// ioFault: the code for an error with no closer Windows match.
u32 ErrnoToWindows(int error, u32 ioFault = err::kIoDevice);

}  // namespace morlit::posix
