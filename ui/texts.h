// Every text the user sees, once. Both hosts take their string table and
// status texts from here (the Windows resource script is generated from it).
#pragma once

#include <string>

#include "platform/host.h"
#include "platform/types.h"

namespace morlit {

// The string table: X(id, symbol, text).
#define MORLIT_STRING_TABLE(X)                                                             \
    X(101, IDS_ABOUTBOX, L"バージョン情報 Morlit(&A)...")                                  \
    X(102, IDS_SELECT_VHD, L"VHDファイルを選択してください。")                             \
    X(130, IDS_ADJUST_DONE, L"VHDファイルの調整が完了しました。")                          \
    X(131, IDS_ADJUST_FAILED,                                                              \
      L"エラーが発生したため、\nVHDファイルの調整が完了できませんでした。")                \
    X(132, IDS_OPEN_FAILED, L"VHDファイルのオープンに失敗しました。(%ld)")                 \
    X(133, IDS_ATTACH_FAILED, L"VHDファイルのマウントに失敗しました。(%ld)")               \
    X(134, IDS_DISK_NOT_FOUND, L"マウントしたディスクが見つかりませんでした。(%ld)")       \
    X(135, IDS_LETTER_NOT_FOUND, L"マウントしたドライブレターが取得できませんでした。")    \
    X(136, IDS_NO_TARGET_OS, L"マウントしたドライブに、対象となるOSが見つかりません。")    \
    X(137, IDS_INSERT_CD, L"CDドライブに Windows XP のインストールCDを挿入してください。") \
    X(138, IDS_CD_NOT_FOUND,                                                               \
      L"Windows XP のインストールCDが見つかりませんでした。\nもう一度、検索しますか？")    \
    X(139, IDS_DETACH_FAILED, L"VHDファイルのアンマウントに失敗しました。(%ld)")           \
    X(140, IDS_REGISTRY_FAILED, L"対象となるOSのレジストリが読み込めませんでした。(%ld)")

#define MORLIT_STRING_ID(id, symbol, text) constexpr u32 symbol = id;
MORLIT_STRING_TABLE(MORLIT_STRING_ID)
#undef MORLIT_STRING_ID

// The string-table entry, or null when there is none.
const wchar_t* FindStringTableText(u32 id);

// CString::Format with one %ld: the number is printed as a 32-bit signed
// long, as on Windows, so codes above 0x7FFFFFFF come out negative.
std::wstring FormatWithCode(const std::wstring& pattern, u32 code);

// Status texts of the progress window, in the order of a full run.
namespace status {
constexpr const wchar_t* kStarting = L"処理を開始します...";
constexpr const wchar_t* kMounting = L"VHDをマウントしています...";
constexpr const wchar_t* kSearchingDrive = L"マウントしたドライブを検索しています...";
constexpr const wchar_t* kCopyingDrivers = L"必要なデバイスドライバをコピーしています...";
constexpr const wchar_t* kAdjustingOs = L"対象となるOSを調整しています...";
constexpr const wchar_t* kFinishing = L"終了処理をしています...";
}  // namespace status

// The status text of a step.
const wchar_t* StatusText(RunStep step);

// Shown by the start-up gate on any host but Windows 7.
constexpr const wchar_t* kWindows7Only = L"このアプリケーションは、Windows 7 専用です。";

}  // namespace morlit
