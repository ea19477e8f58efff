// The ANSI code page of the Linux host: CP932, as on a Japanese Windows.
#pragma once

#include "platform/host.h"

namespace morlit::posix {

class PosixCodePage : public ICodePage {
  public:
    explicit PosixCodePage(IErrors& errors) : errors_(errors) {}
    // Bytes that are no CP932 character become U+30FB, as Windows maps them.
    std::wstring AnsiToWide(const std::string& text) override;
    // Characters CP932 lacks become "?".
    bool WideToAnsi(const std::wstring& text, u32 capacity, std::string& out) override;

  private:
    IErrors& errors_;
};

}  // namespace morlit::posix
