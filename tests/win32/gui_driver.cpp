// Drives the real Morlit.exe from outside, as a user would, and checks what it
// shows through window messages: dialog templates, control IDs, texts,
// styles, enabled states, geometry in dialog units, the About entry, the
// file dialog, message boxes and a run up to the open of the image.
//
//   gui_driver main MORLIT_EXE IMAGE_PATH SHOT_DIR
//   gui_driver gate MORLIT_EXE SHOT_DIR     (the host must report Windows XP)
//
// Screenshots are written to SHOT_DIR as .bmp files. Exit code 0 when every
// check passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ui/resource.h"
#include "ui/texts.h"

namespace {

int failures = 0;

std::string Utf8(const std::wstring& s) {
    if (s.empty()) return {};
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n, nullptr, nullptr);
    return out;
}

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

template <typename T>
void CheckEq(const T& actual, const T& expected, const std::string& what) {
    Check(actual == expected, what);
}

void CheckText(const std::wstring& actual, const std::wstring& expected, const std::string& what) {
    Check(actual == expected, what + (actual == expected ? "" : " (got \"" + Utf8(actual) + "\")"));
}

std::string Hex(unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%X", v);
    return b;
}

// --- windows of the program under test ----------------------------------------

DWORD g_pid = 0;
HANDLE g_process = nullptr;

std::wstring ClassOf(HWND h) {
    wchar_t buf[256] = {};
    GetClassNameW(h, buf, 256);
    return buf;
}

std::wstring TextOf(HWND h) {
    // WM_GETTEXT with a time limit: the program may be inside a pause.
    wchar_t buf[1024] = {};
    DWORD_PTR result = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, 1024, (LPARAM)buf, SMTO_NORMAL, 10000, &result);
    return buf;
}

std::vector<HWND> TopWindows() {
    std::vector<HWND> out;
    EnumWindows(
        [](HWND h, LPARAM p) -> BOOL {
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            if (pid == g_pid && IsWindowVisible(h) && ClassOf(h) == L"#32770") {
                reinterpret_cast<std::vector<HWND>*>(p)->push_back(h);
            }
            return TRUE;
        },
        (LPARAM)&out);
    return out;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
    return out;
}

// Waits up to `ms` for a visible dialog of the program that matches.
HWND WaitWindow(const std::function<bool(HWND)>& match, DWORD ms = 20000) {
    const DWORD start = GetTickCount();
    do {
        for (HWND h : TopWindows()) {
            if (match(h)) return h;
        }
        Sleep(100);
    } while (GetTickCount() - start < ms);
    return nullptr;
}

HWND WaitCaption(const std::wstring& caption, DWORD ms = 20000) {
    return WaitWindow([&](HWND h) { return TextOf(h) == caption; }, ms);
}

// The text of a message box: its static control with text.
std::wstring MessageText(HWND box) {
    for (HWND c : Children(box)) {
        if (ClassOf(c) == L"Static" && !TextOf(c).empty()) return TextOf(c);
    }
    return {};
}

bool IsMessageBox(HWND h) {
    return GetDlgItem(h, IDC_STATIC_MESSAGE) == nullptr && GetDlgItem(h, 1000) == nullptr &&
           !MessageText(h).empty() && TextOf(h) == L"Morlit";
}

bool WaitGone(HWND h, DWORD ms = 20000) {
    const DWORD start = GetTickCount();
    while (IsWindow(h) && IsWindowVisible(h)) {
        if (GetTickCount() - start > ms) return false;
        Sleep(100);
    }
    return true;
}

void Click(HWND dialog, int id) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

void Key(WORD vk) {
    INPUT keys[2] = {};
    keys[0].type = keys[1].type = INPUT_KEYBOARD;
    keys[0].ki.wVk = keys[1].ki.wVk = vk;
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof(INPUT));
    Sleep(200);
}

// --- placement --------------------------------------------------------------------

