// Text conversion between UTF-16 units and UTF-8 bytes, escaping, numbers.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "ZPortable_Text.h"

char* ZToUTF8Into(const wchar_t* units, std::size_t count, char* p) {
    std::size_t i = 0;
    while (i < count) {
        // Runs of ASCII, the bulk of every message, take one test a unit.
        while (i < count && static_cast<std::uint32_t>(units[i]) < 0x80) *p++ = static_cast<char>(units[i++]);
        if (i == count) break;
        const std::uint32_t u = static_cast<std::uint32_t>(units[i]);
        if (u < 0x800) {
            *p++ = static_cast<char>(0xC0 | (u >> 6));
            *p++ = static_cast<char>(0x80 | (u & 0x3F));
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            // Half of a surrogate pair: the whole character becomes one 'X'.
            *p++ = 'X';
            ++i;
        } else if (u > 0xFFFF) {
            // Not a UTF-16 unit at all (a 32-bit wchar_t literal): one 'X'.
            *p++ = 'X';
        } else {
            *p++ = static_cast<char>(0xE0 | (u >> 12));
            *p++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (u & 0x3F));
        }
        ++i;
    }
    return p;
}

void ZToUTF8(const wchar_t* units, int count, std::string& out) {
    out.assign(static_cast<std::size_t>(count > 0 ? count : 0) * 3, '\0');
    char* end = ZToUTF8Into(units, static_cast<std::size_t>(count > 0 ? count : 0), out.data());
    out.resize(static_cast<std::size_t>(end - out.data()));
}

std::string ZToUTF8(const std::wstring& text) {
    std::string out;
    ZToUTF8(text.data(), static_cast<int>(text.size()), out);
    return out;
}

wchar_t* ZFromUTF8Into(const char* bytes, std::size_t count, wchar_t* p) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t i = 0;
    while (i < count) {
        // ASCII eight bytes at a time, then byte by byte up to the next
        // longer sequence.
        for (std::uint64_t bytes; count - i >= 8; i += 8, p += 8) {
            std::memcpy(&bytes, b + i, 8);
            if (bytes & 0x8080808080808080ull) break;
            for (int k = 0; k < 8; ++k) p[k] = static_cast<wchar_t>(b[i + static_cast<std::size_t>(k)]);
        }
        while (i < count && b[i] < 0x80) *p++ = static_cast<wchar_t>(b[i++]);
        if (i == count) break;
        const unsigned c = b[i];
        const std::size_t rest = count - i - 1;
        if (c < 0xC0) {
            *p++ = L'X';
        } else if (c < 0xE0) {
            if (rest >= 1) {
                *p++ = static_cast<wchar_t>(((c & 0x1F) << 6) | (b[i + 1] & 0x3F));
                i += 1;
            } else {
                *p++ = L'X';
            }
        } else if (c < 0xF0) {
            if (rest >= 2) {
                *p++ = static_cast<wchar_t>(((c & 0x0F) << 12) | ((b[i + 1] & 0x3F) << 6) | (b[i + 2] & 0x3F));
                i += 2;
            } else {
                *p++ = L'X';
            }
        } else if (c < 0xF8) {
            *p++ = L'X';
            // The three bytes after it are skipped; a skip past the end ends
            // the text.
            if (rest >= 2) i += 3;
        } else {
            *p++ = L'X';
        }
        ++i;
    }
    return p;
}

void ZFromUTF8(const char* bytes, int count, std::wstring& out) {
    out.assign(static_cast<std::size_t>(count > 0 ? count : 0), L'\0');
    wchar_t* end = ZFromUTF8Into(bytes, static_cast<std::size_t>(count > 0 ? count : 0), out.data());
    out.resize(static_cast<std::size_t>(end - out.data()));
}

std::wstring ZFromUTF8(const std::string& bytes) {
    std::wstring out;
    ZFromUTF8(bytes.data(), static_cast<int>(bytes.size()), out);
    return out;
}

std::wstring ZFromUTF8(const char* zeroTerminated) {
    std::wstring out;
    if (zeroTerminated) ZFromUTF8(zeroTerminated, static_cast<int>(std::strlen(zeroTerminated)), out);
    return out;
}

void ZToHex(unsigned int value, std::wstring& out, int digits) {
    if (digits < 0) digits = 0;
    out = L"0x";
    out.resize(static_cast<std::size_t>(digits) + 2, L'0');
    for (int i = digits + 1; i >= 2; --i) {
        const unsigned nibble = value & 0xF;
        out[static_cast<std::size_t>(i)] = static_cast<wchar_t>(nibble < 10 ? L'0' + nibble : L'A' + nibble - 10);
        value >>= 4;
    }
}

std::wstring ZToHex(unsigned int value, int digits) {
    std::wstring out;
    ZToHex(value, out, digits);
    return out;
}

std::wstring ZToHexPointer(const void* pointer) {
    std::uint64_t value = reinterpret_cast<std::uintptr_t>(pointer);
    std::wstring out = L"0x";
    out.resize(18, L'0');
    for (int i = 17; i >= 2; --i) {
        const unsigned nibble = static_cast<unsigned>(value & 0xF);
        out[static_cast<std::size_t>(i)] = static_cast<wchar_t>(nibble < 10 ? L'0' + nibble : L'A' + nibble - 10);
        value >>= 4;
    }
    return out;
}

std::string ZEscape(const std::string& text, const std::string& extra) {
    std::string out;
    out.reserve(text.size() + 8);
    for (const char c : text) {
        switch (c) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\\': out += "\\\\"; break;
            default:
                if (extra.find(c) != std::string::npos) out += '\\';
                out += c;
        }
    }
    return out;
}

