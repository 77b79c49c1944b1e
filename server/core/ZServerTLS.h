// The service's TLS identity: one server context holding the certificate
// chain and key that the authentication, log and upgrade hosts present.
//
// Threading: loaded before the loop runs; its context is then only read by
// the loop's thread.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

class ZServerTLS {
public:
    ZServerTLS();
    ~ZServerTLS();
    ZServerTLS(const ZServerTLS&) = delete;
    ZServerTLS& operator=(const ZServerTLS&) = delete;

    // Reads the PEM files; false with error filled when either cannot be
    // used or the key does not belong to the certificate.
    bool load(const std::string& certFile, const std::string& keyFile, std::string& error);
    ssl_ctx_st* context() const { return _context; }

private:
    ssl_ctx_st* _context = nullptr;
};
