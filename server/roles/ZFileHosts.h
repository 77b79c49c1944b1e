// The two file roles: the log host stores each uploaded LOGFILE under a safe
// name in the sender's folder; the upgrade host serves the offered files
// over plain HTTP/1.1 GET.
//
// Threading: the loop's thread only.
#pragma once

#include "ZServerTCPRole.h"

// A name that is safe as one file name inside a folder: the part after the
// last '/' or '\', only letters, digits, '.', '-', '_' and '@', no leading
// dots, at most 100 bytes; the fallback when nothing is left.
std::string ZServerSafeName(const std::string& text, const std::string& fallback);

class ZLogHost : public ZServerTCPRole {
public:
    ZLogHost(ZServerContext& context, ZServerConnectionCount& count);
    void onMessage(ZServerConnection& connection, ZHTTPHeaders& message) override;

private:
    bool _store(const std::string& folder, const std::string& name, const std::string& bytes, std::string& stored);
};

class ZUpgradeHost : public ZServerTCPRole {
public:
    ZUpgradeHost(ZServerContext& context, ZServerConnectionCount& count);
    void onMessage(ZServerConnection& connection, ZHTTPHeaders& message) override;
};
