#include "platform/posix/programs/expand_tool.h"

#include <mspack.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "platform/constants.h"
#include "platform/utf8.h"

namespace morlit::posix {

std::vector<std::wstring> SplitCommandLine(const std::wstring& parameters) {
    std::vector<std::wstring> args;
    const wchar_t* s = parameters.c_str();
    while (*s == L' ' || *s == L'\t') ++s;
    while (*s) {
        std::wstring arg;
        int quotes = 0;  // odd while inside quotes
        size_t backslashes = 0;
        while (*s) {
            if ((*s == L' ' || *s == L'\t') && quotes == 0) break;
            if (*s == L'\\') {
                arg.push_back(*s++);
                ++backslashes;
            } else if (*s == L'"') {
                // Backslashes before a quote are halved; an odd one makes
                // the quote literal.
                arg.resize(arg.size() - backslashes / 2);
                if (backslashes % 2 == 1) {
                    arg.back() = L'"';
                } else {
                    ++quotes;
                }
                ++s;
                backslashes = 0;
                // Runs of quotes: every third one is a literal quote.
                while (*s == L'"') {
                    if (++quotes == 3) {
                        arg.push_back(L'"');
                        quotes = 0;
                    }
                    ++s;
                }
                if (quotes == 2) quotes = 0;
            } else {
                arg.push_back(*s++);
                backslashes = 0;
            }
        }
        args.push_back(arg);
        while (*s == L' ' || *s == L'\t') ++s;
    }
    return args;
}

namespace {

// Members passed over on the way to a requested one are kept when they lie
// within this much of the decoder's position, so that the next members a
// run asks for are at hand whichever order the cabinet stores them in.
constexpr size_t kRetainBudget = 8u << 20;

// Cabinets are read in windows of this size as libmspack asks for their
// bytes, where the file system can read ranges.
constexpr size_t kReadWindow = 1u << 20;

// Members up to this size are decoded into memory and written whole. A
// larger one is checked first and then decoded again straight into its
// destination in pieces of kWritePiece bytes: holding it would make memory
// grow with the member (a cabinet member can be 2 GiB).
constexpr u64 kWholeMember = 16u << 20;
constexpr size_t kWritePiece = 4u << 20;

// ---------------------------------------------------------------------------
// libmspack's I/O: the input is a file of the drive namespace, read on
// demand where the file system can read ranges and else whole into memory;
// every output goes to a callback.

// libmspack's input.
class Input {
  public:
    // The file at `path`, of `size` bytes, read in windows.
    Input(FileAccess& files, std::wstring path, u64 size)
        : files_(&files), path_(std::move(path)), size_(size) {}
    // Bytes already in memory.
    explicit Input(std::string whole) : window_(std::move(whole)), size_(window_.size()) {}

    u64 Size() const { return size_; }
    // The Windows error of the last failed read, 0 if none failed.
    u32 Error() const { return error_; }

    // Copies up to `count` bytes from `offset`; the count copied (short at
    // the end), or -1 when the file cannot be read.
    long Read(u64 offset, char* buffer, size_t count) {
        size_t done = 0;
        while (done < count && offset + done < size_) {
            const u64 at = offset + done;
            if (at < windowOffset_ || at >= windowOffset_ + window_.size()) {
                if (!files_) return -1;
                const size_t want = static_cast<size_t>(
                    std::min<u64>(std::max(kReadWindow, count - done), size_ - at));
                u32 code = files_->ReadRange(path_, at, want, &window_);
                // Short of what its size promised: the file changed.
                if (code == 0 && window_.empty()) code = err::kHandleEof;
                if (code != 0) {
                    window_.clear();
                    error_ = code;
                    return -1;
                }
                windowOffset_ = at;
            }
            const size_t n = static_cast<size_t>(
                std::min<u64>(count - done, windowOffset_ + window_.size() - at));
            std::memcpy(buffer + done, window_.data() + (at - windowOffset_), n);
            done += n;
        }
        return static_cast<long>(done);
    }

