#include "ZPortable_Parse.h"

#include <algorithm>

#include "ZPortable_Text.h"
#include "ZSpiritClassic.h"
#include "ZUtil.h"

namespace sp = BOOST_SPIRIT_CLASSIC_NS;

namespace {

typedef const wchar_t* ZParseIter;

// A semantic action that stores the matched text.
struct ZAssignText {
    std::wstring& target;
    void operator()(ZParseIter first, ZParseIter last) const { target.assign(first, last); }
};

sp::parse_info<ZParseIter> parseAll(const std::wstring& text, const auto& grammar) {
    return sp::parse(text.data(), text.data() + text.size(), grammar);
}

// A peer's text as it may appear in a log line: short, one line.
std::wstring printable(const std::wstring& text) {
    const std::size_t kMaxUnits = 64;
    std::wstring out = text.substr(0, kMaxUnits);
    for (wchar_t& unit : out)
        if (unit < L' ' || unit == 0x7F) unit = L'?';
    if (text.size() > kMaxUnits) out += L"...";
    return out;
}

const wchar_t* const kListDelimiters = L"\t\n,;";

template <class Container>
void tokenize(Container& out, const std::wstring& text, const std::wstring& delimiters) {
    out.clear();
    std::wstring token;
    auto finish = [&] {
        std::wstring trimmed = ZTrim(token);
        if (!trimmed.empty()) out.push_back(std::move(trimmed));
        token.clear();
    };
    for (wchar_t unit : text) {
        if (delimiters.find(unit) != std::wstring::npos)
            finish();
        else
            token += unit;
    }
    finish();
}

}  // namespace

// ---- lists ----------------------------------------------------------------------

void ZTokenize(std::list<std::wstring>& out, const std::wstring& text, const std::wstring& delimiters) {
    tokenize(out, text, delimiters);
}

void ZTokenize(std::vector<std::wstring>& out, const std::wstring& text, const std::wstring& delimiters) {
    tokenize(out, text, delimiters);
}

void ZParseList(std::list<std::wstring>& out, const std::wstring& text) { tokenize(out, text, kListDelimiters); }

void ZParseList(std::vector<std::wstring>& out, const std::wstring& text) { tokenize(out, text, kListDelimiters); }

void ZPathSplit(const std::wstring& path, std::wstring& folder, std::wstring& file) {
    folder.clear();
    file.clear();
    // Paths from our own file dialogs use '/', those from Windows peers '\\'.
    std::list<std::wstring> parts;
    ZTokenize(parts, path, L"/\\");
    if (parts.empty()) return;
    file = parts.back();
    parts.pop_back();
    // The splitting drops the root of an absolute path: put it back.
    folder = (path[0] == L'/' ? L"/" : L"") + ZJoin(parts, L"/");
}

// ---- addresses and hosts ----------------------------------------------------------

void ZSplitAddress(const std::wstring& text, std::wstring& user, std::wstring& domain) {
    parseAll(text, (*(~sp::ch_p(L'@')))[ZAssignText{user}] >> sp::ch_p(L'@') >>
                       (+sp::anychar_p)[ZAssignText{domain}]);
}

std::wstring ZComposeAddress(const std::wstring& a, const std::wstring& b) { return a + L"@" + b; }

void ZSplitHostPort(const std::wstring& text, std::wstring& host, int& port) {
    host.clear();
    port = 0;
    std::wstring portText;
    const bool hasPort = parseAll(text, (+(~sp::ch_p(L':')))[ZAssignText{host}] >> sp::ch_p(L':') >>
                                            (+sp::anychar_p)[ZAssignText{portText}])
                             .hit;
    if (!hasPort) return;
    // A port outside the 16-bit range would be cut to another port when the
    // address is used: no port is safer than the wrong one.
    const std::int64_t value = ZToInt64(portText);
    if (!ZWITHIN(0, value, 65535)) {
        ZLOG(L"WARNING Port out of range in host text '" << printable(text) << L"', using port 0.");
        return;
    }
    port = static_cast<int>(value);
}

std::wstring ZNetComposeHost(const std::wstring& address, int port) { return address + L":" + ZToString(port); }

bool ZValidHost(const std::wstring& host) { return !host.empty() && !ZCaseEquals(host, L"0.0.0.0:0"); }

