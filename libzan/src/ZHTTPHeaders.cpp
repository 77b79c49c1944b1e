// The message value: fields, first line, content parts and the text form it
// is written in. Reading the text form back is in ZHTTPHeaders_Parse.cpp.
#include "ZHTTPHeaders.h"

#include <algorithm>

#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// Unused text is dropped once there is this much of it and it outweighs the
// text in use, so replacing values again and again costs no more than
// twice the live text.
constexpr std::size_t kCompactAfter = 256;

// One header name or value as UTF-8 with its escapes: units converted as a
// whole text would be (a surrogate takes the unit after it along), then
// TAB, LF, CR and '\' escaped, and in names ':' and ' ' too. Needs room for
// three bytes a unit.
char* putEscaped(std::wstring_view text, bool name, char* p) {
    const wchar_t* units = text.data();
    const std::size_t count = text.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t u = static_cast<std::uint32_t>(units[i]);
        if (u < 0x80) {
            switch (u) {
            case '\t': *p++ = '\\', *p++ = 't'; break;
            case '\n': *p++ = '\\', *p++ = 'n'; break;
            case '\r': *p++ = '\\', *p++ = 'r'; break;
            case '\\': *p++ = '\\', *p++ = '\\'; break;
            case ':':
            case ' ':
                if (name) *p++ = '\\';
                *p++ = static_cast<char>(u);
                break;
            default: *p++ = static_cast<char>(u);
            }
            continue;
        }
        // Every byte of a longer sequence is 0x80 or above and never escaped.
        const bool surrogate = u >= 0xD800 && u <= 0xDFFF;
        p = ZToUTF8Into(units + i, 1, p);
        if (surrogate) ++i;
    }
    return p;
}

}  // namespace

// Names are ordered by their code units as std::wstring orders them; the
// names are short, so a plain loop beats a call into the C library.
bool ZHTTPHeaders::_less(std::wstring_view a, std::wstring_view b) {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return a[i] < b[i];
    return a.size() < b.size();
}

