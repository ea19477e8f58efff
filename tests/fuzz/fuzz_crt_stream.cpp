// The CRT text stream and the import file made from a registry template: an
// input is [buffer size][mode][file bytes]. The bytes are read back with
// Gets in both modes and must come out as the text-mode rules give them;
// then they serve as the template rewritten on the scripted host.
#include <cstring>

#include "platform/crt_stream.h"
#include "tests/fuzz/fuzz_util.h"
#include "tests/support/script_host.h"
#include "ui/MorlitDlg.h"

namespace {

std::string TextModeView(const std::string& raw) {
    std::string out;
    const size_t end = std::min(raw.find('\x1A'), raw.size());
    for (size_t i = 0; i < end; ++i) {
        if (raw[i] == '\r' && i + 1 < end && raw[i + 1] == '\n') continue;
        out.push_back(raw[i]);
    }
    return out;
}

}  // namespace

MORLIT_FUZZ_TARGET(crt_stream) {
    if (size < 2) return 0;
    const int count = data[0];
    const bool text = (data[1] & 1) == 0;
    const std::string content(reinterpret_cast<const char*>(data) + 2, size - 2);

    auto in = morlit::CrtStream::ForReading(content, text);
    std::string got;
    std::vector<char> buffer(count + 1, '\x7F');
    while (in->Gets(buffer.data(), count)) {
        // Embedded NULs cut what a C caller sees; count what was stored.
        MORLIT_FUZZ_CHECK(buffer[count] == '\x7F');  // nothing past the buffer
        got += buffer.data();
    }
    if (count >= 2 && content.find('\0') == std::string::npos) {
        MORLIT_FUZZ_CHECK(got == (text ? TextModeView(content) : content));
    }
    MORLIT_FUZZ_CHECK(in->Eof() || count < 2);
    in->Close();

    std::string written;
    auto out = morlit::CrtStream::ForWriting(
        [&](const std::string& bytes) {
            written = bytes;
            return true;
        },
        text);
    out->Puts(got.c_str());
    MORLIT_FUZZ_CHECK(out->Close());

    // The template rewrite, for a control set chosen by the mode byte.
    morlit::test::ScriptHost sh;
    morlit::CMorlitDlg dlg(sh.host);
    dlg.m_strVhdPath = L"C:\\Images\\xp.vhd";
    sh.AddDirectory(L"C:\\Tools");
    sh.AddFile(L"C:\\Tools\\Dravmont.bin", content);
    bool ok = false;
    dlg.RewriteControlSetTemplate(data[1] >> 1, &ok);
    return 0;
}