  private:
    FileAccess* files_ = nullptr;  // null when the whole file is in window_
    std::wstring path_;
    std::string window_;
    u64 windowOffset_ = 0;
    u64 size_ = 0;
    u32 error_ = 0;
};

struct MemSystem;

struct MemFile {
    MemSystem* owner = nullptr;
    Input* input = nullptr;  // null for an output
    size_t position = 0;
};

struct MemSystem {
    mspack_system base;  // first, so that libmspack's pointer is ours
    Input* input = nullptr;
    // Receives decoded bytes; false stops decoding with a write error.
    bool (*sink)(void* context, const unsigned char* data, size_t size) = nullptr;
    void* sinkContext = nullptr;
};

constexpr const char* kInputName = "input";
constexpr const char* kOutputName = "output";

mspack_file* MemOpen(mspack_system* self, const char* filename, int mode) {
    auto* sys = reinterpret_cast<MemSystem*>(self);
    auto* file = new MemFile;
    file->owner = sys;
    if (std::strcmp(filename, kInputName) == 0 && mode == MSPACK_SYS_OPEN_READ) {
        file->input = sys->input;
    } else if (std::strcmp(filename, kOutputName) == 0 && mode == MSPACK_SYS_OPEN_WRITE) {
        file->input = nullptr;
    } else {
        // libmspack asks for nothing else; a name from a cabinet (the next
        // cabinet of a set) is never opened.
        delete file;
        return nullptr;
    }
    return reinterpret_cast<mspack_file*>(file);
}

void MemClose(mspack_file* file) { delete reinterpret_cast<MemFile*>(file); }

int MemRead(mspack_file* handle, void* buffer, int bytes) {
    auto* file = reinterpret_cast<MemFile*>(handle);
    if (!file->input || bytes < 0) return -1;
    const long count =
        file->input->Read(file->position, static_cast<char*>(buffer), static_cast<size_t>(bytes));
    if (count < 0) return -1;
    file->position += static_cast<size_t>(count);
    return static_cast<int>(count);
}

int MemSeek(mspack_file* handle, off_t offset, int mode) {
    auto* file = reinterpret_cast<MemFile*>(handle);
    if (!file->input) return -1;
    off_t base = 0;
    if (mode == MSPACK_SYS_SEEK_CUR) base = static_cast<off_t>(file->position);
    if (mode == MSPACK_SYS_SEEK_END) base = static_cast<off_t>(file->input->Size());
    const off_t target = base + offset;
    if (target < 0 || target > static_cast<off_t>(file->input->Size())) return -1;
    file->position = static_cast<size_t>(target);
    return 0;
}

off_t MemTell(mspack_file* handle) {
    return static_cast<off_t>(reinterpret_cast<MemFile*>(handle)->position);
}

// libmspack says why it refused something through this callback, often
// without a file to tell which decoder spoke; decoding runs on the calling
// thread, so what it says is collected per thread and read after each call.
thread_local std::string tMspackSays;

void MemMessage(mspack_file*, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n <= 0) return;
    if (!tMspackSays.empty()) tMspackSays += "; ";
    tMspackSays += line;
}

// What libmspack said since the last call, as a clause for a reason line.
std::string MspackSaid() {
    std::string said;
    said.swap(tMspackSays);
    return said.empty() ? std::string() : " - libmspack: " + said;
}
void* MemAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void MemFree(void* p) { std::free(p); }
void MemCopy(void* src, void* dest, size_t bytes) { std::memmove(dest, src, bytes); }

int MemWrite(mspack_file* handle, void* buffer, int bytes) {
    auto* file = reinterpret_cast<MemFile*>(handle);
    MemSystem* sys = file->owner;
    if (file->input || bytes < 0 || !sys || !sys->sink) return -1;
    if (!sys->sink(sys->sinkContext, static_cast<const unsigned char*>(buffer),
                   static_cast<size_t>(bytes))) {
        return -1;
    }
    file->position += static_cast<size_t>(bytes);
    return bytes;
}

void InitSystem(MemSystem& sys, Input* input) {
    std::memset(&sys.base, 0, sizeof sys.base);
    sys.base.open = MemOpen;
    sys.base.close = MemClose;
    sys.base.read = MemRead;
    sys.base.write = MemWrite;
    sys.base.seek = MemSeek;
    sys.base.tell = MemTell;
    sys.base.message = MemMessage;
    sys.base.alloc = MemAlloc;
    sys.base.free = MemFree;
    sys.base.copy = MemCopy;
    sys.input = input;
}

std::string MspackError(int code) {
    switch (code) {
        case MSPACK_ERR_OPEN:
            return "cannot open";
        case MSPACK_ERR_READ:
            return "data ends early";
        case MSPACK_ERR_WRITE:
            return "output refused";
        case MSPACK_ERR_SEEK:
            return "offset out of range";
        case MSPACK_ERR_NOMEMORY:
            return "out of memory";
        case MSPACK_ERR_SIGNATURE:
            return "bad signature";
        case MSPACK_ERR_DATAFORMAT:
            return "bad format";
        case MSPACK_ERR_CHECKSUM:
            return "checksum mismatch";
        case MSPACK_ERR_DECRUNCH:
            return "decompression failed";
        default:
            return "error " + std::to_string(code);
    }
}

// ---------------------------------------------------------------------------
// Names

std::wstring MemberName(const mscabd_file* file, ICodePage* codepage) {
    return CabinetMemberName(file->filename ? file->filename : "",
                             (file->attribs & MSCAB_ATTRIB_UTF_NAME) != 0, codepage);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    }
    return true;
}

