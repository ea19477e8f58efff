// programs/: the stand-ins for the Windows programs a run starts (expand and
// the registry editor). They reach files only through fs/'s FileAccess and
// the hive only through registry/; the services at the top start them.
//
// The Linux host's stand-in for the system's expand tool, run in-process
// over the drive namespace. It takes the two command forms the driver
// replacement uses:
//
//   "source" "destination file"                  a compressed single file
//   "cabinet" -F:name "destination folder"       one member of a cabinet
//
// Sources are Microsoft cabinets (MSZIP, LZX, Quantum or stored) and SZDD
// files. A destination is written only after the whole member has been
// decoded and checked, so a failure leaves the old file as it was, and
// nothing is written but the destination the command names. A large member
// is decoded twice rather than held: once to check it, once into the
// destination in pieces, so memory does not grow with the member.
//
// Member names carry a flag for UTF-8; without it they are in the host's
// ANSI code page, as Windows reads them. A cabinet is read alone: a member
// that continues in another cabinet of a set fails, naming that cabinet.
#pragma once

#include <string>
#include <vector>

#include "platform/host.h"
#include "platform/posix/fs/file_access.h"

namespace morlit::posix {

// Runs one expand command. Returns the exit code: 0 when the destination
// was written, otherwise a Windows error code, with `reason` (if given) set
// to a one-line explanation (printable: no control character). Member names
// without the UTF-8 flag are decoded with `codepage`, or as Latin-1 without
// one.
u32 RunExpandTool(FileAccess& files, const std::wstring& parameters, std::string* reason,
                  ICodePage* codepage = nullptr);

// A member's name as expand reads it: UTF-8 when the cabinet flags it so
// (every byte of an invalid sequence becomes U+FFFD), else in `codepage`
// (Latin-1 without one).
std::wstring CabinetMemberName(const std::string& raw, bool utf8, ICodePage* codepage);

// Splits a parameter string into arguments as CommandLineToArgvW splits the
// arguments after the program name: white space separates, double quotes
// group, 2n backslashes before a quote give n and toggle quoting, 2n+1 give
// n and a literal quote, other backslashes are literal.
std::vector<std::wstring> SplitCommandLine(const std::wstring& parameters);

// Whether split arguments ask for one member of a cabinet (the cabinet,
// -F:member, the destination folder) rather than one compressed file.
bool TakesCabinetMember(const std::vector<std::wstring>& args);

// What the expander keeps between runs: the last cabinet it read, with the
// decoder's position in it and recently decoded members. A run asks for
// three members of one cabinet; keeping this saves decoding a solid folder
// three times over.
struct ExpandCacheStats {
    u64 cabinetReads = 0;    // cabinets read from the file system
    u64 folderRestarts = 0;  // decoding begun at the start of a folder
    u64 decodedBytes = 0;    // bytes of folder data decoded
    u64 retainedHits = 0;    // members served from what was kept
};
ExpandCacheStats GetExpandCacheStats();
// Drops everything kept and resets the counters.
void ClearExpandCache();
// Drops everything kept, releasing its memory; the counters stay. For the
// end of a run: what is kept serves the expand runs of one run.
void ReleaseExpandCache();

}  // namespace morlit::posix