// A window centred over `over` (the work area when null), kept inside the
// work area; a pixel of rounding either way.
void CheckCentred(HWND window, HWND over, const std::string& what) {
    RECT area = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT centre = area, r = {};
    if (over) GetWindowRect(over, &centre);
    GetWindowRect(window, &r);
    const int dx = (r.left + r.right) - (centre.left + centre.right);
    const int dy = (r.top + r.bottom) - (centre.top + centre.bottom);
    char where[96];
    std::snprintf(where, sizeof where, " (at %ld,%ld; off by %d,%d half-pixels)", r.left, r.top, dx,
                  dy);
    Check(dx >= -2 && dx <= 2 && dy >= -2 && dy <= 2 && r.left >= area.left && r.top >= area.top,
          what + where);
}

// --- screenshots ----------------------------------------------------------------

std::wstring g_shots;

void Shot(const std::wstring& name, HWND around) {
    Sleep(700);  // let the window finish painting
    RECT r = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (around) {
        GetWindowRect(around, &r);
        InflateRect(&r, 8, 8);
        r.left = r.left < 0 ? 0 : r.left;
        r.top = r.top < 0 ? 0 : r.top;
    }
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((w * 3 + 3) / 4) * 4, size = stride * h;
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + size;
    const std::wstring path = g_shots + L"\\" + name + L".bmp";
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f) {
        std::fwrite(&fh, sizeof fh, 1, f);
        std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
        std::fwrite(bits, size, 1, f);
        std::fclose(f);
    }
    Check(f != nullptr, "screenshot " + Utf8(name));
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

// --- dialog templates as the program carries them --------------------------------

struct Item {
    DWORD id;
    WORD classAtom;  // 0x80 button, 0x81 edit, 0x82 static
    std::wstring text;
    WORD textOrdinal;  // for an icon static: the icon's resource number
    DWORD style, exStyle;
    short x, y, cx, cy;
};

struct Template {
    DWORD style = 0, exStyle = 0;
    short cx = 0, cy = 0;
    std::wstring title, font;
    WORD points = 0, weight = 0;
    BYTE charset = 0;
    std::vector<Item> items;
};

const WORD* SkipSzOrOrd(const WORD* p, std::wstring* text, WORD* ordinal) {
    if (*p == 0xFFFF) {
        if (ordinal) *ordinal = p[1];
        return p + 2;
    }
    std::wstring s;
    while (*p) s.push_back(static_cast<wchar_t>(*p++));
    if (text) *text = s;
    return p + 1;
}

bool ReadTemplate(HMODULE module, int id, Template& t) {
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), (LPCWSTR)RT_DIALOG);
    if (!res) return false;
    const WORD* p = static_cast<const WORD*>(LockResource(LoadResource(module, res)));
    if (!p || p[0] != 1 || p[1] != 0xFFFF) return false;  // DLGTEMPLATEEX only
    const BYTE* b = reinterpret_cast<const BYTE*>(p);
    std::memcpy(&t.exStyle, b + 8, 4);
    std::memcpy(&t.style, b + 12, 4);
    const WORD count = *reinterpret_cast<const WORD*>(b + 16);
    t.cx = *reinterpret_cast<const short*>(b + 22);
    t.cy = *reinterpret_cast<const short*>(b + 24);
    p = reinterpret_cast<const WORD*>(b + 26);
    p = SkipSzOrOrd(p, nullptr, nullptr);  // menu
    p = SkipSzOrOrd(p, nullptr, nullptr);  // class
    p = SkipSzOrOrd(p, &t.title, nullptr);
    if (t.style & DS_SETFONT) {
        t.points = p[0];
        t.weight = p[1];
        t.charset = reinterpret_cast<const BYTE*>(p)[5];
        p = SkipSzOrOrd(p + 3, &t.font, nullptr);
    }
    for (int i = 0; i < count; ++i) {
        b = reinterpret_cast<const BYTE*>((reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t(3));
        Item it = {};
        std::memcpy(&it.exStyle, b + 4, 4);
        std::memcpy(&it.style, b + 8, 4);
        std::memcpy(&it.x, b + 12, 2);
        std::memcpy(&it.y, b + 14, 2);
        std::memcpy(&it.cx, b + 16, 2);
        std::memcpy(&it.cy, b + 18, 2);
        std::memcpy(&it.id, b + 20, 4);
        p = reinterpret_cast<const WORD*>(b + 24);
        std::wstring cls;
        p = SkipSzOrOrd(p, &cls, &it.classAtom);
        // A predefined class given by name is the same class as its atom.
        if (lstrcmpiW(cls.c_str(), L"Static") == 0) it.classAtom = 0x82;
        p = SkipSzOrOrd(p, &it.text, &it.textOrdinal);
        const WORD extra = *p++;
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + extra);
        t.items.push_back(it);
    }
    return true;
}

