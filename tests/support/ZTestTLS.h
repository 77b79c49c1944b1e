// Certificates made at test time and the two ends of a TLS connection over
// a socket a test already holds, for the scripted hosts and raw clients that
// stand in for the client and the service.
//
// Threading: each end belongs to the thread that uses it; the certificate
// files are made once per build tree and read by every test process.
#pragma once

#include <memory>
#include <set>
#include <string>

struct ssl_st;

namespace zantest {

// PEM files of a certificate, its key and the CA that signed it.
struct TLSFiles {
    std::string ca;
    std::string cert;
    std::string key;
};

// What a certificate made at test time is like.
struct CertificateSpec {
    // The name or IPv4 address it is for (its subjectAltName).
    std::string host = "127.0.0.1";
    // Validity in days from now.
    int notBeforeDays = -1;
    int notAfterDays = 3650;
};

// Makes a CA of its own and a certificate it signs into folder (made when
// missing); false when OpenSSL refused a step.
bool makeCertificate(const std::string& folder, const CertificateSpec& spec, TLSFiles& out);

// The build tree's certificate for 127.0.0.1, made by the first test
// process that asks and shared by all after it.
const TLSFiles& testCertificate();

// Loopback ports where a server started by the test support speaks TLS.
std::set<int>& tlsPorts();

// One end of a TLS connection over a connected socket the end does not own.
// Every call waits at most the time given.
class TLSEnd {
public:
    // The service's side, presenting the certificate.
    static std::unique_ptr<TLSEnd> server(int fd, const TLSFiles& files);
    // The client's side, trusting the CA file and checking the host.
    static std::unique_ptr<TLSEnd> client(int fd, const std::string& caFile, const std::string& host);
    ~TLSEnd();
    TLSEnd(const TLSEnd&) = delete;
    TLSEnd& operator=(const TLSEnd&) = delete;

    // Runs the handshake to its end; false when it failed or took too long.
    bool handshake(int timeoutMs);
    bool handshaken() const { return _done; }
    // The handshake failed for good (the peer refused or closed).
    bool failed() const { return _failed; }
    bool write(const std::string& bytes, int timeoutMs);
    // Appends what arrives within the time; 0 when the peer closed or the
    // connection failed, -1 when nothing came, else the bytes read.
    long read(std::string& into, int timeoutMs);

private:
    TLSEnd(ssl_st* ssl, int fd) : _ssl(ssl), _fd(fd) {}
    ssl_st* _ssl;
    int _fd;
    bool _done = false;
    bool _failed = false;
};

}  // namespace zantest