bool ZHTTPHeaders::_equal(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

ZHTTPHeaders::ZHTTPHeaders() = default;

ZHTTPHeaders::ZHTTPHeaders(const std::wstring& method) { setMethod(method); }

ZHTTPHeaders::ZHTTPHeaders(const ZHTTPHeaders& other) = default;

ZHTTPHeaders& ZHTTPHeaders::operator=(const ZHTTPHeaders& other) = default;

ZHTTPHeaders::~ZHTTPHeaders() = default;

void ZHTTPHeaders::clear() {
    _fields.clear();
    _text.clear();
    _unusedText = 0;
    _debugText.clear();
    _debugState = DebugText::Empty;
    _contentArray.clear();
}

bool ZHTTPHeaders::empty() const { return _fields.empty() && _contentArray.empty(); }

// ---- the field table -------------------------------------------------------------

const ZHTTPHeaders::Field* ZHTTPHeaders::_find(std::wstring_view name) const {
    const auto at = std::lower_bound(_fields.begin(), _fields.end(), name,
                                     [this](const Field& field, std::wstring_view n) { return _less(_nameOf(field), n); });
    return at != _fields.end() && _equal(_nameOf(*at), name) ? &*at : nullptr;
}

std::wstring_view ZHTTPHeaders::_view(std::wstring_view name) const {
    const Field* field = _find(name);
    return field ? _valueOf(*field) : std::wstring_view();
}

void ZHTTPHeaders::_store(std::wstring_view name, std::wstring_view value) {
    const auto at = std::lower_bound(_fields.begin(), _fields.end(), name,
                                     [this](const Field& field, std::wstring_view n) { return _less(_nameOf(field), n); });
    if (at != _fields.end() && _equal(_nameOf(*at), name)) {
        if (value.size() <= at->valueLength) {
            // In place: the tail of the old value is left unused.
            std::copy(value.begin(), value.end(), _text.begin() + static_cast<std::ptrdiff_t>(at->valueAt));
            _unusedText += at->valueLength - value.size();
        } else {
            _unusedText += at->valueLength;
            at->valueAt = _text.size();
            _text.append(value);
        }
        at->valueLength = value.size();
        if (_unusedText >= kCompactAfter && _unusedText > _text.size() / 2) _compact();
        return;
    }
    const Field field{_text.size(), name.size(), _text.size() + name.size(), value.size()};
    _text.append(name);
    _text.append(value);
    _fields.insert(at, field);
}

void ZHTTPHeaders::_fileParsed(const Field& field) {
    // The wire carries the fields in order, so a new one almost always goes
    // last; a name seen again keeps the value of its last line.
    const std::wstring_view name = _nameOf(field);
    if (_fields.empty() || _less(_nameOf(_fields.back()), name)) {
        _fields.push_back(field);
        return;
    }
    const auto at = std::lower_bound(_fields.begin(), _fields.end(), name,
                                     [this](const Field& f, std::wstring_view n) { return _less(_nameOf(f), n); });
    if (_equal(_nameOf(*at), name)) {
        _unusedText += at->nameLength + at->valueLength;
        *at = field;
    } else {
        _fields.insert(at, field);
    }
}

void ZHTTPHeaders::_compact() {
    std::wstring text;
    text.reserve(_text.size() - _unusedText);
    for (Field& field : _fields) {
        const std::size_t nameAt = text.size();
        text.append(_nameOf(field));
        const std::size_t valueAt = text.size();
        text.append(_valueOf(field));
        field.nameAt = nameAt;
        field.valueAt = valueAt;
    }
    _text.swap(text);
    _unusedText = 0;
}

// ---- reading fields ------------------------------------------------------------

std::wstring ZHTTPHeaders::get(const std::wstring& name) const { return std::wstring(_view(name)); }

bool ZHTTPHeaders::get(const std::wstring& name, std::list<std::wstring>& out) const {
    ZParseList(out, get(name));
    return !out.empty();
}

bool ZHTTPHeaders::isSet(const std::wstring& name) const { return !_view(name).empty(); }

std::wstring ZHTTPHeaders::get(const wchar_t* name) const {
    return std::wstring(_view(name ? std::wstring_view(name) : std::wstring_view()));
}

bool ZHTTPHeaders::isSet(const wchar_t* name) const {
    return !_view(name ? std::wstring_view(name) : std::wstring_view()).empty();
}

int ZHTTPHeaders::calc(const std::wstring& name) const { return static_cast<int>(ZToInt64(get(name))); }

std::int64_t ZHTTPHeaders::calc64(const std::wstring& name) const { return ZToInt64(get(name)); }

bool ZHTTPHeaders::test(const std::wstring& name) const {
    const std::wstring value = get(name);
    return ZCaseEquals(value, L"true") || ZToInt64(value) >= 1;
}

// ---- writing fields ------------------------------------------------------------

void ZHTTPHeaders::set(const std::wstring& name, const std::wstring& value) {
    _store(name, value);
    _debugState = DebugText::Stale;
}

void ZHTTPHeaders::set(const std::wstring& name, const wchar_t* value) {
    _store(name, value ? std::wstring_view(value) : std::wstring_view());
    _debugState = DebugText::Stale;
}

void ZHTTPHeaders::set(const std::wstring& name, int value) { set(name, ZToString(value)); }

void ZHTTPHeaders::set(const std::wstring& name, std::int64_t value) { set(name, ZToString(value)); }

void ZHTTPHeaders::set(const std::wstring& name, bool value) { set(name, value ? L"true" : L"false"); }

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
    const std::wstring name = L"Content-Length";
    const std::wstring_view current = _view(name);
    if (current.empty()) {
        // The first part: its length is the whole list.
        set(name, ZToString(length));
    } else {
        std::list<std::wstring> lengths;
        get(name, lengths);
        lengths.push_back(ZToString(length));
        set(name, lengths);
    }
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
    std::string out;
    serialize(out);
    return out;
}

void ZHTTPHeaders::serialize(std::string& out) const {
    ZTRACE();
    // Room for the worst case (three bytes a unit, ": " and CR LF a line),
    // written in one pass and cut to what was written.
    std::size_t room = 2;
    for (const Field& field : _fields) room += (field.nameLength + field.valueLength) * 3 + 4;
    std::size_t contentBytes = 0;
    for (const std::string& part : _contentArray) contentBytes += part.size();
    out.clear();
    out.reserve(room + contentBytes);
    out.resize(room);
    char* p = out.data();
    for (const Field& field : _fields) {
        if (field.nameLength) {
            p = putEscaped(_nameOf(field), true, p);
            *p++ = ':', *p++ = ' ';
        }
        p = putEscaped(_valueOf(field), false, p);
        *p++ = '\r', *p++ = '\n';
    }
    *p++ = '\r', *p++ = '\n';
    out.resize(static_cast<std::size_t>(p - out.data()));
    for (const std::string& part : _contentArray) out += part;
}

const std::string& ZHTTPHeaders::getDebugText() const {
    if (_debugState == DebugText::Stale) _debugUpdate();
    return _debugText;
}

void ZHTTPHeaders::_debugUpdate() const {
    ZTRACE();
    // Converted as one text, as a surrogate at the end of a value takes the
    // line feed after it along.
    std::wstring text;
    for (const Field& field : _fields) {
        if (field.nameLength) {
            text += _nameOf(field);
            text += L": ";
        }
        text += _valueOf(field);
        text += L'\n';
    }
    text += L'\n';
    _debugText = ZToUTF8(text);
    _debugState = DebugText::Current;
}