void CheckTemplate(HMODULE module, int id, const Template& want) {
    const std::string name = "dialog " + std::to_string(id);
    Template t;
    if (!ReadTemplate(module, id, t)) {
        Check(false, name + ": template readable");
        return;
    }
    CheckEq(t.style, want.style, name + " style " + Hex(t.style));
    CheckEq(t.exStyle, want.exStyle, name + " extended style " + Hex(t.exStyle));
    Check(t.cx == want.cx && t.cy == want.cy,
          name + " size " + std::to_string(t.cx) + "x" + std::to_string(t.cy));
    CheckText(t.title, want.title, name + " caption");
    CheckText(t.font, L"MS UI Gothic", name + " font");
    CheckEq(t.points, WORD(9), name + " font size");
    if (want.weight) CheckEq(t.weight, want.weight, name + " font weight");
    if (want.charset) CheckEq(t.charset, want.charset, name + " font charset");
    if (t.items.size() != want.items.size()) {
        Check(false, name + " control count " + std::to_string(t.items.size()));
        return;
    }
    for (size_t i = 0; i < t.items.size(); ++i) {
        const Item &a = t.items[i], &w = want.items[i];
        const std::string c =
            name + " control " + std::to_string(i) + " (id " + std::to_string((int)a.id) + ")";
        CheckEq(a.id, w.id, c + " id in tab order");
        CheckEq(a.classAtom, w.classAtom, c + " class");
        CheckText(a.text, w.text, c + " text");
        CheckEq(a.textOrdinal, w.textOrdinal, c + " icon");
        CheckEq(a.style, w.style, c + " style " + Hex(a.style));
        CheckEq(a.exStyle, w.exStyle, c + " extended style");
        Check(a.x == w.x && a.y == w.y && a.cx == w.cx && a.cy == w.cy,
              c + " rectangle " + std::to_string(a.x) + "," + std::to_string(a.y) + "," +
                  std::to_string(a.cx) + "," + std::to_string(a.cy));
    }
}

const DWORD kNone = 0xFFFFFFFF;

Template AboutTemplate() {
    Template t;
    t.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    t.cx = 235;
    t.cy = 55;
    t.title = L"バージョン情報 Morlit";
    t.items = {
        {kNone, 0x82, L"", IDR_MAINFRAME, WS_CHILD | WS_VISIBLE | SS_ICON, 0, 11, 17, 20, 20},
        {kNone, 0x82, L"Morlit Version 1.0", 0, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOPREFIX, 0,
         40, 10, 119, 8},
        {kNone, 0x82, L"Copyright (C) Morlit contributors", 0, WS_CHILD | WS_VISIBLE | WS_GROUP, 0,
         40, 25, 140, 8},
        {IDOK, 0x80, L"OK", 0, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 180, 36,
         50, 16},
    };
    return t;
}

const wchar_t* const kPrompt =
    L"Windows Virtual PC 用に調整したいVHDファイルを選択して、\n「開始」を押してください。";

Template MainTemplate() {
    Template t;
    t.style = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    t.exStyle = WS_EX_APPWINDOW;
    t.cx = 227;
    t.cy = 116;
    t.title = L"Morlit";
    const DWORD child = WS_CHILD | WS_VISIBLE;
    t.items = {
        {IDOK, 0x80, L"開始(&S)", 0, child | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 108, 90, 54, 18},
        {IDCANCEL, 0x80, L"キャンセル(&C)", 0, child | WS_TABSTOP, 0, 162, 90, 54, 18},
        {IDC_EDIT_VHD_PATH, 0x81, L"", 0,
         child | WS_BORDER | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, 0, 18, 57, 144, 12},
        {IDC_BUTTON_BROWSE, 0x80, L"参照(&R)", 0, child | WS_TABSTOP, 0, 164, 54, 46, 18},
        {kNone, 0x80, L".vhdファイルの選択", 0, child | BS_GROUPBOX, 0, 12, 42, 204, 36},
        {kNone, 0x82, kPrompt, 0, child | WS_GROUP, 0, 12, 12, 174, 18},
    };
    return t;
}