std::wstring AfterLastSeparator(const std::wstring& name) {
    const auto cut = name.find_last_of(L"\\/");
    return cut == std::wstring::npos ? name : name.substr(cut + 1);
}

// A plain file name: no folder, drive, wildcard or other reserved character.
bool IsPlainFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c)) return false;
    }
    return true;
}

bool LooksLikeSwitch(const std::wstring& arg) {
    return arg.empty() || arg[0] == L'-' || arg[0] == L'/';
}

// A name or path for a reason line: UTF-8 with every control character
// (and anything that is no character) shown as "?", so that a line stays
// one printable line whatever a cabinet or a command holds.
std::string Narrow(const std::wstring& text) {
    std::wstring shown = text;
    for (wchar_t& c : shown) {
        const u32 v = static_cast<u32>(c);
        if (v < 0x20 || (v >= 0x7F && v < 0xA0) || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) {
            c = L'?';
        }
    }
    return ToUtf8(shown);
}

// A large member's destination, written in pieces as the member is decoded:
// the first piece replaces the file's data (or creates it), each later one
// is patched on at its end.
class PieceWriter {
  public:
    PieceWriter(FileAccess& files, std::wstring path) : files_(files), path_(std::move(path)) {
        buffer_.reserve(kWritePiece);
    }

    bool Put(const char* data, size_t size) {
        while (size > 0 && error_ == 0) {
            const size_t n = std::min(size, kWritePiece - buffer_.size());
            buffer_.append(data, n);
            data += n;
            size -= n;
            if (buffer_.size() == kWritePiece) Flush();
        }
        return error_ == 0;
    }

    // Writes what is buffered; the Windows error of the first failed write.
    u32 Finish() {
        if (error_ == 0 && (!buffer_.empty() || written_ == 0)) Flush();
        return error_;
    }

    u32 Error() const { return error_; }
    // True when a write was made: a failure then leaves a partial file.
    bool Started() const { return written_ > 0 || started_; }

  private:
    void Flush() {
        if (!started_) {
            error_ = files_.WriteFile(path_, buffer_);
            started_ = true;
        } else {
            std::vector<FilePatch> patch(1);
            patch[0].offset = written_;
            patch[0].data.swap(buffer_);
            error_ = files_.PatchFile(path_, patch, written_ + patch[0].data.size());
            patch[0].data.swap(buffer_);
        }
        if (error_ == 0) written_ += buffer_.size();
        buffer_.clear();
    }

    FileAccess& files_;
    std::wstring path_;
    std::string buffer_;
    u64 written_ = 0;
    bool started_ = false;
    u32 error_ = 0;
};

// ---------------------------------------------------------------------------
// One open cabinet with libmspack's decoder, which stays where the last
// decode left it in its folder.

class CabinetSession {
  public:
    CabinetSession(std::unique_ptr<Input> input, ICodePage* codepage)
        : input_(std::move(input)), codepage_(codepage) {
        InitSystem(sys_, input_.get());
    }
    ~CabinetSession() {
        if (cabd_) {
            if (cab_) cabd_->close(cabd_, cab_);
            mspack_destroy_cab_decompressor(cabd_);
        }
    }
    CabinetSession(const CabinetSession&) = delete;
    CabinetSession& operator=(const CabinetSession&) = delete;

    u32 Open(std::string* reason) {
        cabd_ = mspack_create_cab_decompressor(&sys_.base);
        if (!cabd_) {
            *reason = "out of memory";
            return err::kNotEnoughMemory;
        }
        MspackSaid();
        cab_ = cabd_->open(cabd_, kInputName);
        const std::string said = MspackSaid();
        if (!cab_) {
            if (input_->Error()) {
                *reason = "cannot read the cabinet (" + std::to_string(input_->Error()) + ")";
                return input_->Error();
            }
            *reason =
                "not a readable cabinet (" + MspackError(cabd_->last_error(cabd_)) + ")" + said;
            return err::kInvalidData;
        }
        return 0;
    }

