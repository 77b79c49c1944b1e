// The message value: fields, first line, content parts and the text form it
// is written in. Reading the text form back is in ZHTTPHeaders_Parse.cpp.
#include "ZHTTPHeaders.h"

#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

ZHTTPHeaders::ZHTTPHeaders() = default;

ZHTTPHeaders::ZHTTPHeaders(const std::wstring& method) { setMethod(method); }

ZHTTPHeaders::ZHTTPHeaders(const ZHTTPHeaders& other) = default;

ZHTTPHeaders& ZHTTPHeaders::operator=(const ZHTTPHeaders& other) = default;

ZHTTPHeaders::~ZHTTPHeaders() = default;

void ZHTTPHeaders::clear() {
    _headerMap.clear();
    _debugText.clear();
    _contentArray.clear();
}

bool ZHTTPHeaders::empty() const { return _headerMap.empty() && _contentArray.empty(); }

// ---- reading fields ------------------------------------------------------------

std::wstring ZHTTPHeaders::get(const std::wstring& name) const {
    const auto found = _headerMap.find(name);
    return found == _headerMap.end() ? std::wstring() : found->second;
}

bool ZHTTPHeaders::get(const std::wstring& name, std::list<std::wstring>& out) const {
    ZParseList(out, get(name));
    return !out.empty();
}

bool ZHTTPHeaders::isSet(const std::wstring& name) const { return !get(name).empty(); }

int ZHTTPHeaders::calc(const std::wstring& name) const { return static_cast<int>(ZToInt64(get(name))); }

std::int64_t ZHTTPHeaders::calc64(const std::wstring& name) const { return ZToInt64(get(name)); }

bool ZHTTPHeaders::test(const std::wstring& name) const {
    const std::wstring value = get(name);
    return ZCaseEquals(value, L"true") || ZToInt64(value) >= 1;
}

// ---- writing fields ------------------------------------------------------------

void ZHTTPHeaders::set(const std::wstring& name, const std::wstring& value) {
    _headerMap[name] = value;
    _debugUpdate();
}

void ZHTTPHeaders::set(const std::wstring& name, const wchar_t* value) { set(name, std::wstring(value ? value : L"")); }

void ZHTTPHeaders::set(const std::wstring& name, int value) { set(name, ZToString(value)); }

void ZHTTPHeaders::set(const std::wstring& name, std::int64_t value) { set(name, ZToString(value)); }

void ZHTTPHeaders::set(const std::wstring& name, bool value) { set(name, std::wstring(value ? L"true" : L"false")); }

void ZHTTPHeaders::set(const std::wstring& name, const std::list<std::wstring>& values) {
    ZTRACE();
    set(name, ZJoin(values, L", "));
}

void ZHTTPHeaders::insert(const std::wstring& name, const std::wstring& value) {
    ZTRACE();
    ZPRECONDITION(!name.empty( ));
    std::list<std::wstring> items;
    get(name, items);
    if (ZContains(items, value)) return;
    items.push_back(value);
    set(name, items);
}

// ---- the first line --------------------------------------------------------------

void ZHTTPHeaders::setMethod(const std::wstring& method) { set(std::wstring(), method + L" / HTTP/1.1"); }

void ZHTTPHeaders::setMethod(const std::wstring& method, const std::wstring& path) {
    set(std::wstring(), method + L" " + path + L" HTTP/1.1");
}

std::wstring ZHTTPHeaders::getResponseReason() const {
    std::wstring reason;
    getResponse(reason);
    return reason;
}

std::wstring ZHTTPHeaders::getResponseSummary() const {
    std::wstring reason;
    const int code = getResponse(reason);
    return L"#" + ZToString(code) + L" '" + reason + L"'";
}

bool ZHTTPHeaders::succeeded() const { return getResponse() == ZHTTP_SUCCESS; }

// ---- content parts -----------------------------------------------------------------

void ZHTTPHeaders::addContent(const char* data, int length) {
    ZTRACE();
    ZPRECONDITION(length >= 0 && (data || !length));
    std::list<std::wstring> lengths;
    get(L"Content-Length", lengths);
    lengths.push_back(ZToString(length));
    set(L"Content-Length", lengths);
    _contentArray.emplace_back(data ? data : "", static_cast<std::size_t>(length));
}

void ZHTTPHeaders::addContent(const std::string& part) {
    ZPRECONDITION(part.size() <= 0x7FFFFFFFu);
    addContent(part.data(), static_cast<int>(part.size()));
}

bool ZHTTPHeaders::hasContent() const {
    ZTRACE();
    return !_contentArray.empty();
}

int ZHTTPHeaders::getContentCount() const { return static_cast<int>(_contentArray.size()); }

const std::string& ZHTTPHeaders::getContent(int index) const {
    ZTRACE();
    ZASSERT(ZWITHIN( 0, index, (int)_contentArray.size( )-1 ));
    return _contentArray[static_cast<std::size_t>(index)];
}

// ---- the text form -------------------------------------------------------------------

std::string ZHTTPHeaders::serialize() const {
    ZTRACE();
    std::string out;
    for (const auto& [name, value] : _headerMap) {
        if (!name.empty()) {
            out += ZEscape(ZToUTF8(name), ": ");
            out += ": ";
        }
        out += ZEscape(ZToUTF8(value), "");
        out += "\r\n";
    }
    out += "\r\n";
    for (const std::string& part : _contentArray) out += part;
    return out;
}

void ZHTTPHeaders::_debugUpdate() {
    ZTRACE();
    std::wstring text;
    for (const auto& [name, value] : _headerMap) {
        if (!name.empty()) text += name + L": ";
        text += value;
        text += L'\n';
    }
    text += L'\n';
    _debugText = ZToUTF8(text);
}
