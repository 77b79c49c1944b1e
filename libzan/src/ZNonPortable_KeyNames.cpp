// The key-name table: Windows virtual-key constant names without their
// prefix, punctuation keys under the character they bear.
#include <cstdint>

#include "ZNonPortable_Hotkey.h"
#include "ZPortable_Text.h"

namespace {

struct KeyName {
    std::uint8_t code;
    const wchar_t* name;
};

// Ascending codes, each once; ends at the row with a null name. Codes left
// out (letters, digits, reserved codes, PRINT, NUMPAD7, SCROLL) have no name.
const KeyName kKeyNames[] = {
    {0x01, L"LBUTTON"}, {0x02, L"RBUTTON"}, {0x03, L"CANCEL"}, {0x04, L"MBUTTON"},
    {0x05, L"XBUTTON1"}, {0x06, L"XBUTTON2"}, {0x08, L"BACK"}, {0x09, L"TAB"},
    {0x0C, L"CLEAR"}, {0x0D, L"RETURN"}, {0x10, L"SHIFT"}, {0x11, L"CONTROL"},
    {0x12, L"MENU"}, {0x13, L"PAUSE"}, {0x14, L"CAPS"}, {0x15, L"KANA"},
    {0x17, L"JUNJA"}, {0x18, L"FINAL"}, {0x19, L"KANJI"}, {0x1B, L"ESCAPE"},
    {0x1C, L"CONVERT"}, {0x1D, L"NONCONVERT"}, {0x1E, L"ACCEPT"}, {0x1F, L"MODECHANGE"},
    {0x20, L"SPACE"}, {0x21, L"PRIOR"}, {0x22, L"NEXT"}, {0x23, L"END"},
    {0x24, L"HOME"}, {0x25, L"LEFT"}, {0x26, L"UP"}, {0x27, L"RIGHT"},
    {0x28, L"DOWN"}, {0x29, L"SELECT"}, {0x2B, L"EXECUTE"}, {0x2C, L"SNAPSHOT"},
    {0x2D, L"INSERT"}, {0x2E, L"DELETE"}, {0x2F, L"HELP"}, {0x5B, L"LWIN"},
    {0x5C, L"RWIN"}, {0x5D, L"APPS"}, {0x5F, L"SLEEP"}, {0x60, L"NUMPAD0"},
    {0x61, L"NUMPAD1"}, {0x62, L"NUMPAD2"}, {0x63, L"NUMPAD3"}, {0x64, L"NUMPAD4"},
    {0x65, L"NUMPAD5"}, {0x66, L"NUMPAD6"}, {0x68, L"NUMPAD8"}, {0x69, L"NUMPAD9"},
    {0x6A, L"MULTIPLY"}, {0x6B, L"ADD"}, {0x6C, L"SEPARATOR"}, {0x6D, L"SUBTRACT"},
    {0x6E, L"DECIMAL"}, {0x6F, L"DIVIDE"}, {0x70, L"F1"}, {0x71, L"F2"},
    {0x72, L"F3"}, {0x73, L"F4"}, {0x74, L"F5"}, {0x75, L"F6"},
    {0x76, L"F7"}, {0x77, L"F8"}, {0x78, L"F9"}, {0x79, L"F10"},
    {0x7A, L"F11"}, {0x7B, L"F12"}, {0x7C, L"F13"}, {0x7D, L"F14"},
    {0x7E, L"F15"}, {0x7F, L"F16"}, {0x80, L"F17"}, {0x81, L"F18"},
    {0x82, L"F19"}, {0x83, L"F20"}, {0x84, L"F21"}, {0x85, L"F22"},
    {0x86, L"F23"}, {0x87, L"F24"}, {0x90, L"NUMLOCK"}, {0x92, L"OEM_FJ_JISHO   "},
    {0x93, L"OEM_FJ_MASSHOU "}, {0x94, L"OEM_FJ_TOUROKU"}, {0x95, L"OEM_FJ_LOYA"}, {0x96, L"OEM_FJ_ROYA"},
    {0xA0, L"LSHIFT"}, {0xA1, L"RSHIFT"}, {0xA2, L"LCONTROL"}, {0xA3, L"RCONTROL"},
    {0xA4, L"LMENU"}, {0xA5, L"RMENU"}, {0xA6, L"BROWSER_BACK"}, {0xA7, L"BROWSER_FORWARD"},
    {0xA8, L"BROWSER_REFRESH"}, {0xA9, L"BROWSER_STOP"}, {0xAA, L"BROWSER_SEARCH"}, {0xAB, L"BROWSER_FAVORITES"},
    {0xAC, L"BROWSER_HOME"}, {0xAD, L"VOLUME_MUTE"}, {0xAE, L"VOLUME_DOWN"}, {0xAF, L"VOLUME_UP"},
    {0xB0, L"MEDIA_NEXT_TRACK"}, {0xB1, L"MEDIA_PREV_TRACK"}, {0xB2, L"MEDIA_STOP"}, {0xB3, L"MEDIA_PLAY_PAUSE"},
    {0xB4, L"LAUNCH_MAIL"}, {0xB5, L"LAUNCH_MEDIA_SELECT"}, {0xB6, L"LAUNCH_APP1"}, {0xB7, L"LAUNCH_APP2"},
    {0xBA, L";"}, {0xBB, L"+"}, {0xBC, L","}, {0xBD, L"-"},
    {0xBE, L"."}, {0xBF, L"/"}, {0xC0, L"`"}, {0xDB, L"["},
    {0xDC, L"\\"}, {0xDD, L"]"}, {0xDE, L"'"}, {0xDF, L"OEM_8"},
    {0xE1, L"OEM_AX"}, {0xE2, L"OEM_102"}, {0xE3, L"ICO_HELP"}, {0xE4, L"ICO_00"},
    {0xE5, L"PROCESSKEY"}, {0xE6, L"ICO_CLEAR"}, {0xE7, L"PACKET"}, {0xE9, L"OEM_RESET"},
    {0xEA, L"OEM_JUMP"}, {0xEB, L"OEM_PA1"}, {0xEC, L"OEM_PA2"}, {0xED, L"OEM_PA3"},
    {0xEE, L"OEM_WSCTRL"}, {0xF0, L"OEM_ATTN"}, {0xF1, L"OEM_FINISH"}, {0xF2, L"OEM_COPY"},
    {0xF3, L"OEM_AUTO"}, {0xF4, L"OEM_ENLW"}, {0xF5, L"OEM_BACKTAB"}, {0xF6, L"ATTN"},
    {0xF7, L"CRSEL"}, {0xF8, L"EXSEL"}, {0xF9, L"EREOF"}, {0xFA, L"PLAY"},
    {0xFB, L"ZOOM"}, {0xFC, L"NONAME"}, {0xFD, L"PA1"}, {0xFE, L"OEM_CLEAR"},
    {0x00, nullptr},
};

}  // namespace

int _ZSystemKeyNameCount() {
    int n = 0;
    while (kKeyNames[n].name) ++n;
    return n;
}

unsigned ZSystemKeyNameToCode(const std::wstring& name) {
    if (name.size() == 1) {
        const wchar_t c = name[0];
        if ((c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) return static_cast<unsigned>(c);
    }
    for (const KeyName* k = kKeyNames; k->name; ++k)
        if (ZCaseEquals(name, k->name)) return k->code;
    return 0;
}

std::wstring ZSystemKeyCodeToName(int code) {
    if ((code >= 'A' && code <= 'Z') || (code >= '0' && code <= '9')) return std::wstring(1, static_cast<wchar_t>(code));
    for (const KeyName* k = kKeyNames; k->name; ++k)
        if (k->code == code) return k->name;
    return L"<unknown>";
}
