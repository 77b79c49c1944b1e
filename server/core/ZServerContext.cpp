#include "ZServerContext.h"

#include "ZPortable_Text.h"
#include "ZServerNet.h"
#include "ZUtil.h"

std::string ZServerContext::advertised(const std::string& host) const {
    const std::string any = "0.0.0.0:";
    if (host.compare(0, any.size(), any) == 0) return config->advertise + host.substr(any.size() - 1);
    return host;
}

ZHTTPHeaders ZServerResponse(int code, const wchar_t* reason) {
    ZHTTPHeaders h;
    h.set(std::wstring(), L"HTTP/1.1 " + ZToString(code) + L" " + reason);
    return h;
}

std::string ZServerAnswer(const ZHTTPHeaders& request, ZHTTPHeaders response) {
    std::string out;
    ZServerAnswer(request, response, out);
    return out;
}

void ZServerAnswer(const ZHTTPHeaders& request, ZHTTPHeaders& response, std::string& out) {
    if (request.isSet(L"CSeq")) response.set(L"CSeq", request.get(L"CSeq"));
    response.set(L"Debug-Original-Method", request.getMethod());
    response.serialize(out);
}

std::string ZServerField(const ZHTTPHeaders& message, const wchar_t* name) { return ZToUTF8(message.get(name)); }

bool ZServerCanonicalName(const std::string& text, std::string& out) {
    if (text.empty() || text.size() > 128) return false;
    out.clear();
    for (char c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '@';
        if (!ok) return false;
        out += c;
    }
    return true;
}

bool ZServerReadDatagram(ZServerContext& context, const std::string& bytes, const sockaddr_in& from,
                         const wchar_t* role, ZHTTPHeaders& out) {
    if (context.flood && !context.flood->allow(from, ZServerLoop::now())) return false;
    if (bytes == "HOLEPUNCH") return false;
    const int n = bytes.size() < 65536 ? out.deserialize(bytes) : 0;
    if (n <= 0 || out.getResponse() != 0 || out.getMethod().empty()) {
        // Answers from peers are not ours to take; anything else is junk.
        if (n <= 0 && ZServerWarnAllowed())
            ZLOG(L"WARNING " << role << L" received " << static_cast<int>(bytes.size())
                             << L" bytes that are not a message from (" << ZServerHostText(from) << L"), ignoring.");
        return false;
    }
    return true;
}
