// TLS on client TCP connections (OpenSSL). The handshake is not a step of
// its own: it runs inside the sends and receives of a non-blocking socket,
// so the owner's wait and time-outs cover it like any other byte.
#include <arpa/inet.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_NetHandles.h"
#include "ZNonPortable_NetTLS.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

constexpr int kRecvChunk = 2048;

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

// One context per CA file, made once: loading the trust store for every
// connection would cost more than the handshake.
class Contexts {
public:
    SSL_CTX* get(const std::wstring& caFile, std::wstring& reason) {
        std::lock_guard<std::mutex> guard(_mutex);
        auto it = _byFile.find(caFile);
        if (it != _byFile.end()) return it->second.get();
        std::unique_ptr<SSL_CTX, ContextFree> context(SSL_CTX_new(TLS_client_method()));
        if (!context) {
            reason = L"cannot create a TLS context";
            return nullptr;
        }
        SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
        SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
        // A peer that closes without the closing alert ends the stream like
        // a plain close; the message format frames every message itself.
        SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_default_verify_paths(context.get());
        if (!caFile.empty() && SSL_CTX_load_verify_locations(context.get(), ZToUTF8(caFile).c_str(), nullptr) != 1) {
            ERR_clear_error();
            reason = L"cannot read the CA file '" + caFile + L"'";
            return nullptr;
        }
        SSL_CTX* raw = context.get();
        _byFile.emplace(caFile, std::move(context));
        return raw;
    }

private:
    std::mutex _mutex;
    std::map<std::wstring, std::unique_ptr<SSL_CTX, ContextFree>> _byFile;
};

Contexts& contexts() {
    // OpenSSL first, so its clean-up at exit runs after the contexts are freed.
    OPENSSL_init_ssl(0, nullptr);
    static Contexts all;
    return all;
}

std::wstring failureText(SSL* ssl, int error) {
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK)
        return L"certificate not accepted (" + ZFromUTF8(X509_verify_cert_error_string(verify)) + L")";
    const unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        const char* text = ERR_reason_error_string(code);
        return L"TLS handshake failed (" + ZFromUTF8(text ? text : "unknown error") + L")";
    }
    if (error == SSL_ERROR_SYSCALL && errno != 0)
        return L"TLS handshake failed (" + ZFromUTF8(std::strerror(errno)) + L")";
    return L"TLS handshake failed (the connection closed)";
}

// OpenSSL writes with write(), which raises SIGPIPE on a connection the peer
// closed; a peer that went away must not end the program, so the signal is
// held back for the call and a SIGPIPE it raised is taken before it goes.
class NoSigpipe {
public:
    NoSigpipe() {
        sigemptyset(&_pipe);
        sigaddset(&_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        _pendingBefore = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &_pipe, &_old);
    }
    ~NoSigpipe() {
        if (!_pendingBefore) {
            sigset_t pending;
            sigpending(&pending);
            const timespec none{0, 0};
            if (sigismember(&pending, SIGPIPE) == 1) sigtimedwait(&_pipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &_old, nullptr);
    }
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
    sigset_t _pipe;
    sigset_t _old;
    bool _pendingBefore = false;
};

// The TCP connect must be complete before the handshake's first write.
bool ensureConnected(ZNetTCPSocket* sock) {
    if (sock->connected) return true;
    pollfd p{sock->socket, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1) return false;
    int code = 0;
    socklen_t size = sizeof(code);
    if (getsockopt(sock->socket, SOL_SOCKET, SO_ERROR, &code, &size) != 0) code = errno;
    if (code != 0) {
        ZNetSetLastError(code);
        ZLOG(L"WARNING Connection failed on send, error '" << ZNetGetLastErrorText() << L"'");
        sock->alive = false;
        return false;
    }
    sock->connected = true;
    return true;
}

void onError(ZNetTCPSocket* sock, int result) {
    const int error = SSL_get_error(sock->ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
    if (error != SSL_ERROR_ZERO_RETURN && !SSL_is_init_finished(sock->ssl) && sock->tlsFailure.empty())
        sock->tlsFailure = failureText(sock->ssl, error);
    ERR_clear_error();
    sock->alive = false;
}

}  // namespace

bool ZNetTCPSocketStartTLS(ZNetTCPSocket* sock, const std::wstring& caFile, std::wstring& reason) {
    ZPRECONDITION_PTR(sock);
    ZPRECONDITION(!sock->ssl);
    SSL_CTX* context = contexts().get(caFile, reason);
    if (!context) return false;
    SSL* ssl = SSL_new(context);
    if (!ssl) {
        reason = L"cannot create a TLS connection";
        return false;
    }
    std::wstring host;
    std::int64_t port = 0;
    ZNetSplitHost(sock->remoteHost, host, port);
    const std::string name = ZToUTF8(host);
    in_addr address{};
    bool named = false;
    if (inet_pton(AF_INET, name.c_str(), &address) == 1)
        named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1;
    else
        named = SSL_set1_host(ssl, name.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, name.c_str()) == 1;
    if (!named || SSL_set_fd(ssl, sock->socket) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        reason = L"cannot verify the host '" + host + L"'";
        return false;
    }
    SSL_set_connect_state(ssl);
    sock->ssl = ssl;
    return true;
}

std::wstring ZNetTCPSocketTLSFailure(ZNetTCPSocket* sock) {
    ZPRECONDITION_PTR(sock);
    return sock->tlsFailure;
}

bool ZNetTCPSocketConnected(ZNetTCPSocket* sock) {
    ZPRECONDITION_PTR(sock);
    if (!sock->alive) return sock->connected;
    pollfd p{sock->socket, POLLOUT, 0};
    return sock->connected || poll(&p, 1, 0) == 1;
}

bool ZNetTCPSocketSecured(ZNetTCPSocket* sock) {
    ZPRECONDITION_PTR(sock);
    return sock->ssl && SSL_is_init_finished(sock->ssl);
}

int ZNetTLSSend(ZNetTCPSocket* sock, const void* data, int length) {
    if (!ensureConnected(sock)) return 0;
    NoSigpipe quiet;
    ERR_clear_error();
    const int sent = SSL_write(sock->ssl, data, length);
    if (sent > 0) return sent;
    onError(sock, sent);
    return 0;
}

bool ZNetTLSRecv(ZNetTCPSocket* sock, std::string& data) {
    if (!ensureConnected(sock)) return false;
    // A read may write too (the handshake, an alert).
    NoSigpipe quiet;
    char chunk[kRecvChunk];
    std::size_t appended = 0;
    while (sock->alive && appended < static_cast<std::size_t>(ZNET_TCP_RECV_LIMIT)) {
        ERR_clear_error();
        const int got = SSL_read(sock->ssl, chunk, sizeof(chunk));
        if (got > 0) {
            data.append(chunk, static_cast<std::size_t>(got));
            appended += static_cast<std::size_t>(got);
            continue;
        }
        onError(sock, got);
        break;
    }
    return appended > 0;
}

void ZNetTLSShutdown(ZNetTCPSocket* sock) {
    // The closing alert tells the peer the request is whole; a socket that
    // cannot take it now ends with the TCP half-close alone.
    if (!sock->alive || !SSL_is_init_finished(sock->ssl)) return;
    NoSigpipe quiet;
    ERR_clear_error();
    SSL_shutdown(sock->ssl);
    ERR_clear_error();
}

void ZNetTLSFree(ZNetTCPSocket* sock) {
    SSL_free(sock->ssl);
    sock->ssl = nullptr;
}

bool ZNetTLSHasPending(const ZNetTCPSocket* sock) { return sock->ssl && SSL_pending(sock->ssl) > 0; }
