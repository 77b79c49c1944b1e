// Windows virtual-key codes against X keysyms.
#include "ZNonPortable_Keys.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace {

// One virtual key and up to three keysyms that count as it; the first one
// is what injection and hotkeys use.
struct KeyRow {
    unsigned vk;
    KeySym keysyms[3];
};

const KeyRow kRows[] = {
    {0x08, {XK_BackSpace}},
    {0x09, {XK_Tab, XK_ISO_Left_Tab}},
    {0x0C, {XK_Clear, XK_KP_Begin}},
    {0x0D, {XK_Return, XK_KP_Enter}},
    {0x10, {XK_Shift_L, XK_Shift_R}},
    {0x11, {XK_Control_L, XK_Control_R}},
    {0x12, {XK_Alt_L, XK_Alt_R, XK_Meta_L}},
    {0x13, {XK_Pause}},
    {0x14, {XK_Caps_Lock}},
    {0x1B, {XK_Escape}},
    {0x20, {XK_space, XK_KP_Space}},
    {0x21, {XK_Prior, XK_KP_Prior}},
    {0x22, {XK_Next, XK_KP_Next}},
    {0x23, {XK_End, XK_KP_End}},
    {0x24, {XK_Home, XK_KP_Home}},
    {0x25, {XK_Left, XK_KP_Left}},
    {0x26, {XK_Up, XK_KP_Up}},
    {0x27, {XK_Right, XK_KP_Right}},
    {0x28, {XK_Down, XK_KP_Down}},
    {0x29, {XK_Select}},
    {0x2B, {XK_Execute}},
    {0x2C, {XK_Print}},
    {0x2D, {XK_Insert, XK_KP_Insert}},
    {0x2E, {XK_Delete, XK_KP_Delete}},
    {0x2F, {XK_Help}},
    {0x5B, {XK_Super_L}},
    {0x5C, {XK_Super_R}},
    {0x5D, {XK_Menu}},
    {0x5F, {XF86XK_Sleep}},
    {0x60, {XK_KP_0}},
    {0x61, {XK_KP_1}},
    {0x62, {XK_KP_2}},
    {0x63, {XK_KP_3}},
    {0x64, {XK_KP_4}},
    {0x65, {XK_KP_5}},
    {0x66, {XK_KP_6}},
    {0x67, {XK_KP_7}},
    {0x68, {XK_KP_8}},
    {0x69, {XK_KP_9}},
    {0x6A, {XK_KP_Multiply}},
    {0x6B, {XK_KP_Add}},
    {0x6C, {XK_KP_Separator}},
    {0x6D, {XK_KP_Subtract}},
    {0x6E, {XK_KP_Decimal}},
    {0x6F, {XK_KP_Divide}},
    {0x90, {XK_Num_Lock}},
    {0x91, {XK_Scroll_Lock}},
    {0xA0, {XK_Shift_L}},
    {0xA1, {XK_Shift_R}},
    {0xA2, {XK_Control_L}},
    {0xA3, {XK_Control_R}},
    {0xA4, {XK_Alt_L}},
    {0xA5, {XK_Alt_R, XK_ISO_Level3_Shift}},
    {0xA6, {XF86XK_Back}},
    {0xA7, {XF86XK_Forward}},
    {0xA8, {XF86XK_Refresh}},
    {0xA9, {XF86XK_Stop}},
    {0xAA, {XF86XK_Search}},
    {0xAB, {XF86XK_Favorites}},
    {0xAC, {XF86XK_HomePage}},
    {0xAD, {XF86XK_AudioMute}},
    {0xAE, {XF86XK_AudioLowerVolume}},
    {0xAF, {XF86XK_AudioRaiseVolume}},
    {0xB0, {XF86XK_AudioNext}},
    {0xB1, {XF86XK_AudioPrev}},
    {0xB2, {XF86XK_AudioStop}},
    {0xB3, {XF86XK_AudioPlay, XF86XK_AudioPause}},
    {0xB4, {XF86XK_Mail}},
    {0xB5, {XF86XK_AudioMedia}},
    {0xB6, {XF86XK_Launch0}},
    {0xB7, {XF86XK_Launch1}},
    {0xBA, {XK_semicolon, XK_colon}},
    {0xBB, {XK_equal, XK_plus}},
    {0xBC, {XK_comma, XK_less}},
    {0xBD, {XK_minus, XK_underscore}},
    {0xBE, {XK_period, XK_greater}},
    {0xBF, {XK_slash, XK_question}},
    {0xC0, {XK_grave, XK_asciitilde}},
    {0xDB, {XK_bracketleft, XK_braceleft}},
    {0xDC, {XK_backslash, XK_bar}},
    {0xDD, {XK_bracketright, XK_braceright}},
    {0xDE, {XK_apostrophe, XK_quotedbl}},
    {0xE2, {XK_less, XK_greater}},
};

