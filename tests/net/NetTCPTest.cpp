#include <signal.h>
#include <sys/socket.h>

#include <string>
#include <thread>

#include "NetTestPeers.h"
#include "ZNonPortable.h"
#include "ZTestSupport.h"

using namespace nettest;

namespace {

std::wstring peerHostOf(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getpeername(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ZNetAddressToHost(a.sin_addr.s_addr, ntohs(a.sin_port));
}

// Reads from a plain socket until count bytes came or the patience ran out.
std::string readExactly(int fd, std::size_t count) {
    std::string got;
    char buffer[4096];
    while (got.size() < count && readable(fd)) {
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

}  // namespace

TEST(ZNetTCPSocket, AConnectionToAClosedPortOpensAtOnceAndShowsDeadAfterTheWait) {
    const std::wstring host = hostText(closedTCPPort());
    ZLogCapture log;
    ZNetTCPSocket* sock = ZNetTCPSocketOpen(host);
    ASSERT_NE(sock, nullptr);
    EXPECT_TRUE(ZNetTCPSocketIsAlive(sock));
    EXPECT_TRUE(ZNetWait({}, {}, {sock}, kPatienceUs));
    std::string data;
    EXPECT_FALSE(ZNetTCPSocketRecv(sock, data));
    EXPECT_FALSE(ZNetTCPSocketIsAlive(sock));
    // A dead handle answers quietly from now on.
    EXPECT_EQ(ZNetTCPSocketSend(sock, "x", 1), 0);
    EXPECT_TRUE(log.lines().empty());
    ZNetTCPSocketClose(sock);
}

TEST(ZNetTCPSocket, ConnectsSendsAndAppendsWhatThePeerSends) {
    LogCategory n("N");
    RawListener listener;
    ZLogCapture log;
    ZNetTCPSocket* sock = ZNetTCPSocketOpen(listener.host());
    ASSERT_NE(sock, nullptr);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ZNetTCPSocketGetLocalHost(sock), peerHostOf(peer));

    EXPECT_EQ(ZNetTCPSocketSend(sock, "hello", 5), 5);
    EXPECT_EQ(readExactly(peer, 5), "hello");

    ASSERT_EQ(send(peer, "world", 5, 0), 5);
    ASSERT_TRUE(ZNetWait({}, {}, {sock}, kPatienceUs));
    std::string data = "say ";
    EXPECT_TRUE(ZNetTCPSocketRecv(sock, data));
    EXPECT_EQ(data, "say world");
    EXPECT_TRUE(ZNetTCPSocketIsAlive(sock));

    // Half-closed: the peer sees the end, and can still answer.
    ZNetTCPSocketShutdown(sock);
    EXPECT_EQ(readExactly(peer, 1), "");
    ASSERT_EQ(send(peer, "!", 1, 0), 1);
    ASSERT_TRUE(ZNetWait({}, {}, {sock}, kPatienceUs));
    EXPECT_TRUE(ZNetTCPSocketRecv(sock, data));
    EXPECT_EQ(data, "say world!");
    ZNetTCPSocketClose(sock);
    close(peer);

    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(L"[ZNetTCPSocketOpen] Opening socket to '" + listener.host() + L"'\n"), std::wstring::npos);
    EXPECT_NE(lines[1].find(L"[ZNetTCPSocketShutdown] Shutting down socket '" + listener.host() + L"'\n"),
              std::wstring::npos);
    EXPECT_NE(lines[2].find(L"[ZNetTCPSocketClose] Closing socket '" + listener.host() + L"'\n"), std::wstring::npos);
}

TEST(ZNetTCPSocket, OneReceiveTakesAllPendingBytesAndThePeersCloseTogether) {
    RawListener listener;
    ZNetTCPSocket* sock = ZNetTCPSocketOpen(listener.host());
    ASSERT_NE(sock, nullptr);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    std::string sent(5000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);
    ASSERT_EQ(send(peer, sent.data(), sent.size(), 0), 5000);
    close(peer);  // loopback: bytes and end are queued on our side when this returns

    ASSERT_TRUE(ZNetWait({}, {}, {sock}, kPatienceUs));
    ZLogCapture log;
    std::string data;
    EXPECT_TRUE(ZNetTCPSocketRecv(sock, data));
    EXPECT_EQ(data, sent);
    EXPECT_FALSE(ZNetTCPSocketIsAlive(sock));
    EXPECT_TRUE(log.lines().empty());
    ZNetTCPSocketClose(sock);
}

TEST(ZNetTCPSocket, SendingToAPeerThatWentAwayRaisesNoSignalAndMarksTheSocketDead) {
    // The default action of SIGPIPE ends the process: this test would die.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    struct sigaction saved {};
    sigaction(SIGPIPE, &defaultAction, &saved);

    RawListener listener;
    ZNetTCPSocket* sock = ZNetTCPSocketOpen(listener.host());
    ASSERT_NE(sock, nullptr);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    // An orderly close: our first send draws a reset, the next one meets a
    // broken pipe.
    close(peer);

    ZLogCapture log;
    for (int i = 0; i < 10 && ZNetTCPSocketIsAlive(sock); ++i) ZNetTCPSocketSend(sock, "data", 4);
    EXPECT_FALSE(ZNetTCPSocketIsAlive(sock));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains(L"WARNING Connection failed on send, error '"));
    EXPECT_EQ(ZNetTCPSocketSend(sock, "data", 4), 0);
    ZNetTCPSocketClose(sock);
    sigaction(SIGPIPE, &saved, nullptr);
}

