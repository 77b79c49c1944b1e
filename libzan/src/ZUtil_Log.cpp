// The log hooks, the category filter and the message builders.
#include <cstring>

#include "ZNonPortable_Base.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

ZLogHook g_logHook = nullptr;
ZDebugHook g_callStackHook = nullptr;
ZDebugHook g_abortHook = nullptr;

constexpr int kFilterMax = 52;
char g_filter[kFilterMax + 1] = {0};

}  // namespace

void ZSetDebugHooks(ZLogHook logHook, ZDebugHook callStackHook, ZDebugHook abortHook) {
    g_logHook = logHook;
    g_callStackHook = callStackHook;
    g_abortHook = abortHook;
}

void ZLog(const std::wstring& line) {
    if (g_logHook) g_logHook(line);
}

void ZLogCallStack() {
    if (g_callStackHook) g_callStackHook();
}

void ZAbort() {
    if (g_abortHook) g_abortHook();
}

void ZLogSetFilter(const std::string& filter) {
    const std::size_t n = filter.size() < kFilterMax ? filter.size() : kFilterMax;
    std::memcpy(g_filter, filter.data(), n);
    g_filter[n] = 0;
}

std::string ZLogGetFilter() { return std::string(g_filter); }

bool ZLogIsEnabled(char category) {
    const bool lower = category >= 'a' && category <= 'z';
    const bool upper = category >= 'A' && category <= 'Z';
    for (int i = 0; i < kFilterMax && g_filter[i]; ++i) {
        const char c = g_filter[i];
        if (c == category || (c == 'x' && lower) || (c == 'X' && upper)) return true;
    }
    return false;
}

std::wstring ZLogPrefix(const char* file, int line, const char* function) {
    std::wstring s;
    s.reserve(96);
    s << file << L"(" << line << L"): [" << function << L"] ";
    return s;
}

namespace {
template <typename T>
std::wstring& appendDecimal(std::wstring& s, T value) {
    wchar_t buffer[32];
    int n = 0;
    const bool negative = value < 0;
    unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                            : static_cast<unsigned long long>(value);
    do {
        buffer[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (negative) s += L'-';
    while (n) s += buffer[--n];
    return s;
}
}  // namespace

std::wstring& operator<<(std::wstring& s, int value) { return appendDecimal(s, value); }
std::wstring& operator<<(std::wstring& s, unsigned int value) { return appendDecimal(s, value); }
std::wstring& operator<<(std::wstring& s, long value) { return appendDecimal(s, value); }
std::wstring& operator<<(std::wstring& s, unsigned long value) { return appendDecimal(s, value); }
std::wstring& operator<<(std::wstring& s, long long value) { return appendDecimal(s, value); }
std::wstring& operator<<(std::wstring& s, unsigned long long value) { return appendDecimal(s, value); }

std::wstring& operator<<(std::wstring& s, const char* utf8) {
    s += ZFromUTF8(utf8);
    return s;
}

std::wstring& operator<<(std::wstring& s, const std::string& utf8) {
    s += ZFromUTF8(utf8);
    return s;
}

std::wstring& operator<<(std::wstring& s, const wchar_t* text) {
    if (text) s += text;
    return s;
}

std::wstring& operator<<(std::wstring& s, const std::wstring& text) {
    s += text;
    return s;
}

std::wstring& operator<<(std::wstring& s, wchar_t unit) {
    s += unit;
    return s;
}

std::string& operator<<(std::string& s, int value) {
    s += std::to_string(value);
    return s;
}
