// Global hotkeys on X11: a passive key grab on the root window for the key
// with its modifiers (and the CapsLock/NumLock variants), the press from the
// grab, the release seen by polling the keyboard on the loop's 100 ms tick.
#include "ZNonPortable_Hotkey.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <list>
#include <map>
#include <vector>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Keys.h"
#include "ZNonPortable_Loop.h"
#include "ZNonPortable_X11.h"
#include "ZPortable_Parse.h"
#include "ZUtil.h"

namespace {

// Registered hotkeys by id; ids count up from 0 and are never reused.
int g_nextId = 0;
std::map<int, ZHotkey*> g_hotkeys;
std::map<int, KeyCode> g_keycodes;
// Pressed and not yet released, in press order.
std::list<ZHotkey*> g_pressed;
bool g_hooked = false;

unsigned xModifiers(unsigned modifiers) {
    unsigned mask = 0;
    if (modifiers & ZMOD_SHIFT) mask |= ShiftMask;
    if (modifiers & ZMOD_CONTROL) mask |= ControlMask;
    if (modifiers & ZMOD_ALT) mask |= Mod1Mask;
    if (modifiers & ZMOD_WIN) mask |= Mod4Mask;
    return mask;
}

// CapsLock and NumLock must not change whether a hotkey fires.
const unsigned kLockVariants[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

void ungrab(Display* d, KeyCode code, unsigned mask) {
    for (unsigned lock : kLockVariants) XUngrabKey(d, code, mask | lock, DefaultRootWindow(d));
}

void onPress(XEvent& e) {
    if (e.type != KeyPress || ZDebugIsCrashing()) return;
    const unsigned state = e.xkey.state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask);
    int id = -1;
    for (const auto& [hotkeyId, code] : g_keycodes) {
        if (code == e.xkey.keycode && xModifiers(g_hotkeys[hotkeyId]->modifiers) == state) {
            id = hotkeyId;
            break;
        }
    }
    if (id < 0) {
        ZLOG(L"WARNING Unrecognzied hotkey #" << id << L" pressed, ignoring.");
        return;
    }
    ZHotkey* hotkey = g_hotkeys[id];
    // A held combination repeats its press: one event only.
    if (ZCONTAINS(g_pressed, hotkey)) return;
    g_pressed.push_back(hotkey);
    _ZSystemSignalHotkey(hotkey, hotkey->name, true);
}

bool stillHeld(const ZHotkey* hotkey, const bool held[256]) {
    if (!held[hotkey->virtualKey & 0xFF]) return false;
    if ((hotkey->modifiers & ZMOD_SHIFT) && !held[0x10]) return false;
    if ((hotkey->modifiers & ZMOD_ALT) && !held[0x12]) return false;
    if ((hotkey->modifiers & ZMOD_CONTROL) && !held[0x11]) return false;
    if ((hotkey->modifiers & ZMOD_WIN) && !held[0x5B] && !held[0x5C]) return false;
    return true;
}

void pollReleases(void*) {
    if (g_pressed.empty()) return;
    Display* d = _ZX11Display();
    if (!d) return;
    bool held[256];
    _ZKeysQueryState(d, held);
    const std::list<ZHotkey*> pressed = g_pressed;
    for (ZHotkey* hotkey : pressed) {
        if (stillHeld(hotkey, held)) continue;
        g_pressed.remove(hotkey);
        _ZSystemSignalHotkey(hotkey, hotkey->name, false);
    }
}

void hook() {
    if (g_hooked) return;
    g_hooked = true;
    _ZX11SetHandler(_ZX11Root(), onPress);
    _ZLoopAddTick(pollReleases, nullptr);
}

}  // namespace

ZHotkey* ZSystemHotkeyOpen(const std::wstring& keys, const std::wstring& name) {
    ZTRACE();
    std::vector<std::wstring> names;
    ZTokenize(names, keys, L"+,");
    if (names.empty()) return nullptr;
    unsigned modifiers = 0, virtualKey = 0;
    for (const std::wstring& keyName : names) {
        const unsigned code = ZSystemKeyNameToCode(keyName);
        switch (code) {
            case 0: break;
            case 0x10: modifiers |= ZMOD_SHIFT; break;
            case 0x11: modifiers |= ZMOD_CONTROL; break;
            case 0x12: modifiers |= ZMOD_ALT; break;
            case 0x5B:
            case 0x5C: modifiers |= ZMOD_WIN; break;
            default: virtualKey = code; break;
        }
    }
    // Without a key the grab would be on every key of the keyboard.
    if (virtualKey == 0) return nullptr;
    Display* d = _ZX11Display();
    if (!d) return nullptr;
    const KeyCode code = _ZKeysKeycodeOfVirtualKey(d, virtualKey);
    if (code == 0) return nullptr;
    hook();
    const unsigned mask = xModifiers(modifiers);
    _ZX11TrapErrors();
    for (unsigned lock : kLockVariants)
        XGrabKey(d, code, mask | lock, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync);
    if (_ZX11UntrapErrors(d) != 0) {
        // Taken by another program (often the window manager itself).
        _ZX11TrapErrors();
        ungrab(d, code, mask);
        _ZX11UntrapErrors(d);
        ZLOG(L"WARNING Hotkey '" << keys << L"' is taken by another program, ignoring.");
        return nullptr;
    }
    ZHotkey* hotkey = new ZHotkey{keys, modifiers, virtualKey, g_nextId, name};
    g_hotkeys[g_nextId] = hotkey;
    g_keycodes[g_nextId] = code;
    ++g_nextId;
    return hotkey;
}

void ZSystemHotkeyClose(ZHotkey* hotkey) {
    ZTRACE();
    ZPRECONDITION(hotkey);
    ZHotkey* hotkeyStruct = hotkey;
    const auto code = g_keycodes.find(hotkey->id);
    if (code != g_keycodes.end()) {
        if (Display* d = _ZX11Display()) {
            _ZX11TrapErrors();
            ungrab(d, code->second, xModifiers(hotkey->modifiers));
            _ZX11UntrapErrors(d);
        }
        g_keycodes.erase(code);
    }
    g_hotkeys.erase(hotkey->id);
    // The release poll must never reach a closed hotkey.
    g_pressed.remove(hotkey);
    ZASSERT_PTR(hotkeyStruct);
    delete hotkeyStruct;
}

std::wstring ZSystemGetKeysPressed() {
    ZTRACE();
    bool held[256] = {};
    Display* d = _ZX11Display();
    ZWARNASSERT_T(d, "GetKeyboardState( keyboardState )");
    if (d) _ZKeysQueryState(d, held);
    std::list<std::wstring> names;
    for (int code = 0; code < 256; ++code) {
        if (code == 0x10 || code == 0x11 || code == 0x12 || code == 0x5B || code == 0x5C ||
            (code >= 0xA0 && code <= 0xA5))
            continue;
        if (held[code]) {
            names.push_back(ZSystemKeyCodeToName(code));
            break;
        }
    }
    for (int modifier : {0x12, 0x11, 0x10, 0x5B, 0x5C})
        if (held[modifier]) names.push_front(ZSystemKeyCodeToName(modifier));
    std::wstring text;
    for (const std::wstring& n : names) {
        if (!text.empty()) text += L'+';
        text += n;
    }
    return text;
}
