#include "ZServerTLS.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

std::string lastError() {
    const unsigned long code = ERR_peek_last_error();
    const char* text = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return text ? text : "unknown error";
}

}  // namespace

ZServerTLS::ZServerTLS() = default;

ZServerTLS::~ZServerTLS() {
    if (_context) SSL_CTX_free(_context);
}

bool ZServerTLS::load(const std::string& certFile, const std::string& keyFile, std::string& error) {
    if (certFile.empty() || keyFile.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    _context = SSL_CTX_new(TLS_server_method());
    if (!_context) {
        error = "cannot create a TLS context: " + lastError();
        return false;
    }
    SSL_CTX_set_min_proto_version(_context, TLS1_2_VERSION);
    // A client that closes without the closing alert ends its stream like a
    // plain close: every message frames itself.
    SSL_CTX_set_options(_context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    // The pending-bytes buffer grows and moves between writes.
    SSL_CTX_set_mode(_context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(_context, certFile.c_str()) != 1) {
        error = "cannot use the certificate '" + certFile + "': " + lastError();
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(_context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        error = "cannot use the key '" + keyFile + "': " + lastError();
        return false;
    }
    if (SSL_CTX_check_private_key(_context) != 1) {
        error = "the key '" + keyFile + "' does not belong to the certificate '" + certFile + "'";
        ERR_clear_error();
        return false;
    }
    return true;
}