    const mscabd_cabinet* Cabinet() const { return cab_; }
    std::wstring Name(const mscabd_file* file) const { return MemberName(file, codepage_); }

    // The whole member, decoded and checked against its stated length and
    // the cabinet's block checksums.
    u32 Extract(const mscabd_file* member, std::string* data, std::string* reason) {
        auto kept = retained_.find(member);
        if (kept != retained_.end()) {
            ++stats_.retainedHits;
            *data = kept->second;
            return 0;
        }
        data->clear();
        return Decode(member, true, nullptr, data, reason);
    }

    // Decodes the member without keeping it: its checksums and length.
    u32 Check(const mscabd_file* member, std::string* reason) {
        return Decode(member, false, nullptr, nullptr, reason);
    }

    // Decodes the member into `out` as it comes.
    u32 ExtractInPieces(const mscabd_file* member, PieceWriter& out, std::string* reason) {
        if (u32 code = Decode(member, false, &out, nullptr, reason)) return code;
        if (u32 code = out.Finish()) {
            *reason = "cannot write the destination (" + std::to_string(code) + ")";
            return code;
        }
        return 0;
    }

    ExpandCacheStats stats_;

  private:
    struct Capture {
        const mscabd_file* file;
        std::string data;
    };
    struct Pass {
        u64 position = 0;
        std::vector<Capture> captures;
        size_t first = 0;  // captures before this one are complete
        // The member whose bytes go to `out` as they come.
        const mscabd_file* streamed = nullptr;
        PieceWriter* out = nullptr;

        static bool Sink(void* context, const unsigned char* data, size_t size) {
            auto* pass = static_cast<Pass*>(context);
            const u64 from = pass->position;
            const u64 to = from + size;
            for (size_t i = pass->first; i < pass->captures.size(); ++i) {
                Capture& c = pass->captures[i];
                const u64 cStart = c.file->offset;
                const u64 cEnd = cStart + c.file->length;
                if (cStart >= to) break;
                if (cEnd <= from) continue;
                const u64 a = std::max(cStart, from);
                const u64 b = std::min(cEnd, to);
                if (c.data.empty()) c.data.reserve(c.file->length);
                c.data.append(reinterpret_cast<const char*>(data + (a - from)),
                              static_cast<size_t>(b - a));
            }
            while (pass->first < pass->captures.size() &&
                   u64{pass->captures[pass->first].file->offset} +
                           pass->captures[pass->first].file->length <=
                       to) {
                ++pass->first;
            }
            if (pass->out) {
                const u64 sStart = pass->streamed->offset;
                const u64 sEnd = sStart + pass->streamed->length;
                const u64 a = std::max(sStart, from);
                const u64 b = std::min(sEnd, to);
                if (a < b && !pass->out->Put(reinterpret_cast<const char*>(data + (a - from)),
                                             static_cast<size_t>(b - a))) {
                    return false;
                }
            }
            pass->position = to;
            return true;
        }
    };

    // Where a member that could not be decoded from this cabinet alone
    // continues: "" when it lies wholly in this cabinet. The folder a
    // cabinet shares with the next is its last one, whose last block is
    // split between the two; the one shared with the previous cabinet is
    // its first, which libmspack refuses before decoding anything.
    std::string ContinuedIn(const mscabd_file* member, bool decodedNothing) const {
        const mscabd_folder* last = cab_->folders;
        while (last && last->next) last = last->next;
        const auto other = [](const char* name) {
            return name ? " (" + Narrow(FromUtf8(name)) + ")" : std::string();
        };
        if ((cab_->flags & MSCAB_HDR_NEXTCAB) && member->folder == last) {
            return "continues in the next cabinet of its set" + other(cab_->nextname);
        }
        if ((cab_->flags & MSCAB_HDR_PREVCAB) && member->folder == cab_->folders &&
            decodedNothing) {
            return "continues from the previous cabinet of its set" + other(cab_->prevname);
        }
        return std::string();
    }

