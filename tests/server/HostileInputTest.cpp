// Malformed, oversize and unknown input, and floods: the service answers
// clearly or drops, and keeps serving.
#include <gtest/gtest.h>

#include <memory>

#include "ZServerConnection.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

bool stillServes(const ServerProcess& server) {
    UDPClient probe;
    return probe.ask(server.port(5), request(L"PING", {{L"CSeq", L"1"}})).getResponse() == 200 &&
           authenticate(server.port(0), L"probe@zandrel.net", L"x").getResponse() == 403;
}

}  // namespace

TEST(ServerFrameLength, FindsTheWholeMessageWithinTheCaps) {
    ZServerConnectionLimits limits;
    limits.maxHeader = 64;
    limits.maxContent = 10;
    limits.maxParts = 2;
    struct Case {
        std::string bytes;
        std::int64_t length;
    };
    const Case cases[] = {
        {"A / HTTP/1.1\r\n\r\n", 16},
        {"A / HTTP/1.1\r\n\r\nnext", 16},
        {"A / HTTP/1.1\r\nContent-Length: 3, 2\r\n\r\nabcde", 43},
        {"A / HTTP/1.1\r\nContent-Length: 3, 2\r\n\r\nabcd", 0},
        {"A / HTTP/1.1\r\n", 0},
        {"A / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", -1},
        {"A / HTTP/1.1\r\nContent-Length: 6, 5\r\n\r\n", -1},
        {"A / HTTP/1.1\r\nContent-Length: 1, 1, 1\r\n\r\n", -1},
        {"A / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", -1},
        {"A / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", -1},
        {"A / HTTP/1.1\r\nContent-Length: 2x\r\n\r\n", -1},
        {std::string(70, 'x'), -1},
        {std::string(60, 'x'), 0},
    };
    for (const Case& c : cases) {
        std::wstring reason;
        EXPECT_EQ(ZServerFrameLength(c.bytes.data(), c.bytes.size(), limits, reason), c.length) << c.bytes;
        if (c.length < 0) {
            EXPECT_FALSE(reason.empty());
        }
    }
}

TEST(HostileInput, DropsJunkDatagramsAndAnswersUnknownMethodsWithoutStopping) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    UDPClient attacker;
    const std::vector<std::string> junk = {
        "", "\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", "STUN / HTTP/1.1\r\nContent-Length: 99\r\n\r\nx",
        std::string(65000, '\xff'), "STUN / HTTP/1.1\r\nDelay: -5\r\nCSeq: 1\r\n\r\n",
        "REGISTER / HTTP/1.1\r\nFrom: \xc3\x28\r\nDevice-GUID: \\\r\n\r\n",
        "INVITE / HTTP/1.1\r\nTo: a\r\nFrom: b\r\n\r\n", "PING / HTTP/1.1\r\nCSeq: " + std::string(3000, '9') + "\r\n\r\n",
    };
    for (int port = 1; port <= 6; ++port)
        for (const std::string& bytes : junk) attacker.sendRaw(server.port(port), bytes);
    UDPClient curious;
    ZHTTPHeaders answer = curious.ask(server.port(5), request(L"FROBNICATE", {{L"CSeq", L"77"}}));
    EXPECT_EQ(answer.getResponse(), 501);
    EXPECT_EQ(answer.get(L"CSeq"), L"77");
    EXPECT_TRUE(stillServes(server));
    EXPECT_TRUE(server.running());
    // At most one warning line for each datagram refused.
    const std::string log = server.log();
    int warnings = 0;
    for (std::size_t at = log.find("WARNING"); at != std::string::npos; at = log.find("WARNING", at + 1)) ++warnings;
    EXPECT_LE(warnings, static_cast<int>(junk.size()) * 6 + 1);
}

TEST(HostileInput, ClosesMalformedAndOversizeConnectionsOnEveryTCPRole) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    const std::vector<std::string> junk = {
        std::string(100000, 'A'),
        "X / HTTP/1.1\r\nContent-Length: 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17\r\n\r\n",
        "X / HTTP/1.1\r\nContent-Length: 5000000000\r\n\r\n",
        "\r\n\r\n",
    };
    for (int offset : {0, 7, 8, 9})
        for (const std::string& bytes : junk) {
            TCPClient c(server.port(offset));
            c.sendRaw(bytes);
            EXPECT_TRUE(c.closedByPeer()) << offset << ": " << bytes.substr(0, 30);
        }
    EXPECT_TRUE(stillServes(server));
}

TEST(HostileInput, LimitsAFloodFromOneSourceButServesOthers) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--flood-limit", "50"});
    ASSERT_TRUE(server.start());
    UDPClient flooder;
    const std::string ping = request(L"PING", {{L"CSeq", L"1"}}).serialize();
    for (int i = 0; i < 2000; ++i) flooder.sendRaw(server.port(5), ping);
    int answers = 0;
    std::string bytes;
    int from = 0;
    while (flooder.receiveRaw(bytes, from, 500)) ++answers;
    EXPECT_GE(answers, 50);
    EXPECT_LT(answers, 1000);
    EXPECT_TRUE(stillServes(server));
}

TEST(HostileInput, ClosesConnectionsThatSayNothingOrTrickleTheirRequest) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    TCPClient idle(server.port(0));
    TCPClient trickle(server.port(0));
    ASSERT_TRUE(idle.connected());
    // The authentication server waits 15 s for a whole request, however
    // busy the sender looks.
    const std::string request = "AUTHENTICATE / HTTP/1.1\r\nFrom: slow@zandrel.net\r\nPassword: ";
    bool cut = false;
    for (int i = 0; i < 25 && !cut; ++i) {
        cut = !trickle.sendRaw(std::string(1, request[i % request.size()])) || trickle.closedByPeer(1000);
    }
    EXPECT_TRUE(cut);
    EXPECT_TRUE(idle.closedByPeer(5000));
}

TEST(HostileInput, CapsTheConnectionsOfOnePeer) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--max-connections-per-peer", "4"});
    ASSERT_TRUE(server.start());
    std::vector<std::unique_ptr<TCPClient>> held;
    for (int i = 0; i < 4; ++i) {
        // Each holds an upload half sent; the log host answers and closes
        // only once an upload is whole.
        held.push_back(std::make_unique<TCPClient>(server.port(8)));
        ASSERT_TRUE(held.back()->sendRaw("LOGFILE / HTTP/1.1\r\nFilename: a.log\r\nContent-Length: 2\r\n\r\nx")) << i;
    }
    // Taken in the order they came: the held ones stay open.
    for (auto& c : held) EXPECT_FALSE(c->closedByPeer(200));
    TCPClient extra(server.port(8));
    EXPECT_TRUE(extra.closedByPeer());
    held.pop_back();
    // The freed place goes to the next connection.
    bool taken = false;
    for (int i = 0; i < 50 && !taken; ++i) {
        TCPClient again(server.port(8));
        ZHTTPHeaders h(L"LOGFILE");
        h.set(L"Filename", L"b.log");
        h.addContent("y");
        again.send(h);
        ZHTTPHeaders answer;
        taken = again.receive(answer, 1000);
    }
    EXPECT_TRUE(taken);
}
