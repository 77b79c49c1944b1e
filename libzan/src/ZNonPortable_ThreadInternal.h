// Inside the layer: the registry's start-up and shut-down.
#pragma once

#include <string>

// Registers the calling thread (the UI thread at start-up).
void _ZThreadRegisterCurrent(const std::wstring& name);
// Empties the registry and the process CPU state.
void _ZThreadResetRegistry();