std::string ZUnescape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size()) break;  // a trailing backslash is dropped
        switch (text[i]) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            default: out += text[i];
        }
    }
    return out;
}

std::string ZToNarrowString(std::int64_t value) {
    if (value == 0) return "0";
    // The magnitude as unsigned, so the most negative value is exact.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    char buffer[32];
    int n = 32;
    while (magnitude) {
        buffer[--n] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    }
    if (value < 0) buffer[--n] = '-';
    return std::string(buffer + n, static_cast<std::size_t>(32 - n));
}

std::string ZToNarrowString(double value, int decimals) {
    if (decimals < 0) decimals = 0;
    if (decimals > 60) decimals = 60;
    char format[16];
    std::snprintf(format, sizeof format, "%%0.0%df", decimals);
    char buffer[64];
    // Text longer than the buffer is cut: callers print sizes, speeds and
    // percentages, never numbers of that length.
    std::snprintf(buffer, sizeof buffer, format, value);
    return std::string(buffer);
}

std::wstring ZToString(std::int64_t value) { return ZFromUTF8(ZToNarrowString(value)); }

std::wstring ZToString(int value) { return ZToString(static_cast<std::int64_t>(value)); }

std::wstring ZToString(double value, int decimals) { return ZFromUTF8(ZToNarrowString(value, decimals)); }

std::int64_t ZToInt64(const wchar_t* text) {
    if (!text || !*text) return 0;
    bool negative = false;
    if (*text == L'-') {
        negative = true;
        ++text;
    }
    std::uint64_t value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) value = value * 10 + static_cast<std::uint64_t>(*text - L'0');
    return static_cast<std::int64_t>(negative ? 0 - value : value);
}

std::int64_t ZToInt64(const std::wstring& text) { return ZToInt64(text.c_str()); }

std::wstring ZFormatByteSize(std::int64_t bytes) {
    const double n = static_cast<double>(bytes);
    if (bytes < 1024) return ZToString(bytes) + L"B";
    if (bytes < 1048576) return ZToString(n * (1.0 / 1024), 2) + L"KB";
    if (bytes < 1073741824) return ZToString(n * (1.0 / 1048576), 2) + L"MB";
    return ZToString(n * (1.0 / 1073741824), 2) + L"GB";
}

namespace {
wchar_t asciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }
bool isBlank(wchar_t c) { return c == L'\n' || c == L'\r' || c == L'\t' || c == L' '; }
}  // namespace

bool ZCaseEquals(const wchar_t* a, int lenA, const wchar_t* b, int lenB) {
    if (lenA != lenB) return false;
    for (int i = 0; i < lenA; ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

bool ZCaseEquals(const std::wstring& a, const wchar_t* b) {
    const std::wstring_view other = b ? std::wstring_view(b) : std::wstring_view();
    return ZCaseEquals(a.data(), static_cast<int>(a.size()), other.data(), static_cast<int>(other.size()));
}

bool ZCaseEquals(const std::wstring& a, const std::wstring& b) {
    return ZCaseEquals(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
}

bool ZBeginsWith(const std::wstring& s, const wchar_t* prefix) {
    const std::wstring p = prefix ? prefix : L"";
    if (p.size() > s.size()) return false;
    return ZCaseEquals(s.data(), static_cast<int>(p.size()), p.data(), static_cast<int>(p.size()));
}

bool ZEndsWith(const std::wstring& s, const wchar_t* suffix) {
    const std::wstring p = suffix ? suffix : L"";
    if (p.size() > s.size()) return false;
    return ZCaseEquals(s.data() + (s.size() - p.size()), static_cast<int>(p.size()), p.data(),
                       static_cast<int>(p.size()));
}

std::wstring ZToLower(const std::wstring& s) {
    std::wstring out(s);
    for (auto& c : out) c = asciiLower(c);
    return out;
}

std::wstring ZNormalizeGUID(const std::wstring& s) {
    std::wstring out;
    out.reserve(s.size());
    for (const wchar_t c : s) {
        const wchar_t l = asciiLower(c);
        if ((l >= L'a' && l <= L'z') || (l >= L'0' && l <= L'9') || l == L'-' || l == L'_' || l == L'@' || l == L'.')
            out += l;
    }
    return out;
}

std::wstring ZTrim(const std::wstring& s) {
    std::size_t begin = 0;
    while (begin < s.size() && isBlank(s[begin])) ++begin;
    std::size_t end = s.size();
    while (end > begin && isBlank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

std::wstring ZCollapseWhitespace(const std::wstring& s) {
    const std::wstring trimmed = ZTrim(s);
    std::wstring out;
    out.reserve(trimmed.size());
    bool inRun = false;
    for (const wchar_t c : trimmed) {
        if (c == L'\t' || c == L'\n' || c == L' ') {
            if (!inRun) out += L' ';
            inRun = true;
        } else {
            out += c;
            inRun = false;
        }
    }
    return out;
}

std::wstring ZRemoveChars(const std::wstring& s, const std::wstring& chars) {
    std::wstring out;
    out.reserve(s.size());
    for (const wchar_t c : s)
        if (chars.find(c) == std::wstring::npos) out += c;
    return out;
}

std::wstring ZJoin(const std::list<std::wstring>& items, const std::wstring& separator) {
    std::wstring out;
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += separator;
        out += item;
        first = false;
    }
    return out;
}

bool ZContains(const std::list<std::wstring>& items, const std::wstring& item) {
    for (const auto& candidate : items)
        if (candidate == item) return true;
    return false;
}