bool ZUnicastHost(const std::wstring& host) {
    const std::size_t colon = host.rfind(L':');
    if (colon == 0 || colon == std::wstring::npos || colon + 1 == host.size() || host.size() - colon > 6) return false;
    int port = 0;
    for (std::size_t i = colon + 1; i < host.size(); ++i) {
        if (host[i] < L'0' || host[i] > L'9') return false;
        port = port * 10 + (host[i] - L'0');
    }
    if (port < 1 || port > 65535) return false;
    // Only the first octet of a dotted address decides; a name passes.
    int first = 0;
    std::size_t i = 0;
    for (; i < colon && i < 4 && host[i] >= L'0' && host[i] <= L'9'; ++i) first = first * 10 + (host[i] - L'0');
    const bool dotted = i > 0 && i < colon && host[i] == L'.' &&
                        host.find_first_not_of(L"0123456789.") >= colon;
    return !dotted || (first > 0 && first < 224);
}

void ZSplitHTTPURL(const std::wstring& url, std::wstring& host, std::wstring& path) {
    parseAll(url, sp::str_p(L"http://") >> (+(~sp::ch_p(L'/')))[ZAssignText{host}] >>
                      (+sp::anychar_p)[ZAssignText{path}]);
}

void ZSplitURL(const std::wstring& text, std::wstring& scheme, std::wstring& rest) {
    parseAll(text, (+(~sp::ch_p(L':')))[ZAssignText{scheme}] >> sp::str_p(L"://") >>
                       (+sp::anychar_p)[ZAssignText{rest}]);
}

// ---- skin texts ------------------------------------------------------------------

void ZParseCommandItem(const std::wstring& text, std::wstring& path,
                       std::map<std::wstring, std::wstring>& arguments) {
    path.clear();
    arguments.clear();
    // Names and values stay paired: an item without a value adds an empty one.
    std::vector<std::wstring> names;
    std::vector<std::wstring> values;
    auto addName = [&](ZParseIter first, ZParseIter last) { names.emplace_back(first, last); };
    auto addValue = [&](ZParseIter first, ZParseIter last) { values.emplace_back(first, last); };
    auto addNoValue = [&](ZParseIter, ZParseIter) { values.emplace_back(); };

    const auto name = (+(~sp::chset_p(L"=+&")))[addName];
    const auto value = (+(~sp::chset_p(L"+&")))[addValue];
    const auto item = name >> ((sp::ch_p(L'=') >> (value | sp::eps_p[addNoValue])) | sp::eps_p[addNoValue]) >>
                      *sp::chset_p(L"+&");
    const auto pathText = (sp::chset_p(L"./") >> +(~sp::ch_p(L'?')))[ZAssignText{path}];
    const auto pathPart = pathText >> !(sp::ch_p(L'?') >> *item);
    parseAll(text, pathPart || *item);

    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
        if (values[i].empty())
            arguments[std::wstring()] = names[i];
        else
            arguments[names[i]] = values[i];
    }
}

bool ZParseNameRect(const std::wstring& text, std::wstring& name, ZRect& rect) {
    // White space is ASCII only, whatever the locale says.
    const auto blank = sp::chset_p(L" \t\n\v\f\r");
    const auto grammar = (+(~sp::ch_p(L'(')))[ZAssignText{name}] >> sp::ch_p(L'(') >>
                         sp::int_p[sp::assign_a(rect.left)] >> sp::ch_p(L',') >>
                         sp::int_p[sp::assign_a(rect.top)] >> sp::ch_p(L',') >>
                         sp::int_p[sp::assign_a(rect.right)] >> sp::ch_p(L',') >>
                         sp::int_p[sp::assign_a(rect.bottom)] >> sp::ch_p(L')');
    return sp::parse(text.data(), text.data() + text.size(), grammar, blank).hit;
}

namespace {

bool isAsciiBlank(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

int hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads like "%2x": leading blanks skipped, then an optional sign and hex
// digits, at most two units in all. Keeps the low byte of the number.
void readHexPair(const std::wstring& text, std::size_t offset, std::uint8_t& component) {
    std::size_t i = offset;
    while (i < text.size() && isAsciiBlank(text[i])) ++i;
    const std::size_t end = std::min(text.size(), i + 2);
    bool negative = false;
    if (i < end && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    unsigned int value = 0;
    bool found = false;
    for (; i < end && hexDigit(text[i]) >= 0; ++i) {
        value = value * 16 + static_cast<unsigned int>(hexDigit(text[i]));
        found = true;
    }
    if (!found) return;
    if (negative) value = 0u - value;
    component = static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace

ZColor::ZColor(const std::wstring& text) : r(255), g(255), b(255), a(255) {
    if (text.empty() || text[0] != L'#') {
        g = 0;
        b = 0;
        return;
    }
    if (text.size() >= 3) readHexPair(text, 1, r);
    if (text.size() >= 5) readHexPair(text, 3, g);
    if (text.size() >= 7) readHexPair(text, 5, b);
    if (text.size() >= 9) readHexPair(text, 7, a);
}
