// Reading the text form of a message back, and the two readers of its first
// line. deserialize sees bytes from peers, servers and the relay: it reads
// through the bounded header reader and never trusts a length it was sent.
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

#include "ZHTTPHeaders.h"
#include "ZHeaderGrammar.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// Header block: first line, CR LF, zero or more (field line, CR LF), CR LF.
// Returns the block's length, 0 when the bytes do not start with one; the
// first pair stands for the first line under the empty name.
std::size_t matchHeaderBlock(ZHeaderReader& reader, std::vector<std::pair<ZHeaderSpan, ZHeaderSpan>>& fields) {
    ZHeaderSpan name;
    ZHeaderSpan value;
    reader.value(value);
    if (!reader.crlf()) return 0;
    fields.emplace_back(ZHeaderSpan(), value);
    for (;;) {
        const std::size_t lineStart = reader.position();
        reader.skipBlank();
        bool matched = reader.name(name) && reader.literal(':');
        if (matched) {
            reader.skipBlank();
            reader.value(value);
            matched = reader.crlf();
        }
        if (!matched) {
            reader.seek(lineStart);
            break;
        }
        fields.emplace_back(name, value);
    }
    if (!reader.crlf()) return 0;
    return reader.position();
}

// Unescapes one matched name or value and writes its units at `out`, which
// has room for one unit a byte.
wchar_t* putUnits(const ZHeaderReader& reader, const char* buffer, const ZHeaderSpan& span, std::string& scratch,
                  wchar_t* out) {
    const char* raw = buffer + span.offset;
    if (!std::memchr(raw, '\\', span.length)) return ZFromUTF8Into(raw, span.length, out);
    // An escape may stand for a byte of a longer sequence: unescape first.
    scratch = reader.text(span);
    return ZFromUTF8Into(scratch.data(), scratch.size(), out);
}

bool isListDelimiter(wchar_t c) { return c == L'\t' || c == L'\n' || c == L',' || c == L';'; }

bool isListBlank(wchar_t c) { return c == L'\n' || c == L'\r' || c == L'\t' || c == L' '; }

// The items of a list value read as numbers, as ZParseList and ZToInt64
// read them: split at TAB, LF, ',' and ';', items trimmed, empty items
// dropped, each an optional '-' and the digits up to the first other unit.
template <typename Each>
void forEachListNumber(std::wstring_view list, Each each) {
    std::size_t pos = 0;
    while (pos <= list.size()) {
        std::size_t end = pos;
        while (end < list.size() && !isListDelimiter(list[end])) ++end;
        std::size_t first = pos;
        while (first < end && isListBlank(list[first])) ++first;
        if (first < end) {
            bool negative = false;
            std::size_t at = first;
            if (list[at] == L'-') negative = true, ++at;
            std::uint64_t value = 0;
            for (; at < end && list[at] >= L'0' && list[at] <= L'9'; ++at)
                value = value * 10 + static_cast<std::uint64_t>(list[at] - L'0');
            std::size_t last = end;
            while (last > first && isListBlank(list[last - 1])) --last;
            each(static_cast<std::int64_t>(negative ? 0 - value : value), list.substr(first, last - first));
        }
        pos = end + 1;
    }
}

bool isWhiteSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

