// Reading the text form of a message back, and the two readers of its first
// line. deserialize sees bytes from peers, servers and the relay: it reads
// through the bounded header reader and never trusts a length it was sent.
#include <climits>
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
    std::vector<std::pair<ZHeaderSpan, ZHeaderSpan>> fields;
    fields.reserve(16);
    const std::size_t headerLength = matchHeaderBlock(reader, fields);
    if (headerLength == 0) {
        _debugUpdate();
        return 0;
    }

    _headerMap.clear();
    for (const auto& [name, value] : fields)
        _headerMap.insert_or_assign(ZFromUTF8(reader.text(name)), ZFromUTF8(reader.text(value)));
    _debugUpdate();
    _contentArray.clear();

    std::list<std::wstring> items;
    if (!get(L"Content-Length", items)) return static_cast<int>(headerLength);

    // Every part must lie inside the buffer: each length is checked on its own
    // and the total is summed in 64 bits, so no list of lengths can wrap round.
    const std::int64_t available = length;
    std::int64_t total = static_cast<std::int64_t>(headerLength);
    std::vector<std::int64_t> partLengths;
    for (const std::wstring& item : items) {
        const std::int64_t partLength = ZToInt64(item);
        if (partLength < 0) {
            ZLOG(L"WARNING Content-Length item '" << item << L"' is negative, ignoring the message.");
            total = -1;
            break;
        }
        if (partLength > available || total + partLength > available) {
            total = -1;
            break;
        }
        total += partLength;
        partLengths.push_back(partLength);
    }
    if (total < 0) {
        _headerMap.clear();
        _debugUpdate();
        return 0;
    }

    std::size_t offset = headerLength;
    for (const std::int64_t partLength : partLengths) {
        const std::size_t n = static_cast<std::size_t>(partLength);
        _contentArray.emplace_back(buffer + offset, n);
        offset += n;
    }
    return static_cast<int>(total);
}

std::wstring ZHTTPHeaders::getMethod() const {
    ZTRACE();
    const std::wstring firstLine = get(std::wstring());
    std::size_t end = 0;
    while (end < firstLine.size() && !isWhiteSpace(firstLine[end])) ++end;
    return firstLine.substr(0, end);
}

int ZHTTPHeaders::getResponse() const {
    std::wstring scratch;
    return getResponse(scratch);
}

int ZHTTPHeaders::getResponse(std::wstring& reason) const {
    ZTRACE();
    const std::wstring line = get(std::wstring());
    const std::wstring version = L"HTTP/1.1";
    if (line.compare(0, version.size(), version) != 0) return 0;
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
