// The two file roles: the log host stores each uploaded LOGFILE under a safe
// name in the sender's folder; the upgrade host serves the offered files
// over plain HTTP/1.1 GET.
//
// Threading: the loop's thread only.
#pragma once

#include <map>

#include "ZServerTCPRole.h"

// A name that is safe as one file name inside a folder: the part after the
// last '/' or '\', only letters, digits, '.', '-', '_' and '@', no leading
// dots, at most 100 bytes; the fallback when nothing is left.
std::string ZServerSafeName(const std::string& text, const std::string& fallback);

// Uploads are written to a hidden file in the sender's folder as they
// arrive, given their name once whole and removed when cut off, so an upload
// costs the service no memory however large or slow it is.
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
        bool failed = false;
    };
    void _closed(ZServerConnection& connection) override;
    void _discard(Upload& upload);

    std::map<std::uint64_t, Upload> _uploads;
};

class ZUpgradeHost : public ZServerTCPRole {
public:
    ZUpgradeHost(ZServerContext& context, ZServerConnectionCount& count);
    void onMessage(ZServerConnection& connection, ZHTTPHeaders& message) override;
};