Template ProgressTemplate() {
    Template t;
    t.style = WS_POPUP | WS_CAPTION | DS_MODALFRAME | DS_SETFONT;
    t.cx = 187;
    t.cy = 50;
    t.title = L"Morlit";
    t.weight = 400;
    t.charset = 128;
    t.items = {
        {IDOK, 0x80, L"OK", 0, WS_CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 42, 36, 50, 14},
        {IDCANCEL, 0x80, L"キャンセル", 0, WS_CHILD | WS_TABSTOP, 0, 96, 36, 50, 14},
        {IDC_STATIC_MESSAGE, 0x82, L"スタティック", 0,
         WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER | SS_CENTERIMAGE, 0, 6, 6, 174, 30},
    };
    return t;
}

// --- live geometry ------------------------------------------------------------------

INT_PTR CALLBACK QuietProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Checks that each control of the live window `live` lies where the template
// puts it, converted with the dialog units of a copy of the same template
// made here (same font, same screen).
void CheckGeometry(HMODULE module, int id, HWND live, const Template& want, int heightCut) {
    HWND copy = CreateDialogParamW(module, MAKEINTRESOURCEW(id), nullptr, QuietProc, 0);
    if (!copy) {
        Check(false, "copy of dialog " + std::to_string(id));
        return;
    }
    ShowWindow(copy, SW_HIDE);
    RECT client = {0, 0, want.cx, want.cy};
    MapDialogRect(copy, &client);
    RECT liveClient;
    GetClientRect(live, &liveClient);
    CheckEq(liveClient.right, client.right,
            "dialog " + std::to_string(id) + " client width " + std::to_string(liveClient.right));
    CheckEq(liveClient.bottom, client.bottom - heightCut,
            "dialog " + std::to_string(id) + " client height " + std::to_string(liveClient.bottom) +
                (heightCut ? " (16 pixels shorter than the template)" : ""));
    for (const Item& it : want.items) {
        if (it.id == kNone) continue;
        HWND c = GetDlgItem(live, (int)it.id);
        if (!c) {
            Check(false, "control " + std::to_string(it.id) + " exists");
            continue;
        }
        // Position and size convert separately, as the dialog manager does.
        RECT units = {it.x, it.y, it.cx, it.cy};
        MapDialogRect(copy, &units);
        const RECT expect = {units.left, units.top, units.left + units.right,
                             units.top + units.bottom};
        RECT actual;
        GetWindowRect(c, &actual);
        MapWindowPoints(nullptr, live, reinterpret_cast<POINT*>(&actual), 2);
        Check(EqualRect(&expect, &actual) != FALSE,
              "control " + std::to_string(it.id) + " at its dialog-unit rectangle");
    }
    DestroyWindow(copy);
}

// --- the program --------------------------------------------------------------------

bool Launch(const std::wstring& exe) {
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
        Check(false, "Morlit.exe starts (error " + std::to_string(GetLastError()) + ")");
        return false;
    }
    CloseHandle(pi.hThread);
    g_process = pi.hProcess;
    g_pid = pi.dwProcessId;
    return true;
}

int Finish() {
    if (g_process) {
        if (WaitForSingleObject(g_process, 15000) != WAIT_OBJECT_0) {
            Check(false, "Morlit.exe ends");
            TerminateProcess(g_process, 1);
        }
        CloseHandle(g_process);
    }
    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}

// Whether a message box shows an icon (its icon static is 0x14 on Windows,
// 0x440 under Wine).
bool MessageHasIcon(HWND box) {
    for (int id : {0x14, 0x440}) {
        HWND icon = GetDlgItem(box, id);
        if (icon && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0) {
            return true;
        }
    }
    return false;
}

