#include "platform/posix/registry/reg_import.h"

#include <cwctype>

#include "platform/constants.h"
#include "platform/posix/disk/byte_order.h"
#include "platform/posix/disk/charset.h"

namespace morlit::posix {

namespace {

// Windows allows key names of up to 255 characters.
constexpr size_t kMaxKeyName = 255;

std::wstring Lower(std::wstring s) {
    for (auto& c : s) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return s;
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

void AppendUtf16(std::string* out, std::wstring::value_type c) {
    auto unit = [out](u32 u) {
        out->push_back(static_cast<char>(u & 0xFF));
        out->push_back(static_cast<char>(u >> 8));
    };
    const u32 cp = static_cast<u32>(c);
    if (cp >= 0x10000) {
        unit(0xD800 + ((cp - 0x10000) >> 10));
        unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
        unit(cp);
    }
}

std::string Utf16Z(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) AppendUtf16(&out, c);
    out.append(2, '\0');
    return out;
}

// Splits the script into lines at CR LF, LF or a lone CR.
template <typename Str>
std::vector<Str> SplitLines(const Str& text) {
    std::vector<Str> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The parser: one explicit state per step of a line, as regedit's own
// parser works, fed one decoded line at a time.
class Parser {
  public:
    Parser(std::vector<std::wstring> lines, std::vector<bool> undecodable, std::wstring mount)
        : lines_(std::move(lines)),
          undecodable_(std::move(undecodable)),
          mount_(Lower(mount)),
          outside_("key outside HKEY_LOCAL_MACHINE\\" + std::string(mount.begin(), mount.end()) +
                   " refused") {}

    RegScript Run() {
        State state = State::Header;
        while (state != State::Done) {
            switch (state) {
                case State::Header:
                    state = HeaderState();
                    break;
                case State::Win31Line:
                    state = Win31LineState();
                    break;
                case State::LineStart:
                    state = LineStartState();
                    break;
                case State::KeyName:
                    state = KeyNameState();
                    break;
                case State::DefaultValueName:
                    state = DefaultValueNameState();
                    break;
                case State::QuotedValueName:
                    state = QuotedValueNameState();
                    break;
                case State::DataStart:
                    state = DataStartState();
                    break;
                case State::DataType:
                    state = DataTypeState();
                    break;
                case State::StringData:
                    state = StringDataState();
                    break;
                case State::DwordData:
                    state = DwordDataState();
                    break;
                case State::HexData:
                    state = HexDataState();
                    break;
                case State::HexMultiline:
                    state = HexMultilineState();
                    break;
                case State::SetValue:
                    state = SetValueState();
                    break;
                case State::DeleteValue:
                    state = DeleteValueState();
                    break;
                case State::Done:
                    break;
            }
        }
        if (!script_.errors.empty()) script_.ops.clear();
        return std::move(script_);
    }

  private:
    enum class State {
        Header,
        Win31Line,
        LineStart,
        KeyName,
        DefaultValueName,
        QuotedValueName,
        DataStart,
        DataType,
        StringData,
        DwordData,
        HexData,
        HexMultiline,
        SetValue,
        DeleteValue,
        Done
    };
    enum class Version { Regedit4, Version5 };
    enum class KeyState { None, Open, Refused };

    // Moves to the next line; false at the end of the script.
    bool NextLine() {
        while (++index_ < lines_.size()) {
            line_ = lines_[index_];
            pos_ = 0;
            if (!undecodable_[index_]) return true;
            Error("the text is not valid in the ANSI code page");
        }
        return false;
    }
    int LineNumber() const { return static_cast<int>(index_) + 1; }
    void Error(const std::string& what) {
        script_.errors.push_back("line " + std::to_string(LineNumber()) + ": " + what);
    }
    // Refuses the value being read: regedit drops it with every line it has
    // read for it, so all of them are named.
    State RefuseValue(const std::string& what) {
        const int first = static_cast<int>(valueStart_) + 1;
        if (first < LineNumber()) {
            script_.errors.push_back("lines " + std::to_string(first) + "-" +
                                     std::to_string(LineNumber()) + ": " + what);
        } else {
            Error(what);
        }
        return State::LineStart;
    }
    void SkipBlanks() {
        while (pos_ < line_.size() && IsBlank(line_[pos_])) ++pos_;
    }
    // Only blanks or a comment may follow a complete item.
    bool RestIsEmpty() {
        SkipBlanks();
        return pos_ >= line_.size() || line_[pos_] == L';';
    }
    bool StartsWith(const wchar_t* word) const {
        size_t k = 0;
        for (; word[k]; ++k) {
            if (pos_ + k >= line_.size()) return false;
            if (std::towlower(static_cast<wint_t>(line_[pos_ + k])) !=
                std::towlower(static_cast<wint_t>(word[k])))
                return false;
        }
        return true;
    }

    // The header is the first line, blanks before it allowed, nothing
    // after it: regedit imports nothing from a file with any other.
    State HeaderState() {
        if (NextLine()) {
            SkipBlanks();
            const std::wstring head = line_.substr(pos_);
            if (head == L"REGEDIT4") {
                version_ = Version::Regedit4;
                return State::LineStart;
            }
            if (head == L"Windows Registry Editor Version 5.00") {
                version_ = Version::Version5;
                return State::LineStart;
            }
            if (head == L"REGEDIT") return State::Win31Line;
        }
        script_.errors.push_back(
            "the file is not a registry script (its first line is not REGEDIT4 or "
            "\"Windows Registry Editor Version 5.00\")");
        return State::Done;
    }

    // The Windows 3.1 format names keys of HKEY_CLASSES_ROOT only, always
    // outside the mount point; regedit ignores every other line.
    State Win31LineState() {
        while (NextLine()) {
            if (line_.compare(0, 17, L"HKEY_CLASSES_ROOT") == 0) {
                Error(outside_);
            }
        }
        return State::Done;
    }

    State LineStartState() {
        if (!NextLine()) return State::Done;
        SkipBlanks();
        if (pos_ >= line_.size()) return State::LineStart;
        const wchar_t c = line_[pos_];
        if (c == L';' || c == L'#') return State::LineStart;
        if (c == L'[') {
            ++pos_;
            return State::KeyName;
        }
        if (c == L'@') {
            ++pos_;
            return State::DefaultValueName;
        }
        if (c == L'"') {
            ++pos_;
            return State::QuotedValueName;
        }
        // Any other line is no key and no value: regedit passes over it and
        // imports the rest, and so does this reader.
        return State::LineStart;
    }

    State KeyNameState() {
        // Regedit passes over a key line without a closing ']' or with a
        // blank before the name, and keeps the key it had open: the values
        // after it go there.
        const size_t close = line_.rfind(L']');
        if (close == std::wstring::npos || close < pos_) return State::LineStart;
        if (pos_ < close && IsBlank(line_[pos_])) return State::LineStart;
        bool remove = false;
        if (pos_ < close && line_[pos_] == L'-') {
            remove = true;
            ++pos_;
            // A deletion whose name does not start at once closes the key
            // that was open and deletes nothing.
            if (pos_ >= close || (line_[pos_] != L'H' && line_[pos_] != L'h')) {
                key_ = KeyState::None;
                return State::LineStart;
            }
        }
        std::vector<std::wstring> parts;
        if (!ParseKeyPath(line_.substr(pos_, close - pos_), &parts)) {
            key_ = KeyState::Refused;
            return State::LineStart;
        }
        RegOp op;
        op.line = LineNumber();
        op.key = parts;
        if (remove) {
            if (parts.empty()) {
                Error("the mount point itself cannot be deleted");
            } else {
                op.kind = RegOpKind::DeleteKey;
                script_.ops.push_back(op);
            }
            key_ = KeyState::None;
            return State::LineStart;
        }
        op.kind = RegOpKind::CreateKey;
        script_.ops.push_back(op);
        keyPath_ = parts;
        key_ = KeyState::Open;
        return State::LineStart;
    }

    // HKEY_LOCAL_MACHINE\<mount>\a\b -> {a, b}; anything else is refused.
    bool ParseKeyPath(std::wstring path, std::vector<std::wstring>* parts) {
        // Windows creates "a\b\" (and "a\b\\") as "a\b".
        while (!path.empty() && path.back() == L'\\') path.pop_back();
        std::vector<std::wstring> all;
        size_t start = 0;
        for (;;) {
            const size_t slash = path.find(L'\\', start);
            all.push_back(path.substr(
                start, slash == std::wstring::npos ? std::wstring::npos : slash - start));
            if (slash == std::wstring::npos) break;
            start = slash + 1;
        }
        if (all.size() < 2 || Lower(all[0]) != L"hkey_local_machine" || Lower(all[1]) != mount_) {
            Error(outside_);
            return false;
        }
        for (size_t i = 2; i < all.size(); ++i) {
            if (all[i].empty() || all[i].size() > kMaxKeyName) {
                Error("invalid key name");
                return false;
            }
        }
        parts->assign(all.begin() + 2, all.end());
        return true;
    }

    State DefaultValueNameState() {
        valueStart_ = index_;
        valueName_.clear();
        return AfterValueName();
    }

    State QuotedValueNameState() {
        valueStart_ = index_;
        if (const char* bad = ReadQuoted(&valueName_)) {
            Error(std::string("value name ") + bad);
            return State::LineStart;
        }
        return AfterValueName();
    }

    State AfterValueName() {
        SkipBlanks();
        if (pos_ >= line_.size() || line_[pos_] != L'=') {
            Error("'=' expected after the value name");
            return State::LineStart;
        }
        ++pos_;
        SkipBlanks();
        // Blanks at the end of the first line are no part of the data.
        while (line_.size() > pos_ && IsBlank(line_.back())) line_.pop_back();
        return State::DataStart;
    }

    // A quoted text from pos_ (after its opening quote) to its closing quote,
    // with regedit's escapes. Null, or why regedit refuses the text.
    const char* ReadQuoted(std::wstring* out) {
        out->clear();
        while (pos_ < line_.size()) {
            const wchar_t c = line_[pos_++];
            if (c == L'"') return nullptr;
            if (c != L'\\' || pos_ >= line_.size()) {
                out->push_back(c);
                continue;
            }
            const wchar_t e = line_[pos_++];
            switch (e) {
                case L'\\':
                    out->push_back(L'\\');
                    break;
                case L'"':
                    out->push_back(L'"');
                    break;
                case L'n':
                    out->push_back(L'\n');
                    break;
                case L'r':
                    out->push_back(L'\r');
                    break;
                case L'0':
                    // Regedit refuses a NUL written into a text.
                    return "with the escape \\0";
                default:
                    // An unknown escape stays as written.
                    out->push_back(L'\\');
                    out->push_back(e);
            }
        }
        return "without a closing quote";
    }

    State DataStartState() {
        if (pos_ < line_.size() && line_[pos_] == L'"') {
            ++pos_;
            return State::StringData;
        }
        if (pos_ < line_.size() && line_[pos_] == L'-') {
            ++pos_;
            return State::DeleteValue;
        }
        return State::DataType;
    }

    State DataTypeState() {
        if (StartsWith(L"dword:")) {
            pos_ += 6;
            type_ = kRegDword;
            return State::DwordData;
        }
        if (StartsWith(L"hex:")) {
            pos_ += 4;
            type_ = kRegBinary;
            data_.clear();
            return State::HexData;
        }
        if (StartsWith(L"hex(")) {
            pos_ += 4;
            u64 type = 0;
            size_t digits = 0;
            int d;
            while (pos_ < line_.size() && (d = HexDigit(line_[pos_])) >= 0) {
                type = type * 16 + static_cast<u64>(d);
                ++pos_;
                ++digits;
            }
            if (digits == 0 || digits > 8 || !StartsWith(L"):")) {
                Error("invalid hex(N) type");
                return State::LineStart;
            }
            pos_ += 2;
            type_ = static_cast<u32>(type);
            data_.clear();
            return State::HexData;
        }
        Error("unknown value type");
        return State::LineStart;
    }

    State StringDataState() {
        std::wstring text;
        if (const char* bad = ReadQuoted(&text)) {
            Error(std::string("string ") + bad);
            return State::LineStart;
        }
        if (!RestIsEmpty()) {
            Error("unexpected text after the string");
            return State::LineStart;
        }
        type_ = kRegSz;
        data_ = Utf16Z(text);
        return State::SetValue;
    }

    // Up to eight digits, blanks allowed before them; a comment alone
    // stands for 0, as in regedit.
    State DwordDataState() {
        SkipBlanks();
        const bool empty = pos_ >= line_.size();
        u32 value = 0;
        size_t digits = 0;
        int d;
        while (pos_ < line_.size() && (d = HexDigit(line_[pos_])) >= 0) {
            value = value * 16 + static_cast<u32>(d);
            ++pos_;
            ++digits;
        }
        if (empty || digits > 8 || !RestIsEmpty()) {
            Error("invalid dword value");
            return State::LineStart;
        }
        data_.assign(4, '\0');
        for (int i = 0; i < 4; ++i) data_[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        return State::SetValue;
    }

    // Comma-separated bytes, one line's worth; a backslash where a byte
    // could start continues the data on the next line. Regedit drops the
    // value at anything else: a backslash straight after a byte, blanks
    // before a comma, a byte above ff.
    State HexDataState() {
        for (;;) {
            if (pos_ >= line_.size()) return FinishHex();
            SkipBlanks();
            // Saturating: a long run of digits is refused below and must
            // not overflow on the way there.
            unsigned value = 0;
            size_t digits = 0;
            int d;
            while (pos_ < line_.size() && (d = HexDigit(line_[pos_])) >= 0) {
                value = value > 0xFF ? value : value * 16 + static_cast<unsigned>(d);
                ++pos_;
                ++digits;
            }
            if (digits == 0) {
                if (pos_ < line_.size() && line_[pos_] == L'\\') {
                    ++pos_;
                    if (!RestIsEmpty()) return RefuseValue("unexpected text after '\\'");
                    return State::HexMultiline;
                }
                if (pos_ < line_.size() && line_[pos_] == L';') return FinishHex();
                return RefuseValue("invalid hex data");
            }
            if (value > 0xFF) return RefuseValue("invalid hex data");
            data_.push_back(static_cast<char>(value));
            if (pos_ < line_.size() && line_[pos_] == L',') {
                ++pos_;
                continue;
            }
            if (RestIsEmpty()) return FinishHex();
            return RefuseValue("invalid hex data");
        }
    }

    // After a continuation: blank and comment lines are skipped; the data
    // goes on at a line that starts with a hex digit, and ends with the
    // script.
    State HexMultilineState() {
        while (NextLine()) {
            SkipBlanks();
            if (pos_ >= line_.size() || line_[pos_] == L';') continue;
            if (HexDigit(line_[pos_]) < 0) return RefuseValue("hex data expected");
            return State::HexData;
        }
        return FinishHex();
    }

    State FinishHex() {
        const bool text = type_ == kRegSz || type_ == kRegExpandSz || type_ == kRegMultiSz;
        if (!text || data_.empty()) return State::SetValue;
        // Strings written as hex follow the header: ANSI bytes under
        // REGEDIT4, UTF-16LE bytes under version 5.00 (whatever the file's
        // own encoding). Regedit ends them with a NUL where they lack one.
        if (version_ == Version::Regedit4) {
            if (data_.back() != '\0') data_.push_back('\0');
            std::string wide;
            if (!AnsiToUtf16Le(data_, &wide)) {
                return RefuseValue("hex string data is not valid in the ANSI code page");
            }
            data_ = wide;
        } else {
            if (data_.size() % 2) data_.push_back('\0');
            if (data_[data_.size() - 1] != '\0' || data_[data_.size() - 2] != '\0') {
                data_.append(2, '\0');
            }
        }
        return State::SetValue;
    }

    State SetValueState() {
        if (ValueHasKey()) {
            RegOp op;
            op.kind = RegOpKind::SetValue;
            op.key = keyPath_;
            op.name = valueName_;
            op.type = type_;
            op.data = data_;
            op.line = LineNumber();
            script_.ops.push_back(std::move(op));
        }
        return State::LineStart;
    }

    State DeleteValueState() {
        if (!RestIsEmpty()) {
            Error("unexpected text after '-'");
            return State::LineStart;
        }
        if (ValueHasKey()) {
            RegOp op;
            op.kind = RegOpKind::DeleteValue;
            op.key = keyPath_;
            op.name = valueName_;
            op.line = LineNumber();
            script_.ops.push_back(std::move(op));
        }
        return State::LineStart;
    }

    bool ValueHasKey() {
        if (key_ == KeyState::Open) return true;
        // Regedit has no key open here and drops the value: it is named as
        // well as the key line that was refused.
        RefuseValue(key_ == KeyState::None ? "value outside a key" : "value of a refused key");
        return false;
    }

    std::vector<std::wstring> lines_;
    std::vector<bool> undecodable_;
    std::wstring mount_;   // lower case
    std::string outside_;  // the error for a key outside the mount point
    size_t index_ = static_cast<size_t>(-1);
    std::wstring line_;
    size_t pos_ = 0;
    Version version_ = Version::Version5;
    KeyState key_ = KeyState::None;
    std::vector<std::wstring> keyPath_;
    std::wstring valueName_;
    size_t valueStart_ = 0;  // the line where the value being read starts
    u32 type_ = 0;
    std::string data_;
    RegScript script_;
};

std::wstring FromUtf32Le(const std::string& bytes) {
    std::wstring out;
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
        const u32 c = LoadLe32(bytes.data() + i);
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

}  // namespace

bool AnsiToUtf16Le(const std::string& ansi, std::string* utf16) {
    utf16->clear();
    return CharsetConverter("UTF-16LE", "CP932").Convert(ansi, utf16);
}

RegScript ParseRegScript(const std::string& bytes, const std::wstring& mount) {
    std::vector<std::wstring> lines;
    std::vector<bool> undecodable;
    if (bytes.size() >= 2 && static_cast<u8>(bytes[0]) == 0xFF &&
        static_cast<u8>(bytes[1]) == 0xFE) {
        // UTF-16LE after its byte-order mark; an odd last byte is dropped.
        std::string body = bytes.substr(2, (bytes.size() - 2) & ~static_cast<size_t>(1));
        std::string utf32;
        std::wstring text;
        if (CharsetConverter("UTF-32LE", "UTF-16LE").Convert(body, &utf32)) {
            text = FromUtf32Le(utf32);
        } else {
            RegScript bad;
            bad.errors.push_back("the UTF-16 text is not valid");
            return bad;
        }
        lines = SplitLines(text);
        undecodable.assign(lines.size(), false);
    } else {
        CharsetConverter cp932("UTF-32LE", "CP932");
        for (const std::string& raw : SplitLines(bytes)) {
            bool ascii = true;
            for (char c : raw) ascii = ascii && static_cast<u8>(c) < 0x80;
            if (ascii) {
                // Most scripts are plain ASCII: no converter needed.
                lines.emplace_back(raw.begin(), raw.end());
                undecodable.push_back(false);
                continue;
            }
            std::string utf32;
            const bool ok = cp932.Convert(raw, &utf32);
            lines.push_back(ok ? FromUtf32Le(utf32) : std::wstring());
            undecodable.push_back(!ok);
        }
    }
    return Parser(std::move(lines), std::move(undecodable), mount).Run();
}

}  // namespace morlit::posix
