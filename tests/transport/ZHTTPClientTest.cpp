#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ZHTTPClient.h"
#include "ZPortable.h"
#include "ZTestRelay.h"
#include "ZTestSupport.h"
#include "ZTestTLS.h"

using namespace transporttest;

namespace {

// Two answers in the bytes of one TCP segment; the second carries content.
const char kTwoAnswers[] =
    "HTTP/1.1 200 OK\r\nCSeq: 1\r\n\r\n"
    "HTTP/1.1 404 Not Found\r\nCSeq: 2\r\nContent-Length: 3, 0\r\n\r\nabc";

bool readable(int fd, int timeoutMs = 5000) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

int portOf(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

// A loopback listener whose accepted connection plays the server.
struct Server {
    Server() : listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
        listen(listener, 4);
    }
    ~Server() {
        if (peer >= 0) close(peer);
        close(listener);
    }
    std::wstring host() const { return loopbackHost(portOf(listener)); }
    bool accept() {
        peer = readable(listener) ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        return peer >= 0;
    }
    // Everything the client sent until count bytes came.
    std::string read(std::size_t count) {
        std::string got;
        char buffer[4096];
        while (got.size() < count && readable(peer)) {
            const ssize_t n = ::recv(peer, buffer, std::min(sizeof(buffer), count - got.size()), 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }
    void write(const std::string& bytes) { ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size()); }
    int listener;
    int peer = -1;
};

// Drives the client until it hands out a message or dies.
bool receive(ZHTTPClient& client, ZHTTPHeaders& message) {
    return waitUntil([&] {
        client.update(10000);
        return client.recv(message) || !client.isAlive();
    }) && !message.empty();
}

// A loopback port nobody listens on: connections to it are refused.
std::wstring closedPortHost() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    const int port = portOf(fd);
    close(fd);
    return loopbackHost(port);
}

std::atomic<std::int64_t> g_now{0};
std::int64_t fakeClock() { return g_now; }

}  // namespace

TEST(ZHTTPClient, SendsItsRequestAtOnceAndFurtherMessagesInOrder) {
    Server server;
    ZHTTPHeaders request(L"AUTHENTICATE");
    request.set(L"From", L"ann");
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), request));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    client.update(0);
    const std::string first = request.serialize();
    EXPECT_EQ(server.read(first.size()), first);

    ZHTTPHeaders more(L"LOGFILE");
    more.addContent(std::string("log\r\n\r\nlines"));
    client.send(more);
    EXPECT_EQ(server.read(more.serialize().size()), more.serialize());
    EXPECT_TRUE(client.isAlive());
    EXPECT_EQ(client.getLocalHost().rfind(L"127.0.0.1:", 0), 0u);
    EXPECT_EQ(client.getRemoteHost(), server.host());
}

TEST(ZHTTPClient, ReturnsTwoWholeMessagesThatArrivedInOneSegmentFromTwoRecvCalls) {
    Server server;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"PING")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    server.write(kTwoAnswers);

    ZHTTPHeaders message;
    ASSERT_TRUE(receive(client, message));
    EXPECT_EQ(message.get(L"CSeq"), L"1");
    EXPECT_EQ(message.getResponse(), 200);
    EXPECT_FALSE(message.hasContent());
    // Nothing new arrives; the second message is already held.
    ASSERT_TRUE(client.recv(message));
    EXPECT_EQ(message.get(L"CSeq"), L"2");
    EXPECT_EQ(message.getResponse(), 404);
    ASSERT_EQ(message.getContentCount(), 2);
    EXPECT_EQ(message.getContent(0), "abc");
    EXPECT_EQ(message.getContent(1), "");
    EXPECT_FALSE(client.recv(message));
    EXPECT_EQ(client.getBytesRecv(), 0);
}

TEST(ZHTTPClient, KeepsAnIncompleteMessageUntilItsLastByteArrives) {
    Server server;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"GET")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789";
    for (std::size_t cut : {std::size_t(5), answer.size() - 1}) {
        SCOPED_TRACE(cut);
        server.write(answer.substr(static_cast<std::size_t>(client.getBytesRecv()), cut - client.getBytesRecv()));
        ZHTTPHeaders message;
        ASSERT_TRUE(waitUntil([&] {
            client.update(10000);
            EXPECT_FALSE(client.recv(message));
            return client.getBytesRecv() == static_cast<int>(cut);
        }));
    }
    server.write(answer.substr(answer.size() - 1));
    ZHTTPHeaders message;
    ASSERT_TRUE(receive(client, message));
    EXPECT_EQ(message.getContent(0), "0123456789");
}