    // Decodes from where the decoder stands (or the folder's start) to the
    // end of `member`: keeping it in `data` when `keep`, passing its bytes to
    // `out` when given, and keeping what it passes over near its end.
    u32 Decode(const mscabd_file* member, bool keep, PieceWriter* out, std::string* data,
               std::string* reason) {
        if (member->length == 0) return 0;
        if (broken_) {
            *reason = "cabinet decoding failed earlier";
            return err::kInvalidData;
        }

        const u64 end = u64{member->offset} + member->length;
        u64 start = position_;
        if (folder_ != member->folder || position_ > member->offset) {
            start = 0;
            ++stats_.folderRestarts;
        }

        // What this pass keeps: the member asked for, and the members it
        // passes over near its end that are small enough to hold.
        Pass pass;
        pass.position = start;
        if (out) {
            pass.streamed = member;
            pass.out = out;
        }
        for (const mscabd_file* f = cab_->files; f; f = f->next) {
            if (f->folder != member->folder || f->length == 0) continue;
            const u64 fEnd = u64{f->offset} + f->length;
            const bool wanted = f == member;
            const bool nearby = !wanted && f->offset >= start && fEnd <= end &&
                                f->length <= kRetainBudget && fEnd + kRetainBudget > end &&
                                !retained_.count(f);
            if ((wanted && keep) || nearby) pass.captures.push_back({f, std::string()});
        }
        std::sort(
            pass.captures.begin(), pass.captures.end(),
            [](const Capture& a, const Capture& b) { return a.file->offset < b.file->offset; });

        // libmspack decodes one file at a time; a stand-in file spanning
        // from where the decoder stands to the end of the member makes it
        // hand over every byte in between.
        mscabd_file span{};
        span.filename = const_cast<char*>("span");
        span.folder = member->folder;
        span.offset = static_cast<unsigned int>(start);
        span.length = static_cast<unsigned int>(end - start);

        sys_.sink = &Pass::Sink;
        sys_.sinkContext = &pass;
        MspackSaid();
        const int result = cabd_->extract(cabd_, &span, kOutputName);
        const std::string said = MspackSaid();
        sys_.sink = nullptr;
        sys_.sinkContext = nullptr;
        stats_.decodedBytes += pass.position - start;

        if (result != MSPACK_ERR_OK || pass.position != end) {
            // The decoder is sound when only the destination failed; the
            // next decode restarts the folder if it must.
            if (out && out->Error()) {
                *reason = "cannot write the destination (" + std::to_string(out->Error()) + ")";
                return out->Error();
            }
            broken_ = true;
            if (input_->Error()) {
                *reason = "cannot read the cabinet (" + std::to_string(input_->Error()) + ")";
                return input_->Error();
            }
            const std::string continued = ContinuedIn(member, pass.position == start);
            if (!continued.empty()) {
                *reason = Narrow(Name(member)) + " " + continued + "; expand reads one cabinet";
                return err::kInvalidData;
            }
            *reason = "cannot decode " + Narrow(Name(member)) + ": " +
                      (result != MSPACK_ERR_OK ? MspackError(result) : "data ends early") + said;
            return err::kInvalidData;
        }
        folder_ = member->folder;
        position_ = end;

        for (Capture& c : pass.captures) {
            if (c.data.size() != c.file->length) continue;
            if (c.file == member) {
                *data = c.data;
            }
            retainedBytes_ += c.data.size();
            retained_[c.file] = std::move(c.data);
        }
        if (keep && data->size() != member->length) {
            *reason = "member length mismatch";
            return err::kInvalidData;
        }
        // Keep what lies nearest to the decoder's position.
        while (retainedBytes_ > kRetainBudget && !retained_.empty()) {
            auto farthest = std::min_element(
                retained_.begin(), retained_.end(),
                [](const auto& a, const auto& b) { return a.first->offset < b.first->offset; });
            retainedBytes_ -= farthest->second.size();
            retained_.erase(farthest);
        }
        return 0;
    }

    std::unique_ptr<Input> input_;
    ICodePage* codepage_ = nullptr;
    MemSystem sys_;
    mscab_decompressor* cabd_ = nullptr;
    mscabd_cabinet* cab_ = nullptr;
    const mscabd_folder* folder_ = nullptr;
    u64 position_ = 0;
    bool broken_ = false;
    std::map<const mscabd_file*, std::string> retained_;
    size_t retainedBytes_ = 0;
};