// Answers the message box that should come up next; returns its text. Every
// box this test meets is a notice with MB_OK alone, which has no icon.
std::wstring AnswerMessage(const std::string& shot = "") {
    HWND box = WaitWindow(IsMessageBox);
    if (!box) return L"<no message box>";
    const std::wstring text = MessageText(box);
    Check(!MessageHasIcon(box), "no icon on an MB_OK message (" + Utf8(text) + ")");
    if (!shot.empty()) Shot(std::wstring(shot.begin(), shot.end()), box);
    Click(box, IDOK);
    WaitGone(box);
    return text;
}

int RunGate(const std::wstring& exe) {
    if (!Launch(exe)) return Finish();
    CheckText(AnswerMessage("gate-refusal"), morlit::kWindows7Only,
              "a Windows XP host gets the Windows 7 message");
    Check(WaitForSingleObject(g_process, 15000) == WAIT_OBJECT_0,
          "the process ends after the refusal");
    Check(WaitWindow([](HWND h) { return GetDlgItem(h, 1000) != nullptr; }, 500) == nullptr,
          "no main window on a refused host");
    return Finish();
}

int RunMain(const std::wstring& exe, const std::wstring& image) {
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    Check(module != nullptr, "resources of Morlit.exe readable");
    if (!module) return Finish();
    CheckTemplate(module, IDD_ABOUTBOX, AboutTemplate());
    CheckTemplate(module, IDD_MORLIT_DIALOG, MainTemplate());
    CheckTemplate(module, IDD_MESSAGE_DIALOG, ProgressTemplate());
    Check(FindResourceW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), (LPCWSTR)RT_GROUP_ICON) != nullptr,
          "icon group 128");

    if (!Launch(exe)) return Finish();
    HWND main = WaitWindow([](HWND h) { return GetDlgItem(h, IDC_EDIT_VHD_PATH) != nullptr; });
    Check(main != nullptr, "main window appears");
    if (!main) return Finish();
    Shot(L"main", main);
    // Neither template asks for centring: the dialog framework centres them.
    CheckCentred(main, nullptr, "main window centred in the work area");
    Shot(L"main-on-screen", nullptr);

    // Window and controls as they live.
    CheckText(TextOf(main), L"Morlit", "main caption");
    const DWORD style = GetWindowLongW(main, GWL_STYLE);
    Check((style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE)) ==
              (WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE),
          "main window popup, caption, system menu, visible");
    Check((GetWindowLongW(main, GWL_EXSTYLE) & WS_EX_APPWINDOW) != 0, "main window app window");
    std::vector<int> ids;
    for (HWND c : Children(main)) ids.push_back((WORD)GetDlgCtrlID(c));
    Check(ids == std::vector<int>({1, 2, 1000, 1001, 0xFFFF, 0xFFFF}), "controls in tab order");
    CheckText(TextOf(GetDlgItem(main, IDOK)), L"開始(&S)", "Start text");
    CheckText(TextOf(GetDlgItem(main, IDCANCEL)), L"キャンセル(&C)", "Cancel text");
    CheckText(TextOf(GetDlgItem(main, IDC_BUTTON_BROWSE)), L"参照(&R)", "Browse text");
    CheckText(TextOf(GetDlgItem(main, IDC_EDIT_VHD_PATH)), L"", "path empty at start");
    const std::vector<HWND> kids = Children(main);
    if (kids.size() == 6) {
        CheckText(TextOf(kids[4]), L".vhdファイルの選択", "group box text");
        CheckText(TextOf(kids[5]), kPrompt, "prompt text");
    }
    HWND edit = GetDlgItem(main, IDC_EDIT_VHD_PATH);
    Check((GetWindowLongW(edit, GWL_STYLE) & (ES_READONLY | ES_AUTOHSCROLL)) ==
              (ES_READONLY | ES_AUTOHSCROLL),
          "path edit read-only, scrolling");
    Check((GetWindowLongW(GetDlgItem(main, IDOK), GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON,
          "Start is the default button");
    for (int id : {IDOK, IDCANCEL, IDC_EDIT_VHD_PATH, IDC_BUTTON_BROWSE}) {
        Check(IsWindowEnabled(GetDlgItem(main, id)) != FALSE,
              "control " + std::to_string(id) + " enabled");
    }
    CheckGeometry(module, IDD_MORLIT_DIALOG, main, MainTemplate(), 0);

    // The About entry: the system menu opened from the keyboard, its entry
    // chosen by its mnemonic. On a busy machine Wine may drop the request
    // while the window is still becoming active, so it is asked again, but
    // only while no menu is open.
    HWND menu = nullptr;
    for (int i = 0; i < 150 && !menu; ++i) {
        if (i % 50 == 0) {
            SetForegroundWindow(main);
            PostMessageW(main, WM_SYSCOMMAND, SC_KEYMENU, ' ');
        }
        Sleep(100);
        EnumWindows(
            [](HWND h, LPARAM p) -> BOOL {
                DWORD pid = 0;
                GetWindowThreadProcessId(h, &pid);
                if (pid == g_pid && IsWindowVisible(h) && ClassOf(h) == L"#32768") {
                    *reinterpret_cast<HWND*>(p) = h;
                    return FALSE;
                }
                return TRUE;
            },
            (LPARAM)&menu);
    }
    Check(menu != nullptr, "system menu opens");
    HWND about = nullptr;
    if (menu) {
        // Up from the first item wraps to the last, the About entry, then
        // Enter chooses it (its mnemonic A is also taken by Wine's own
        // "About Wine" item, which Windows does not have).
        Key(VK_UP);
        Shot(L"system-menu", nullptr);
        Key(VK_RETURN);
        about = WaitCaption(L"バージョン情報 Morlit", 10000);
        Check(about != nullptr, "About box from the system menu entry (A)");
        if (!about) PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    }
    if (about) {
        Shot(L"about", about);
        Shot(L"about-on-screen", nullptr);
        // Its owner is disabled while it opens (modal), so it goes to the
        // middle of the work area, where the main window is too.
        CheckCentred(about, nullptr, "About box centred in the work area");
        CheckCentred(about, main, "About box centred over the main window");
        Check(GetWindow(about, GW_OWNER) == main, "About box owned by the main window");
        Check(IsWindowEnabled(main) == FALSE, "main window disabled under the About box");
        const std::vector<HWND> a = Children(about);
        if (a.size() == 4) {
            CheckText(TextOf(a[1]), L"Morlit Version 1.0", "About version line");
            Check(SendMessageW(a[0], STM_GETICON, 0, 0) != 0, "About icon shown");
        }
        CheckGeometry(module, IDD_ABOUTBOX, about, AboutTemplate(), 0);
        Click(about, IDOK);
        Check(WaitGone(about), "About box closes with OK");
    }
    // Any command 0x10..0x1F opens it; other commands do their usual work.
    PostMessageW(main, WM_SYSCOMMAND, 0x1F, 0);
    about = WaitCaption(L"バージョン情報 Morlit", 10000);
    Check(about != nullptr, "system command 0x1F opens the About box");
    if (about) {
        Click(about, IDOK);
        WaitGone(about);
    }

    // Start with no image: message 102 and nothing else.
    Click(main, IDOK);
    CheckText(AnswerMessage("message-select"), morlit::FindStringTableText(morlit::IDS_SELECT_VHD),
              "Start without an image shows message 102");
    Check(IsWindowEnabled(GetDlgItem(main, IDOK)) != FALSE, "Start still enabled");
    Check(IsWindow(main) && IsWindowVisible(main), "Start did not close the window");

    // Browse: the file dialog, driven through its own controls.
    auto browse = [&](const std::wstring& choose, const std::string& shot) {
        Click(main, IDC_BUTTON_BROWSE);
        HWND dlg = WaitCaption(L"VHDファイルを開く");
        Check(dlg != nullptr, "file dialog titled as asked");
        if (!dlg) return;
        HWND filter = GetDlgItem(dlg, 0x470);  // cmb1, the file types
        if (filter) {
            CheckText(TextOf(filter), L"Virtual Harddisk Image(*.vhd)", "file dialog filter");
        }
        if (!shot.empty()) Shot(std::wstring(shot.begin(), shot.end()), dlg);
        if (choose.empty()) {
            Click(dlg, IDCANCEL);
        } else {
            HWND name = GetDlgItem(dlg, 0x47C);  // cmb13, the file name
            if (!name) name = GetDlgItem(dlg, 0x480);
            Check(name != nullptr, "file name box found");
            SendMessageW(name, WM_SETTEXT, 0, (LPARAM)choose.c_str());
            Click(dlg, IDOK);
        }
        Check(WaitGone(dlg), "file dialog closes");
    };
    browse(L"", "");
    CheckText(TextOf(edit), L"", "cancelled Browse leaves the path empty");
    browse(image, "file-dialog");
    CheckText(TextOf(edit), image, "chosen path in the edit control");
    browse(L"", "");
    CheckText(TextOf(edit), image, "cancelling a second Browse keeps the first choice");

    // A run on the image: the progress window, then the open fails under
    // Wine's virtual disk stub (message 132), then the final message 131.
    Click(main, IDOK);
    HWND progress = WaitWindow([](HWND h) { return GetDlgItem(h, IDC_STATIC_MESSAGE) != nullptr; });
    Check(progress != nullptr, "progress window appears");
    if (progress) {
        Shot(L"progress", progress);
        const std::wstring status = TextOf(GetDlgItem(progress, IDC_STATIC_MESSAGE));
        Check(status == morlit::status::kStarting || status == morlit::status::kMounting,
              "progress text is a status text (" + Utf8(status) + ")");
        CheckText(TextOf(progress), L"Morlit", "progress caption");
        const LONG ps = GetWindowLongW(progress, GWL_STYLE);
        Check((ps & WS_SYSMENU) == 0 && (ps & WS_CAPTION) == WS_CAPTION,
              "progress window has a caption and no system menu");
        Check((GetWindowLongW(progress, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0,
              "progress window is a tool window");
        Check(!IsWindowVisible(GetDlgItem(progress, IDOK)) &&
                  !IsWindowVisible(GetDlgItem(progress, IDCANCEL)),
              "progress buttons hidden");
        Check(!IsWindowEnabled(GetDlgItem(main, IDOK)) &&
                  !IsWindowEnabled(GetDlgItem(main, IDCANCEL)),
              "Start and Cancel disabled during the run");
        CheckGeometry(module, IDD_MESSAGE_DIALOG, progress, ProgressTemplate(), 16);
    }
    const std::wstring open = AnswerMessage("message-open-failed");
    const std::wstring openPrefix = L"VHDファイルのオープンに失敗しました。(";
    Check(open.compare(0, openPrefix.size(), openPrefix) == 0 && open.back() == L')',
          "the open fails with message 132 (" + Utf8(open) + ")");
    Check(progress && IsWindow(progress), "message 132 comes while the progress window is up");
    HWND final = WaitWindow(IsMessageBox);
    Check(final != nullptr, "a final message");
    if (final) {
        Check(!progress || !IsWindow(progress), "progress window gone before the final message");
        Check(
            IsWindowEnabled(GetDlgItem(main, IDOK)) && IsWindowEnabled(GetDlgItem(main, IDCANCEL)),
            "Start and Cancel enabled again before the final message");
    }
    CheckText(AnswerMessage("message-failed"),
              morlit::FindStringTableText(morlit::IDS_ADJUST_FAILED), "the run ends with 131");
    Check(IsWindow(main) && IsWindowVisible(main), "the main window stays after the run");
    CheckText(TextOf(edit), image, "the path stays for another run");

    // Cancel ends the dialog, and with it the process.
    Click(main, IDCANCEL);
    const bool ended = WaitForSingleObject(g_process, 15000) == WAIT_OBJECT_0;
    Check(ended, "Cancel ends the program");
    if (!ended) Shot(L"not-ended", nullptr);
    FreeLibrary(module);
    return Finish();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"main" && argc == 5) {
        g_shots = argv[4];
        return RunMain(argv[2], argv[3]);
    }
    if (mode == L"gate" && argc == 4) {
        g_shots = argv[3];
        return RunGate(argv[2]);
    }
    std::fprintf(stderr, "usage: gui_driver main EXE IMAGE SHOTS | gate EXE SHOTS\n");
    return 2;
}