TEST(ZHTTPClient, AMessageWithoutContentLengthEndsAtTheBlankLine) {
    Server server;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"GET")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    server.write("HTTP/1.1 200 OK\r\nA: 1\r\n\r\nHTTP/1.1 20");
    ZHTTPHeaders message;
    ASSERT_TRUE(receive(client, message));
    EXPECT_EQ(message.get(L"A"), L"1");
    EXPECT_EQ(client.getBytesRecv(), 11);
    EXPECT_FALSE(client.recv(message));
}

TEST(ZHTTPClient, AnAnswerCutShortByTheServerIsNeverHandedOutAndTheClientDies) {
    Server server;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"GET")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    const std::string cut = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort";
    server.write(cut);
    close(server.peer);
    server.peer = -1;
    ZHTTPHeaders message;
    EXPECT_FALSE(receive(client, message));
    EXPECT_FALSE(client.isAlive());
    EXPECT_FALSE(client.recv(message));
    EXPECT_EQ(client.getBytesRecv(), static_cast<int>(cut.size()));
}

TEST(ZHTTPClient, AHostThatDoesNotResolveLeavesADeadClientThatOnlySleeps) {
    ZLogCapture log;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, L"0.0.0.0:80", ZHTTPHeaders(L"AUTHENTICATE")));
    ZHTTPClient& client = *clientOwner;
    EXPECT_EQ(log.count(L"WARNING Cannot contact '0.0.0.0:80', ignoring request.\n"), 1);
    EXPECT_FALSE(client.isAlive());
    EXPECT_EQ(client.getTCPSocket(), nullptr);
    EXPECT_EQ(client.getLocalHost(), L"0.0.0.0:0");
    ZHTTPHeaders message;
    EXPECT_FALSE(client.recv(message));
    const std::int64_t start = ZTimeNow();
    client.update(20000);
    EXPECT_GE(ZTimeNow() - start, 20000);
    client.send(ZHTTPHeaders(L"PING"));  // only queued
    EXPECT_FALSE(client.isAlive());
}

TEST(ZHTTPClient, ANegativeWaitStopsTheProgram) {
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, L"0.0.0.0:80", ZHTTPHeaders(L"PING")));
    ZHTTPClient& client = *clientOwner;
    ZLogCapture log;
    EXPECT_ZABORT(client.update(-1));
    EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. (timeout >= 0)\n"), 1);
}

TEST(ZHTTPClient, AConnectionThatAcceptsNoByteIsCancelledOnlyAfterMoreThanFiveSeconds) {
    const std::wstring host = closedPortHost();
    g_now = 1000000000;
    ZLogCapture log;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, host, ZHTTPHeaders(L"PING")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_NE(client.getTCPSocket(), nullptr);
    client.setClock(fakeClock);
    g_now += ZHTTPCLIENT_CONNECT_TIMEOUT;
    client.update(0);
    EXPECT_NE(client.getTCPSocket(), nullptr);
    EXPECT_EQ(log.count(L"timed out"), 0);
    g_now += 1;
    client.update(0);
    EXPECT_EQ(client.getTCPSocket(), nullptr);
    EXPECT_FALSE(client.isAlive());
    EXPECT_EQ(log.count(L"WARNING Connection to '" + host + L"' timed out, cancelling.\n"), 1);
}

TEST(ZHTTPClient, AServerThatNeverAnswersEndsInADeadClientAfterTheAnswerTimeOut) {
    Server server;
    g_now = 1000000000;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"AUTHENTICATE")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    client.setClock(fakeClock);
    EXPECT_EQ(client.getAnswerTimeout(), ZHTTPCLIENT_ANSWER_TIMEOUT);
    client.setAnswerTimeout(3000000);
    client.update(0);  // the request goes out: the connection is open, the answer awaited
    ZLogCapture log;
    g_now += 3000000;
    client.update(0);
    EXPECT_TRUE(client.isAlive());
    g_now += 1;
    client.update(0);
    EXPECT_FALSE(client.isAlive());
    EXPECT_EQ(client.getTCPSocket(), nullptr);
    EXPECT_EQ(log.count(L"WARNING No answer from '" + server.host() + L"' for 3000 ms, cancelling.\n"), 1);
}