// The last cabinet read, kept with its key: the cabinet's path on the drive
// namespace and the file system's stamp for it, which names the very file
// and changes with its content. Without a stamp nothing is kept.
struct Cache {
    std::mutex mutex;
    std::string key;
    std::unique_ptr<CabinetSession> session;
    ExpandCacheStats totals;  // of sessions already dropped
    u64 cabinetReads = 0;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

std::string CacheKey(const std::wstring& path, const std::string& stamp) {
    std::wstring upper = path;
    for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    return Narrow(upper) + '\n' + stamp;
}

void AddStats(ExpandCacheStats& to, const ExpandCacheStats& from) {
    to.folderRestarts += from.folderRestarts;
    to.decodedBytes += from.decodedBytes;
    to.retainedHits += from.retainedHits;
}

void DropSession(Cache& cache) {
    if (cache.session) AddStats(cache.totals, cache.session->stats_);
    cache.session.reset();
    cache.key.clear();
}

// ---------------------------------------------------------------------------
// The two command forms

u32 ReadSource(FileAccess& files, const std::wstring& path, std::string* bytes,
               std::string* reason) {
    NodeInfo info;
    u32 code = files.Stat(path, &info);
    if (code == 0 && info.directory) code = err::kFileNotFound;
    if (code == 0) code = files.ReadFile(path, bytes);
    if (code != 0) *reason = "cannot read " + Narrow(path) + " (" + std::to_string(code) + ")";
    return code;
}

// The cabinet as libmspack's input: read on demand where the file system
// can read ranges, else whole.
u32 OpenSource(FileAccess& files, const std::wstring& path, std::unique_ptr<Input>* input,
               std::string* reason) {
    NodeInfo info;
    u32 code = files.Stat(path, &info);
    if (code == 0 && info.directory) code = err::kFileNotFound;
    if (code == 0) {
        std::string probe;
        code = files.ReadRange(path, 0, 0, &probe);
        if (code == 0) {
            *input = std::make_unique<Input>(files, path, info.size);
            return 0;
        }
        if (code == err::kNotSupported) {
            std::string bytes;
            code = files.ReadFile(path, &bytes);
            if (code == 0) {
                *input = std::make_unique<Input>(std::move(bytes));
                return 0;
            }
        }
    }
    *reason = "cannot read " + Narrow(path) + " (" + std::to_string(code) + ")";
    return code;
}

u32 WriteDestination(FileAccess& files, const std::wstring& path, const std::string& data,
                     std::string* reason) {
    NodeInfo info;
    if (files.Stat(path, &info) == 0 && info.directory) {
        *reason = Narrow(path) + " is a folder";
        return err::kAccessDenied;
    }
    const u32 code = files.WriteFile(path, data);
    if (code != 0) *reason = "cannot write " + Narrow(path) + " (" + std::to_string(code) + ")";
    return code;
}

// Writes `member` to `destination`: a small one decoded whole, a large one
// checked first and then decoded again straight into the file. `unchanged`
// tells whether the cabinet is still the version being read; it is asked
// after the check, before anything is written, and after the write.
u32 WriteMember(FileAccess& files, CabinetSession& session, const mscabd_file* member,
                const std::wstring& cabinet, const std::wstring& destination,
                const std::function<bool()>& unchanged, std::string* reason) {
    const auto changed = [&] {
        *reason = Narrow(cabinet) + " changed while it was read";
        return err::kInvalidData;
    };
    std::string data;
    if (member->length <= kWholeMember) {
        if (u32 code = session.Extract(member, &data, reason)) return code;
        if (!unchanged()) return changed();
        return WriteDestination(files, destination, data, reason);
    }
    NodeInfo info;
    if (files.Stat(destination, &info) == 0 && info.directory) {
        *reason = Narrow(destination) + " is a folder";
        return err::kAccessDenied;
    }
    if (u32 code = session.Check(member, reason)) return code;
    if (!unchanged()) return changed();
    PieceWriter out(files, destination);
    u32 code = session.ExtractInPieces(member, out, reason);
    if (code == err::kNotSupported && out.Started()) {
        // The file system cannot add to this file in place (a compressed
        // file on NTFS): it is written whole after all.
        if (u32 again = session.Extract(member, &data, reason)) return again;
        code = WriteDestination(files, destination, data, reason);
    } else if (code != 0 && out.Started()) {
        *reason += "; " + Narrow(destination) + " is left incomplete";
    }
    if (code == 0 && !unchanged()) return changed();
    return code;
}

bool StartsWith(const std::string& bytes, const char* magic, size_t size) {
    return bytes.size() >= size && std::memcmp(bytes.data(), magic, size) == 0;
}

constexpr char kCabinetMagic[] = {'M', 'S', 'C', 'F'};
constexpr char kSzddMagic[] = {'S', 'Z', 'D', 'D', '\x88', '\xF0', '\x27', '\x33'};

struct SzddOutput {
    std::string data;
    static bool Sink(void* context, const unsigned char* bytes, size_t size) {
        static_cast<SzddOutput*>(context)->data.append(reinterpret_cast<const char*>(bytes), size);
        return true;
    }
};

u32 ExpandSzdd(std::string bytes, std::string* data, std::string* reason) {
    Input input(std::move(bytes));
    MemSystem sys;
    InitSystem(sys, &input);
    SzddOutput output;
    sys.sink = &SzddOutput::Sink;
    sys.sinkContext = &output;
    msszdd_decompressor* szddd = mspack_create_szdd_decompressor(&sys.base);
    if (!szddd) {
        *reason = "out of memory";
        return err::kNotEnoughMemory;
    }
    u32 code = 0;
    MspackSaid();
    msszddd_header* header = szddd->open(szddd, kInputName);
    if (!header) {
        *reason = "not a readable SZDD file (" + MspackError(szddd->last_error(szddd)) + ")" +
                  MspackSaid();
        code = err::kInvalidData;
    } else {
        const int result = szddd->extract(szddd, header, kOutputName);
        // SZDD has no checksum; its stated length is the check.
        if (result != MSPACK_ERR_OK) {
            *reason = "cannot decode SZDD data: " + MspackError(result) + MspackSaid();
            code = err::kInvalidData;
        } else if (static_cast<off_t>(output.data.size()) != header->length) {
            *reason = "SZDD data ends early";
            code = err::kInvalidData;
        }
        szddd->close(szddd, header);
    }
    mspack_destroy_szdd_decompressor(szddd);
    if (code == 0) *data = std::move(output.data);
    return code;
}

// "source" "destination file": a one-member cabinet or an SZDD file.
u32 ExpandSingleFile(FileAccess& files, const std::wstring& source, const std::wstring& destination,
                     ICodePage* codepage, std::string* reason) {
    std::unique_ptr<Input> input;
    if (u32 code = OpenSource(files, source, &input, reason)) return code;
    char magic[sizeof kSzddMagic] = {};
    const long got = input->Read(0, magic, sizeof magic);
    if (got < 0) {
        *reason = "cannot read " + Narrow(source) + " (" + std::to_string(input->Error()) + ")";
        return input->Error();
    }
    const std::string head(magic, static_cast<size_t>(got));
    std::string data;
    if (StartsWith(head, kCabinetMagic, sizeof kCabinetMagic)) {
        CabinetSession session(std::move(input), codepage);
        if (u32 code = session.Open(reason)) return code;
        const mscabd_file* only = session.Cabinet()->files;
        if (!only || only->next) {
            *reason = "the cabinet does not hold exactly one file";
            return err::kInvalidData;
        }
        // Nothing of a single file is kept for a later command, so no
        // stamp is held: the cabinet's block checksums check what was read.
        return WriteMember(
            files, session, only, source, destination, [] { return true; }, reason);
    }
    if (StartsWith(head, kSzddMagic, sizeof kSzddMagic)) {
        // SZDD files are small (the format has a 4 KiB window and no
        // blocks) and are decoded whole.
        std::string bytes;
        if (u32 code = ReadSource(files, source, &bytes, reason)) return code;
        if (u32 code = ExpandSzdd(std::move(bytes), &data, reason)) return code;
    } else {
        // A plain file would be copied by Windows' expand; a damaged one
        // must not end up as a system file, so only known forms are taken.
        *reason = Narrow(source) + " is not a compressed file";
        return err::kInvalidData;
    }
    return WriteDestination(files, destination, data, reason);
}

// "cabinet" -F:name "destination folder".
u32 ExpandFromCabinet(FileAccess& files, const std::wstring& cabinet, const std::wstring& name,
                      const std::wstring& folder, ICodePage* codepage, std::string* reason) {
    NodeInfo info;
    if (files.Stat(folder, &info) != 0 || !info.directory) {
        *reason = "destination folder " + Narrow(folder) + " not found";
        return err::kPathNotFound;
    }
    std::wstring destination = folder;
    if (destination.back() != L'\\') destination += L'\\';
    destination += name;

    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);

