// The file version in a PE file's version resource, read from the file's
// bytes alone, as GetFileVersionInfoW and VerQueryValueW(L"\\") give it.
//
// The file comes from an image that may be hostile: every offset and count
// is checked against the bytes given before anything is read through it, and
// the resource tree is followed at its three fixed levels only (type, name,
// language), so no loop in it can be followed.
#pragma once

#include <cstddef>

#include "platform/types.h"

namespace morlit::posix {

struct PeFileVersion {
    u32 ms = 0;  // dwFileVersionMS: major << 16 | minor
    u32 ls = 0;  // dwFileVersionLS: build << 16 | revision
};

// 0 with *out set, or the Windows error code the version calls give:
//   ERROR_BAD_EXE_FORMAT: not a PE file, or headers that do not fit it;
//   ERROR_RESOURCE_TYPE_NOT_FOUND / _NAME_ / _LANG_: no version resource
//     (type 16, name 1, any language);
//   ERROR_RESOURCE_DATA_NOT_FOUND: a resource tree or version block that
//     does not lie in the file, or a block without a fixed file version.
u32 ReadPeFileVersion(const u8* data, std::size_t size, PeFileVersion* out);

}  // namespace morlit::posix
