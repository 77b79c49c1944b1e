#include "ZTestTLS.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace zantest {

namespace {

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* x) const { X509_free(x); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension) return false;
    const bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for the name, signed by the issuer (itself when null).
Cert makeCert(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey, long serial,
              int notBeforeDays, int notAfterDays, bool isCA, const std::string& altName) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(notBeforeDays) * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(notAfterDays) * 86400);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    bool ok = addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (isCA) {
        ok = ok && addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
             addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        ok = ok && addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid") &&
             addExtension(cert.get(), signer, NID_basic_constraints, "CA:FALSE") &&
             addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
             addExtension(cert.get(), signer, NID_subject_alt_name, altName.c_str());
    }
    if (!ok || X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0) return Cert();
    return cert;
}

bool writeCert(const std::string& path, X509* cert) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const bool ok = PEM_write_X509(f, cert) == 1;
    return std::fclose(f) == 0 && ok;
}

bool writeKey(const std::string& path, EVP_PKEY* key) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    fchmod(fileno(f), 0600);
    const bool ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return std::fclose(f) == 0 && ok;
}

bool waitFor(int fd, int error, std::int64_t end) {
    const std::int64_t left = end - nowMs();
    if (left <= 0) return false;
    pollfd p{fd, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    return poll(&p, 1, static_cast<int>(left)) == 1;
}

}  // namespace

bool makeCertificate(const std::string& folder, const CertificateSpec& spec, TLSFiles& out) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    Key caKey(EVP_EC_gen("P-256"));
    Key key(EVP_EC_gen("P-256"));
    if (!caKey || !key) return false;
    static long serial = 1;
    Cert ca = makeCert(caKey.get(), "Zandrel test CA", nullptr, nullptr, serial++, -1, 3650, true, "");
    if (!ca) return false;
    in_addr probe{};
    const std::string alt = (inet_pton(AF_INET, spec.host.c_str(), &probe) == 1 ? "IP:" : "DNS:") + spec.host;
    Cert cert = makeCert(key.get(), spec.host, ca.get(), caKey.get(), serial++, spec.notBeforeDays,
                         spec.notAfterDays, false, alt);
    if (!cert) return false;
    out.ca = folder + "/ca.pem";
    out.cert = folder + "/cert.pem";
    out.key = folder + "/key.pem";
    return writeCert(out.ca, ca.get()) && writeCert(out.cert, cert.get()) && writeKey(out.key, key.get());
}

const TLSFiles& testCertificate() {
    static TLSFiles files = [] {
        const std::string folder = ZAN_BUILD_DIR "/tests/tls-test-certificate";
        TLSFiles made{folder + "/ca.pem", folder + "/cert.pem", folder + "/key.pem"};
        if (std::filesystem::exists(made.key)) return made;
        // Made aside and renamed into place whole, so the test processes
        // running beside this one never read half a file.
        const std::string aside = folder + ".part" + std::to_string(getpid());
        TLSFiles temporary;
        if (makeCertificate(aside, CertificateSpec(), temporary) && std::rename(aside.c_str(), folder.c_str()) != 0) {
            std::error_code ignored;
            std::filesystem::remove_all(aside, ignored);
        }
        return made;
    }();
    return files;
}

std::set<int>& tlsPorts() {
    static std::set<int> ports;
    return ports;
}

namespace {

// OpenSSL writes with write(): a peer that closed must fail the call, not
// end the test program with SIGPIPE.
void ignoreSigpipe() {
    static const bool ignored = [] {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        return sigaction(SIGPIPE, &ignore, nullptr) == 0;
    }();
    (void)ignored;
}

}  // namespace

std::unique_ptr<TLSEnd> TLSEnd::server(int fd, const TLSFiles& files) {
    ignoreSigpipe();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context) return nullptr;
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL* ssl = nullptr;
    if (SSL_CTX_use_certificate_chain_file(context, files.cert.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(context, files.key.c_str(), SSL_FILETYPE_PEM) == 1)
        ssl = SSL_new(context);
    SSL_CTX_free(context);
    ERR_clear_error();
    if (!ssl) return nullptr;
    SSL_set_fd(ssl, fd);
    SSL_set_accept_state(ssl);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<TLSEnd>(new TLSEnd(ssl, fd));
}

std::unique_ptr<TLSEnd> TLSEnd::client(int fd, const std::string& caFile, const std::string& host) {
    ignoreSigpipe();
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (!context) return nullptr;
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL* ssl = SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) == 1 ? SSL_new(context) : nullptr;
    SSL_CTX_free(context);
    ERR_clear_error();
    if (!ssl) return nullptr;
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    SSL_set_fd(ssl, fd);
    SSL_set_connect_state(ssl);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<TLSEnd>(new TLSEnd(ssl, fd));
}

TLSEnd::~TLSEnd() { SSL_free(_ssl); }

bool TLSEnd::handshake(int timeoutMs) {
    const std::int64_t end = nowMs() + timeoutMs;
    while (!_done) {
        ERR_clear_error();
        const int result = SSL_do_handshake(_ssl);
        if (result == 1) {
            _done = true;
            break;
        }
        const int error = SSL_get_error(_ssl, result);
        ERR_clear_error();
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            _failed = true;
            return false;
        }
        if (!waitFor(_fd, error, end)) return false;
    }
    return true;
}

bool TLSEnd::write(const std::string& bytes, int timeoutMs) {
    const std::int64_t end = nowMs() + timeoutMs;
    if (!handshake(timeoutMs)) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ERR_clear_error();
        const int n = SSL_write(_ssl, bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int error = SSL_get_error(_ssl, n);
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || !waitFor(_fd, error, end)) {
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

long TLSEnd::read(std::string& into, int timeoutMs) {
    const std::int64_t end = nowMs() + timeoutMs;
    if (!handshake(timeoutMs)) return _failed ? 0 : -1;
    for (;;) {
        char chunk[16384];
        ERR_clear_error();
        const int n = SSL_read(_ssl, chunk, sizeof(chunk));
        if (n > 0) {
            into.append(chunk, static_cast<std::size_t>(n));
            return n;
        }
        const int error = SSL_get_error(_ssl, n);
        ERR_clear_error();
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return 0;
        if (!waitFor(_fd, error, end)) return -1;
    }
}

}  // namespace zantest
