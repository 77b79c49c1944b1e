// The two file roles: the log host stores each uploaded LOGFILE under a safe
// name in the sender's folder; the upgrade host serves the offered files
// over plain HTTP/1.1 GET.
//
// Threading: the loop's thread only.
#pragma once

#include <map>

#include "ZLogStore.h"
#include "ZServerQuota.h"
#include "ZServerTCPRole.h"

// A name that is safe as one file name inside a folder: the part after the
// last '/' or '\', only letters, digits, '.', '-', '_' and '@', no leading
// dots, at most 100 bytes; the fallback when nothing is left.
std::string ZServerSafeName(const std::string& text, const std::string& fallback);

// Uploads are written to a hidden file in the sender's folder as they
// arrive, given their name once whole and removed when cut off, so an upload
// costs the service no memory however large or slow it is. Each is charged
// from its head to its address's and its account's hourly quota and held in
// the log store's total; one refused is read to its end and answered with
// the reason. Every answer has a length and ends the connection.
class ZLogHost : public ZServerTCPRole {
public:
    ZLogHost(ZServerContext& context, ZServerConnectionCount& count);
    ~ZLogHost();
    void onMessage(ZServerConnection&, ZHTTPHeaders&) override {}
    void onHead(ZServerConnection& connection, ZHTTPHeaders& message, std::int64_t contentLength) override;
    void onBody(ZServerConnection& connection, const char* bytes, std::size_t size) override;
    void onBodyEnd(ZServerConnection& connection) override;

private:
    struct Upload {
        ZHTTPHeaders request;
        std::string folder;
        std::string name;
        std::string temporary;
        int fd = -1;
        std::int64_t size = 0;
        // Bytes held in the store for it.
        std::int64_t held = 0;
        bool failed = false;
        // A refusal decided before its end: the answer to give.
        int status = 0;
        const wchar_t* reason = L"";
    };
    void _closed(ZServerConnection& connection) override;
    void _discard(Upload& upload);
    // Charges the upload to the quotas and the store; false with the
    // refusal filled in.
    bool _admit(ZServerConnection& connection, Upload& upload, std::int64_t length);
    void _answer(ZServerConnection& connection, const ZHTTPHeaders& request, int code, const wchar_t* reason);
    // A write found the disk full: the upload is answered 507.
    void _diskFull(ZServerConnection& connection, Upload& upload);

    std::map<std::uint64_t, Upload> _uploads;
    ZLogStore _store;
    ZServerQuota _perSource;
    ZServerQuota _perAccount;
    int _expiredLogged = 0;
};

class ZUpgradeHost : public ZServerTCPRole {
public:
    ZUpgradeHost(ZServerContext& context, ZServerConnectionCount& count);
    void onMessage(ZServerConnection& connection, ZHTTPHeaders& message) override;
};
