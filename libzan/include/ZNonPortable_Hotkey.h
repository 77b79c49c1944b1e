// Platform layer: system-wide hotkeys written as key texts ("CONTROL+SPACE"),
// the keys held now as such a text, and the key-name table both rest on.
//
// Threading: UI thread only; presses and releases reach the system
// listeners (IZSystemListener) there.
#pragma once

#include <string>

#include "ZNonPortable_Message.h"

// Modifier bits of a hotkey.
constexpr unsigned ZMOD_ALT = 1;
constexpr unsigned ZMOD_CONTROL = 2;
constexpr unsigned ZMOD_SHIFT = 4;
constexpr unsigned ZMOD_WIN = 8;

// One registered hotkey.
struct ZHotkey {
    std::wstring keys;
    unsigned modifiers = 0;
    unsigned virtualKey = 0;
    int id = 0;
    std::wstring name;
};

// 'A'..'Z' and '0'..'9' by their character, other keys by the table
// (case-insensitive, whole length); 0 for no key.
unsigned ZSystemKeyNameToCode(const std::wstring& name);
// The name of a virtual-key code, "<unknown>" for codes without one.
std::wstring ZSystemKeyCodeToName(int code);

// Registers the combination (names joined by '+' or ','); null when it
// names no key, or the key is taken by another program.
ZHotkey* ZSystemHotkeyOpen(const std::wstring& keys, const std::wstring& name);
void ZSystemHotkeyClose(ZHotkey* hotkey);

// The held modifiers (RWIN, LWIN, SHIFT, CONTROL, MENU) and the held key
// with the lowest code, joined by '+'; empty when nothing is held.
std::wstring ZSystemGetKeysPressed();