TEST(ZNetTCPSocket, ASendWhileStillConnectingAcceptsNothingAndStaysAlive) {
    // A listener whose accept queue is full drops further handshakes, so the
    // second connection stays in progress.
    RawListener listener(0);
    ZNetTCPSocket* first = ZNetTCPSocketOpen(listener.host());
    ASSERT_NE(first, nullptr);
    ZNetTCPSocket* second = nullptr;
    for (int i = 0; i < 4 && !second; ++i) {
        ZNetTCPSocket* s = ZNetTCPSocketOpen(listener.host());
        ASSERT_NE(s, nullptr);
        if (ZNetTCPSocketSend(s, "x", 1) == 0) second = s;
        else ZNetTCPSocketClose(s);
    }
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(ZNetTCPSocketIsAlive(second));
    ZNetTCPSocketClose(second);
    ZNetTCPSocketClose(first);
}

TEST(ZNetTCPSocket, OneReceiveTakesAtMostItsLimitFromAFastSender) {
    RawListener listener;
    ZNetTCPSocket* sock = ZNetTCPSocketOpen(listener.host());
    ASSERT_NE(sock, nullptr);
    const int peer = listener.accept();
    ASSERT_GE(peer, 0);
    const std::size_t total = 3 * static_cast<std::size_t>(ZNET_TCP_RECV_LIMIT);
    std::thread writer([peer, total] {
        const std::string block(65536, 'z');
        std::size_t sent = 0;
        while (sent < total) {
            const ssize_t n = send(peer, block.data(), std::min(block.size(), total - sent), MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        close(peer);
    });
    std::string data;
    bool capped = false;
    for (int turn = 0; turn < 10000 && ZNetTCPSocketIsAlive(sock); ++turn) {
        ZNetWait({}, {}, {sock}, kPatienceUs);
        const std::size_t before = data.size();
        ZNetTCPSocketRecv(sock, data);
        const std::size_t took = data.size() - before;
        EXPECT_LE(took, static_cast<std::size_t>(ZNET_TCP_RECV_LIMIT) + 2048);
        if (took >= static_cast<std::size_t>(ZNET_TCP_RECV_LIMIT)) capped = true;
    }
    writer.join();
    EXPECT_EQ(data.size(), total);
    EXPECT_FALSE(ZNetTCPSocketIsAlive(sock));
    // Informational: whether the kernel ever queued enough to reach the cap.
    RecordProperty("reached_cap", capped ? 1 : 0);
    ZNetTCPSocketClose(sock);
}

TEST(ZNetTCPSocket, HostTextsThatNameNoAddressOpenNothing) {
    struct Case {
        const wchar_t* host;
        int validityWarnings;
    };
    for (const Case c : {Case{L"", 1}, Case{L"0.0.0.0:0", 1}, Case{L"127.0.0.1:99999", 0}}) {
        ZLogCapture log;
        EXPECT_EQ(ZNetTCPSocketOpen(c.host), nullptr);
        EXPECT_EQ(log.count(L"WARNING: Assertion failed. (ZValidHost( remoteHost ))"), c.validityWarnings);
        EXPECT_EQ(log.count(L"WARNING Could not resolve host '" + std::wstring(c.host) + L"', ignoring.\n"), 1);
        EXPECT_EQ(log.lines().size(), static_cast<std::size_t>(c.validityWarnings + 1));
    }
}
