// Control-set template rewriting: the registry template beside the program
// names its control set "ControlSet001"; the import file gets the number of
// the target hive's default control set instead.
#include <cstdio>
#include <cstring>
#include <cwctype>

#include "ui/MorlitDlg.h"

namespace morlit {

namespace {

constexpr char kPattern[] = "ControlSet001";
constexpr size_t kPatternLength = 13;
constexpr size_t kDigitsAt = 10;
// One read of the template, as fgets takes it: at most 255 bytes and the
// terminator, into a buffer cleared before each read.
constexpr int kPieceCount = 256;
constexpr size_t kPieceBuffer = 260;

bool MatchesPatternAt(const std::string& text, size_t at) {
    if (text.size() - at < kPatternLength) return false;
    for (size_t k = 0; k < kPatternLength; ++k) {
        char c = text[at + k];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        char p = kPattern[k];
        if (p >= 'a' && p <= 'z') p = static_cast<char>(p - 'a' + 'A');
        if (c != p) return false;
    }
    return true;
}

// Reads one whole line of the template, however long: its bytes up to the
// first NUL (a NUL ends the line's text, the rest of that line is dropped),
// without the line end. False when nothing was left to read.
bool ReadWholeLine(IFileStream& in, std::string& line) {
    line.clear();
    bool readAny = false;
    bool cut = false;
    for (;;) {
        char piece[kPieceBuffer];
        std::memset(piece, 0, sizeof piece);
        if (!in.Gets(piece, kPieceCount)) return readAny;
        readAny = true;
        // The buffer was cleared, so an LF anywhere in it was read now; it
        // is the last byte read and ends the line.
        const char* lf = static_cast<const char*>(std::memchr(piece, '\n', kPieceCount));
        const size_t textLength = std::strlen(piece);
        const size_t readLength =
            lf ? static_cast<size_t>(lf - piece) + 1 : static_cast<size_t>(kPieceCount - 1);
        if (!cut) {
            line.append(piece, textLength);
            // A NUL before the end of what was read: the rest is dropped.
            if (textLength < readLength && !(lf == nullptr && in.Eof())) cut = true;
        }
        if (lf || in.Eof()) break;
    }
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return true;
}

bool IsTrimmed(wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; }

}  // namespace

std::wstring CMorlitDlg::RewriteControlSetTemplate(u32 controlSetNumber) {
    bool written = false;
    return RewriteControlSetTemplate(controlSetNumber, &written);
}

std::wstring CMorlitDlg::RewriteControlSetTemplate(u32 controlSetNumber, bool* written) {
    *written = false;
    const std::wstring directory = ExecutableDirectory();
    if (directory.empty()) return {};
    const std::wstring templatePath = directory + L"Dravmont.bin";
    const std::wstring outputPath = directory + L"Morlit.reg";

    IFiles& files = *m_host.files;
    std::unique_ptr<IFileStream> in = files.OpenStream(templatePath, "r");
    // Binary output: the CR LF written below must be the only line end.
    std::unique_ptr<IFileStream> out = files.OpenStream(outputPath, "wb");

    bool ok = in != nullptr && out != nullptr;
    if (ok) {
        // Three characters hold the number; larger numbers never get here
        // (the caller accepts 1 to 999 only), but keep the field bounded.
        char digits[16];
        std::snprintf(digits, sizeof digits, "%03d", static_cast<int>(controlSetNumber % 1000));

        std::string line;
        while (ok && ReadWholeLine(*in, line)) {
            for (size_t i = 0; i < line.size(); ++i) {
                if (MatchesPatternAt(line, i)) {
                    std::memcpy(&line[i + kDigitsAt], digits, 3);
                    break;
                }
            }
            std::wstring text = m_host.codepage->AnsiToWide(line);
            size_t first = 0;
            while (first < text.size() && IsTrimmed(text[first])) ++first;
            size_t last = text.size();
            while (last > first && IsTrimmed(text[last - 1])) --last;
            text = text.substr(first, last - first) + L"\r\n";

            // Room for every character as a double-byte one.
            const u32 capacity = static_cast<u32>(text.size() * 2 + 2);
            std::string bytes;
            ok = m_host.codepage->WideToAnsi(text, capacity, bytes) && out->Puts(bytes.c_str());
            if (in->Eof()) break;
        }
        // Reading stops at the end of the template or at a read error; only
        // the end means the whole template reached the import file.
        if (ok && !in->Eof()) ok = false;
    }

    if (in) in->Close();
    if (out && !out->Close()) ok = false;
    *written = ok;
    return outputPath;
}

}  // namespace morlit
