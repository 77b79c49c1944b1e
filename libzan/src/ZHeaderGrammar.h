// The byte rules of header text, shared by the message parser and the
// settings file reader: blank, escape, name, value and the line ends.
//
// Every read checks the end of the input before it looks at a byte, so any
// run of bytes (a datagram, a relay frame, a damaged file) is safe to read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ZPortable_Text.h"

// Where a matched name or value lies in the input, still escaped.
struct ZHeaderSpan {
    std::size_t offset = 0;
    std::size_t length = 0;
    // Whether the text holds an escape, so that it needs unescaping.
    bool escaped = false;
};

// A cursor over untrusted bytes that matches the header rules one at a time.
class ZHeaderReader {
public:
    ZHeaderReader(const char* data, std::size_t length) : _data(data), _length(length) {}

    std::size_t position() const { return _pos; }
    void seek(std::size_t position) { _pos = position; }

    // Zero or more spaces and tabs.
    void skipBlank() {
        while (_pos < _length && (_data[_pos] == ' ' || _data[_pos] == '\t')) ++_pos;
    }

    // One or more items, each an escape or a byte other than '\', CR, LF and
    // ':'.
    bool name(ZHeaderSpan& out) { return _items(out, true) > 0; }

    // Zero or more items, each an escape or a byte other than '\', CR and LF.
    void value(ZHeaderSpan& out) { _items(out, false); }

    // The matched text, unescaped when it holds an escape.
    std::string text(const ZHeaderSpan& span) const {
        const std::string raw(_data + span.offset, span.length);
        return span.escaped ? ZUnescape(raw) : raw;
    }

    bool literal(char c) {
        if (_pos >= _length || _data[_pos] != c) return false;
        ++_pos;
        return true;
    }

    bool crlf() {
        if (_length - _pos < 2 || _data[_pos] != '\r' || _data[_pos + 1] != '\n') return false;
        _pos += 2;
        return true;
    }

    // CR LF, a lone LF or a lone CR.
    bool lineEnd() { return crlf() || literal('\n') || literal('\r'); }

private:
    // Eight bytes at a time while none of them ends the run: a header line is
    // mostly plain text.
    static std::uint64_t _stops(std::uint64_t bytes, bool stopAtColon) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ull;
        constexpr std::uint64_t kHighs = 0x8080808080808080ull;
        auto equal = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
        std::uint64_t found = equal(bytes ^ (kOnes * '\\')) | equal(bytes ^ (kOnes * '\r')) |
                              equal(bytes ^ (kOnes * '\n'));
        if (stopAtColon) found |= equal(bytes ^ (kOnes * ':'));
        return found;
    }

    std::size_t _items(ZHeaderSpan& out, bool stopAtColon) {
        const std::size_t start = _pos;
        out.escaped = false;
        while (_pos < _length) {
            if (_length - _pos >= 8) {
                std::uint64_t bytes;
                std::memcpy(&bytes, _data + _pos, 8);
                const std::uint64_t found = _stops(bytes, stopAtColon);
                // Little-endian: the lowest flagged byte is the first; a
                // byte after it may be flagged wrongly, never one before.
                if (!found) {
                    _pos += 8;
                    continue;
                }
                _pos += static_cast<std::size_t>(__builtin_ctzll(found)) / 8;
            }
            const char c = _data[_pos];
            if (c == '\\') {
                // An escape needs the byte it stands for; a lone backslash at
                // the end ends the run instead.
                if (_length - _pos < 2) break;
                _pos += 2;
                out.escaped = true;
                continue;
            }
            if (c == '\r' || c == '\n' || (stopAtColon && c == ':')) break;
            ++_pos;
        }
        out.offset = start;
        out.length = _pos - start;
        return out.length;
    }

    const char* _data;
    std::size_t _length;
    std::size_t _pos = 0;
};