// Keysyms that name a generic modifier when they arrive in an event.
unsigned genericModifier(KeySym keysym) {
    switch (keysym) {
        case XK_Shift_L:
        case XK_Shift_R:
            return 0x10;
        case XK_Control_L:
        case XK_Control_R:
            return 0x11;
        case XK_Alt_L:
        case XK_Alt_R:
        case XK_Meta_L:
        case XK_Meta_R:
        case XK_ISO_Level3_Shift:
            return 0x12;
        default:
            return 0;
    }
}

}  // namespace

unsigned _ZKeysVirtualKeyOfKeysym(KeySym keysym) {
    if (keysym >= XK_a && keysym <= XK_z) return static_cast<unsigned>('A' + (keysym - XK_a));
    if (keysym >= XK_A && keysym <= XK_Z) return static_cast<unsigned>(keysym);
    if (keysym >= XK_0 && keysym <= XK_9) return static_cast<unsigned>(keysym);
    if (keysym >= XK_F1 && keysym <= XK_F24) return static_cast<unsigned>(0x70 + (keysym - XK_F1));
    if (unsigned m = genericModifier(keysym)) return m;
    for (const KeyRow& row : kRows)
        for (KeySym k : row.keysyms)
            if (k && k == keysym) return row.vk;
    return 0;
}

unsigned _ZKeysVirtualKeyOfEvent(XKeyEvent& event) {
    KeySym keysym = XLookupKeysym(&event, 0);
    // With NumLock on, the keypad keys are digits.
    if (keysym >= XK_KP_Home && keysym <= XK_KP_Delete && (event.state & Mod2Mask)) {
        const KeySym shifted = XLookupKeysym(&event, 1);
        if (shifted >= XK_KP_0 && shifted <= XK_KP_9) keysym = shifted;
        if (shifted == XK_KP_Decimal) keysym = shifted;
    }
    return _ZKeysVirtualKeyOfKeysym(keysym);
}

KeySym _ZKeysKeysymOfVirtualKey(unsigned vk) {
    if (vk >= 'A' && vk <= 'Z') return XK_a + (vk - 'A');
    if (vk >= '0' && vk <= '9') return XK_0 + (vk - '0');
    if (vk >= 0x70 && vk <= 0x87) return XK_F1 + (vk - 0x70);
    for (const KeyRow& row : kRows)
        if (row.vk == vk) return row.keysyms[0];
    return 0;
}

KeyCode _ZKeysKeycodeOfVirtualKey(Display* display, unsigned vk) {
    const KeySym keysym = _ZKeysKeysymOfVirtualKey(vk);
    return keysym ? XKeysymToKeycode(display, keysym) : 0;
}

void _ZKeysQueryState(Display* display, bool held[256]) {
    for (int i = 0; i < 256; ++i) held[i] = false;
    char keys[32] = {};
    XQueryKeymap(display, keys);
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    const bool pointer = XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rx, &ry, &wx, &wy, &mask);
    // A keypad key is a digit with NumLock on and a cursor key without.
    const bool numLock = pointer && (mask & Mod2Mask);
    auto down = [&](KeySym keysym) {
        if (!keysym) return false;
        const bool keypadDigit = (keysym >= XK_KP_0 && keysym <= XK_KP_9) || keysym == XK_KP_Decimal;
        const bool keypadCursor = (keysym >= XK_KP_Home && keysym <= XK_KP_Delete) || keysym == XK_KP_Begin;
        if ((keypadDigit && !numLock) || (keypadCursor && numLock)) return false;
        const KeyCode code = XKeysymToKeycode(display, keysym);
        return code != 0 && (keys[code / 8] & (1 << (code % 8))) != 0;
    };
    for (unsigned vk = 'A'; vk <= 'Z'; ++vk) held[vk] = down(XK_a + (vk - 'A'));
    for (unsigned vk = '0'; vk <= '9'; ++vk) held[vk] = down(XK_0 + (vk - '0'));
    for (unsigned vk = 0x70; vk <= 0x87; ++vk) held[vk] = down(XK_F1 + (vk - 0x70));
    for (const KeyRow& row : kRows)
        for (KeySym k : row.keysyms)
            if (down(k)) held[row.vk] = true;
    if (pointer) {
        held[0x01] = (mask & Button1Mask) != 0;
        held[0x02] = (mask & Button3Mask) != 0;
        held[0x04] = (mask & Button2Mask) != 0;
    }
}
