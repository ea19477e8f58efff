// A C runtime file stream over a byte buffer, with the Windows runtime's
// text-mode rules: reading "r" turns CR LF into LF and stops at a Ctrl-Z
// byte; writing "w" turns LF into CR LF; a "b" in the mode turns both off.
// Hosts without that runtime (Linux, the tests) build their streams on it.
#pragma once

#include <functional>
#include <string>

#include "platform/host.h"

namespace morlit {

class CrtStream : public IFileStream {
  public:
    // commit: called once with the written bytes when a writing stream is
    // closed; its result is the result of Close.
    using Commit = std::function<bool(const std::string& bytes)>;

    // A stream that reads `content`.
    static std::unique_ptr<CrtStream> ForReading(std::string content, bool text);
    // A stream that collects writes and hands them to `commit` on Close.
    static std::unique_ptr<CrtStream> ForWriting(Commit commit, bool text);

    ~CrtStream() override;
    bool Gets(char* buffer, int count) override;
    bool Puts(const char* text) override;
    bool Eof() override;
    bool Close() override;

    // True for a mode with "b" in it.
    static bool IsBinaryMode(const char* mode);

  private:
    CrtStream() = default;
    int ReadChar();  // the next byte after translation, or -1 at the end

    std::string data_;
    size_t pos_ = 0;
    bool text_ = true;
    bool writing_ = false;
    bool eof_ = false;
    bool closed_ = false;
    Commit commit_;
};

}  // namespace morlit
