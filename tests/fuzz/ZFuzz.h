// What every fuzz target shares: a failed fatal check stops the run as a
// crash (without a hook it would only log), and log lines may be checked.
#pragma once

#include <string>

#include "ZUtil.h"

inline void zanFuzzTrap() { __builtin_trap(); }
inline void zanFuzzQuiet(const std::wstring&) {}

// Every line ends with its one line end; a control character before it
// (which only a peer's bytes can put there) would let it forge lines.
inline void zanFuzzCheckLine(const std::wstring& line) {
    for (std::size_t i = 0; i + 1 < line.size(); ++i)
        if (line[i] < 0x20 && line[i] != L'\t') __builtin_trap();
}

inline void zanFuzzHooks(ZLogHook log = zanFuzzQuiet) { ZSetDebugHooks(log, nullptr, zanFuzzTrap); }
