// Windows virtual-key codes against X keysyms: one table shared by window
// input, global hotkeys, key state and injected keys (screen sharing carries
// these codes on the wire).
//
// Stateless tables; the functions taking a Display use it on the caller's thread.
#pragma once

#include <X11/Xlib.h>

// The virtual-key code a key event reports: generic SHIFT, CONTROL and MENU
// for either side, keypad digits only with NumLock on; 0 for keys without one.
unsigned _ZKeysVirtualKeyOfEvent(XKeyEvent& event);
unsigned _ZKeysVirtualKeyOfKeysym(KeySym keysym);
// The keysym that produces a virtual key (the left one for generic modifiers), 0 when none.
KeySym _ZKeysKeysymOfVirtualKey(unsigned vk);
// The keycode of a virtual key on this server's keymap, 0 when it has none.
KeyCode _ZKeysKeycodeOfVirtualKey(Display* display, unsigned vk);
// Which virtual keys are held now (XQueryKeymap, mouse buttons from the pointer).
void _ZKeysQueryState(Display* display, bool held[256]);
