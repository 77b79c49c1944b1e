// Compile-time "Class::method" text for log lines and trace scopes.
//
// ZFUNC yields a pointer to static storage holding the enclosing function's
// qualified name without return type, parameters or template arguments:
// "ZInstance::save", "ZThreadObject_ThreadProc". Lambdas report the method
// that contains them.
#pragma once

#include <cstddef>

namespace zan_detail {

template <std::size_t N>
struct ZLiteral {
    char text[N]{};
    constexpr ZLiteral(const char (&source)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = source[i];
    }
};

template <std::size_t N>
struct ZFunctionName {
    char text[N]{};
    constexpr ZFunctionName(const char* pretty) {
        // The parameter list starts at the first '(' outside template brackets.
        std::size_t open = N - 1;
        int depth = 0;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            const char c = pretty[i];
            if (c == '<') ++depth;
            else if (c == '>') --depth;
            else if (c == '(' && depth == 0) { open = i; break; }
        }
        // The name starts after the last blank before it (the return type's end).
        std::size_t start = 0;
        depth = 0;
        for (std::size_t i = open; i-- > 0;) {
            const char c = pretty[i];
            if (c == '>') ++depth;
            else if (c == '<') --depth;
            else if (c == ' ' && depth == 0) { start = i + 1; break; }
        }
        std::size_t out = 0;
        depth = 0;
        for (std::size_t i = start; i < open; ++i) {
            const char c = pretty[i];
            if (c == '<') { ++depth; continue; }
            if (c == '>') { --depth; continue; }
            if (depth == 0) text[out++] = c;
        }
        text[out] = 0;
    }
};

template <ZLiteral L>
inline constexpr ZFunctionName<sizeof(L.text)> functionName{L.text};

}  // namespace zan_detail

#define ZFUNC (::zan_detail::functionName<::zan_detail::ZLiteral<sizeof(__PRETTY_FUNCTION__)>(__PRETTY_FUNCTION__)>.text)