TEST(ZHTTPClient, EveryByteOfASlowAnswerRestartsTheAnswerTimeOut) {
    Server server;
    g_now = 1000000000;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"GET")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    client.setClock(fakeClock);
    client.setAnswerTimeout(1000000);
    client.update(0);
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
    for (std::size_t i = 0; i < answer.size(); ++i) {
        server.write(answer.substr(i, 1));
        client.update(5000000);  // returns once the byte is there
        g_now += 1000001;        // overdue, but the byte waiting is progress
        client.update(0);
        ASSERT_TRUE(client.isAlive()) << i;
        EXPECT_EQ(client.getBytesRecv(), static_cast<int>(i + 1));
    }
    ZHTTPHeaders message;
    ASSERT_TRUE(client.recv(message));
    EXPECT_EQ(message.getContent(0), "body");
    // Answered: the silence that follows is no fault.
    g_now += 100000000;
    client.update(0);
    EXPECT_TRUE(client.isAlive());
}

TEST(ZHTTPClient, AServerThatStopsReadingAnUploadIsCutOffByTheAnswerTimeOut) {
    Server server;
    g_now = 1000000000;
    ZHTTPHeaders upload(L"LOGFILE");
    upload.addContent(std::string(32 << 20, 'l'));
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), upload));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    client.setClock(fakeClock);
    client.setAnswerTimeout(1000000);
    client.update(0);
    ZLogCapture log;
    // Each round is overdue; the first in which the socket took nothing more ends it.
    for (int round = 0; round < 100 && client.isAlive(); ++round) {
        g_now += 1000001;
        client.update(0);
    }
    EXPECT_FALSE(client.isAlive());
    EXPECT_EQ(log.count(L"WARNING No answer from '"), 1);
}

TEST(ZHTTPClient, TheAnswerTimeOutRunsOnTheRealClock) {
    Server server;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"AUTHENTICATE")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    client.setAnswerTimeout(100000);
    ZLogCapture log;
    EXPECT_TRUE(waitUntil([&] {
        client.update(10000);
        return !client.isAlive();
    }));
    EXPECT_EQ(log.count(L"WARNING No answer from '" + server.host() + L"' for 100 ms, cancelling.\n"), 1);
}

TEST(ZHTTPClient, AnAnswerTimeOutOfZeroNeverCancels) {
    Server server;
    g_now = 1000000000;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"AUTHENTICATE")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    client.setClock(fakeClock);
    client.setAnswerTimeout(0);
    client.update(0);
    g_now += 1000000000000;
    client.update(0);
    EXPECT_TRUE(client.isAlive());
    EXPECT_ZABORT(client.setAnswerTimeout(-1));
}

TEST(ZHTTPClient, APeerThatSendsAnEndlessMessageIsCutOffAtTheLimit) {
    Server server;
    std::unique_ptr<ZHTTPClient> clientOwner(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"GET")));
    ZHTTPClient& client = *clientOwner;
    ASSERT_TRUE(server.accept());
    std::thread flood([&] {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 2000000000\r\n\r\n";
        ::send(server.peer, head.data(), head.size(), MSG_NOSIGNAL);
        const std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 200; ++i)
            if (::send(server.peer, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) break;
    });
    ZLogCapture log;
    ZHTTPHeaders message;
    const bool received = waitUntil([&] {
        client.update(10000);
        return client.recv(message) || !client.isAlive();
    }, 60000000) && !message.empty();
    const bool alive = client.isAlive();
    // A client still reading when the patience ran out would hold the flood
    // in a blocked send: its closed socket ends it.
    clientOwner.reset();
    flood.join();
    EXPECT_FALSE(received);
    EXPECT_FALSE(alive);
    EXPECT_EQ(log.count(L"WARNING Message from '" + server.host() + L"' is larger than 67108864 bytes, closing.\n"), 1);
}

