#include "platform/crt_stream.h"

#include <cstring>

namespace morlit {

std::unique_ptr<CrtStream> CrtStream::ForReading(std::string content, bool text) {
    std::unique_ptr<CrtStream> s(new CrtStream());
    s->data_ = std::move(content);
    s->text_ = text;
    if (text) {
        // Ctrl-Z ends a text-mode file as if the file ended there.
        const auto z = s->data_.find('\x1A');
        if (z != std::string::npos) s->data_.resize(z);
    }
    return s;
}

std::unique_ptr<CrtStream> CrtStream::ForWriting(Commit commit, bool text) {
    std::unique_ptr<CrtStream> s(new CrtStream());
    s->writing_ = true;
    s->text_ = text;
    s->commit_ = std::move(commit);
    return s;
}

CrtStream::~CrtStream() { Close(); }

bool CrtStream::IsBinaryMode(const char* mode) { return std::strchr(mode, 'b') != nullptr; }

int CrtStream::ReadChar() {
    if (pos_ >= data_.size()) {
        eof_ = true;
        return -1;
    }
    const unsigned char c = static_cast<unsigned char>(data_[pos_++]);
    if (text_ && c == '\r' && pos_ < data_.size() && data_[pos_] == '\n') {
        ++pos_;
        return '\n';
    }
    return c;
}

bool CrtStream::Gets(char* buffer, int count) {
    if (writing_ || closed_ || count <= 0) return false;
    int n = 0;
    while (n < count - 1) {
        const int c = ReadChar();
        if (c < 0) break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    return n > 0;
}

bool CrtStream::Puts(const char* text) {
    if (!writing_ || closed_) return false;
    for (const char* p = text; *p; ++p) {
        if (text_ && *p == '\n') data_.push_back('\r');
        data_.push_back(*p);
    }
    return true;
}

bool CrtStream::Eof() { return eof_; }

bool CrtStream::Close() {
    if (closed_) return true;
    closed_ = true;
    if (writing_ && commit_) return commit_(data_);
    return true;
}

}  // namespace morlit
