// Text conversion between UTF-16 units and UTF-8 bytes, escaping, numbers.
#include <cstring>

#include "ZPortable_Text.h"

void ZToUTF8(const wchar_t* units, int count, std::string& out) {
    out.assign(static_cast<std::size_t>(count > 0 ? count : 0) * 3, '\0');
    char* p = out.data();
    for (int i = 0; i < count; ++i) {
        const std::uint32_t u = static_cast<std::uint32_t>(units[i]);
        if (u < 0x80) {
            *p++ = static_cast<char>(u);
        } else if (u < 0x800) {
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
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string ZToUTF8(const std::wstring& text) {
    std::string out;
    ZToUTF8(text.data(), static_cast<int>(text.size()), out);
    return out;
}

void ZFromUTF8(const char* bytes, int count, std::wstring& out) {
    out.assign(static_cast<std::size_t>(count > 0 ? count : 0), L'\0');
    wchar_t* p = out.data();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    for (int i = 0; i < count; ++i) {
        const unsigned c = b[i];
        const int rest = count - i - 1;
        if (c < 0x80) {
            *p++ = static_cast<wchar_t>(c);
        } else if (c < 0xC0) {
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
            if (rest >= 2) i += 3;
        } else {
            *p++ = L'X';
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
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