    std::string stamp;
    const bool stamped = files.FileStamp(cabinet, &stamp);
    const std::string key = stamped ? CacheKey(cabinet, stamp) : std::string();
    std::unique_ptr<CabinetSession> local;
    CabinetSession* session = nullptr;
    if (stamped && cache.session && cache.key == key) {
        session = cache.session.get();
    } else {
        DropSession(cache);
        std::unique_ptr<Input> input;
        if (u32 code = OpenSource(files, cabinet, &input, reason)) return code;
        ++cache.cabinetReads;
        local = std::make_unique<CabinetSession>(std::move(input), codepage);
        if (u32 code = local->Open(reason)) {
            AddStats(cache.totals, local->stats_);
            return code;
        }
        session = local.get();
    }
    // The member by its name after the last separator. One stored with a
    // folder part is refused rather than placed: only flat names are what
    // a service-pack cabinet holds.
    const mscabd_file* member = nullptr;
    const mscabd_file* withPath = nullptr;
    for (const mscabd_file* f = session->Cabinet()->files; f; f = f->next) {
        const std::wstring full = session->Name(f);
        if (!SameName(AfterLastSeparator(full), name)) continue;
        if (SameName(full, name)) {
            member = f;
            break;
        }
        if (!withPath) withPath = f;
    }
    if (!member) {
        if (withPath) {
            *reason = "member " + Narrow(session->Name(withPath)) + " has a folder part";
            return err::kInvalidName;
        }
        *reason = Narrow(name) + " is not in " + Narrow(cabinet);
        return err::kFileNotFound;
    }

