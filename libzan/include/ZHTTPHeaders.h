// The one message format of the system: a first line, named header fields
// holding wide text, and raw content parts, with its byte-exact text form
// (an HTTP/1.1-like header block whose "Content-Length" lists the length of
// every part, then the parts back to back).
//
// Threading: a value owned by one thread at a time; it has no lock. Messages
// cross threads only as serialised text through the store's queues.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

// The status code of a response that reports success.
constexpr int ZHTTP_SUCCESS = 200;

// A command, request or response: fields ordered by name, the first line
// kept under the empty name, and content parts in the order added.
class ZHTTPHeaders {
public:
    ZHTTPHeaders();
    explicit ZHTTPHeaders(const std::wstring& method);
    ZHTTPHeaders(const ZHTTPHeaders& other);
    ZHTTPHeaders& operator=(const ZHTTPHeaders& other);
    ~ZHTTPHeaders();

    void clear();
    // True when there is no field (a first line counts) and no content part.
    bool empty() const;

    // ---- reading fields: an absent field reads as empty text

    std::wstring get(const std::wstring& name) const;
    // Splits the value into its list items; true when there is at least one.
    bool get(const std::wstring& name, std::list<std::wstring>& out) const;
    bool isSet(const std::wstring& name) const;
    int calc(const std::wstring& name) const;
    std::int64_t calc64(const std::wstring& name) const;
    // "true" in any letter case, or a number of 1 or more.
    bool test(const std::wstring& name) const;
    // The same for a name written in the code, without a string made for it.
    std::wstring get(const wchar_t* name) const;
    bool isSet(const wchar_t* name) const;

    // ---- writing fields: a name is stored exactly as given

    void set(const std::wstring& name, const std::wstring& value);
    void set(const std::wstring& name, const wchar_t* value);
    void set(const std::wstring& name, int value);
    void set(const std::wstring& name, std::int64_t value);
    void set(const std::wstring& name, bool value);
    // The items joined with ", ".
    void set(const std::wstring& name, const std::list<std::wstring>& values);
    // Appends the item to the list value unless it is already there.
    void insert(const std::wstring& name, const std::wstring& value);

    // ---- the first line

    // Writes the request line "<method> / HTTP/1.1".
    void setMethod(const std::wstring& method);
    // Writes "<method> <path> HTTP/1.1" (a "GET" of a path beginning with "/").
    void setMethod(const std::wstring& method, const std::wstring& path);
    std::wstring getMethod() const;
    // The status code of a response line "HTTP/1.1 <code> <reason>"; 0 when
    // the first line is not one.
    int getResponse() const;
    int getResponse(std::wstring& reason) const;
    std::wstring getResponseReason() const;
    // "#<code> '<reason>'" for log lines.
    std::wstring getResponseSummary() const;
    bool succeeded() const;

    // ---- content parts: "Content-Length" follows every addContent

    void addContent(const char* data, int length);
    void addContent(const std::string& part);
    bool hasContent() const;
    int getContentCount() const;
    const std::string& getContent(int index) const;

    // ---- the text form

    std::string serialize() const;
    // The same into `out`, which keeps its room from message to message.
    void serialize(std::string& out) const;
    // Reads the first complete message at the start of the buffer and returns
    // its length in bytes; 0 when the buffer does not start with one.
    int deserialize(const char* buffer, int length);
    int deserialize(const std::string& buffer);

    // The fields as readable lines, for inspection in a debugger or a test:
    // empty for a new or cleared message until it is first changed.
    const std::string& getDebugText() const;

private:
    // Where one field's name and value lie in _text.
    struct Field {
        std::size_t nameAt;
        std::size_t nameLength;
        std::size_t valueAt;
        std::size_t valueLength;
    };
    enum class DebugText : unsigned char { Empty, Stale, Current };

    std::wstring_view _nameOf(const Field& field) const { return {_text.data() + field.nameAt, field.nameLength}; }
    std::wstring_view _valueOf(const Field& field) const {
        return {_text.data() + field.valueAt, field.valueLength};
    }
    static bool _less(std::wstring_view a, std::wstring_view b);
    static bool _equal(std::wstring_view a, std::wstring_view b);
    const Field* _find(std::wstring_view name) const;
    std::wstring_view _view(std::wstring_view name) const;
    // Stores a value that does not lie in _text.
    void _store(std::wstring_view name, std::wstring_view value);
    // Files a field whose name and value were just appended to _text.
    void _fileParsed(const Field& field);
    void _compact();
    void _debugUpdate() const;

    // The fields ordered by name, their names and values back to back in
    // _text: one buffer for all the text of a message rather than two
    // strings and a tree node per field. A replaced value may leave unused
    // units behind, which are dropped once they outweigh the rest.
    std::vector<Field> _fields;
    std::wstring _text;
    std::size_t _unusedText = 0;
    // Rendered when read, not after every change.
    mutable std::string _debugText;
    mutable DebugText _debugState = DebugText::Empty;
    std::vector<std::string> _contentArray;
};