bool isSpaceOrTab(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

int ZHTTPHeaders::deserialize(const std::string& buffer) {
    // A buffer beyond the format's 32-bit lengths is read as far as they reach.
    const std::size_t length = buffer.size() < static_cast<std::size_t>(INT_MAX) ? buffer.size() : INT_MAX;
    return deserialize(buffer.data(), static_cast<int>(length));
}

int ZHTTPHeaders::deserialize(const char* buffer, int length) {
    ZTRACE();
    ZPRECONDITION(buffer && length >= 0);
    if (length == 0) return 0;

    ZHeaderReader reader(buffer, static_cast<std::size_t>(length));
    // Reused from call to call on the same thread: a service or the relay
    // reader parses one message after another.
    thread_local std::vector<std::pair<ZHeaderSpan, ZHeaderSpan>> fields;
    fields.clear();
    const std::size_t headerLength = matchHeaderBlock(reader, fields);
    if (headerLength == 0) {
        _debugState = DebugText::Stale;
        return 0;
    }

    // Every name and value decodes to at most one unit a byte of the block.
    _fields.clear();
    _unusedText = 0;
    _text.resize(headerLength);
    wchar_t* const text = _text.data();
    wchar_t* p = text;
    thread_local std::string scratch;
    for (const auto& [name, value] : fields) {
        Field field{};
        field.nameAt = static_cast<std::size_t>(p - text);
        p = putUnits(reader, buffer, name, scratch, p);
        field.nameLength = static_cast<std::size_t>(p - text) - field.nameAt;
        field.valueAt = static_cast<std::size_t>(p - text);
        p = putUnits(reader, buffer, value, scratch, p);
        field.valueLength = static_cast<std::size_t>(p - text) - field.valueAt;
        _fileParsed(field);
    }
    _text.resize(static_cast<std::size_t>(p - text));
    _debugState = DebugText::Stale;

    const std::wstring_view lengths = _view(L"Content-Length");
    // Every part must lie inside the buffer: each length is checked on its own
    // and the total is summed in 64 bits, so no list of lengths can wrap round.
    const std::int64_t available = length;
    std::int64_t total = static_cast<std::int64_t>(headerLength);
    std::size_t parts = 0;
    forEachListNumber(lengths, [&](std::int64_t partLength, std::wstring_view item) {
        if (total < 0) return;
        if (partLength < 0) {
            ZLOG(L"WARNING Content-Length item '" << std::wstring(item) << L"' is negative, ignoring the message.");
            total = -1;
        } else if (partLength > available || total + partLength > available) {
            total = -1;
        } else {
            total += partLength;
            ++parts;
        }
    });
    if (total < 0) {
        _fields.clear();
        _text.clear();
        _contentArray.clear();
        return 0;
    }

    // The parts' strings keep their room when a message is parsed into again.
    _contentArray.resize(parts);
    std::size_t offset = headerLength;
    std::size_t index = 0;
    forEachListNumber(lengths, [&](std::int64_t partLength, std::wstring_view) {
        const std::size_t n = static_cast<std::size_t>(partLength);
        _contentArray[index++].assign(buffer + offset, n);
        offset += n;
    });
    return static_cast<int>(total);
}

std::wstring ZHTTPHeaders::getMethod() const {
    ZTRACE();
    const std::wstring_view firstLine = _view(std::wstring_view());
    std::size_t end = 0;
    while (end < firstLine.size() && !isWhiteSpace(firstLine[end])) ++end;
    return std::wstring(firstLine.substr(0, end));
}

int ZHTTPHeaders::getResponse() const {
    std::wstring scratch;
    return getResponse(scratch);
}

int ZHTTPHeaders::getResponse(std::wstring& reason) const {
    ZTRACE();
    const std::wstring_view line = _view(std::wstring_view());
    const std::wstring_view version = L"HTTP/1.1";
    if (line.substr(0, version.size()) != version) return 0;
    std::size_t pos = version.size();

    const std::size_t gapStart = pos;
    while (pos < line.size() && isSpaceOrTab(line[pos])) ++pos;
    if (pos == gapStart) return 0;

    bool negative = false;
    if (pos < line.size() && (line[pos] == L'+' || line[pos] == L'-')) negative = line[pos++] == L'-';
    const std::size_t digitsStart = pos;
    std::int64_t magnitude = 0;
    while (pos < line.size() && line[pos] >= L'0' && line[pos] <= L'9') {
        magnitude = magnitude * 10 + (line[pos++] - L'0');
        // A code that does not fit in 32 bits is no status code.
        if (magnitude > static_cast<std::int64_t>(INT_MAX) + (negative ? 1 : 0)) return 0;
    }
    if (pos == digitsStart) return 0;
    const int code = static_cast<int>(negative ? -magnitude : magnitude);

    const std::size_t reasonGap = pos;
    while (pos < line.size() && isSpaceOrTab(line[pos])) ++pos;
    if (pos == reasonGap || pos == line.size()) return code;
    reason = line.substr(pos);
    return code;
}
