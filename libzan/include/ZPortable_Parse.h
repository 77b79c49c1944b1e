// Small parsers for the textual forms that travel through the store, the
// messages and the skin: name lists, host texts, addresses, URLs, command
// items, image references with a rectangle, and colours.
//
// None of them reports a syntax error: each fills its outputs as far as the
// text matches and the caller decides what a partial result means. They read
// any text, however hostile, without aborting.
//
// Stateless: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "ZPortable_Rect.h"

// ---- lists --------------------------------------------------------------------

// Splits at every unit found in delimiters; tokens are trimmed and empty ones
// dropped, so "a,,b" and "a, ,b" both give a and b. The output is emptied first.
void ZTokenize(std::list<std::wstring>& out, const std::wstring& text, const std::wstring& delimiters);
void ZTokenize(std::vector<std::wstring>& out, const std::wstring& text, const std::wstring& delimiters);

// The list rule of store variables and header values: tab, line feed, comma
// and semicolon separate items.
void ZParseList(std::list<std::wstring>& out, const std::wstring& text);
void ZParseList(std::vector<std::wstring>& out, const std::wstring& text);

// Splits a path at '/' and '\\': file is the last part, folder the others
// joined with "/" (with the leading "/" of an absolute path). Both outputs
// are emptied first.
void ZPathSplit(const std::wstring& path, std::wstring& folder, std::wstring& file);

// ---- addresses and hosts --------------------------------------------------------
//
// The splitters assign each output as soon as its part of the text has
// matched; an output whose part does not match keeps what it held.

// "user@domain" (split at the first '@'): user is always assigned, domain only
// when something follows the '@'.
void ZSplitAddress(const std::wstring& text, std::wstring& user, std::wstring& domain);
// The buddy identifier and the device identifier joined by "@".
std::wstring ZComposeAddress(const std::wstring& a, const std::wstring& b);

// "address:port". host is cleared and port set to 0 first. A port text that
// is not a number from 0 to 65535 gives port 0 and one warning line.
void ZSplitHostPort(const std::wstring& text, std::wstring& host, int& port);
// "address:port" with the port in decimal.
std::wstring ZNetComposeHost(const std::wstring& address, int port);
// Not empty and not "0.0.0.0:0" (which means no address); no other check.
bool ZValidHost(const std::wstring& host);
// A host a datagram may be sent to: "address:port" with a port from 1 to
// 65535 and, when the address is dotted, neither 0.x.x.x, multicast,
// reserved nor broadcast. A name is not resolved here.
bool ZUnicastHost(const std::wstring& host);

// "http://host/path": path keeps its leading '/'. Another scheme assigns nothing.
void ZSplitHTTPURL(const std::wstring& url, std::wstring& host, std::wstring& path);
// "scheme://rest", as in the route entry "symmetric://1.2.3.4:5".
void ZSplitURL(const std::wstring& text, std::wstring& scheme, std::wstring& rest);

// ---- skin texts -----------------------------------------------------------------

// One command item of the skin's command language, "/path?action+name=value&...":
// arguments maps each name to its value and the empty name to the action (the
// last item without a value). Both outputs are emptied first.
void ZParseCommandItem(const std::wstring& text, std::wstring& path,
                       std::map<std::wstring, std::wstring>& arguments);

// "name(left, top, right, bottom)". True when the text matched up to the ')',
// whatever follows it. The rectangle's fields are written only as their
// numbers match, so callers zero it first.
bool ZParseNameRect(const std::wstring& text, std::wstring& name, ZRect& rect);

// A colour of four bytes read from "#rrggbb" or "#rrggbbaa".
struct ZColor {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    std::uint8_t a = 0;

    ZColor() = default;
    ZColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue, std::uint8_t alpha)
        : r(red), g(green), b(blue), a(alpha) {}
    // Pairs missing from a short text stay 255; a text not starting with '#'
    // gives opaque red.
    explicit ZColor(const std::wstring& text);
    bool operator==(const ZColor& o) const = default;
};