TEST(ZHTTPClient, MessagesCutAtAnyByteComeOutWholeAndInOrder) {
    std::vector<ZHTTPHeaders> sent;
    std::string stream;
    for (int i = 0; i < 20; ++i) {
        ZHTTPHeaders m;
        m.set(std::wstring(), L"HTTP/1.1 200 OK");
        m.set(L"CSeq", i);
        // Parts that look like header ends and message starts must not confuse the reader.
        for (int part = 0; part < i % 3; ++part)
            m.addContent(std::string(static_cast<std::size_t>(i * 37 + part), 'a' + static_cast<char>(part)) +
                         "\r\n\r\nHTTP/1.1 200 OK\r\n\r\n");
        sent.push_back(m);
        stream += m.serialize();
    }
    for (const std::size_t chunk : {std::size_t(1), std::size_t(2), std::size_t(5), std::size_t(13),
                                    std::size_t(512), std::size_t(100000)}) {
        SCOPED_TRACE(chunk);
        Server server;
        std::unique_ptr<ZHTTPClient> client(ZSAFENEW(ZHTTPClient, server.host(), ZHTTPHeaders(L"GET")));
        ASSERT_TRUE(server.accept());
        std::vector<ZHTTPHeaders> got;
        ZHTTPHeaders m;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            server.write(stream.substr(at, chunk));
            client->update(0);
            while (client->recv(m)) got.push_back(m);
        }
        waitUntil([&] {
            client->update(10000);
            while (client->recv(m)) got.push_back(m);
            return got.size() >= sent.size();
        });
        ASSERT_EQ(got.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i].serialize(), sent[i].serialize()) << i;
        EXPECT_EQ(client->getBytesRecv(), 0);
    }
}

TEST(ZHTTPClient, OverTLSTheMessagesAreTheBytesOfThePlainExchange) {
    Server server;
    ZHTTPHeaders request(L"LOGFILE");
    request.set(L"From", L"ann@zandrel.net");
    request.addContent(std::string(300000, 'x') + "\r\n\r\nend");
    ZHTTPClientSecurity security;
    security.tls = true;
    security.caFile = ZFromUTF8(zantest::testCertificate().ca);
    std::unique_ptr<ZHTTPClient> client(ZSAFENEW(ZHTTPClient, server.host(), request, security));
    ASSERT_TRUE(server.accept());
    std::unique_ptr<zantest::TLSEnd> tls = zantest::TLSEnd::server(server.peer, zantest::testCertificate());
    ASSERT_TRUE(tls);
    std::string got;
    const std::string sent = request.serialize();
    ASSERT_TRUE(waitUntil([&] {
        client->update(1000);
        tls->read(got, 10);
        return got.size() >= sent.size();
    }));
    EXPECT_EQ(got, sent);
    ASSERT_TRUE(tls->write(kTwoAnswers, 5000));
    ZHTTPHeaders first, second;
    ASSERT_TRUE(receive(*client, first));
    ASSERT_TRUE(receive(*client, second));
    EXPECT_EQ(first.getResponse(), 200);
    EXPECT_EQ(second.getResponse(), 404);
    EXPECT_EQ(second.getContent(0), "abc");
    EXPECT_TRUE(client->getTLSFailure().empty());
}

TEST(ZHTTPClient, APeerThatClosesDuringASecureUploadEndsTheClientNotTheProgram) {
    Server server;
    ZHTTPHeaders request(L"LOGFILE");
    request.addContent(std::string(8 << 20, 'x'));
    ZHTTPClientSecurity security;
    security.tls = true;
    security.caFile = ZFromUTF8(zantest::testCertificate().ca);
    std::unique_ptr<ZHTTPClient> client(ZSAFENEW(ZHTTPClient, server.host(), request, security));
    ASSERT_TRUE(server.accept());
    {
        std::unique_ptr<zantest::TLSEnd> tls = zantest::TLSEnd::server(server.peer, zantest::testCertificate());
        ASSERT_TRUE(waitUntil([&] {
            client->update(1000);
            return tls->handshake(10);
        }));
    }
    // The test's own ends ignore SIGPIPE; the client must not need that.
    struct sigaction fatal {}, previous {};
    fatal.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &fatal, &previous);
    close(server.peer);
    server.peer = -1;
    const bool ended = waitUntil([&] {
        client->update(1000);
        ZHTTPHeaders none;
        client->recv(none);
        return !client->isAlive();
    });
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_TRUE(ended);
}
