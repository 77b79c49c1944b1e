// The one message format of the system: a first line, named header fields
// holding wide text, and raw content parts, with its byte-exact text form
// (an HTTP/1.1-like header block whose "Content-Length" lists the length of
// every part, then the parts back to back).
//
// Threading: a value owned by one thread at a time; it has no lock. Messages
// cross threads only as serialised text through the store's queues.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
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
    // Reads the first complete message at the start of the buffer and returns
    // its length in bytes; 0 when the buffer does not start with one.
    int deserialize(const char* buffer, int length);
    int deserialize(const std::string& buffer);

    // The fields as readable lines, for inspection in a debugger or a test.
    const std::string& getDebugText() const { return _debugText; }

private:
    void _debugUpdate();

    std::map<std::wstring, std::wstring> _headerMap;
    std::string _debugText;
    std::vector<std::string> _contentArray;
};