    // The cabinet is read as it is decoded: what was read is one version of
    // it only if the stamp held meanwhile. Kept for the next run only then.
    bool held = stamped;
    const auto unchanged = [&] {
        std::string after;
        held = held && files.FileStamp(cabinet, &after) && after == stamp;
        return held || !stamped;
    };
    const u32 code = WriteMember(files, *session, member, cabinet, destination, unchanged, reason);
    if (local) {
        if (code == 0 && held) {
            cache.session = std::move(local);
            cache.key = key;
        } else {
            AddStats(cache.totals, local->stats_);
        }
    } else if (code != 0) {
        // A decoder that failed once is not trusted again.
        DropSession(cache);
    }
    return code;
}

}  // namespace

std::wstring CabinetMemberName(const std::string& raw, bool utf8, ICodePage* codepage) {
    if (utf8) return WideFromUtf8Replacing(raw);
    if (codepage) return codepage->AnsiToWide(raw);
    std::wstring out;
    for (unsigned char c : raw) out.push_back(static_cast<wchar_t>(c));
    return out;
}

bool TakesCabinetMember(const std::vector<std::wstring>& args) {
    return args.size() == 3 && !LooksLikeSwitch(args[0]) && !LooksLikeSwitch(args[2]) &&
           args[1].size() > 3 && args[1][0] == L'-' && std::towupper(args[1][1]) == L'F' &&
           args[1][2] == L':';
}

u32 RunExpandTool(FileAccess& files, const std::wstring& parameters, std::string* reason,
                  ICodePage* codepage) {
    std::string ignored;
    std::string& why = reason ? *reason : ignored;
    why.clear();
    const std::vector<std::wstring> args = SplitCommandLine(parameters);
    if (args.size() == 2 && !LooksLikeSwitch(args[0]) && !LooksLikeSwitch(args[1])) {
        return ExpandSingleFile(files, args[0], args[1], codepage, &why);
    }
    if (TakesCabinetMember(args)) {
        const std::wstring name = args[1].substr(3);
        if (!IsPlainFileName(name)) {
            why = "-F: needs one plain file name";
            return err::kInvalidParameter;
        }
        return ExpandFromCabinet(files, args[0], name, args[2], codepage, &why);
    }
    why =
        "usage: expand \"source\" \"destination file\" | "
        "expand \"cabinet\" -F:name \"destination folder\"";
    return err::kInvalidParameter;
}

void ReleaseExpandCache() {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    DropSession(cache);
}

ExpandCacheStats GetExpandCacheStats() {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    ExpandCacheStats out = cache.totals;
    if (cache.session) AddStats(out, cache.session->stats_);
    out.cabinetReads = cache.cabinetReads;
    return out;
}

void ClearExpandCache() {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    DropSession(cache);
    cache.totals = {};
    cache.cabinetReads = 0;
}

}  // namespace morlit::posix
