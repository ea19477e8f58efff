// The .reg importer of the Linux host's registry editor stand-in: it turns a
// registry script into key and value operations, following Windows' regedit
// ("REGEDIT4" and "Windows Registry Editor Version 5.00" headers, ANSI text
// in code page 932 or UTF-16LE with a byte-order mark). Parsing is separate
// from applying, so a script with any error changes nothing.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace morlit::posix {

enum class RegOpKind { CreateKey, DeleteKey, SetValue, DeleteValue };

struct RegOp {
    RegOpKind kind = RegOpKind::CreateKey;
    // The key's components below HKEY_LOCAL_MACHINE\<mount>; empty = the
    // mount's root.
    std::vector<std::wstring> key;
    std::wstring name;  // the value's name; empty = the default value
    u32 type = 0;
    std::string data;  // the value's bytes as the registry stores them
    int line = 0;      // 1-based line of the script
};

struct RegScript {
    std::vector<RegOp> ops;
    std::vector<std::string> errors;  // "line N: what", in order
};

// Parses a registry script. Keys must lie under HKEY_LOCAL_MACHINE\<mount>
// (compared without case); any other key is refused with an error.
RegScript ParseRegScript(const std::string& bytes, const std::wstring& mount);

// Code page 932 text to UTF-16LE bytes (no terminator added). False when the
// bytes are not valid in the code page.
bool AnsiToUtf16Le(const std::string& ansi, std::string* utf16);

}  // namespace morlit::posix
